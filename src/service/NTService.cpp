#include "NTService.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>

#include "DDSvcApplication.h"

namespace pelmar {

TPelCID* PelCID = nullptr;
TDataModule1* DataModule1 = nullptr;
TSetup* Setup = nullptr;

TPelCID::TPelCID() : FHostLink(*this) {
  SetName("PelCID");
  SetServiceName("PelCID");
  SetDisplayName("Pelmar ContactID Service");
  SetDescription("Pelmar system module for ContactID");
  SetAllowPause(false);
  TServiceLogOptions Options = LogOptions();
  Options.EventLogName = "PelMar";
  Options.MessagesLibrary = "PelMarMessages.dll";
  SetLogOptions(Options);
  // A failed or hung service comes back by itself: every acknowledged report is in the database
  // before its acknowledgement, so a kill loses nothing.
  SetFailureActions({TFailureAction(faRestart, 2000)});
  TFailureOptions Failure;
  Failure.NonCrashFailures = true;
  SetFailureOptions(Failure);
  TServiceUnitOptions Unit;
  Unit.Documentation = "man:PelCIDSvc(8)";
  Unit.WatchdogSec = ServiceWatchdogSec;
  SetUnitOptions(Unit);
  if (getpwnam(ServiceUserName) != nullptr)
    RunAsServiceUser();
  SetOnExecute([this](TDDService& Sender) { ServiceExecute(Sender); });
}

void TPelCID::RunAsServiceUser() {
  SetServiceStartName(ServiceUserName);
  TServiceUnitOptions Unit = UnitOptions();
  Unit.SupplementaryGroups = {"dialout"};
  Unit.Sandbox = {
      "NoNewPrivileges=yes",
      "ProtectSystem=strict",
      "ProtectHome=yes",
      "PrivateTmp=yes",
      "PrivateMounts=yes",
      // Serial receivers: on-board ports, USB adapters and modems; others by a drop-in.
      "DevicePolicy=closed",
      "DeviceAllow=char-ttyS rw",
      "DeviceAllow=char-ttyUSB rw",
      "DeviceAllow=char-ttyACM rw",
      // The settings store is rewritten when an older layout is brought up to date.
      "ReadWritePaths=-/etc/pelmar",
      std::string("StateDirectory=") + ServiceStateDirectory,
      "UMask=0077",
      "CapabilityBoundingSet=",
      "AmbientCapabilities=",
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6",
      "RestrictNamespaces=yes",
      "RestrictRealtime=yes",
      "RestrictSUIDSGID=yes",
      "LockPersonality=yes",
      "MemoryDenyWriteExecute=yes",
      "RemoveIPC=yes",
      "ProtectKernelTunables=yes",
      "ProtectKernelModules=yes",
      "ProtectKernelLogs=yes",
      "ProtectControlGroups=yes",
      "ProtectClock=yes",
      "ProtectHostname=yes",
      "ProtectProc=invisible",
      "SystemCallArchitectures=native",
      "SystemCallFilter=@system-service",
      "SystemCallFilter=~@privileged @resources",
      "SystemCallErrorNumber=EPERM",
  };
  SetUnitOptions(Unit);
}

TPelCID::~TPelCID() = default;

void TPelCID::ServiceExecute(TDDService& /*Sender*/) {
  if (Setup != nullptr)
    FSettings = Setup->ServiceSettings();
  auto Module = std::make_unique<TDataModule1>(FHostLink, FSettings);
  DataModule1 = Module.get();
  // The module is freed also when its run raises; the worker thread then logs the failure.
  std::exception_ptr Failure;
  try {
    Module->RunService();
  } catch (...) {
    Failure = std::current_exception();
  }
  Module.reset();
  DataModule1 = nullptr;
  if (Failure)
    std::rethrow_exception(Failure);
}

namespace {

#ifdef PELMAR_TEST_HOOKS
// Test builds only: once the file $PELMAR_TEST_HANG names exists, the worker's loop stops as in a
// deadlock and never comes back, so that the tests see the watchdog kill the service. The file is
// removed first, so the service started next runs normally.
void HangWhenTestAsks() {
  const char* File = std::getenv("PELMAR_TEST_HANG");
  if (File == nullptr || *File == '\0' || unlink(File) != 0)
    return;
  for (;;)
    pause();
}
#endif

}  // namespace

void TPelCID::THostLink::ServeRequests() {
  FService.ProcessRequests(false);
#ifdef PELMAR_TEST_HOOKS
  HangWhenTestAsks();
#endif
  // The loop is alive as long as it gets here.
  FWatchdog.Cycle();
}

bool TPelCID::THostLink::Terminated() const {
  return FService.Terminated();
}

void TPelCID::THostLink::LogInfo(const std::string& Text) {
  ServiceLogInfo(Text);
}

void TPelCID::THostLink::LogWarning(const std::string& Text) {
  ServiceLogWarning(Text);
}

void TPelCID::THostLink::LogError(const std::string& Text) {
  ServiceLogError(Text);
}

}  // namespace pelmar
