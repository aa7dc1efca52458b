#include "FbDatabase.h"

#include <dlfcn.h>
#include <firebird/Interface.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "Format.h"

using namespace Firebird;

namespace pelmar {

namespace {

constexpr unsigned CharSetOctets = 1;
constexpr unsigned CharSetUtf8 = 4;
// Days from 17 November 1858 (the client library's day 0) to 30 December 1899.
constexpr std::int32_t FbDateDelta = 15018;
constexpr std::int64_t MsPerDay = 86400000;

// One status object of the client library for a sequence of calls.
class TStatus {
 public:
  explicit TStatus(IMaster* Master) : FStatus(Master->getStatus()), FWrapper(FStatus) {}
  ~TStatus() { FStatus->dispose(); }
  TStatus(const TStatus&) = delete;
  TStatus& operator=(const TStatus&) = delete;
  CheckStatusWrapper* W() { return &FWrapper; }
  bool Failed() const { return (FWrapper.getState() & IStatus::STATE_ERRORS) != 0; }
  void Clear() { FWrapper.init(); }

 private:
  IStatus* FStatus;
  CheckStatusWrapper FWrapper;
};

// Releases a reference-counted client object at the end of a scope.
template <typename T>
class TRef {
 public:
  explicit TRef(T* Value = nullptr) : FValue(Value) {}
  ~TRef() {
    if (FValue)
      FValue->release();
  }
  TRef(const TRef&) = delete;
  TRef& operator=(const TRef&) = delete;
  T* operator->() const { return FValue; }
  T* Get() const { return FValue; }
  void Reset(T* Value) {
    if (FValue)
      FValue->release();
    FValue = Value;
  }
  T* Release() {
    T* V = FValue;
    FValue = nullptr;
    return V;
  }

