// The service application: one executable that is the systemd service, its installer and its
// configuration tool. The command line selects the mode:
//   (no arguments)       configuration: OnConfigure (the setup menu)
//   /INSTALL, /UNINSTALL installs or removes the systemd unit (root only; exit code 2 otherwise)
//   /SVC                 service mode, only when systemd started the process
//   /SVC /DEBUG          debug mode: the service runs in the terminal; Ctrl+C stops it
//   /DEBUG, /VERBOSE     console levels 3 and 2; /SILENT: no console when installing
// Switches start with '-' or '/', in any letter case and order.
//
// Signals: in debug mode Ctrl+C (SIGINT) and a closed terminal (SIGHUP) stop the services in
// order; Ctrl+\ (SIGQUIT) and SIGTERM end the process at once. Under systemd SIGTERM stops the
// service, and SIGHUP is a parameter change (ignored unless the service takes those).
//
// How a program uses it, from main():
//
//   int main(int argc, char** argv) {
//     IsConsole = true;
//     ServiceApplicationStartup(argc, argv);   // before any other thread exists
//     if (DebugMode)
//       EnableDebugLog();
//     ... load the settings ...
//     Application->CreateServiceModule(MyService);  // MyService: a TDDService subclass
//     Application->OnConfigure = [](TServiceApplication&) { ... setup menu ... };
//     Application->Run();
//     ... free the settings ...
//     return ServiceApplicationShutdown();      // the process exit code
//   }
//
// RunServiceApplication wraps the same sequence around a hook. In service and debug mode the
// service's OnExecute runs on its worker thread (DDSvcMgr.h); ServiceLogInfo, ServiceLogWarning
// and ServiceLogError write to its event log from anywhere.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "DDConsole.h"
#include "DDSvcMgr.h"

namespace pelmar {

class TServiceApplication;

// Process-wide state.
extern TServiceApplication* Application;  // between start-up and shutdown
extern bool DebugMode;                    // the DEBUG switch
extern TEventLogger* AppLogger;           // source: the executable's file name; with Application
extern std::atomic<int> ExitCode;         // the process exit code Run leaves

// The service's event log, once Run bound it (service and debug mode with one service module);
// before that the calls do nothing. Safe from any thread.
void ServiceLogInfo(const std::string& Msg);
void ServiceLogWarning(const std::string& Msg);
void ServiceLogError(const std::string& Msg);

class TServiceApplication {
 public:
  using TConfigureEvent = std::function<void(TServiceApplication& Sender)>;

  TServiceApplication();
  // Frees AppLogger, releases the console close handler's wait, destroys the service modules.
  virtual ~TServiceApplication();
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;

  // Makes a service module owned by the application and stores it in Reference. A class that
  // does not derive from TDDService raises "Service does not inherit from TDDService"; when the
  // constructor raises, Reference is nullptr and the exception passes.
  template <typename T>
  void CreateServiceModule(T*& Reference) {
    Reference = nullptr;
    if constexpr (!std::is_base_of_v<TDDService, T>) {
      throw Exception("Service does not inherit from TDDService");
    } else {
      std::unique_ptr<T> Module = std::make_unique<T>();
      Reference = Module.get();
      AddComponent(std::move(Module));
    }
  }

  // Selects and runs the mode. Failures are logged to AppLogger and give exit code 1.
  virtual void Run();
  // Installs (or uninstalls) every service module; failures are reported per service.
  void InstallServices(bool Install);
  // True when the service's unit file is installed. Raises when the unit directory is missing.
  bool IsServiceInstalled(const std::string& ServiceName);
  // The dispatcher's entry: Args[0] names the service to run.
  void DispatchServiceMain(const std::vector<std::string>& Args);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TDDService* Components(int Index) const { return FComponents[Index].get(); }
  void AddComponent(std::unique_ptr<TDDService> Component);

  // Called by Run without arguments (configuration mode); on the main thread.
  TConfigureEvent OnConfigure;

 private:
  void StartDebugServices();
  void ReleaseDebugThreads();
  std::vector<TServiceTableEntry> BuildServiceTable();

  std::vector<std::unique_ptr<TDDService>> FComponents;
};

// Start-up of the service host: blocks the control signals and starts their thread (so this
// must run before any other thread exists), takes the command line, reads the switches, opens
// the console when the mode needs one, writes "Application initalizing" and creates
// Application. Run once per process.
void ServiceApplicationStartup(int ArgC, char** ArgV);
// Tear-down: destroys Application with its service modules, writes "Application finished",
// removes the console close handler, runs the console's closing prompt, stops the signal thread.
// Returns ExitCode.
int ServiceApplicationShutdown();

// The console-program mark, start-up, then Setup (which creates the service module and sets
// OnConfigure), Run, tear-down; returns the exit code. An exception from Setup is logged like
// one from Run (exit code 1).
int RunServiceApplication(int ArgC, char** ArgV,
                          const std::function<void(TServiceApplication&)>& Setup);

// The console close handler of the service host (registered by the start-up).
bool ConsoleCloseHandler(int CtrlType);

}  // namespace pelmar
