// ctest-label: e2e
//
// The built PelCIDSvc in service mode under a stand-in for systemd's watchdog: the test binds the
// notify socket, gives the program WATCHDOG_USEC and WATCHDOG_PID, reads READY=1 and WATCHDOG=1,
// kills the program with SIGKILL when no ping came within the period and starts it again. The
// worker's loop is made to hang (the test hook PELMAR_TEST_HANG of test builds): the service must
// be killed and restarted, and the reports a receiver sent meanwhile recorded afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ServiceE2E.h"
#include "SystemdDoubles.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// systemd's part: starts the program, watches its notify messages, kills it when a ping is
// overdue and starts it again at once. Runs on a thread of its own until Stop.
class TWatchdogSupervisor {
 public:
  TWatchdogSupervisor(std::string Program, std::vector<std::string> Args,
                      std::chrono::milliseconds Period)
      : FProgram(std::move(Program)),
        FArgs(std::move(Args)),
        FPeriod(Period),
        FUsec("WATCHDOG_USEC", std::to_string(Period.count() * 1000)) {
    FThread = std::thread([this] { Supervise(); });
  }
  ~TWatchdogSupervisor() { Stop(); }

  // Ends the supervision and stops the program in order (SIGTERM); its exit code.
  int Stop() {
    FStopping = true;
    if (FThread.joinable())
      FThread.join();
    int Code = -1;
    if (FChild)
      Code = FChild->Stop();
    FChild.reset();
    return Code;
  }

  int Starts() const { return FStarts.load(); }
  int Readies() const { return FReadies.load(); }
  int Pings() const { return FPings.load(); }
  int Kills() const { return FKills.load(); }
  // How long the last killed program went without a ping, and its exit code.
  std::chrono::milliseconds LastSilence() const {
    std::lock_guard Guard(FLock);
    return FLastSilence;
  }
  int LastKilledExit() const {
    std::lock_guard Guard(FLock);
    return FLastKilledExit;
  }
  std::string Failure() const {
    std::lock_guard Guard(FLock);
    return FFailure;
  }

 private:
  void Supervise() {
    while (!FStopping) {
      // WATCHDOG_PID names the program itself: the shell execs it under its own process id.
      std::vector<std::string> Args = {
          "-c", "WATCHDOG_PID=$$; export WATCHDOG_PID; exec \"$0\" \"$@\"", FProgram};
      Args.insert(Args.end(), FArgs.begin(), FArgs.end());
      FChild = std::make_unique<test::TToolProcess>("/bin/sh", Args);
      ++FStarts;
      // The start-up is not under the watchdog; systemd's start time-out stands for it here.
      bool Ready = false;
      TSteady::time_point Deadline = TSteady::now() + test::Patience;
      TSteady::time_point LastSign = TSteady::now();
      while (!FStopping) {
        const auto Now = TSteady::now();
        if (Now >= Deadline) {
          if (!Ready) {
            Fail("the program did not report READY=1");
            return;
          }
          kill(FChild->Pid(), SIGKILL);
          const int Code = FChild->WaitExit();
          {
            std::lock_guard Guard(FLock);
            FLastSilence = std::chrono::duration_cast<std::chrono::milliseconds>(Now - LastSign);
            FLastKilledExit = Code;
          }
          ++FKills;
          break;
        }
        // Short slices, so that Stop is seen soon.
        const auto Slice = std::min<TSteady::duration>(Deadline - Now, 100ms);
        const std::string Message =
            FSocket.Next(std::chrono::duration_cast<std::chrono::milliseconds>(Slice) + 1ms);
        if (Message.find("READY=1") != std::string::npos) {
          Ready = true;
          ++FReadies;
        }
        if (Message.find("WATCHDOG=1") != std::string::npos)
          ++FPings;
        if (Ready && (Message.find("READY=1") != std::string::npos ||
                      Message.find("WATCHDOG=1") != std::string::npos)) {
          LastSign = TSteady::now();
          Deadline = LastSign + FPeriod;
        }
      }
    }
  }

  void Fail(const std::string& Text) {
    std::lock_guard Guard(FLock);
    FFailure = Text;
  }

  std::string FProgram;
  std::vector<std::string> FArgs;
  std::chrono::milliseconds FPeriod;
  test::TNotifySocket FSocket;  // sets NOTIFY_SOCKET for the children
  test::TScopedEnv FUsec;
  std::unique_ptr<test::TToolProcess> FChild;  // the supervisor thread's until it has ended
  std::atomic<bool> FStopping{false};
  std::atomic<int> FStarts{0}, FReadies{0}, FPings{0}, FKills{0};
  mutable std::mutex FLock;
  std::chrono::milliseconds FLastSilence{0};  // guarded by FLock
  int FLastKilledExit = -1;                   // guarded by FLock
  std::string FFailure;                       // guarded by FLock
  std::thread FThread;
};

