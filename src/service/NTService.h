// The program's one service module, "PelCID": its work is to make the service main module and
// run it until the service is asked to stop. The settings it hands to the main module are read
// from the global settings object when the work starts.
#pragma once

#include <memory>

#include "DDSvcMgr.h"
#include "ServiceMain.h"
#include "SetupWindow.h"

namespace pelmar {

class TPelCID : public TDDService {
 public:
  TPelCID();
  ~TPelCID() override;

  // The OnExecute handler; on the worker thread.
  void ServiceExecute(TDDService& Sender);

 private:
  // The main module's view of this service: requests, the stop flag and the event log.
  class THostLink : public TServiceHostLink {
   public:
    explicit THostLink(TDDService& Service) : FService(Service) {}
    void ServeRequests() override;
    bool Terminated() const override;
    void LogInfo(const std::string& Text) override;
    void LogWarning(const std::string& Text) override;
    void LogError(const std::string& Text) override;

   private:
    TDDService& FService;
  };

  THostLink FHostLink;
  TServiceSettings FSettings;
};

// The single service module (owned by Application), the main module while the service works,
// and the settings object of the program entry.
extern TPelCID* PelCID;
extern TDataModule1* DataModule1;
extern TSetup* Setup;

}  // namespace pelmar
