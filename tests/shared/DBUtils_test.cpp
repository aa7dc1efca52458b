// ctest-label: db
#include "DBUtils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BaseProtocol.h"
#include "FirebirdFixture.h"
#include "Hex.h"

namespace pelmar {
namespace {

using test::TFirebirdTest;

const char* const InsertStatus =
    "UPDATE OR INSERT INTO SYS_OBJECT_STATUSES (   OBJECT_ID,   STATUS,   CHANGE_TIME) VALUES (  "
    " :OBJECT_ID,   :STATUS,   'NOW') MATCHING (   OBJECT_ID)";
const char* const CidEvent =
    "EXECUTE PROCEDURE PR_CID_EVENT(   :ACCOUNT_ID,   :OBJECT_ID,   :EVENT_CODE,   :ACCOUNT_IDX,  "
    " :GROUP_IDX,   :ZONE_IDX,   :ENABLE_ALARMS)";

std::int64_t Count(std::vector<std::vector<TVariant>> Rows) {
  return Rows.at(0).at(0).AsInt64();
}

class DBUtilsTest : public TFirebirdTest {
 protected:
  void TearDown() override {
    TFirebirdTest::TearDown();
    EXPECT_EQ(0, CachedQuerySlots());
  }

  // Records one report through a cached PR_CID_EVENT query, as the event handling does.
  void RecordEvent(std::int32_t& Handle, std::int32_t EventCode) {
    TQuery* Q = GetQuery(Handle, CidEvent);
    Q->ParamByName("ACCOUNT_ID").SetAsInteger(1);
    Q->ParamByName("OBJECT_ID").SetNull();
    Q->ParamByName("EVENT_CODE").SetAsInteger(EventCode);
    Q->ParamByName("ACCOUNT_IDX").SetAsInteger(0x1234);
    Q->ParamByName("GROUP_IDX").SetValue(TVariant(std::uint16_t{1}));
    Q->ParamByName("ZONE_IDX").SetAsInteger(3);
    Q->ParamByName("ENABLE_ALARMS").SetAsBoolean(true);
    try {
      Q->ExecQuery();
    } catch (...) {
      CommitTransaction(Q->Transaction());
      throw;
    }
    CommitTransaction(Q->Transaction());
  }

  std::int64_t Events() { return Count(Select("SELECT COUNT(*) FROM CID_EVENTS")); }

  std::int32_t FHandle = 0;
  std::int32_t FOther = 0;
};

TEST_F(DBUtilsTest, TransactionsHaveTheFixedParameters) {
  struct {
    TTransactionKind Kind;
    const char* Tpb;
    std::int32_t ReadOnly;
  } Cases[] = {
      {TTransactionKind::tkRead, "03 08 07 11 0F", 1},  // read, nowait, rec_version, read_committed
      {TTransactionKind::tkWrite, "03 09 07 0F 11",
       0},  // write, nowait, read_committed, rec_version
  };
  for (const auto& C : Cases) {
    auto T = C.Kind == TTransactionKind::tkRead ? NewTransaction() : NewWriteTransaction();
    EXPECT_EQ(C.Tpb, test::ToHex(T->Params()));
    auto Q = NewQuerySQL(
        "SELECT MON$READ_ONLY, MON$ISOLATION_MODE, MON$LOCK_TIMEOUT FROM MON$TRANSACTIONS "
        "WHERE MON$TRANSACTION_ID = CURRENT_TRANSACTION",
        T.get());
    Q->ExecQuery();
    ASSERT_FALSE(Q->Eof());
    EXPECT_EQ(C.ReadOnly, Q->Fields(0).AsInteger()) << C.Tpb;
    EXPECT_EQ(2, Q->Fields(1).AsInteger()) << "read committed, record version; " << C.Tpb;
    EXPECT_EQ(0, Q->Fields(2).AsInteger()) << "no wait; " << C.Tpb;
    Q->Close();
    CommitTransaction(T.get());
    EXPECT_FALSE(T->Active());
  }
}

TEST_F(DBUtilsTest, ReadTransactionRefusesWritesAndWritersConflictAtOnce) {
  auto Reader = NewQuerySQL("DELETE FROM SYS_PROPERTIES");
  try {
    Reader->ExecQuery();
    FAIL() << "a read transaction wrote";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("read-only transaction")) << E.Message();
  }
  auto A = NewWriteQuerySQL("UPDATE SYS_PROPERTIES SET VAL_INT = 6 WHERE VAR = 'Report tolerance'");
  auto B = NewWriteQuerySQL("UPDATE SYS_PROPERTIES SET VAL_INT = 7 WHERE VAR = 'Report tolerance'");
  A->ExecQuery();
  // "nowait": the second writer fails at once instead of waiting for the first.
  try {
    B->ExecQuery();
    FAIL() << "no conflict";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("update conflicts with concurrent update"))
        << E.Message();
  }
  FreeQuery(B, true);
  CommitTransaction(A->Transaction());
  FreeQuery(A, true);
  EXPECT_EQ(6, GetSettingInt(5, "Report tolerance", 0));
}

