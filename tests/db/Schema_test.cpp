// ctest-label: db
// The installation schema (db/schema.sql) accepts the service's statements exactly as the
// service issues them, with the value types it passes, and gives back what was written.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "BaseProtocol.h"
#include "Clock.h"
#include "DBUpdate.h"
#include "DBUtils.h"
#include "FirebirdFixture.h"
#include "Hex.h"

namespace pelmar {
namespace {

using TRow = std::vector<std::pair<std::string, TVariant>>;

// Values as the checks compare them.
std::string Text(const TVariant& V) {
  if (V.IsNull())
    return "NULL";
  if (V.VarType() == TVarType::Date)
    return DateTimeToStr(V.AsDouble());
  return V.AsString();
}

TVariant Small(std::int64_t V) {
  return TVariant::OfInteger(TVarType::SmallInt, V);
}
TVariant Word(std::uint16_t V) {
  return TVariant(V);
}
TVariant Byte(std::uint8_t V) {
  return TVariant(V);
}
TVariant Time(int H, int M) {
  return TVariant::DateTime(46000 + (H * 60 + M) / 1440.0);
}

struct TKind {
  const char* View;
  const char* Select;
  const char* Save;
  const char* Delete;
  TRow Insert;                          // parameters of the first save
  TRow Update;                          // parameters of the second save of the same ID
  std::vector<std::string> UpdateRead;  // what the SELECT gives for Update, in its column order
  const char* Status;  // status bytes for LAST_STATUS, or null when the view has none
};

const std::vector<TKind>& Kinds() {
  static const std::vector<TKind> All = {
      {"VW_CID_ACCOUNTS",
       "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_IDX,   LINK_OBJECT,   "
       "TEST_REPORT,   MAINTENANCE,   LAST_STATUS FROM   VW_CID_ACCOUNTS WHERE   ID = :ID",
       "UPDATE OR INSERT INTO   VW_CID_ACCOUNTS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_IDX, "
       "LINK_OBJECT, TEST_REPORT, MAINTENANCE) VALUES   (:ID, :NAME, :ENABLED, :DESCRIPTION, "
       ":ACCOUNT_IDX, :LINK_OBJECT, :TEST_REPORT, :MAINTENANCE) MATCHING   (ID)",
       "DELETE FROM VW_CID_ACCOUNTS WHERE ID = :ID",
       {{"ID", 101},
        {"NAME", "Касса №1"},
        {"ENABLED", true},
        {"DESCRIPTION", TVariant::Null()},
        {"ACCOUNT_IDX", Word(0x1234)},
        {"LINK_OBJECT", TVariant::Null()},
        {"TEST_REPORT", TVariant::Null()},
        {"MAINTENANCE", false}},
       {{"ID", 101},
        {"NAME", "Склад"},
        {"ENABLED", false},
        {"DESCRIPTION", "Описание"},
        {"ACCOUNT_IDX", Word(0xFFFF)},
        {"LINK_OBJECT", 7},
        {"TEST_REPORT", Time(8, 0)},
        {"MAINTENANCE", true}},
       {"101", "Склад", "False", "Описание", "65535", "7", "1899-12-30 08:00:00.000", "True"},
       "01"},
      {"VW_CID_ACCOUNT_GROUPS",
       "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_ID,   GROUP_IDX,   LINK_OBJECT,  "
       " LAST_STATUS FROM   VW_CID_ACCOUNT_GROUPS WHERE   ID = :ID",
       "UPDATE OR INSERT INTO   VW_CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, "
       "GROUP_IDX, LINK_OBJECT) VALUES   (:ID, :NAME, :ENABLED, :DESCRIPTION, :ACCOUNT_ID, "
       ":GROUP_IDX, :LINK_OBJECT) MATCHING   (ID)",
       "DELETE FROM VW_CID_ACCOUNT_GROUPS WHERE ID = :ID",
       {{"ID", 201},
        {"NAME", "Раздел 1"},
        {"ENABLED", true},
        {"DESCRIPTION", TVariant::Null()},
        {"ACCOUNT_ID", 101},
        {"GROUP_IDX", Word(1)},
        {"LINK_OBJECT", TVariant::Null()}},
       {{"ID", 201},
        {"NAME", "Раздел 255"},
        {"ENABLED", true},
        {"DESCRIPTION", "d"},
        {"ACCOUNT_ID", 102},
        {"GROUP_IDX", Word(255)},
        {"LINK_OBJECT", 9}},
       {"201", "Раздел 255", "True", "d", "102", "255", "9"},
       "09 00"},
      {"VW_CID_ACCOUNT_ZONES",
       "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACCOUNT_ID,   ZONE_IDX,   ZONE_TYPE,   "
       "LINK_OBJECT,   LAST_STATUS FROM   VW_CID_ACCOUNT_ZONES WHERE   ID = :ID",
       "UPDATE OR INSERT INTO   VW_CID_ACCOUNT_ZONES (ID, NAME, ENABLED, DESCRIPTION, ACCOUNT_ID, "
       "ZONE_IDX, ZONE_TYPE, LINK_OBJECT) VALUES   (:ID, :NAME, :ENABLED, :DESCRIPTION, "
       ":ACCOUNT_ID, :ZONE_IDX, :ZONE_TYPE, :LINK_OBJECT) MATCHING   (ID)",
       "DELETE FROM VW_CID_ACCOUNT_ZONES WHERE ID = :ID",
       {{"ID", 301},
        {"NAME", "Дверь"},
        {"ENABLED", true},
        {"DESCRIPTION", TVariant::Null()},
        {"ACCOUNT_ID", 101},
        {"ZONE_IDX", Word(3)},
        {"ZONE_TYPE", 0},
        {"LINK_OBJECT", TVariant::Null()}},
       {{"ID", 301},
        {"NAME", "Окно"},
        {"ENABLED", false},
        {"DESCRIPTION", TVariant::Null()},
        {"ACCOUNT_ID", 101},
        {"ZONE_IDX", Word(4095)},
        {"ZONE_TYPE", 5},
        {"LINK_OBJECT", 11}},
       {"301", "Окно", "False", "NULL", "101", "4095", "5", "11"},
       "01 00"},
      {"VW_CID_CHANNELS",
       "SELECT   ID,   NAME,   ENABLED,   DESCRIPTION,   ACK_EVENTS,   COM_TYPE,   COM_ADDRESS,   "
       "RECEIVER_TIMEOUT FROM   VW_CID_CHANNELS WHERE   ID = :ID",
       "UPDATE OR INSERT INTO VW_CID_CHANNELS (   ID, NAME, ENABLED, DESCRIPTION, ACK_EVENTS, "
       "COM_TYPE, COM_ADDRESS, RECEIVER_TIMEOUT) VALUES (   :ID, :NAME, :ENABLED, :DESCRIPTION, "
       ":ACK_EVENTS, :COM_TYPE, :COM_ADDRESS, :RECEIVER_TIMEOUT) MATCHING   (ID)",
       "DELETE FROM VW_CID_CHANNELS WHERE ID = :ID",
       {{"ID", 401},
        {"NAME", "Приёмник"},
        {"ENABLED", true},
        {"DESCRIPTION", TVariant::Null()},
        {"ACK_EVENTS", false},
        {"COM_TYPE", Byte(0)},
        {"COM_ADDRESS", "1/9600-8-N-1"},
        {"RECEIVER_TIMEOUT", Small(30)}},
       {{"ID", 401},
        {"NAME", "Приёмник TCP"},
        {"ENABLED", true},
        {"DESCRIPTION", "Пульт"},
        {"ACK_EVENTS", true},
        {"COM_TYPE", Byte(1)},
        {"COM_ADDRESS", "192.168.0.10:1025"},
        {"RECEIVER_TIMEOUT", Small(45)}},
       {"401", "Приёмник TCP", "True", "Пульт", "True", "1", "192.168.0.10:1025", "45"},
       nullptr},
  };
  return All;
}

class SchemaTest : public test::TFirebirdTest {
 protected:
  // Saves a row as the service does: its own write query and transaction, committed.
  void Save(const char* Sql, const TRow& Row) {
    std::lock_guard Lock(DatabaseLock());
    auto Q = NewWriteQuerySQL(Sql);
    for (const auto& [Name, Value] : Row)
      Q->ParamByName(Name).SetValue(Value);
    try {
      Q->ExecQuery();
      CommitTransaction(Q->Transaction());
    } catch (...) {
      FreeQuery(Q, true);
      throw;
    }
    FreeQuery(Q, true);
  }

