// The service manager, which is systemd: status reports through sd_notify, the dispatcher that
// runs the services when systemd started the process, and the installed services as unit files
// in a unit directory, loaded and enabled with systemctl when systemd runs.
//
// Unit directory: $PELMAR_UNIT_DIR, or /etc/systemd/system. "Installed" means the unit file
// <ServiceName>.service exists there. systemctl is reached through a replaceable TSystemdControl,
// so that tests record the calls instead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pelmar {

// Service states as the service manager counts them.
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr std::uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr std::uint32_t SERVICE_PAUSED = 7;

// Error codes of the service manager, with texts from ServiceErrorText.
inline constexpr int ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr int ERROR_INVALID_NAME = 123;
inline constexpr int ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr int ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr int ERROR_SERVICE_SPECIFIC_ERROR = 1066;
inline constexpr int ERROR_SERVICE_EXISTS = 1073;

// The service manager's text for Code; errno values give the system's text.
std::string ServiceErrorText(int Code);
// Raises EOSError "System error. Code: N.\r\n" + ServiceErrorText(N).
[[noreturn]] void RaiseServiceError(int Code);

// One status report: the seven values the service manager keeps per service.
struct TServiceStatus {
  std::uint32_t ServiceType = 0;
  std::uint32_t CurrentState = 0;
  std::uint32_t ControlsAccepted = 0;
  std::uint32_t Win32ExitCode = 0;
  std::uint32_t ServiceSpecificExitCode = 0;
  std::uint32_t CheckPoint = 0;
  std::uint32_t WaitHint = 0;
};

// The sd_notify message for a report: "READY=1" when running, "STOPPING=1" when stopping, and
// always a "STATUS=" line naming the state.
std::string ServiceStatusNotification(const TServiceStatus& Status);
// Sends the report to systemd. Returns 0 when sent or when no service manager listens
// ($NOTIFY_SOCKET unset), otherwise the errno value of the failure.
int SetServiceStatus(const TServiceStatus& Status);

// True when systemd started the process as a service ($NOTIFY_SOCKET or $INVOCATION_ID set).
bool StartedByServiceManager();

// The watchdog period systemd expects of this process ($WATCHDOG_USEC, and $WATCHDOG_PID naming
// this process when set), in milliseconds; 0 when there is no watchdog.
std::uint32_t ServiceWatchdogPeriod();
// Tells systemd's watchdog that the service is alive ("WATCHDOG=1"). Returns 0 when sent or
// when no service manager listens, otherwise the errno value of the failure.
int NotifyWatchdog();

// Keeps systemd's watchdog fed from a service's own loop: Cycle, called once per cycle of the
// loop, sends "WATCHDOG=1" at most once per quarter period, and nothing at all when systemd asks
// for no watchdog. A loop that stops cycling stops the pings, so systemd kills and restarts a
// hung service. Never ping from a thread of its own: that would keep a hung loop alive. Used by
// the thread that runs the loop only.
class TWatchdogPing {
 public:
  // PeriodMs and Send stand in for systemd in tests; the default reads the period on the first
  // Cycle and sends through NotifyWatchdog.
  TWatchdogPing() = default;
  TWatchdogPing(std::uint32_t PeriodMs, std::function<int()> Send)
      : FPeriod(PeriodMs), FKnown(true), FSend(std::move(Send)) {}
  void Cycle();
  std::uint32_t Period() const { return FPeriod; }

 private:
  std::uint32_t FPeriod = 0;
  bool FKnown = false;
  bool FSent = false;
  std::uint32_t FLastSent = 0;  // GetTickCount of the last ping
  std::function<int()> FSend;
};

struct TServiceTableEntry {
  std::string ServiceName;
  // Runs the service; Args[0] is the service name. Called on a thread of its own.
  std::function<void(const std::vector<std::string>& Args)> ServiceMain;
};

// Runs every entry's ServiceMain on a thread of its own and returns true when all have ended.
// Fails at once, with ErrorCode ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, when systemd did not
// start the process. Control requests reach the services through ControlSignals meanwhile.
bool StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& Table, int& ErrorCode);

