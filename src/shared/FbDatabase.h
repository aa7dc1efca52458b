// A thin layer over the Firebird client library (OO API): a connection, transactions and prepared
// queries with named parameters. Every object frees its client handles in its destructor.
//
// Failures raise EDatabaseError with the server's message. When the server or the network drops
// the connection, the connection reports it once through OnLostConnect; by default it then
// counts as closed: its transactions are no longer active, its queries must be prepared again,
// and the C++ objects stay valid, so a caller that still holds a query can finish its cleanup.
// The objects of one connection are used by one thread at a time (the callers hold
// DatabaseLock, DBUtils.h).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DateTime.h"
#include "Exception.h"
#include "Variant.h"

namespace Firebird {
class IAttachment;
class IMaster;
class IMessageMetadata;
class IResultSet;
class IStatement;
class IStatus;
class ITransaction;
}  // namespace Firebird

namespace pelmar {

// The data-access layer's database error: what the Firebird client or server reported, or a
// misuse this layer detected (a missing parameter, a value that does not fit). Message is the
// server's text, its lines joined by "\n".
class EDatabaseError : public Exception {
 public:
  explicit EDatabaseError(std::string Message, std::int32_t SQLCode = 0,
                          std::int64_t IBErrorCode = 0, bool ConnectionLost = false)
      : Exception(std::move(Message)),
        FSQLCode(SQLCode),
        FIBErrorCode(IBErrorCode),
        FConnectionLost(ConnectionLost) {}
  const char* ClassName() const override { return "EDatabaseError"; }
  // The SQL code (-204 for an unknown table); 0 for errors of this layer.
  std::int32_t SQLCode() const { return FSQLCode; }
  // The first Firebird error code of the status vector (335544580 ...); 0 for this layer's.
  std::int64_t IBErrorCode() const { return FIBErrorCode; }
  // The connection to the server is gone (network error, server stopped, connection killed).
  bool ConnectionLost() const { return FConnectionLost; }

 private:
  std::int32_t FSQLCode;
  std::int64_t FIBErrorCode;
  bool FConnectionLost;
};

class TDatabase;
class TTransaction;
class TQuery;

// What the connection does after it reported a lost connection.
enum class TLostConnectAction { lcaIgnore, lcaCloseConnect };

// One connection to a database. DatabaseName is "host/port:path", "host:path" or an alias on a
// server, or a plain file path for the embedded engine. The connection uses SQL dialect 3 and
// the character set UTF8 unless told otherwise.
class TDatabase {
 public:
  using TBeforeDisconnectEvent = std::function<void(TDatabase& Sender)>;
  // Runs on the thread whose call met the loss, before that call raises E.
  using TLostConnectEvent =
      std::function<void(TDatabase& Sender, const EDatabaseError& E, TLostConnectAction& Action)>;

  TDatabase();
  // Closes the connection (errors are ignored; the before-disconnect handlers run even when it
  // is not open) and detaches the transactions and queries still made on it, which are no
  // longer usable.
  ~TDatabase();
  TDatabase(const TDatabase&) = delete;
  TDatabase& operator=(const TDatabase&) = delete;

  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& Value) { FDatabaseName = Value; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& Value) { FUserName = Value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }
  int SQLDialect() const { return FSQLDialect; }
  void SetSQLDialect(int Value) { FSQLDialect = Value; }
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& Value) { FCharSet = Value; }
  // The client library to load (GetFbClientLibrary); empty means the one linked in.
  const std::string& LibraryName() const { return FLibraryName; }
  void SetLibraryName(const std::string& Value) { FLibraryName = Value; }

  // Connects. After a lost connection, first finishes the close that the loss began (the
  // before-disconnect handlers run). Raises EDatabaseError.
  void Open();
  // Runs the before-disconnect handlers, rolls back the active transactions, frees the
  // statements and detaches. The connection counts as closed afterwards even when the server
  // reported an error, which is then raised. Nothing happens when it is closed already.
  void Close();
  bool Connected() const;

  // Closes the open cursor of every query on this connection (their statements stay prepared).
  // All are closed; the first failure is raised afterwards.
  void CloseDataSets();

  // Creates the database file DatabaseName (default character set UTF8, dialect 3) and stays
  // connected to it. Without ForcedWrites the server writes asynchronously (throw-away test
  // databases). Raises EDatabaseError.
  void CreateDatabase(bool ForcedWrites = true);
  // Drops the connected database; the connection is closed afterwards.
  void DropDatabase();

  // Handlers run by Close before anything is released; an exception from one propagates.
  int AddBeforeDisconnect(TBeforeDisconnectEvent Handler);
  void RemoveBeforeDisconnect(int Id);
  TLostConnectEvent OnLostConnect;

  // Statements prepared on this object since it was made (all connections), for diagnostics.
  std::uint64_t PrepareCount() const { return FPrepareCount; }
  // Counts connections: a query or transaction made under an older one prepares or starts anew.
  std::uint64_t Generation() const { return FGeneration; }

  // Internal to this layer.
  Firebird::IAttachment* Attachment() const { return FAttachment; }
  Firebird::IMaster* Master();
  // Raises the error in Status; reports a lost connection first when Reportable.
  [[noreturn]] void RaiseStatus(Firebird::IStatus* Status, bool Reportable = true);
  // Raises EDatabaseError "Database not connected" when there is no connection.
  void CheckConnected() const;
  void CountPrepare() { ++FPrepareCount; }

 private:
  friend class TTransaction;
  friend class TQuery;
  void Attach(bool Create, bool ForcedWrites);
  void Register(TTransaction* Transaction);
  void Unregister(TTransaction* Transaction);
  void Register(TQuery* Query);
  void Unregister(TQuery* Query);
  void ConnectionLost(const EDatabaseError& E);
  void RunBeforeDisconnect();
  void ReleaseAll(bool Graceful, std::string& FirstError);

  std::string FDatabaseName;
  std::string FUserName;
  std::string FPassword;
  int FSQLDialect = 3;
  std::string FCharSet = "UTF8";
  std::string FLibraryName;

  Firebird::IMaster* FMaster = nullptr;
  Firebird::IAttachment* FAttachment = nullptr;
  bool FLostPending = false;  // the connection was lost; Close has not run since
  std::uint64_t FGeneration = 0;
  std::uint64_t FPrepareCount = 0;

  mutable std::recursive_mutex FLock;  // guards the lists below
  std::vector<TTransaction*> FTransactions;
  std::vector<TQuery*> FQueries;
  std::map<int, TBeforeDisconnectEvent> FBeforeDisconnect;
  int FNextHandlerId = 1;
};

