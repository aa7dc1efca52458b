// ctest-label: e2e
//
// The built PelCIDSvc in debug mode (/SVC /DEBUG) against the private Firebird server, the
// development Core service and receiver simulators on loopback, configured through a settings
// store of its own. It is stopped with SIGINT as from a terminal, and killed with SIGKILL at
// random moments while reports stream in: every report a simulator saw acknowledged must be in
// the database afterwards.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Registry.h"
#include "ServiceE2E.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;

// A report by what the database keeps of it: account number, event code, group and zone.
using TReportKey = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t>;

// "1234:E130:01:015" as the service records it; the digits are hexadecimal.
TReportKey KeyOfFrame(const std::string& Frame) {
  const std::int32_t Account = std::stoi(Frame.substr(0, 4), nullptr, 16);
  const int Code = std::stoi(Frame.substr(6, 3), nullptr, 16);
  const std::int32_t Event = (Frame[5] == 'R' ? 5200 : 1000) + Code;
  return {Account, Account == 0x1234 ? Event : 9305, std::stoi(Frame.substr(10, 2), nullptr, 16),
          std::stoi(Frame.substr(13, 3), nullptr, 16)};
}

class PelCIDSvcTest : public test::TServiceE2ETest {
 protected:
  // One of the tests stops the database server for a while.
  bool ExclusiveServer() const override { return true; }

  // The simulators, then the Core service with one TCP channel for each; account 1234 is known
  // to the installation, every other account is not.
  void StartPeers(const std::vector<std::vector<std::string>>& Receivers) {
    std::string Channels;
    for (std::size_t I = 0; I < Receivers.size(); ++I) {
      std::vector<std::string> Args = {"--tcp", "0"};
      Args.insert(Args.end(), Receivers[I].begin(), Receivers[I].end());
      const std::uint16_t Port = StartReceiver(Name(I), Args);
      ASSERT_NE(0, Port);
      Channels += std::string(I ? "," : "") + R"({ "id": )" + std::to_string(101 + I) +
                  R"(, "enabled": true, "comType": "tcp", "comAddress": "127.0.0.1:)" +
                  std::to_string(Port) + R"(", "ackEvents": true, "receiverTimeout": 60 })";
    }
    StartCore(R"({ "service": { "name": "ContactID" }, "channels": [ )" + Channels + R"( ],
      "accounts": [ { "id": 200, "name": "Shop", "enabled": true, "number": "1234" } ],
      "groups": [ { "id": 210, "name": "Floor", "account": 200, "number": "01" } ] })");
    ASSERT_FALSE(HasFatalFailure());
    WriteProgramSettings();
  }

  static std::string Name(std::size_t I) { return "receiver" + std::to_string(I + 1); }

  std::size_t Acked(std::size_t Receivers) {
    std::size_t N = 0;
    for (std::size_t I = 0; I < Receivers; ++I)
      N += ReceiverFrames(Name(I), "ACK").size();
    return N;
  }
};

TEST_F(PelCIDSvcTest, DebugRunRecordsReportsAndStopsInOrderOnSigint) {
  StartPeers({{"--report", "1234:E130:01:001", "--report", "1234:R130:01:001", "--report",
               "9999:E130:01:002"}});
  ASSERT_FALSE(HasFatalFailure());
  StartProgram();
  ASSERT_EQ(0, Receiver(Name(0)).WaitExit()) << testing::PrintToString(Program().Lines());
  auto Rows = Select("SELECT EVENT_CODE FROM CID_EVENTS ORDER BY ID");
  ASSERT_EQ(3u, Rows.size());
  EXPECT_EQ(1304, Rows[0][0].AsInteger());
  EXPECT_EQ(5504, Rows[1][0].AsInteger());
  EXPECT_EQ(9305, Rows[2][0].AsInteger());

  kill(Program().Pid(), SIGINT);
  EXPECT_EQ(0, Program().WaitExit());
  // The console at level 3: the mode, the event log's echo, the close request and the end.
  const std::vector<std::string> Expected = {"Application initalizing",
                                             "Starting services in debug mode",
                                             "LogMessage: Pelmar ContactID Service started!",
                                             "LogMessage: Pelmar ContactID Service is now online!",
                                             "Close request received - shutting down",
                                             "LogMessage: Pelmar ContactID Service is now offline!",
                                             "All services stopped",
                                             "Application finished"};
  std::size_t Next = 0;
  for (const std::string& Line : Program().Lines())
    if (Next < Expected.size() && Line.find(Expected[Next]) != std::string::npos)
      ++Next;
  EXPECT_EQ(Expected.size(), Next) << "missing \"" << Expected[std::min(Next, Expected.size() - 1)]
                                   << "\" in " << testing::PrintToString(Program().Lines());
}

