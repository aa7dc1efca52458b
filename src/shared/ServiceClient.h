// The service client: the component through which a service of the installation lives. Its
// owner configures it, assigns its events and calls Run on the service's worker thread; Run keeps
// the database connection up (throttled retries, structure-version check, language load), starts
// the Core polling thread and supplies its hooks (log-in, object load after every log-in,
// disconnect handling with the retry policy), calls the owner's work cycle while everything is
// connected and online, dispatches what the Core service pushed, and at the end shuts everything
// down in a fixed order.
//
// It also joins the service's object list to the Core service: the list is loaded from
// "GetSysObjects" after every log-in (the service's own object made here), the service's own
// objects are reported back with "SetSysObjects", changes the Core service sends with
// "SetSysObject" are applied and handed to the owner to store, changes and status changes of the
// service's objects are broadcast ("SysObjectConfig", "SysObjectStatus"), and records of the
// installation's event log are written through PR_LOG_EVENT in batches by the log buffer.
//
// Reports go out by severity through OnSvcLogInfo, OnSvcLogWarning and OnSvcLogError.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>

#include "Common.h"
#include "DBUpdate.h"
#include "EventQueue.h"
#include "FbDatabase.h"
#include "LogBuffer.h"
#include "PelMarIndy.h"
#include "Variant.h"
#include "uConnectionProtocol.h"
#include "uCoreConnection.h"

namespace pelmar {

class TServiceClient;

using TServiceNotifyEvent = std::function<void(TServiceClient& Sender)>;
using TServiceTextEvent = std::function<void(const std::string& Text)>;
using TServiceExceptionEvent = std::function<void(const std::exception* E)>;
// Creates and loads an object from the record at the buffer's position, or answers null. Probe
// holds the record already read (type, service, ID).
using TSCObjectCreateEvent = std::function<std::unique_ptr<TCustomSysObject>(
    TBufferProtocol& ABuffer, const TGeneralSysObject& ATestObject)>;
using TServiceSetupEvent = std::function<void(TSysService& ServiceObject)>;
using TSOListEvent = std::function<void()>;
using TSCObjectUpdateEvent =
    std::function<void(TCustomSysObject& AObject, TObjectAction Action, bool& Send)>;
using TSCObjectStatusEvent = std::function<void(TCustomSysObject& AObject, bool& Send)>;
using TPelCommandInfoEvent = std::function<void(pPelCommand ACommand, bool& AInfo)>;
using TLogWriteStreamEvent = std::function<void(const TLogBufferRecord& ALogRecord)>;
using TServiceObjectFactory = std::function<std::unique_ptr<TDefaultSysService>()>;

class TServiceClient {
 public:
  // The statement of the installation's event log; its 14 parameters in order.
  static constexpr const char* LogEventSQL =
      "EXECUTE PROCEDURE PR_LOG_EVENT(   :COMPONENT_ID,   :USER_ID,   :TARGET_USER_ID,   "
      ":LOG_TIME,   :PRIORITY,   :EVENT_CODE,   :OBJECT_ID,   :PARENT_OBJECT_ID,   :PARAM1,   "
      ":PARAM2,   :PARAM3,   :PARAM4,   :PARAM5,   :ALARMS)";
  static constexpr const char* LoadLanguageSQL = "EXECUTE PROCEDURE PR_LOAD_LANGUAGE(:IP_LANGUAGE)";
  static constexpr const char* UserContextSQL =
      "select rdb$set_context('USER_SESSION', :VAR, :USER_ID) from rdb$database";
  static constexpr const char* QueryGroup = "grp_svc_client";

  // Creates the log buffer, bound to the calling thread's event queue: make the client on the
  // thread that will call Run.
  TServiceClient();
  // Frees the log buffer and the TCP client; Run has freed the list and the polling thread.
  ~TServiceClient();
  TServiceClient(const TServiceClient&) = delete;
  TServiceClient& operator=(const TServiceClient&) = delete;

  // The life of the service, on the worker thread: returns when Stopping became true; raises
  // EBugCheckError before anything starts when ServiceID is 0 or OnWork is unassigned, and
  // the EFatalError that ended the work cycle, after the stop sequence.
  void Run();
  // Ends Run at the end of the current loop cycle. Any thread.
  void Stop();
  bool Stopping() const { return FStopping.load(); }