TEST_F(DBUtilsTest, WithoutAnyDatabaseNewTransactionIsABugCheck) {
  SetDefaultDatabase(nullptr);
  for (auto Make : {+[] { NewTransaction(); }, +[] { NewWriteTransaction(); }, +[] { NewQuery(); },
                    +[] { GetSettingInt(5, "Report tolerance", 5); }}) {
    try {
      Make();
      FAIL() << "no exception";
    } catch (const EBugCheckError& E) {
      EXPECT_EQ("BUGCHECK: NewTransaction: DefaultDatabase not assigned!", E.Message());
    }
  }
  std::int32_t Handle = 0;
  EXPECT_THROW(GetQuery(Handle, CidEvent), EBugCheckError);
  EXPECT_EQ(0, Handle);
}

TEST_F(DBUtilsTest, GetQueryPreparesOnceAndKeepsTheStatement) {
  const std::uint64_t Before = Database().PrepareCount();
  TQuery* Q = GetQuery(FHandle, CidEvent, "grp_a");
  EXPECT_EQ(1, FHandle);
  EXPECT_EQ(Before + 1, Database().PrepareCount());
  EXPECT_TRUE(Q->Prepared());
  EXPECT_TRUE(Q->RetainPrepared());
  EXPECT_EQ(TTransactionKind::tkWrite, Q->Transaction()->Kind());
  EXPECT_EQ(Q, FindCachedQuery(FHandle));

  RecordEvent(FHandle, 1304);
  RecordEvent(FHandle, 5504);
  EXPECT_EQ(Q, GetQuery(FHandle, CidEvent, "grp_a"));
  EXPECT_EQ(Before + 1, Database().PrepareCount());
  EXPECT_TRUE(Q->Prepared());
  EXPECT_EQ(2, Events());

  // A reader's cached query gets a read transaction.
  TQuery* R = CachedQuery(FOther, "select cast('now' as timestamp) from rdb$database");
  EXPECT_EQ(2, FOther);
  EXPECT_EQ(TTransactionKind::tkRead, R->Transaction()->Kind());
  R->ExecQuery();
  EXPECT_EQ(TVarType::Date, R->Fields(0).Value().VarType());
  CommitTransaction(R->Transaction());
}

TEST_F(DBUtilsTest, FindCachedQueryAnswersOnlyForFilledSlots) {
  GetQuery(FHandle, CidEvent);
  for (std::int32_t H : {0, -1, 2, 1000})
    EXPECT_EQ(nullptr, FindCachedQuery(H)) << H;
  EXPECT_NE(nullptr, FindCachedQuery(1));
}

TEST_F(DBUtilsTest, FreeQueriesOfAGroupResetsTheHandlesAndNewQueriesGoToTheEnd) {
  std::int32_t Load = 0;
  GetQuery(FHandle, CidEvent, "grp_svc_client");
  CachedQuery(Load, "SELECT ID FROM VW_CID_CHANNELS WHERE ID = :ID", "grp_loadobj");
  ASSERT_EQ(1, FHandle);
  ASSERT_EQ(2, Load);

  FreeQueries("grp_loadobj");
  EXPECT_EQ(0, Load);
  EXPECT_EQ(1, FHandle);
  EXPECT_EQ(nullptr, FindCachedQuery(2));
  CachedQuery(Load, "SELECT ID FROM VW_CID_CHANNELS WHERE ID = :ID", "grp_loadobj");
  EXPECT_EQ(3, Load);
  EXPECT_EQ(3, CachedQuerySlots());

  FreeQueries();
  EXPECT_EQ(0, Load);
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, CachedQuerySlots());
}