 private:
  T* FValue;
};

bool IsConnectionLostCode(std::intptr_t Code) {
  switch (Code) {
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_lost_db_connection:
    case isc_conn_lost:
    case isc_att_shutdown:
    case isc_shutdown:
      return true;
    default:
      return false;
  }
}

EDatabaseError MakeError(IStatus* Status) {
  const intptr_t* Vector = Status->getErrors();
  std::string Text;
  char Line[1024];
  const ISC_STATUS* P = Vector;
  while (fb_interpret(Line, sizeof Line, &P) > 0) {
    if (!Text.empty())
      Text += "\n";
    Text += Line;
  }
  bool Lost = false;
  std::int64_t First = 0;
  for (const intptr_t* V = Vector; *V != isc_arg_end;) {
    if (*V == isc_arg_gds) {
      if (First == 0)
        First = V[1];
      Lost = Lost || IsConnectionLostCode(V[1]);
    }
    V += (*V == isc_arg_cstring) ? 3 : 2;
  }
  if (Text.empty())
    Text = "Unknown database error";
  return EDatabaseError(Text, isc_sqlcode(Vector), First, Lost);
}

std::mutex LoadedLock;
std::map<std::string, IMaster*> Loaded;  // guarded by LoadedLock

IMaster* LoadMaster(const std::string& Library) {
  if (Library.empty())
    return fb_get_master_interface();
  std::lock_guard L(LoadedLock);
  auto It = Loaded.find(Library);
  if (It != Loaded.end())
    return It->second;
  // Never unloaded: the client library keeps threads of its own.
  void* Handle = dlopen(Library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle) {
    std::string Reason = dlerror();
    (void)dlerror();  // releases the loader's message buffer
    throw EDatabaseError("Cannot load the Firebird client library \"" + Library + "\": " + Reason);
  }
  using TGetMaster = IMaster* (*)();
  auto GetMaster = reinterpret_cast<TGetMaster>(dlsym(Handle, "fb_get_master_interface"));
  if (!GetMaster)
    throw EDatabaseError("\"" + Library + "\" is not a Firebird 3 client library");
  IMaster* Master = GetMaster();
  Loaded[Library] = Master;
  return Master;
}

std::string UpperAscii(std::string S) {
  for (char& C : S)
    if (C >= 'a' && C <= 'z')
      C = static_cast<char>(C - 'a' + 'A');
  return S;
}

bool IsIdentStart(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || C == '_';
}
bool IsIdentChar(char C) {
  return IsIdentStart(C) || (C >= '0' && C <= '9') || C == '$';
}

template <typename T>
void Store(std::uint8_t* Buffer, unsigned Offset, T Value) {
  std::memcpy(Buffer + Offset, &Value, sizeof Value);
}
template <typename T>
T Load(const std::uint8_t* Buffer, unsigned Offset) {
  T Value;
  std::memcpy(&Value, Buffer + Offset, sizeof Value);
  return Value;
}

std::string ParamLabel(const TParam* Param, unsigned Index) {
  if (Param && !Param->Name().empty())
    return "Parameter \"" + Param->Name() + "\"";
  return Format("Parameter #%u", Index + 1);
}

bool IsTextType(unsigned Type) {
  return Type == SQL_TEXT || Type == SQL_VARYING;
}

bool IsTextValue(const TVariant& V) {
  return V.VarType() == TVarType::String || V.VarType() == TVarType::OleStr;
}

// Powers of ten for scaled numbers; the scale of a Firebird number is -18 .. 0.
std::int64_t Pow10(int N) {
  std::int64_t R = 1;
  while (N-- > 0)
    R *= 10;
  return R;
}

std::string FbTypeName(unsigned Type) {
  switch (Type) {
    case SQL_SHORT:
      return "SMALLINT";
    case SQL_LONG:
      return "INTEGER";
    case SQL_INT64:
      return "BIGINT";
    case SQL_BOOLEAN:
      return "BOOLEAN";
    case SQL_TIMESTAMP:
      return "TIMESTAMP";
    case SQL_TYPE_DATE:
      return "DATE";
    case SQL_TYPE_TIME:
      return "TIME";
    default:
      return Format("type %u", Type);
  }
}

// Integer value of V for a number column of the given scale; raises for values out of Min..Max.
std::int64_t ScaledInteger(const TVariant& V, int Scale, std::int64_t Min, std::int64_t Max,
                           const std::string& Label, unsigned Type) {
  const int Shift = Scale < 0 ? -Scale : 0;
  const std::int64_t Factor = Pow10(Shift);
  std::int64_t Result;
  bool Fits = true;
  switch (V.VarType()) {
    case TVarType::Double:
    case TVarType::Single:
    case TVarType::Currency:
    case TVarType::Date: {
      double D = std::nearbyint(V.AsDouble() * static_cast<double>(Factor));
      // Max + 1.0 is a power of two, exact as a double, unlike Max itself for 64 bits.
      Fits =
          std::isfinite(D) && D >= static_cast<double>(Min) && D < static_cast<double>(Max) + 1.0;
      Result = Fits ? static_cast<std::int64_t>(D) : 0;
      break;
    }
    case TVarType::Boolean:
      Result = V.AsBoolean() ? Factor : 0;
      break;
    default: {
      std::int64_t I;
      try {
        I = V.AsInt64();
      } catch (const Exception& E) {
        throw EDatabaseError(Label + ": " + E.Message());
      }
      Fits = !__builtin_mul_overflow(I, Factor, &Result) && Result >= Min && Result <= Max;
      break;
    }
  }
  if (!Fits)
    throw EDatabaseError(Label + ": value " + V.AsString() + " is out of the range of " +
                         FbTypeName(Type));
  return Result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Conversions

void ShutdownDatabaseClient() {
  std::vector<IMaster*> Masters{fb_get_master_interface()};
  {
    std::lock_guard L(LoadedLock);
    for (auto& [Name, Master] : Loaded)
      if (Master != Masters[0])
        Masters.push_back(Master);
  }
  for (IMaster* M : Masters) {
    TStatus S(M);
    TRef<IProvider> Dispatcher(M->getDispatcher());
    Dispatcher->shutdown(S.W(), 0, fb_shutrsn_app_stopped);
  }
}

void DateTimeToFb(TDateTime Value, std::int32_t& Date, std::uint32_t& Time) {
  double Days = std::trunc(Value);
  std::int64_t Ms = std::llround(std::fabs(Value - Days) * MsPerDay);
  if (Ms >= MsPerDay) {
    Ms -= MsPerDay;
    Days += Value < 0 ? -1 : 1;
  }
  Date = static_cast<std::int32_t>(Days) + FbDateDelta;
  Time = static_cast<std::uint32_t>(Ms * 10);
}

TDateTime FbToDateTime(std::int32_t Date, std::uint32_t Time) {
  double Days = static_cast<double>(Date - FbDateDelta);
  double Frac = static_cast<double>(Time) / (MsPerDay * 10.0);
  return Days >= 0 ? Days + Frac : Days - Frac;
}

std::string TranslateNamedParams(const std::string& SQL, std::vector<std::string>& Names) {
  std::string Out;
  Out.reserve(SQL.size());
  const std::size_t N = SQL.size();
  std::size_t I = 0;
  while (I < N) {
    char C = SQL[I];
    if (C == '\'' || C == '"') {
      // A literal or quoted identifier; a doubled quote stands for itself.
      std::size_t J = I + 1;
      while (J < N) {
        if (SQL[J] == C) {
          if (J + 1 < N && SQL[J + 1] == C) {
            J += 2;
            continue;
          }
          break;
        }
        ++J;
      }
      J = std::min(J + 1, N);
      Out.append(SQL, I, J - I);
      I = J;
    } else if ((C == 'q' || C == 'Q') && I + 2 < N && SQL[I + 1] == '\'' &&
               (I == 0 || !IsIdentChar(SQL[I - 1]))) {
      // Alternative quoting: q'{...}', q'!...!'.
      char Open = SQL[I + 2];
      char Close = Open == '('   ? ')'
                   : Open == '[' ? ']'
                   : Open == '{' ? '}'
                   : Open == '<' ? '>'
                                 : Open;
      std::size_t J = I + 3;
      while (J + 1 < N && !(SQL[J] == Close && SQL[J + 1] == '\''))
        ++J;
      J = std::min(J + 2, N);
      Out.append(SQL, I, J - I);
      I = J;
    } else if (C == '-' && I + 1 < N && SQL[I + 1] == '-') {
      std::size_t J = SQL.find('\n', I);
      J = J == std::string::npos ? N : J;
      Out.append(SQL, I, J - I);
      I = J;
    } else if (C == '/' && I + 1 < N && SQL[I + 1] == '*') {
      std::size_t J = SQL.find("*/", I + 2);
      J = J == std::string::npos ? N : J + 2;
      Out.append(SQL, I, J - I);
      I = J;
    } else if (C == ':' && I + 1 < N && IsIdentStart(SQL[I + 1])) {
      std::size_t J = I + 1;
      while (J < N && IsIdentChar(SQL[J]))
        ++J;
      Names.push_back(UpperAscii(SQL.substr(I + 1, J - I - 1)));
      Out += '?';
      I = J;
    } else if (C == ':' && I + 1 < N && SQL[I + 1] == '"') {
      std::size_t J = SQL.find('"', I + 2);
      J = J == std::string::npos ? N : J;
      Names.push_back(SQL.substr(I + 2, J - I - 2));
      Out += '?';
      I = std::min(J + 1, N);
    } else if (C == '?') {
      Names.emplace_back();
      Out += '?';
      ++I;
    } else {
      Out += C;
      ++I;
    }
  }
  return Out;
}

// ---------------------------------------------------------------------------------------------
// TDatabase

TDatabase::TDatabase() = default;

TDatabase::~TDatabase() {
  try {
    // The handlers run also for a connection that is not open: what they release would
    // otherwise point at this object.
    if (FAttachment || FLostPending)
      Close();
    else
      RunBeforeDisconnect();
  } catch (const std::exception&) {
    // Nothing can be reported from a destructor; the handles are released either way.
  }
  std::vector<TQuery*> Queries;
  std::vector<TTransaction*> Transactions;
  {
    std::lock_guard L(FLock);
    Queries = FQueries;
    Transactions = FTransactions;
    FQueries.clear();
    FTransactions.clear();
  }
  for (TQuery* Q : Queries)
    Q->DetachDatabase();
  for (TTransaction* T : Transactions)
    T->Detach();
}

IMaster* TDatabase::Master() {
  if (!FMaster)
    FMaster = LoadMaster(FLibraryName);
  return FMaster;
}

bool TDatabase::Connected() const {
  return FAttachment != nullptr;
}

void TDatabase::CheckConnected() const {
  if (!FAttachment)
    throw EDatabaseError("Database not connected");
}

void TDatabase::Attach(bool Create, bool ForcedWrites) {
  IMaster* M = Master();
  TStatus S(M);
  IXpbBuilder* Dpb = M->getUtilInterface()->getXpbBuilder(S.W(), IXpbBuilder::DPB, nullptr, 0);
  if (S.Failed())
    RaiseStatus(S.W(), false);
  struct TDispose {
    IXpbBuilder* B;
    ~TDispose() { B->dispose(); }
  } DisposeDpb{Dpb};
  if (!FUserName.empty())
    Dpb->insertString(S.W(), isc_dpb_user_name, FUserName.c_str());
  if (!FPassword.empty())
    Dpb->insertString(S.W(), isc_dpb_password, FPassword.c_str());
  if (!FCharSet.empty())
    Dpb->insertString(S.W(), isc_dpb_lc_ctype, FCharSet.c_str());
  Dpb->insertInt(S.W(), isc_dpb_sql_dialect, FSQLDialect);
  if (Create) {
    Dpb->insertString(S.W(), isc_dpb_set_db_charset, "UTF8");
    Dpb->insertInt(S.W(), isc_dpb_force_write, ForcedWrites ? 1 : 0);
  }
  if (S.Failed())
    RaiseStatus(S.W(), false);
  TRef<IProvider> Provider(M->getDispatcher());
  IAttachment* A =
      Create ? Provider->createDatabase(S.W(), FDatabaseName.c_str(), Dpb->getBufferLength(S.W()),
                                        Dpb->getBuffer(S.W()))
             : Provider->attachDatabase(S.W(), FDatabaseName.c_str(), Dpb->getBufferLength(S.W()),
                                        Dpb->getBuffer(S.W()));
  if (S.Failed()) {
    if (A)
      A->release();
    RaiseStatus(S.W(), false);
  }
  FAttachment = A;
  ++FGeneration;
}

void TDatabase::Open() {
  if (FAttachment)
    return;
  if (FLostPending)
    Close();
  Attach(false, true);
}

void TDatabase::CreateDatabase(bool ForcedWrites) {
  if (FLostPending)
    Close();
  if (FAttachment)
    throw EDatabaseError("CreateDatabase: the connection is open");
  Attach(true, ForcedWrites);
}

void TDatabase::DropDatabase() {
  CheckConnected();
  RunBeforeDisconnect();
  std::string FirstError;
  ReleaseAll(true, FirstError);
  TStatus S(Master());
  FAttachment->dropDatabase(S.W());
  if (S.Failed()) {
    EDatabaseError E = MakeError(S.W());
    // The database is still there; keep the connection usable.
    throw E;
  }
  FAttachment = nullptr;  // released by a successful drop
  ++FGeneration;
}

void TDatabase::Close() {
  if (!FAttachment && !FLostPending)
    return;
  RunBeforeDisconnect();
  std::string FirstError;
  ReleaseAll(FAttachment != nullptr, FirstError);
  std::optional<EDatabaseError> Error;
  if (FAttachment) {
    TStatus S(Master());
    FAttachment->detach(S.W());
    if (S.Failed()) {
      Error = MakeError(S.W());
      FAttachment->release();
    }
    FAttachment = nullptr;
  }
  FLostPending = false;
  ++FGeneration;
  if (Error)
    throw *Error;
  if (!FirstError.empty())
    throw EDatabaseError(FirstError);
}

void TDatabase::CloseDataSets() {
  std::vector<TQuery*> Queries;
  {
    std::lock_guard L(FLock);
    Queries = FQueries;
  }
  std::optional<EDatabaseError> First;
  for (TQuery* Q : Queries) {
    try {
      Q->CloseCursor(true);
    } catch (const EDatabaseError& E) {
      if (!First)
        First = E;
    }
  }
  if (First)
    throw *First;
}

void TDatabase::RunBeforeDisconnect() {
  std::vector<TBeforeDisconnectEvent> Handlers;
  {
    std::lock_guard L(FLock);
    for (auto& [Id, H] : FBeforeDisconnect)
      Handlers.push_back(H);
  }
  for (auto& H : Handlers)
    H(*this);
}

void TDatabase::ReleaseAll(bool Graceful, std::string& FirstError) {
  std::vector<TQuery*> Queries;
  std::vector<TTransaction*> Transactions;
  {
    std::lock_guard L(FLock);
    Queries = FQueries;
    Transactions = FTransactions;
  }
  for (TQuery* Q : Queries) {
    if (Graceful) {
      try {
        Q->FreeHandle();
      } catch (const EDatabaseError&) {
        Q->Forget();
      }
    } else {
      Q->Forget();
    }
  }
  for (TTransaction* T : Transactions) {
    if (Graceful && T->Active()) {
      try {
        T->Rollback();
      } catch (const EDatabaseError& E) {
        if (FirstError.empty())
          FirstError = E.Message();
      }
    }
    T->Forget();
  }
}

int TDatabase::AddBeforeDisconnect(TBeforeDisconnectEvent Handler) {
  std::lock_guard L(FLock);
  int Id = FNextHandlerId++;
  FBeforeDisconnect[Id] = std::move(Handler);
  return Id;
}

void TDatabase::RemoveBeforeDisconnect(int Id) {
  std::lock_guard L(FLock);
  FBeforeDisconnect.erase(Id);
}

void TDatabase::RaiseStatus(IStatus* Status, bool Reportable) {
  EDatabaseError E = MakeError(Status);
  if (Reportable && E.ConnectionLost() && FAttachment)
    ConnectionLost(E);
  throw E;
}

void TDatabase::ConnectionLost(const EDatabaseError& E) {
  TLostConnectAction Action = TLostConnectAction::lcaCloseConnect;
  auto MarkLost = [this] {
    std::string Ignored;
    ReleaseAll(false, Ignored);
    if (FAttachment) {
      FAttachment->release();
      FAttachment = nullptr;
    }
    // The before-disconnect handlers run at the next Open or Close, not here: the caller that
    // met the loss may still hold one of the queries they free.
    FLostPending = true;
    ++FGeneration;
  };
  try {
    if (OnLostConnect)
      OnLostConnect(*this, E, Action);
  } catch (...) {
    MarkLost();
    throw;
  }
  if (Action == TLostConnectAction::lcaCloseConnect)
    MarkLost();
}

void TDatabase::Register(TTransaction* Transaction) {
  std::lock_guard L(FLock);
  FTransactions.push_back(Transaction);
}

void TDatabase::Unregister(TTransaction* Transaction) {
  std::lock_guard L(FLock);
  std::erase(FTransactions, Transaction);
}

void TDatabase::Register(TQuery* Query) {
  std::lock_guard L(FLock);
  FQueries.push_back(Query);
}

void TDatabase::Unregister(TQuery* Query) {
  std::lock_guard L(FLock);
  std::erase(FQueries, Query);
}

// ---------------------------------------------------------------------------------------------
// TTransaction

TTransaction::TTransaction(TDatabase& Database, TTransactionKind Kind)
    : FDatabase(&Database), FKind(Kind) {
  FDatabase->Register(this);
}

TTransaction::~TTransaction() {
  if (FDatabase) {
    std::vector<TQuery*> Queries;
    {
      std::lock_guard L(FDatabase->FLock);
      Queries = FDatabase->FQueries;
    }
    for (TQuery* Q : Queries)
      if (Q->FTransaction == this)
        Q->DetachTransaction();
    if (Active()) {
      try {
        Rollback();
      } catch (const EDatabaseError&) {
        // Nothing can be reported from a destructor; the server rolls back a transaction whose
        // connection ends.
      }
    }
    Forget();
    FDatabase->Unregister(this);
  }
}

std::vector<std::uint8_t> TTransaction::Params() const {
  if (FKind == TTransactionKind::tkRead)
    return {isc_tpb_version3, isc_tpb_read, isc_tpb_nowait, isc_tpb_rec_version,
            isc_tpb_read_committed};
  return {isc_tpb_version3, isc_tpb_write, isc_tpb_nowait, isc_tpb_read_committed,
          isc_tpb_rec_version};
}

bool TTransaction::Active() const {
  return FHandle && FDatabase && FDatabase->FAttachment && FGeneration == FDatabase->FGeneration;
}

void TTransaction::StartTransaction() {
  if (!FDatabase)
    throw EDatabaseError("Database not connected");
  if (Active())
    throw EDatabaseError("Transaction is already active");
  Forget();
  FDatabase->CheckConnected();
  std::vector<std::uint8_t> Tpb = Params();
  TStatus S(FDatabase->Master());
  ITransaction* T = FDatabase->FAttachment->startTransaction(
      S.W(), static_cast<unsigned>(Tpb.size()), Tpb.data());
  if (S.Failed()) {
    if (T)
      T->release();
    FDatabase->RaiseStatus(S.W());
  }
  FHandle = T;
  FGeneration = FDatabase->FGeneration;
}

void TTransaction::CloseCursors() {
  std::vector<TQuery*> Queries;
  {
    std::lock_guard L(FDatabase->FLock);
    Queries = FDatabase->FQueries;
  }
  for (TQuery* Q : Queries)
    if (Q->FTransaction == this)
      Q->CloseCursor(true);
}

void TTransaction::End(bool Commit) {
  if (!Active())
    throw EDatabaseError("Transaction is not active");
  TDatabase& D = *FDatabase;
  try {
    CloseCursors();
  } catch (const EDatabaseError&) {
    if (!Active())
      throw;  // the connection went away while closing
  }
  TStatus S(D.Master());
  if (Commit)
    FHandle->commit(S.W());
  else
    FHandle->rollback(S.W());
  if (!S.Failed()) {
    FHandle = nullptr;  // released by the successful call
    return;
  }
  EDatabaseError E = MakeError(S.W());
  if (Commit && !E.ConnectionLost()) {
    // A commit the server refused leaves nothing half done behind: roll the work back.
    TStatus R(D.Master());
    FHandle->rollback(R.W());
    if (!R.Failed())
      FHandle = nullptr;
  }
  Forget();
  if (E.ConnectionLost() && D.FAttachment)
    D.ConnectionLost(E);
  throw E;
}

void TTransaction::Commit() {
  End(true);
}
void TTransaction::Rollback() {
  End(false);
}

void TTransaction::Forget() {
  if (FHandle) {
    FHandle->release();
    FHandle = nullptr;
  }
}

void TTransaction::Detach() {
  Forget();
  FDatabase = nullptr;
}

// ---------------------------------------------------------------------------------------------
// TParam, TField

void TParam::SetValue(const TVariant& Value) {
  // Empty counts as NULL, as in the run-time library.
  FValue = Value.IsEmpty() ? TVariant::Null() : Value;
}

void TField::CheckNotNull() const {
  if (FValue.IsNull())
    throw EDatabaseError("Field \"" + FName + "\" is null");
}

std::int32_t TField::AsInteger() const {
  CheckNotNull();
  try {
    return FValue.AsInteger();
  } catch (const Exception& E) {
    throw EDatabaseError("Field \"" + FName + "\": " + E.Message());
  }
}

std::int64_t TField::AsInt64() const {
  CheckNotNull();
  try {
    return FValue.AsInt64();
  } catch (const Exception& E) {
    throw EDatabaseError("Field \"" + FName + "\": " + E.Message());
  }
}

double TField::AsDouble() const {
  CheckNotNull();
  try {
    return FValue.AsDouble();
  } catch (const Exception& E) {
    throw EDatabaseError("Field \"" + FName + "\": " + E.Message());
  }
}

bool TField::AsBoolean() const {
  CheckNotNull();
  try {
    return FValue.AsBoolean();
  } catch (const Exception& E) {
    throw EDatabaseError("Field \"" + FName + "\": " + E.Message());
  }
}

TDateTime TField::AsDateTime() const {
  return AsDouble();
}

std::string TField::AsString() const {
  CheckNotNull();
  try {
    return FValue.AsString();
  } catch (const Exception& E) {
    throw EDatabaseError("Field \"" + FName + "\": " + E.Message());
  }
}

std::string TField::AsBlob() const {
  if (FValue.IsNull())
    return {};
  return AsString();
}

// ---------------------------------------------------------------------------------------------
// TQuery

namespace {

// The input message of one execution.
struct TInputMessage {
  TRef<IMessageMetadata> Meta;
  std::vector<std::uint8_t> Buffer;
};

void ReadBlob(TDatabase& D, ITransaction* Tra, ISC_QUAD Id, std::string& Bytes) {
  TStatus S(D.Master());
  TRef<IBlob> Blob(D.Attachment()->openBlob(S.W(), Tra, &Id, 0, nullptr));
  if (S.Failed())
    D.RaiseStatus(S.W());
  char Chunk[32768];
  for (;;) {
    unsigned Got = 0;
    int R = Blob->getSegment(S.W(), sizeof Chunk, Chunk, &Got);
    if (S.Failed())
      D.RaiseStatus(S.W());
    if (R == IStatus::RESULT_NO_DATA)
      break;
    Bytes.append(Chunk, Got);
  }
  Blob->close(S.W());
  if (S.Failed())
    D.RaiseStatus(S.W());
  Blob.Release();  // released by the successful close
}

ISC_QUAD WriteBlob(TDatabase& D, ITransaction* Tra, const std::string& Bytes) {
  TStatus S(D.Master());
  ISC_QUAD Id{};
  TRef<IBlob> Blob(D.Attachment()->createBlob(S.W(), Tra, &Id, 0, nullptr));
  if (S.Failed())
    D.RaiseStatus(S.W());
  for (std::size_t Done = 0; Done < Bytes.size();) {
    unsigned Part = static_cast<unsigned>(std::min<std::size_t>(Bytes.size() - Done, 32768));
    Blob->putSegment(S.W(), Part, Bytes.data() + Done);
    if (S.Failed())
      D.RaiseStatus(S.W());
    Done += Part;
  }
  Blob->close(S.W());
  if (S.Failed())
    D.RaiseStatus(S.W());
  Blob.Release();
  return Id;
}

}  // namespace

TQuery::TQuery(TTransaction* Transaction) {
  SetTransaction(Transaction);
}

TQuery::~TQuery() {
  try {
    FreeHandle();
  } catch (const EDatabaseError&) {
    Forget();
  }
  if (FRegisteredWith)
    FRegisteredWith->Unregister(this);
  FRegisteredWith = nullptr;
  FTransaction = nullptr;
  FOwnedTransaction.reset();
}

TDatabase& TQuery::RequireDatabase() const {
  TDatabase* D = Database();
  if (!D)
    throw EDatabaseError("The query has no transaction");
  return *D;
}

void TQuery::SetTransaction(TTransaction* Value) {
  if (Value == FTransaction)
    return;
  CloseCursor(true);
  TDatabase* NewDatabase = Value ? Value->Database() : nullptr;
  if (NewDatabase != FRegisteredWith) {
    FreeHandle();
    if (FRegisteredWith)
      FRegisteredWith->Unregister(this);
    FRegisteredWith = NewDatabase;
    if (FRegisteredWith)
      FRegisteredWith->Register(this);
  }
  FTransaction = Value;
  if (FOwnedTransaction && FOwnedTransaction.get() != Value)
    FOwnedTransaction.reset();
}

void TQuery::AdoptTransaction(std::unique_ptr<TTransaction> Value) {
  TTransaction* Raw = Value.get();
  SetTransaction(Raw);
  FOwnedTransaction = std::move(Value);
}

void TQuery::DetachTransaction() {
  try {
    CloseCursor(true);
  } catch (const EDatabaseError&) {
    Forget();
  }
  FTransaction = nullptr;
  if (FOwnedTransaction)
    (void)FOwnedTransaction.release();  // being destroyed by its owner right now
}

void TQuery::DetachDatabase() {
  Forget();
  FRegisteredWith = nullptr;
}

void TQuery::SetSQL(const std::string& Value) {
  FreeHandle();
  FSQL = Value;
  std::vector<std::string> Names;
  FServerSQL = TranslateNamedParams(Value, Names);
  FParams.clear();
  FPositions.clear();
  FFields.clear();
  for (const std::string& Name : Names) {
    TParam* P = Name.empty() ? nullptr : FindParam(Name);
    if (!P) {
      FParams.push_back(std::make_unique<TParam>(Name));
      P = FParams.back().get();
    }
    FPositions.push_back(P);
  }
}

TParam& TQuery::Params(int Index) {
  if (Index < 0 || Index >= ParamCount())
    throw EDatabaseError(Format("Parameter index %d out of range", Index));
  return *FParams[static_cast<std::size_t>(Index)];
}

TParam* TQuery::FindParam(const std::string& Name) {
  std::string Upper = UpperAscii(Name);
  for (auto& P : FParams)
    if (!P->Name().empty() && UpperAscii(P->Name()) == Upper)
      return P.get();
  return nullptr;
}

TParam& TQuery::ParamByName(const std::string& Name) {
  if (TParam* P = FindParam(Name))
    return *P;
  throw EDatabaseError("Parameter \"" + Name + "\" not found");
}

TField& TQuery::Fields(int Index) {
  if (Index < 0 || Index >= FieldCount())
    throw EDatabaseError(Format("Field index %d out of range", Index));
  return *FFields[static_cast<std::size_t>(Index)];
}

TField* TQuery::FindField(const std::string& Name) {
  std::string Upper = UpperAscii(Name);
  for (auto& F : FFields)
    if (UpperAscii(F->Name()) == Upper)
      return F.get();
  return nullptr;
}

TField& TQuery::FieldByName(const std::string& Name) {
  if (TField* F = FindField(Name))
    return *F;
  throw EDatabaseError("Field \"" + Name + "\" not found");
}

bool TQuery::Prepared() const {
  return FStatement && FRegisteredWith && FRegisteredWith->Connected() &&
         FGeneration == FRegisteredWith->Generation();
}

bool TQuery::Open() const {
  return FCursor != nullptr && Prepared();
}

void TQuery::CheckFresh() {
  // Handles made under an earlier connection are dead: drop them without asking the server.
  if (FStatement && !Prepared())
    Forget();
}

void TQuery::Forget() {
  if (FCursor) {
    FCursor->release();
    FCursor = nullptr;
  }
  if (FOutMeta) {
    FOutMeta->release();
    FOutMeta = nullptr;
  }
  if (FStatement) {
    FStatement->release();
    FStatement = nullptr;
  }
  FEof = true;
  FExecuted = false;
}

void TQuery::CloseCursor(bool Graceful) {
  if (!FCursor)
    return;
  if (!Graceful || !Open()) {
    FCursor->release();
    FCursor = nullptr;
    return;
  }
  TDatabase& D = *FRegisteredWith;
  TStatus S(D.Master());
  FCursor->close(S.W());
  if (S.Failed()) {
    FCursor->release();
    FCursor = nullptr;
    D.RaiseStatus(S.W());
  }
  FCursor = nullptr;  // released by the successful close
}

void TQuery::FreeHandle() {
  CheckFresh();
  CloseCursor(true);
  if (FOutMeta) {
    FOutMeta->release();
    FOutMeta = nullptr;
  }
  if (FStatement) {
    TDatabase& D = *FRegisteredWith;
    TStatus S(D.Master());
    FStatement->free(S.W());
    if (S.Failed()) {
      FStatement->release();
      FStatement = nullptr;
      D.RaiseStatus(S.W());
    }
    FStatement = nullptr;  // released by the successful free
  }
  FEof = true;
  FExecuted = false;
}

void TQuery::BuildFields() {
  FFields.clear();
  TDatabase& D = *FRegisteredWith;
  TStatus S(D.Master());
  unsigned Count = FOutMeta->getCount(S.W());
  for (unsigned I = 0; I < Count && !S.Failed(); ++I) {
    const char* Alias = FOutMeta->getAlias(S.W(), I);
    const char* Field = FOutMeta->getField(S.W(), I);
    std::string Name = Alias && *Alias ? Alias : (Field ? Field : "");
    FFields.push_back(std::make_unique<TField>(Name, FOutMeta->getType(S.W(), I) & ~1u));
  }
  FOutBuffer.assign(FOutMeta->getMessageLength(S.W()), 0);
  if (S.Failed())
    D.RaiseStatus(S.W());
}

void TQuery::Prepare() {
  TDatabase& D = RequireDatabase();
  CheckFresh();
  if (Prepared())
    return;
  D.CheckConnected();
  if (FServerSQL.empty())
    throw EDatabaseError("Empty SQL statement");
  if (!FTransaction->Active())
    FTransaction->StartTransaction();
  TStatus S(D.Master());
  IStatement* Statement = D.Attachment()->prepare(
      S.W(), FTransaction->Handle(), static_cast<unsigned>(FServerSQL.size()), FServerSQL.c_str(),
      static_cast<unsigned>(D.SQLDialect()), IStatement::PREPARE_PREFETCH_METADATA);
  if (S.Failed()) {
    if (Statement)
      Statement->release();
    D.RaiseStatus(S.W());
  }
  FStatement = Statement;
  FGeneration = D.Generation();
  D.CountPrepare();
  try {
    FStatementType = FStatement->getType(S.W());
    FOutMeta = FStatement->getOutputMetadata(S.W());
    if (S.Failed())
      D.RaiseStatus(S.W());
    TRef<IMessageMetadata> In(FStatement->getInputMetadata(S.W()));
    unsigned InCount = S.Failed() ? 0 : In->getCount(S.W());
    if (S.Failed())
      D.RaiseStatus(S.W());
    if (InCount != FPositions.size())
      throw EDatabaseError(Format("The statement has %u parameters, the text names %u", InCount,
                                  static_cast<unsigned>(FPositions.size())));
    BuildFields();
  } catch (...) {
    Forget();
    throw;
  }
}

void TQuery::ExecQuery() {
  TDatabase& D = RequireDatabase();
  D.CheckConnected();
  CheckFresh();
  CloseCursor(true);
  // A statement that is not retained serves one execution only.
  if (!FRetainPrepared && FExecuted)
    FreeHandle();
  FRecordCount = 0;
  FEof = true;
  if (!Prepared())
    Prepare();
  if (!FTransaction->Active())
    FTransaction->StartTransaction();
  ITransaction* Tra = FTransaction->Handle();

  TStatus S(D.Master());
  TInputMessage In;
  In.Meta.Reset(FStatement->getInputMetadata(S.W()));
  if (S.Failed())
    D.RaiseStatus(S.W());
  const unsigned Count = static_cast<unsigned>(FPositions.size());

  // Text values for parameters of another type go to the server as text, which converts them
  // with its own rules and errors.
  std::vector<std::string> Texts(Count);
  bool Override = false;
  for (unsigned I = 0; I < Count; ++I) {
    unsigned Type = In.Meta->getType(S.W(), I) & ~1u;
    const TVariant& V = FPositions[I] ? FPositions[I]->Value() : TVariant::Null();
    if (!V.IsNull() && IsTextValue(V) && !IsTextType(Type) && Type != SQL_BLOB) {
      Override = true;
      Texts[I] = V.AsString();
    }
  }
  if (S.Failed())
    D.RaiseStatus(S.W());
  if (Override) {
    TRef<IMetadataBuilder> Builder(In.Meta->getBuilder(S.W()));
    for (unsigned I = 0; I < Count && !S.Failed(); ++I) {
      const TVariant& V = FPositions[I] ? FPositions[I]->Value() : TVariant::Null();
      if (V.IsNull() || !IsTextValue(V))
        continue;
      unsigned Type = In.Meta->getType(S.W(), I) & ~1u;
      if (IsTextType(Type) || Type == SQL_BLOB)
        continue;
      Builder->setType(S.W(), I, SQL_VARYING | 1);
      Builder->setSubType(S.W(), I, 0);
      Builder->setScale(S.W(), I, 0);
      Builder->setLength(S.W(), I,
                         static_cast<unsigned>(std::max<std::size_t>(Texts[I].size(), 1)));
      Builder->setCharSet(S.W(), I, CharSetUtf8);
    }
    if (S.Failed())
      D.RaiseStatus(S.W());
    In.Meta.Reset(Builder->getMetadata(S.W()));
    if (S.Failed())
      D.RaiseStatus(S.W());
  }

  In.Buffer.assign(In.Meta->getMessageLength(S.W()), 0);
  std::uint8_t* Buf = In.Buffer.data();
  for (unsigned I = 0; I < Count; ++I) {
    const TParam* P = FPositions[I];
    const std::string Label = ParamLabel(P, I);
    const TVariant& V = P ? P->Value() : TVariant::Null();
    const unsigned Type = In.Meta->getType(S.W(), I) & ~1u;
    const unsigned Length = In.Meta->getLength(S.W(), I);
    const int Scale = In.Meta->getScale(S.W(), I);
    const unsigned CharSet = In.Meta->getCharSet(S.W(), I);
    const unsigned Offset = In.Meta->getOffset(S.W(), I);
    const unsigned NullOffset = In.Meta->getNullOffset(S.W(), I);
    if (S.Failed())
      D.RaiseStatus(S.W());
    Store<std::int16_t>(Buf, NullOffset, V.IsNull() ? -1 : 0);
    if (V.IsNull())
      continue;
    switch (Type) {
      case SQL_TEXT:
      case SQL_VARYING: {
        std::string Text = V.AsString();
        if (Text.size() > Length)
          throw EDatabaseError(
              Format("%s: a text of %u bytes does not fit the parameter's %u bytes", Label,
                     static_cast<unsigned>(Text.size()), Length));
        (void)CharSet;  // text travels as the connection's UTF-8 bytes
        if (Type == SQL_TEXT) {
          std::memset(Buf + Offset, ' ', Length);
          std::memcpy(Buf + Offset, Text.data(), Text.size());
        } else {
          Store<std::uint16_t>(Buf, Offset, static_cast<std::uint16_t>(Text.size()));
          std::memcpy(Buf + Offset + 2, Text.data(), Text.size());
        }
        break;
      }
      case SQL_SHORT:
        Store<std::int16_t>(
            Buf, Offset,
            static_cast<std::int16_t>(ScaledInteger(V, Scale, INT16_MIN, INT16_MAX, Label, Type)));
        break;
      case SQL_LONG:
        Store<std::int32_t>(
            Buf, Offset,
            static_cast<std::int32_t>(ScaledInteger(V, Scale, INT32_MIN, INT32_MAX, Label, Type)));
        break;
      case SQL_INT64:
        Store<std::int64_t>(Buf, Offset,
                            ScaledInteger(V, Scale, INT64_MIN, INT64_MAX, Label, Type));
        break;
      case SQL_FLOAT:
        Store<float>(Buf, Offset, static_cast<float>(V.AsDouble()));
        break;
      case SQL_DOUBLE:
      case SQL_D_FLOAT:
        Store<double>(Buf, Offset, V.AsDouble());
        break;
      case SQL_BOOLEAN:
        Store<std::uint8_t>(Buf, Offset, V.AsBoolean() ? 1 : 0);
        break;
      case SQL_TIMESTAMP:
      case SQL_TYPE_DATE:
      case SQL_TYPE_TIME: {
        double Value;
        try {
          Value = V.AsDouble();
        } catch (const Exception& E) {
          throw EDatabaseError(Label + ": " + E.Message());
        }
        std::int32_t Date;
        std::uint32_t Time;
        DateTimeToFb(Value, Date, Time);
        if (Type == SQL_TIMESTAMP) {
          Store<std::int32_t>(Buf, Offset, Date);
          Store<std::uint32_t>(Buf, Offset + 4, Time);
        } else if (Type == SQL_TYPE_DATE) {
          Store<std::int32_t>(Buf, Offset, Date);
        } else {
          Store<std::uint32_t>(Buf, Offset, Time);
        }
        break;
      }
      case SQL_BLOB: {
        ISC_QUAD Id = WriteBlob(D, Tra, V.AsString());
        Store<ISC_QUAD>(Buf, Offset, Id);
        break;
      }
      case SQL_NULL:
        break;
      default:
        throw EDatabaseError(Format("%s: type %u is not supported", Label, Type));
    }
  }
  if (S.Failed())
    D.RaiseStatus(S.W());

  const bool IsSelect = FStatementType == isc_info_sql_stmt_select ||
                        FStatementType == isc_info_sql_stmt_select_for_upd;
  if (IsSelect) {
    IResultSet* Cursor = FStatement->openCursor(S.W(), Tra, In.Meta.Get(), Buf, FOutMeta, 0);
    if (S.Failed()) {
      if (Cursor)
        Cursor->release();
      D.RaiseStatus(S.W());
    }
    FCursor = Cursor;
    FExecuted = true;
    FEof = false;
    FetchRow();
  } else {
    const bool HasOutput = !FFields.empty();
    FStatement->execute(S.W(), Tra, In.Meta.Get(), Buf, HasOutput ? FOutMeta : nullptr,
                        HasOutput ? FOutBuffer.data() : nullptr);
    if (S.Failed())
      D.RaiseStatus(S.W());
    FExecuted = true;
    if (HasOutput) {
      // EXECUTE PROCEDURE answers one row.
      FEof = false;
      FRecordCount = 1;
      FetchRow();
    }
  }
}

std::int64_t TQuery::RowsAffected() {
  if (!FExecuted || !Prepared())
    return 0;
  TDatabase& D = *FRegisteredWith;
  TStatus S(D.Master());
  ISC_UINT64 Count = FStatement->getAffectedRecords(S.W());
  if (S.Failed())
    D.RaiseStatus(S.W());
  return static_cast<std::int64_t>(Count);
}

void TQuery::FetchRow() {
  TDatabase& D = *FRegisteredWith;
  TStatus S(D.Master());
  if (FCursor) {
    int R = FCursor->fetchNext(S.W(), FOutBuffer.data());
    if (S.Failed())
      D.RaiseStatus(S.W());
    if (R == IStatus::RESULT_NO_DATA) {
      FEof = true;
      CloseCursor(true);
      return;
    }
    ++FRecordCount;
  }
  const std::uint8_t* Buf = FOutBuffer.data();
  for (std::size_t I = 0; I < FFields.size(); ++I) {
    const unsigned Index = static_cast<unsigned>(I);
    const unsigned Type = FOutMeta->getType(S.W(), Index) & ~1u;
    const int Scale = FOutMeta->getScale(S.W(), Index);
    const unsigned CharSet = FOutMeta->getCharSet(S.W(), Index);
    const unsigned Offset = FOutMeta->getOffset(S.W(), Index);
    const unsigned Length = FOutMeta->getLength(S.W(), Index);
    const unsigned NullOffset = FOutMeta->getNullOffset(S.W(), Index);
    if (S.Failed())
      D.RaiseStatus(S.W());
    TField& F = *FFields[I];
    if (Load<std::int16_t>(Buf, NullOffset) != 0) {
      F.SetValue(TVariant::Null());
      continue;
    }
    const double Divisor = static_cast<double>(Pow10(Scale < 0 ? -Scale : 0));
    switch (Type) {
      case SQL_TEXT: {
        std::string Text(reinterpret_cast<const char*>(Buf + Offset), Length);
        // CHAR columns arrive padded with blanks (to 4 bytes a character in UTF-8).
        if (CharSet != CharSetOctets) {
          std::size_t End = Text.find_last_not_of(' ');
          Text.resize(End == std::string::npos ? 0 : End + 1);
        }
        F.SetValue(TVariant(std::move(Text)));
        break;
      }
      case SQL_VARYING: {
        std::uint16_t Size = Load<std::uint16_t>(Buf, Offset);
        F.SetValue(TVariant(std::string(reinterpret_cast<const char*>(Buf + Offset + 2),
                                        std::min<unsigned>(Size, Length))));
        break;
      }
      case SQL_SHORT:
        if (Scale < 0)
          F.SetValue(TVariant(Load<std::int16_t>(Buf, Offset) / Divisor));
        else
          F.SetValue(TVariant(std::int32_t{Load<std::int16_t>(Buf, Offset)}));
        break;
      case SQL_LONG:
        if (Scale < 0)
          F.SetValue(TVariant(Load<std::int32_t>(Buf, Offset) / Divisor));
        else
          F.SetValue(TVariant(Load<std::int32_t>(Buf, Offset)));
        break;
      case SQL_INT64:
        if (Scale < 0)
          F.SetValue(TVariant(static_cast<double>(Load<std::int64_t>(Buf, Offset)) / Divisor));
        else
          F.SetValue(TVariant(Load<std::int64_t>(Buf, Offset)));
        break;
      case SQL_FLOAT:
        F.SetValue(TVariant(static_cast<double>(Load<float>(Buf, Offset))));
        break;
      case SQL_DOUBLE:
      case SQL_D_FLOAT:
        F.SetValue(TVariant(Load<double>(Buf, Offset)));
        break;
      case SQL_BOOLEAN:
        F.SetValue(TVariant(Load<std::uint8_t>(Buf, Offset) != 0));
        break;
      case SQL_TIMESTAMP:
        F.SetValue(TVariant::DateTime(
            FbToDateTime(Load<std::int32_t>(Buf, Offset), Load<std::uint32_t>(Buf, Offset + 4))));
        break;
      case SQL_TYPE_DATE:
        F.SetValue(TVariant::DateTime(FbToDateTime(Load<std::int32_t>(Buf, Offset), 0)));
        break;
      case SQL_TYPE_TIME:
        F.SetValue(TVariant::DateTime(FbToDateTime(FbDateDelta, Load<std::uint32_t>(Buf, Offset))));
        break;
      case SQL_BLOB: {
        std::string Bytes;
        ReadBlob(D, FTransaction->Handle(), Load<ISC_QUAD>(Buf, Offset), Bytes);
        F.SetValue(TVariant(std::move(Bytes)));
        break;
      }
      case SQL_NULL:
        F.SetValue(TVariant::Null());
        break;
      default:
        throw EDatabaseError(Format("Field \"%s\": type %u is not supported", F.Name(), Type));
    }
  }
}

void TQuery::Next() {
  if (!Open()) {
    FEof = true;
    return;
  }
  FetchRow();
}

void TQuery::Close() {
  CloseCursor(true);
  FEof = true;
  if (!FRetainPrepared)
    FreeHandle();
}

}  // namespace pelmar
