#include "cidProtocol.h"

#include <gtest/gtest.h>

#include "Exception.h"
#include "FakeClock.h"
#include "LogCapture.h"

namespace pelmar {
namespace {

using test::TFakeClock;
using test::TLogCapture;

// A report frame "5" "01" "1" " " "18" Account Q Code Group Zone DC4.
std::string Report(const std::string& Account = "1234", char Q = 'E',
                   const std::string& Code = "130", const std::string& Group = "01",
                   const std::string& Zone = "003") {
  return "5011 18" + Account + Q + Code + Group + Zone + DC4;
}

std::string LinkTest() {
  std::string S(21, ' ');
  S[0] = '1';
  S[15] = '@';
  S[20] = DC4;
  return S;
}

class SurGardTest : public ::testing::Test {
 protected:
  SurGardTest() {
    Protocol.SetOnMessage([this](TciMessage& Msg) {
      Decoded.push_back(Msg);
      Msg.Ack = HandlerAcks;
      if (HandlerFails)
        throw Exception("handler failed");
    });
  }

  void Feed(const std::string& Bytes) {
    for (char C : Bytes)
      Protocol.ProcessChar(C);
  }

  TFakeClock Clock;
  TLogCapture Log;
  TcspSurGardCID Protocol;
  std::vector<TciMessage> Decoded;
  bool HandlerAcks = true;
  bool HandlerFails = false;
};

TEST_F(SurGardTest, DecodesReportFieldsAsHexadecimal) {
  std::string Frame = Report();
  ASSERT_EQ(21u, Frame.size());
  Feed(Frame);
  ASSERT_EQ(1u, Decoded.size());
  TciMessage Want{4660, 18, 1, 304, 1, 3, false};
  EXPECT_EQ(Want, Decoded[0]);
  EXPECT_TRUE(Log.Contains("Buffer at 21, looking for msg.."));
  EXPECT_TRUE(Log.Contains("Parsing msg: \"" + Frame + "\""));
  EXPECT_TRUE(Protocol.AckPending()) << "the handler set Ack";
  EXPECT_TRUE(Protocol.Frame().empty());
}

TEST_F(SurGardTest, FieldTable) {
  struct Case {
    std::string Frame;
    bool Decodes;
    TciMessage Want;
  } Cases[] = {
      {Report("1234", 'R'), true, {4660, 18, 3, 304, 1, 3, false}},
      {Report("1234", 'S'), true, {4660, 18, 6, 304, 1, 3, false}},
      {Report("12B4"), true, {4788, 18, 1, 304, 1, 3, false}},
      {Report("12b4"), true, {4788, 18, 1, 304, 1, 3, false}},
      {Report("FFFF", 'E', "602", "FF", "FFF"), true, {65535, 18, 1, 1538, 255, 4095, false}},
      {Report("0000", 'E', "000", "00", "010"), true, {0, 18, 1, 0, 0, 16, false}},
      {Report("1234", 'P'), false, {}},  // unknown qualifier
      {Report("1234", 'e'), false, {}},  // qualifiers are upper case only
      {Report("12G4"), false, {}},       // not a hex digit
      {Report("1 34"), false, {}},       // blank inside a number
      {Report("1234", 'E', "1-0"), false, {}},
      {"5011 1X1234E13001003" + std::string(1, DC4), false, {}},  // message type not decimal
  };
  for (const auto& C : Cases) {
    Decoded.clear();
    Log.Clear();
    Feed(C.Frame);
    if (C.Decodes) {
      ASSERT_EQ(1u, Decoded.size()) << C.Frame;
      EXPECT_EQ(C.Want, Decoded[0]) << C.Frame;
    } else {
      EXPECT_TRUE(Decoded.empty()) << C.Frame;
      // Dropped silently after the parse line.
      EXPECT_EQ("Parsing msg: \"" + C.Frame + "\"", Log.Lines().back()) << C.Frame;
    }
    EXPECT_TRUE(Protocol.Frame().empty()) << C.Frame;
  }
}

TEST_F(SurGardTest, MalformedFrameLeavesAckPendingAlone) {
  Feed(Report());
  ASSERT_TRUE(Protocol.AckPending());
  Feed(Report("1234", 'P'));
  EXPECT_TRUE(Protocol.AckPending());
}

TEST_F(SurGardTest, LinkTestIsAcknowledgedEvenWithoutHandler) {
  TcspSurGardCID Bare;
  for (char C : LinkTest())
    Bare.ProcessChar(C);
  EXPECT_TRUE(Bare.AckPending());

  Feed(LinkTest());
  ASSERT_EQ(1u, Decoded.size());
  EXPECT_EQ(0, Decoded[0].MessageType);
  EXPECT_EQ(6, Decoded[0].Qualifier);
  EXPECT_EQ(0u, Decoded[0].Account);
}

TEST_F(SurGardTest, ReportWithoutHandlerIsNotAcknowledged) {
  TcspSurGardCID Bare;
  Bare.SetAckPending(true);
  for (char C : Report())
    Bare.ProcessChar(C);
  EXPECT_FALSE(Bare.AckPending());
}

TEST_F(SurGardTest, FailingHandlerKeepsPreviousAckState) {
  HandlerFails = true;
  Feed(Report());
  EXPECT_EQ(1u, Decoded.size());
  EXPECT_FALSE(Protocol.AckPending());
  HandlerFails = false;
  Feed(LinkTest());
  HandlerFails = true;
  Feed(Report());
  EXPECT_TRUE(Protocol.AckPending()) << "stays from the link test";
}

TEST_F(SurGardTest, GarbageFrames) {
  struct Case {
    std::string Bytes;
    std::string LastLine;
  } Cases[] = {
      {std::string(19, '5') + DC4, "Garbage ignored.."},
      {Report().substr(1), "Garbage ignored.."},
      {"5" + Report(), "Garbage ignored.."},
      {std::string(1, DC4), "Garbage ignored.."},
      {"7" + Report().substr(1), "..garbage, ignored"},
      {"1" + std::string(19, ' ') + DC4, "..garbage, ignored"},  // link test without "@"
  };
  for (const auto& C : Cases) {
    Log.Clear();
    Feed(C.Bytes);
    EXPECT_TRUE(Decoded.empty()) << C.Bytes;
    EXPECT_EQ(C.LastLine, Log.Lines().back()) << C.Bytes;
    EXPECT_TRUE(Protocol.Frame().empty()) << C.Bytes;
    EXPECT_FALSE(Protocol.AckPending());
  }
}

TEST_F(SurGardTest, PauseOver1000msSplitsFrame) {
  std::string Frame = Report();
  Feed(Frame.substr(0, 10));
  Clock.Advance(1000);
  Feed(Frame.substr(10));
  EXPECT_EQ(1u, Decoded.size()) << "a gap of exactly 1000 ms does not split";

  Decoded.clear();
  Log.Clear();
  Feed(Frame.substr(0, 10));
  Clock.Advance(1001);
  Feed(Frame.substr(10));
  EXPECT_TRUE(Decoded.empty());
  auto Lines = Log.Lines();
  ASSERT_EQ(2u, Lines.size());
  EXPECT_EQ("Input buffer discarded", Lines[0]);
  EXPECT_EQ("Garbage ignored..", Lines[1]);
}

TEST_F(SurGardTest, NoiseThenPauseThenFrameDecodes) {
  Feed("noise");
  Clock.Advance(1500);
  Feed(Report());
  EXPECT_EQ(1u, Decoded.size());
}

TEST_F(SurGardTest, LongRunWithoutTerminatorIsDiscardedAt257thByte) {
  Feed(std::string(256, 'x'));
  EXPECT_EQ(256u, Protocol.Frame().size());
  EXPECT_TRUE(Log.Lines().empty());
  Feed("5");
  EXPECT_EQ("5", Protocol.Frame());
  EXPECT_EQ(std::vector<std::string>{"Input buffer discarded"}, Log.Lines());
  Feed(Report().substr(1));
  EXPECT_EQ(1u, Decoded.size()) << "the frame after the discarded run decodes";
}

TEST_F(SurGardTest, TickWrapDoesNotLookLikeSilence) {
  Clock.SetTicks(0xFFFFFF00u);
  std::string Frame = Report();
  Feed(Frame.substr(0, 10));
  Clock.Advance(0x200);  // wraps past 2^32, 512 ms later
  Feed(Frame.substr(10));
  EXPECT_EQ(1u, Decoded.size());
}

TEST(QualifierFromChar, MapsUpperCaseLettersOnly) {
  EXPECT_EQ(1, QualifierFromChar('E'));
  EXPECT_EQ(3, QualifierFromChar('R'));
  EXPECT_EQ(6, QualifierFromChar('S'));
  try {
    QualifierFromChar('s');
    FAIL() << "lower case accepted";
  } catch (const Exception& E) {
    EXPECT_EQ("Invalid event qualifier: s", E.Message());
  }
}

TEST(ParseMessage, OtherFirstByteAnswersFalse) {
  TcspSurGardCID P;
  TciMessage Msg{1, 2, 3, 4, 5, 6, true};
  EXPECT_FALSE(P.ParseMessage("3" + Report().substr(1), Msg));
  EXPECT_EQ(TciMessage{}, Msg) << "cleared before decoding";
}

}  // namespace
}  // namespace pelmar
