#include "CustomChannel.h"

#include <gtest/gtest.h>

#include "FakeClock.h"
#include "Hex.h"
#include "LogCapture.h"
#include "MemoryChannel.h"

namespace pelmar {
namespace {

using test::ByteString;
using test::TFakeClock;
using test::TLogCapture;
using test::TMemoryChannel;

class CustomChannelTest : public ::testing::Test {
 protected:
  CustomChannelTest() {
    Channel.SetOnStatus([this](TCustomChannel& Sender) {
      EXPECT_EQ(&Channel, &Sender);
      EXPECT_EQ(Sender.Status() == csOpen, Sender.IsOpen()) << "notified after both changed";
      Statuses.push_back(Sender.Status());
    });
  }

  // Expects Call to raise EChannelError with Message.
  template <typename F>
  void ExpectChannelError(const std::string& Message, F Call) {
    try {
      Call();
      ADD_FAILURE() << "no exception, expected " << Message;
    } catch (const EChannelError& E) {
      EXPECT_EQ(Message, E.Message());
      EXPECT_STREQ("EChannelError", E.ClassName());
    }
  }

  TFakeClock Clock;
  TLogCapture Log;
  TMemoryChannel Channel;
  std::vector<int> Statuses;
};

TEST_F(CustomChannelTest, StatusNotifiesOnlyOnChange) {
  Channel.SetStatus(csClosed);
  EXPECT_TRUE(Statuses.empty());
  Channel.SetStatus(csOpening);
  Channel.SetStatus(csOpen);
  Channel.SetStatus(csOpen);
  EXPECT_EQ((std::vector<int>{1, 2}), Statuses);
}

TEST_F(CustomChannelTest, OpenAndClose) {
  Channel.Open();
  EXPECT_TRUE(Channel.IsOpen());
  Channel.Close();
  EXPECT_FALSE(Channel.DeviceOpen);
  EXPECT_EQ((std::vector<int>{1, 2, 0}), Statuses);
}

TEST_F(CustomChannelTest, OpenStillPendingStaysOpening) {
  Channel.OpenPending = true;
  Channel.Open();
  EXPECT_EQ(csOpening, Channel.Status());
  EXPECT_FALSE(Channel.IsOpen());
  EXPECT_EQ((std::vector<int>{1}), Statuses);
}

TEST_F(CustomChannelTest, FailedOpenClosesAndWrapsMessage) {
  Channel.FailOpen = "no such port";
  Channel.FailClose = "close failed too";
  ExpectChannelError("no such port", [&] { Channel.Open(); });
  EXPECT_EQ(csClosed, Channel.Status());
  EXPECT_EQ(1, Channel.Closes);
  EXPECT_EQ((std::vector<int>{1, 0}), Statuses);
}

TEST_F(CustomChannelTest, CheckConnectionPacesAttempts) {
  EXPECT_TRUE(Channel.CheckConnection(30000)) << "a new channel tries at once";
  EXPECT_TRUE(Channel.CheckConnection(30000));
  EXPECT_EQ(1, Channel.Opens) << "an open channel is not touched";

  Channel.Close();
  EXPECT_FALSE(Channel.CheckConnection(30000)) << "the interval counts from the last attempt";
  EXPECT_EQ(1, Channel.Opens);
}

TEST_F(CustomChannelTest, CheckConnectionWaitsIntervalAfterFailure) {
  Channel.FailOpen = "refused";
  EXPECT_THROW(Channel.CheckConnection(30000), EChannelError);
  Clock.Advance(30000);
  EXPECT_FALSE(Channel.CheckConnection(30000));
  EXPECT_EQ(1, Channel.Opens);
  Clock.Advance(1);
  EXPECT_TRUE(Channel.CheckConnection(30000));
  EXPECT_EQ(2, Channel.Opens);
}

TEST_F(CustomChannelTest, ClosedChannelRefusesReadAndWriteButPurgeIsSilent) {
  char Buffer[4];
  ExpectChannelError("Канал не открыт!", [&] { Channel.Read(Buffer, 4); });
  ExpectChannelError("Канал не открыт!", [&] { Channel.Write("x", 1); });
  Channel.Purge(true, true);
  EXPECT_EQ(0, Channel.Reads + Channel.Writes + Channel.Purges + Channel.Closes);
  EXPECT_TRUE(Statuses.empty()) << "a refused call does not close anything";
}

TEST_F(CustomChannelTest, DebugIODumpsTraffic) {
  Channel.Open();
  Channel.SetDebugIO(true);
  char Buffer[8];
  EXPECT_EQ(0, Channel.Read(Buffer, 8));
  Channel.Write("", 0);
  EXPECT_TRUE(Log.Lines().empty()) << "empty reads and writes log nothing";
  EXPECT_EQ(0, Channel.Writes) << "a write of 0 bytes does not reach the device";

  Channel.Input = ByteString("06 14");
  EXPECT_EQ(2, Channel.Read(Buffer, 8));
  Channel.WriteString(ByteString("35 30 14"));
  EXPECT_EQ((std::vector<std::string>{"Recv: 06 14", "Send: 35 30 14"}), Log.Lines());

  Channel.SetDebugIO(false);
  Channel.Input = "a";
  Channel.Read(Buffer, 8);
  EXPECT_EQ(2u, Log.Lines().size());
}

TEST_F(CustomChannelTest, DeviceFailureClosesChannel) {
  struct Case {
    const char* Name;
    std::string TMemoryChannel::*Trigger;
    std::function<void(TCustomChannel&)> Call;
  } Cases[] = {
      {"read", &TMemoryChannel::FailRead,
       [](TCustomChannel& C) {
         char B[4];
         C.Read(B, 4);
       }},
      {"write", &TMemoryChannel::FailWrite, [](TCustomChannel& C) { C.Write("ab", 2); }},
      {"purge", &TMemoryChannel::FailPurge, [](TCustomChannel& C) { C.Purge(true, false); }},
  };
  for (const auto& C : Cases) {
    Statuses.clear();
    Channel.Open();
    Channel.*C.Trigger = std::string(C.Name) + " failed";
    ExpectChannelError(std::string(C.Name) + " failed", [&] { C.Call(Channel); });
    EXPECT_EQ(csClosed, Channel.Status()) << C.Name;
    EXPECT_FALSE(Channel.DeviceOpen) << C.Name;
    EXPECT_EQ((std::vector<int>{1, 2, 0}), Statuses) << C.Name;
  }
}

TEST(BytesToHex, AppendsPairsWithSeparator) {
  std::string S;
  BytesToHex("\x35\x30\x14", 3, S);
  EXPECT_EQ("35 30 14", S);
  BytesToHex("\xff", 1, S);
  EXPECT_EQ("35 30 14 FF", S);
  std::string Empty;
  BytesToHex("", 0, Empty);
  EXPECT_EQ("", Empty);
}

}  // namespace
}  // namespace pelmar
