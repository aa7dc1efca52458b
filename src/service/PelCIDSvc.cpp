// PelCIDSvc: the ContactID service, its installer and its configuration tool in one program.
// The command line selects the mode (see DDSvcApplication.h); the settings are loaded first in
// every mode, so that a broken settings store stops the program before a mode starts.
#include <cstdio>
#include <exception>
#include <memory>

#include "DDConsole.h"
#include "DDSvcApplication.h"
#include "Debug.h"
#include "FbDatabase.h"
#include "NTService.h"
#include "Utilities.h"

using namespace pelmar;

namespace {

// Configuration mode until the setup form exists: say where the settings are kept.
void ShowSettingsLocation(TServiceApplication& /*Sender*/) {
  std::fprintf(stderr,
               "PelCIDSvc: the settings are kept under %s (key %s); edit them there, or run "
               "PelCIDSvc /SVC /DEBUG to start the service in this terminal.\n",
               Setup->RegistryRoot().c_str(), Setup->RegistryPath().c_str());
  ExitCode = 1;
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
    Application->OnConfigure = ShowSettingsLocation;
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
