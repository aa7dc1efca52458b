#include "ServiceMain.h"

#include <exception>

#include "DBUtils.h"
#include "Debug.h"
#include "EventQueue.h"
#include "Utilities.h"

namespace pelmar {

namespace {

const std::string LoadGroupName = "grp_loadobj";
const std::string LockWork = "TDataModule1.ServiceClientWork";
const std::string LockCheckAccounts = "TDataModule1.CheckAccounts";
const std::string LockDatabase = "TDataModule1";
const std::string LockIndex = "TDataModule1.RebuildAccountIndex";
// The installation's event for a text about the service or one of its objects.
constexpr std::uint16_t ServiceEventCode = 11;

std::string MessageOf(const std::exception& E) {
  if (const auto* Own = dynamic_cast<const Exception*>(&E))
    return Own->Message();
  return E.what();
}

// The value a Contact ID object stands for in the rest of the installation: its link, else its
// own ID.
TVariant LinkOrID(const TCIDObject& Obj) {
  return Obj.LinkObject().IsNull() ? TVariant(Obj.ID()) : Obj.LinkObject();
}

// Executes Query and commits its transaction, also after a failed execution, whose failure is
// then the one raised.
void ExecuteAndCommit(TQuery& Query) {
  try {
    Query.ExecQuery();
  } catch (...) {
    try {
      CommitTransaction(Query.Transaction());
    } catch (const std::exception&) {
      // The execution's failure is the one to report.
    }
    throw;
  }
  CommitTransaction(Query.Transaction());
}

}  // namespace

TDataModule1::TDataModule1(TServiceHostLink& Host, const TServiceSettings& Setup)
    : FHost(Host), FSetup(Setup), FServiceClient(std::make_unique<TServiceClient>()) {
  SetDefaultDatabase(&FDatabase);
  FLastAccountCheck = GetTickCount();
  FDatabase.SetSQLDialect(3);

  FDBUpdateDate.Database = &FDatabase;
  FDBUpdateDate.Terminator = ";";
  FDBUpdateDate.AllowedUser = "SYSDBA";
  FDBUpdateDate.ShutdownForUpdate = false;
  FDBUpdateDate.ShutdownOptions.UserName = "SYSDBA";
  FDBUpdateDate.ShutdownOptions.ServerName = "localhost";
  FDBUpdateDate.SetLastKnownDBVersion(DatabaseVersion);

  TServiceClient& C = *FServiceClient;
  C.SetDatabase(&FDatabase);
  C.SetServiceID(ServiceNumber);
  C.SetDBUpdateDate(&FDBUpdateDate);
  C.SetServiceLanguage("ru");
  C.SetAcceptingCommands(false);
  C.OnWork = [this](TServiceClient&) { ServiceClientWork(); };
  C.OnProcessMessages = [this](TServiceClient&) { ServiceClientProcessMessages(); };
  C.OnWaitHandles = [this](std::vector<int>& Handles) {
    Handles.swap(FChannelHandles);
    FChannelHandles.clear();
  };
  C.OnRegisterCommands = [this](TServiceClient& Sender) {
    Sender.RegisterCommand("ForceRestore", [this](pPelCommand Command) { ForceRestore(Command); });
  };
  C.OnGetCommandInfo = [](pPelCommand Command, bool& AInfo) {
    AInfo = Command->Name == "SetSysObject" || Command->Name == "ForceRestore";
  };
  C.OnGetServiceConfig = [this](TSysService& S) { ServiceClientGetServiceConfig(S); };
  C.OnObjectCreate = [this](TBufferProtocol& Buffer, const TGeneralSysObject& Header) {
    return ServiceClientObjectCreate(Buffer, Header);
  };
  C.OnObjectSave = [this](TCustomSysObject& O, TObjectAction A) { ServiceClientObjectSave(O, A); };
  C.OnListLoaded = [this] { ServiceClientListLoaded(); };
  C.OnObjectUpdated = [this](TCustomSysObject& O, TObjectAction A, bool& Send) {
    ServiceClientObjectUpdated(O, A, Send);
  };
  C.OnObjectStatus = [this](TCustomSysObject& O, bool& Send) { SaveObjectStatus(O, Send); };
  C.OnSvcLogInfo = [this](const std::string& Text) { FHost.LogInfo(Text); };
  C.OnSvcLogWarning = [this](const std::string& Text) { FHost.LogWarning(Text); };
  C.OnSvcLogError = [this](const std::string& Text) { FHost.LogError(Text); };
}

TDataModule1::~TDataModule1() {
  FServiceClient.reset();
  if (DefaultDatabase() == &FDatabase)
    SetDefaultDatabase(nullptr);
}

void TDataModule1::RunService() {
  FDatabase.SetUserName(FSetup.DBUser);
  FDatabase.SetPassword(FSetup.DBPassword);
  FDatabase.SetLibraryName(GetFbClientLibrary());
  FDatabase.SetSQLDialect(3);
  // No server: the embedded engine opens the file itself.
  FDatabase.SetDatabaseName(FSetup.DBServer.empty()
                                ? FSetup.DBName
                                : FSetup.DBServer + "/" + std::to_string(FSetup.DBPort) + ":" +
                                      FSetup.DBName);
  DebugLog("Service starting..");
  FServiceClient->SetCoreAddress(FSetup.CoreAddress);
  FServiceClient->SetCorePort(FSetup.CorePort);
  FServiceClient->SetCorePassword(FSetup.CorePassword);
  FServiceClient->Run();
  DebugLog("Service stopping..");
}

// ---------------------------------------------------------------------------------------------
// Work cycle

void TDataModule1::ServiceClientProcessMessages() {
  FHost.ServeRequests();
  // The log buffer's batches are messages of this thread's queue.
  TEventQueue::Current()->ProcessMessages();
  if (FHost.Terminated())
    FServiceClient->Stop();
}

void TDataModule1::ServiceClientWork() {
  TServiceClient& C = *FServiceClient;
  C.SetAcceptingCommands(true);
  TSysObjectList& Objects = *C.Objects();
  // The first channel that failed; its exception goes on to the run loop after the cycle.
  std::exception_ptr Failure;
  {
    TCriticalSectionGuard Guard(Objects.CriticalSection(), LockWork);
    std::int32_t Enabled = 0;
    bool AllOnline = true;
    std::int32_t Index = 0;
    TServerChannel* Channel = nullptr;
    while (Objects.FindNext(Index, true, Channel)) {
      if (!Channel->Enabled())
        continue;
      ++Enabled;
      // A channel object with settings that make no link fails at every poll until it is
      // corrected: the receivers behind the other channels are read all the same.
      try {
        if (!Channel->Poll())
          AllOnline = false;
      } catch (...) {
        if (!Failure)
          Failure = std::current_exception();
      }
      FChannelHandles.push_back(Channel->WaitHandle());
    }
    // After a failure the run loop sets the error status; a status set here as well would make
    // the two alternate every cycle.
    if (!Failure) {
      if (Enabled == 0)
        C.SetServiceStatus("повреждение", 5, WithLeftOut("Не определён ни один разрешённый канал"));
      else if (!AllOnline)
        C.SetServiceStatus("повреждение", 5, WithLeftOut("Один или несколько каналов не в сети"));
      else
        C.SetServiceStatus("в сети", 2, WithLeftOut(""));
    }
  }
  // A channel's failure does not hold up the supervision of the accounts either.
  CheckAccounts();
  if (Failure)
    std::rethrow_exception(Failure);
}

std::string TDataModule1::WithLeftOut(const std::string& Detail) {
  const std::size_t Count = LeftOutCount();
  if (Count == 0)
    return Detail;
  const std::string LeftOut =
      Format("Не загружено объектов: %d (ошибки в записях базы данных, см. журнал)",
             static_cast<std::int64_t>(Count));
  return Detail.empty() ? LeftOut : Detail + "; " + LeftOut;
}

void TDataModule1::LogChannelEvent(std::uint8_t Priority, std::uint16_t Code,
                                   const TVariant& ObjectID, const std::string& TextA,
                                   const std::string& TextB) {
  FServiceClient->LogEvent(TVariant::Null(), TVariant::Null(), -1, Priority, Code, ObjectID,
                           TVariant::Null(), TextA, TextB);
}

// ---------------------------------------------------------------------------------------------
// Reports

TServerAccount* TDataModule1::FindAccount(std::uint16_t AccountIdx) {
  TSysObjectList* Objects = FServiceClient->Objects();
  if (Objects == nullptr)
    return nullptr;
  {
    std::lock_guard<std::mutex> Guard(FIndexLock);
    auto It = FAccountsByIdx.find(AccountIdx);
    if (It != FAccountsByIdx.end() && !It->second.empty()) {
      TCustomSysObject* Obj = nullptr;
      if (Objects->FindById(*It->second.begin(), Obj)) {
        auto* Account = dynamic_cast<TServerAccount*>(Obj);
        if (Account && Account->AccountIdx() == AccountIdx)
          return Account;
      }
    }
  }
  // The index missed or was stale: the list decides, and the index is made anew from it.
  TCustomSysObject* Found = nullptr;
  Objects->Find(
      [AccountIdx](TCustomSysObject& Obj) {
        auto* Account = dynamic_cast<TServerAccount*>(&Obj);
        return Account != nullptr && Account->AccountIdx() == AccountIdx;
      },
      Found);
  if (Found != nullptr)
    RebuildAccountIndex();
  return static_cast<TServerAccount*>(Found);
}

void TDataModule1::HandleCIDEvent(TciMessage& Msg) {
  try {
    DebugLogFmt("Event - Account #%d, Type: %d, Q: %d, Code: %d, Group: %d, Zone: %d",
                static_cast<std::int64_t>(Msg.Account), static_cast<int>(Msg.MessageType),
                static_cast<int>(Msg.Qualifier), static_cast<int>(Msg.Code),
                static_cast<int>(Msg.Group), static_cast<std::int64_t>(Msg.Zone));
    const std::int32_t Base = Msg.Qualifier == 3 ? 5200 : 1000;
    TVariant AccountID = TVariant::Null();
    TVariant ObjectID = TVariant::Null();
    bool EnableAlarms = true;
    std::int32_t EventCode = 9305;

    TCriticalSectionGuard Guard(DatabaseLock(), LockDatabase);
    if (TServerAccount* Account = FindAccount(static_cast<std::uint16_t>(Msg.Account & 0xFFFF))) {
      if (!Account->Enabled()) {
        Msg.Ack = true;
        return;
      }
      TQuery* NowQuery = CachedQuery(FNowQueryHandle, NowSQL);
      NowQuery->ExecQuery();
      const TDateTime Now = NowQuery->Fields(0).AsDateTime();
      CommitTransaction(NowQuery->Transaction());
      Account->ProcessEvent(Msg, Now);
      AccountID = LinkOrID(*Account);
      TCIDGroup* Group = nullptr;
      if (Account->FindGroup(Msg.Group, Group))
        ObjectID = LinkOrID(*Group);
      EnableAlarms = !Account->Maintenance();
      EventCode = Base + Msg.Code;
    }

    TQuery* Query = GetQuery(FEventQueryHandle, CidEventSQL);
    Query->ParamByName("ACCOUNT_ID").SetValue(AccountID);
    Query->ParamByName("OBJECT_ID").SetValue(ObjectID);
    Query->ParamByName("EVENT_CODE").SetAsInteger(EventCode);
    Query->ParamByName("ACCOUNT_IDX").SetAsInteger(static_cast<std::int32_t>(Msg.Account));
    Query->ParamByName("GROUP_IDX").SetValue(TVariant::OfInteger(TVarType::SmallInt, Msg.Group));
    Query->ParamByName("ZONE_IDX").SetAsInteger(static_cast<std::int32_t>(Msg.Zone));
    Query->ParamByName("ENABLE_ALARMS").SetAsBoolean(EnableAlarms);
    ExecuteAndCommit(*Query);
    // Only a stored report is acknowledged: the receiver sends it again otherwise.
    Msg.Ack = true;
  } catch (const std::exception& E) {
    DebugLog(std::string("Exception in HandleCIDEvent: ") + E.what());
  }
}

void TDataModule1::CheckAccounts() {
  if (!TimeElapsed(FLastAccountCheck, 60000 - 1))
    return;
  TSysObjectList& Objects = *FServiceClient->Objects();
  try {
    TCriticalSectionGuard ListGuard(Objects.CriticalSection(), LockCheckAccounts);
    TDateTime Now;
    {
      TCriticalSectionGuard Guard(DatabaseLock(), LockCheckAccounts);
      TQuery* Query = CachedQuery(FNowQueryHandle, NowSQL);
      Query->ExecQuery();
      Now = Query->Fields(0).AsDateTime();
      CommitTransaction(Query->Transaction());
    }
    std::int32_t Index = 0;
    TServerAccount* Account = nullptr;
    while (Objects.FindNext(Index, false, Account)) {
      if (!Account->Enabled())
        continue;
      if (!Account->CheckTestReport(FReportTolerance, 1, Now))
        FServiceClient->LogObjectEvent(9304, TVariant(Account->ID()), "");
      if (Account->CheckMaintenance(static_cast<std::uint16_t>(FMaintenanceInterval)))
        FServiceClient->LogObjectEvent(9307, TVariant(Account->ID()), "");
    }
  } catch (...) {
    FLastAccountCheck = GetTickCount();
    throw;
  }
  FLastAccountCheck = GetTickCount();
}

void TDataModule1::SaveObjectStatus(TCustomSysObject& AObject, bool& Send) {
  Send = dynamic_cast<TCIDObject*>(&AObject) != nullptr;
  if (!Send || dynamic_cast<TServerChannel*>(&AObject) != nullptr)
    return;
  TCriticalSectionGuard Guard(DatabaseLock(), LockDatabase);
  TQuery* Query = GetQuery(FStatusQueryHandle, StatusSQL);
  Query->ParamByName("OBJECT_ID").SetAsInteger(AObject.ID());
  TBufferProtocol Status(32);
  AObject.WriteStatus(Status);
  Status.SetPosition(0);
  BufferToBlob(Status, Query->ParamByName("STATUS"));
  ExecuteAndCommit(*Query);
}

void TDataModule1::ForceRestore(pPelCommand Command) {
  const std::int32_t ID = Command->Params.ReadInteger();
  TCustomSysObject* Obj = nullptr;
  if (!FServiceClient->Objects()->FindById(ID, Obj))
    return;
  auto* Account = dynamic_cast<TServerAccount*>(Obj);
  if (Account == nullptr)
    return;
  const std::string Text = Command->Params.ReadString();
  FServiceClient->LogUserObjectEvent(9308, TVariant(Account->ID()), Command->UserID, Text);
  Account->ForceRestore();
}

// ---------------------------------------------------------------------------------------------
// Objects

void TDataModule1::ServiceClientGetServiceConfig(TSysService& ServiceObject) {
  std::uint16_t Major = 0, Minor = 0, Release = 0, Build = 0;
  GetFileVersion(Major, Minor, Release, Build);
  ServiceObject.BeginUpdate();
  try {
    ServiceObject.SetID(ServiceNumber);
    ServiceObject.SetName(DisplayName);
    ServiceObject.SetDescription(TVariant(std::string(Description)));
    ServiceObject.SetVersionMajor(Major);
    ServiceObject.SetVersionMinor(Minor);
    ServiceObject.SetBuildDate(BuildDate);
    ServiceObject.SetStatus("не в сети", 1, "");
  } catch (...) {
    ServiceObject.CancelUpdate();
    throw;
  }
  ServiceObject.EndUpdate();
  {
    TCriticalSectionGuard Guard(DatabaseLock(), LockDatabase);
    FDatabaseVersion = GetSettingDate(ServiceNumber, "Database version", 0);
    FReportTolerance =
        static_cast<std::uint8_t>(GetSettingInt(ServiceNumber, "Report tolerance", 5) & 0xFF);
    FMaintenanceInterval = GetSettingInt(ServiceNumber, "Maintenance alarm interval", 30);
    CloseSettings(false);
  }
  TBufferProtocol& Config = ServiceObject.Config();
  Config.SetSize(0);
  Config.WriteDateTime(BuildDate);
  Config.WriteDateTime(FDatabaseVersion);
  Config.WriteByte(FReportTolerance);
  Config.WriteInteger(FMaintenanceInterval);
}

std::unique_ptr<TCustomSysObject> TDataModule1::CreateCIDObject(TBufferProtocol& Buffer,
                                                                const TGeneralSysObject& Header) {
  if (Header.ServiceID() != ServiceNumber)
    return nullptr;
  const std::string& Type = Header.TypeName();
  TCriticalSectionGuard Guard(DatabaseLock(), LockDatabase);
  // The object from its record, completed from its row.
  auto Make = [&Buffer]<class T>(std::int32_t& QueryHandle, bool (*Load)(T&, std::int32_t&)) {
    auto Obj = TCustomSysObject::CreateOwn<T>();
    Obj->LoadFromBuffer(Buffer);
    Load(*Obj, QueryHandle);
    return Obj;
  };
  if (Type == TServerAccount::ClassTypeName())
    return Make(FAccountQueryHandle, &LoadAccount);
  if (Type == TServerGroup::ClassTypeName())
    return Make(FGroupQueryHandle, &LoadGroup);
  if (Type == TServerZone::ClassTypeName())
    return Make(FZoneQueryHandle, &LoadZone);
  if (Type != TServerChannel::ClassTypeName())
    return nullptr;
  auto Channel = Make(FChannelQueryHandle, &LoadChannel);
  Channel->SetOnCIDEvent([this](TciMessage& Msg) { HandleCIDEvent(Msg); });
  Channel->SetOnLogEvent([this](std::uint8_t Priority, std::uint16_t Code, const TVariant& ObjectID,
                                const std::string& TextA, const std::string& TextB) {
    LogChannelEvent(Priority, Code, ObjectID, TextA, TextB);
  });
  return Channel;
}

std::unique_ptr<TCustomSysObject> TDataModule1::ServiceClientObjectCreate(
    TBufferProtocol& Buffer, const TGeneralSysObject& Header) {
  TSysObjectList* Objects = FServiceClient->Objects();
  const bool ListLoading = Objects != nullptr && Objects->Loading();
  std::unique_ptr<TCustomSysObject> Result;
  try {
    Result = CreateCIDObject(Buffer, Header);
  } catch (const std::exception& E) {
    if (!ListLoading)
      FreeQueries(LoadGroupName);
    // A change from the Core service goes back to its requester with the reason; a database
    // that cannot be reached fails the whole load, which is tried again.
    const auto* Database = dynamic_cast<const EDatabaseError*>(&E);
    if (!ListLoading || (Database && Database->ConnectionLost()) || !FDatabase.Connected())
      throw;
    // One bad row costs its object, never the station: the rest of the list loads.
    LeaveOut(Header, MessageOf(E));
    return nullptr;
  }
  if (!ListLoading)
    FreeQueries(LoadGroupName);
  if (Result) {
    std::lock_guard<std::mutex> Guard(FLeftOutLock);
    FLeftOut.erase(Header.ID());
    FLeftOutSeen.erase(Header.ID());
  }
  return Result;
}

void TDataModule1::LeaveOut(const TGeneralSysObject& Header, const std::string& Reason) {
  {
    std::lock_guard<std::mutex> Guard(FLeftOutLock);
    FLeftOutSeen.insert(Header.ID());
    auto [It, New] = FLeftOut.try_emplace(Header.ID(), Reason);
    // One warning for each object, until it loads or fails for another reason.
    if (!New && It->second == Reason)
      return;
    It->second = Reason;
  }
  const bool Channel = Header.TypeName() == TServerChannel::ClassTypeName();
  FHost.LogWarning(Format(
      "Object %d (%s \"%s\") was left out of the object list: %s. Mend its row in the "
      "installation's database; the object is loaded again at the next list load or when the "
      "Core service sends it again.%s",
      Header.ID(), Header.TypeName(), Header.Name(), Reason,
      Channel ? " Its receiver is not read meanwhile." : ""));
  LogChannelEvent(2, ServiceEventCode, TVariant(Header.ID()),
                  Format("Объект не загружен: %s \"%s\"", Header.TypeName(), Header.Name()),
                  Reason);
}

std::size_t TDataModule1::LeftOutCount() {
  std::lock_guard<std::mutex> Guard(FLeftOutLock);
  return FLeftOut.size();
}

void TDataModule1::ServiceClientObjectSave(TCustomSysObject& AObject, TObjectAction Action) {
  if (dynamic_cast<TCIDObject*>(&AObject) == nullptr)
    return;
  if (auto* Account = dynamic_cast<TServerAccount*>(&AObject))
    SaveAccount(*Account, Action);
  else if (auto* Group = dynamic_cast<TServerGroup*>(&AObject))
    SaveGroup(*Group, Action);
  else if (auto* Zone = dynamic_cast<TServerZone*>(&AObject))
    SaveZone(*Zone, Action);
  else if (auto* Channel = dynamic_cast<TServerChannel*>(&AObject))
    SaveChannel(*Channel, Action);

  pPelCommand Command = FServiceClient->CurrentCommand();
  if (Command == nullptr)
    return;
  const char* Text = nullptr;
  switch (Action) {
    case oaChanged:
      Text = "%s \"%s\" изменено";
      break;
    case olaAdded:
      Text = "%s \"%s\" добавлено";
      break;
    case olaDeleted:
      Text = "%s \"%s\" удалено";
      break;
    default:
      return;
  }
  FServiceClient->LogServiceEvent(0, Format(Text, AObject.KindText(), AObject.Name()),
                                  Command->UserID);
}

void TDataModule1::ServiceClientListLoaded() {
  FreeQueries(LoadGroupName);
  RebuildAccountIndex();
  // What this load did not leave out any more has loaded or is gone from the installation.
  std::lock_guard<std::mutex> Guard(FLeftOutLock);
  std::erase_if(FLeftOut,
                [this](const auto& Entry) { return !FLeftOutSeen.contains(Entry.first); });
  FLeftOutSeen.clear();
}

void TDataModule1::ServiceClientObjectUpdated(TCustomSysObject& AObject, TObjectAction Action,
                                              bool& Send) {
  Send = dynamic_cast<TCIDObject*>(&AObject) != nullptr;
  if (auto* Account = dynamic_cast<TServerAccount*>(&AObject))
    IndexAccount(*Account, Action != olaDeleted);
}

// ---------------------------------------------------------------------------------------------
// Account index

void TDataModule1::RebuildAccountIndex() {
  TSysObjectList* Objects = FServiceClient->Objects();
  if (Objects == nullptr)
    return;
  // The list lock first, as everywhere else the index is touched.
  TCriticalSectionGuard ListGuard(Objects->CriticalSection(), LockIndex);
  std::lock_guard<std::mutex> Guard(FIndexLock);
  FAccountsByIdx.clear();
  FIdxOfAccount.clear();
  std::int32_t Index = 0;
  TServerAccount* Account = nullptr;
  while (Objects->FindNext(Index, false, Account)) {
    FAccountsByIdx[Account->AccountIdx()].insert(Account->ID());
    FIdxOfAccount[Account->ID()] = Account->AccountIdx();
  }
}

void TDataModule1::IndexAccount(TServerAccount& Account, bool Present) {
  std::lock_guard<std::mutex> Guard(FIndexLock);
  auto Old = FIdxOfAccount.find(Account.ID());
  if (Old != FIdxOfAccount.end()) {
    auto Set = FAccountsByIdx.find(Old->second);
    if (Set != FAccountsByIdx.end()) {
      Set->second.erase(Account.ID());
      if (Set->second.empty())
        FAccountsByIdx.erase(Set);
    }
    FIdxOfAccount.erase(Old);
  }
  if (Present) {
    FAccountsByIdx[Account.AccountIdx()].insert(Account.ID());
    FIdxOfAccount[Account.ID()] = Account.AccountIdx();
  }
}

}  // namespace pelmar
