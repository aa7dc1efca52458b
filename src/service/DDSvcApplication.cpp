#include "DDSvcApplication.h"

#include <cxxabi.h>

#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <typeinfo>

#include "DDConsole.h"
#include "Format.h"
#include "Process.h"
#include "Utilities.h"

namespace pelmar {

TServiceApplication* Application = nullptr;
bool DebugMode = false;
TEventLogger* AppLogger = nullptr;
std::atomic<int> ExitCode{0};

namespace {

// Set when Application is destroyed; the console close handler waits for it.
class TStopEvent {
 public:
  void Reset() {
    std::lock_guard Guard(FLock);
    FSet = false;
  }
  void Set() {
    std::lock_guard Guard(FLock);
    FSet = true;
    FChanged.notify_all();
  }
  void Wait() {
    std::unique_lock Guard(FLock);
    FChanged.wait(Guard, [this] { return FSet; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FSet = false;  // guarded by FLock
};

TStopEvent StopEvent;
// Guards Application against the close handler while the tear-down takes it away.
std::mutex ApplicationLock;
std::unique_ptr<TServiceApplication> ApplicationOwner;

std::mutex ServiceLogLock;
TDDService* ServiceLogTarget = nullptr;  // guarded by ServiceLogLock

void BindServiceLog(TDDService* Service) {
  std::lock_guard Guard(ServiceLogLock);
  ServiceLogTarget = Service;
}

std::string ClassNameOf(const std::exception& E) {
  if (const auto* P = dynamic_cast<const Exception*>(&E))
    return P->ClassName();
  int Status = 0;
  char* Name = abi::__cxa_demangle(typeid(E).name(), nullptr, nullptr, &Status);
  std::string Result = Status == 0 && Name != nullptr ? Name : typeid(E).name();
  std::free(Name);
  return Result;
}

std::string MessageOf(const std::exception& E) {
  if (const auto* P = dynamic_cast<const Exception*>(&E))
    return P->Message();
  return E.what();
}

void ReportUnhandled(const std::exception& E) {
  std::string Text =
      "Unhandled exception!\r\nClass: " + ClassNameOf(E) + "\r\n" + "Message: " + MessageOf(E);
  if (AppLogger != nullptr)
    AppLogger->LogMessage(Text, letError, 1, 0);
  ExitCode = 1;
}

}  // namespace

void ServiceLogInfo(const std::string& Msg) {
  std::lock_guard Guard(ServiceLogLock);
  if (ServiceLogTarget != nullptr)
    ServiceLogTarget->LogInfo(Msg);
}

void ServiceLogWarning(const std::string& Msg) {
  std::lock_guard Guard(ServiceLogLock);
  if (ServiceLogTarget != nullptr)
    ServiceLogTarget->LogWarning(Msg);
}

void ServiceLogError(const std::string& Msg) {
  std::lock_guard Guard(ServiceLogLock);
  if (ServiceLogTarget != nullptr)
    ServiceLogTarget->LogError(Msg);
}

// ---------------------------------------------------------------------------------------------
// TServiceApplication

TServiceApplication::TServiceApplication() {
  StopEvent.Reset();
  AppLogger = new TEventLogger(ExtractFileName(GetModuleFileName()));
  // The main thread keeps its name: on Linux it is the process's name in ps, pgrep and the
  // journal, which must stay the executable's.
}

TServiceApplication::~TServiceApplication() {
  delete AppLogger;
  AppLogger = nullptr;
  StopEvent.Set();
  // Last made, first destroyed.
  while (!FComponents.empty())
    FComponents.pop_back();
}

void TServiceApplication::AddComponent(std::unique_ptr<TDDService> Component) {
  FComponents.push_back(std::move(Component));
}

void TServiceApplication::Run() {
  try {
    if (CommandLine().size() <= 1) {
      ConsoleWrite("No parameters passed >> config mode", false, 2);
      if (OnConfigure)
        OnConfigure(*this);
      return;
    }
    if (IsInstallMode()) {
      if (!IsAdmin()) {
        ConsoleWrite("Need administrator privileges for service install/uninstall!", true, 0);
        ExitCode = 2;
        return;
      }
      if (FindSwitch("INSTALL")) {
        ConsoleWrite("Installing service", false, 2);
        InstallServices(true);
      } else {
        ConsoleWrite("Uninstalling service", false, 2);
        InstallServices(false);
      }
      return;
    }
    if (!FindSwitch("SVC"))
      return;

    // Bound before any worker runs, so that the service's first log line finds it.
    BindServiceLog(ComponentCount() == 1 ? Components(0) : nullptr);
    try {
      std::vector<TServiceTableEntry> Table;
      if (DebugMode) {
        ConsoleWrite("Starting services in debug mode", false, 2);
        StartDebugServices();
      } else {
        ConsoleWrite("Starting services in normal mode", false, 2);
        Table = BuildServiceTable();
      }
      if (DebugMode) {
        for (const auto& Service : FComponents)
          if (TServiceThread* Thread = Service->ServiceThread())
            Thread->WaitFor();
      } else {
        int Error = 0;
        if (!StartServiceCtrlDispatcher(Table, Error))
          AppLogger->LogMessage(ServiceErrorText(Error), letError, 1, 0);
      }
      ConsoleWrite("All services stopped", false, 2);
    } catch (...) {
      if (DebugMode)
        ReleaseDebugThreads();
      throw;
    }
    if (DebugMode)
      ReleaseDebugThreads();
  } catch (const std::exception& E) {
    ReportUnhandled(E);
  }
}

void TServiceApplication::StartDebugServices() {
  for (const auto& Service : FComponents) {
    Service->SetDebugFlag(true);
    Service->SetServiceThread(std::make_unique<TServiceThread>(*Service));
    Service->ServiceThread()->Resume();
    SetConsoleTitle(Service->DisplayName());
  }
}

void TServiceApplication::ReleaseDebugThreads() {
  for (auto It = FComponents.rbegin(); It != FComponents.rend(); ++It)
    (*It)->TakeServiceThread().reset();
}

std::vector<TServiceTableEntry> TServiceApplication::BuildServiceTable() {
  std::vector<TServiceTableEntry> Table;
  for (const auto& Service : FComponents) {
    Table.push_back(TServiceTableEntry{
        Service->ServiceName(),
        [this](const std::vector<std::string>& Args) { DispatchServiceMain(Args); }});
    SetConsoleTitle(Service->DisplayName());
  }
  return Table;
}

void TServiceApplication::DispatchServiceMain(const std::vector<std::string>& Args) {
  if (Args.empty())
    return;
  for (const auto& Service : FComponents)
    if (SameText(Service->ServiceName(), Args[0])) {
      Service->Main(Args);
      return;
    }
}

void TServiceApplication::InstallServices(bool Install) {
  TServiceManager Manager;
  bool Failed = false;
  for (const auto& Service : FComponents) {
    try {
      if (Install)
        InstallService(*Service, Manager);
      else
        UninstallService(*Service, Manager);
    } catch (const std::exception& E) {
      ExitCode = 1;
      ConsoleWrite(Format(Install ? "Service \"%s\" failed to install with error: \"%s\""
                                  : "Service \"%s\" failed to uninstall with error: \"%s\"",
                          Service->DisplayName(), MessageOf(E)),
                   true, 0);
      Failed = true;
    }
  }
  if (!Failed)
    ConsoleWrite(Install ? "Service installed successfully" : "Service uninstalled successfully",
                 false, 1);
}

bool TServiceApplication::IsServiceInstalled(const std::string& ServiceName) {
  TServiceManager Manager;
  return Manager.ServiceExists(ServiceName);
}

// ---------------------------------------------------------------------------------------------
// Console close handling, start-up and tear-down

bool ConsoleCloseHandler(int CtrlType) {
  if (CtrlType != CTRL_C_EVENT && CtrlType != CTRL_CLOSE_EVENT)
    return false;
  ConsoleWrite("Close request received - shutting down", true, 2);
  // Set before the stop is queued: the main thread may reach the closing prompt right after it.
  ClosingByWindow = CtrlType == CTRL_CLOSE_EVENT;
  {
    std::lock_guard Guard(ApplicationLock);
    // Every service gets the stop, also one whose worker is still being made (it is kept until
    // the worker starts), so that a Ctrl+C during the start is not lost.
    if (Application != nullptr)
      for (int I = 0; I < Application->ComponentCount(); ++I)
        Application->Components(I)->PostRequest(ControlRequestMsg, SERVICE_CONTROL_STOP, 0);
  }
  StopEvent.Wait();
  return true;
}

void ServiceApplicationStartup(int ArgC, char** ArgV) {
  StartControlSignals();
  SetCommandLine(ArgC, ArgV);
  DebugMode = FindSwitch("DEBUG");
  if (DebugMode)
    ConsoleLevel = 3;
  if (FindSwitch("VERBOSE"))
    ConsoleLevel = 2;
  if (DebugMode || (IsInstallMode() && !FindSwitch("SILENT")))
    ConsoleInit(ConsoleCloseHandler);
  ConsoleWrite("Application initalizing", false, 2);
  std::lock_guard Guard(ApplicationLock);
  ApplicationOwner = std::make_unique<TServiceApplication>();
  Application = ApplicationOwner.get();
}

int ServiceApplicationShutdown() {
  std::unique_ptr<TServiceApplication> Owned;
  {
    std::lock_guard Guard(ApplicationLock);
    Owned = std::move(ApplicationOwner);
    Application = nullptr;
  }
  BindServiceLog(nullptr);
  if (Owned) {
    Owned.reset();
    ConsoleWrite("Application finished", false, 2);
  }
  SetConsoleCtrlHandler(nullptr);
  ConsoleDone();
  StopControlSignals();
  return ExitCode;
}

int RunServiceApplication(int ArgC, char** ArgV,
                          const std::function<void(TServiceApplication&)>& Setup) {
  IsConsole = true;
  ServiceApplicationStartup(ArgC, ArgV);
  try {
    if (Setup)
      Setup(*Application);
    Application->Run();
  } catch (const std::exception& E) {
    ReportUnhandled(E);
  }
  return ServiceApplicationShutdown();
}

}  // namespace pelmar
