#include "cidReceiver.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "FakeClock.h"
#include "LogCapture.h"
#include "MemoryChannel.h"

namespace pelmar {
namespace {

using test::TFakeClock;
using test::TLogCapture;
using test::TMemoryChannel;

const std::string Report = std::string("5011 181234E13001003") + DC4;
const std::string LinkTest = std::string("1              @    ") + DC4;

class ReceiverTest : public ::testing::Test {
 protected:
  ReceiverTest() {
    Channel.Open();
    Receiver.SetOnMessage([this](TciMessage& Msg) {
      Reports.push_back(Msg);
      Msg.Ack = HandlerAcks;
    });
  }

  TFakeClock Clock;
  TLogCapture Log;
  TMemoryChannel Channel;
  TReceiver Receiver{TcspSurGardCID::Create, Channel};
  std::vector<TciMessage> Reports;
  bool HandlerAcks = true;
};

TEST_F(ReceiverTest, AcknowledgesHandledReportOnce) {
  Receiver.SetAckEvents(true);
  Channel.Input = Report;
  Receiver.Poll();
  ASSERT_EQ(1u, Reports.size());
  EXPECT_EQ(304, Reports[0].Code);
  EXPECT_EQ(std::string(1, ACK), Channel.Output);
  EXPECT_TRUE(Log.Contains("Ack sent"));
  EXPECT_FALSE(Receiver.Protocol().AckPending());
}

TEST_F(ReceiverTest, SeveralFramesInOnePollGiveOneAckForTheLast) {
  Receiver.SetAckEvents(true);
  Channel.Input = Report + LinkTest + Report;
  Channel.MaxRead = 100;
  Receiver.Poll();
  EXPECT_EQ(2u, Reports.size());
  EXPECT_EQ(std::string(1, ACK), Channel.Output);

  Channel.Output.clear();
  HandlerAcks = false;
  Channel.Input = LinkTest + Report;
  Receiver.Poll();
  EXPECT_EQ("", Channel.Output) << "the last frame, a report nobody took, decides";
}

TEST_F(ReceiverTest, ReadsAtMost100BytesPerPoll) {
  Channel.Input = std::string(150, 'x');
  Receiver.Poll();
  EXPECT_EQ(50u, Channel.Input.size());
}

TEST_F(ReceiverTest, WithoutAckEventsNothingIsWrittenAndAckStaysPending) {
  Channel.Input = Report;
  Receiver.Poll();
  EXPECT_EQ("", Channel.Output);
  EXPECT_FALSE(Log.Contains("Ack sent"));
  EXPECT_TRUE(Receiver.Protocol().AckPending());
}

TEST_F(ReceiverTest, LinkTestRefreshesPresenceButIsNotPassedOn) {
  Receiver.SetTimeout(30000);
  Clock.Advance(40000);
  Receiver.Poll();
  EXPECT_FALSE(Receiver.Online());
  Channel.Input = LinkTest;
  Receiver.Poll();
  EXPECT_TRUE(Reports.empty());
  EXPECT_EQ(Clock.Ticks(), Receiver.LastMessageTick());
  EXPECT_TRUE(Receiver.Online());
}

// Whether the receiver has spoken on the current connection: any decoded message counts, a new
// connection starts unheard with a whole time-out, and a failing report handler neither reaches
// the caller nor earns an acknowledgement.
TEST_F(ReceiverTest, HeardSinceTheConnectionStarted) {
  Receiver.SetTimeout(30000);
  Receiver.SetAckEvents(true);
  EXPECT_FALSE(Receiver.Heard());
  Channel.Input = LinkTest;
  Receiver.Poll();
  EXPECT_TRUE(Receiver.Heard());

  Clock.Advance(40000);
  Receiver.ConnectionStarted();
  EXPECT_FALSE(Receiver.Heard());
  EXPECT_EQ(Clock.Ticks(), Receiver.LastMessageTick());
  Receiver.Poll();
  EXPECT_TRUE(Receiver.Online()) << "a new connection gets a whole time-out";

  Receiver.SetOnMessage([](TciMessage&) { throw std::runtime_error("database down"); });
  Channel.Output.clear();
  Channel.Input = Report;
  EXPECT_NO_THROW(Receiver.Poll());
  EXPECT_TRUE(Receiver.Heard());
  EXPECT_EQ("", Channel.Output) << "a report nobody stored is not acknowledged";
}

TEST_F(ReceiverTest, OnlineFollowsSilenceAcrossTickWrap) {
  Receiver.SetTimeout(30000);
  Clock.SetTicks(0xFFFFF000u);
  Channel.Input = LinkTest;
  Receiver.Poll();
  EXPECT_TRUE(Receiver.Online());
  Clock.Advance(29999);  // wraps past 2^32
  Receiver.Poll();
  EXPECT_TRUE(Receiver.Online());
  Clock.Advance(1);
  Receiver.Poll();
  EXPECT_FALSE(Receiver.Online()) << "30 s of silence";
}

TEST_F(ReceiverTest, ZeroTimeoutNeverOnline) {
  Channel.Input = LinkTest;
  Receiver.Poll();
  EXPECT_FALSE(Receiver.Online());
}

TEST_F(ReceiverTest, ReadFailureClosesChannelAndKeepsOnline) {
  Receiver.SetTimeout(30000);
  Channel.Input = LinkTest;
  Receiver.Poll();
  ASSERT_TRUE(Receiver.Online());
  std::vector<int> Statuses;
  Channel.SetOnStatus([&](TCustomChannel& C) { Statuses.push_back(C.Status()); });
  Channel.FailRead = "line dropped";
  Clock.Advance(60000);
  try {
    Receiver.Poll();
    FAIL() << "no exception";
  } catch (const EChannelError& E) {
    EXPECT_EQ("line dropped", E.Message());
  }
  EXPECT_EQ(std::vector<int>{0}, Statuses);
  EXPECT_TRUE(Receiver.Online());
  EXPECT_EQ(0, Channel.Purges) << "the closed channel is not purged";
}

TEST_F(ReceiverTest, WriteFailureDropsTheAckAndPurgeKeepsFirstError) {
  Receiver.SetAckEvents(true);
  Channel.Input = Report;
  Channel.FailWrite = "write failed";
  EXPECT_THROW(Receiver.Poll(), EChannelError);
  EXPECT_FALSE(Receiver.Protocol().AckPending()) << "an ack is not owed twice";
  EXPECT_FALSE(Channel.IsOpen());
}

TEST_F(ReceiverTest, HandlerFailureIsNotAcknowledged) {
  Receiver.SetAckEvents(true);
  Receiver.SetOnMessage([](TciMessage& Msg) {
    Msg.Ack = true;
    throw Exception("database down");
  });
  Channel.Input = Report;
  Receiver.Poll();
  EXPECT_EQ("", Channel.Output);
  EXPECT_TRUE(Channel.IsOpen());
}

}  // namespace
}  // namespace pelmar
