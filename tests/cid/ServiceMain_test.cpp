// ctest-label: db
// ctest-foreign-schema
#include "ServiceMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DBUtils.h"
#include "Debug.h"
#include "FakeClock.h"
#include "FakeCore.h"
#include "FirebirdFixture.h"
#include "LoopbackPeer.h"
#include "Records.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using test::TCoreMessage;
using test::TFakeClock;
using test::TFakeCore;

// A report frame: "5" receiver "01" line "1" " " "18" account, qualifier, code, group, zone.
std::string Frame(const std::string& Account, char Q, const std::string& Code,
                  const std::string& Group, const std::string& Zone) {
  return "5011 18" + Account + Q + Code + Group + Zone + std::string(1, '\x14');
}

std::string Bytes(const TBufferProtocol& B) {
  return test::ContentOf(B);
}

class TFakeHost : public TServiceHostLink {
 public:
  void ServeRequests() override { ++Served; }
  bool Terminated() const override { return Stop.load(); }
  void LogInfo(const std::string& Text) override { Add("info: " + Text); }
  void LogWarning(const std::string& Text) override { Add("warning: " + Text); }
  void LogError(const std::string& Text) override { Add("error: " + Text); }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> Guard(Lock);
    return Log;
  }

  std::atomic<bool> Stop{false};
  std::atomic<int> Served{0};

 private:
  void Add(const std::string& Line) {
    std::lock_guard<std::mutex> Guard(Lock);
    Log.push_back(Line);
  }
  std::mutex Lock;
  std::vector<std::string> Log;
};

// The installation the fake Core service hands out: the service, one TCP channel to a loopback
// receiver, an account 1234 with group 1 and zone 3, a disabled account 4321 and an account 5555
// in maintenance.
class ServiceMainTest : public test::TFirebirdTest {
 protected:
  void SetUp() override {
    test::TFirebirdTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    Database().Close();
    Settings.CorePort = Core.Port();
    Settings.DBServer = Login().Host;
    Settings.DBPort = static_cast<std::uint16_t>(Login().Port);
    Settings.DBName = DatabaseName().substr(DatabaseName().find(':') + 1);
    Settings.DBUser = Login().User;
    Settings.DBPassword = Login().Password;
    SetDebugLogHook([this](const std::string& L) {
      std::lock_guard<std::mutex> Guard(LinesLock);
      Lines.push_back(L);
    });
    Execute(
        "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) "
        "VALUES (500, 'Warehouse', TRUE, 21845, TRUE)");
  }

  void TearDown() override {
    SetDebugLogHook(nullptr);
    if (Worker.joinable()) {
      Host.Stop = true;
      Worker.join();
    }
    test::TFirebirdTest::TearDown();
  }

  // The last debug-log lines, for failure messages.
  std::vector<std::string> DebugTail() {
    std::lock_guard<std::mutex> Guard(LinesLock);
    return std::vector<std::string>(Lines.size() > 30 ? Lines.end() - 30 : Lines.begin(),
                                    Lines.end());
  }

  std::string Installation() {
    std::vector<std::unique_ptr<TCustomSysObject>> Objects;
    auto Service = TCustomSysObject::Create<TSysService>();
    Service->SetID(5);
    Service->SetServiceID(5);
    Service->SetName("ContactID");
    Objects.push_back(std::move(Service));
    auto Channel = TCustomSysObject::Create<TCIDChannel>();
    Channel->SetID(200);
    Channel->SetName("Receiver 1");
    Channel->SetComType(1);
    Channel->SetComAddress(Receiver.Address());
    Channel->SetAckEvents(true);
    Channel->SetReceiverTimeout(30);
    Channel->SetEnabled(true);
    Objects.push_back(std::move(Channel));
    auto AddAccount = [&](std::int32_t ID, std::uint16_t Idx, bool Enabled) {
      auto A = TCustomSysObject::Create<TCIDAccount>();
      A->SetID(ID);
      A->SetName("Account " + std::to_string(ID));
      A->SetAccountIdx(Idx);
      A->SetEnabled(Enabled);
      Objects.push_back(std::move(A));
    };
    AddAccount(300, 0x1234, true);
    AddAccount(400, 0x4321, false);
    AddAccount(500, 0x5555, true);
    auto Group = TCustomSysObject::Create<TCIDGroup>();
    Group->SetID(310);
    Group->SetName("Shop");
    Group->SetAccountID(300);
    Group->SetGroupIdx(1);
    Objects.push_back(std::move(Group));
    auto Zone = TCustomSysObject::Create<TCIDZone>();
    Zone->SetID(320);
    Zone->SetName("Front");
    Zone->SetAccountID(300);
    Zone->SetZoneIdx(3);
    Objects.push_back(std::move(Zone));
    TBufferProtocol B(32);
    B.WriteInteger(static_cast<std::int32_t>(Objects.size()));
    for (auto& O : Objects) {
      B.WriteByte(olaAdded);
      O->SaveToBuffer(B);
    }
    // An account frees the groups and zones linked to it: they go first. All of them are gone
    // before the service makes its own objects of the same IDs.
    while (!Objects.empty())
      Objects.pop_back();
    return Bytes(B);
  }