TEST_F(DBUtilsTest, ANonZeroHandleOfAFreedSlotIsFilledAgain) {
  std::int32_t Stale = 5;
  CachedQuery(Stale, "SELECT 1 FROM RDB$DATABASE");
  EXPECT_EQ(5, Stale);
  EXPECT_EQ(5, CachedQuerySlots());
  EXPECT_NE(nullptr, FindCachedQuery(5));
  FreeQueries();
  EXPECT_EQ(0, Stale);
  std::int32_t Wild = 1 << 30;
  EXPECT_THROW(CachedQuery(Wild, "SELECT 1 FROM RDB$DATABASE"), EBugCheckError);
}

TEST_F(DBUtilsTest, FreeQueriesRollsBackWhatWasNotCommitted) {
  TQuery* Q = GetQuery(FHandle, CidEvent);
  Q->ParamByName("EVENT_CODE").SetAsInteger(1304);
  Q->ExecQuery();
  TTransaction* T = Q->Transaction();
  EXPECT_TRUE(T->Active());
  FreeQueries();
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, Events());
}

TEST_F(DBUtilsTest, FreeQueriesTakesTheDatabaseLockUnderItsName) {
  std::vector<std::string> Names;
  DatabaseLock().OnDebug = [&](int Phase, const std::string& Name, std::int32_t, std::uint32_t) {
    if (Phase == 1)
      Names.push_back(Name);
  };
  GetQuery(FHandle, CidEvent);
  FreeQueries();
  DatabaseLock().OnDebug = nullptr;
  EXPECT_EQ((std::vector<std::string>{"FreeQueries"}), Names);
}

TEST_F(DBUtilsTest, DisconnectFreesTheCacheAndALaterQueryRegistersAgain) {
  GetQuery(FHandle, CidEvent);
  Database().Close();
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, CachedQuerySlots());

  Database().Open();
  GetQuery(FHandle, CidEvent);
  EXPECT_EQ(1, FHandle);
  Database().Close();
  EXPECT_EQ(0, FHandle);
  Database().Open();
}

TEST_F(DBUtilsTest, FreeQueryOfACachedQueryEmptiesItsSlot) {
  TQuery* Q = GetQuery(FHandle, CidEvent);
  Q->ParamByName("EVENT_CODE").SetAsInteger(1304);
  Q->ExecQuery();
  FreeQuery(Q, true);
  EXPECT_EQ(nullptr, Q);
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, Events());
  TQuery* NotCached = reinterpret_cast<TQuery*>(this);
  EXPECT_THROW(FreeQuery(NotCached, true), EBugCheckError);
}

TEST_F(DBUtilsTest, PrepareFailureCarriesTheServerMessageAndLeavesNothingBehind) {
  auto Transactions = [this] {
    return Count(
        Select("SELECT COUNT(*) FROM MON$TRANSACTIONS T JOIN MON$ATTACHMENTS A ON "
               "A.MON$ATTACHMENT_ID = T.MON$ATTACHMENT_ID WHERE A.MON$REMOTE_PID = " +
               std::to_string(getpid()) + " AND A.MON$ATTACHMENT_ID <> CURRENT_CONNECTION"));
  };
  const std::int64_t Before = Transactions();
  try {
    GetQuery(FHandle, "SELECT NOTHING FROM NO_SUCH_TABLE", "grp");
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ(-204, E.SQLCode());
    EXPECT_EQ(335544569, E.IBErrorCode());  // dynamic SQL error
    EXPECT_NE(std::string::npos, E.Message().find("Table unknown")) << E.Message();
    EXPECT_NE(std::string::npos, E.Message().find("NO_SUCH_TABLE")) << E.Message();
    EXPECT_FALSE(E.ConnectionLost());
  }
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, CachedQuerySlots());
  EXPECT_THROW(NewQuerySQL("SELEKT 1"), EDatabaseError);
  EXPECT_THROW(NewWriteQuerySQL("SELEKT 1"), EDatabaseError);
  EXPECT_EQ(Before, Transactions());
  // The cache still works.
  RecordEvent(FHandle, 1304);
  EXPECT_EQ(1, Events());
}

