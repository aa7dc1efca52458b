// ctest-label: os
//
// The receiver simulator, run as the built program, against the service's own receiver side: the
// TCP channel (plain and AES), the serial channel over the simulator's pseudo-terminal, and the
// Sur-Gard decoder with the receiver that acknowledges, polled here as the service's work loop
// polls them. Where a test needs an answer the service never gives (a NAK, silence, two answers
// at once) a plain loopback socket plays the service. Protocol time-outs are the tool's options,
// set short where a test waits for one and long where one must not happen; every wait is
// bounded, and every child process is ended by the test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "LoopbackPeer.h"
#include "SerialChannel.h"
#include "TCPChannel.h"
#include "ToolProcess.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;
using test::ConnectLoopback;
using test::TLoopbackPeer;

using test::Patience;
constexpr int PatienceMs = static_cast<int>(std::chrono::milliseconds(Patience).count());
// An acknowledgement time-out that no test run comes near: the frames of a test that uses it
// are answered at once, so any resend would be a fault.
const std::string NeverTimesOut = "30000";

const std::string Key128 = "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10";

// The built tool as a child process, with what the tests ask of it beyond the shared helper.
class TSim {
 public:
  explicit TSim(const std::vector<std::string>& Args)
      : FTool(test::BuiltToolPath("ReceiverSim"), Args) {}

  std::string WaitLine(const std::string& Text) { return FTool.WaitLine(Text); }

  bool HasLine(const std::string& Text) {
    for (const std::string& L : FTool.Lines())
      if (L.find(Text) != std::string::npos)
        return true;
    return false;
  }

  // The port of "ReceiverSim: listening on 127.0.0.1:PORT"; 0 when it did not come.
  std::uint16_t Port() { return FTool.Port("ReceiverSim: listening on 127.0.0.1:"); }

  // The device of "ReceiverSim: serial device NAME"; "" when it did not come.
  std::string Device() {
    std::string Line = FTool.WaitLine("ReceiverSim: serial device ");
    return Line.empty() ? "" : Line.substr(Line.rfind(' ') + 1);
  }

  void Signal(int Number) {
    if (!Exited())
      kill(FTool.Pid(), Number);
  }

  // True once the child has ended; looks without waiting and leaves it to be reaped.
  bool Exited() {
    siginfo_t Info{};
    return waitid(P_PID, static_cast<id_t>(FTool.Pid()), &Info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
           Info.si_pid != 0;
  }

  // Waits for the child to end and for the last of its output, so that the lines looked at
  // afterwards are all there; the exit code, or -1 when it did not end in time.
  int WaitExit() {
    int Code = FTool.WaitExit();
    FTool.Errors();
    return Code;
  }

  std::string Errors() { return FTool.Errors(); }

  // What the child printed so far, for failure messages.
  std::string Output() {
    std::string All;
    for (const std::string& L : FTool.Lines())
      All += L + "\n";
    return All;
  }

 private:
  test::TToolProcess FTool;
};

// One line of the tool's log file: "<unix-ms> <EVENT> <details...>".
struct TLogLine {
  long long Ms = 0;
  std::string Event;
  std::vector<std::string> Words;  // the details

  // The event with its key=value details, without sequence number and frame:
  // "RESEND attempt=2 reason=timeout".
  std::string Brief() const {
    std::string S = Event;
    for (const std::string& W : Words)
      if (W.find('=') != std::string::npos)
        S += " " + W;
    return S;
  }
};

std::vector<TLogLine> ReadLog(const std::string& Path) {
  std::vector<TLogLine> Lines;
  std::ifstream In(Path);
  for (std::string Text; std::getline(In, Text);) {
    std::istringstream Words(Text);
    TLogLine L;
    Words >> L.Ms >> L.Event;
    for (std::string W; Words >> W;)
      L.Words.push_back(W);
    Lines.push_back(L);
  }
  return Lines;
}

// The lines of Events, in order.
std::vector<TLogLine> Only(const std::vector<TLogLine>& Log, const std::set<std::string>& Events) {
  std::vector<TLogLine> Out;
  for (const TLogLine& L : Log)
    if (Events.count(L.Event))
      Out.push_back(L);
  return Out;
}

std::vector<std::string> Briefs(const std::vector<TLogLine>& Lines) {
  std::vector<std::string> Out;
  for (const TLogLine& L : Lines)
    Out.push_back(L.Brief());
  return Out;
}

const std::set<std::string> FrameEvents = {"SEND", "RESEND", "ACK", "NAK", "FAILED", "LATE"};

// A decoded report, as the service's event handling would get it.
struct TReport {
  std::uint32_t Account;
  std::uint8_t Qualifier;
  std::uint16_t Code;
  std::uint16_t Group;
  std::uint32_t Zone;

