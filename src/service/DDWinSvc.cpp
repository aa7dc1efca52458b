#include "DDWinSvc.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "Clock.h"
#include "Exception.h"

extern char** environ;

namespace pelmar {
namespace {

constexpr const char* DefaultUnitDirectory = "/etc/systemd/system";

std::atomic<TSystemdControl*> InstalledControl{nullptr};

TSystemdControl& RealControl() {
  static TSystemdControl Control;
  return Control;
}

const char* StateName(std::uint32_t State) {
  switch (State) {
    case SERVICE_STOPPED:
      return "Stopped";
    case SERVICE_START_PENDING:
      return "Starting";
    case SERVICE_STOP_PENDING:
      return "Stopping";
    case SERVICE_RUNNING:
      return "Running";
    case SERVICE_CONTINUE_PENDING:
      return "Continuing";
    case SERVICE_PAUSE_PENDING:
      return "Pausing";
    case SERVICE_PAUSED:
      return "Paused";
    default:
      return "Unknown";
  }
}

// A unit file value on one line, with systemd's specifier character doubled.
std::string UnitValue(const std::string& Text) {
  std::string Out;
  for (char C : Text) {
    if (C == '\r' || C == '\n')
      Out += ' ';
    else if (C == '%')
      Out += "%%";
    else
      Out += C;
  }
  // A backslash at the end of a line would continue it on the next.
  while (!Out.empty() && Out.back() == '\\')
    Out.pop_back();
  return Out;
}

std::string JoinArgs(const std::vector<std::string>& Args) {
  std::string Text;
  for (const std::string& A : Args)
    Text += (Text.empty() ? "" : " ") + A;
  return Text;
}

void WriteFileAtomically(const std::string& Path, const std::string& Content) {
  std::string Temp = Path + ".tmp";
  int Fd = open(Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0)
    RaiseLastOSError(errno);
  std::size_t Done = 0;
  while (Done < Content.size()) {
    ssize_t N = write(Fd, Content.data() + Done, Content.size() - Done);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0) {
      int Err = N < 0 ? errno : EIO;
      close(Fd);
      unlink(Temp.c_str());
      RaiseLastOSError(Err);
    }
    Done += static_cast<std::size_t>(N);
  }
  if (fsync(Fd) != 0 || close(Fd) != 0) {
    int Err = errno;
    unlink(Temp.c_str());
    RaiseLastOSError(Err);
  }
  if (rename(Temp.c_str(), Path.c_str()) != 0) {
    int Err = errno;
    unlink(Temp.c_str());
    RaiseLastOSError(Err);
  }
  // The rename itself must reach the disk before the install is reported done.
  const std::string::size_type Slash = Path.rfind('/');
  const std::string Directory = Slash == std::string::npos ? "." : Path.substr(0, Slash + 1);
  int DirFd = open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (DirFd >= 0) {
    fsync(DirFd);
    close(DirFd);
  }
}

}  // namespace

std::string ServiceErrorText(int Code) {
  switch (Code) {
    case ERROR_CALL_NOT_IMPLEMENTED:
      return "This function is not supported on this system.";
    case ERROR_INVALID_NAME:
      return "The service name is not valid for a systemd unit.";
    case ERROR_SERVICE_DOES_NOT_EXIST:
      return "The specified service does not exist as an installed service.";
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
      return "The service process could not connect to the service controller.";
    case ERROR_SERVICE_SPECIFIC_ERROR:
      return "The service has returned a service-specific error code.";
    case ERROR_SERVICE_EXISTS:
      return "The specified service already exists.";
    default:
      return SysErrorMessage(Code);
  }
}

void RaiseServiceError(int Code) {
  throw EOSError("System error. Code: " + std::to_string(Code) + ".\r\n" + ServiceErrorText(Code),
                 Code);
}

std::string ServiceStatusNotification(const TServiceStatus& Status) {
  std::string Text;
  if (Status.CurrentState == SERVICE_RUNNING)
    Text += "READY=1\n";
  else if (Status.CurrentState == SERVICE_STOP_PENDING)
    Text += "STOPPING=1\n";
  Text += "STATUS=";
  Text += StateName(Status.CurrentState);
  return Text;
}

int SetServiceStatus(const TServiceStatus& Status) {
  int Result = sd_notify(0, ServiceStatusNotification(Status).c_str());
  return Result < 0 ? -Result : 0;
}

bool StartedByServiceManager() {
  return std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
}