TEST_F(DBUtilsTest, ExecutionErrorsKeepTheCachedQueryUsable) {
  // A NULL where the table needs a value: the server's validation message.
  TQuery* Q = GetQuery(FHandle, CidEvent);
  Q->ParamByName("EVENT_CODE").SetNull();
  try {
    Q->ExecQuery();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("validation error")) << E.Message();
    EXPECT_NE(std::string::npos, E.Message().find("EVENT_CODE")) << E.Message();
  }
  CommitTransaction(Q->Transaction());
  EXPECT_EQ(Q, FindCachedQuery(FHandle));
  RecordEvent(FHandle, 1304);
  EXPECT_EQ(1, Events());

  // A value the parameter's type cannot hold never reaches the server.
  Q->ParamByName("GROUP_IDX").SetAsInteger(70000);
  try {
    Q->ExecQuery();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Parameter \"GROUP_IDX\": value 70000 is out of the range of SMALLINT", E.Message());
  }
  // A text for a number is converted by the server, with its message when it is no number.
  Q->ParamByName("GROUP_IDX").SetAsString("12");
  Q->ExecQuery();
  Q->ParamByName("GROUP_IDX").SetAsString("twelve");
  try {
    Q->ExecQuery();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("conversion error")) << E.Message();
  }
  CommitTransaction(Q->Transaction());
  EXPECT_EQ(2, Events());
  EXPECT_EQ(12,
            Select("SELECT GROUP_IDX FROM CID_EVENTS ORDER BY ID DESC").at(0).at(0).AsInteger());
}

TEST_F(DBUtilsTest, NullFieldReadAsAValueIsADatabaseError) {
  auto Q = NewQuerySQL("SELECT VAL_INT FROM SYS_PROPERTIES WHERE VAR = 'Database version'");
  Q->ExecQuery();
  ASSERT_FALSE(Q->Eof());
  EXPECT_TRUE(Q->FieldByName("VAL_INT").IsNull());
  try {
    Q->FieldByName("VAL_INT").AsInteger();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Field \"VAL_INT\" is null", E.Message());
  }
  EXPECT_THROW(Q->FieldByName("NO_SUCH_FIELD"), EDatabaseError);
}

TEST_F(DBUtilsTest, SettingsComeFromSysPropertiesOrTheDefault) {
  Execute("INSERT INTO SYS_PROPERTIES (COMPONENT, VAR) VALUES (5, 'Empty')");
  Execute(
      "INSERT INTO SYS_PROPERTIES (COMPONENT, VAR, VAL_INT, VAL_DATE) VALUES (7, "
      "'Report tolerance', 99, '2001-02-03 04:05:06')");
  struct {
    std::uint8_t Component;
    const char* Name;
    std::int32_t Want;
  } Ints[] = {
      {5, "Report tolerance", 5},  {5, "Maintenance alarm interval", 30},
      {7, "Report tolerance", 99}, {5, "Empty", -1},  // the row with a NULL value
      {5, "No such", -1},                             // no row
      {6, "Report tolerance", -1},
  };
  for (const auto& C : Ints)
    EXPECT_EQ(C.Want, GetSettingInt(C.Component, C.Name, -1)) << C.Name << " " << int(C.Component);
  EXPECT_EQ(EncodeDate(2015, 1, 4), GetSettingDate(5, "Database version", 0));
  EXPECT_EQ(EncodeDateTime(2001, 2, 3, 4, 5, 6, 0), GetSettingDate(7, "Report tolerance", 0));
  EXPECT_EQ(0.0, GetSettingDate(5, "Empty", 0));
  EXPECT_EQ(123.0, GetSettingDate(5, "No such", 123));

  // Every read commits its transaction; the statement stays prepared until CloseSettings.
  TQuery* Reader = SettingsInstance()->ReadQuery();
  ASSERT_NE(nullptr, Reader);
  EXPECT_FALSE(Reader->Transaction()->Active());
  EXPECT_TRUE(Reader->Prepared());
  const std::uint64_t Prepares = Database().PrepareCount();
  GetSettingInt(5, "Report tolerance", 0);
  EXPECT_EQ(Prepares, Database().PrepareCount());
  CloseSettings(false);
  EXPECT_EQ(nullptr, SettingsInstance()->ReadQuery());
  EXPECT_EQ(5, GetSettingInt(5, "Report tolerance", 0));
  CloseSettings(true);
}

