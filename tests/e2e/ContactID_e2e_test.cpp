// ctest-label: e2e
// ctest-foreign-schema
//
// The Contact ID service in one process (the real main module and service client) against the
// private Firebird server, the development Core service and the receiver simulator, both run as
// the built programs on loopback. What the simulator saw acknowledged is compared with what the
// database recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ServiceE2E.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;

// One report as the simulator writes it in its log: "1234:E130:01:015".
struct TReport {
  std::int32_t EventCode = 0;
  std::int32_t Group = 0;
  std::int32_t Zone = 0;
  bool operator<(const TReport& O) const {
    return std::tie(EventCode, Group, Zone) < std::tie(O.EventCode, O.Group, O.Zone);
  }
};

TReport ParseFrame(const std::string& Frame) {
  // ACCOUNT:QCCC:GG:ZZZ; the digits are read as hexadecimal, as the service reads them.
  TReport R;
  const std::string Event = Frame.substr(5, 4);
  const int Code = std::stoi(Event.substr(1), nullptr, 16);
  R.EventCode = (Event[0] == 'R' ? 5200 : 1000) + Code;
  R.Group = std::stoi(Frame.substr(10, 2), nullptr, 16);
  R.Zone = std::stoi(Frame.substr(13, 3), nullptr, 16);
  return R;
}

class ContactIDEndToEndTest : public test::TServiceE2ETest {
 protected:
  // The server is stopped and started again by one of the tests.
  bool ExclusiveServer() const override { return true; }

  // The simulator with Args, then the Core service serving one TCP channel to it, then the
  // service.
  void Start(const std::vector<std::string>& ReceiverArgs) {
    std::vector<std::string> Args = {"--tcp", "0"};
    Args.insert(Args.end(), ReceiverArgs.begin(), ReceiverArgs.end());
    const std::uint16_t ReceiverPort = StartReceiver("receiver", Args);
    ASSERT_NE(0, ReceiverPort);
    StartCore(R"({
      "service": { "name": "ContactID" },
      "channels": [ { "id": 101, "name": "Receiver", "enabled": true, "comType": "tcp",
                      "comAddress": "127.0.0.1:)" +
              std::to_string(ReceiverPort) +
              R"(", "ackEvents": true, "receiverTimeout": 60 } ],
      "accounts": [ { "id": 200, "name": "Shop", "enabled": true, "number": "1234" } ],
      "groups": [ { "id": 210, "name": "Floor", "account": 200, "number": "01" } ],
      "zones": [ { "id": 220, "name": "Door", "account": 200, "number": "001" } ]
    })");
    ASSERT_FALSE(HasFatalFailure());
    StartService();
  }

  test::TToolProcess& Receiver() { return TServiceE2ETest::Receiver("receiver"); }
  // The frames of the simulator's log lines of Event ("ACK"), in order.
  std::vector<std::string> Logged(const std::string& Event) {
    return ReceiverFrames("receiver", Event);
  }

  std::map<TReport, int> Recorded() {
    std::map<TReport, int> Out;
    for (auto& Row : Select("SELECT EVENT_CODE, GROUP_IDX, ZONE_IDX FROM CID_EVENTS"))
      ++Out[{Row[0].AsInteger(), Row[1].AsInteger(), Row[2].AsInteger()}];
    return Out;
  }
};

TEST_F(ContactIDEndToEndTest, ReportsOfTheReceiverAreRecordedAndAcknowledged) {
  Start({"--report", "1234:E130:01:001", "--report", "1234:R130:01:001", "--report",
         "1234:E602:00:000", "--report", "9999:E130:01:001"});
  ASSERT_EQ(0, Receiver().WaitExit()) << testing::PrintToString(Receiver().Lines());
  EXPECT_EQ(4u, Logged("ACK").size());
  auto Rows = Select("SELECT ACCOUNT_ID, OBJECT_ID, EVENT_CODE FROM CID_EVENTS ORDER BY ID");
  ASSERT_EQ(4u, Rows.size());
  const std::int32_t Want[4][3] = {
      {200, 210, 1304}, {200, 210, 5504}, {200, 0, 2538}, {0, 0, 9305}};
  for (int I = 0; I < 4; ++I) {
    EXPECT_EQ(Want[I][0], Rows[I][0].IsNull() ? 0 : Rows[I][0].AsInteger()) << I;
    EXPECT_EQ(Want[I][1], Rows[I][1].IsNull() ? 0 : Rows[I][1].AsInteger()) << I;
    EXPECT_EQ(Want[I][2], Rows[I][2].AsInteger()) << I;
  }
  // The Core service heard of the receiver and of the zone's alarm.
  EXPECT_NE("", Core().WaitLine("event SysObjectStatus: 101"));
  EXPECT_NE("", Core().WaitLine("event SysObjectStatus: 220"));
}

// The database server stops in the middle of a stream of reports and comes back: nothing is
// acknowledged that was not stored, and every report the simulator saw acknowledged is there.
TEST_F(ContactIDEndToEndTest, DatabaseServerStoppedMidStreamLosesNoAcknowledgedReport) {
  Start({"--count", "150", "--ack-timeout", "2000", "--retries", "8"});
  for (int I = 0; I < 2000 && Logged("ACK").size() < 30; ++I)
    std::this_thread::sleep_for(10ms);
  ASSERT_GE(Logged("ACK").size(), 30u);
  std::string Output;
  ASSERT_EQ(0, test::RunScript(test::SourceRoot() + "/scripts/firebird-stop.sh", Output)) << Output;
  const std::size_t AckedBeforeStop = Logged("ACK").size();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LE(Logged("ACK").size(), AckedBeforeStop + 1)
      << "acknowledged while the database server was down";
  ASSERT_EQ(0, test::RunScript(test::SourceRoot() + "/scripts/firebird-start.sh", Output))
      << Output;
  Receiver().WaitExit();

  const std::vector<std::string> Acked = Logged("ACK");
  std::map<TReport, int> Rows = Recorded();
  int Missing = 0, Duplicates = 0;
  for (const std::string& Frame : Acked) {
    auto It = Rows.find(ParseFrame(Frame));
    if (It == Rows.end() || It->second == 0)
      ++Missing;
    else
      --It->second;
  }
  for (auto& [Report, Left] : Rows)
    Duplicates += Left;
  EXPECT_EQ(0, Missing) << "acknowledged but not recorded, of " << Acked.size();
  RecordProperty("acknowledged", static_cast<int>(Acked.size()));
  RecordProperty("duplicates", Duplicates);
  std::printf("acknowledged %zu, failed %zu, duplicates %d\n", Acked.size(),
              Logged("FAILED").size(), Duplicates);
}

}  // namespace
}  // namespace pelmar
