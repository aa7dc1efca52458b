// ctest-label: e2e
// ctest-foreign-schema
//
// The Contact ID service in one process against the private Firebird server, the development Core
// service and receiver simulators on loopback: statuses stored and announced, receiver presence
// events, the "ForceRestore" command, objects changed, added and deleted by the Core service,
// encrypted and serial receivers, and channels whose settings or receivers are bad while a good
// channel goes on working.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "ServiceE2E.h"
#include "TCPChannel.h"

namespace pelmar {
namespace {

const char* const ReceiveErrorText = "Ошибка получения события";
const char* const ClosedText = "Connection closed gracefully";

// An installation of one account 1234 (ID 200) with group 01 (210) and zone 001 (220), and the
// channels given as JSON objects.
std::string Installation(const std::vector<std::string>& Channels) {
  std::string List;
  for (const std::string& C : Channels)
    List += (List.empty() ? "" : ", ") + C;
  return R"({
    "service": { "name": "ContactID" },
    "channels": [ )" +
         List + R"( ],
    "accounts": [ { "id": 200, "name": "Shop", "enabled": true, "number": "1234" } ],
    "groups": [ { "id": 210, "name": "Floor", "account": 200, "number": "01" } ],
    "zones": [ { "id": 220, "name": "Door", "account": 200, "number": "001" } ]
  })";
}

std::string TcpChannel(int ID, const std::string& Name, std::uint16_t Port, bool Enabled = true) {
  return R"({ "id": )" + std::to_string(ID) + R"(, "name": ")" + Name + R"(", "enabled": )" +
         (Enabled ? "true" : "false") + R"(, "comType": "tcp", "comAddress": "127.0.0.1:)" +
         std::to_string(Port) + R"(", "ackEvents": true, "receiverTimeout": 60 })";
}

// A row of the event log as text: "code/priority/user/param1/param2", NULL as "-".
std::string LogRow(const std::vector<TVariant>& Row) {
  std::string S;
  for (const TVariant& V : Row)
    S += (S.empty() ? "" : "/") + (V.IsNull() ? std::string("-") : V.AsString());
  return S;
}

std::vector<std::string> LogRows(const std::vector<std::vector<TVariant>>& Rows) {
  std::vector<std::string> Out;
  for (const auto& Row : Rows)
    Out.push_back(LogRow(Row));
  return Out;
}

class ContactIDObjectsTest : public test::TServiceE2ETest {
 protected:
  // Reports of the simulator Name that were acknowledged, once it has ended.
  std::size_t AcknowledgedAfterExit(const std::string& Name) {
    EXPECT_EQ(0, Receiver(Name).WaitExit()) << testing::PrintToString(Receiver(Name).Lines());
    return ReceiverFrames(Name, "ACK").size();
  }

  // The event codes, group and zone numbers recorded through PR_CID_EVENT, in order:
  // "1304/1/1".
  std::vector<std::string> Recorded() {
    std::vector<std::string> Out;
    for (auto& Row : Select("SELECT EVENT_CODE, GROUP_IDX, ZONE_IDX FROM CID_EVENTS ORDER BY ID"))
      Out.push_back(LogRow(Row));
    return Out;
  }
};

