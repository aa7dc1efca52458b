// The service object TDDService: the base class of a service module, whose properties describe
// the service to the service manager and whose events carry its behaviour; its worker thread
// TServiceThread, which runs the start, the work and every control request; and TEventLogger,
// which writes to the event log and echoes to the console.
//
// Writing a service: derive from TDDService, set the properties in the constructor and assign
// OnExecute. OnExecute runs on the worker thread ("Service work") and is the service's work; it
// returns when the service is to stop. A handler that runs its own loop calls ServeRequests(false)
// regularly, so that queued control requests (a stop among them) run on this thread, and ends
// when Terminated() is true:
//
//   SetOnExecute([](TDDService& S) {
//     while (!S.Terminated()) {
//       ... a slice of work ...
//       S.ServeRequests(false);
//     }
//   });
//
// Without OnExecute the worker just serves requests until a stop. LogInfo, LogWarning and
// LogError write to the event log from any thread.
//
// Threads: the control handler runs on the signal thread (ControlSignals) and only queues; the
// worker runs the events OnStart, OnExecute, OnStop, OnPause, OnContinue, OnShutdown,
// OnPreShutdown, OnParamChange, OnNetBindChange, OnSessionChange, OnCustomControl, OnPowerEvent,
// OnDeviceEvent and OnRunException; the install events run on the installing thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DDWinSvc.h"
#include "EventLog.h"
#include "EventQueue.h"
#include "Exception.h"

namespace pelmar {

class TDDService;
class TServiceThread;

// EAbort (Exception.h) is raised to leave the request loop when OnRunException asks to abort.

enum TServiceRunState {
  rsStopped,
  rsStartPending,
  rsStopPending,
  rsRunning,
  rsContinuePending,
  rsPausePending,
  rsPaused,
};

enum TServiceType { stWin32, stDevice, stFileSystem };
enum TStartType { stBoot, stSystem, stAuto, stManual, stDisabled, stAutoDelayed };
enum TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
enum TServiceSidType { stNone, stUnrestricted, stRestricted };
enum TAllowedExControl { alParamChange, alNetBindChange, alSessionChange, alPreShutdown };
using TAllowedExControls = std::set<TAllowedExControl>;
enum TExOption { eoForceServiceThreadWindow, eoSuspendServiceThreadOnPause };
using TExOptions = std::set<TExOption>;
enum TFailureActionType { faNone, faRestart, faReboot, faRunCommand };

// Request kinds of the worker's queue.
inline constexpr std::uint32_t ControlRequestMsg = 1025;  // code: the control code
inline constexpr std::uint32_t SessionRequestMsg = 1026;  // code: event type; parameter: session
// Messages of the hidden window.
inline constexpr std::uint32_t WM_POWERBROADCAST = 536;
inline constexpr std::uint32_t WM_DEVICECHANGE = 537;

using TDDServiceEvent = std::function<void(TDDService& Sender)>;
using TStartEvent = std::function<void(TDDService& Sender, bool& Started)>;
using TStopEvent = std::function<void(TDDService& Sender, bool& Stopped)>;
using TPauseEvent = std::function<void(TDDService& Sender, bool& Paused)>;
using TContinueEvent = std::function<void(TDDService& Sender, bool& Continued)>;
using TControlEvent = std::function<void(TDDService& Sender, int EventType)>;
using TCustomControlEvent = std::function<void(TDDService& Sender, int CtrlCode)>;
using TSessionChangeEvent = std::function<void(TDDService& Sender, int EventType, int SessionID)>;
using TMessageEvent =
    std::function<void(TDDService& Sender, int EventType, std::intptr_t EventData, int& MsgResult)>;
using TDDServiceExceptionEvent = std::function<void(TDDService& Sender, const std::exception& E,
                                                    bool& LogDefaultErrMsg, bool& CanAbort)>;

// A service or, with IsGroup, a load-order group the service depends on.
struct TDependency {
  std::string Name;
  bool IsGroup = false;
  // Name, or "TDependency" when empty.
  std::string DisplayName() const;
};
using TDependencies = std::vector<TDependency>;

// What the service manager does when the service fails. faNone keeps no delay; a negative delay
// is stored as 0.
class TFailureAction {
 public:
  TFailureAction() = default;
  TFailureAction(TFailureActionType ActionType, int Delay);
  TFailureActionType ActionType() const { return FActionType; }
  void SetActionType(TFailureActionType Value);
  int Delay() const { return FDelay; }
  void SetDelay(int Value);
  // "No action", "Restart service in %d ms", "Reboot system in %d ms", "Execute command in %d ms".
  std::string DisplayName() const;