  bool operator==(const TReport&) const = default;
  bool operator<(const TReport& O) const {
    return std::tie(Account, Qualifier, Code, Group, Zone) <
           std::tie(O.Account, O.Qualifier, O.Code, O.Group, O.Zone);
  }
};

std::ostream& operator<<(std::ostream& Out, const TReport& R) {
  return Out << std::hex << "{" << R.Account << " q" << int(R.Qualifier) << " " << R.Code << " "
             << R.Group << " " << R.Zone << "}" << std::dec;
}

TReport ReportOf(const TciMessage& Msg) {
  return {Msg.Account, Msg.Qualifier, Msg.Code, Msg.Group, Msg.Zone};
}

// The service's receiver side: a channel, polled as the service's work loop does, with the
// Sur-Gard receiver on it. Reports are recorded (and acknowledged while Acknowledge is set);
// link tests are counted.
class TServiceEnd {
 public:
  explicit TServiceEnd(std::unique_ptr<TCustomChannel> Channel) : FChannel(std::move(Channel)) {}

  // One turn of the work loop: keeps the channel up (reconnecting 20 ms after a failure) and
  // polls the receiver. A channel failure closes the channel, as in the service.
  void Poll() {
    try {
      if (!FChannel->CheckConnection(20))
        return;
      if (!FReceiver) {
        FReceiver = std::make_unique<TReceiver>(TcspSurGardCID::Create, *FChannel);
        FReceiver->SetAckEvents(true);
        FReceiver->SetOnMessage([this](TciMessage& Msg) {
          Reports.push_back(ReportOf(Msg));
          Msg.Ack = Acknowledge;
        });
        // Link tests do not leave the receiver: count them where the protocol hands them over.
        TciMessageEvent ToReceiver = FReceiver->Protocol().OnMessage();
        FReceiver->Protocol().SetOnMessage([this, ToReceiver](TciMessage& Msg) {
          if (Msg.MessageType == 0)
            ++LinkTests;
          ToReceiver(Msg);
        });
      }
      FReceiver->Poll();
    } catch (const EChannelError&) {
      // The channel closed itself; the next turn reconnects.
    }
  }

  // Polls until Condition holds; false when Patience ran out first.
  bool PollUntil(const std::function<bool()>& Condition) {
    for (auto Deadline = TSteady::now() + Patience; TSteady::now() < Deadline;) {
      Poll();
      if (Condition())
        return true;
      std::this_thread::sleep_for(1ms);
    }
    return Condition();
  }

  // Polls until the simulator has ended; its exit code, or -1.
  int PollUntilExit(TSim& Sim) {
    PollUntil([&] { return Sim.Exited(); });
    return Sim.WaitExit();
  }

  TCustomChannel& Channel() { return *FChannel; }

  std::vector<TReport> Reports;
  int LinkTests = 0;
  bool Acknowledge = true;

 private:
  std::unique_ptr<TCustomChannel> FChannel;
  std::unique_ptr<TReceiver> FReceiver;
};

std::unique_ptr<TCustomChannel> TcpChannel(std::uint16_t Port, const std::string& Key = "") {
  auto Channel = std::make_unique<TTCPChannel>();
  Channel->SetAddress("127.0.0.1:" + std::to_string(Port));
  if (!Key.empty()) {
    Channel->SetEncryption(true);
    Channel->SetEncryptionKey(Key);
  }
  return Channel;
}

// Serial port numbers name Device while the object lives, through PELMAR_SERIAL_DEVICE.
class TSerialDeviceVariable {
 public:
  explicit TSerialDeviceVariable(const std::string& Device) {
    if (const char* Old = std::getenv("PELMAR_SERIAL_DEVICE"))
      FOld = Old;
    setenv("PELMAR_SERIAL_DEVICE", Device.c_str(), 1);
  }
  ~TSerialDeviceVariable() {
    if (FOld.empty())
      unsetenv("PELMAR_SERIAL_DEVICE");
    else
      setenv("PELMAR_SERIAL_DEVICE", FOld.c_str(), 1);
  }
  TSerialDeviceVariable(const TSerialDeviceVariable&) = delete;
  TSerialDeviceVariable& operator=(const TSerialDeviceVariable&) = delete;