enum class TTransactionKind { tkRead, tkWrite };

// A transaction of one kind on one connection, with fixed parameters: read is "read, nowait,
// rec_version, read_committed", write is "write, nowait, read_committed, rec_version". Rolled
// back when destroyed while active.
class TTransaction {
 public:
  explicit TTransaction(TDatabase& Database, TTransactionKind Kind = TTransactionKind::tkRead);
  ~TTransaction();
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;

  TDatabase* Database() const { return FDatabase; }
  TTransactionKind Kind() const { return FKind; }
  // The transaction parameter block sent to the server.
  std::vector<std::uint8_t> Params() const;

  // Started and still usable: not committed, not rolled back, connection not lost since.
  bool Active() const;
  void StartTransaction();
  // Close the cursors of the queries on this transaction, then end it. After a failure the
  // transaction is no longer active.
  void Commit();
  void Rollback();

  Firebird::ITransaction* Handle() const { return FHandle; }

 private:
  friend class TDatabase;
  void End(bool Commit);
  void CloseCursors();
  void Forget();  // releases the client handle without asking the server
  void Detach();  // the database goes away

  TDatabase* FDatabase;
  TTransactionKind FKind;
  Firebird::ITransaction* FHandle = nullptr;
  std::uint64_t FGeneration = 0;
};

// A parameter of a query, addressed by the name it has in the SQL text (":ID").
class TParam {
 public:
  explicit TParam(std::string Name) : FName(std::move(Name)) {}
  const std::string& Name() const { return FName; }

  // The value sent at the next execution; it is converted to the type the server describes
  // (a text value goes to the server as text and is converted there). Null sends NULL.
  void SetValue(const TVariant& Value);
  const TVariant& Value() const { return FValue; }
  void SetNull() { SetValue(TVariant::Null()); }
  bool IsNull() const { return FValue.IsNull(); }
  void SetAsInteger(std::int32_t Value) { SetValue(TVariant(Value)); }
  void SetAsInt64(std::int64_t Value) { SetValue(TVariant(Value)); }
  void SetAsString(const std::string& Value) { SetValue(TVariant(Value)); }
  void SetAsBoolean(bool Value) { SetValue(TVariant(Value)); }
  void SetAsDateTime(TDateTime Value) { SetValue(TVariant::DateTime(Value)); }
  // The bytes for a blob parameter.
  void SetAsBlob(std::string Bytes) { SetValue(TVariant(std::move(Bytes))); }

 private:
  std::string FName;
  TVariant FValue = TVariant::Null();
};

// A column of the current row.
class TField {
 public:
  TField(std::string Name, unsigned SQLType) : FName(std::move(Name)), FSQLType(SQLType) {}
  const std::string& Name() const { return FName; }
  // The Firebird type code (SQL_LONG, SQL_VARYING, ...), without the null flag.
  unsigned SQLType() const { return FSQLType; }

  // Null, Integer (SMALLINT, INTEGER), Int64 (BIGINT), Double (floats and scaled numbers),
  // Date (TIMESTAMP, DATE, TIME), Boolean, or String (text, and the bytes of a blob).
  const TVariant& Value() const { return FValue; }
  bool IsNull() const { return FValue.IsNull(); }
  // Typed reads raise EDatabaseError "Field \"NAME\" is null" for NULL, and EDatabaseError when
  // the value does not convert.
  std::int32_t AsInteger() const;
  std::int64_t AsInt64() const;
  double AsDouble() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;
  std::string AsString() const;
  // The blob's bytes (empty for NULL).
  std::string AsBlob() const;