 private:
  TFailureActionType FActionType = faNone;
  int FDelay = 0;
};
using TFailureActions = std::vector<TFailureAction>;

struct TFailureOptions {
  int ResetPeriod = -1;  // seconds; -1: never reset
  std::string RebootMessage;
  std::string Command;
  bool NonCrashFailures = false;
};

struct TServiceLogOptions {
  bool UseCustomEventLog = true;
  std::string EventLogName = "DDService";
  std::string MessagesLibrary = "DDServiceMsg.dll";
  int MessageCategoryCount = 3;
  bool LogSCEvents = true;  // log start, stop, shutdown, install and uninstall
};

// Writes entries to the event log under the source name given; every entry is echoed on the
// console as "LogMessage: " + text at level 3, highlighted for errors. Safe from any thread.
class TEventLogger {
 public:
  explicit TEventLogger(std::string Name) : FName(std::move(Name)) {}
  const std::string& Name() const { return FName; }
  void LogMessage(const std::string& Msg, TLogEventType EventType = letInformation,
                  std::uint16_t Category = 0, std::uint32_t ID = 0);

 private:
  std::string FName;
};

// The worker thread of a service. Created suspended; Resume starts it. Its request queue is the
// thread's event queue (EventQueue.h): ServeRequests also serves the other messages and timers of
// the thread, as the main module's log buffer uses them.
class TServiceThread {
 public:
  explicit TServiceThread(TDDService& Service);
  // REQUIRES: the thread has ended or was never started.
  ~TServiceThread();
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  // Starts the thread, or lets it go on after Suspend.
  void Resume();
  // Called by the worker itself: blocks until the next Resume.
  void Suspend();
  bool Suspended() const;
  // Blocks until the thread has ended.
  void WaitFor();
  bool Finished() const { return FFinished.load(); }

  // Worker thread only: serves the queued requests. Without Wait, those waiting now; with Wait,
  // blocks for requests until the terminate flag is set.
  void ServeRequests(bool Wait);
  void ProcessRequests(bool WaitForMessage) { ServeRequests(WaitForMessage); }
  // The terminate flag: set by a stop or shutdown request, never cleared.
  bool Terminated() const { return FTerminated.load(); }
  // Sets the terminate flag and wakes a waiting ServeRequests.
  void Terminate();
  // Queues a request from any thread; kept until the worker's queue exists.
  void Post(std::uint32_t Kind, std::uint32_t Code, std::intptr_t Param);

 private:
  void Execute();
  void ServeRequest(const TQueuedMessage& Message);

  TDDService& FService;
  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  mutable std::mutex FLock;
  std::condition_variable FResumed;
  bool FStarted = false;                     // guarded by FLock
  bool FSuspended = false;                   // guarded by FLock
  std::unique_ptr<TMessageEndpoint> FQueue;  // guarded by FLock; made by the worker
  std::vector<TQueuedMessage> FEarly;        // guarded by FLock; posted before FQueue
};

class TDDService {
 public:
  TDDService();
  virtual ~TDDService();
  TDDService(const TDDService&) = delete;
  TDDService& operator=(const TDDService&) = delete;

  // The component name; the default of ServiceName and DisplayName.
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value) { FName = Value; }

