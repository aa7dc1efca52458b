#include "DDSvcMgr.h"

#include <algorithm>
#include <cctype>

#include "DDConsole.h"
#include "DDRegistryEx.h"
#include "Format.h"
#include "Process.h"
#include "Utilities.h"

namespace pelmar {
namespace {

// Wakes a worker that waits for requests; carries no request.
constexpr std::uint32_t WM_QUIT = 0x0012;

std::atomic<int> InstanceCount{0};
std::atomic<TServiceRunState> LastState{rsStartPending};
std::mutex ServiceWindowLock;
int WindowCount = 0;  // guarded by ServiceWindowLock

const char* const ControlNames[] = {
    "stop",          "pause",          "continue",    "interrogate",
    "shutdown",      "ParamChange",    "NetBindAdd",  "NetBindRemove",
    "NetBindEnable", "NetBindDisable", "DeviceEvent", "HardwareProfileChange",
    "PowerEvent",    "SessionChange",  "PreShutdown",
};

std::string TextOf(const std::exception& E) {
  if (const auto* P = dynamic_cast<const Exception*>(&E))
    return P->Message();
  return E.what();
}

std::size_t CharacterCount(const std::string& Text) {
  return static_cast<std::size_t>(std::count_if(Text.begin(), Text.end(), [](char C) {
    return (static_cast<unsigned char>(C) & 0xC0) != 0x80;
  }));
}

// Name with its extension (after the last '.' of the last path part) replaced by Extension.
std::string ChangeFileExt(const std::string& Name, const std::string& Extension) {
  std::size_t Dot = Name.rfind('.');
  std::size_t Separator = Name.find_last_of("/\\:");
  if (Dot == std::string::npos || (Separator != std::string::npos && Dot < Separator))
    return Name + Extension;
  return Name.substr(0, Dot) + Extension;
}

bool IsPending(TServiceRunState State) {
  return State == rsStartPending || State == rsStopPending || State == rsContinuePending ||
         State == rsPausePending;
}

}  // namespace

int ServiceInstanceCount() {
  return InstanceCount.load();
}

TServiceRunState LastReportedState() {
  return LastState.load();
}

void SetLastReportedState(TServiceRunState Value) {
  LastState.store(Value);
}

int ServiceWindowCount() {
  std::lock_guard Guard(ServiceWindowLock);
  return WindowCount;
}

std::string ControlName(std::uint32_t Code) {
  return Code >= 1 && Code <= 15 ? ControlNames[Code - 1] : "";
}

// ---------------------------------------------------------------------------------------------
// Companion classes

std::string TDependency::DisplayName() const {
  return Name.empty() ? "TDependency" : Name;
}

TFailureAction::TFailureAction(TFailureActionType ActionType, int Delay) {
  SetDelay(Delay);
  SetActionType(ActionType);
}

void TFailureAction::SetActionType(TFailureActionType Value) {
  FActionType = Value;
  if (Value == faNone)
    FDelay = 0;
}

void TFailureAction::SetDelay(int Value) {
  FDelay = std::max(Value, 0);
}

std::string TFailureAction::DisplayName() const {
  switch (FActionType) {
    case faRestart:
      return Format("Restart service in %d ms", FDelay);
    case faReboot:
      return Format("Reboot system in %d ms", FDelay);
    case faRunCommand:
      return Format("Execute command in %d ms", FDelay);
    case faNone:
      break;
  }
  return "No action";
}

void TEventLogger::LogMessage(const std::string& Msg, TLogEventType EventType,
                              std::uint16_t Category, std::uint32_t ID) {
  EventLogSink().Write(TEventLogEntry{FName, EventType, Category, ID, Msg});
  ConsoleWrite("LogMessage: " + Msg, EventType == letError, 3);
}

// ---------------------------------------------------------------------------------------------
// TServiceThread

TServiceThread::TServiceThread(TDDService& Service) : FService(Service) {}

TServiceThread::~TServiceThread() {
  if (FThread.joinable())
    FThread.join();
}

void TServiceThread::Resume() {
  std::lock_guard Guard(FLock);
  if (!FStarted) {
    FStarted = true;
    FThread = std::thread([this] { Execute(); });
  } else if (FSuspended) {
    FSuspended = false;
    FResumed.notify_all();
  }
}

void TServiceThread::Suspend() {
  std::unique_lock Guard(FLock);
  FSuspended = true;
  FResumed.wait(Guard, [this] { return !FSuspended; });
}

bool TServiceThread::Suspended() const {
  std::lock_guard Guard(FLock);
  return FSuspended;
}

void TServiceThread::WaitFor() {
  if (FThread.joinable())
    FThread.join();
}

void TServiceThread::Terminate() {
  FTerminated = true;
  Post(WM_QUIT, 0, 0);
}

void TServiceThread::Post(std::uint32_t Kind, std::uint32_t Code, std::intptr_t Param) {
  std::lock_guard Guard(FLock);
  if (FQueue)
    FQueue->Post(Kind, Code, Param);
  else
    FEarly.push_back(TQueuedMessage{Kind, Code, Param});
}

void TServiceThread::ServeRequests(bool Wait) {
  std::shared_ptr<TEventQueue> Queue = TEventQueue::Current();
  for (;;) {
    if (Wait && Terminated())
      return;
    if (Wait) {
      // Terminate posts a wake-up, so the long wait never delays the end.
      while (!Queue->WaitMessage(60000)) {
      }
    }
    if (Queue->ProcessMessages() == 0 && !Wait)
      return;
  }
}

void TServiceThread::ServeRequest(const TQueuedMessage& Message) {
  if (Message.Msg == ControlRequestMsg || Message.Msg == SessionRequestMsg)
    FService.ServeRequest(Message.Msg, static_cast<std::uint32_t>(Message.WParam), Message.LParam);
}

void TServiceThread::Execute() {
  ConsoleWrite("Worker thread execute", false, 3);
  NameThreadForDebugger("Service work");
  {
    std::lock_guard Guard(FLock);
    FQueue = std::make_unique<TMessageEndpoint>(
        [this](const TQueuedMessage& Message) { ServeRequest(Message); });
    for (const TQueuedMessage& M : FEarly)
      FQueue->Post(M.Msg, M.WParam, M.LParam);
    FEarly.clear();
  }
  FService.ExecuteWorker(*this);
  ConsoleWrite("Worker thread exiting", false, 3);
  {
    std::lock_guard Guard(FLock);
    FQueue.reset();
  }
  FFinished = true;
}

// ---------------------------------------------------------------------------------------------
// TDDService: properties

TDDService::TDDService() : FImagePath(ServiceCommandLine(GetModuleFileName())) {
  ++InstanceCount;
}

TDDService::~TDDService() {
  if (FStatusHandle != 0)
    DeregisterServiceCtrlHandler(FStatusHandle);
  std::unique_ptr<TServiceThread> Thread = TakeServiceThread();
  if (Thread) {
    Thread->Terminate();
    Thread->WaitFor();
  }
  --InstanceCount;
}

std::string TDDService::ServiceName() const {
  return FServiceName.empty() ? FName : FServiceName;
}

void TDDService::SetServiceName(const std::string& Value) {
  if (!IsValidServiceName(Value))
    throw Exception(Format("''%s'' is not a valid service name", Value));
  FServiceName = Value;
}

std::string TDDService::DisplayName() const {
  return FDisplayName.empty() ? FName : FDisplayName;
}

void TDDService::SetDescription(const std::string& Value) {
  if (CharacterCount(Value) > 1024)
    throw Exception("Invalid service description. Maximum length allowed is 1024 chars");
  FDescription = Value;
}

TAllowedExControls TDDService::AllowedExControls() const {
  std::lock_guard Guard(FPropertyLock);
  return FAllowedExControls;
}

void TDDService::SetAllowedExControls(const TAllowedExControls& Value) {
  std::lock_guard Guard(FPropertyLock);
  FAllowedExControls = Value;
}

void TDDService::SetExOptions(const TExOptions& Value) {
  FExOptions = Value;
  if (Value.count(eoForceServiceThreadWindow) != 0 && HasServiceThread())
    CreateServiceWindow();
}

void TDDService::SetInteractive(bool Value) {
  FInteractive = Value;
  if (Value) {
    FPassword.clear();
    FServiceStartName.clear();
  }
}

void TDDService::SetPassword(const std::string& Value) {
  if (Value != FPassword && !Value.empty())
    FInteractive = false;
  FPassword = Value;
}

void TDDService::SetServiceStartName(const std::string& Value) {
  if (Value != FServiceStartName && !Value.empty())
    FInteractive = false;
  FServiceStartName = Value;
}

void TDDService::SetOnStop(TStopEvent Value) {
  FOnStop = std::move(Value);
  FAllowStop = true;
}

void TDDService::SetOnPause(TPauseEvent Value) {
  FOnPause = std::move(Value);
  FAllowPause = true;
}

void TDDService::SetOnContinue(TContinueEvent Value) {
  FOnContinue = std::move(Value);
  FAllowPause = true;
}

void TDDService::SetOnPreShutdown(TDDServiceEvent Value) {
  FOnPreShutdown = std::move(Value);
  std::lock_guard Guard(FPropertyLock);
  FAllowedExControls.insert(alPreShutdown);
}

void TDDService::SetOnParamChange(TDDServiceEvent Value) {
  FOnParamChange = std::move(Value);
  std::lock_guard Guard(FPropertyLock);
  FAllowedExControls.insert(alParamChange);
}

void TDDService::SetOnNetBindChange(TControlEvent Value) {
  FOnNetBindChange = std::move(Value);
  std::lock_guard Guard(FPropertyLock);
  FAllowedExControls.insert(alNetBindChange);
}

void TDDService::SetOnSessionChange(TSessionChangeEvent Value) {
  FOnSessionChange = std::move(Value);
  std::lock_guard Guard(FPropertyLock);
  FAllowedExControls.insert(alSessionChange);
}

void TDDService::SetOnPowerEvent(TMessageEvent Value) {
  FOnPowerEvent = std::move(Value);
  if (HasServiceThread())
    CreateServiceWindow();
}

void TDDService::SetOnDeviceEvent(TMessageEvent Value) {
  FOnDeviceEvent = std::move(Value);
  if (HasServiceThread())
    CreateServiceWindow();
}

// ---------------------------------------------------------------------------------------------
// Status

void TDDService::SetStatus(TServiceRunState Value) {
  FStatus = Value;
  ReportStatus();
}

void TDDService::ReportStatus() {
  TServiceStatus Report;
  {
    std::lock_guard Guard(FStatusLock);
    TServiceRunState State = FStatus.load();
    FServiceStatus.WaitHint = static_cast<std::uint32_t>(FWaitHint);
    FServiceStatus.ServiceType = ServiceTypeCode();
    FServiceStatus.ControlsAccepted = State == rsStartPending ? 0 : ControlsAccepted();
    if (IsPending(State) && State == LastReportedState())
      ++FServiceStatus.CheckPoint;
    else
      FServiceStatus.CheckPoint = 0;
    SetLastReportedState(State);
    FServiceStatus.CurrentState = static_cast<std::uint32_t>(State) + 1;
    FServiceStatus.Win32ExitCode = static_cast<std::uint32_t>(FWin32ExitCode);
    FServiceStatus.ServiceSpecificExitCode = static_cast<std::uint32_t>(FServiceExitCode);
    if (FServiceExitCode != 0)
      FServiceStatus.Win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    Report = FServiceStatus;
  }
  if (FDebugFlag)
    return;
  if (int Error = SetServiceStatus(Report); Error != 0)
    LogWarning("ReportStatus: " + ServiceErrorText(Error));
}

TServiceStatus TDDService::LastStatus() const {
  std::lock_guard Guard(FStatusLock);
  return FServiceStatus;
}

std::uint32_t TDDService::ServiceTypeCode() const {
  switch (FServiceType) {
    case stDevice:
      return 1;
    case stFileSystem:
      return 2;
    case stWin32:
      break;
  }
  return (ServiceInstanceCount() >= 2 ? 32u : 16u) + (FInteractive ? 256u : 0u);
}

std::uint32_t TDDService::StartTypeCode() const {
  switch (FStartType) {
    case stBoot:
      return FServiceType == stDevice ? 0 : 2;
    case stSystem:
      return FServiceType == stDevice ? 1 : 2;
    case stAuto:
    case stAutoDelayed:
      return 2;
    case stManual:
      return 3;
    case stDisabled:
      return 4;
  }
  return 2;
}

std::uint32_t TDDService::ErrorControlCode() const {
  return static_cast<std::uint32_t>(FErrorSeverity);
}

std::uint32_t TDDService::ControlsAccepted() const {
  std::uint32_t Result = 4;
  if (AllowStop())
    Result += 1;
  if (AllowPause())
    Result += 2;
  TAllowedExControls Ex = AllowedExControls();
  if (IsWin2000OrLater()) {
    if (Ex.count(alParamChange) != 0)
      Result += 8;
    if (Ex.count(alNetBindChange) != 0)
      Result += 16;
  }
  if (IsWinXPOrLater() && Ex.count(alSessionChange) != 0)
    Result += 128;
  if (IsVistaOrLater() && Ex.count(alPreShutdown) != 0)
    Result += 256;
  return Result;
}

// ---------------------------------------------------------------------------------------------
// Event log

TEventLogger& TDDService::EventLogger() {
  std::lock_guard Guard(FLoggerLock);
  if (!FEventLogger)
    FEventLogger = std::make_unique<TEventLogger>(ServiceName());
  return *FEventLogger;
}

void TDDService::LogMessage(const std::string& Msg, TLogEventType EventType, std::uint16_t Category,
                            std::uint32_t ID) {
  EventLogger().LogMessage(Msg, EventType, Category, ID);
}

void TDDService::LogInfo(const std::string& Msg) {
  LogMessage(Msg, letInformation, 3, 0);
}

void TDDService::LogWarning(const std::string& Msg) {
  LogMessage(Msg, letWarning, 2, 0);
}

void TDDService::LogError(const std::string& Msg) {
  LogMessage(Msg, letError, 1, 0);
}

// ---------------------------------------------------------------------------------------------
// Worker and requests

TServiceThread* TDDService::ServiceThread() const {
  std::lock_guard Guard(FThreadLock);
  return FServiceThread.get();
}

bool TDDService::HasServiceThread() const {
  return ServiceThread() != nullptr;
}

void TDDService::SetServiceThread(std::unique_ptr<TServiceThread> Thread) {
  std::lock_guard Guard(FThreadLock);
  FServiceThread = std::move(Thread);
  if (FServiceThread) {
    for (const TQueuedMessage& M : FPending)
      FServiceThread->Post(M.Msg, static_cast<std::uint32_t>(M.WParam), M.LParam);
    FPending.clear();
  }
}

std::unique_ptr<TServiceThread> TDDService::TakeServiceThread() {
  std::lock_guard Guard(FThreadLock);
  return std::move(FServiceThread);
}

bool TDDService::Terminated() const {
  TServiceThread* Thread = ServiceThread();
  return Thread != nullptr && Thread->Terminated();
}

void TDDService::ServeRequests(bool Wait) {
  if (TServiceThread* Thread = ServiceThread())
    Thread->ServeRequests(Wait);
}

void TDDService::Main(const std::vector<std::string>& Args) {
  FParams.insert(FParams.end(), Args.begin(), Args.end());
  FTriggerStarted = Args.size() >= 2 && Args[1] == "TriggerStarted";
  FStatusHandle = RegisterServiceCtrlHandlerEx(
      ServiceName(), [this](std::uint32_t Control) { return ControlHandler(Control); });
  if (FStatusHandle == 0) {
    LogError(ServiceErrorText(ERROR_CALL_NOT_IMPLEMENTED));
    return;
  }
  RunWorker();
}

std::uint32_t TDDService::ControlHandler(std::uint32_t Control, std::uint32_t EventType,
                                         std::uint32_t SessionID) {
  TAllowedExControls Ex = AllowedExControls();
  bool Accepted = false;
  if (Control == 1)
    Accepted = AllowStop();
  else if (Control == 2 || Control == 3)
    Accepted = AllowPause();
  else if (Control == 4 || Control == 5)
    Accepted = true;
  else if (Control == 6)
    Accepted = Ex.count(alParamChange) != 0;
  else if (Control >= 7 && Control <= 10)
    Accepted = Ex.count(alNetBindChange) != 0;
  else if (Control == 14)
    Accepted = Ex.count(alSessionChange) != 0;
  else if (Control == 15)
    Accepted = Ex.count(alPreShutdown) != 0;
  else if (Control >= 128 && Control <= 255)
    Accepted = true;
  if (!Accepted)
    return ERROR_CALL_NOT_IMPLEMENTED;
  if (Control == 14)
    PostRequest(SessionRequestMsg, EventType, static_cast<std::intptr_t>(SessionID));
  else
    PostRequest(ControlRequestMsg, Control, 0);
  return 0;
}

void TDDService::PostRequest(std::uint32_t Kind, std::uint32_t Code, std::intptr_t Param) {
  std::lock_guard Guard(FThreadLock);
  if (!FServiceThread) {
    FPending.push_back(TQueuedMessage{Kind, Code, Param});
    return;
  }
  if (FServiceThread->Suspended())
    FServiceThread->Resume();
  FServiceThread->Post(Kind, Code, Param);
}

void TDDService::RunWorker() {
  try {
    SetStatus(rsStartPending);
    SetServiceThread(std::make_unique<TServiceThread>(*this));
    TServiceThread* Thread = ServiceThread();
    Thread->Resume();
    Thread->WaitFor();
    TakeServiceThread().reset();
  } catch (const std::exception& E) {
    LogError(Format("Service failed on %s: %s", "execute", TextOf(E)));
  }
  SetStatus(rsStopped);
}

void TDDService::ExecuteWorker(TServiceThread& Thread) {
  bool WindowStep = false;
  try {
    SetStatus(rsStartPending);
    bool Started = true;
    WindowStep = true;
    if (NeedsServiceWindow())
      CreateServiceWindow();
    if (FLogOptions.LogSCEvents)
      LogInfo(FDisplayName + " started!");
    if (FOnStart)
      FOnStart(*this, Started);
    if (Started) {
      try {
        SetStatus(rsRunning);
        if (FOnExecute)
          FOnExecute(*this);
        else
          Thread.ServeRequests(true);
        Thread.ServeRequests(false);
      } catch (const std::exception& E) {
        LogError(Format("Service failed on %s: %s", "execute", TextOf(E)));
      } catch (...) {
        LogError(Format("Service failed on %s: %s", "execute", "Unknown exception"));
      }
    }
    DestroyServiceWindow();
  } catch (const std::exception& E) {
    if (WindowStep)
      DestroyServiceWindow();
    LogError(Format("Service failed on %s: %s", "start", TextOf(E)));
  } catch (...) {
    if (WindowStep)
      DestroyServiceWindow();
    LogError(Format("Service failed on %s: %s", "start", "Unknown exception"));
  }
}

void TDDService::ServeRequest(std::uint32_t Kind, std::uint32_t Code, std::intptr_t Param) {
  auto Failed = [&](const std::exception& E, const std::string& Name, bool Restore,
                    TServiceRunState Saved) {
    if (Restore)
      SetStatus(Saved);
    bool CanAbort = false;
    if (HandleRunException(E, CanAbort)) {
      if (!Name.empty())
        LogError(Format("Service failed on %s: %s", Name, TextOf(E)));
      else
        LogError(Format("Service failed in custom message(%d): %s", Code, TextOf(E)));
    }
    if (CanAbort)
      throw EAbort("Operation aborted");
  };

  if (Kind == SessionRequestMsg) {
    try {
      HandleSessionChange(static_cast<int>(Code), static_cast<int>(Param));
    } catch (const std::exception& E) {
      Failed(E, "SessionChange", false, rsStopped);
    }
    return;
  }
  if (Kind != ControlRequestMsg)
    return;
  TServiceRunState Saved = Status();
  try {
    bool ActionOK = true;
    switch (Code) {
      case 1:
        ActionOK = HandleStop();
        break;
      case 2:
        ActionOK = HandlePause();
        break;
      case 3:
        ActionOK = HandleContinue();
        break;
      case 4:
        HandleInterrogate();
        break;
      case 5:
        HandleShutdown();
        break;
      case 6:
        HandleParamChange();
        break;
      case 7:
      case 8:
      case 9:
      case 10:
        HandleNetBindChange(static_cast<int>(Code));
        break;
      case 15:
        HandlePreShutdown();
        break;
      default:
        HandleCustomControl(static_cast<int>(Code));
        break;
    }
    if (!ActionOK)
      SetStatus(Saved);
  } catch (const std::exception& E) {
    Failed(E, ControlName(Code), Code != 5, Saved);
  }
}

bool TDDService::HandleStop() {
  SetStatus(rsStopPending);
  bool Stopped = true;
  if (FOnStop)
    FOnStop(*this, Stopped);
  if (Stopped) {
    if (FLogOptions.LogSCEvents)
      LogInfo(FDisplayName + " stopping!");
    if (TServiceThread* Thread = ServiceThread())
      Thread->Terminate();
  }
  return Stopped;
}

bool TDDService::HandlePause() {
  SetStatus(rsPausePending);
  bool Paused = true;
  if (FOnPause)
    FOnPause(*this, Paused);
  if (Paused) {
    SetStatus(rsPaused);
    if (FExOptions.count(eoSuspendServiceThreadOnPause) != 0)
      if (TServiceThread* Thread = ServiceThread())
        Thread->Suspend();
  }
  return Paused;
}

bool TDDService::HandleContinue() {
  SetStatus(rsContinuePending);
  bool Continued = true;
  if (FOnContinue)
    FOnContinue(*this, Continued);
  if (Continued)
    SetStatus(rsRunning);
  return Continued;
}

void TDDService::HandleInterrogate() {
  ReportStatus();
}

void TDDService::HandleShutdown() {
  SetStatus(rsStopPending);
  struct TTerminateOnExit {
    TDDService& Service;
    ~TTerminateOnExit() {
      if (TServiceThread* Thread = Service.ServiceThread())
        Thread->Terminate();
    }
  } TerminateOnExit{*this};
  if (FOnShutdown)
    FOnShutdown(*this);
  if (FLogOptions.LogSCEvents)
    LogInfo(FDisplayName + " stopping for system shutdown!");
}

void TDDService::HandlePreShutdown() {
  SetStatus(rsStopPending);
  if (FOnPreShutdown)
    FOnPreShutdown(*this);
  if (FLogOptions.LogSCEvents && IsVistaOrLater())
    LogInfo(FDisplayName + " stopping for system shutdown!");
}

void TDDService::HandleParamChange() {
  ReportStatus();
  if (FOnParamChange)
    FOnParamChange(*this);
}

void TDDService::HandleNetBindChange(int Code) {
  ReportStatus();
  if (FOnNetBindChange)
    FOnNetBindChange(*this, Code);
}

void TDDService::HandleSessionChange(int EventType, int SessionID) {
  ReportStatus();
  if (FOnSessionChange)
    FOnSessionChange(*this, EventType, SessionID);
}

void TDDService::HandleCustomControl(int Code) {
  if (FOnCustomControl)
    FOnCustomControl(*this, Code);
}

int TDDService::HandlePowerEvent(int EventType, std::intptr_t EventData) {
  int MsgResult = 0;
  if (FOnPowerEvent && Status() != rsStartPending)
    FOnPowerEvent(*this, EventType, EventData, MsgResult);
  return MsgResult;
}

int TDDService::HandleDeviceEvent(int EventType, std::intptr_t EventData) {
  int MsgResult = 0;
  if (FOnDeviceEvent && Status() != rsStartPending)
    FOnDeviceEvent(*this, EventType, EventData, MsgResult);
  return MsgResult;
}

bool TDDService::HandleRunException(const std::exception& E, bool& CanAbort) {
  CanAbort = false;
  bool LogDefaultErrMsg = true;
  if (FOnRunException)
    FOnRunException(*this, E, LogDefaultErrMsg, CanAbort);
  return LogDefaultErrMsg;
}

// ---------------------------------------------------------------------------------------------
// Hidden window

bool TDDService::NeedsServiceWindow() const {
  return FExOptions.count(eoForceServiceThreadWindow) != 0 || FOnPowerEvent || FOnDeviceEvent;
}

void TDDService::CreateServiceWindow() {
  if (!HasServiceThread() || FServiceWindow)
    return;
  std::lock_guard Guard(ServiceWindowLock);
  FServiceWindow = std::make_unique<TMessageEndpoint>([this](const TQueuedMessage& M) {
    try {
      ServiceWindowProc(M.Msg, M.WParam, M.LParam);
    } catch (const std::exception& E) {
      bool CanAbort = false;
      if (HandleRunException(E, CanAbort))
        LogError(Format("Service failed on %s: %s", Format("Message $%.8x", M.Msg), TextOf(E)));
      if (CanAbort)
        throw EAbort("Operation aborted");
    }
  });
  ++WindowCount;
}

void TDDService::DestroyServiceWindow() {
  if (!FServiceWindow)
    return;
  std::lock_guard Guard(ServiceWindowLock);
  FServiceWindow.reset();
  --WindowCount;
}

std::intptr_t TDDService::ServiceWindowProc(std::uint32_t Msg, std::uintptr_t WParam,
                                            std::intptr_t LParam) {
  if (Msg == WM_POWERBROADCAST)
    return HandlePowerEvent(static_cast<int>(WParam), LParam);
  if (Msg == WM_DEVICECHANGE)
    return HandleDeviceEvent(static_cast<int>(WParam), LParam);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Installation

namespace {

// Runs one configuration step; a failure carries the step's label.
template <typename F>
void ConfigStep(const char* Label, F&& Step) {
  try {
    Step();
  } catch (const EOSError& E) {
    throw EOSError(
        Format("%s on the attempt to set property \"%s\"", SysErrorMessage(E.ErrorCode()), Label),
        E.ErrorCode());
  }
}

}  // namespace

TUnitSettings ServiceUnitSettings(const TDDService& Service) {
  TUnitSettings Unit;
  Unit.Description = Service.Description().empty() ? Service.DisplayName() : Service.Description();
  Unit.ExecStart = Service.ImagePath();
  Unit.User = Service.ServiceStartName();
  for (const TDependency& D : Service.Dependencies())
    if (!D.IsGroup)
      Unit.Requires.push_back(D.Name + ".service");
  Unit.AutoStart = Service.StartTypeCode() <= 2;
  // systemd restarts by one policy; the first action decides it.
  const TFailureActions& Actions = Service.FailureActions();
  if (!Actions.empty()) {
    const TFailureAction& First = Actions.front();
    if (First.ActionType() == faRestart) {
      // Stops with an error code count as failures too when the options say so.
      Unit.Restart = Service.FailureOptions().NonCrashFailures ? "on-failure" : "on-abnormal";
      Unit.RestartDelayMs = static_cast<std::uint32_t>(First.Delay());
    } else if (First.ActionType() == faReboot) {
      Unit.FailureAction = "reboot";
    }
  }
  Unit.Options = Service.UnitOptions();
  return Unit;
}

void ApplyServiceConfig(TDDService& Service, TServiceHandle& Handle) {
  if (!IsWin2000OrLater())
    return;
  const TUnitSettings Wanted = ServiceUnitSettings(Service);
  TUnitSettings& Unit = Handle.Settings();
  ConfigStep("Description", [&] {
    Unit.Description = Wanted.Description;
    Handle.Update();
  });
  const TFailureActions& Actions = Service.FailureActions();
  bool Reboot = std::any_of(Actions.begin(), Actions.end(),
                            [](const TFailureAction& A) { return A.ActionType() == faReboot; });
  ConfigStep("Recovery Options", [&] {
    if (Reboot && !EnableShutdownPrivilege())
      RaiseLastOSError(EPERM);
  });
  ConfigStep("Recovery Options", [&] {
    Unit.Restart = Wanted.Restart == "on-failure" ? "on-abnormal" : Wanted.Restart;
    Unit.RestartDelayMs = Wanted.RestartDelayMs;
    Unit.FailureAction = Wanted.FailureAction;
    Handle.Update();
  });
  if (!IsVistaOrLater())
    return;
  ConfigStep("Actions for stops with errors", [&] {
    if (Unit.Restart != Wanted.Restart) {
      Unit.Restart = Wanted.Restart;
      Handle.Update();
    }
  });
}

void InstallService(TDDService& Service, TServiceManager& Manager) {
  if (Service.BeforeInstall())
    Service.BeforeInstall()(Service);
  // The unit is written first without its description and recovery options, which the
  // configuration steps add one by one, each failing with its own label.
  TUnitSettings Unit = ServiceUnitSettings(Service);
  Unit.Description = Service.DisplayName();
  Unit.Restart = "no";
  Unit.RestartDelayMs = 0;
  Unit.FailureAction.clear();
  std::unique_ptr<TServiceHandle> Handle = Manager.CreateService(Service.ServiceName(), Unit);
  try {
    ApplyServiceConfig(Service, *Handle);
    Handle->Activate();
    Service.FinishInstall();
  } catch (...) {
    try {
      Handle->Delete();
    } catch (const std::exception&) {
      // The first failure is the one to report. Delete stops at a failing systemctl (which is
      // often what made the install fail): the unit file must not stay behind all the same.
      Handle->RemoveUnitFile();
    }
    throw;
  }
}

void UninstallService(TDDService& Service, TServiceManager& Manager) {
  std::unique_ptr<TServiceHandle> Handle = Manager.OpenService(Service.ServiceName());
  if (!Handle)
    return;
  if (Service.BeforeUninstall())
    Service.BeforeUninstall()(Service);
  Handle->Delete();
  Service.FinishUninstall();
}

std::string EventLogKey(const TDDService& Service) {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + Service.LogOptions().EventLogName;
}

std::string MessagesPath(const TDDService& Service) {
  std::string Executable = GetModuleFileName();
  return Executable.substr(0, Executable.rfind('/') + 1) + Service.LogOptions().MessagesLibrary;
}

void CreateCustomEventLog(TDDService& Service) {
  const TServiceLogOptions& Options = Service.LogOptions();
  if (Options.EventLogName.empty())
    throw Exception("CreateCustomEventLog: Service EventLogName must be defined!");
  if (Options.MessagesLibrary.empty())
    throw Exception("CreateCustomEventLog: Service MessagesLibrary must be defined!");
  TRegistryEx Registry;
  std::string Key = EventLogKey(Service);
  if (Registry.KeyExists(Key))
    return;
  if (!Registry.OpenKey(Key, true))
    throw Exception("Failed to register event log. Error: " +
                    SysErrorMessage(Registry.LastError()));
  Registry.WriteExpandString("DisplayNameFile", MessagesPath(Service));
  Registry.WriteInteger("DisplayNameID", 4);
  Registry.WriteExpandString("File", ChangeFileExt(Options.EventLogName, ".evt"));
  Registry.WriteInteger("MaxSize", 524288);
  Registry.WriteString("PrimaryModule", Options.EventLogName);
  Registry.WriteInteger("Retention", 0);
  Registry.CloseKey();
}

void RegisterEventLogSource(TDDService& Service) {
  const TServiceLogOptions& Options = Service.LogOptions();
  std::string Name = Service.ServiceName();
  if (Name.empty())
    throw Exception("RegisterEventLogSource: Service ServiceName must be defined!");
  if (Options.EventLogName.empty())
    throw Exception("RegisterEventLogSource: Service EventLogName must be defined!");
  if (Options.MessagesLibrary.empty())
    throw Exception("RegisterEventLogSource: Service MessagesLibrary must be defined!");
  if (Options.MessageCategoryCount <= 0)
    throw Exception("RegisterEventLogSource: Service MessageCategoryCount must be > 0!");
  TRegistryEx Registry;
  std::string Key = EventLogKey(Service);
  if (!Registry.KeyExists(Key) || !Registry.OpenKey(Key, false))
    throw Exception(
        "RegisterEventLogSource: Event log does not exist! Use CreateCustomEventLog first");
  std::vector<std::string> Sources;
  if (Registry.ValueExists("Sources"))
    Registry.ReadMultiSz("Sources", Sources);
  if (std::none_of(Sources.begin(), Sources.end(),
                   [&](const std::string& S) { return SameText(S, Name); })) {
    Sources.push_back(Name);
    Registry.WriteMultiSz("Sources", Sources);
  }
  Registry.CloseKey();
  if (!Registry.OpenKey(Key + "\\" + Name, true))
    throw Exception("RegisterEventLogSource: failed to register! Error: " +
                    SysErrorMessage(Registry.LastError()));
  Registry.WriteString("EventMessageFile", MessagesPath(Service));
  Registry.WriteString("CategoryMessageFile", MessagesPath(Service));
  Registry.WriteInteger("CategoryCount", Options.MessageCategoryCount);
  Registry.WriteInteger("TypesSupported", 7);
  Registry.CloseKey();
}

void UnRegisterEventLogSource(TDDService& Service) {
  std::string Name = Service.ServiceName();
  if (Name.empty())
    throw Exception("UnRegisterEventLogSource: Service ServiceName must be defined!");
  if (Service.LogOptions().EventLogName.empty())
    throw Exception("UnRegisterEventLogSource: Service EventLogName must be defined!");
  TRegistryEx Registry;
  std::string Key = EventLogKey(Service);
  if (!Registry.KeyExists(Key))
    return;
  if (!Registry.OpenKey(Key, false))
    throw Exception("Failed to unregister from event log! Error: " +
                    SysErrorMessage(Registry.LastError()));
  std::vector<std::string> Sources;
  if (Registry.ValueExists("Sources"))
    Registry.ReadMultiSz("Sources", Sources);
  for (std::size_t I = Sources.size(); I-- > 0;)
    if (SameText(Sources[I], Name))
      Sources.erase(Sources.begin() + static_cast<std::ptrdiff_t>(I));
  if (!Sources.empty())
    Registry.WriteMultiSz("Sources", Sources);
  Registry.CloseKey();
  // The last source takes the whole log with it; while others remain, this source's own key
  // stays.
  if (Sources.empty())
    Registry.DeleteKey(Key);
}

void TDDService::FinishInstall() {
  if (FLogOptions.UseCustomEventLog) {
    CreateCustomEventLog(*this);
    RegisterEventLogSource(*this);
  }
  if (FLogOptions.LogSCEvents)
    LogInfo(FDisplayName + " installed!");
  if (FAfterInstall)
    FAfterInstall(*this);
}

void TDDService::FinishUninstall() {
  if (FLogOptions.LogSCEvents)
    LogInfo(FDisplayName + " uninstalled!");
  if (FLogOptions.UseCustomEventLog)
    UnRegisterEventLogSource(*this);
  if (FAfterUninstall)
    FAfterUninstall(*this);
}

}  // namespace pelmar