  // Whether the database is connected; with Retry a throttled attempt is made when it is not.
  // Holds the database lock throughout.
  bool ConnectDB(bool Retry);
  void DisconnectDB();
  // Whether the Core connection is ready; with CreateThread the polling thread is made and
  // started when there is none.
  bool ConnectCore(bool CreateThread);
  // Stops the polling thread (an established connection says "Quit") and frees it.
  void DisconnectCore();

  bool ServiceOnline() const;
  void SetServiceOnline(bool Value);
  void SetServiceStatus(const std::string& Text, std::uint8_t Code, const std::string& Detail);

  void SvcLogInfo(const std::string& Text);
  void SvcLogWarning(const std::string& Text);
  void SvcLogError(const std::string& Text);

  // Registrations with the polling thread; only from OnRegisterCommands. Raise EBugCheckError
  // without a polling thread.
  void RegisterCommand(const std::string& Name, TPelCommandEvent Handler);
  void RegisterEvent(const std::string& Name, std::uint8_t SourceService, TPelEventEvent Handler);
  // The incoming command whose handlers run (worker thread), null otherwise.
  pPelCommand CurrentCommand() const;
  // The object belongs to this service: its service number or its ID is ServiceID.
  bool IsOwnObject(const TCustomSysObject& Obj) const;
  // Raises Exception "<service name> не готов! Попробуйте позже." while AcceptingCommands is
  // false.
  void CheckAccepting();
  // "SysObjectStatus" (ID, status section) and "SysObjectConfig" (one list action), only while
  // the service is online; a failure is reported with SvcLogError and goes no further.
  void BroadcastEvent(std::int32_t ID, const TBufferProtocol& StatusBuffer);
  void BroadcastEvent(const TBufferProtocol& ActionBuffer);

  // Queues a record of the installation's event log; any thread. Texts become null when empty
  // and are cut to 200 characters; Priority 0 is stored as null.
  void LogEvent(const TVariant& LogTime, const TVariant& TargetUserID, std::int64_t UserID,
                std::uint8_t Priority, std::uint16_t EventCode, const TVariant& ObjectID,
                const TVariant& ParentObjectID, const std::string& Param1,
                const std::string& Param2 = "", const std::string& Param3 = "",
                const std::string& Param4 = "", const std::string& Param5 = "");
  // Event code 11, no object.
  void LogServiceEvent(std::uint8_t Priority, const std::string& Param1, std::int64_t UserID,
                       const std::string& Param2 = "", const std::string& Param3 = "",
                       const std::string& Param4 = "", const std::string& Param5 = "");
  // No user (-1), no priority.
  void LogObjectEvent(std::uint16_t EventCode, const TVariant& ObjectID, const std::string& Param1,
                      const std::string& Param2 = "", const std::string& Param3 = "",
                      const std::string& Param4 = "", const std::string& Param5 = "");
  // No priority.
  void LogUserObjectEvent(std::uint16_t EventCode, const TVariant& ObjectID, std::int64_t UserID,
                          const std::string& Param1, const std::string& Param2 = "",
                          const std::string& Param3 = "", const std::string& Param4 = "",
                          const std::string& Param5 = "");