  // Empty gives Name. Setting raises Exception "''%s'' is not a valid service name" unless the
  // value has 1 to 256 characters and no '/' or '\'.
  std::string ServiceName() const;
  void SetServiceName(const std::string& Value);
  // Empty gives Name.
  std::string DisplayName() const;
  // The value as set (possibly empty).
  const std::string& StoredDisplayName() const { return FDisplayName; }
  void SetDisplayName(const std::string& Value) { FDisplayName = Value; }
  const std::string& Description() const { return FDescription; }
  // More than 1024 characters raise "Invalid service description. Maximum length allowed is
  // 1024 chars".
  void SetDescription(const std::string& Value);

  bool AllowStop() const { return FAllowStop.load(); }
  void SetAllowStop(bool Value) { FAllowStop = Value; }
  bool AllowPause() const { return FAllowPause.load(); }
  void SetAllowPause(bool Value) { FAllowPause = Value; }
  TAllowedExControls AllowedExControls() const;
  void SetAllowedExControls(const TAllowedExControls& Value);
  const TExOptions& ExOptions() const { return FExOptions; }
  // With eoForceServiceThreadWindow the hidden window is made at once when the worker exists.
  void SetExOptions(const TExOptions& Value);
  TServiceType ServiceType() const { return FServiceType; }
  void SetServiceType(TServiceType Value) { FServiceType = Value; }
  TStartType StartType() const { return FStartType; }
  void SetStartType(TStartType Value) { FStartType = Value; }
  TErrorSeverity ErrorSeverity() const { return FErrorSeverity; }
  void SetErrorSeverity(TErrorSeverity Value) { FErrorSeverity = Value; }
  TServiceSidType ServiceSidType() const { return FServiceSidType; }
  void SetServiceSidType(TServiceSidType Value) { FServiceSidType = Value; }
  bool Interactive() const { return FInteractive; }
  // True clears Password and ServiceStartName.
  void SetInteractive(bool Value);
  const std::string& Password() const { return FPassword; }
  // A different, non-empty value clears Interactive.
  void SetPassword(const std::string& Value);
  const std::string& ServiceStartName() const { return FServiceStartName; }
  // A different, non-empty value clears Interactive.
  void SetServiceStartName(const std::string& Value);
  const std::string& LoadGroup() const { return FLoadGroup; }
  void SetLoadGroup(const std::string& Value) { FLoadGroup = Value; }
  std::uint32_t TagID() const { return FTagID; }
  void SetTagID(std::uint32_t Value) { FTagID = Value; }
  int WaitHint() const { return FWaitHint; }
  void SetWaitHint(int Value) { FWaitHint = Value; }
  int PreShutdownTimeout() const { return FPreShutdownTimeout; }
  void SetPreShutdownTimeout(int Value) { FPreShutdownTimeout = Value; }
  const TDependencies& Dependencies() const { return FDependencies; }
  void SetDependencies(const TDependencies& Value) { FDependencies = Value; }
  const std::vector<std::string>& RequiredPrivileges() const { return FRequiredPrivileges; }
  void SetRequiredPrivileges(const std::vector<std::string>& Value) { FRequiredPrivileges = Value; }
  const TFailureActions& FailureActions() const { return FFailureActions; }
  void SetFailureActions(const TFailureActions& Value) { FFailureActions = Value; }
  const TFailureOptions& FailureOptions() const { return FFailureOptions; }
  void SetFailureOptions(const TFailureOptions& Value) { FFailureOptions = Value; }
  const TServiceLogOptions& LogOptions() const { return FLogOptions; }
  void SetLogOptions(const TServiceLogOptions& Value) { FLogOptions = Value; }
  // The unit file's manual page, extra groups, watchdog and sandbox.
  const TServiceUnitOptions& UnitOptions() const { return FUnitOptions; }
  void SetUnitOptions(const TServiceUnitOptions& Value) { FUnitOptions = Value; }