// Every status change of an account, a group and a zone is stored in SYS_OBJECT_STATUSES and
// announced to the Core service; the statuses stored before the start are where the objects
// begin (the account's overdue bit, the group armed).
TEST_F(ContactIDObjectsTest, StatusesAreStoredAndAnnouncedToTheCoreService) {
  Execute(
      "INSERT INTO VW_CID_ACCOUNTS (ID, NAME, ENABLED, ACCOUNT_IDX, MAINTENANCE) "
      "VALUES (200, 'Shop', TRUE, 4660, FALSE)");
  Execute(
      "INSERT INTO VW_CID_ACCOUNT_GROUPS (ID, NAME, ENABLED, ACCOUNT_ID, GROUP_IDX) "
      "VALUES (210, 'Floor', TRUE, 200, 1)");
  Execute("INSERT INTO SYS_OBJECT_STATUSES (OBJECT_ID, STATUS) VALUES (200, X'01')");
  Execute("INSERT INTO SYS_OBJECT_STATUSES (OBJECT_ID, STATUS) VALUES (210, X'0100')");

  const auto Port = StartReceiver(
      "receiver", {"--tcp", "0", "--report", "1234:E130:01:001", "--report", "1234:E401:01:000"});
  StartCore(Installation({TcpChannel(101, "Receiver", Port)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();
  ASSERT_EQ(2u, AcknowledgedAfterExit("receiver"));

  // Burglary: group alarm and zone alarm; opening: the armed group disarmed, which also ends its
  // alarm and marks it disarmed since armed. Any report ends the account's overdue condition.
  const struct {
    std::int32_t ID;
    const char* Stored;
    const char* Announced;
  } Want[] = {
      {200, "00", "normal (state 0x00)"},
      {210, "10 00", "disarmed since armed (state 0x10, flags 0x00)"},
      {220, "01 00", "alarm (state 0x0001)"},
  };
  for (const auto& W : Want) {
    EXPECT_TRUE(WaitUntil([&] { return StoredStatus(W.ID) == W.Stored; }))
        << W.ID << ": " << StoredStatus(W.ID);
    EXPECT_NE(std::string::npos, WaitCoreStatus(W.ID, W.Announced).find(W.Announced)) << W.ID;
  }
  // The group went through armed with alarm; the Core service heard every step.
  EXPECT_NE("", Core().WaitLine("(Group): armed, alarm (state 0x09, flags 0x00)"));
  EXPECT_NE("", Core().WaitLine("event SysObjectStatus: 200 \"Shop\" (Account): normal"));
  // Channel states go to the Core service but are not stored.
  EXPECT_NE("", Core().WaitLine("event SysObjectStatus: 101 \"Receiver\" (Channel): state 5"));
  EXPECT_EQ("", StoredStatus(101));
}

// A receiver that connects and speaks is online (9300); when it goes away the channel reports the
// read failure and the receiver as lost (9301), and the service's status follows.
TEST_F(ContactIDObjectsTest, ReceiverOnlineAndOfflineAreLogged) {
  const auto Port = StartReceiver("receiver", {"--tcp", "0", "--report", "1234:E602:00:000"});
  StartCore(Installation({TcpChannel(101, "Receiver", Port)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();
  ASSERT_EQ(1u, AcknowledgedAfterExit("receiver"));

  const std::vector<std::string> Want = {
      "9300/-/-1/-/-", "9301/-/-1/-/-",
      "11/2/-1/" + std::string(ReceiveErrorText) + "/" + ClosedText};
  std::vector<std::string> Got;
  EXPECT_TRUE(WaitUntil([&] {
    Got = LogRows(EventLog(101));
    return Got.size() >= Want.size();
  }));
  EXPECT_EQ(Want, Got);
  EXPECT_EQ(std::vector<std::string>{"2538/0/0"}, Recorded());

  const std::string Channel = WaitCoreStatus(101, ClosedText);
  EXPECT_NE(std::string::npos, Channel.find("state 1 (not connected)")) << Channel;
  // Online while the receiver was there, a fault once it is gone.
  EXPECT_NE("", Core().WaitLine("(Service): online, code 2 (online), \"в сети\""));
  const std::string Service = WaitCoreStatus(5, "Один или несколько каналов не в сети");
  EXPECT_NE(std::string::npos, Service.find("code 5 (fault), \"повреждение\"")) << Service;
}

// "ForceRestore" from the Core service resets the account's group and zones, stores the new
// statuses with the operator in the connection's context and logs event 9308 with the text; the
// same command for a zone does nothing.
TEST_F(ContactIDObjectsTest, ForceRestoreFromTheCoreServiceResetsTheAccount) {
  RecordWrites();
  const auto Port = StartReceiver("receiver", {"--tcp", "0", "--report", "1234:E130:01:001"});
  StartCore(Installation({TcpChannel(101, "Receiver", Port)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();
  ASSERT_EQ(1u, AcknowledgedAfterExit("receiver"));
  ASSERT_TRUE(WaitUntil([&] { return StoredStatus(220) == "01 00"; })) << StoredStatus(220);
  EXPECT_EQ("08 00", StoredStatus(210));

  EXPECT_EQ("ok", CoreCommand("restore 220 user=7 Not an account").back());
  EXPECT_EQ("ok", CoreCommand("restore 200 user=7 Cleared by the operator").back());
  EXPECT_NE(std::string::npos,
            Core().WaitLine("answer to ForceRestore of 200").find("user 7: done"));

  EXPECT_TRUE(WaitUntil([&] { return StoredStatus(220) == "00 00"; })) << StoredStatus(220);
  EXPECT_EQ("10 00", StoredStatus(210));
  EXPECT_NE(
      std::string::npos,
      WaitCoreStatus(210, "disarmed since armed (state 0x10, flags 0x00)").find("state 0x10"));
  EXPECT_NE(std::string::npos, WaitCoreStatus(220, "normal (state 0x0000)").find("normal"));

  auto Rows = WaitRows(
      "SELECT EVENT_CODE, PRIORITY, USER_ID, PARAM1, PARAM2 FROM SYS_EVENT_LOG "
      "WHERE EVENT_CODE = 9308 ORDER BY ID");
  EXPECT_EQ(std::vector<std::string>{"9308/-/7/Cleared by the operator/-"}, LogRows(Rows));
  EXPECT_TRUE(WaitRows("SELECT OBJECT_ID FROM SYS_EVENT_LOG WHERE EVENT_CODE = 9308 AND "
                       "OBJECT_ID = 200")
                  .size() == 1);
  // The report's changes carry no user; the command's carry the operator.
  EXPECT_EQ((std::vector<std::string>{"", "7"}), WriteUsers("SYS_OBJECT_STATUSES", 210));
  EXPECT_EQ((std::vector<std::string>{"", "7"}), WriteUsers("SYS_OBJECT_STATUSES", 220));
}

// Objects changed, added and deleted from the Core service are written to the views while the
// operator's ID is in the connection's context, each with its event-log entry; an added channel
// and an added zone work at once.
TEST_F(ContactIDObjectsTest, ObjectsChangedAddedAndDeletedFromTheCoreService) {
  RecordWrites();
  const auto Port = StartReceiver("receiver", {"--tcp", "0", "--stay"});
  const auto LatePort = StartReceiver("late", {"--tcp", "0", "--report", "1234:E130:01:002"});
  StartCore(Installation({TcpChannel(101, "Receiver", Port)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();
  ASSERT_NE("", Core().WaitLine("command SetSysObjects"));

  const struct {
    std::string Command;
    std::string Answer;  // what the Core service prints when the service answered
    std::string Check;   // one value that shows the change in the view
    std::string Want;
    std::string LogText;
    std::string Table;  // the view written, and the object, with the users of all its writes
    std::int32_t ID;
    std::vector<std::string> Users;
  } Steps[] = {
      {"set 220 name=\"Back door\" user=7",
       "answer to SetSysObject: change 220",
       "SELECT NAME FROM VW_CID_ACCOUNT_ZONES WHERE ID = 220",
       "Back door",
       "Зона \"Back door\" изменено",
       "VW_CID_ACCOUNT_ZONES",
       220,
       {"7"}},
      {"set 200 maintenance=true user=8",
       "answer to SetSysObject: change 200",
       "SELECT COUNT(*) FROM VW_CID_ACCOUNTS WHERE ID = 200 AND MAINTENANCE",
       "1",
       "Учетная запись \"Shop\" изменено",
       "VW_CID_ACCOUNTS",
       200,
       {"8"}},
      {R"(add user=9 {"type": "Zone", "id": 230, "account": 200, "number": "002", "name": "Window"})",
       "answer to SetSysObject: add 230",
       "SELECT ACCOUNT_ID || '/' || ZONE_IDX FROM VW_CID_ACCOUNT_ZONES WHERE ID = 230",
       "200/2",
       "Зона \"Window\" добавлено",
       "VW_CID_ACCOUNT_ZONES",
       230,
       {"9"}},
      {R"(add user=10 {"type": "Channel", "id": 102, "name": "Late", "enabled": true, )"
       R"("comType": "tcp", "comAddress": "127.0.0.1:)" +
           std::to_string(LatePort) + R"(", "ackEvents": true, "receiverTimeout": 60})",
       "answer to SetSysObject: add 102",
       "SELECT COM_TYPE || ' ' || COM_ADDRESS FROM VW_CID_CHANNELS WHERE ID = 102",
       "1 127.0.0.1:" + std::to_string(LatePort),
       "Канал \"Late\" добавлено",
       "VW_CID_CHANNELS",
       102,
       {"10"}},
      {"delete 230 user=11",
       "answer to SetSysObject: delete 230",
       "SELECT COUNT(*) FROM VW_CID_ACCOUNT_ZONES WHERE ID = 230",
       "0",
       "Зона \"Window\" удалено",
       "VW_CID_ACCOUNT_ZONES",
       230,
       {"9", "11"}},
  };
  std::size_t Done = 0;
  for (const auto& S : Steps) {
    if (S.Command.rfind("delete", 0) == 0) {
      // Before the zone goes: the added channel's receiver reports on the added zone of the
      // account now in maintenance.
      ASSERT_EQ(1u, AcknowledgedAfterExit("late"));
      EXPECT_EQ(std::vector<std::string>{"1304/1/2"}, Recorded());
      auto Alarms = Select("SELECT ENABLE_ALARMS FROM CID_EVENTS");
      ASSERT_EQ(1u, Alarms.size());
      EXPECT_FALSE(Alarms[0][0].AsBoolean()) << "the account is in maintenance";
      EXPECT_TRUE(WaitUntil([&] { return StoredStatus(230) == "01 00"; }));
    }
    ASSERT_EQ("ok", CoreCommand(S.Command).back()) << S.Command;
    EXPECT_NE(std::string::npos, Core().WaitLine(S.Answer).find(": done")) << S.Command;
    auto Value = Select(S.Check);
    ASSERT_EQ(1u, Value.size()) << S.Check;
    EXPECT_EQ(S.Want, Value[0][0].AsString()) << S.Command;
    auto Log = WaitRows(
        "SELECT PARAM1, USER_ID, PRIORITY FROM SYS_EVENT_LOG WHERE EVENT_CODE = 11 "
        "AND OBJECT_ID IS NULL ORDER BY ID",
        ++Done);
    ASSERT_EQ(Done, Log.size()) << S.Command;
    EXPECT_EQ(S.LogText, Log.back()[0].AsString()) << S.Command;
    EXPECT_EQ(S.Users.back(), Log.back()[1].AsString()) << S.Command;
    EXPECT_TRUE(Log.back()[2].IsNull()) << S.Command;
    EXPECT_EQ(S.Users, WriteUsers(S.Table, S.ID)) << S.Command;
  }
  // The deleted zone's stored status went with it.
  EXPECT_EQ("", StoredStatus(230));
  EXPECT_NE("", Core().WaitLine("event SysObjectConfig: deleted 230"));
}

// A channel whose link is encrypted (AES-CFB-128): the reports are recorded and acknowledged.
// The channel objects make plain TCP links, so every channel of this service gets a factory of
// encrypted ones once the objects are loaded.
TEST_F(ContactIDObjectsTest, EncryptedReceiverReportsAreRecordedAndAcknowledged) {
  const std::string Key = "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10";
  const auto Port = StartReceiver("receiver", {"--tcp", "0", "--key", Key, "--report",
                                               "1234:E130:01:001", "--report", "1234:R130:01:001"});
  StartCore(Installation({TcpChannel(101, "Receiver", Port)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService([Key](TDataModule1& Module) {
    TServiceClient& Client = Module.ServiceClient();
    Client.OnListLoaded = [&Client, Key, Loaded = Client.OnListLoaded] {
      if (Loaded)
        Loaded();
      static const std::string LockName = "encrypted channels";
      TSysObjectList& Objects = *Client.Objects();
      TCriticalSectionGuard Guard(Objects.CriticalSection(), LockName);
      std::int32_t Index = 0;
      TServerChannel* Channel = nullptr;
      while (Objects.FindNext(Index, true, Channel))
        Channel->SetChannelFactory([Key](std::uint8_t) {
          auto Link = std::make_unique<TTCPChannel>();
          Link->SetEncryption(true);
          Link->SetEncryptionKey(Key);
          return std::unique_ptr<TCustomChannel>(std::move(Link));
        });
    };
  });
  ASSERT_EQ(2u, AcknowledgedAfterExit("receiver"));
  EXPECT_EQ((std::vector<std::string>{"1304/1/1", "5504/1/1"}), Recorded());
  EXPECT_FALSE(ReceiverFrames("receiver", "ENCRYPTED").empty());
}

// A serial channel whose port is a pseudo-terminal of the simulator.
TEST_F(ContactIDObjectsTest, SerialReceiverReportsAreRecordedAndAcknowledged) {
  test::TSerialPortDir Ports;
  StartReceiver("receiver", {"--serial", "--report", "1234:E130:01:001"});
  const std::string Device = SerialDevice("receiver");
  ASSERT_NE("", Device);
  Ports.Link(1, Device);
  StartCore(Installation({R"({ "id": 101, "name": "Serial", "enabled": true, "comType": "serial",
                               "comAddress": "1/9600-8-N-1", "ackEvents": true,
                               "receiverTimeout": 60 })"}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();
  EXPECT_EQ(1u, AcknowledgedAfterExit("receiver"));
  EXPECT_EQ(std::vector<std::string>{"1304/1/1"}, Recorded());
  auto Log = WaitRows("SELECT EVENT_CODE FROM SYS_EVENT_LOG WHERE OBJECT_ID = 101 ORDER BY ID");
  ASSERT_FALSE(Log.empty());
  EXPECT_EQ(9300, Log[0][0].AsInteger());
  // The port's device is named through the environment, which the directory restores.
  StopService();
}

// A channel object whose settings cannot make a link (stored so in the installation's database)
// fails every work cycle: the failure reaches the work loop, which reports it at most ten times
// in a row and shows it as the service's error status. A good channel with a higher ID is polled
// and records and acknowledges all the same, and the Core service's correction of the bad object
// is taken and works at the next poll.
struct TBadChannel {
  const char* Name;
  int ComType;
  const char* ComAddress;
  const char* Message;
};

void PrintTo(const TBadChannel& Bad, std::ostream* Out) {
  *Out << Bad.Name;
}

class ContactIDBadChannelTest : public ContactIDObjectsTest,
                                public testing::WithParamInterface<TBadChannel> {};

TEST_P(ContactIDBadChannelTest, FailsEveryCycleWithoutStoppingTheOthersUntilCorrected) {
  const TBadChannel& Bad = GetParam();
  Execute(
      "INSERT INTO VW_CID_CHANNELS (ID, NAME, ENABLED, ACK_EVENTS, COM_TYPE, COM_ADDRESS, "
      "RECEIVER_TIMEOUT) VALUES (101, 'Broken', TRUE, TRUE, " +
      std::to_string(Bad.ComType) + ", '" + Bad.ComAddress + "', 60)");
  const auto GoodPort = StartReceiver("good", {"--tcp", "0", "--stay", "--retries", "0", "--report",
                                               "1234:E130:01:001", "--report", "1234:R130:01:001"});
  const auto FixedPort =
      StartReceiver("fixed", {"--tcp", "0", "--stay", "--report", "1234:E602:00:000"});
  StartCore(Installation({TcpChannel(101, "Broken", 1), TcpChannel(102, "Good", GoodPort)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();

  // Each acknowledged at the first attempt, within the simulator's time-out.
  EXPECT_TRUE(WaitUntil([&] { return ReceiverFrames("good", "ACK").size() == 2; }));
  EXPECT_EQ(0u, ReceiverFrames("good", "FAILED").size());
  EXPECT_EQ((std::vector<std::string>{"1304/1/1", "5504/1/1"}), Recorded());

  std::vector<std::string> Errors;
  EXPECT_TRUE(WaitUntil([&] { return (Errors = Host.Errors()).size() >= 10; }));
  for (const std::string& E : Errors) {
    EXPECT_EQ(0u, E.rfind("Exception from work handler:\r\n", 0)) << E;
    EXPECT_NE(std::string::npos, E.find(Bad.Message)) << E;
  }
  ASSERT_GE(Errors.size(), 10u);
  EXPECT_NE(std::string::npos, Errors[9].find("\r\n(Further repeating messages suppressed)"));
  const std::string Service = WaitCoreStatus(5, "code 3 (error)");
  EXPECT_NE(std::string::npos, Service.find(Bad.Message)) << Service;

  EXPECT_EQ("ok", CoreCommand("set 101 comType=tcp comAddress=127.0.0.1:" +
                              std::to_string(FixedPort) + " user=7")
                      .back());
  EXPECT_NE(std::string::npos,
            Core().WaitLine("answer to SetSysObject: change 101").find(": done"));
  EXPECT_TRUE(WaitUntil([&] { return ReceiverFrames("fixed", "ACK").size() == 1; }));
  EXPECT_EQ((std::vector<std::string>{"1304/1/1", "5504/1/1", "2538/0/0"}), Recorded());
  std::vector<std::string> Log;
  EXPECT_TRUE(WaitUntil([&] { return !(Log = LogRows(EventLog(101))).empty(); }));
  EXPECT_EQ(std::vector<std::string>{"9300/-/-1/-/-"}, Log);
  auto Saved = Select("SELECT COM_TYPE || ' ' || COM_ADDRESS FROM VW_CID_CHANNELS WHERE ID = 101");
  ASSERT_EQ(1u, Saved.size());
  EXPECT_EQ("1 127.0.0.1:" + std::to_string(FixedPort), Saved[0][0].AsString());
  // Both receivers online: the service is well again, and the failure was reported no more.
  const std::string Well = WaitCoreStatus(5, "code 2 (online)");
  EXPECT_NE(std::string::npos, Well.find("\"в сети\"")) << Well;
  EXPECT_EQ(10u, Host.Errors().size());
}

const TBadChannel BadChannels[] = {
    {"InvalidType", 2, "127.0.0.1:1", "Invalid channel type: 2"},
    {"InvalidAddress", 1, "127.0.0.1:receiver", "'receiver' is not a valid integer value"},
};

INSTANTIATE_TEST_SUITE_P(, ContactIDBadChannelTest, testing::ValuesIn(BadChannels),
                         [](const testing::TestParamInfo<TBadChannel>& Info) {
                           return std::string(Info.param.Name);
                         });

// A peer that sends line noise without end: never a frame, no acknowledgement.
class TNoiseFlood {
 public:
  TNoiseFlood() : FThread([this] { Run(); }) {}
  ~TNoiseFlood() {
    FStop = true;
    FThread.join();
  }
  TNoiseFlood(const TNoiseFlood&) = delete;
  TNoiseFlood& operator=(const TNoiseFlood&) = delete;

  std::uint16_t Port() const { return FListener.Port(); }
  // Bytes the channel has taken so far.
  std::size_t Sent() const { return FSent.load(); }

 private:
  void Run() {
    test::TLoopbackPeer Peer;
    while (!FStop && !Peer.Valid())
      Peer = FListener.Accept(100);
    // Random bytes with frame ends among them, but never "1" or "5", which begin a message.
    std::mt19937 Random(7);
    std::string Noise;
    while (Noise.size() < 4096) {
      char C = static_cast<char>(Random() % 256);
      if (C != '1' && C != '5')
        Noise += C;
    }
    while (!FStop) {
      pollfd P{Peer.Fd(), POLLOUT, 0};
      if (poll(&P, 1, 50) <= 0)
        continue;
      ssize_t N = send(Peer.Fd(), Noise.data(), Noise.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (N < 0 && errno != EAGAIN && errno != EINTR)
        return;
      if (N > 0)
        FSent += static_cast<std::size_t>(N);
    }
  }

  test::TLoopbackListener FListener;
  std::atomic<bool> FStop{false};
  std::atomic<std::size_t> FSent{0};
  std::thread FThread;
};

// Receivers that misbehave, each on its own channel, while a good one is switched on: the bad
// channels' states and texts say what happened to them, and the good channel's reports are
// recorded and acknowledged at the first attempt all the while.
TEST_F(ContactIDObjectsTest, MisbehavingReceiversLeaveTheGoodChannelWorking) {
  TNoiseFlood Flood;
  const auto CutPort =
      StartReceiver("cut", {"--tcp", "0", "--cut", "--report", "1234:E130:01:001"});
  const auto DeafPort = StartReceiver("deaf", {"--tcp", "0", "--no-read", "--stay", "--ack-timeout",
                                               "1000", "--report", "1234:E602:00:000"});
  const auto GoodPort = StartReceiver(
      "good", {"--tcp", "0", "--stay", "--retries", "0", "--count", "5", "--event", "E110"});
  StartCore(
      Installation({TcpChannel(101, "Flood", Flood.Port()), TcpChannel(102, "Cut", CutPort),
                    TcpChannel(103, "Deaf", DeafPort), TcpChannel(104, "Good", GoodPort, false)}));
  ASSERT_FALSE(HasFatalFailure());
  StartService();

  const struct {
    std::int32_t ID;
    std::string Status;            // as the Core service shows it
    std::vector<std::string> Log;  // the channel's event-log rows
  } Want[] = {
      {101, "state 3 (waiting for the receiver), \"Ожидание приемника...\"", {}},
      {102,
       "state 1 (not connected), \"" + std::string(ClosedText) + "\"",
       {"11/2/-1/" + std::string(ReceiveErrorText) + "/" + ClosedText}},
      {103, "state 5 (receiver online)", {"9300/-/-1/-/-"}},
  };
  for (const auto& W : Want) {
    const std::string Line = WaitCoreStatus(W.ID, W.Status);
    EXPECT_NE(std::string::npos, Line.find(W.Status)) << Line;
  }
  // The frame cut in the middle is not taken for a report.
  EXPECT_TRUE(ReceiverFrames("cut", "CUT").size() == 1);
  EXPECT_EQ(0u, Select("SELECT ID FROM CID_EVENTS WHERE EVENT_CODE = 1304").size());
  ASSERT_TRUE(WaitUntil([&] { return Flood.Sent() > 65536; })) << Flood.Sent();

  const std::size_t FloodBefore = Flood.Sent();
  ASSERT_EQ("ok", CoreCommand("set 104 enabled=true").back());
  EXPECT_TRUE(WaitUntil([&] { return ReceiverFrames("good", "ACK").size() == 5; }))
      << ReceiverFrames("good", "ACK").size();
  EXPECT_EQ(0u, ReceiverFrames("good", "FAILED").size());
  EXPECT_LT(FloodBefore, Flood.Sent()) << "the flood was read on meanwhile";
  EXPECT_EQ(5u, Select("SELECT ID FROM CID_EVENTS WHERE EVENT_CODE = 1272").size());

  for (const auto& W : Want) {
    std::vector<std::string> Log;
    WaitUntil([&] { return (Log = LogRows(EventLog(W.ID))).size() >= W.Log.size(); });
    EXPECT_EQ(W.Log, Log) << W.ID;
    const std::string Line = CoreStatus(W.ID);
    EXPECT_NE(std::string::npos, Line.find(W.Status)) << Line;
  }
  // The receiver that does not read is heard, and its report recorded (again for every resend).
  EXPECT_LE(1u, Select("SELECT ID FROM CID_EVENTS WHERE EVENT_CODE = 2538").size());
  EXPECT_EQ(std::vector<std::string>{}, Host.Errors());
}

}  // namespace
}  // namespace pelmar
