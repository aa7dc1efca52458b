#include "ServiceClient.h"

#include <algorithm>

#include "DBUtils.h"
#include "Debug.h"
#include "EventQueue.h"
#include "Utilities.h"
#include "UtilityStream.h"

namespace pelmar {

namespace {

const std::string LockConnectDB = "TServiceClient.ConnectDB";
const std::string LockDisconnectDB = "TServiceClient.DisconnectDB";
const std::string LockCloseDataSets = "TServiceClient.HandleCoreDisconnected";
const std::string LockUserContext = "TServiceClient.SetUserContext";
const std::string LockLogWrite = "TServiceClient.LogWrite";

const char* const CRLF = "\r\n";

bool IsTCPClientError(const std::exception& E) {
  return dynamic_cast<const EPelMarTCPError*>(&E) != nullptr;
}

}  // namespace

TServiceClient::TServiceClient()
    : FServiceClass([] { return TCustomSysObject::CreateOwn<TDefaultSysService>(); }),
      FLogBuffer(std::make_unique<TLogBuffer>()),
      FTCPClient(std::make_unique<TPelMarTCPClient>()) {
  FLogBuffer->OnStartWrite = [this](TLogBuffer&) { return HandleLogStartWrite(); };
  FLogBuffer->OnWrite = [this](const TLogBufferRecord& R) { HandleLogWrite(R); };
  FLogBuffer->OnFinishWrite = [this](TLogBuffer&) { HandleLogFinishWrite(); };
  FLogBuffer->OnWriteError = [this](const std::string& Text) { SvcLogError(Text); };
  FTCPClient->SetConnectTimeout(5000);
  FTCPClient->SetReadTimeout(0);
}

TServiceClient::~TServiceClient() {
  SetDBUpdateDate(nullptr);
}

void TServiceClient::SetDBUpdateDate(TDBUpdateDate* Value) {
  if (FDBUpdateDate)
    FDBUpdateDate->OnCheckVersion = nullptr;
  FDBUpdateDate = Value;
  if (FDBUpdateDate) {
    FDBUpdateDate->OnCheckVersion = [this](TDateTime& CurrentVersion) {
      CurrentVersion = GetSettingDate(FServiceID, "Database version", 0);
    };
  }
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void TServiceClient::Run() {
  if (FServiceID == 0)
    throw EBugCheckError("Someone forgot to set service id ;)");
  if (!OnWork)
    throw EBugCheckError("TServiceClient.OnWork event must be assigned!");

  FObjects = std::make_unique<TSysObjectList>();
  FObjects->OnLoad = [this] { HandleListLoad(); };
  FObjects->OnLoaded = [this] { HandleListLoaded(); };
  FObjects->OnBeforeChange = [this](TCustomSysObject& O, TObjectAction A) {
    HandleObjectBeforeChange(O, A);
  };
  FObjects->OnChange = [this](TCustomSysObject& O, TObjectAction A) { HandleObjectUpdated(O, A); };
  FObjects->OnStatusChange = [this](TCustomSysObject& O) { HandleObjectStatus(O); };
  FObjects->OnCreateObject = [this](TBufferProtocol& B) { return HandleCreateObject(B); };
  if (FDatabase) {
    FDatabase->OnLostConnect = [this](TDatabase&, const EDatabaseError& E,
                                      TLostConnectAction& Action) {
      HandleDBLostConnect(E, Action);
    };
  }
  FStopping.store(false);

  std::shared_ptr<TEventQueue> Queue = TEventQueue::Current();
  {
    std::lock_guard Guard(FRunLock);
    FRunQueue = Queue;
  }
  std::exception_ptr Ending;
  try {
    do {
      WaitCycle(*Queue);
      if (OnProcessMessages)
        OnProcessMessages(*this);
      else
        Queue->ProcessMessages();
      if (!ConnectDB(true) || !ConnectCore(true) || !ServiceOnline()) {
        FAcceptingCommands.store(false);
        continue;
      }
      try {
        OnWork(*this);
        FLastWorkError.clear();
      } catch (...) {
        HandleWorkException(std::current_exception());
      }
      // Also after a failed work cycle: a cycle that fails every time must not leave the Core
      // service's commands unanswered, the more so as one of them may correct the cause.
      try {
        FCoreConnection->ProcessMessages();
      } catch (...) {
        HandleWorkException(std::current_exception());
      }
    } while (!FStopping.load());
  } catch (...) {
    Ending = std::current_exception();
  }
  StopSequence();
  {
    std::lock_guard Guard(FRunLock);
    FRunQueue.reset();
  }
  if (Ending)
    std::rethrow_exception(Ending);
}

void TServiceClient::Stop() {
  FStopping.store(true);
  // The cycle's pause ends at once, so that the stop does not wait for it.
  std::lock_guard Guard(FRunLock);
  if (FRunQueue)
    FRunQueue->Wake();
}

void TServiceClient::WaitCycle(TEventQueue& Queue) {
  // A posted message ends the pause, so that the log buffer's batches go out when due; input
  // on a handle ends it so that a receiver's next frame is served at once.
  constexpr std::uint32_t MuteTime = 1000;
  FWaitHandles.clear();
  if (OnWaitHandles)
    OnWaitHandles(FWaitHandles);
  const std::uint32_t Now = GetTickCount();
  std::erase_if(FMutedHandles, [&](const auto& M) {
    return Now - M.second >= MuteTime ||
           std::find(FWaitHandles.begin(), FWaitHandles.end(), M.first) == FWaitHandles.end();
  });
  FWaitSet.clear();
  for (int Handle : FWaitHandles)
    if (Handle >= 0 && !FMutedHandles.contains(Handle))
      FWaitSet.push_back(pollfd{Handle, POLLIN, 0});
  Queue.WaitMessage(FCyclePause, FWaitSet);
  for (const pollfd& P : FWaitSet)
    if ((P.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (P.revents & POLLIN) == 0)
      FMutedHandles[P.fd] = Now;
}

void TServiceClient::HandleWorkException(std::exception_ptr Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const EFatalError& E) {
    DebugLog(std::string("Fatal exception in TServiceClient OnWork handler: \r\n") + E.ClassName() +
             CRLF + E.Message());
    throw;
  } catch (const EDatabaseError& E) {
    DebugLogFmt("Db error in TServiceClient OnWork handler; Class: \"%s\"; Error: %s\r\n",
                E.ClassName(), E.Message());
  } catch (const std::exception& E) {
    const std::string ClassName = ExceptionClassName(E);
    const std::string Message = E.what();
    DebugLog("Non-Fatal exception in TServiceClient OnWork handler: \r\n" + ClassName + CRLF +
             Message);
    if (Message == FLastWorkError)
      ++FWorkErrorRepeats;
    else
      FWorkErrorRepeats = 0;
    if (FWorkErrorRepeats < 10) {
      std::string Text = "Exception from work handler:\r\n" + ClassName + ": " + CRLF + Message;
      if (FWorkErrorRepeats == 9)
        Text += "\r\n(Further repeating messages suppressed)";
      SvcLogError(Text);
      FLastWorkError = Message;
    }
    SetServiceStatus("ошибка", 3, Message);
    if (dynamic_cast<const EListError*>(&E) || dynamic_cast<const EBugCheckError*>(&E))
      ReportCrash(E);
  }
}

void TServiceClient::ReportCrash(const std::exception& E) {
  if (OnCrashReport)
    OnCrashReport(E);
  else
    DebugLog("Crash report: " + ExceptionClassName(E) + ": " + E.what());
}

void TServiceClient::StopSequence() {
  DebugLog("ServiceClient>OnBeforeStop");
  if (OnBeforeStop)
    OnBeforeStop(*this);
  DebugLog("ServiceClient>DisconnectCore");
  DisconnectCore();
  DebugLog("ServiceClient>Free SysObjectlist");
  FObjects.reset();
  DebugLog("ServiceClient>DisconnectDB");
  if (ConnectDB(false)) {
    // Records queued up to here (the report of a fatal failure among them) would be lost with
    // the connection: write them first.
    try {
      FLogBuffer->DoWrite();
    } catch (const std::exception& E) {
      DebugLogFmt("Event log not written at stop: %s", E.what());
    }
    DisconnectDB();
  }
  DebugLog("ServiceClient>Done");
}

// ---------------------------------------------------------------------------------------------
// Database

bool TServiceClient::ConnectDB(bool Retry) {
  TCriticalSectionGuard Guard(DatabaseLock(), LockConnectDB);
  bool Result = FDatabase != nullptr && FDatabase->Connected();
  // The first attempt is made at once, whatever ConnectRetry was set to.
  if (Result || !Retry || FStopping.load() || FDatabase == nullptr ||
      (FDBAttempted && !TimeElapsed(FLastDBAttemptTick, FConnectRetry)))
    return Result;
  try {
    DisconnectDB();
    FLastDBAttemptTick = GetTickCount();
    FDBAttempted = true;
    FDatabase->Open();
    if (FCheckDBVersion && FDBUpdateDate && FDBUpdateDate->CompareWithDatabase() != 0)
      throw EFatalError("Database version is not compatible with this service!");
    if (FLoadDBLanguage) {
      std::unique_ptr<TQuery> Query = NewQuerySQL(LoadLanguageSQL);
      try {
        Query->ParamByName("IP_LANGUAGE").SetValue(TVariant(FServiceLanguage));
        Query->ExecQuery();
        CommitTransaction(Query->Transaction());
      } catch (...) {
        FreeQuery(Query, true);
        throw;
      }
      FreeQuery(Query, true);
    }
    if (OnDBConnected)
      OnDBConnected(*this);
    FLogBuffer->SetOnline(true);
    Result = true;
    if (FDBErrorShown) {
      SvcLogInfo("Database connection restored!");
      FDBErrorShown = false;
    }
  } catch (const std::exception& E) {
    const std::string ClassName = ExceptionClassName(E);
    const std::string Message = E.what();
    FLogBuffer->SetOnline(false);
    FDBErrorShown = true;
    DebugLogFmt("Error connecting database: %s", Message);
    if (dynamic_cast<const EFatalError*>(&E)) {
      FLastDBError = Message;
      SvcLogWarning("Fatal error connecting to database\r\n" + ClassName + CRLF + Message + CRLF +
                    "The service will now shutdown!");
      FStopping.store(true);
    } else if (Message != FLastDBError) {
      FLastDBError = Message;
      SvcLogWarning("Error connecting to database\r\n" + ClassName + CRLF + Message + CRLF +
                    Format("Retrying every %u seconds..", FConnectRetry / 1000));
    }
    SetServiceStatus("ошибка базы данных", 3, Message);
    try {
      FDatabase->Close();
    } catch (const std::exception&) {
      // The attempt has failed already; a failing close adds nothing.
    }
    Result = false;
  }
  return Result;
}

void TServiceClient::DisconnectDB() {
  TCriticalSectionGuard Guard(DatabaseLock(), LockDisconnectDB);
  FLogBuffer->SetOnline(false);
  if (FDatabase && FDatabase->Connected())
    FDatabase->Close();
}

void TServiceClient::HandleDBLostConnect(const EDatabaseError& E, TLostConnectAction& Action) {
  try {
    Action = TLostConnectAction::lcaCloseConnect;
    FLogBuffer->SetOnline(false);
    FLastDBError = "Соединение с базой данных потеряно!";
    SvcLogError("Database connection lost!\r\n" + E.Message());
    if (OnDBLostConnect)
      OnDBLostConnect();
  } catch (...) {
    // The loss is reported by the failing call itself; this report must not replace it.
  }
}

// ---------------------------------------------------------------------------------------------
// Core connection

bool TServiceClient::ConnectCore(bool CreateThread) {
  bool Result = FCoreConnection && FCoreConnection->IsConnected();
  if (CreateThread && !FCoreConnection) {
    FCoreConnection = std::make_unique<TCoreConnection>(*FTCPClient);
    TCoreConnection& C = *FCoreConnection;
    C.SetPollInterval(300);
    C.SetRetryInterval(FConnectRetry);
    C.SetHost(FCoreAddress);
    C.SetPort(FCorePort);
    C.SetRegisterEvents(true);
    C.OnConnected = [this] { return HandleCoreConnected(); };
    C.OnLogin = [this] { return HandleCoreLogin(); };
    C.OnDisconnected = [this](const std::exception* E) { HandleCoreDisconnected(E); };
    C.OnBeforeConnect = [this] { return HandleBeforeConnect(); };
    C.OnCommandBefore = [this](pPelCommand Command) { HandleCommandBefore(Command); };
    C.OnCommandAfter = [this](pPelCommand Command) { HandleCommandAfter(Command); };
    C.OnReportException = [this](const std::exception& E) { ReportCrash(E); };
    // The owner's registrations come first: they fix the order of "RegisterForEvents".
    if (OnRegisterCommands)
      OnRegisterCommands(*this);
    RegisterEvent("CoreQuit", 0, [this](pPelEvent Event) { HandleCoreQuit(Event); });
    RegisterCommand("SetSysObject", [this](pPelCommand Command) { HandleSetSysObject(Command); });
    C.Start();
  }
  return Result;
}

void TServiceClient::DisconnectCore() {
  if (!FCoreConnection)
    return;
  FDisconnectingCore.store(true);
  FCoreConnection->Stop();
  FCoreConnection.reset();
  FDisconnectingCore.store(false);
}

bool TServiceClient::HandleBeforeConnect() {
  return ConnectDB(false);
}

bool TServiceClient::HandleCoreLogin() {
  TConnectionProtocol P(*FTCPClient);
  P.WriteByte(FServiceID);
  P.WriteString("1.9");
  P.WriteString(FCorePassword);
  if (!P.ReadBoolean()) {
    const std::string Reason = P.ReadString();
    if (Reason.find("NonFatal:") != std::string::npos)
      throw ENonFatalError(Reason);
    throw Exception(Reason);
  }
  // The configuration block the Core service keeps for the service; not used here.
  TPelmarMemoryStream Config;
  P.ReadStream(Config, true);
  return true;
}

bool TServiceClient::HandleCoreConnected() {
  if (OnConnected)
    OnConnected(*this);
  try {
    try {
      FObjects->Load();
    } catch (const std::exception& E) {
      // A failed load is retried like a network failure; the objects of a half-applied load
      // are dropped so that nothing works on them.
      FObjects->Clear();
      if (IsTCPClientError(E))
        throw;
      throw ENonFatalError(E.what());
    }
    TDefaultSysService* Service = FServiceObject.load();
    if (Service == nullptr)
      throw EFatalError("Service object not found!");
    SvcLogInfo(Format("%s is now online!", Service->Name()));
  } catch (...) {
    if (TDefaultSysService* Service = FServiceObject.load())
      Service->SetOnline(false);
    throw;
  }
  return true;
}

void TServiceClient::HandleCoreDisconnected(const std::exception* E) {
  DebugLog("ServiceClient.HandleCoreDisconnected");
  if (ServiceOnline()) {
    DebugLog("Setting ServiceOnline = false");
    SetServiceOnline(false);
    DebugLog("Closing datasets");
    {
      TCriticalSectionGuard Guard(DatabaseLock(), LockCloseDataSets);
      if (FDatabase && FDatabase->Connected())
        FDatabase->CloseDataSets();
    }
    if (OnDisconnected) {
      DebugLog("Calling OnDisconnected");
      OnDisconnected(E);
    }
    if (TDefaultSysService* Service = FServiceObject.load()) {
      DebugLog("Logging offline state");
      if (E == nullptr || dynamic_cast<const ECoreDisconnectError*>(E))
        SvcLogWarning(Format("%s is now offline!", Service->Name()));
      else
        SvcLogError(Format("%s is now offline!%s%s%s%s", Service->Name(), CRLF,
                           ExceptionClassName(*E), CRLF, E->what()));
    }
  }
  if (E != nullptr && FCoreConnection) {
    TCoreConnection& C = *FCoreConnection;
    if (C.Terminated()) {
      if (!FDisconnectingCore.load()) {
        DebugLog("CoreConnection.Terminated, setting Stopping = true");
        FStopping.store(true);
        try {
          SvcLogError("Fatal error connecting to core service\r\n" + ExceptionClassName(*E) + ": " +
                      E->what() + "\r\n\r\nThe service will now shutdown!");
          LogServiceEvent(3, "Фатальная ошибка при подключении к Core service", -1,
                          ExceptionClassName(*E), E->what());
        } catch (...) {
          // The service stops either way; a failing report must not hide that.
        }
      }
    } else {
      const std::int32_t Attempts = C.Attempts();
      const std::uint32_t Interval = Attempts >= 5 ? 60000 : 10000;
      C.SetRetryInterval(Interval);
      DebugLogFmt("Connect retry count = %d", Attempts);
      DebugLogFmt("Connect retry interval = %d", Interval);
      if (Attempts == 2)
        SvcLogWarning(Format("Connection attempt #%d to core service failed (%s).", 3, E->what()) +
                      "\r\nContinuing to retry every 10 seconds..");
      else if (Attempts == 5)
        SvcLogWarning(Format("Connection attempt #%d to core service failed (%s).", 6, E->what()) +
                      "\r\nContinuing to retry every 60 seconds..");
    }
  }
  DebugLog("ServiceClient.HandleCoreDisconnected done");
}

// ---------------------------------------------------------------------------------------------
// Service object and reports

bool TServiceClient::ServiceOnline() const {
  TDefaultSysService* Service = FServiceObject.load();
  return Service != nullptr && Service->Online();
}

void TServiceClient::SetServiceOnline(bool Value) {
  if (TDefaultSysService* Service = FServiceObject.load())
    Service->SetOnline(Value);
}

void TServiceClient::SetServiceStatus(const std::string& Text, std::uint8_t Code,
                                      const std::string& Detail) {
  if (TDefaultSysService* Service = FServiceObject.load())
    Service->SetStatus(Text, Code, Detail);
}

void TServiceClient::SvcLogInfo(const std::string& Text) {
  if (OnSvcLogInfo)
    OnSvcLogInfo(Text);
}

void TServiceClient::SvcLogWarning(const std::string& Text) {
  if (OnSvcLogWarning)
    OnSvcLogWarning(Text);
}

void TServiceClient::SvcLogError(const std::string& Text) {
  if (OnSvcLogError)
    OnSvcLogError(Text);
}

// ---------------------------------------------------------------------------------------------
// Registrations and commands

void TServiceClient::RegisterCommand(const std::string& Name, TPelCommandEvent Handler) {
  if (!FCoreConnection)
    throw EBugCheckError("TServiceClient.RegisterCommand: core polling thread not assigned!");
  FCoreConnection->RegisterCommand(Name, std::move(Handler));
}

void TServiceClient::RegisterEvent(const std::string& Name, std::uint8_t SourceService,
                                   TPelEventEvent Handler) {
  if (!FCoreConnection)
    throw EBugCheckError("TServiceClient.RegisterEvent: core polling thread not assigned!");
  FCoreConnection->RegisterEvent(Name, SourceService, std::move(Handler));
}

pPelCommand TServiceClient::CurrentCommand() const {
  return FCoreConnection ? FCoreConnection->CurrentCommand() : nullptr;
}

bool TServiceClient::IsOwnObject(const TCustomSysObject& Obj) const {
  return Obj.ServiceID() == FServiceID || Obj.ID() == FServiceID;
}

void TServiceClient::CheckAccepting() {
  if (!FAcceptingCommands.load()) {
    TDefaultSysService* Service = FServiceObject.load();
    throw Exception(Format("%s не готов! Попробуйте позже.", Service ? Service->Name() : ""));
  }
}

void TServiceClient::HandleSetSysObject(pPelCommand Command) {
  CheckAccepting();
  FObjects->ObjectLoad(Command->Params);
}

void TServiceClient::HandleCoreQuit(pPelEvent Event) {
  const std::string Reason = Event->Params.ReadString();
  SvcLogWarning("Disconnected by core service\r\nReason: " + Reason);
  if (OnCoreQuit)
    OnCoreQuit(*this);
}

void TServiceClient::HandleCommandBefore(pPelCommand Command) {
  if (OnCommandBefore)
    OnCommandBefore(Command);
  if (OnGetCommandInfo) {
    FCommandHasUser = false;
    OnGetCommandInfo(Command, FCommandHasUser);
    if (FCommandHasUser)
      SetUserContext(TVariant(Command->UserID));
  }
}

void TServiceClient::HandleCommandAfter(pPelCommand Command) {
  if (OnGetCommandInfo && FCommandHasUser) {
    FCommandHasUser = false;
    SetUserContext(TVariant::Null());
  }
  if (OnCommandAfter)
    OnCommandAfter(Command);
}

void TServiceClient::SetUserContext(const TVariant& Value) {
  TCriticalSectionGuard Guard(DatabaseLock(), LockUserContext);
  TQuery* Query = CachedQuery(FContextQueryHandle, UserContextSQL, QueryGroup);
  Query->ParamByName("VAR").SetValue(TVariant(std::string("USER_ID")));
  Query->ParamByName("USER_ID").SetValue(Value);
  Query->ExecQuery();
  CommitTransaction(Query->Transaction());
}

// ---------------------------------------------------------------------------------------------
// Object list

namespace {

// Starts the command Name, lets Work write its parameters, send it and read its reply, and
// finishes it; a failure of the finish after a failed Work goes unreported behind the first.
void RunCommand(const std::string& Name, const std::function<void(TServiceCommand&)>& Work) {
  std::unique_ptr<TServiceCommand> Command = ServiceCommander().StartCommand(Name);
  try {
    Work(*Command);
  } catch (...) {
    try {
      Command->Finish();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
  Command->Finish();
}

}  // namespace

void TServiceClient::HandleListLoad() {
  RunCommand("GetSysObjects", [this](TServiceCommand& Command) {
    FObjects->ObjectLoadMulti(Command.Execute(), true);
  });
}

std::unique_ptr<TCustomSysObject> TServiceClient::HandleCreateObject(TBufferProtocol& Buffer) {
  std::unique_ptr<TGeneralSysObject> Probe = TCustomSysObject::Create<TGeneralSysObject>();
  const std::int32_t Start = Buffer.Position();
  Probe->LoadFromBuffer(Buffer);
  Buffer.SetPosition(Start);
  if (OnObjectCreate) {
    if (std::unique_ptr<TCustomSysObject> Obj = OnObjectCreate(Buffer, *Probe))
      return Obj;
  }
  if (Probe->TypeName() != TSysService::ClassTypeName() || Probe->ServiceID() != FServiceID ||
      Probe->ID() != FServiceID)
    return nullptr;
  std::unique_ptr<TDefaultSysService> Service = FServiceClass();
  Service->LoadFromBuffer(Buffer);
  FServiceObject.store(Service.get());
  Service->AddChangeHandler([this](TCustomSysObject& Obj, TObjectAction Action) {
    HandleServiceObjectChange(Obj, Action);
  });
  if (OnGetServiceConfig)
    OnGetServiceConfig(*Service);
  Service->SetOnline(true);
  return Service;
}

void TServiceClient::HandleServiceObjectChange(TCustomSysObject& Obj, TObjectAction Action) {
  if ((Action == olaDeleted || Action == oaDestroy) && &Obj == FServiceObject.load())
    FServiceObject.store(nullptr);
}

void TServiceClient::HandleListLoaded() {
  if (OnListLoaded)
    OnListLoaded();
  if (!ServiceOnline())
    return;
  RunCommand("SetSysObjects", [this](TServiceCommand& Command) {
    FObjects->ObjectsSaveToBufferFilter(Command,
                                        [this](TCustomSysObject& Obj) { return IsOwnObject(Obj); });
    Command.Execute();
  });
}

void TServiceClient::HandleObjectBeforeChange(TCustomSysObject& Obj, TObjectAction Action) {
  if (OnObjectBeforeChange)
    OnObjectBeforeChange(Obj, Action);
}

void TServiceClient::HandleObjectUpdated(TCustomSysObject& Obj, TObjectAction Action) {
  if (Obj.RemoteChange() && OnObjectSave)
    OnObjectSave(Obj, Action);
  bool Send = IsOwnObject(Obj);
  if (OnObjectUpdated)
    OnObjectUpdated(Obj, Action, Send);
  if (Send && ServiceOnline()) {
    TBufferProtocol Buffer(32);
    FObjects->WriteListAction(Obj, Action, Buffer);
    BroadcastEvent(Buffer);
  }
}

void TServiceClient::HandleObjectStatus(TCustomSysObject& Obj) {
  bool Send = false;
  if (OnObjectStatus)
    OnObjectStatus(Obj, Send);
  if ((Send || &Obj == FServiceObject.load()) && ServiceOnline()) {
    TBufferProtocol Buffer(32);
    Obj.WriteStatus(Buffer);
    BroadcastEvent(Obj.ID(), Buffer);
  }
}

void TServiceClient::SendEvent(const std::string& Name,
                               const std::function<void(TServiceEvent&)>& Write) {
  if (!ServiceOnline())
    return;
  try {
    if (CoreDispatcher() == nullptr)
      throw EAssertionFailed(Format("TServiceClient.BroadcastEvent: CoreClient = nil (%s, line %d)",
                                    __FILE__, __LINE__));
    std::unique_ptr<TServiceEvent> Event = ServiceCommander().StartEvent(Name);
    Write(*Event);
    TServiceEvent::SendEvent(std::move(Event));
  } catch (const std::exception& E) {
    SvcLogError("Failed to broadcast: \r\nCmd: " + Name +
                "\r\nException class: " + ExceptionClassName(E) + "\r\nMessage: \r\n" + E.what());
  }
}

void TServiceClient::BroadcastEvent(std::int32_t ID, const TBufferProtocol& StatusBuffer) {
  SendEvent("SysObjectStatus", [&](TServiceEvent& Event) {
    Event.WriteInteger(ID);
    Event.WriteBlock(StatusBuffer, true);
  });
}

void TServiceClient::BroadcastEvent(const TBufferProtocol& ActionBuffer) {
  SendEvent("SysObjectConfig",
            [&](TServiceEvent& Event) { Event.WriteBlock(ActionBuffer, false); });
}

// ---------------------------------------------------------------------------------------------
// Event log

void TServiceClient::LogEvent(const TVariant& LogTime, const TVariant& TargetUserID,
                              std::int64_t UserID, std::uint8_t Priority, std::uint16_t EventCode,
                              const TVariant& ObjectID, const TVariant& ParentObjectID,
                              const std::string& Param1, const std::string& Param2,
                              const std::string& Param3, const std::string& Param4,
                              const std::string& Param5) {
  FLogBuffer->AddRecord(
      0, {TVariant(FServiceID), TVariant(UserID), TargetUserID, LogTime,
          Priority == 0 ? TVariant::Null() : TVariant(Priority), TVariant(EventCode), ObjectID,
          ParentObjectID, StrToVarLimited(Param1, 200), StrToVarLimited(Param2, 200),
          StrToVarLimited(Param3, 200), StrToVarLimited(Param4, 200), StrToVarLimited(Param5, 200),
          TVariant(true)});
}

void TServiceClient::LogServiceEvent(std::uint8_t Priority, const std::string& Param1,
                                     std::int64_t UserID, const std::string& Param2,
                                     const std::string& Param3, const std::string& Param4,
                                     const std::string& Param5) {
  LogEvent(TVariant::Null(), TVariant::Null(), UserID, Priority, 11, TVariant::Null(),
           TVariant::Null(), Param1, Param2, Param3, Param4, Param5);
}

void TServiceClient::LogObjectEvent(std::uint16_t EventCode, const TVariant& ObjectID,
                                    const std::string& Param1, const std::string& Param2,
                                    const std::string& Param3, const std::string& Param4,
                                    const std::string& Param5) {
  LogEvent(TVariant::Null(), TVariant::Null(), -1, 0, EventCode, ObjectID, TVariant::Null(), Param1,
           Param2, Param3, Param4, Param5);
}

void TServiceClient::LogUserObjectEvent(std::uint16_t EventCode, const TVariant& ObjectID,
                                        std::int64_t UserID, const std::string& Param1,
                                        const std::string& Param2, const std::string& Param3,
                                        const std::string& Param4, const std::string& Param5) {
  LogEvent(TVariant::Null(), TVariant::Null(), UserID, 0, EventCode, ObjectID, TVariant::Null(),
           Param1, Param2, Param3, Param4, Param5);
}

// One batch of event-log records: the DatabaseLock is held for its whole length, so that no
// other database work interleaves, and FLogQuery is the batch's statement until it ends.
class TServiceClient::TLogBatch : public TLogBatchHold {
 public:
  explicit TLogBatch(TServiceClient& Client)
      : FClient(Client), FGuard(DatabaseLock(), LockLogWrite) {}
  ~TLogBatch() noexcept override {
    FClient.FLogQuery = nullptr;
    try {
      FGuard.Release(LockLogWrite);
    } catch (const std::exception& E) {
      // A destructor cannot pass it on; the lock's own checks have traced it.
      DebugLog(std::string("TServiceClient: releasing the log batch's lock failed: ") + E.what());
    }
  }

 private:
  TServiceClient& FClient;
  TCriticalSectionGuard FGuard;
};

std::unique_ptr<TLogBatchHold> TServiceClient::HandleLogStartWrite() {
  auto Batch = std::make_unique<TLogBatch>(*this);
  if (!ConnectDB(false))
    throw Exception("Нет соединения с базой данных");
  FLogQuery = GetQuery(FLogQueryHandle, LogEventSQL, QueryGroup);
  if (OnLogBufferWriteStart)
    OnLogBufferWriteStart(*this);
  return Batch;
}

void TServiceClient::HandleLogWrite(const TLogBufferRecord& Record) {
  if (Record.Kind != 0) {
    if (OnLogBufferWriteRecord)
      OnLogBufferWriteRecord(Record);
    return;
  }
  if (FLogQuery == nullptr)
    throw EBugCheckError("TServiceClient.HandleLogWrite: no batch started");
  const int Count = std::min<int>(FLogQuery->ParamCount(), static_cast<int>(Record.Values.size()));
  for (int I = 0; I < Count; ++I)
    FLogQuery->Params(I).SetValue(Record.Values[I]);
  try {
    FLogQuery->ExecQuery();
  } catch (const EDatabaseError& E) {
    // The batch's transaction went with the connection: its records are written again later.
    if (E.ConnectionLost())
      throw ELogBatchLost(E.Message());
    throw;
  }
}

void TServiceClient::HandleLogFinishWrite() {
  if (FLogQuery && FLogQuery->Transaction() && FLogQuery->Transaction()->Active()) {
    try {
      FLogQuery->Transaction()->Commit();
    } catch (const EDatabaseError& E) {
      // Nothing of the batch was stored: its records stay queued.
      throw ELogBatchLost(E.Message());
    }
  }
  if (OnLogBufferWriteFinish)
    OnLogBufferWriteFinish(*this);
}

}  // namespace pelmar