 private:
  std::string FOld;
};

class ReceiverSimTest : public ::testing::Test {
 protected:
  test::TTempDir Dir;
  const std::string LogFile = Dir.File("receiver.log");
};

TEST_F(ReceiverSimTest, ReportsReachTheServiceAndAreLoggedAsAcknowledged) {
  std::string Script = Dir.File("reports.txt",
                                "# comment lines and blank lines are skipped\n"
                                "\n"
                                "report 0042 S 401 0A 0FF\n"
                                "wait 300\n"
                                "  repeat 3   report 1234 E 130 01 #  \n");
  TSim Sim({"--tcp", "0", "--report", "1234:E130:01:015", "--report", "12b4:R602:02:003",
            "--script", Script, "--ack-timeout", NeverTimesOut, "--log", LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TServiceEnd Service(TcpChannel(Port));
  EXPECT_EQ(0, Service.PollUntilExit(Sim)) << Sim.Output();

  const std::vector<TReport> Want = {
      {0x1234, 1, 0x130, 0x01, 0x015}, {0x12B4, 3, 0x602, 0x02, 0x003},
      {0x0042, 6, 0x401, 0x0A, 0x0FF}, {0x1234, 1, 0x130, 0x01, 0x001},
      {0x1234, 1, 0x130, 0x01, 0x002}, {0x1234, 1, 0x130, 0x01, 0x003},
  };
  EXPECT_EQ(Want, Service.Reports);

  std::vector<TLogLine> Log = ReadLog(LogFile);
  std::vector<TLogLine> Acks = Only(Log, {"ACK"});
  const char* WantText[] = {"1234:E130:01:015", "12b4:R602:02:003", "0042:S401:0A:0FF",
                            "1234:E130:01:001", "1234:E130:01:002", "1234:E130:01:003"};
  ASSERT_EQ(6u, Acks.size()) << Sim.Output();
  for (std::size_t I = 0; I < Acks.size(); ++I) {
    EXPECT_EQ((std::vector<std::string>{std::to_string(I + 1), WantText[I], "attempts=1"}),
              Acks[I].Words);
  }
  EXPECT_EQ(0u, Only(Log, {"RESEND", "FAILED", "NAK", "STRAY"}).size()) << Sim.Output();
  // The pause of the script lies between the third report's acknowledgement and the fourth's
  // sending.
  std::vector<TLogLine> Sends = Only(Log, {"SEND"});
  ASSERT_EQ(6u, Sends.size());
  EXPECT_GE(Sends[3].Ms - Acks[2].Ms, 299);
  ASSERT_FALSE(Log.empty());
  EXPECT_EQ(
      "SUMMARY acknowledged=6 resent=0 failed=0 unfinished=0 linktests-acknowledged=0 "
      "linktests-resent=0 linktests-failed=0",
      Log.back().Brief());
  EXPECT_TRUE(Sim.HasLine("ReceiverSim: 6 acknowledged, 0 resent, 0 failed")) << Sim.Output();
}

TEST_F(ReceiverSimTest, FramesHaveTheLayoutTheServiceDecodes) {
  struct {
    std::vector<std::string> Args;
    std::string Script;
    std::string WantFrame;  // without the DC4
    TciMessage WantMessage;
  } Cases[] = {
      {{"--report", "1234:E130:01:015"},
       "",
       "5011 181234E13001015",
       {0x1234, 18, 1, 0x130, 1, 0x15, false}},
      {{"--report", "12b4:R602:0A:FFF", "--receiver", "7", "--line", "3"},
       "",
       "5073 1812b4R6020AFFF",
       {0x12B4, 18, 3, 0x602, 0x0A, 0xFFF, false}},
      {{"--receiver", "99", "--line", "0"},
       "report 0000 S 000 00 000\n",
       "5990 180000S00000000",
       {0, 18, 6, 0, 0, 0, false}},
      {{}, "linktest\n", "1011           @    ", {0, 0, 6, 0, 0, 0, true}},
      {{"--receiver", "12", "--line", "4"},
       "linktest\n",
       "1124           @    ",
       {0, 0, 6, 0, 0, 0, true}},
      {{},
       "raw 35 30 31 31 20 31 38 31 32 33 34 45 31 33 30 30 31 30 31 35 14\n",
       "5011 181234E13001015",
       {0x1234, 18, 1, 0x130, 1, 0x15, false}},
  };
  for (const auto& C : Cases) {
    std::string Context = C.WantFrame + " " + C.Script;
    for (const std::string& A : C.Args)
      Context += " " + A;
    std::vector<std::string> Args = {
        "--tcp", "0", "--ack-timeout", NeverTimesOut, "--linktest-interval", "0"};
    Args.insert(Args.end(), C.Args.begin(), C.Args.end());
    if (!C.Script.empty()) {
      Args.push_back("--script");
      Args.push_back(Dir.File("layout.txt", C.Script));
    }
    TSim Sim(Args);
    std::uint16_t Port = Sim.Port();
    ASSERT_NE(0, Port) << Sim.Output();
    TLoopbackPeer Peer = ConnectLoopback(Port);
    std::string Frame = Peer.Receive(SurGardFrameLength, PatienceMs);
    EXPECT_EQ(C.WantFrame + DC4, Frame) << Context << "\n" << Sim.Output();

    // The service's decoder, fed byte by byte, takes it as one message.
    TcspSurGardCID Decoder;
    std::vector<TciMessage> Decoded;
    Decoder.SetOnMessage([&](TciMessage& Msg) { Decoded.push_back(Msg); });
    for (char Byte : Frame)
      Decoder.ProcessChar(Byte);
    ASSERT_EQ(1u, Decoded.size()) << Context;
    EXPECT_EQ(C.WantMessage, Decoded[0]) << Context;

    Peer.Send(std::string(1, ACK));
    EXPECT_EQ(0, Sim.WaitExit()) << Context << "\n" << Sim.Output();
  }
}

// How the simulator takes each kind of answer, with a loopback socket answering as told.
TEST_F(ReceiverSimTest, AnswersDecideBetweenAcknowledgedResentAndFailed) {
  const std::string Nak = "\x15";
  const std::string Ack(1, ACK);
  struct {
    const char* Name;
    std::vector<std::string> Answers;  // what follows each attempt; "" is silence
    const char* Retries;
    std::vector<std::string> Want;
    int WantExit;
  } Cases[] = {
      {"acknowledged at once", {Ack}, "3", {"SEND attempt=1", "ACK attempts=1"}, 0},
      {"NAK, then acknowledged",
       {Nak, Ack},
       "3",
       {"SEND attempt=1", "NAK byte=15 attempt=1", "RESEND attempt=2 reason=nak", "ACK attempts=2"},
       0},
      {"another byte is no acknowledgement",
       {"X", Ack},
       "3",
       {"SEND attempt=1", "NAK byte=58 attempt=1", "RESEND attempt=2 reason=nak", "ACK attempts=2"},
       0},
      {"silence, then acknowledged",
       {"", Ack},
       "3",
       {"SEND attempt=1", "RESEND attempt=2 reason=timeout", "ACK attempts=2"},
       0},
      {"silence until the retries are used up",
       {"", "", ""},
       "2",
       {"SEND attempt=1", "RESEND attempt=2 reason=timeout", "RESEND attempt=3 reason=timeout",
        "FAILED attempts=3"},
       1},
      {"no retries", {""}, "0", {"SEND attempt=1", "FAILED attempts=1"}, 1},
      {"NAK every time",
       {Nak, Nak},
       "1",
       {"SEND attempt=1", "NAK byte=15 attempt=1", "RESEND attempt=2 reason=nak",
        "NAK byte=15 attempt=2", "FAILED attempts=2"},
       1},
      {"the late answer to the first attempt is not taken for another frame",
       {"", Ack + Ack},
       "3",
       {"SEND attempt=1", "RESEND attempt=2 reason=timeout", "ACK attempts=2", "LATE byte=06"},
       0},
  };
  const int AckTimeoutMs = 300;
  for (const auto& C : Cases) {
    std::string Log = Dir.File(std::string("answers.log"));
    TSim Sim({"--tcp", "0", "--report", "1234:E130:01:015", "--ack-timeout",
              std::to_string(AckTimeoutMs), "--retries", C.Retries, "--linktest-interval", "0",
              "--log", Log});
    std::uint16_t Port = Sim.Port();
    ASSERT_NE(0, Port) << Sim.Output();
    TLoopbackPeer Peer = ConnectLoopback(Port);
    for (const std::string& Answer : C.Answers) {
      ASSERT_EQ(std::string("5011 181234E13001015") + DC4,
                Peer.Receive(SurGardFrameLength, PatienceMs))
          << C.Name;
      if (!Answer.empty())
        Peer.Send(Answer);
    }
    EXPECT_EQ(C.WantExit, Sim.WaitExit()) << C.Name << "\n" << Sim.Output();
    EXPECT_EQ("", Peer.Receive(1, 0)) << C.Name << ": no attempt beyond the answered ones";

    std::vector<TLogLine> Lines = Only(ReadLog(Log), FrameEvents);
    EXPECT_EQ(C.Want, Briefs(Lines)) << C.Name;
    // A resend for want of an answer comes no sooner than the time-out after the attempt.
    for (std::size_t I = 1; I < Lines.size(); ++I) {
      bool Unanswered = Lines[I].Brief().find("reason=timeout") != std::string::npos ||
                        (Lines[I].Event == "FAILED" && Lines[I - 1].Event != "NAK");
      if (Unanswered) {
        EXPECT_GE(Lines[I].Ms - Lines[I - 1].Ms, AckTimeoutMs - 1) << C.Name << " " << I;
      }
    }
  }
}

TEST_F(ReceiverSimTest, FrameInterruptedByTheConnectionGoesAgainOnTheNext) {
  struct {
    const char* Name;
    bool KeepOld;  // the old connection stays open and the new one replaces it
  } Cases[] = {{"the service closes and connects again", false},
               {"a newer connection replaces the older", true}};
  const std::string First = std::string("5011 181234E13001015") + DC4;
  const std::string Second = std::string("5011 181234R13001015") + DC4;
  for (const auto& C : Cases) {
    TSim Sim({"--tcp", "0", "--report", "1234:E130:01:015", "--report", "1234:R130:01:015",
              "--ack-timeout", NeverTimesOut, "--linktest-interval", "0", "--log", LogFile});
    std::uint16_t Port = Sim.Port();
    ASSERT_NE(0, Port) << Sim.Output();
    TLoopbackPeer Old = ConnectLoopback(Port);
    ASSERT_EQ(First, Old.Receive(SurGardFrameLength, PatienceMs)) << C.Name;
    if (!C.KeepOld) {
      Old.Close();
      ASSERT_NE("", Sim.WaitLine("DISCONNECTED closed by the service")) << C.Name;
    }
    TLoopbackPeer New = ConnectLoopback(Port);
    EXPECT_EQ(First, New.Receive(SurGardFrameLength, PatienceMs)) << C.Name;
    if (C.KeepOld) {
      EXPECT_TRUE(Old.WaitClosed(PatienceMs)) << C.Name;
    }
    New.Send(std::string(1, ACK));
    EXPECT_EQ(Second, New.Receive(SurGardFrameLength, PatienceMs)) << C.Name;
    New.Send(std::string(1, ACK));
    EXPECT_EQ(0, Sim.WaitExit()) << C.Name << "\n" << Sim.Output();

    EXPECT_EQ((std::vector<std::string>{"SEND attempt=1", "RESEND attempt=2 reason=reconnect",
                                        "ACK attempts=2", "SEND attempt=1", "ACK attempts=1"}),
              Briefs(Only(ReadLog(LogFile), FrameEvents)))
        << C.Name;
  }
}

TEST_F(ReceiverSimTest, EncryptedStreamInteroperatesWithTheServiceChannel) {
  struct {
    const char* SimKey;
    std::string ChannelKey;
    bool WantAcknowledged;
  } Cases[] = {
      {"01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10", Key128, true},
      {"0102030405060708090a0b0c0d0e0f10", Key128, true},
      {"01:02:03:04:05:06:07:08:09:10:11:12:13:14:15:16:17:18:19:20:21:22:23:24",
       "01-02-03-04-05-06-07-08-09-10-11-12-13-14-15-16-17-18-19-20-21-22-23-24", true},
      {"00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF",
       "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00 11 22 33 44 55 66 77 88 99 AA BB CC DD "
       "EE FF",
       true},
      {"01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-11", Key128, false},
  };
  for (const auto& C : Cases) {
    std::string Context = std::string(C.SimKey) + " / " + C.ChannelKey;
    // More than 16 acknowledgements, so that the answers run past the first cipher block; with
    // the wrong key the two reports soon fail.
    std::string Count = C.WantAcknowledged ? "18" : "0";
    std::string AckTimeout = C.WantAcknowledged ? NeverTimesOut : "300";
    TSim Sim({"--tcp", "0", "--key", C.SimKey, "--report", "1234:E130:01:015", "--report",
              "12B4:R602:02:003", "--count", Count, "--ack-timeout", AckTimeout, "--retries", "0",
              "--linktest-interval", "0", "--log", LogFile});
    std::uint16_t Port = Sim.Port();
    ASSERT_NE(0, Port) << Sim.Output();
    TServiceEnd Service(TcpChannel(Port, C.ChannelKey));
    int Exit = Service.PollUntilExit(Sim);
    std::vector<TLogLine> Log = ReadLog(LogFile);
    EXPECT_EQ(1u, Only(Log, {"ENCRYPTED"}).size()) << Context;
    if (C.WantAcknowledged) {
      EXPECT_EQ(0, Exit) << Context << "\n" << Sim.Output();
      ASSERT_EQ(20u, Service.Reports.size()) << Context;
      EXPECT_EQ((TReport{0x1234, 1, 0x130, 1, 0x15}), Service.Reports[0]) << Context;
      EXPECT_EQ((TReport{0x12B4, 3, 0x602, 2, 3}), Service.Reports[1]) << Context;
      EXPECT_EQ((TReport{0x1234, 1, 0x130, 1, 0x18}), Service.Reports[19]) << Context;
      EXPECT_EQ(20u, Only(Log, {"ACK"}).size()) << Context;
    } else {
      // Another key: the service reads noise and acknowledges nothing.
      EXPECT_EQ(1, Exit) << Context << "\n" << Sim.Output();
      EXPECT_TRUE(Service.Reports.empty()) << Context;
      EXPECT_EQ(2u, Only(Log, {"FAILED"}).size()) << Context;
    }
  }
}

TEST_F(ReceiverSimTest, EncryptingSimulatorTellsWhenTheServiceChannelIsPlain) {
  TSim Sim({"--tcp", "0", "--key", Key128, "--report", "1234:E130:01:015", "--ack-timeout", "300",
            "--log", LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TServiceEnd Service(TcpChannel(Port));
  EXPECT_TRUE(Service.PollUntil([&] { return Sim.HasLine("WAITING no initial vector"); }))
      << Sim.Output();
  Sim.Signal(SIGTERM);
  EXPECT_EQ(1, Service.PollUntilExit(Sim)) << Sim.Output();
  EXPECT_TRUE(Service.Reports.empty());
  EXPECT_EQ(0u, Only(ReadLog(LogFile), FrameEvents).size()) << "nothing goes out unencrypted";
}

TEST_F(ReceiverSimTest, LinkTestsGoOutWhenIdleUntilStopped) {
  TSim Sim({"--tcp", "0", "--linktest-interval", "100", "--ack-timeout", NeverTimesOut, "--log",
            LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TServiceEnd Service(TcpChannel(Port));
  ASSERT_TRUE(Service.PollUntil([&] { return Sim.HasLine("LINKTEST-ACK 2 "); })) << Sim.Output();
  EXPECT_GE(Service.LinkTests, 2);
  EXPECT_TRUE(Service.Reports.empty());

  // Every line is in the file as soon as it happened, not only at the end.
  std::vector<TLogLine> Acks = Only(ReadLog(LogFile), {"LINKTEST-ACK"});
  ASSERT_GE(Acks.size(), 2u);
  EXPECT_EQ((std::vector<std::string>{"1", "linktest", "attempts=1"}), Acks[0].Words);
  EXPECT_EQ((std::vector<std::string>{"2", "linktest", "attempts=1"}), Acks[1].Words);
  EXPECT_GE(Acks[1].Ms - Acks[0].Ms, 99) << "link tests only after the idle interval";

  Sim.Signal(SIGTERM);
  EXPECT_EQ(0, Service.PollUntilExit(Sim)) << Sim.Output();
  EXPECT_TRUE(Sim.HasLine("ReceiverSim: 0 acknowledged, 0 resent, 0 failed")) << Sim.Output();
  EXPECT_TRUE(Sim.HasLine("ReceiverSim: link tests: ")) << Sim.Output();
  EXPECT_EQ("", Sim.Errors());
}

TEST_F(ReceiverSimTest, StopSignalEndsWithTheSummaryAndCountsWhatWasNotDone) {
  for (int Signal : {SIGINT, SIGTERM}) {
    TSim Sim({"--tcp", "0", "--report", "1234:E130:01:015", "--log", LogFile});
    ASSERT_NE(0, Sim.Port()) << Sim.Output();
    // Nobody connects: the report cannot go out.
    Sim.Signal(Signal);
    EXPECT_EQ(1, Sim.WaitExit()) << Signal << "\n" << Sim.Output();
    EXPECT_TRUE(Sim.HasLine("ReceiverSim: 0 acknowledged, 0 resent, 0 failed")) << Sim.Output();
    EXPECT_TRUE(Sim.HasLine("ReceiverSim: 1 frames not finished")) << Sim.Output();
    std::vector<TLogLine> Log = ReadLog(LogFile);
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(
        "SUMMARY acknowledged=0 resent=0 failed=0 unfinished=1 linktests-acknowledged=0 "
        "linktests-resent=0 linktests-failed=0",
        Log.back().Brief());
  }
}

TEST_F(ReceiverSimTest, BytesOutsideAnExchangeAreLoggedAsStray) {
  TSim Sim({"--tcp", "0", "--linktest-interval", "0", "--log", LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TLoopbackPeer Peer = ConnectLoopback(Port);
  Peer.Send(std::string(1, ACK));
  EXPECT_NE("", Sim.WaitLine("STRAY byte=06")) << Sim.Output();
  Sim.Signal(SIGTERM);
  EXPECT_EQ(0, Sim.WaitExit()) << Sim.Output();
}

TEST_F(ReceiverSimTest, SerialLineThroughThePseudoTerminal) {
  TSim Sim({"--serial", "--report", "1234:E130:01:015", "--report", "1234:R130:01:015", "--report",
            "12B4:E602:00:000", "--ack-timeout", NeverTimesOut, "--linktest-interval", "0", "--log",
            LogFile});
  std::string Device = Sim.Device();
  ASSERT_NE("", Device) << Sim.Output();
  EXPECT_NE("", Sim.WaitLine("PELMAR_SERIAL_DEVICE=" + Device));
  TSerialDeviceVariable Variable(Device);
  auto Channel = std::make_unique<TSerialChannel>();
  Channel->SetAddress("1/9600-8-N-1");
  TServiceEnd Service(std::move(Channel));

  // The first report is taken but not acknowledged, and the service closes the port: the
  // simulator must send it again once the port is open again.
  Service.Acknowledge = false;
  ASSERT_TRUE(Service.PollUntil([&] { return Service.Reports.size() == 1; })) << Sim.Output();
  Service.Channel().Close();
  ASSERT_NE("", Sim.WaitLine("DISCONNECTED closed by the service")) << Sim.Output();
  Service.Acknowledge = true;
  EXPECT_EQ(0, Service.PollUntilExit(Sim)) << Sim.Output();

  EXPECT_EQ((std::vector<TReport>{{0x1234, 1, 0x130, 1, 0x15},
                                  {0x1234, 1, 0x130, 1, 0x15},
                                  {0x1234, 3, 0x130, 1, 0x15},
                                  {0x12B4, 1, 0x602, 0, 0}}),
            Service.Reports);
  EXPECT_EQ((std::vector<std::string>{"SEND attempt=1", "RESEND attempt=2 reason=reconnect",
                                      "ACK attempts=2", "SEND attempt=1", "ACK attempts=1",
                                      "SEND attempt=1", "ACK attempts=1"}),
            Briefs(Only(ReadLog(LogFile), FrameEvents)));
}

TEST_F(ReceiverSimTest, CountGeneratesReportsThatCanEachBeFound) {
  const int Count = 1000;
  TSim Sim({"--tcp", "0", "--count", std::to_string(Count), "--account", "4321", "--event", "R401",
            "--ack-timeout", NeverTimesOut, "--linktest-interval", "0", "--quiet", "--log",
            LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TLoopbackPeer Peer = ConnectLoopback(Port);
  TcspSurGardCID Decoder;
  std::vector<TReport> Decoded;
  Decoder.SetOnMessage([&](TciMessage& Msg) { Decoded.push_back(ReportOf(Msg)); });
  for (int I = 0; I < Count; ++I) {
    std::string Frame = Peer.Receive(SurGardFrameLength, PatienceMs);
    ASSERT_EQ(SurGardFrameLength, Frame.size()) << I;
    for (char Byte : Frame)
      Decoder.ProcessChar(Byte);
    Peer.Send(std::string(1, ACK));
  }
  EXPECT_EQ(0, Sim.WaitExit()) << Sim.Output();

  // Zones 001..999 in decimal digits, then the next group; the decoder reads digits as hex.
  ASSERT_EQ(static_cast<std::size_t>(Count), Decoded.size());
  std::set<TReport> Distinct(Decoded.begin(), Decoded.end());
  EXPECT_EQ(Decoded.size(), Distinct.size());
  EXPECT_EQ((TReport{0x4321, 3, 0x401, 0x01, 0x001}), Decoded[0]);
  EXPECT_EQ((TReport{0x4321, 3, 0x401, 0x01, 0x999}), Decoded[998]);
  EXPECT_EQ((TReport{0x4321, 3, 0x401, 0x02, 0x001}), Decoded[999]);

  std::vector<TLogLine> Acks = Only(ReadLog(LogFile), {"ACK"});
  ASSERT_EQ(static_cast<std::size_t>(Count), Acks.size());
  EXPECT_EQ((std::vector<std::string>{"1", "4321:R401:01:001", "attempts=1"}), Acks[0].Words);
  EXPECT_EQ((std::vector<std::string>{"1000", "4321:R401:02:001", "attempts=1"}), Acks[999].Words);
  EXPECT_FALSE(Sim.HasLine(" ACK ")) << "--quiet prints no event lines";
}

TEST_F(ReceiverSimTest, GarbageBetweenFramesCostsTheServiceNoReport) {
  TSim Sim({"--tcp", "0", "--garbage", "40", "--count", "5", "--ack-timeout", NeverTimesOut,
            "--linktest-interval", "0", "--log", LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TServiceEnd Service(TcpChannel(Port));
  EXPECT_EQ(0, Service.PollUntilExit(Sim)) << Sim.Output();
  EXPECT_EQ(5u, Service.Reports.size());
  std::vector<TLogLine> Log = ReadLog(LogFile);
  EXPECT_EQ(5u, Only(Log, {"NOISE"}).size());
  EXPECT_EQ("NOISE bytes=41", Only(Log, {"NOISE"})[0].Brief());
  for (const TLogLine& L : Only(Log, {"ACK"}))
    EXPECT_EQ("ACK attempts=1", L.Brief());
}

TEST_F(ReceiverSimTest, CutConnectionInTheMiddleOfAFrame) {
  // The service keeps the half frame; the whole one arriving soon after it makes a frame of the
  // wrong length, which it drops: the time-out resend is what gets through then.
  TSim Sim({"--tcp", "0", "--cut", "--report", "1234:E130:01:015", "--report", "1234:R130:01:015",
            "--ack-timeout", "500", "--retries", "10", "--linktest-interval", "0", "--log",
            LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TServiceEnd Service(TcpChannel(Port));
  EXPECT_EQ(0, Service.PollUntilExit(Sim)) << Sim.Output();
  std::set<TReport> Got(Service.Reports.begin(), Service.Reports.end());
  EXPECT_EQ((std::set<TReport>{{0x1234, 1, 0x130, 1, 0x15}, {0x1234, 3, 0x130, 1, 0x15}}), Got);

  std::vector<TLogLine> Log = ReadLog(LogFile);
  ASSERT_EQ(1u, Only(Log, {"CUT"}).size()) << Sim.Output();
  EXPECT_EQ("CUT bytes=10", Only(Log, {"CUT"})[0].Brief());
  EXPECT_EQ(1u, Only(Log, {"DISCONNECTED"}).size()) << Sim.Output();
  std::vector<TLogLine> Frames = Only(Log, FrameEvents);
  ASSERT_GE(Frames.size(), 2u);
  EXPECT_EQ("RESEND attempt=2 reason=reconnect", Frames[1].Brief());
  EXPECT_EQ(2u, Only(Log, {"ACK"}).size());
}

TEST_F(ReceiverSimTest, ReceiverThatStopsReadingFailsEveryFrame) {
  TSim Sim({"--tcp", "0", "--no-read", "--count", "2", "--ack-timeout", "200", "--retries", "1",
            "--linktest-interval", "0", "--log", LogFile});
  std::uint16_t Port = Sim.Port();
  ASSERT_NE(0, Port) << Sim.Output();
  TServiceEnd Service(TcpChannel(Port));
  EXPECT_EQ(1, Service.PollUntilExit(Sim)) << Sim.Output();
  // The service got and acknowledged every attempt; the simulator never saw an answer.
  EXPECT_EQ(4u, Service.Reports.size());
  std::vector<TLogLine> Log = ReadLog(LogFile);
  EXPECT_EQ(2u, Only(Log, {"FAILED"}).size());
  EXPECT_EQ(0u, Only(Log, {"ACK", "NAK", "STRAY"}).size());
  EXPECT_TRUE(Sim.HasLine("ReceiverSim: 0 acknowledged, 2 resent, 2 failed")) << Sim.Output();
}

TEST_F(ReceiverSimTest, BadArgumentsAndScriptsAreRefused) {
  struct {
    std::vector<std::string> Args;
    std::string Script;  // given with --script when not empty
    std::string Want;    // part of the message on standard error
  } Cases[] = {
      {{}, "", "give either --tcp PORT or --serial"},
      {{"--tcp", "0", "--serial"}, "", "give either --tcp PORT or --serial"},
      {{"--tcp", "70000"}, "", "--tcp wants a port number from 0 to 65535"},
      {{"--tcp"}, "", "--tcp wants a value"},
      {{"--tcp", "0", "--frobnicate", "1"}, "", "unexpected argument --frobnicate"},
      {{"--tcp", "0", "--ack-timeout", "0"}, "", "--ack-timeout wants milliseconds"},
      {{"--serial", "--key", Key128}, "", "--key is for --tcp"},
      {{"--tcp", "0", "--key", "01-02-03"}, "", "key of 3 bytes: AES takes 16, 24 or 32"},
      {{"--tcp", "0", "--key", "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-1G"},
       "",
       "must be hex bytes"},
      {{"--tcp", "0", "--report", "1234:E13:01:015"}, "", "must be ACCOUNT:QCODE:GROUP:ZONE"},
      {{"--tcp", "0", "--report", "12G4:E130:01:015"}, "", "account \"12G4\" must be 4 hex digits"},
      {{"--tcp", "0", "--count", "2", "--event", "E13"}, "", "event \"E13\" must be"},
      {{"--tcp", "0", "--script", "/nonexistent/script.txt"}, "", "cannot read the script"},
      {{"--tcp", "0"},
       "report 1234 E 130 01 001\n\nreport 1234 E 130 01\n",
       "script.txt:3: usage: report ACCOUNT QUALIFIER CODE GROUP ZONE"},
      {{"--tcp", "0"}, "report 1234 EE 130 01 001\n", "script.txt:1: qualifier \"EE\""},
      {{"--tcp", "0"}, "wait soon\n", "script.txt:1: wait \"soon\" is not a number"},
      {{"--tcp", "0"}, "frobnicate\n", "script.txt:1: unknown step \"frobnicate\""},
      {{"--tcp", "0"}, "report 1234 E 130 01 #\n", "needs repeat"},
      {{"--tcp", "0"}, "repeat 1000 report 1234 E 130 01 #\n", "repetition 1000 does not fit"},
      {{"--tcp", "0"}, "repeat 2 repeat 2 linktest\n", "repeat cannot be repeated"},
      {{"--tcp", "0"}, "raw 4\n", "\"4\" is not a whole number of hex bytes"},
      {{"--tcp", "0"}, "garbage\n", "usage: garbage COUNT"},
  };
  for (const auto& C : Cases) {
    std::vector<std::string> Args = C.Args;
    if (!C.Script.empty()) {
      Args.push_back("--script");
      Args.push_back(Dir.File("script.txt", C.Script));
    }
    std::string Context = C.Want;
    TSim Sim(Args);
    EXPECT_EQ(2, Sim.WaitExit()) << Context;
    EXPECT_NE(std::string::npos, Sim.Errors().find(C.Want)) << Context << "\n" << Sim.Errors();
    EXPECT_FALSE(Sim.HasLine("listening")) << Context;
  }
}

}  // namespace
}  // namespace pelmar