// The ExecStart value for an executable: the path in double quotes, escaped for systemd, and
// " /SVC".
std::string ServiceCommandLine(const std::string& ExecutablePath);

// What a service's unit file says beyond the service manager's own properties: the manual page,
// extra groups of the service user, the watchdog, and the sandbox (lines "Name=value" of the
// [Service] section, written in order on one line each; '%' stands for itself).
struct TServiceUnitOptions {
  std::string Documentation;                     // Documentation=, written when not empty
  std::vector<std::string> SupplementaryGroups;  // written only with a User
  std::uint32_t WatchdogSec = 0;                 // WatchdogSec=, written when not 0
  std::vector<std::string> Sandbox;

  bool operator==(const TServiceUnitOptions&) const = default;
};

// What a service's unit file says.
struct TUnitSettings {
  std::string Description;
  std::string ExecStart;
  std::string User;                   // empty: root
  std::vector<std::string> Requires;  // units started first (also ordered after)
  bool AutoStart = true;              // enabled, so started at boot
  std::string Restart = "no";         // systemd's Restart= value
  std::uint32_t RestartDelayMs = 0;   // RestartSec=, written when Restart is not "no"
  std::string FailureAction;          // FailureAction=, written when not empty
  TServiceUnitOptions Options;
};

// The unit file text for Settings.
std::string RenderUnitFile(const TUnitSettings& Settings);

// True when Name can be a systemd unit name before ".service": letters, digits, ':', '-', '_'
// and '.', at most 247 characters.
bool IsUnitName(const std::string& Name);

// systemctl and the test whether systemd runs. Replaceable for tests.
class TSystemdControl {
 public:
  virtual ~TSystemdControl() = default;
  // True when systemd is the running init system (/run/systemd/system exists).
  virtual bool Running();
  // Runs systemctl with Args; raises EOSError with its output when it fails.
  virtual void Systemctl(const std::vector<std::string>& Args);
};

// The control in force: the real one unless a test installed another.
TSystemdControl& SystemdControl();
// Installs Value (not owned; nullptr restores the real one).
void SetSystemdControl(TSystemdControl* Value);

class TServiceManager;

// One installed (or being installed) service. Not thread-safe; used on the installing thread.
class TServiceHandle {
 public:
  TServiceHandle(const TServiceHandle&) = delete;
  TServiceHandle& operator=(const TServiceHandle&) = delete;

  const std::string& ServiceName() const { return FName; }
  const std::string& UnitPath() const { return FPath; }
  // The settings written by the last Update (those given to CreateService at first).
  TUnitSettings& Settings() { return FSettings; }
  // Writes the unit file anew from Settings, atomically. Raises EOSError on failure.
  void Update();
  // Makes systemd see the unit: daemon-reload, and enable when it starts automatically. Nothing
  // when systemd does not run. Raises on failure.
  void Activate();
  // Disables the unit (when systemd runs), removes its file, and reloads systemd. Raises on
  // failure.
  void Delete();
  // Removes the unit file only, whatever systemctl says; the last step of a failed install's
  // roll-back.
  void RemoveUnitFile();

 private:
  friend class TServiceManager;
  TServiceHandle(std::string Name, std::string Path, TUnitSettings Settings)
      : FName(std::move(Name)), FPath(std::move(Path)), FSettings(std::move(Settings)) {}

  std::string FName;
  std::string FPath;
  TUnitSettings FSettings;
};

// The unit directory. Opening raises EOSError when it is not there.
class TServiceManager {
 public:
  TServiceManager();
  const std::string& UnitDirectory() const { return FDirectory; }
  std::string UnitPath(const std::string& ServiceName) const;
  bool ServiceExists(const std::string& ServiceName) const;
  // Writes the unit file of a new service. Raises ERROR_SERVICE_EXISTS when its file exists
  // already, ERROR_INVALID_NAME for a name systemd does not take, EOSError when writing fails.
  std::unique_ptr<TServiceHandle> CreateService(const std::string& ServiceName,
                                                const TUnitSettings& Settings);
  // The installed service, or nullptr when there is none.
  std::unique_ptr<TServiceHandle> OpenService(const std::string& ServiceName);

 private:
  std::string FDirectory;
};

}  // namespace pelmar