  // Loads a row as the service does: a cached read query; empty when there is no row.
  std::vector<std::string> Load(const char* Sql, std::int32_t Id, std::string* Status = nullptr) {
    TQuery* Q = CachedQuery(FLoadHandle, Sql, "grp_loadobj");
    Q->ParamByName("ID").SetAsInteger(Id);
    Q->ExecQuery();
    std::vector<std::string> Values;
    if (!Q->Eof()) {
      for (int I = 0; I < Q->FieldCount(); ++I) {
        if (Q->Fields(I).Name() == "LAST_STATUS") {
          TBufferProtocol Buffer(32);
          BlobToBuffer(Buffer, Q->Fields(I));
          if (Status)
            *Status = test::ToHex(Buffer.Data(), static_cast<std::size_t>(Buffer.Size()));
        } else {
          Values.push_back(Text(Q->Fields(I).Value()));
        }
      }
    }
    CommitTransaction(Q->Transaction());
    FreeQueries("grp_loadobj");
    return Values;
  }

  void SaveStatus(std::int32_t Id, const std::string& Hex) {
    std::lock_guard Lock(DatabaseLock());
    TQuery* Q = GetQuery(FStatusHandle,
                         "UPDATE OR INSERT INTO SYS_OBJECT_STATUSES (   OBJECT_ID,   STATUS,   "
                         "CHANGE_TIME) VALUES (   :OBJECT_ID,   :STATUS,   'NOW') MATCHING (   "
                         "OBJECT_ID)");
    std::vector<std::uint8_t> Bytes = test::Bytes(Hex);
    TBufferProtocol Buffer(32);
    Buffer.WriteData(static_cast<std::int32_t>(Bytes.size()), Bytes.data());
    Q->ParamByName("OBJECT_ID").SetAsInteger(Id);
    BufferToBlob(Buffer, Q->ParamByName("STATUS"));
    try {
      Q->ExecQuery();
    } catch (...) {
      CommitTransaction(Q->Transaction());
      throw;
    }
    CommitTransaction(Q->Transaction());
  }