  // Events. Assigning OnStop sets AllowStop; OnPause or OnContinue set AllowPause;
  // OnParamChange, OnNetBindChange, OnSessionChange and OnPreShutdown add their
  // AllowedExControls element; OnPowerEvent and OnDeviceEvent make the hidden window at once
  // when the worker exists.
  void SetBeforeInstall(TDDServiceEvent Value) { FBeforeInstall = std::move(Value); }
  void SetAfterInstall(TDDServiceEvent Value) { FAfterInstall = std::move(Value); }
  void SetBeforeUninstall(TDDServiceEvent Value) { FBeforeUninstall = std::move(Value); }
  void SetAfterUninstall(TDDServiceEvent Value) { FAfterUninstall = std::move(Value); }
  void SetOnStart(TStartEvent Value) { FOnStart = std::move(Value); }
  void SetOnExecute(TDDServiceEvent Value) { FOnExecute = std::move(Value); }
  void SetOnStop(TStopEvent Value);
  void SetOnPause(TPauseEvent Value);
  void SetOnContinue(TContinueEvent Value);
  void SetOnShutdown(TDDServiceEvent Value) { FOnShutdown = std::move(Value); }
  void SetOnPreShutdown(TDDServiceEvent Value);
  void SetOnParamChange(TDDServiceEvent Value);
  void SetOnNetBindChange(TControlEvent Value);
  void SetOnSessionChange(TSessionChangeEvent Value);
  void SetOnCustomControl(TCustomControlEvent Value) { FOnCustomControl = std::move(Value); }
  void SetOnPowerEvent(TMessageEvent Value);
  void SetOnDeviceEvent(TMessageEvent Value);
  void SetOnRunException(TDDServiceExceptionEvent Value) { FOnRunException = std::move(Value); }

  // Current state; writing it reports the new status.
  TServiceRunState Status() const { return FStatus.load(); }
  void SetStatus(TServiceRunState Value);
  // Sends the current status to the service manager (nothing in debug mode). A failure is
  // logged as a warning "ReportStatus: " + the system's text.
  void ReportStatus();
  // The record of the last report.
  TServiceStatus LastStatus() const;

  // Exit codes reported with every status.
  void SetWin32ExitCode(int Value) { FWin32ExitCode = Value; }
  void SetServiceExitCode(int Value) { FServiceExitCode = Value; }

  // Event log of the service, under the source name ServiceName. LogInfo: information,
  // category 3; LogWarning: warning, category 2; LogError: error, category 1; event id 0.
  void LogMessage(const std::string& Msg, TLogEventType EventType = letInformation,
                  std::uint16_t Category = 0, std::uint32_t ID = 0);
  void LogInfo(const std::string& Msg);
  void LogWarning(const std::string& Msg);
  void LogError(const std::string& Msg);

  // The worker's terminate flag: true once a stop or shutdown was requested.
  bool Terminated() const;
  // Worker thread only: runs the queued requests (see TServiceThread::ServeRequests).
  void ServeRequests(bool Wait);
  // The same under the name the service main module's host uses.
  void ProcessRequests(bool WaitForMessage) { ServeRequests(WaitForMessage); }

  // Service mode: the per-service entry run by the dispatcher on a thread of its own. Registers
  // the control handler, then runs the worker until it ends. Args: the service name first.
  void Main(const std::vector<std::string>& Args);
  // Checks a control request from the service manager and queues it for the worker. Answers 0
  // (accepted) or 120 (not accepted; nothing queued).
  std::uint32_t ControlHandler(std::uint32_t Control, std::uint32_t EventType = 0,
                               std::uint32_t SessionID = 0);
  // Queues a request for the worker exactly as an accepted control would, without the checks.
  // Kept until the worker's queue exists.
  void PostRequest(std::uint32_t Kind, std::uint32_t Code, std::intptr_t Param = 0);

  // Values sent to the service manager.
  std::uint32_t ServiceTypeCode() const;
  std::uint32_t StartTypeCode() const;
  std::uint32_t ErrorControlCode() const;
  std::uint32_t ControlsAccepted() const;

