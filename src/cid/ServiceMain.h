// The service main module: holds the database connection, the structure-version checker and the
// service client, and joins the generic service machinery with the Contact ID logic. It creates
// and saves the Contact ID objects, polls every enabled channel in the work cycle and sets the
// service status from them, records every decoded report through PR_CID_EVENT before it is
// acknowledged, stores object statuses, supervises the accounts' test reports and maintenance
// once a minute, and answers the command "ForceRestore".
//
// The module reaches the service host only through TServiceHostLink (control requests, the
// worker's stop flag, the operating system's event log) and reads its connection settings from
// TServiceSettings; the service host implements the one and owns the other.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "CIDServer.h"
#include "DBUpdate.h"
#include "FbDatabase.h"
#include "ServiceClient.h"
#include "cidProtocol.h"

namespace pelmar {

// What the main module needs of the service host. Called on the worker thread, the log
// procedures from any thread.
class TServiceHostLink {
 public:
  virtual ~TServiceHostLink() = default;
  // Serves the pending service-control requests without waiting.
  virtual void ServeRequests() = 0;
  // The worker was asked to end.
  virtual bool Terminated() const = 0;
  // The operating system's event log, by severity.
  virtual void LogInfo(const std::string& Text) = 0;
  virtual void LogWarning(const std::string& Text) = 0;
  virtual void LogError(const std::string& Text) = 0;
};

// The connection settings of the service. An empty DBServer means the embedded engine: DBName is
// then the database file itself.
struct TServiceSettings {
  std::string CoreAddress = "127.0.0.1";
  std::uint16_t CorePort = 4701;
  std::string CorePassword;
  std::string DBServer = "127.0.0.1";
  std::uint16_t DBPort = 3050;
  std::string DBName;
  std::string DBUser = "SYSDBA";
  std::string DBPassword;
};

class TDataModule1 {
 public:
  static constexpr std::uint8_t ServiceNumber = 5;
  static constexpr const char* DisplayName = "Pelmar ContactID Service";
  static constexpr const char* Description = "Pelmar system module for ContactID";
  // 27 February 2026, 02:01:43.686.
  static constexpr TDateTime BuildDate = 46080.0845334028;
  // 4 January 2015.
  static constexpr TDateTime DatabaseVersion = 42008;

  static constexpr const char* CidEventSQL =
      "EXECUTE PROCEDURE PR_CID_EVENT(   :ACCOUNT_ID,   :OBJECT_ID,   :EVENT_CODE,   "
      ":ACCOUNT_IDX,   :GROUP_IDX,   :ZONE_IDX,   :ENABLE_ALARMS)";
  static constexpr const char* StatusSQL =
      "UPDATE OR INSERT INTO SYS_OBJECT_STATUSES (   OBJECT_ID,   STATUS,   CHANGE_TIME) VALUES "
      "(   :OBJECT_ID,   :STATUS,   'NOW') MATCHING (   OBJECT_ID)";
  static constexpr const char* NowSQL = "select cast('now' as timestamp) from rdb$database";

  // Wires everything; the calling thread becomes the one that runs the service (the log buffer
  // is bound to its event queue). Host and Setup are not owned and must outlive the module.
  TDataModule1(TServiceHostLink& Host, const TServiceSettings& Setup);
  ~TDataModule1();
  TDataModule1(const TDataModule1&) = delete;
  TDataModule1& operator=(const TDataModule1&) = delete;

  // Applies the settings and runs the service client's loop; returns when the service stopped.
  void RunService();

  // Writes an event of a channel to the installation's event log.
  void LogChannelEvent(std::uint8_t Priority, std::uint16_t Code, const TVariant& ObjectID,
                       const std::string& TextA, const std::string& TextB);
  // Records one decoded report and sets Msg.Ack only once it is stored (or its account is
  // disabled). Never raises.
  void HandleCIDEvent(TciMessage& Msg);
  // The accounts' supervision; does its work at most once a minute.
  void CheckAccounts();
  // Stores the status of a Contact ID object (channels excepted); Send tells whether it goes to
  // the Core service.
  void SaveObjectStatus(TCustomSysObject& AObject, bool& Send);
  // The command "ForceRestore": Integer account ID, String text.
  void ForceRestore(pPelCommand Command);