  // Runs the module on a worker thread of its own and brings it online.
  void StartOnline() {
    const std::string List = Installation();
    Worker = std::thread([this] {
      TDataModule1 M(Host, Settings);
      {
        std::lock_guard<std::mutex> Guard(FLock);
        Module = &M;
      }
      try {
        M.RunService();
      } catch (const std::exception& E) {
        ADD_FAILURE() << "RunService raised " << E.what();
      }
      std::lock_guard<std::mutex> Guard(FLock);
      Module = nullptr;
    });
    try {
      Core.AcceptAndLogin();
    } catch (const std::exception& E) {
      FAIL() << E.what() << "; host log: " << testing::PrintToString(Host.Lines());
    }
    TCoreMessage Get = Core.ReadCommand("GetSysObjects");
    Core.ReplyData(Get.Id, List);
    TCoreMessage Set = Core.ReadCommand("SetSysObjects");
    Core.ReplyDone(Set.Id);
    SetParams = Set.Params;
    TCoreMessage Register = Core.ReadCommand("RegisterForEvents");
    Core.ReplyDone(Register.Id);
    Peer = Receiver.Accept(20000);
    ASSERT_TRUE(Peer.Valid()) << "the channel did not connect; host log: "
                              << testing::PrintToString(Host.Lines())
                              << "; debug log: " << testing::PrintToString(DebugTail());
  }

  // Reads what the service sends, answering its commands, up to its "ReturnCommand"; returns that
  // command's parameters (the result of a pushed command).
  std::string ReturnOfCommand(std::vector<TCoreMessage>* Events = nullptr) {
    for (;;) {
      TCoreMessage M = Core.ReadMessage();
      if (M.IsEvent) {
        if (Events != nullptr)
          Events->push_back(M);
        continue;
      }
      Core.ReplyDone(M.Id);
      if (M.Name == "ReturnCommand")
        return M.Params;
    }
  }

  // Sends a frame and answers the acknowledgement byte, or "" when none came in time.
  std::string Send(const std::string& F, int WaitMs = 5000) {
    Peer.Send(F);
    return Peer.Receive(1, WaitMs);
  }

  std::vector<std::vector<TVariant>> Events() {
    return Select(
        "SELECT ACCOUNT_ID, OBJECT_ID, EVENT_CODE, ACCOUNT_IDX, GROUP_IDX, ZONE_IDX, "
        "ENABLE_ALARMS FROM CID_EVENTS ORDER BY ID");
  }

  static std::string Text(const TVariant& V) { return V.IsNull() ? "null" : V.AsString(); }

  TFakeCore Core;
  test::TLoopbackListener Receiver;
  test::TLoopbackPeer Peer;
  TFakeHost Host;
  TServiceSettings Settings;
  std::string SetParams;
  std::thread Worker;
  std::mutex FLock;
  TDataModule1* Module = nullptr;
  std::mutex LinesLock;
  std::vector<std::string> Lines;  // debug-log lines, where a test collects them
};