TEST_F(DBUtilsTest, SettingsReaderFollowsTheDefaultDatabase) {
  TDBSettings* First = SettingsInstance();
  ASSERT_NE(nullptr, First);
  EXPECT_EQ(&Database(), First->Database());
  EXPECT_EQ("SYS_PROPERTIES", First->TableName());
  SetDefaultDatabase(&Database());
  EXPECT_EQ(First, SettingsInstance());
  SetDefaultDatabase(nullptr);
  EXPECT_EQ(nullptr, SettingsInstance());
  SetDefaultDatabase(&Database());
  EXPECT_EQ(30, GetSettingInt(5, "Maintenance alarm interval", 0));
}

TEST_F(DBUtilsTest, BuffersTravelThroughBlobsUnchanged) {
  const std::vector<std::uint8_t> Payloads[] = {
      test::Bytes("01"),
      test::Bytes("09 00"),
      test::Bytes("00 FF 7F 80 0D 0A 00"),
      std::vector<std::uint8_t>(100000, 0xA5),
  };
  std::int32_t Id = 100;
  for (const auto& Payload : Payloads) {
    TBufferProtocol Out(32);
    Out.WriteData(static_cast<std::int32_t>(Payload.size()), Payload.data());
    TQuery* Q = GetQuery(FHandle, InsertStatus);
    Q->ParamByName("OBJECT_ID").SetAsInteger(++Id);
    BufferToBlob(Out, Q->ParamByName("STATUS"));
    EXPECT_EQ(Out.Size(), Out.Position());
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());

    auto R = NewQuerySQL("SELECT STATUS FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = :ID");
    R->ParamByName("ID").SetAsInteger(Id);
    R->ExecQuery();
    ASSERT_FALSE(R->Eof());
    TBufferProtocol In(32);
    In.WriteData(3, "abc");
    In.SetPosition(1);  // the blob's bytes go in at the position
    BlobToBuffer(In, R->FieldByName("STATUS"));
    EXPECT_EQ(0, In.Position());
    ASSERT_EQ(std::max<std::int32_t>(3, static_cast<std::int32_t>(Payload.size()) + 1), In.Size())
        << Payload.size();
    EXPECT_EQ('a', In.Data()[0]);
    EXPECT_TRUE(std::equal(Payload.begin(), Payload.end(), In.Data() + 1)) << Payload.size();
    CommitTransaction(R->Transaction());
  }
  // A NULL blob adds nothing.
  Execute("INSERT INTO SYS_OBJECT_STATUSES (OBJECT_ID) VALUES (1)");
  auto R = NewQuerySQL("SELECT STATUS FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = 1");
  R->ExecQuery();
  TBufferProtocol Empty(32);
  BlobToBuffer(Empty, R->FieldByName("STATUS"));
  EXPECT_EQ(0, Empty.Size());
}

TEST_F(DBUtilsTest, TextsRoundTripUnchangedOrFailClearly) {
  const std::string Russian = "Ошибка получения события";
  std::string Max;
  for (int I = 0; I < 200; ++I)
    Max += "Ж";  // 200 characters, 400 bytes
  const char* LogEvent =
      "EXECUTE PROCEDURE PR_LOG_EVENT(   :COMPONENT_ID,   :USER_ID,   :TARGET_USER_ID,   "
      ":LOG_TIME,   :PRIORITY,   :EVENT_CODE,   :OBJECT_ID,   :PARENT_OBJECT_ID,   :PARAM1,   "
      ":PARAM2,   :PARAM3,   :PARAM4,   :PARAM5,   :ALARMS)";
  auto Log = [&](const std::string& Param1) {
    TQuery* Q = GetQuery(FHandle, LogEvent, "grp_svc_client");
    Q->ParamByName("COMPONENT_ID").SetValue(TVariant(std::uint8_t{5}));
    Q->ParamByName("USER_ID").SetAsInt64(-1);
    Q->ParamByName("EVENT_CODE").SetValue(TVariant(std::uint16_t{11}));
    Q->ParamByName("PARAM1").SetAsString(Param1);
    Q->ParamByName("ALARMS").SetAsBoolean(true);
    try {
      Q->ExecQuery();
    } catch (...) {
      CommitTransaction(Q->Transaction());
      throw;
    }
    CommitTransaction(Q->Transaction());
  };
  Log(Russian);
  Log(Max);
  auto Rows = Select("SELECT PARAM1 FROM SYS_EVENT_LOG ORDER BY ID");
  ASSERT_EQ(2u, Rows.size());
  EXPECT_EQ(Russian, Rows[0][0].AsString());
  EXPECT_EQ(Max, Rows[1][0].AsString());

  // 201 characters: the server refuses, nothing is cut.
  try {
    Log(Max + "Ж");
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("string right truncation")) << E.Message();
  }
  // More bytes than the parameter can carry: refused before it is sent.
  try {
    Log(std::string(801, 'x'));
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Parameter \"PARAM1\": a text of 801 bytes does not fit the parameter's 800 bytes",
              E.Message());
  }
  EXPECT_EQ(2, Count(Select("SELECT COUNT(*) FROM SYS_EVENT_LOG")));
}