  // The number of objects the last list load left out because their record or row was bad.
  std::size_t LeftOutCount();

  // The account that reports under this number: the first in ID order.
  TServerAccount* FindAccount(std::uint16_t AccountIdx);

  TServiceClient& ServiceClient() { return *FServiceClient; }
  TDatabase& Database() { return FDatabase; }
  TDBUpdateDate& DBUpdateDate() { return FDBUpdateDate; }
  std::uint8_t ReportTolerance() const { return FReportTolerance; }
  std::int32_t MaintenanceInterval() const { return FMaintenanceInterval; }

 private:
  // Handlers of the service client.
  void ServiceClientWork();
  void ServiceClientProcessMessages();
  void ServiceClientGetServiceConfig(TSysService& ServiceObject);
  // Makes a Contact ID object from its record and completes it from its database row. During a
  // list load, an object whose record or row cannot be taken is left out (LeaveOut) and the load
  // goes on; a change from the Core service, and a database that cannot be reached, raise.
  std::unique_ptr<TCustomSysObject> ServiceClientObjectCreate(TBufferProtocol& Buffer,
                                                              const TGeneralSysObject& Header);
  std::unique_ptr<TCustomSysObject> CreateCIDObject(TBufferProtocol& Buffer,
                                                    const TGeneralSysObject& Header);
  // Warns once in the journal and the installation's event log of an object left out.
  void LeaveOut(const TGeneralSysObject& Header, const std::string& Reason);
  // The status detail with the count of objects left out appended, while there are any.
  std::string WithLeftOut(const std::string& Detail);
  void ServiceClientObjectSave(TCustomSysObject& AObject, TObjectAction Action);
  void ServiceClientListLoaded();
  void ServiceClientObjectUpdated(TCustomSysObject& AObject, TObjectAction Action, bool& Send);

  // The index of accounts by their number, kept beside the object list.
  void RebuildAccountIndex();
  void IndexAccount(TServerAccount& Account, bool Present);

  TServiceHostLink& FHost;
  const TServiceSettings& FSetup;
  TDatabase FDatabase;
  TDBUpdateDate FDBUpdateDate;
  std::unique_ptr<TServiceClient> FServiceClient;

  std::int32_t FAccountQueryHandle = 0;
  std::int32_t FGroupQueryHandle = 0;
  std::int32_t FZoneQueryHandle = 0;
  std::int32_t FChannelQueryHandle = 0;
  std::int32_t FEventQueryHandle = 0;
  std::int32_t FStatusQueryHandle = 0;
  std::int32_t FNowQueryHandle = 0;
  TDateTime FDatabaseVersion = 0;
  std::uint8_t FReportTolerance = 5;
  std::int32_t FMaintenanceInterval = 30;
  std::uint32_t FLastAccountCheck = 0;

  // Account IDs by account number, and the number each indexed account had. A lookup checks the
  // object it finds, so a stale entry costs a scan, never a wrong account.
  std::mutex FIndexLock;
  std::map<std::uint16_t, std::set<std::int32_t>> FAccountsByIdx;  // guarded by FIndexLock
  // The descriptors of the channels polled by the last work cycle; handed to the next pause and
  // then dropped, so a pause never waits on a descriptor that was closed meanwhile.
  std::vector<int> FChannelHandles;
  std::map<std::int32_t, std::uint16_t> FIdxOfAccount;  // guarded by FIndexLock
  // The objects left out of the list with their reasons, and those left out by the load that
  // runs now.
  std::mutex FLeftOutLock;
  std::map<std::int32_t, std::string> FLeftOut;  // guarded by FLeftOutLock
  std::set<std::int32_t> FLeftOutSeen;           // guarded by FLeftOutLock
};

}  // namespace pelmar