TEST_F(ServiceMainTest, ReportsAreRecordedWithTheirCodesBeforeTheyAreAcknowledged) {
  StartOnline();
  struct {
    std::string Frame;
    std::vector<std::string> Row;  // ACCOUNT_ID .. ENABLE_ALARMS
  } Cases[] = {
      {Frame("1234", 'E', "130", "01", "003"), {"300", "310", "1304", "4660", "1", "3", "True"}},
      {Frame("1234", 'R', "130", "01", "003"), {"300", "310", "5504", "4660", "1", "3", "True"}},
      {Frame("1234", 'E', "602", "00", "000"), {"300", "null", "2538", "4660", "0", "0", "True"}},
      {Frame("1234", 'E', "130", "07", "003"), {"300", "null", "1304", "4660", "7", "3", "True"}},
      {Frame("9999", 'E', "130", "01", "003"), {"null", "null", "9305", "39321", "1", "3", "True"}},
      {Frame("5555", 'E', "130", "01", "001"), {"500", "null", "1304", "21845", "1", "1", "False"}},
  };
  std::size_t Row = 0;
  for (const auto& Case : Cases) {
    EXPECT_EQ("\x06", Send(Case.Frame)) << Case.Frame;
    auto Rows = Events();
    ASSERT_EQ(++Row, Rows.size()) << Case.Frame;
    for (std::size_t Col = 0; Col < 7; ++Col)
      EXPECT_EQ(Case.Row[Col], Text(Rows.back()[Col])) << Case.Frame << " column " << Col;
  }
  // A disabled account's report is acknowledged and dropped.
  EXPECT_EQ("\x06", Send(Frame("4321", 'E', "130", "01", "003")));
  EXPECT_EQ(Row, Events().size());
}

TEST_F(ServiceMainTest, StatusesAreStoredAndAnnounced) {
  StartOnline();
  EXPECT_EQ("\x06", Send(Frame("1234", 'E', "130", "01", "003")));
  auto Statuses = Select("SELECT OBJECT_ID FROM SYS_OBJECT_STATUSES ORDER BY OBJECT_ID");
  std::vector<std::int32_t> Ids;
  for (auto& R : Statuses)
    Ids.push_back(R[0].AsInteger());
  EXPECT_EQ((std::vector<std::int32_t>{310, 320}), Ids) << "group alarm bit and zone alarm bit";
  std::vector<std::int32_t> Announced;
  while (Core.DataPending(500)) {
    TCoreMessage M = Core.ReadMessage();
    if (!M.IsEvent) {
      Core.ReplyDone(M.Id);
      continue;
    }
    if (M.Name == "SysObjectStatus") {
      Announced.push_back(test::BufferOfContent(M.Params)->ReadInteger());
    }
  }
  EXPECT_NE(std::find(Announced.begin(), Announced.end(), 310), Announced.end());
  EXPECT_NE(std::find(Announced.begin(), Announced.end(), 320), Announced.end());
  EXPECT_NE(std::find(Announced.begin(), Announced.end(), 200), Announced.end())
      << "the channel's state goes to the Core service, not to the database";
}

TEST_F(ServiceMainTest, ConfigurationBlockAndServiceObject) {
  StartOnline();
  // The own record that went back with "SetSysObjects" carries the configuration.
  std::unique_ptr<TBufferProtocol> Sent = test::BufferOfContent(SetParams);
  TBufferProtocol& P = *Sent;
  ASSERT_GE(P.ReadInteger(), 1);
  ASSERT_EQ(olaAdded, P.ReadByte());
  auto Own = TCustomSysObject::Create<TSysService>();
  Own->LoadFromBuffer(P);
  EXPECT_EQ(5, Own->ID());
  EXPECT_EQ("Pelmar ContactID Service", Own->Name());
  EXPECT_EQ(21, Own->Config().Size());
  TBufferProtocol& C = Own->Config();
  C.SetPosition(0);
  EXPECT_DOUBLE_EQ(TDataModule1::BuildDate, C.ReadDateTime());
  EXPECT_DOUBLE_EQ(EncodeDate(2015, 1, 4), C.ReadDateTime());
  EXPECT_EQ(5, C.ReadByte());
  EXPECT_EQ(30, C.ReadInteger());
}