  void SetValue(TVariant Value) { FValue = std::move(Value); }

 private:
  void CheckNotNull() const;
  std::string FName;
  unsigned FSQLType;
  TVariant FValue = TVariant::Null();
};

// A SQL statement with named parameters (":NAME", translated to positional markers before the
// server sees the text; the same name may appear more than once). Execution starts the
// transaction when it is not active. A query that does not retain its statement uses it for one
// execution: it is freed at Close, or before the next execution prepares the text anew.
class TQuery {
 public:
  // Transaction: not owned; may be null and set later.
  explicit TQuery(TTransaction* Transaction = nullptr);
  ~TQuery();
  TQuery(const TQuery&) = delete;
  TQuery& operator=(const TQuery&) = delete;

  TTransaction* Transaction() const { return FTransaction; }
  TDatabase* Database() const { return FTransaction ? FTransaction->Database() : nullptr; }
  // Uses Value, not owned (a transaction the query owned is freed).
  void SetTransaction(TTransaction* Value);
  // Uses Value and owns it.
  void AdoptTransaction(std::unique_ptr<TTransaction> Value);
  bool OwnsTransaction() const { return FOwnedTransaction != nullptr; }

  const std::string& SQL() const { return FSQL; }
  // Sets the text and rebuilds the parameter list; a prepared statement is freed.
  void SetSQL(const std::string& Value);
  // The text sent to the server (named parameters replaced by "?").
  const std::string& ServerSQL() const { return FServerSQL; }

  bool RetainPrepared() const { return FRetainPrepared; }
  void SetRetainPrepared(bool Value) { FRetainPrepared = Value; }

  // Prepares the text on the transaction's connection (starting the transaction when needed).
  // Raises EDatabaseError; the query is then not prepared.
  void Prepare();
  bool Prepared() const;
  // Closes the cursor and frees the statement.
  void FreeHandle();

  int ParamCount() const { return static_cast<int>(FParams.size()); }
  TParam& Params(int Index);
  // Case-insensitive; raises EDatabaseError "Parameter \"NAME\" not found".
  TParam& ParamByName(const std::string& Name);
  TParam* FindParam(const std::string& Name);

  // Executes with the current parameter values. A SELECT opens a cursor positioned on its first
  // row (Eof when there is none); an EXECUTE PROCEDURE with output gives one row.
  void ExecQuery();
  // Fetches the next row; Eof becomes true after the last.
  void Next();
  bool Eof() const { return FEof; }
  // A cursor is open.
  bool Open() const;
  // Rows fetched since the execution.
  int RecordCount() const { return FRecordCount; }
  // Rows inserted, updated or deleted by the last execution (asks the server; 0 once the
  // statement is freed).
  std::int64_t RowsAffected();
  // Closes the cursor; frees the statement unless it is retained.
  void Close();

  int FieldCount() const { return static_cast<int>(FFields.size()); }
  TField& Fields(int Index);
  // Case-insensitive; raises EDatabaseError "Field \"NAME\" not found".
  TField& FieldByName(const std::string& Name);
  TField* FindField(const std::string& Name);

 private:
  friend class TDatabase;
  friend class TTransaction;
  TDatabase& RequireDatabase() const;
  void CheckFresh();
  void FetchRow();
  void CloseCursor(bool Graceful);
  void Forget();  // releases the client handles without asking the server
  void DetachTransaction();
  void DetachDatabase();
  void BuildFields();

  TTransaction* FTransaction = nullptr;
  std::unique_ptr<TTransaction> FOwnedTransaction;
  TDatabase* FRegisteredWith = nullptr;  // the connection whose list holds this query
  std::string FSQL;
  std::string FServerSQL;
  std::vector<std::unique_ptr<TParam>> FParams;  // one per distinct name
  std::vector<TParam*> FPositions;               // the parameter of each "?" in order
  std::vector<std::unique_ptr<TField>> FFields;
  bool FRetainPrepared = false;

  Firebird::IStatement* FStatement = nullptr;
  Firebird::IMessageMetadata* FOutMeta = nullptr;
  Firebird::IResultSet* FCursor = nullptr;
  std::vector<std::uint8_t> FOutBuffer;
  std::uint64_t FGeneration = 0;
  unsigned FStatementType = 0;
  bool FEof = true;
  int FRecordCount = 0;
  bool FExecuted = false;  // the statement has run since it was prepared
};

// The server's form of SQL: every ":NAME" outside quotes and comments becomes "?" and NAME is
// appended to Names (upper-cased unless the name is quoted, ":\"Name\""). A bare "?" adds an
// empty name.
std::string TranslateNamedParams(const std::string& SQL, std::vector<std::string>& Names);

// Ends the client library's work in this process: every connection still open is closed and the
// embedded engine's threads finish. Called once at process end; no database work may follow.
void ShutdownDatabaseClient();

// Date-time values of the client library: days since 17 November 1858 and 1/10000 s of the day.
void DateTimeToFb(TDateTime Value, std::int32_t& Date, std::uint32_t& Time);
TDateTime FbToDateTime(std::int32_t Date, std::uint32_t Time);

}  // namespace pelmar