  // The hidden window: an endpoint on the calling thread that takes power and device messages.
  void CreateServiceWindow();
  void DestroyServiceWindow();
  TMessageEndpoint* ServiceWindow() const { return FServiceWindow.get(); }

  // Debug mode: no status reaches the service manager.
  bool DebugFlag() const { return FDebugFlag; }
  void SetDebugFlag(bool Value) { FDebugFlag = Value; }
  TServiceThread* ServiceThread() const;
  // Hands the worker thread over (nullptr to clear it). Requests queued while there was none
  // go to the new thread.
  void SetServiceThread(std::unique_ptr<TServiceThread> Thread);
  std::unique_ptr<TServiceThread> TakeServiceThread();

  const std::vector<std::string>& Params() const { return FParams; }
  bool TriggerStarted() const { return FTriggerStarted; }
  // The command line installation records (the ExecStart value); by default the running
  // executable's (ServiceCommandLine).
  const std::string& ImagePath() const { return FImagePath; }
  void SetImagePath(const std::string& Value) { FImagePath = Value; }

  // Virtual operations.
  virtual void RunWorker();
  virtual bool HandleStop();
  virtual bool HandlePause();
  virtual bool HandleContinue();
  virtual void HandleInterrogate();
  virtual void HandleShutdown();
  virtual void HandleCustomControl(int Code);
  virtual int HandleDeviceEvent(int EventType, std::intptr_t EventData);
  // Answers LogDefaultErrMsg.
  virtual bool HandleRunException(const std::exception& E, bool& CanAbort);
  virtual void HandleNetBindChange(int Code);
  virtual void HandleSessionChange(int EventType, int SessionID);
  virtual int HandlePowerEvent(int EventType, std::intptr_t EventData);
  virtual void HandleParamChange();
  virtual void HandlePreShutdown();
  // The end of an installation: the event-log registration (with UseCustomEventLog), the
  // " installed!" line, AfterInstall.
  virtual void FinishInstall();
  // " uninstalled!", the event-log registration removed, AfterUninstall.
  virtual void FinishUninstall();
  virtual bool NeedsServiceWindow() const;
  virtual std::intptr_t ServiceWindowProc(std::uint32_t Msg, std::uintptr_t WParam,
                                          std::intptr_t LParam);

  // The worker's start, work and end (run on the worker thread).
  void ExecuteWorker(TServiceThread& Thread);
  // Runs one request of the worker's queue (worker thread).
  void ServeRequest(std::uint32_t Kind, std::uint32_t Code, std::intptr_t Param);

  // Install events, for the installation procedures.
  const TDDServiceEvent& BeforeInstall() const { return FBeforeInstall; }
  const TDDServiceEvent& AfterInstall() const { return FAfterInstall; }
  const TDDServiceEvent& BeforeUninstall() const { return FBeforeUninstall; }
  const TDDServiceEvent& AfterUninstall() const { return FAfterUninstall; }

 private:
  TEventLogger& EventLogger();
  bool HasServiceThread() const;

  std::string FName;
  std::string FServiceName;
  std::string FDisplayName;
  std::string FDescription;
  std::atomic<bool> FAllowStop{true};
  std::atomic<bool> FAllowPause{true};
  mutable std::mutex FPropertyLock;
  TAllowedExControls FAllowedExControls;  // guarded by FPropertyLock
  TExOptions FExOptions{eoSuspendServiceThreadOnPause};
  TServiceType FServiceType = stWin32;
  TStartType FStartType = stAuto;
  TErrorSeverity FErrorSeverity = esNormal;
  TServiceSidType FServiceSidType = stNone;
  bool FInteractive = false;
  std::string FPassword;
  std::string FServiceStartName;
  std::string FLoadGroup;
  std::uint32_t FTagID = 0;
  int FWaitHint = 5000;
  int FPreShutdownTimeout = 180000;
  TDependencies FDependencies;
  std::vector<std::string> FRequiredPrivileges;
  TFailureActions FFailureActions;
  TFailureOptions FFailureOptions;
  TServiceUnitOptions FUnitOptions;
  TServiceLogOptions FLogOptions;