TEST_F(ServiceMainTest, ForceRestoreResetsTheAccountAndLogsWithTheUser) {
  StartOnline();
  EXPECT_EQ("\x06", Send(Frame("1234", 'E', "130", "01", "003")));
  TBufferProtocol Params(32);
  Params.WriteInteger(300);
  Params.WriteString("checked on site");
  Core.Push({TFakeCore::PushedCommand(0, 77, "ForceRestore", Bytes(Params))});
  EXPECT_EQ(std::string(1, '\0'), ReturnOfCommand());
  std::vector<std::vector<TVariant>> Log;
  for (int I = 0; I < 500 && Log.empty(); ++I) {
    std::this_thread::sleep_for(10ms);
    Log = Select(
        "SELECT USER_ID, EVENT_CODE, OBJECT_ID, PARAM1, CONTEXT_USER_ID FROM SYS_EVENT_LOG "
        "WHERE EVENT_CODE = 9308");
  }
  ASSERT_EQ(1u, Log.size());
  EXPECT_EQ(77, Log[0][0].AsInt64());
  EXPECT_EQ(300, Log[0][2].AsInteger());
  EXPECT_EQ("checked on site", Log[0][3].AsString());
  auto Status = Select(
      "SELECT OBJECT_ID, STATUS FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID IN (310, 320) "
      "ORDER BY OBJECT_ID");
  ASSERT_EQ(2u, Status.size());
  EXPECT_EQ(std::string("\x10\x00", 2), Status[0][1].AsString()) << "group: only bit 4 left";
  EXPECT_EQ(std::string("\x00\x00", 2), Status[1][1].AsString()) << "zone cleared";
}

// "SetSysObject" from the Core service: the zone is saved to its view, the event log names the
// change with the user, and the user stands in the database context meanwhile.
TEST_F(ServiceMainTest, ObjectChangedByTheCoreServiceIsSavedAndLoggedWithItsUser) {
  StartOnline();
  // A clone is linked to no account, so it cannot touch the service's own objects.
  auto Zone = TCustomSysObject::CreateClone<TCIDZone>(nullptr);
  Zone->SetID(320);
  Zone->SetName("Front door");
  Zone->SetAccountID(300);
  Zone->SetZoneIdx(3);
  TBufferProtocol Action(32);
  Action.WriteByte(oaChanged);
  Zone->SaveToBuffer(Action);
  Core.Push({TFakeCore::PushedCommand(0, 42, "SetSysObject", Bytes(Action))});
  EXPECT_EQ(std::string(1, '\0'), ReturnOfCommand());
  auto Row = Select("SELECT NAME, ACCOUNT_ID, ZONE_IDX FROM VW_CID_ACCOUNT_ZONES WHERE ID = 320");
  ASSERT_EQ(1u, Row.size());
  EXPECT_EQ("Front door", Row[0][0].AsString());
  EXPECT_EQ(300, Row[0][1].AsInteger());
  std::vector<std::vector<TVariant>> Log;
  for (int I = 0; I < 500 && Log.empty(); ++I) {
    std::this_thread::sleep_for(10ms);
    Log = Select(
        "SELECT USER_ID, PRIORITY, EVENT_CODE, PARAM1, CONTEXT_USER_ID FROM SYS_EVENT_LOG WHERE "
        "EVENT_CODE = 11");
  }
  ASSERT_EQ(1u, Log.size());
  EXPECT_EQ(42, Log[0][0].AsInt64());
  EXPECT_EQ("Зона \"Front door\" изменено", Log[0][3].AsString());
}

TEST_F(ServiceMainTest, DatabaseFailureWithholdsTheAcknowledgementUntilTheResendIsStored) {
  // A switch that makes every recording fail, set up before the service prepares its statement.
  Execute("CREATE TABLE TEST_SWITCH (DOWN BOOLEAN)");
  Execute("INSERT INTO TEST_SWITCH VALUES (FALSE)");
  Execute("CREATE EXCEPTION E_TEST_DOWN 'the database is down'");
  // The table behind PR_CID_EVENT differs between the two schemas.
  const char* Schema = std::getenv("PELMAR_TEST_SCHEMA");
  const std::string Table = Schema && std::string(Schema).find("foreign") != std::string::npos
                                ? "T_ALARM_QUEUE"
                                : "CID_EVENTS";
  Execute("CREATE TRIGGER TEST_DOWN FOR " + Table +
          " BEFORE INSERT AS BEGIN IF (EXISTS(SELECT 1 FROM TEST_SWITCH WHERE DOWN)) THEN "
          "EXCEPTION E_TEST_DOWN; END");
  StartOnline();
  EXPECT_EQ("\x06", Send(Frame("1234", 'E', "130", "01", "003")));

  Execute("UPDATE TEST_SWITCH SET DOWN = TRUE");
  const std::string Report = Frame("1234", 'R', "130", "01", "003");
  EXPECT_EQ("", Send(Report, 500)) << "no acknowledgement for a report that was not stored";
  EXPECT_EQ(1u, Events().size());
  {
    std::lock_guard<std::mutex> Guard(LinesLock);
    auto Failure = std::find_if(Lines.begin(), Lines.end(), [](const std::string& L) {
      return L.rfind("Exception in HandleCIDEvent: ", 0) == 0;
    });
    ASSERT_NE(Lines.end(), Failure);
    EXPECT_NE(std::string::npos, Failure->find("the database is down")) << *Failure;
  }

  // The receiver sends the report again once the database works: now it is stored.
  Execute("UPDATE TEST_SWITCH SET DOWN = FALSE");
  EXPECT_EQ("\x06", Send(Report));
  auto Rows = Events();
  ASSERT_EQ(2u, Rows.size());
  EXPECT_EQ(5504, Rows[1][2].AsInteger());
}