TEST_F(DBUtilsTest, QueriesOfOneShotKindFreeTheirStatementAfterExecution) {
  auto Q = NewWriteQuerySQL("UPDATE SYS_PROPERTIES SET VAL_INT = VAL_INT + :STEP WHERE VAR = :VAR");
  EXPECT_TRUE(Q->Prepared());
  Q->ParamByName("STEP").SetAsInteger(10);
  Q->ParamByName("VAR").SetAsString("Report tolerance");
  const std::uint64_t Prepares = Database().PrepareCount();
  Q->ExecQuery();
  EXPECT_EQ(1, Q->RowsAffected());
  Q->ExecQuery();  // prepared anew
  EXPECT_EQ(Prepares + 1, Database().PrepareCount());
  Q->Close();
  EXPECT_FALSE(Q->Prepared());
  CommitTransaction(Q->Transaction());
  FreeQuery(Q, true);
  EXPECT_EQ(nullptr, Q);
  EXPECT_EQ(25, GetSettingInt(5, "Report tolerance", 0));
}

TEST_F(DBUtilsTest, DroppedConnectionIsReportedOnceAndTheCacheStaysConsistent) {
  std::vector<std::string> Reports;
  Database().OnLostConnect = [&](TDatabase& Sender, const EDatabaseError& E,
                                 TLostConnectAction& Action) {
    EXPECT_EQ(&Database(), &Sender);
    EXPECT_EQ(TLostConnectAction::lcaCloseConnect, Action);
    Reports.push_back(E.Message());
  };
  RecordEvent(FHandle, 1304);
  TQuery* Q = FindCachedQuery(FHandle);
  auto Id = NewQuerySQL("SELECT CURRENT_CONNECTION FROM RDB$DATABASE");
  Id->ExecQuery();
  const std::int64_t Attachment = Id->Fields(0).AsInt64();
  FreeQuery(Id, true);

  // Another connection kills ours, as an administrator would.
  Execute("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID = " + std::to_string(Attachment));

  Q->ParamByName("EVENT_CODE").SetAsInteger(5504);
  try {
    Q->ExecQuery();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_TRUE(E.ConnectionLost()) << E.Message();
    EXPECT_FALSE(E.Message().empty());
  }
  ASSERT_EQ(1u, Reports.size());
  EXPECT_FALSE(Database().Connected());
  // The caller still holds the query and finishes as usual.
  EXPECT_FALSE(Q->Transaction()->Active());
  EXPECT_NO_THROW(CommitTransaction(Q->Transaction()));
  try {
    Q->ExecQuery();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Database not connected", E.Message());
  }
  EXPECT_EQ(1u, Reports.size());

  // Reconnecting releases the cached queries of the lost connection first.
  Database().Open();
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, CachedQuerySlots());
  RecordEvent(FHandle, 5504);
  EXPECT_EQ(2, Events());
  Database().OnLostConnect = nullptr;
}

