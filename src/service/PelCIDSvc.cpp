// PelCIDSvc: the ContactID service, its installer and its configuration tool in one program.
// The command line selects the mode (see DDSvcApplication.h); the settings are loaded first in
// every mode, so that a broken settings store stops the program before a mode starts.
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>

#include "Console.h"
#include "ControlSignals.h"
#include "DDConsole.h"
#include "DDSvcApplication.h"
#include "Debug.h"
#include "FbDatabase.h"
#include "NTService.h"
#include "Utilities.h"

using namespace pelmar;

namespace {

// While the setup form runs, a signal from outside (kill, a closed terminal) still ends the
// process with its default action, but only after the terminal is back in its normal mode. Keys
// do not raise signals then: the form reads Ctrl+C as a key.
class TSetupSignalGuard {
 public:
  TSetupSignalGuard() {
    SetConsoleCtrlHandler([](int /*CtrlType*/) {
      RestoreTerminal();
      return false;
    });
    FStopHandler = RegisterServiceCtrlHandlerEx("PelCIDSetup", [](std::uint32_t Control) {
      if (Control == SERVICE_CONTROL_STOP) {
        RestoreTerminal();
        std::signal(SIGTERM, SIG_DFL);
        sigset_t Term;
        sigemptyset(&Term);
        sigaddset(&Term, SIGTERM);
        pthread_sigmask(SIG_UNBLOCK, &Term, nullptr);
        std::raise(SIGTERM);
      }
      return std::uint32_t{0};
    });
  }
  ~TSetupSignalGuard() {
    DeregisterServiceCtrlHandler(FStopHandler);
    SetConsoleCtrlHandler(nullptr);
  }
  TSetupSignalGuard(const TSetupSignalGuard&) = delete;
  TSetupSignalGuard& operator=(const TSetupSignalGuard&) = delete;

 private:
  std::uint64_t FStopHandler = 0;
};

// Configuration mode: the setup form on the terminal.
void RunSetupMenu(TServiceApplication& Sender) {
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
    std::fprintf(stderr,
                 "PelCIDSvc: the setup menu needs a terminal; standard input or output is "
                 "redirected\n");
    ExitCode = 1;
    return;
  }
  Setup->InstalledQuery = [&Sender] {
    // Without a unit directory the service cannot be installed; the settings stay editable.
    try {
      return Sender.IsServiceInstalled(PelCID->ServiceName());
    } catch (const std::exception&) {
      return false;
    }
  };
  Setup->InstallAction = [&Sender](bool Install) { Sender.InstallServices(Install); };
  TSetupSignalGuard Signals;
  try {
    Setup->ShowSetup();
  } catch (const std::exception& E) {
    // The terminal is restored by now; say it where the user looks, then let the application's
    // guard log it and set the exit code.
    std::fprintf(stderr, "PelCIDSvc: %s\n", E.what());
    throw;
  }
}

}  // namespace

int main(int argc, char** argv) {
  IsConsole = true;
  ServiceApplicationStartup(argc, argv);
  std::unique_ptr<TSetup> Settings;
  try {
    if (DebugMode)
      EnableDebugLog();
    Settings = std::make_unique<TSetup>(true, true, "Pelmar ContactID service settings");
    Setup = Settings.get();
    Setup->LoadSettings();
    Application->CreateServiceModule(PelCID);
    Application->OnConfigure = RunSetupMenu;
    Application->Run();
  } catch (const std::exception& E) {
    // A failure before a mode runs (the settings store above all): the service must not start
    // half-configured. Said on the terminal and in the event log, exit code 1.
    const std::string Text = std::string("PelCIDSvc: ") + E.what();
    std::fprintf(stderr, "%s\n", Text.c_str());
    if (AppLogger != nullptr)
      AppLogger->LogMessage(Text, letError, 1, 0);
    ExitCode = 1;
  }
  Setup = nullptr;
  Settings.reset();
  const int Code = ServiceApplicationShutdown();
  ShutdownDatabaseClient();
  return Code;
}