std::uint32_t ServiceWatchdogPeriod() {
  std::uint64_t Usec = 0;
  if (sd_watchdog_enabled(0, &Usec) <= 0 || Usec == 0)
    return 0;
  const std::uint64_t Ms = (Usec + 999) / 1000;
  return Ms > UINT32_MAX / 2 ? UINT32_MAX / 2 : static_cast<std::uint32_t>(Ms);
}

int NotifyWatchdog() {
  int Result = sd_notify(0, "WATCHDOG=1");
  return Result < 0 ? -Result : 0;
}

void TWatchdogPing::Cycle() {
  if (!FKnown) {
    FPeriod = ServiceWatchdogPeriod();
    FKnown = true;
  }
  if (FPeriod == 0)
    return;
  const std::uint32_t Now = GetTickCount();
  // A quarter period leaves room for a slow cycle or two before systemd gives up.
  if (FSent && Now - FLastSent < FPeriod / 4)
    return;
  FSent = true;
  FLastSent = Now;
  if (FSend)
    FSend();
  else
    NotifyWatchdog();
}

bool StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& Table, int& ErrorCode) {
  ErrorCode = 0;
  if (!StartedByServiceManager()) {
    ErrorCode = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    return false;
  }
  std::vector<std::thread> Threads;
  for (const TServiceTableEntry& Entry : Table)
    Threads.emplace_back([&Entry] { Entry.ServiceMain({Entry.ServiceName}); });
  for (std::thread& T : Threads)
    T.join();
  return true;
}

std::string ServiceCommandLine(const std::string& ExecutablePath) {
  // Inside double quotes systemd takes C escapes, and '%' starts a specifier. Variables are not
  // expanded in the program's path, so '$' stays as it is.
  std::string Quoted = "\"";
  for (char C : ExecutablePath) {
    switch (C) {
      case '\\':
        Quoted += "\\\\";
        break;
      case '"':
        Quoted += "\\\"";
        break;
      case '%':
        Quoted += "%%";
        break;
      case '\n':
        Quoted += "\\n";
        break;
      default:
        Quoted += C;
    }
  }
  return Quoted + "\" /SVC";
}

std::string RenderUnitFile(const TUnitSettings& Settings) {
  const TServiceUnitOptions& Options = Settings.Options;
  std::string Text = "[Unit]\n";
  Text += "Description=" + UnitValue(Settings.Description) + "\n";
  if (!Options.Documentation.empty())
    Text += "Documentation=" + UnitValue(Options.Documentation) + "\n";
  for (const std::string& Unit : Settings.Requires) {
    Text += "Requires=" + UnitValue(Unit) + "\n";
    Text += "After=" + UnitValue(Unit) + "\n";
  }
  if (!Settings.FailureAction.empty())
    Text += "FailureAction=" + Settings.FailureAction + "\n";
  Text += "\n[Service]\n";
  Text += "Type=notify\n";
  Text += "ExecStart=" + Settings.ExecStart + "\n";
  if (!Settings.User.empty()) {
    Text += "User=" + UnitValue(Settings.User) + "\n";
    for (const std::string& Group : Options.SupplementaryGroups)
      Text += "SupplementaryGroups=" + UnitValue(Group) + "\n";
  }
  Text += "Restart=" + Settings.Restart + "\n";
  if (Settings.Restart != "no")
    Text += "RestartSec=" + std::to_string(Settings.RestartDelayMs) + "ms\n";
  if (Options.WatchdogSec != 0)
    Text += "WatchdogSec=" + std::to_string(Options.WatchdogSec) + "s\n";
  if (!Options.Sandbox.empty()) {
    Text += "\n";
    for (const std::string& Line : Options.Sandbox)
      Text += UnitValue(Line) + "\n";
  }
  Text += "\n[Install]\n";
  Text += "WantedBy=multi-user.target\n";
  return Text;
}

