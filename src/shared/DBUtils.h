// The helpers through which the service reaches its database: the default connection, read and
// write transactions, prepared queries, the process-wide cache of prepared queries addressed by
// integer handles and grouped by name, settings from SYS_PROPERTIES, blob copies of buffers, the
// location of the client library, and the database lock.
//
// Nothing here locks by itself except FreeQueries: callers hold DatabaseLock() around every use
// of the cache, the cached queries and the settings. Database failures raise EDatabaseError
// (FbDatabase.h) and pass through unchanged; a helper frees only what it made itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DateTime.h"
#include "FbDatabase.h"
#include "Utilities.h"

namespace pelmar {

class TBufferProtocol;

// The process-wide database lock (re-entrant). Order where locks nest: the object-list lock,
// then this lock, then the log buffer's list lock.
TDebugCriticalSection& DatabaseLock();

// The connection used when a caller passes none; null until set. Not owned.
TDatabase* DefaultDatabase();
// Makes Database the default; when it changes, the settings reader is made anew for it (none
// for null).
void SetDefaultDatabase(TDatabase* Database);

// A new read transaction ("read, nowait, rec_version, read_committed") on Database or, when
// null, on the default database. Raises EBugCheckError "NewTransaction: DefaultDatabase not
// assigned!" when both are null.
std::unique_ptr<TTransaction> NewTransaction(TDatabase* Database = nullptr);
// As NewTransaction, with "write, nowait, read_committed, rec_version".
std::unique_ptr<TTransaction> NewWriteTransaction(TDatabase* Database = nullptr);

// A new query on Transaction (not owned) or, when null, on a new read transaction of Database
// that the query owns. The query starts its transaction when executed and prepares its
// statement anew for each execution (see TQuery).
std::unique_ptr<TQuery> NewQuery(TTransaction* Transaction = nullptr,
                                 TDatabase* Database = nullptr);
// NewQuery, then the SQL text, prepared. On a failure nothing made here survives.
std::unique_ptr<TQuery> NewQuerySQL(const std::string& SQL, TTransaction* Transaction = nullptr,
                                    TDatabase* Database = nullptr);
// A new query on a new write transaction of the default database, which it owns.
std::unique_ptr<TQuery> NewWriteQuery();
std::unique_ptr<TQuery> NewWriteQuerySQL(const std::string& SQL);

// Frees Query and sets it to null: with FreeTransaction an active transaction is rolled back
// first. A transaction the query owns goes with it; a caller's transaction stays with its
// owner. Cache slots holding the query are emptied and their handles set to 0.
void FreeQuery(std::unique_ptr<TQuery>& Query, bool FreeTransaction);
// The same for a query of the cache.
void FreeQuery(TQuery*& Query, bool FreeTransaction);
// Commits when Transaction is active; otherwise nothing.
void CommitTransaction(TTransaction* Transaction);

// The cached, prepared query for Handle (a field of the caller that stays valid as long as the
// query is cached; the cache sets it to 0 when it frees the query). Made on first use, with a
// write transaction of the default database when Transaction is null. Handle becomes the query's
// 1-based slot number. The query stays prepared between executions and belongs to the cache.
TQuery* GetQuery(std::int32_t& Handle, const std::string& SQL, const std::string& Group = "",
                 std::unique_ptr<TTransaction> Transaction = nullptr);
// The lookup and insertion under GetQuery; a query made here without a transaction gets a read
// transaction. Transaction is adopted by the new query, or by a found query that has none, and
// dropped otherwise. The first call registers a before-disconnect handler on the default
// database that runs FreeQueries for all groups (its errors ignored).
TQuery* CachedQuery(std::int32_t& Handle, const std::string& SQL, const std::string& Group = "",
                    std::unique_ptr<TTransaction> Transaction = nullptr);
// The cached query of Handle, or null.
TQuery* FindCachedQuery(std::int32_t Handle);
// Frees the cached queries of Group, or all of them when Group is empty (which also frees the
// list and unregisters the before-disconnect handler). Takes DatabaseLock as "FreeQueries".
void FreeQueries(const std::string& Group = "");
// Slots of the cache list, empty ones included (0 when there is no list).
std::int32_t CachedQuerySlots();

// Settings in the table SYS_PROPERTIES, keyed by COMPONENT and VAR.
class TDBSettings {
 public:
  explicit TDBSettings(TDatabase* Database) : FDatabase(Database) {}
  ~TDBSettings();
  TDBSettings(const TDBSettings&) = delete;
  TDBSettings& operator=(const TDBSettings&) = delete;

  TDatabase* Database() const { return FDatabase; }
  std::uint8_t Component() const { return FComponent; }
  void SetComponent(std::uint8_t Value) { FComponent = Value; }
  const std::string& TableName() const { return FTableName; }

  // Reads the row (Component, Name); true iff exactly one row was found. Its values are held for
  // GetIntValue and GetDateValue. The read transaction is committed also after a failure.
  bool Locate(const std::string& Name);
  // VAL_INT of the row, or Default when there is no row or the value is NULL.
  std::int32_t GetIntValue(const std::string& Name, std::int32_t Default);
  // VAL_DATE of the row, or Default.
  TDateTime GetDateValue(const std::string& Name, TDateTime Default);
  // Commits the write query's active transaction when CommitWrite, then frees both queries.
  void CloseQueries(bool CommitWrite);

  TQuery* ReadQuery() const { return FReadQuery.get(); }

 private:
  TDatabase* FDatabase;
  std::unique_ptr<TQuery> FReadQuery;
  std::unique_ptr<TQuery> FWriteQuery;  // never made by this service; only freed
  std::uint8_t FComponent = 0;
  const std::string FTableName = "SYS_PROPERTIES";
  TVariant FValInt;
  TVariant FValDate;
};

// The settings reader of the default database, or null.
TDBSettings* SettingsInstance();
// SYS_PROPERTIES.VAL_INT of (Component, Name), or Default.
std::int32_t GetSettingInt(std::uint8_t Component, const std::string& Name, std::int32_t Default);
// SYS_PROPERTIES.VAL_DATE of (Component, Name), or Default.
TDateTime GetSettingDate(std::uint8_t Component, const std::string& Name, TDateTime Default);
// Frees the settings queries and their transactions.
void CloseSettings(bool CommitWrite);

// Loads the blob parameter with all bytes of Buffer (Position ends at the end).
void BufferToBlob(TBufferProtocol& Buffer, TParam& Param);
// Writes the blob field's bytes into Buffer at its position, then rewinds Buffer to 0.
void BlobToBuffer(TBufferProtocol& Buffer, const TField& Field);

// The client library to load: $FIREBIRD/lib/libfbclient.so.2, else $FIREBIRD/libfbclient.so.2
// when that file exists, else "libfbclient.so.2" for the ordinary library search.
std::string GetFbClientLibrary();
// The same with FirebirdDir in place of $FIREBIRD (empty: not set).
std::string GetFbClientLibrary(const std::string& FirebirdDir);

}  // namespace pelmar