// The Core service adds an account whose zone is already in the list, and the account's row
// cannot be taken: the requester hears why, the zone stays in the list and is not announced as
// deleted, and it joins the account once the row is mended and the account is sent again.
TEST_F(ServiceMainTest, AccountThatFailsToLoadLeavesTheZonesItWouldHaveAdopted) {
  Execute(
      "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) "
      "VALUES (600, 'Kiosk', TRUE, 24576, FALSE)");
  SetViewColumn("VW_CID_ACCOUNTS", 600, "ACCOUNT_IDX", "NULL");
  StartOnline();

  auto Pushed = [](TCustomSysObject& Obj) {
    TBufferProtocol Action(32);
    Action.WriteByte(olaAdded);
    Obj.SaveToBuffer(Action);
    return Bytes(Action);
  };
  auto Zone = TCustomSysObject::CreateClone<TCIDZone>(nullptr);
  Zone->SetID(620);
  Zone->SetName("Kiosk door");
  Zone->SetAccountID(600);
  Zone->SetZoneIdx(5);
  Core.Push({TFakeCore::PushedCommand(0, 42, "SetSysObject", Pushed(*Zone))});
  EXPECT_EQ(std::string(1, '\0'), ReturnOfCommand());

  auto Account = TCustomSysObject::CreateClone<TCIDAccount>(nullptr);
  Account->SetID(600);
  Account->SetName("Kiosk");
  Account->SetAccountIdx(0x6000);
  Account->SetEnabled(true);
  std::vector<TCoreMessage> Announced;
  Core.Push({TFakeCore::PushedCommand(0, 42, "SetSysObject", Pushed(*Account))});
  const std::string Failed = ReturnOfCommand(&Announced);
  EXPECT_NE(std::string::npos, Failed.find("Field \"ACCOUNT_IDX\" is null")) << Failed;
  for (const TCoreMessage& E : Announced)
    EXPECT_NE("SysObjectConfig", E.Name) << "announced: " << testing::PrintToString(E.Params);
  {
    std::lock_guard<std::mutex> Guard(FLock);
    ASSERT_NE(nullptr, Module);
    TCustomSysObject* Found = nullptr;
    EXPECT_TRUE(Module->ServiceClient().Objects()->FindById(620, Found));
    EXPECT_FALSE(Module->ServiceClient().Objects()->FindById(600, Found));
  }
  // Meanwhile the panel's reports count as those of an unknown account.
  EXPECT_EQ("\x06", Send(Frame("6000", 'E', "130", "00", "005")));

  Execute("UPDATE VW_CID_ACCOUNTS SET ACCOUNT_IDX = 24576 WHERE ID = 600");
  Core.Push({TFakeCore::PushedCommand(0, 42, "SetSysObject", Pushed(*Account))});
  EXPECT_EQ(std::string(1, '\0'), ReturnOfCommand());
  EXPECT_EQ("\x06", Send(Frame("6000", 'E', "130", "00", "005")));
  auto Rows = Events();
  ASSERT_EQ(2u, Rows.size());
  EXPECT_EQ(9305, Rows[0][2].AsInteger());
  EXPECT_EQ(1304, Rows[1][2].AsInteger());
  // The zone is the account's again: the report set its alarm.
  auto Status = Select("SELECT STATUS FROM SYS_OBJECT_STATUSES WHERE OBJECT_ID = 620");
  ASSERT_EQ(1u, Status.size());
  EXPECT_EQ(std::string("\x01\x00", 2), Status[0][0].AsString());
}

}  // namespace
}  // namespace pelmar