bool IsUnitName(const std::string& Name) {
  if (Name.empty() || Name.size() > 247)
    return false;
  for (char C : Name) {
    bool Allowed = (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                   C == ':' || C == '-' || C == '_' || C == '.';
    if (!Allowed)
      return false;
  }
  return true;
}

bool TSystemdControl::Running() {
  return sd_booted() > 0;
}

void TSystemdControl::Systemctl(const std::vector<std::string>& Args) {
  std::vector<std::string> All = {"systemctl"};
  All.insert(All.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (std::string& A : All)
    Argv.push_back(A.data());
  Argv.push_back(nullptr);

  int Out[2];
  if (pipe2(Out, O_CLOEXEC) != 0)
    RaiseLastOSError(errno);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, Out[1], STDERR_FILENO);
  // systemctl gets the default handling of the control signals this process blocks and routes,
  // so that a hanging systemctl can still be interrupted.
  posix_spawnattr_t Attributes;
  posix_spawnattr_init(&Attributes);
  sigset_t Signals;
  sigemptyset(&Signals);
  posix_spawnattr_setsigmask(&Attributes, &Signals);
  for (int Signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaddset(&Signals, Signal);
  posix_spawnattr_setsigdefault(&Attributes, &Signals);
  posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t Pid = -1;
  int Err = posix_spawnp(&Pid, "systemctl", &Actions, &Attributes, Argv.data(), environ);
  posix_spawnattr_destroy(&Attributes);
  posix_spawn_file_actions_destroy(&Actions);
  close(Out[1]);
  if (Err != 0) {
    close(Out[0]);
    throw EOSError("systemctl: " + SysErrorMessage(Err), Err);
  }
  std::string Output;
  char Buffer[512];
  for (;;) {
    ssize_t N = read(Out[0], Buffer, sizeof Buffer);
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      break;
    Output.append(Buffer, static_cast<std::size_t>(N));
  }
  close(Out[0]);
  int Status = 0;
  while (waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  int Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  if (Code == 0)
    return;
  while (!Output.empty() && (Output.back() == '\n' || Output.back() == '\r'))
    Output.pop_back();
  throw EOSError("systemctl " + JoinArgs(Args) + " failed with exit code " + std::to_string(Code) +
                     (Output.empty() ? "" : ": " + Output),
                 Code);
}

TSystemdControl& SystemdControl() {
  TSystemdControl* Control = InstalledControl.load();
  return Control != nullptr ? *Control : RealControl();
}

void SetSystemdControl(TSystemdControl* Value) {
  InstalledControl.store(Value);
}

void TServiceHandle::Update() {
  WriteFileAtomically(FPath, RenderUnitFile(FSettings));
}

void TServiceHandle::Activate() {
  TSystemdControl& Control = SystemdControl();
  if (!Control.Running())
    return;
  Control.Systemctl({"daemon-reload"});
  if (FSettings.AutoStart)
    Control.Systemctl({"enable", FName + ".service"});
}

void TServiceHandle::Delete() {
  TSystemdControl& Control = SystemdControl();
  bool Systemd = Control.Running();
  if (Systemd)
    Control.Systemctl({"disable", FName + ".service"});
  if (unlink(FPath.c_str()) != 0 && errno != ENOENT)
    RaiseLastOSError(errno);
  if (Systemd)
    Control.Systemctl({"daemon-reload"});
}

void TServiceHandle::RemoveUnitFile() {
  unlink(FPath.c_str());
}

TServiceManager::TServiceManager() {
  const char* Dir = std::getenv("PELMAR_UNIT_DIR");
  FDirectory = Dir != nullptr && *Dir != '\0' ? Dir : DefaultUnitDirectory;
  struct stat Info;
  if (stat(FDirectory.c_str(), &Info) != 0)
    RaiseLastOSError(errno);
  if (!S_ISDIR(Info.st_mode))
    RaiseLastOSError(ENOTDIR);
}

std::string TServiceManager::UnitPath(const std::string& ServiceName) const {
  return FDirectory + "/" + ServiceName + ".service";
}

bool TServiceManager::ServiceExists(const std::string& ServiceName) const {
  return IsUnitName(ServiceName) && access(UnitPath(ServiceName).c_str(), F_OK) == 0;
}

std::unique_ptr<TServiceHandle> TServiceManager::CreateService(const std::string& ServiceName,
                                                               const TUnitSettings& Settings) {
  if (!IsUnitName(ServiceName))
    RaiseServiceError(ERROR_INVALID_NAME);
  if (ServiceExists(ServiceName))
    RaiseServiceError(ERROR_SERVICE_EXISTS);
  std::unique_ptr<TServiceHandle> Handle(
      new TServiceHandle(ServiceName, UnitPath(ServiceName), Settings));
  Handle->Update();
  return Handle;
}

std::unique_ptr<TServiceHandle> TServiceManager::OpenService(const std::string& ServiceName) {
  if (!ServiceExists(ServiceName))
    return nullptr;
  return std::unique_ptr<TServiceHandle>(
      new TServiceHandle(ServiceName, UnitPath(ServiceName), TUnitSettings{}));
}

}  // namespace pelmar