  TDDServiceEvent FBeforeInstall, FAfterInstall, FBeforeUninstall, FAfterUninstall;
  TStartEvent FOnStart;
  TDDServiceEvent FOnExecute;
  TStopEvent FOnStop;
  TPauseEvent FOnPause;
  TContinueEvent FOnContinue;
  TDDServiceEvent FOnShutdown, FOnPreShutdown, FOnParamChange;
  TControlEvent FOnNetBindChange;
  TSessionChangeEvent FOnSessionChange;
  TCustomControlEvent FOnCustomControl;
  TMessageEvent FOnPowerEvent, FOnDeviceEvent;
  TDDServiceExceptionEvent FOnRunException;

  std::atomic<TServiceRunState> FStatus{rsStopped};
  mutable std::mutex FStatusLock;
  TServiceStatus FServiceStatus;  // guarded by FStatusLock
  std::uint64_t FStatusHandle = 0;
  int FWin32ExitCode = 0;
  int FServiceExitCode = 0;
  std::vector<std::string> FParams;
  bool FTriggerStarted = false;
  bool FDebugFlag = false;

  mutable std::mutex FThreadLock;
  std::unique_ptr<TServiceThread> FServiceThread;  // guarded by FThreadLock
  std::vector<TQueuedMessage> FPending;            // guarded by FThreadLock; before a worker
  std::unique_ptr<TMessageEndpoint> FServiceWindow;

  std::mutex FLoggerLock;
  std::unique_ptr<TEventLogger> FEventLogger;  // guarded by FLoggerLock; made on first use
  std::string FImagePath;
};

// Number of TDDService objects in the process.
int ServiceInstanceCount();
// The state of the last status report of any service (initially rsStartPending).
TServiceRunState LastReportedState();
void SetLastReportedState(TServiceRunState Value);
// Number of hidden windows in the process.
int ServiceWindowCount();
// The request names used in failure messages, for codes 1 to 15; "" otherwise.
std::string ControlName(std::uint32_t Code);

// The event-log registration kept in the settings store (TRegistry, root $PELMAR_SETTINGS_DIR
// or /etc/pelmar): the log's key "SYSTEM\CurrentControlSet\Services\EventLog\<EventLogName>"
// and, under it, one key per event source. The journal itself needs none of it; it records
// which services write to which log and where their messages library is.
std::string EventLogKey(const TDDService& Service);
// The executable's directory with its trailing '/', then LogOptions.MessagesLibrary.
std::string MessagesPath(const TDDService& Service);
// Creates the log's key with its values unless it exists (an existing log is left as it is).
void CreateCustomEventLog(TDDService& Service);
// Adds ServiceName to the log's "Sources" (once, in any letter case) and writes its source key.
void RegisterEventLogSource(TDDService& Service);
// Removes ServiceName from "Sources"; deletes the log's key with all its subkeys when no source
// is left.
void UnRegisterEventLogSource(TDDService& Service);

// The unit file InstallService writes for Service: the description (DisplayName when empty),
// ImagePath, the start user, the dependencies, enabled or not by the start type, the restart
// policy of the failure actions (the first action decides it: a restart, "on-failure" with
// non-crash failures, otherwise "on-abnormal"; or a reboot), and UnitOptions.
TUnitSettings ServiceUnitSettings(const TDDService& Service);

// Installation with the service manager: creates the unit (roll-back on a later failure),
// applies the extended configuration, makes systemd load it, then FinishInstall.
void InstallService(TDDService& Service, TServiceManager& Manager);
// Removes the service; a service that is not installed is no failure.
void UninstallService(TDDService& Service, TServiceManager& Manager);
// The extended configuration of a freshly created service: description and restart policy.
void ApplyServiceConfig(TDDService& Service, TServiceHandle& Handle);

}  // namespace pelmar