TEST_F(PelCIDSvcTest, BrokenSettingsStopTheProgramBeforeTheServiceStarts) {
  StartPeers({{"--report", "1234:E130:01:001"}});
  ASSERT_FALSE(HasFatalFailure());
  {
    TRegistry Registry(ProgramSettingsDir());
    ASSERT_TRUE(Registry.OpenKey("Software\\PelMar\\ContactID\\General", false));
    Registry.WriteString("Core service port", "4701");  // a text where a number belongs
  }
  StartProgram();
  EXPECT_EQ(1, Program().WaitExit());
  EXPECT_NE(std::string::npos, Program().Errors().find("Core service port")) << Program().Errors();
  EXPECT_TRUE(Select("SELECT ID FROM CID_EVENTS").empty());
  EXPECT_TRUE(ReceiverFrames(Name(0), "ACK").empty());
}

// Two receivers stream reports while the program is killed with SIGKILL at random moments and
// started again, 24 times; meanwhile the database server is stopped for a while once and the
// Core service drops the connection once. Every frame a simulator saw acknowledged must be in
// CID_EVENTS (a report stored but killed before its acknowledgement is sent again and stored
// twice: such duplicates are counted, not failed).
TEST_F(PelCIDSvcTest, KilledAtRandomMomentsLosesNoAcknowledgedReport) {
  const std::vector<std::string> Slow = {"--ack-timeout", "1000", "--retries", "1000"};
  std::vector<std::string> A = {"--count", "700", "--account", "1234"};
  std::vector<std::string> B = {"--count", "700", "--account", "5678"};
  A.insert(A.end(), Slow.begin(), Slow.end());
  B.insert(B.end(), Slow.begin(), Slow.end());
  StartPeers({A, B});
  ASSERT_FALSE(HasFatalFailure());

  std::mt19937 Random(std::random_device{}());
  const int Kills = 24;
  int Killed = 0;
  for (int Round = 0; Round < Kills; ++Round) {
    StartProgram();
    if (Round % 4 == 3) {
      // Anywhere in the start: before the database, the Core service or the first report.
      std::this_thread::sleep_for(std::chrono::milliseconds(Random() % 400));
    } else {
      // In the middle of the stream: after a random number of further acknowledgements.
      const std::size_t Target = Acked(2) + 1 + Random() % 60;
      WaitUntil([&] { return Acked(2) >= std::min<std::size_t>(Target, 1400); });
    }
    if (Round == 8) {
      // The database server goes away under the running service and comes back.
      std::string Output;
      ASSERT_EQ(0, test::RunScript(test::SourceRoot() + "/scripts/firebird-stop.sh", Output))
          << Output;
      std::this_thread::sleep_for(1500ms);
      ASSERT_EQ(0, test::RunScript(test::SourceRoot() + "/scripts/firebird-start.sh", Output))
          << Output;
      const std::size_t Target = Acked(2) + 5;
      WaitUntil([&] { return Acked(2) >= Target; });
    }
    if (Round == 16) {
      // The Core service drops the connection; the service logs in again and goes on.
      CoreCommand("drop");
      const std::size_t Target = Acked(2) + 5;
      WaitUntil([&] { return Acked(2) >= Target; });
    }
    kill(Program().Pid(), SIGKILL);
    EXPECT_EQ(128 + SIGKILL, Program().WaitExit());
    ++Killed;
  }
  // The last run lets the simulators finish. A signal sent before the program has even started
  // would reach the test's own forked copy, so the stop waits until it is online.
  StartProgram();
  EXPECT_NE("", Program().WaitLine("is now online!"));
  // The rest of the stream may take a while on a loaded machine: the wait fails only when no
  // acknowledgement came for a whole Patience.
  for (std::size_t Seen = Acked(2); Seen < 1400;) {
    if (!WaitUntil([&] { return Acked(2) > Seen; }))
      break;
    Seen = Acked(2);
  }
  EXPECT_EQ(0, Receiver(Name(0)).WaitExit());
  EXPECT_EQ(0, Receiver(Name(1)).WaitExit());
  kill(Program().Pid(), SIGINT);
  EXPECT_EQ(0, Program().WaitExit()) << testing::PrintToString(Program().Lines());

  std::map<TReportKey, int> Rows;
  for (auto& Row : Select("SELECT ACCOUNT_IDX, EVENT_CODE, GROUP_IDX, ZONE_IDX FROM CID_EVENTS"))
    ++Rows[{Row[0].AsInteger(), Row[1].AsInteger(), Row[2].AsInteger(), Row[3].AsInteger()}];
  std::size_t AckedFrames = 0;
  int Missing = 0;
  for (int I = 0; I < 2; ++I)
    for (const std::string& Frame : ReceiverFrames(Name(I), "ACK")) {
      ++AckedFrames;
      auto It = Rows.find(KeyOfFrame(Frame));
      if (It == Rows.end() || It->second == 0)
        ++Missing;
      else
        --It->second;
    }
  int Duplicates = 0;
  for (auto& [Key, Left] : Rows)
    Duplicates += Left;
  EXPECT_EQ(1400u, AckedFrames);
  EXPECT_EQ(0, Missing) << "acknowledged but not recorded";
  RecordProperty("kills", Killed);
  RecordProperty("duplicates", Duplicates);
  std::printf("killed %d times; acknowledged %zu, missing %d, duplicates %d\n", Killed, AckedFrames,
              Missing, Duplicates);
}

}  // namespace
}  // namespace pelmar