  // Properties.
  std::uint32_t ConnectRetry() const { return FConnectRetry; }
  void SetConnectRetry(std::uint32_t Value) { FConnectRetry = Value; }
  TDatabase* Database() const { return FDatabase; }
  void SetDatabase(TDatabase* Value) { FDatabase = Value; }
  const std::string& CoreAddress() const { return FCoreAddress; }
  void SetCoreAddress(const std::string& Value) { FCoreAddress = Value; }
  std::uint16_t CorePort() const { return FCorePort; }
  void SetCorePort(std::uint16_t Value) { FCorePort = Value; }
  const std::string& CorePassword() const { return FCorePassword; }
  void SetCorePassword(const std::string& Value) { FCorePassword = Value; }
  bool CheckDBVersion() const { return FCheckDBVersion; }
  void SetCheckDBVersion(bool Value) { FCheckDBVersion = Value; }
  TDBUpdateDate* DBUpdateDate() const { return FDBUpdateDate; }
  // Detaches the version handler from the previous checker; the new one asks
  // GetSettingDate(ServiceID, "Database version", 0). Not owned; must outlive the client.
  void SetDBUpdateDate(TDBUpdateDate* Value);
  std::uint8_t ServiceID() const { return FServiceID; }
  void SetServiceID(std::uint8_t Value) { FServiceID = Value; }
  bool LoadDBLanguage() const { return FLoadDBLanguage; }
  void SetLoadDBLanguage(bool Value) { FLoadDBLanguage = Value; }
  const std::string& ServiceLanguage() const { return FServiceLanguage; }
  void SetServiceLanguage(const std::string& Value) { FServiceLanguage = Value; }
  bool AcceptingCommands() const { return FAcceptingCommands.load(); }
  // The longest pause between two cycles (10 ms); tests lengthen it to see what ends it early.
  void SetCyclePause(std::uint32_t Ms) { FCyclePause = Ms; }
  void SetAcceptingCommands(bool Value) { FAcceptingCommands.store(Value); }
  // The class of the own service object (TDefaultSysService).
  void SetServiceClass(TServiceObjectFactory Value) { FServiceClass = std::move(Value); }

  // The object list, while Run runs.
  TSysObjectList* Objects() const { return FObjects.get(); }
  TDefaultSysService* ServiceObject() const { return FServiceObject.load(); }
  TLogBuffer& LogBuffer() { return *FLogBuffer; }
  TPelMarTCPClient& TCPClient() { return *FTCPClient; }
  // The polling thread, while it exists.
  TCoreConnection* Connection() const { return FCoreConnection.get(); }

  // Events (thread in brackets).
  TServiceNotifyEvent OnWork;             // each online cycle; required (worker)
  TServiceNotifyEvent OnProcessMessages;  // first in every cycle (worker)
  // Descriptors whose input ends the cycle's pause early, asked before every pause (worker).
  std::function<void(std::vector<int>& Handles)> OnWaitHandles;
  TServiceNotifyEvent OnBeforeStop;            // first step of the stop sequence (worker)
  TServiceNotifyEvent OnDBConnected;           // after each connection, database lock held (worker)
  std::function<void()> OnDBLostConnect;       // the thread that met the loss
  TServiceNotifyEvent OnConnected;             // after each log-in, before the load (polling)
  TServiceExceptionEvent OnDisconnected;       // an online connection ended (polling)
  TServiceNotifyEvent OnRegisterCommands;      // once, before the polling thread starts (worker)
  TServiceTextEvent OnSvcLogInfo;              // any
  TServiceTextEvent OnSvcLogWarning;           // any
  TServiceTextEvent OnSvcLogError;             // any
  TServiceNotifyEvent OnCoreQuit;              // after "CoreQuit" was reported (worker)
  TPelCommandEvent OnCommandBefore;            // around the handlers of every incoming command
  TPelCommandEvent OnCommandAfter;             // (worker)
  TPelCommandInfoEvent OnGetCommandInfo;       // true: the command's user goes into the context
  TSOActionEvent OnObjectBeforeChange;         // the changing thread
  TSCObjectUpdateEvent OnObjectUpdated;        // the changing thread
  TSOActionEvent OnObjectSave;                 // a change from the Core service to store (worker)
  TSCObjectCreateEvent OnObjectCreate;         // polling (loads), worker ("SetSysObject")
  TSOListEvent OnListLoaded;                   // after every load (polling)
  TSCObjectStatusEvent OnObjectStatus;         // the changing thread
  TServiceSetupEvent OnGetServiceConfig;       // the own service object was made (polling)
  TServiceNotifyEvent OnLogBufferWriteStart;   // around every batch of event-log records
  TServiceNotifyEvent OnLogBufferWriteFinish;  // (worker)
  TLogWriteStreamEvent OnLogBufferWriteRecord;  // a queued record of a kind other than 0
  // Receives list-index errors and bug checks from the work cycle and the command handlers,
  // for the crash report. Unassigned: a debug-log line.
  std::function<void(const std::exception& E)> OnCrashReport;