TEST_F(DBUtilsTest, FreedQueriesLeaveNoStatementsOrTransactionsOnTheServer) {
  auto Id = NewQuerySQL("SELECT CURRENT_CONNECTION FROM RDB$DATABASE");
  Id->ExecQuery();
  const std::string Attachment = std::to_string(Id->Fields(0).AsInt64());
  FreeQuery(Id, true);
  auto OnServer = [&](const char* Table) {
    return Count(Select(std::string("SELECT COUNT(*) FROM ") + Table +
                        " WHERE MON$ATTACHMENT_ID = " + Attachment));
  };

  RecordEvent(FHandle, 1304);
  CachedQuery(FOther, "SELECT ID FROM VW_CID_ACCOUNTS WHERE ID = :ID", "grp_loadobj")->ExecQuery();
  std::int32_t Bad = 0;
  EXPECT_THROW(GetQuery(Bad, "SELECT X FROM NOWHERE"), EDatabaseError);
  EXPECT_THROW(NewWriteQuerySQL("UPDATE NOWHERE SET X = 1"), EDatabaseError);
  {
    auto OneShot = NewWriteQuerySQL(CidEvent);
    OneShot->ParamByName("EVENT_CODE").SetAsInteger(9305);
    OneShot->ExecQuery();  // freed without a commit: rolled back
  }
  EXPECT_EQ(5, GetSettingInt(5, "Report tolerance", 0));
  EXPECT_EQ(3, OnServer("MON$STATEMENTS"));  // the event, the load and the settings statement

  FreeQueries();
  CloseSettings(false);
  // The client sends the frees of statements with its next request: make one.
  auto T = NewTransaction();
  T->StartTransaction();
  T->Commit();
  EXPECT_EQ(0, OnServer("MON$STATEMENTS"));
  EXPECT_EQ(0, OnServer("MON$TRANSACTIONS"));
  EXPECT_EQ(1, Events());
}

TEST_F(DBUtilsTest, CloseDataSetsClosesEveryOpenCursorAndKeepsTheStatements) {
  TQuery* A = CachedQuery(FHandle, "SELECT VAR FROM SYS_PROPERTIES ORDER BY VAR");
  auto B = NewQuerySQL("SELECT VAR FROM SYS_PROPERTIES ORDER BY VAR");
  A->ExecQuery();
  B->ExecQuery();
  ASSERT_TRUE(A->Open());
  ASSERT_TRUE(B->Open());
  Database().CloseDataSets();
  EXPECT_FALSE(A->Open());
  EXPECT_FALSE(B->Open());
  EXPECT_TRUE(A->Prepared());
  A->ExecQuery();
  EXPECT_EQ("Database version", A->Fields(0).AsString());
  CommitTransaction(A->Transaction());
}

TEST_F(DBUtilsTest, NonCachedQueriesSurviveAReconnection) {
  auto Q = NewQuerySQL("SELECT VAL_INT FROM SYS_PROPERTIES WHERE VAR = :VAR");
  Q->SetRetainPrepared(true);
  Q->ParamByName("VAR").SetAsString("Report tolerance");
  Q->ExecQuery();
  EXPECT_EQ(5, Q->Fields(0).AsInteger());
  CommitTransaction(Q->Transaction());
  Database().Close();
  EXPECT_FALSE(Q->Prepared());
  Database().Open();
  Q->ExecQuery();  // prepared anew on the new connection
  EXPECT_EQ(5, Q->Fields(0).AsInteger());
  CommitTransaction(Q->Transaction());
}

TEST_F(DBUtilsTest, ClientLibraryIsLoadedByName) {
  TDatabase& D = NewConnection();
  D.SetLibraryName(GetFbClientLibrary(""));
  D.Open();
  auto T = NewTransaction(&D);
  auto Q = NewQuerySQL("SELECT 1 FROM RDB$DATABASE", T.get());
  Q->ExecQuery();
  EXPECT_EQ(1, Q->Fields(0).AsInteger());
  Q.reset();
  T.reset();
  D.Close();

  TDatabase& Bad = NewConnection();
  Bad.SetLibraryName("/nonexistent/libfbclient.so.2");
  try {
    Bad.Open();
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("/nonexistent/libfbclient.so.2")) << E.Message();
  }
}

// Stops and starts the project's private server with its scripts while a transaction is open.
class DBUtilsServerRestartTest : public DBUtilsTest {
 protected:
  bool ExclusiveServer() const override { return true; }
  void Script(const char* Name) {
    std::string Output;
    ASSERT_EQ(0, test::RunScript(test::SourceRoot() + "/scripts/" + Name, Output)) << Output;
  }
};