  TDateTime ServerNow() {
    TQuery* Q = CachedQuery(FNowHandle, "select cast('now' as timestamp) from rdb$database");
    Q->ExecQuery();
    TDateTime Now = Q->Fields(0).AsDateTime();
    CommitTransaction(Q->Transaction());
    return Now;
  }

  std::int32_t FLoadHandle = 0;
  std::int32_t FStatusHandle = 0;
  std::int32_t FNowHandle = 0;
};

std::vector<std::string> Texts(const TRow& Row) {
  std::vector<std::string> T;
  for (const auto& [Name, Value] : Row)
    T.push_back(Text(Value));
  return T;
}

TEST_F(SchemaTest, ViewsAcceptTheServicesSaveLoadAndDeleteStatements) {
  for (const TKind& K : Kinds()) {
    SCOPED_TRACE(K.View);
    const std::int32_t Id = K.Insert[0].second.AsInteger();
    EXPECT_TRUE(Load(K.Select, Id).empty());

    Save(K.Save, K.Insert);
    std::string Status = "unset";
    std::vector<std::string> Want = Texts(K.Insert);
    Want[0] = std::to_string(Id);
    EXPECT_EQ(Want, Load(K.Select, Id, &Status));
    if (K.Status) {
      EXPECT_EQ("", Status) << "no status stored yet";
    }

    Save(K.Save, K.Update);  // the same ID again: an update, not a second row
    EXPECT_EQ(K.UpdateRead, Load(K.Select, Id, &Status));
    EXPECT_EQ(1, Select(std::string("SELECT COUNT(*) FROM ") + K.View)[0][0].AsInteger());

    if (K.Status) {
      SaveStatus(Id, K.Status);
      EXPECT_EQ(K.UpdateRead, Load(K.Select, Id, &Status));
      EXPECT_EQ(K.Status, Status);
      SaveStatus(Id, "00 00");  // written again for the same object
      Load(K.Select, Id, &Status);
      EXPECT_EQ("00 00", Status);
    }

    Save(K.Delete, {{"ID", Id}});
    EXPECT_TRUE(Load(K.Select, Id).empty());
    EXPECT_EQ(0, Select(std::string("SELECT COUNT(*) FROM ") + K.View)[0][0].AsInteger());
  }
  // Deleting an object also deleted its stored status.
  EXPECT_EQ(0, Select("SELECT COUNT(*) FROM SYS_OBJECT_STATUSES")[0][0].AsInteger());
}

TEST_F(SchemaTest, StatusesAreStoredWithTheServerTime) {
  const TDateTime Before = ServerNow();
  SaveStatus(55, "01");
  const TDateTime After = ServerNow();
  auto Rows = Select("SELECT STATUS, CHANGE_TIME FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = 55");
  ASSERT_EQ(1u, Rows.size());
  EXPECT_EQ("01", test::ToHex(Rows[0][0].AsString()));
  EXPECT_GE(Rows[0][1].AsDouble(), Before);
  EXPECT_LE(Rows[0][1].AsDouble(), After);
  // The server's clock is the machine's.
  EXPECT_LT(std::fabs(After - Now()) * 86400.0, 120.0);
}

TEST_F(SchemaTest, CidEventRecordsEveryCallWithItsParametersAndTheServerTime) {
  const char* const Sql =
      "EXECUTE PROCEDURE PR_CID_EVENT(   :ACCOUNT_ID,   :OBJECT_ID,   :EVENT_CODE,   "
      ":ACCOUNT_IDX,   :GROUP_IDX,   :ZONE_IDX,   :ENABLE_ALARMS)";
  struct {
    TVariant AccountId, ObjectId;
    std::int32_t EventCode, AccountIdx;
    std::int64_t GroupIdx;
    std::int32_t ZoneIdx;
    bool EnableAlarms;
    const char* Stored;
  } Cases[] = {
      {17, 21, 1304, 0x1234, 1, 3, true, "17 21 1304 4660 1 3 True"},
      {TVariant::Null(), TVariant::Null(), 9305, 0xFFFF, 0, 0, true,
       "NULL NULL 9305 65535 0 0 True"},
      {17, TVariant::Null(), 5504, 0x1234, 0xFF, 0xFFF, false, "17 NULL 5504 4660 255 4095 False"},
  };
  std::int32_t Handle = 0;
  const TDateTime Before = ServerNow();
  for (const auto& C : Cases) {
    TQuery* Q = GetQuery(Handle, Sql);
    Q->ParamByName("ACCOUNT_ID").SetValue(C.AccountId);
    Q->ParamByName("OBJECT_ID").SetValue(C.ObjectId);
    Q->ParamByName("EVENT_CODE").SetAsInteger(C.EventCode);
    Q->ParamByName("ACCOUNT_IDX").SetAsInteger(C.AccountIdx);
    Q->ParamByName("GROUP_IDX").SetValue(Small(C.GroupIdx));
    Q->ParamByName("ZONE_IDX").SetAsInteger(C.ZoneIdx);
    Q->ParamByName("ENABLE_ALARMS").SetAsBoolean(C.EnableAlarms);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
  }
  const TDateTime After = ServerNow();
  auto Rows = Select(
      "SELECT ACCOUNT_ID, OBJECT_ID, EVENT_CODE, ACCOUNT_IDX, GROUP_IDX, ZONE_IDX, ENABLE_ALARMS, "
      "EVENT_TIME FROM CID_EVENTS ORDER BY ID");
  ASSERT_EQ(std::size(Cases), Rows.size());
  for (std::size_t I = 0; I < Rows.size(); ++I) {
    std::string Stored;
    for (std::size_t C = 0; C < 7; ++C)
      Stored += (C ? " " : "") + Text(Rows[I][C]);
    EXPECT_EQ(Cases[I].Stored, Stored);
    EXPECT_GE(Rows[I][7].AsDouble(), Before);
    EXPECT_LE(Rows[I][7].AsDouble(), After);
  }
  FreeQueries();
  EXPECT_EQ(0, Handle);
}

TEST_F(SchemaTest, LogEventStoresItsFourteenParametersAndTheCommandsUser) {
  const char* const Sql =
      "EXECUTE PROCEDURE PR_LOG_EVENT(   :COMPONENT_ID,   :USER_ID,   :TARGET_USER_ID,   "
      ":LOG_TIME,   :PRIORITY,   :EVENT_CODE,   :OBJECT_ID,   :PARENT_OBJECT_ID,   :PARAM1,   "
      ":PARAM2,   :PARAM3,   :PARAM4,   :PARAM5,   :ALARMS)";
  const char* const Context =
      "select rdb$set_context('USER_SESSION', :VAR, :USER_ID) from rdb$database";
  std::int32_t LogHandle = 0, ContextHandle = 0;
  auto SetUser = [&](const TVariant& User) {
    std::lock_guard Lock(DatabaseLock());
    TQuery* Q = CachedQuery(ContextHandle, Context, "grp_svc_client");
    Q->ParamByName("VAR").SetAsString("USER_ID");
    Q->ParamByName("USER_ID").SetValue(User);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
  };
  auto Log = [&](std::vector<TVariant> Values) {
    std::lock_guard Lock(DatabaseLock());
    TQuery* Q = GetQuery(LogHandle, Sql, "grp_svc_client");
    ASSERT_EQ(14, Q->ParamCount());
    for (int I = 0; I < 14; ++I)
      Q->Params(I).SetValue(Values[static_cast<std::size_t>(I)]);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
  };
  const TVariant Null = TVariant::Null();
  // The object event of a late test report, no user in context.
  Log({Byte(5), std::int64_t{-1}, Null, Null, Null, Word(9304), 17, Null, Null, Null, Null, Null,
       Null, true});
  // A command's user in context, every value given.
  SetUser(std::int64_t{42});
  Log({Byte(5), std::int64_t{42}, std::int64_t{43},
       TVariant::DateTime(EncodeDateTime(2026, 2, 27, 2, 1, 43, 686)), Byte(3), Word(11), 17, 4,
       "Зона \"Дверь\" изменено", "b", "c", "d", "e", true});
  SetUser(Null);
  Log({Byte(5), std::int64_t{-1}, Null, Null, Byte(2), Word(9300), 401, Null, "Приёмник", Null,
       Null, Null, Null, false});

  auto Rows = Select(
      "SELECT COMPONENT_ID, USER_ID, TARGET_USER_ID, LOG_TIME, PRIORITY, EVENT_CODE, OBJECT_ID, "
      "PARENT_OBJECT_ID, PARAM1, PARAM2, PARAM3, PARAM4, PARAM5, ALARMS, CONTEXT_USER_ID "
      "FROM SYS_EVENT_LOG ORDER BY ID");
  ASSERT_EQ(3u, Rows.size());
  const char* Want[] = {
      "5|-1|NULL|NULL|NULL|9304|17|NULL|NULL|NULL|NULL|NULL|NULL|True|NULL",
      "5|42|43|2026-02-27 02:01:43.686|3|11|17|4|Зона \"Дверь\" изменено|b|c|d|e|True|42",
      "5|-1|NULL|NULL|2|9300|401|NULL|Приёмник|NULL|NULL|NULL|NULL|False|NULL",
  };
  for (std::size_t I = 0; I < Rows.size(); ++I) {
    std::string Got;
    for (std::size_t C = 0; C < Rows[I].size(); ++C)
      Got += (C ? "|" : "") + Text(Rows[I][C]);
    EXPECT_EQ(Want[I], Got);
  }
}

TEST_F(SchemaTest, LoadLanguageRunsInAReadTransaction) {
  auto Q = NewQuerySQL("EXECUTE PROCEDURE PR_LOAD_LANGUAGE(:IP_LANGUAGE)");
  EXPECT_EQ(TTransactionKind::tkRead, Q->Transaction()->Kind());
  Q->ParamByName("IP_LANGUAGE").SetAsString("ru");
  Q->ExecQuery();
  CommitTransaction(Q->Transaction());
  FreeQuery(Q, true);
  auto Check = NewQuerySQL("SELECT RDB$GET_CONTEXT('USER_SESSION', 'LANGUAGE') FROM RDB$DATABASE");
  Check->ExecQuery();
  EXPECT_EQ("ru", Check->Fields(0).AsString());
}

TEST_F(SchemaTest, StoredVersionIsTheOneTheServiceExpects) {
  TDBUpdateDate Update;
  Update.SetLastKnownDBVersion(42008);
  Update.OnCheckVersion = [](TDateTime& V) { V = GetSettingDate(5, "Database version", 0); };
  EXPECT_EQ(0, Update.CompareWithDatabase());
  EXPECT_EQ(5, GetSettingInt(5, "Report tolerance", 0));
  EXPECT_EQ(30, GetSettingInt(5, "Maintenance alarm interval", 0));
  CloseSettings(false);

  Execute("UPDATE SYS_PROPERTIES SET VAL_DATE = '2015-01-04 17:30' WHERE VAR = 'Database version'");
  EXPECT_EQ(0, Update.CompareWithDatabase());
  Execute("UPDATE SYS_PROPERTIES SET VAL_DATE = '2015-01-05' WHERE VAR = 'Database version'");
  EXPECT_EQ(-1, Update.CompareWithDatabase());
  Execute("DELETE FROM SYS_PROPERTIES WHERE VAR = 'Database version'");
  try {
    Update.CompareWithDatabase();
    FAIL() << "no exception";
  } catch (const Exception& E) {
    EXPECT_EQ("CurrentVersion not assigned!", E.Message());
  }
}

}  // namespace
}  // namespace pelmar