class PelCIDSvcWatchdogTest : public test::TServiceE2ETest {
 protected:
  void TearDown() override {
    unsetenv("PELMAR_TEST_HANG");
    test::TServiceE2ETest::TearDown();
  }
};

// A report by what the database keeps of it: account 1234's event code, group and zone.
using TReportKey = std::tuple<std::int32_t, std::int32_t, std::int32_t>;

TReportKey KeyOfFrame(const std::string& Frame) {
  const int Code = std::stoi(Frame.substr(6, 3), nullptr, 16);
  return {(Frame[5] == 'R' ? 5200 : 1000) + Code, std::stoi(Frame.substr(10, 2), nullptr, 16),
          std::stoi(Frame.substr(13, 3), nullptr, 16)};
}

TEST_F(PelCIDSvcWatchdogTest, HungLoopIsKilledAndRestartedAndLosesNoReport) {
  constexpr auto Period = 2000ms;
  // Five reports, a pause in which the test makes the loop hang, ten more: these are sent while
  // the service hangs, resent while it is killed and restarted, and must be recorded.
  const std::string Script = Dir.File("reports.txt",
                                      "repeat 5 report 1234 E 130 01 #\n"
                                      "wait 2000\n"
                                      "repeat 10 report 1234 E 131 02 #\n");
  const std::uint16_t Port = StartReceiver(
      "receiver", {"--tcp", "0", "--script", Script, "--ack-timeout", "500", "--retries", "1000"});
  ASSERT_NE(0, Port);
  StartCore(R"({ "service": { "name": "ContactID" }, "channels": [ { "id": 101, "enabled": true,
    "comType": "tcp", "comAddress": "127.0.0.1:)" +
            std::to_string(Port) + R"(", "ackEvents": true, "receiverTimeout": 60 } ],
    "accounts": [ { "id": 200, "name": "Shop", "enabled": true, "number": "1234" } ] })");
  ASSERT_FALSE(HasFatalFailure());
  WriteProgramSettings();
  ASSERT_FALSE(HasFatalFailure());
  const std::string Hang = Dir.File("hang");
  setenv("PELMAR_TEST_HANG", Hang.c_str(), 1);

  TWatchdogSupervisor Supervisor(ProgramPath(), {"/SVC"}, Period);
  // Running normally: ready, recording, and pinging from its loop for more than a period.
  ASSERT_TRUE(WaitUntil([&] { return ReceiverFrames("receiver", "ACK").size() >= 5; }))
      << Supervisor.Failure();
  const int PingsBefore = Supervisor.Pings();
  ASSERT_TRUE(WaitUntil([&] { return Supervisor.Pings() >= PingsBefore + 3; }));
  EXPECT_EQ(0, Supervisor.Kills());

  // The loop hangs at its next cycle; the pings stop and the supervisor kills it.
  std::ofstream(Hang).put('\n');
  const std::size_t AckedBeforeHang = ReceiverFrames("receiver", "ACK").size();
  ASSERT_TRUE(WaitUntil([&] { return Supervisor.Kills() >= 1; })) << Supervisor.Failure();
  EXPECT_FALSE(std::filesystem::exists(Hang)) << "the loop never reached the hang";
  EXPECT_EQ(128 + SIGKILL, Supervisor.LastKilledExit()) << "it had ended by itself";
  EXPECT_GE(Supervisor.LastSilence(), Period);

  // Restarted, it records the rest of the stream and is not killed again.
  EXPECT_EQ(0, Receiver("receiver").WaitExit());
  EXPECT_EQ(2, Supervisor.Starts());
  EXPECT_EQ(2, Supervisor.Readies());
  EXPECT_EQ(1, Supervisor.Kills());
  EXPECT_EQ(0, Supervisor.Stop()) << "SIGTERM stops the restarted service in order";
  EXPECT_EQ("", Supervisor.Failure());

  const std::vector<std::string> Acked = ReceiverFrames("receiver", "ACK");
  EXPECT_EQ(15u, Acked.size());
  EXPECT_LT(AckedBeforeHang, Acked.size()) << "no report was sent across the hang";
  std::map<TReportKey, int> Rows;
  for (auto& Row : Select("SELECT EVENT_CODE, GROUP_IDX, ZONE_IDX FROM CID_EVENTS"))
    ++Rows[{Row[0].AsInteger(), Row[1].AsInteger(), Row[2].AsInteger()}];
  for (const std::string& Frame : Acked)
    EXPECT_LT(0, Rows[KeyOfFrame(Frame)]--) << "acknowledged but not recorded: " << Frame;
}

}  // namespace
}  // namespace pelmar
