#include "NTService.h"

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
  SetOnExecute([this](TDDService& Sender) { ServiceExecute(Sender); });
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

void TPelCID::THostLink::ServeRequests() {
  FService.ProcessRequests(false);
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
