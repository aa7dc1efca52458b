// The program's one service module, "PelCID": its work is to make the service main module and
// run it until the service is asked to stop. The settings it hands to the main module are read
// from the global settings object when the work starts.
#pragma once

#include <cstdint>
#include <memory>

#include "DDSvcMgr.h"
#include "ServiceMain.h"
#include "SetupWindow.h"

namespace pelmar {

// The system user the packaged service runs as, and the directory of its own data (an embedded
// database), /var/lib/<ServiceStateDirectory>.
inline constexpr const char* ServiceUserName = "pelcid";
inline constexpr const char* ServiceStateDirectory = "pelmar-contactid";
// The watchdog period of the unit: longer than the longest legitimate pause of the worker's loop,
// a database connect to a server that does not answer (the Firebird client gives up after its
// ConnectionTimeout, 180 s by default; the kernel's SYN retries end after about 127 s).
inline constexpr std::uint32_t ServiceWatchdogSec = 240;

class TPelCID : public TDDService {
 public:
  // The unit runs the service as ServiceUserName, sandboxed, when that user exists.
  TPelCID();
  ~TPelCID() override;

  // Makes the unit run the service as ServiceUserName, a member of "dialout" for the serial
  // ports, under systemd's sandbox: only the settings store and the state directory writable,
  // no capabilities, Internet and local sockets only, the system calls of system services.
  void RunAsServiceUser();

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
    TWatchdogPing FWatchdog;
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