  // The hooks given to the polling thread and the database connection, public for tests.
  bool HandleBeforeConnect();
  bool HandleCoreLogin();
  bool HandleCoreConnected();
  void HandleCoreDisconnected(const std::exception* E);
  void HandleDBLostConnect(const EDatabaseError& E, TLostConnectAction& Action);

 private:
  class TLogBatch;
  // The loop's handling of an exception out of the work cycle; rethrows an EFatalError.
  void HandleWorkException(std::exception_ptr Error);
  void ReportCrash(const std::exception& E);
  void StopSequence();

  // Object list handlers.
  void HandleListLoad();
  void HandleListLoaded();
  std::unique_ptr<TCustomSysObject> HandleCreateObject(TBufferProtocol& Buffer);
  void HandleServiceObjectChange(TCustomSysObject& Obj, TObjectAction Action);
  void HandleObjectBeforeChange(TCustomSysObject& Obj, TObjectAction Action);
  void HandleObjectUpdated(TCustomSysObject& Obj, TObjectAction Action);
  void HandleObjectStatus(TCustomSysObject& Obj);
  void SendEvent(const std::string& Name, const std::function<void(TServiceEvent&)>& Write);

  // Core commands and events.
  void HandleSetSysObject(pPelCommand Command);
  void HandleCoreQuit(pPelEvent Event);
  void HandleCommandBefore(pPelCommand Command);
  void HandleCommandAfter(pPelCommand Command);
  void SetUserContext(const TVariant& Value);

  // Log buffer handlers.
  // Begins a batch: the answer holds the DatabaseLock (and the batch's query) until it is freed.
  std::unique_ptr<TLogBatchHold> HandleLogStartWrite();
  void HandleLogWrite(const TLogBufferRecord& Record);
  void HandleLogFinishWrite();

  std::uint32_t FConnectRetry = 10000;
  TDatabase* FDatabase = nullptr;
  std::string FCoreAddress = "127.0.0.1";
  std::uint16_t FCorePort = 4701;
  std::string FCorePassword;
  bool FCheckDBVersion = true;
  TDBUpdateDate* FDBUpdateDate = nullptr;
  std::uint8_t FServiceID = 0;
  bool FLoadDBLanguage = true;
  std::string FServiceLanguage = "en";
  std::atomic<bool> FAcceptingCommands{false};
  TServiceObjectFactory FServiceClass;

  std::unique_ptr<TLogBuffer> FLogBuffer;
  std::unique_ptr<TPelMarTCPClient> FTCPClient;
  std::unique_ptr<TSysObjectList> FObjects;
  std::unique_ptr<TCoreConnection> FCoreConnection;
  // Set on the polling thread while the list loads, read by the worker; the object belongs to
  // the list.
  std::atomic<TDefaultSysService*> FServiceObject{nullptr};
  std::atomic<bool> FStopping{false};
  std::shared_ptr<TEventQueue> FRunQueue;  // the queue of the thread in Run; guarded by FRunLock
  std::mutex FRunLock;
  // Set while DisconnectCore stops the polling thread: a failure of that last attempt is the
  // stop itself, not the thread giving up.
  std::atomic<bool> FDisconnectingCore{false};

  std::uint32_t FLastDBAttemptTick = 0;  // database lock
  bool FDBAttempted = false;             // database lock
  bool FDBErrorShown = false;
  std::string FLastDBError;  // database lock
  std::string FLastWorkError;
  std::int32_t FWorkErrorRepeats = 0;

  // The cycle's pause of at most 10 ms: it ends early on a posted message or when one of the
  // OnWaitHandles descriptors has input.
  void WaitCycle(TEventQueue& Queue);
  std::uint32_t FCyclePause = 10;  // ms
  std::vector<int> FWaitHandles;
  std::vector<pollfd> FWaitSet;
  // Descriptors that reported a hang-up or error without input, with the tick of that report:
  // they stay ready until their owner closes them, so they are left out of the pause for a
  // second instead of turning it into a busy loop.
  std::map<int, std::uint32_t> FMutedHandles;

  bool FCommandHasUser = false;
  std::int32_t FContextQueryHandle = 0;
  std::int32_t FLogQueryHandle = 0;
  TQuery* FLogQuery = nullptr;  // the cache's; between the start and the end of a batch
};

}  // namespace pelmar
