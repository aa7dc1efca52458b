#include "DBUtils.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "BaseProtocol.h"

namespace pelmar {

namespace {

// One cached query.
struct TQueryRecord {
  std::int32_t* HandleRef;  // the caller's handle, set to 0 when the entry is freed
  std::string Group;
  std::unique_ptr<TQuery> Query;  // owns its transaction
};

using TQueryList = std::vector<std::unique_ptr<TQueryRecord>>;

// Handles are slot numbers the cache gave out; anything far beyond the list is a caller's bug,
// not a reason to allocate millions of slots.
constexpr std::int32_t MaxHandle = 1 << 20;

const char* const ClientLibraryName = "libfbclient.so.2";

struct TUnitState {
  TDatabase* DefaultDatabase = nullptr;
  std::unique_ptr<TDBSettings> Settings;
  std::unique_ptr<TQueryList> Cache;
  TDatabase* HandlerDatabase = nullptr;  // where the before-disconnect handler is registered
  int HandlerId = 0;
};

TUnitState& State() {
  static TUnitState Unit;
  return Unit;
}

void RegisterDisconnectHandler() {
  TUnitState& Unit = State();
  if (Unit.HandlerDatabase || !Unit.DefaultDatabase)
    return;
  Unit.HandlerDatabase = Unit.DefaultDatabase;
  Unit.HandlerId = Unit.HandlerDatabase->AddBeforeDisconnect([](TDatabase&) {
    try {
      FreeQueries();
    } catch (const std::exception&) {
      // The connection is going away; what could not be freed cleanly is released with it.
    }
  });
}

void UnregisterDisconnectHandler() {
  TUnitState& Unit = State();
  if (Unit.HandlerDatabase)
    Unit.HandlerDatabase->RemoveBeforeDisconnect(Unit.HandlerId);
  Unit.HandlerDatabase = nullptr;
  Unit.HandlerId = 0;
}

// Rolls back the query's active transaction when asked, then frees the query (and the
// transaction it owns). The query is freed also when the rollback fails.
void ReleaseQuery(std::unique_ptr<TQuery> Query, bool FreeTransaction) {
  if (FreeTransaction && Query->Transaction() && Query->Transaction()->Active())
    Query->Transaction()->Rollback();
}

// Empties every slot whose record holds Query; returns the query if the cache owned it.
std::unique_ptr<TQuery> TakeFromCache(const TQuery* Query) {
  std::unique_ptr<TQuery> Owned;
  TUnitState& Unit = State();
  if (!Unit.Cache)
    return Owned;
  for (auto& Slot : *Unit.Cache) {
    if (Slot && Slot->Query.get() == Query) {
      *Slot->HandleRef = 0;
      Owned = std::move(Slot->Query);
      Slot.reset();
    }
  }
  return Owned;
}

}  // namespace

TDebugCriticalSection& DatabaseLock() {
  static TDebugCriticalSection Lock;
  return Lock;
}

TDatabase* DefaultDatabase() {
  return State().DefaultDatabase;
}

void SetDefaultDatabase(TDatabase* Database) {
  TUnitState& Unit = State();
  if (Database == Unit.DefaultDatabase)
    return;
  Unit.Settings.reset();
  Unit.DefaultDatabase = Database;
  if (Database)
    Unit.Settings = std::make_unique<TDBSettings>(Database);
}

std::unique_ptr<TTransaction> NewTransaction(TDatabase* Database) {
  if (!Database)
    Database = DefaultDatabase();
  if (!Database)
    throw EBugCheckError("NewTransaction: DefaultDatabase not assigned!");
  return std::make_unique<TTransaction>(*Database, TTransactionKind::tkRead);
}

std::unique_ptr<TTransaction> NewWriteTransaction(TDatabase* Database) {
  if (!Database)
    Database = DefaultDatabase();
  if (!Database)
    throw EBugCheckError("NewTransaction: DefaultDatabase not assigned!");
  return std::make_unique<TTransaction>(*Database, TTransactionKind::tkWrite);
}

std::unique_ptr<TQuery> NewQuery(TTransaction* Transaction, TDatabase* Database) {
  auto Query = std::make_unique<TQuery>();
  if (Transaction)
    Query->SetTransaction(Transaction);
  else
    Query->AdoptTransaction(NewTransaction(Database));
  return Query;
}

std::unique_ptr<TQuery> NewQuerySQL(const std::string& SQL, TTransaction* Transaction,
                                    TDatabase* Database) {
  // On a failure the query, and the transaction it made for itself, go with the unique_ptr.
  std::unique_ptr<TQuery> Query = NewQuery(Transaction, Database);
  Query->SetSQL(SQL);
  if (!SQL.empty())
    Query->Prepare();
  return Query;
}

std::unique_ptr<TQuery> NewWriteQuery() {
  auto Query = std::make_unique<TQuery>();
  Query->AdoptTransaction(NewWriteTransaction(nullptr));
  return Query;
}

std::unique_ptr<TQuery> NewWriteQuerySQL(const std::string& SQL) {
  std::unique_ptr<TQuery> Query = NewWriteQuery();
  Query->SetSQL(SQL);
  if (!SQL.empty())
    Query->Prepare();
  return Query;
}

void FreeQuery(std::unique_ptr<TQuery>& Query, bool FreeTransaction) {
  if (!Query)
    return;
  std::unique_ptr<TQuery> Taken = std::move(Query);
  // A query the cache also holds would be a double owner; make sure no slot keeps it.
  std::unique_ptr<TQuery> Cached = TakeFromCache(Taken.get());
  (void)Cached.release();
  ReleaseQuery(std::move(Taken), FreeTransaction);
}

void FreeQuery(TQuery*& Query, bool FreeTransaction) {
  if (!Query)
    return;
  std::unique_ptr<TQuery> Owned = TakeFromCache(Query);
  if (!Owned)
    throw EBugCheckError("FreeQuery: the query is not in the query cache");
  Query = nullptr;
  ReleaseQuery(std::move(Owned), FreeTransaction);
}

void CommitTransaction(TTransaction* Transaction) {
  if (Transaction && Transaction->Active())
    Transaction->Commit();
}

TQuery* FindCachedQuery(std::int32_t Handle) {
  TUnitState& Unit = State();
  if (Handle <= 0 || !Unit.Cache || static_cast<std::size_t>(Handle) > Unit.Cache->size())
    return nullptr;
  const auto& Slot = (*Unit.Cache)[static_cast<std::size_t>(Handle) - 1];
  return Slot ? Slot->Query.get() : nullptr;
}

std::int32_t CachedQuerySlots() {
  TUnitState& Unit = State();
  return Unit.Cache ? static_cast<std::int32_t>(Unit.Cache->size()) : 0;
}

TQuery* CachedQuery(std::int32_t& Handle, const std::string& SQL, const std::string& Group,
                    std::unique_ptr<TTransaction> Transaction) {
  TUnitState& Unit = State();
  if (!Unit.Cache)
    Unit.Cache = std::make_unique<TQueryList>();
  RegisterDisconnectHandler();

  if (TQuery* Found = FindCachedQuery(Handle)) {
    if (!Found->Transaction())
      Found->AdoptTransaction(Transaction ? std::move(Transaction) : NewTransaction(nullptr));
    return Found;
  }
  if (Handle < 0 || Handle > MaxHandle)
    throw EBugCheckError(Format("CachedQuery: invalid query handle %d", Handle));

  auto Query = std::make_unique<TQuery>();
  Query->AdoptTransaction(Transaction ? std::move(Transaction) : NewTransaction(nullptr));
  Query->SetSQL(SQL);
  Query->SetRetainPrepared(true);
  if (!SQL.empty())
    Query->Prepare();  // on failure the query and its transaction go with the unique_ptr

  auto Record = std::make_unique<TQueryRecord>();
  Record->HandleRef = &Handle;
  Record->Group = Group;
  Record->Query = std::move(Query);
  TQuery* Result = Record->Query.get();
  if (Handle != 0) {
    if (Unit.Cache->size() < static_cast<std::size_t>(Handle))
      Unit.Cache->resize(static_cast<std::size_t>(Handle));
    (*Unit.Cache)[static_cast<std::size_t>(Handle) - 1] = std::move(Record);
  } else {
    Unit.Cache->push_back(std::move(Record));
    Handle = static_cast<std::int32_t>(Unit.Cache->size());
  }
  return Result;
}

TQuery* GetQuery(std::int32_t& Handle, const std::string& SQL, const std::string& Group,
                 std::unique_ptr<TTransaction> Transaction) {
  if (!Transaction && !FindCachedQuery(Handle))
    Transaction = NewWriteTransaction(nullptr);
  // On a failure the write transaction made here is freed with the query CachedQuery made.
  return CachedQuery(Handle, SQL, Group, std::move(Transaction));
}

void FreeQueries(const std::string& Group) {
  TUnitState& Unit = State();
  if (!Unit.Cache)
    return;
  static const std::string LockName = "FreeQueries";
  TCriticalSectionGuard Guard(DatabaseLock(), LockName);
  std::optional<EDatabaseError> FirstError;
  for (std::size_t I = Unit.Cache->size(); I-- > 0;) {
    auto& Slot = (*Unit.Cache)[I];
    if (!Slot || (!Group.empty() && Slot->Group != Group))
      continue;
    std::unique_ptr<TQueryRecord> Record = std::move(Slot);
    *Record->HandleRef = 0;
    try {
      ReleaseQuery(std::move(Record->Query), true);
    } catch (const EDatabaseError& E) {
      // Free the rest first; the first failure is reported at the end.
      if (!FirstError)
        FirstError = E;
    }
  }
  if (Group.empty()) {
    Unit.Cache.reset();
    UnregisterDisconnectHandler();
  }
  if (FirstError)
    throw *FirstError;
}

// ---------------------------------------------------------------------------------------------
// Settings

TDBSettings::~TDBSettings() = default;

bool TDBSettings::Locate(const std::string& Name) {
  if (!FReadQuery) {
    auto Query = std::make_unique<TQuery>();
    Query->AdoptTransaction(NewTransaction(FDatabase));
    Query->SetSQL(
        std::string("SELECT   VAL_STR, VAL_DATE, VAL_BLOB, VAL_BOOL, VAL_INT, VAL_TS FROM ") +
        FTableName + " " + "WHERE " + "  COMPONENT = :COMPONENT " + "  AND VAR = :VAR");
    Query->SetRetainPrepared(true);
    Query->Prepare();
    FReadQuery = std::move(Query);
  }
  TQuery& Q = *FReadQuery;
  FValInt = TVariant::Null();
  FValDate = TVariant::Null();
  bool Found = false;
  try {
    Q.ParamByName("COMPONENT").SetAsInteger(FComponent);
    Q.ParamByName("VAR").SetAsString(Name);
    Q.ExecQuery();
    if (!Q.Eof()) {
      FValInt = Q.FieldByName("VAL_INT").Value();
      FValDate = Q.FieldByName("VAL_DATE").Value();
      Q.Next();
      Found = Q.Eof() && Q.RecordCount() == 1;
    }
  } catch (const EDatabaseError&) {
    try {
      CommitTransaction(Q.Transaction());
    } catch (const EDatabaseError&) {
      // The first failure is the one the caller needs to see.
    }
    throw;
  }
  CommitTransaction(Q.Transaction());
  return Found;
}

std::int32_t TDBSettings::GetIntValue(const std::string& Name, std::int32_t Default) {
  if (Locate(Name) && !FValInt.IsNull())
    return FValInt.AsInteger();
  return Default;
}

TDateTime TDBSettings::GetDateValue(const std::string& Name, TDateTime Default) {
  if (Locate(Name) && !FValDate.IsNull())
    return FValDate.AsDouble();
  return Default;
}

void TDBSettings::CloseQueries(bool CommitWrite) {
  if (CommitWrite && FWriteQuery && FWriteQuery->Transaction() &&
      FWriteQuery->Transaction()->Active())
    FWriteQuery->Transaction()->Commit();
  FreeQuery(FReadQuery, true);
  FreeQuery(FWriteQuery, true);
}

TDBSettings* SettingsInstance() {
  return State().Settings.get();
}

namespace {
TDBSettings& RequireSettings() {
  TDBSettings* Settings = SettingsInstance();
  // The reader exists exactly when a default database is set.
  if (!Settings)
    throw EBugCheckError("NewTransaction: DefaultDatabase not assigned!");
  return *Settings;
}
}  // namespace

std::int32_t GetSettingInt(std::uint8_t Component, const std::string& Name, std::int32_t Default) {
  TDBSettings& Settings = RequireSettings();
  Settings.SetComponent(Component);
  return Settings.GetIntValue(Name, Default);
}

TDateTime GetSettingDate(std::uint8_t Component, const std::string& Name, TDateTime Default) {
  TDBSettings& Settings = RequireSettings();
  Settings.SetComponent(Component);
  return Settings.GetDateValue(Name, Default);
}

void CloseSettings(bool CommitWrite) {
  if (TDBSettings* Settings = SettingsInstance())
    Settings->CloseQueries(CommitWrite);
}

// ---------------------------------------------------------------------------------------------
// Blobs and the client library

void BufferToBlob(TBufferProtocol& Buffer, TParam& Param) {
  Buffer.SetPosition(0);
  std::string Bytes;
  if (Buffer.Size() > 0)
    Bytes.assign(reinterpret_cast<const char*>(Buffer.Data()),
                 static_cast<std::size_t>(Buffer.Size()));
  Buffer.SetPosition(Buffer.Size());
  Param.SetAsBlob(std::move(Bytes));
}

void BlobToBuffer(TBufferProtocol& Buffer, const TField& Field) {
  std::string Bytes = Field.AsBlob();
  if (!Bytes.empty())
    Buffer.WriteData(static_cast<std::int32_t>(Bytes.size()), Bytes.data());
  Buffer.SetPosition(0);
}

std::string GetFbClientLibrary(const std::string& FirebirdDir) {
  if (FirebirdDir.empty())
    return ClientLibraryName;
  std::filesystem::path Dir(FirebirdDir);
  std::error_code Ignored;
  for (const std::filesystem::path& Candidate :
       {Dir / "lib" / ClientLibraryName, Dir / ClientLibraryName}) {
    if (std::filesystem::is_regular_file(Candidate, Ignored))
      return Candidate.string();
  }
  return ClientLibraryName;
}

std::string GetFbClientLibrary() {
  const char* Dir = std::getenv("FIREBIRD");
  return GetFbClientLibrary(Dir ? Dir : "");
}

}  // namespace pelmar