TEST_F(DBUtilsServerRestartTest, ServerStoppedInTheMiddleOfATransaction) {
  std::vector<std::string> Reports;
  Database().OnLostConnect = [&](TDatabase&, const EDatabaseError& E, TLostConnectAction&) {
    Reports.push_back(E.Message());
  };
  TQuery* Q = GetQuery(FHandle, CidEvent);
  Q->ParamByName("EVENT_CODE").SetAsInteger(1304);
  Q->ExecQuery();  // not committed yet

  Script("firebird-stop.sh");
  try {
    CommitTransaction(Q->Transaction());
    FAIL() << "the commit succeeded without a server";
  } catch (const EDatabaseError& E) {
    EXPECT_TRUE(E.ConnectionLost()) << E.Message();
    EXPECT_FALSE(E.Message().empty());
  }
  ASSERT_EQ(1u, Reports.size());
  EXPECT_FALSE(Database().Connected());
  EXPECT_FALSE(Q->Transaction()->Active());

  // While the server is down a reconnection fails with the client's message; the cached
  // queries of the lost connection are released by the attempt.
  try {
    Database().Open();
    FAIL() << "connected without a server";
  } catch (const EDatabaseError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("network")) << E.Message();
  }
  EXPECT_EQ(0, FHandle);
  EXPECT_EQ(0, CachedQuerySlots());

  Script("firebird-start.sh");
  Database().Open();
  EXPECT_EQ(0, Events()) << "the uncommitted report must be gone";
  RecordEvent(FHandle, 5504);
  EXPECT_EQ(1, Events());
  EXPECT_EQ(1u, Reports.size());
  Database().OnLostConnect = nullptr;
}

TEST(GetFbClientLibraryTest, LibraryOfTheFirebirdDirectoryOrTheNameOfLastResort) {
  namespace fs = std::filesystem;
  const fs::path Root = fs::temp_directory_path() / ("pelmar_fbdir_" + std::to_string(getpid()));
  fs::remove_all(Root);
  const fs::path WithLib = Root / "withlib";
  const fs::path Flat = Root / "flat";
  const fs::path Both = Root / "both";
  const fs::path None = Root / "none";
  for (const fs::path& D : {WithLib / "lib", Flat, Both / "lib", None})
    fs::create_directories(D);
  for (const fs::path& F : {WithLib / "lib" / "libfbclient.so.2", Flat / "libfbclient.so.2",
                            Both / "lib" / "libfbclient.so.2", Both / "libfbclient.so.2"})
    std::ofstream(F) << "x";
  struct {
    std::string Dir;
    std::string Want;
  } Cases[] = {
      {"", "libfbclient.so.2"},
      {WithLib.string(), (WithLib / "lib" / "libfbclient.so.2").string()},
      {Flat.string(), (Flat / "libfbclient.so.2").string()},
      {Both.string(), (Both / "lib" / "libfbclient.so.2").string()},
      {None.string(), "libfbclient.so.2"},
      {(Root / "missing").string(), "libfbclient.so.2"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, GetFbClientLibrary(C.Dir)) << C.Dir;
  fs::remove_all(Root);
}

// The embedded engine: a database file opened without a server.
class DBUtilsEmbeddedTest : public test::TFirebirdEmbeddedTest {
 protected:
  std::int32_t FHandle = 0;
};

TEST_F(DBUtilsEmbeddedTest, CachedQueriesAndSettingsWorkWithoutAServer) {
  EXPECT_EQ(5, GetSettingInt(5, "Report tolerance", 0));
  EXPECT_EQ(EncodeDate(2015, 1, 4), GetSettingDate(5, "Database version", 0));
  for (int I = 0; I < 3; ++I) {
    TQuery* Q = GetQuery(FHandle, CidEvent);
    Q->ParamByName("EVENT_CODE").SetAsInteger(1304 + I);
    Q->ParamByName("ENABLE_ALARMS").SetAsBoolean(false);
    Q->ExecQuery();
    CommitTransaction(Q->Transaction());
  }
  EXPECT_EQ(1, FHandle);
  auto Rows = Select("SELECT EVENT_CODE, ENABLE_ALARMS FROM CID_EVENTS ORDER BY ID");
  ASSERT_EQ(3u, Rows.size());
  EXPECT_EQ(1306, Rows[2][0].AsInteger());
  EXPECT_FALSE(Rows[2][1].AsBoolean());
}

}  // namespace
}  // namespace pelmar
