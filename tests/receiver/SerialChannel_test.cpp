// ctest-label: os
#include "SerialChannel.h"

#include <poll.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Failure.h"
#include "FakeClock.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

namespace pelmar {
namespace {

using test::OpenDescriptorCount;
using test::TFakeClock;
using test::TPtyPair;
using test::TSerialPortDir;

const std::string Report = std::string("5011 181234E13001003") + DC4;

using test::Failure;

struct TLine {
  std::uint8_t Port;
  std::uint32_t Baud;
  TDataBits DataBits;
  TParity Parity;
  TStopBits StopBits;
};

TLine LineOf(const TSerialChannel& Channel) {
  const TCommPortDriver& D = Channel.Driver();
  return {Channel.PortNumber(), D.BaudRateValue(), D.DataBits(), D.Parity(), D.StopBits()};
}

void ExpectLine(const TLine& Want, const TSerialChannel& Channel, const std::string& Context) {
  TLine Got = LineOf(Channel);
  EXPECT_EQ(Want.Port, Got.Port) << Context;
  EXPECT_EQ(Want.Baud, Got.Baud) << Context;
  EXPECT_EQ(Want.DataBits, Got.DataBits) << Context;
  EXPECT_EQ(Want.Parity, Got.Parity) << Context;
  EXPECT_EQ(Want.StopBits, Got.StopBits) << Context;
}

TEST(SerialAddressTest, GoodAddresses) {
  struct {
    const char* Address;
    TLine Want;
  } Cases[] = {
      {"1/9600-8-N-1", {1, 9600, db8BITS, ptNONE, sb1BITS}},
      {"2/19200-7-E-2", {2, 19200, db7BITS, ptEVEN, sb2BITS}},
      {"3/1200-8-N-1.5", {3, 1200, db8BITS, ptNONE, sb1HALFBITS}},
      {"16/57600-5-M-1", {16, 57600, db5BITS, ptMARK, sb1BITS}},
      {"255/300-6-S-2", {255, 300, db6BITS, ptSPACE, sb2BITS}},
      {"0/12345-8-O-1", {0, 12345, db8BITS, ptODD, sb1BITS}},
      {"4", {4, 12345, db8BITS, ptODD, sb1BITS}},  // a port alone keeps the line parameters
  };
  TSerialChannel Channel;
  for (const auto& C : Cases) {
    Channel.SetAddress(C.Address);
    EXPECT_EQ(C.Address, Channel.Address());
    ExpectLine(C.Want, Channel, C.Address);
  }
}

TEST(SerialAddressTest, BadAddressesRaiseAndChangeNothing) {
  struct {
    const char* Address;
    const char* Want;
  } Cases[] = {
      {"1/9600-8-N", "Неверный адрес канала:9600-8-N"},
      {"1/9600-8-N-1-0", "Неверный адрес канала:9600-8-N-1-0"},
      {"1/9600-8-N-1/x", "Неверный адрес канала:1/9600-8-N-1/x"},
      {"1//", "Неверный адрес канала:1//"},
      {"1/", "Неверный адрес канала:"},
      {"1/9600-8-n-1", "Unknown parity name - \"n\"!"},
      {"1/9600-9-N-1", "Unknown data bits name - \"9\"!"},
      {"1/9600-8-N-3", "Unknown stop bits name - \"3\"!"},
      {"1/9600--N-1", "Unknown data bits name - \"\"!"},
      {"x/9600-8-N-1", "'x' is not a valid integer value"},
      {"/9600-8-N-1", "'' is not a valid integer value"},
      {"1/fast-8-N-1", "'fast' is not a valid integer value"},
      // Values that would silently name another port or hang the line up.
      {"256/9600-8-N-1", "Неверный адрес канала:256/9600-8-N-1"},
      {"-1", "Неверный адрес канала:-1"},
      {"1/0-8-N-1", "Неверный адрес канала:0-8-N-1"},
      // Nothing is applied when a later piece is bad.
      {"2/19200-7-E-3", "Unknown stop bits name - \"3\"!"},
  };
  TSerialChannel Channel;
  Channel.SetAddress("1/9600-8-N-1");
  for (const auto& C : Cases) {
    EXPECT_EQ(C.Want, Failure([&] { Channel.SetAddress(C.Address); })) << C.Address;
    EXPECT_EQ("1/9600-8-N-1", Channel.Address()) << C.Address;
    ExpectLine({1, 9600, db8BITS, ptNONE, sb1BITS}, Channel, C.Address);
  }
}

TEST(SerialAddressTest, PortAloneTakesDefaultParams) {
  TSerialChannel Channel;
  Channel.SetAddress("1/9600-8-N-1");
  Channel.SetDefaultParams("19200-7-E-2");
  Channel.SetAddress("3");
  ExpectLine({3, 19200, db7BITS, ptEVEN, sb2BITS}, Channel, "3");

  Channel.SetDefaultParams("19200-7-E");
  EXPECT_EQ("Неверный адрес канала:19200-7-E", Failure([&] { Channel.SetAddress("4"); }));
  EXPECT_EQ("3", Channel.Address());
}

TEST(SerialAddressTest, EmptyAddressFailsTheOpen) {
  TSerialChannel Channel;
  std::vector<std::uint8_t> Statuses;
  Channel.SetOnStatus([&](TCustomChannel& C) { Statuses.push_back(C.Status()); });
  EXPECT_EQ("Неверный адрес канала:", Failure([&] { Channel.Open(); }));
  EXPECT_EQ(csClosed, Channel.Status());
  EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csClosed}), Statuses);
}

TEST(SerialChannelTest, Defaults) {
  TSerialChannel Channel;
  EXPECT_EQ(1, Channel.PortNumber());
  EXPECT_EQ(hfNONE, Channel.HwFlow());
  EXPECT_EQ("", Channel.DefaultParams());
  EXPECT_EQ(5000, Channel.ReadTimeout());
  EXPECT_TRUE(Channel.Driver().EnableDTROnOpen());
  EXPECT_EQ(hfNONERTSON, Channel.Driver().HwFlow()) << "until the first open";
}

// A channel on serial port 1, the slave side of a pseudo-terminal whose master plays the
// receiver.
class PtyChannelTest : public ::testing::Test {
 protected:
  PtyChannelTest() {
    Dir.Link(1, Pty.SlaveName());
    Channel.SetAddress("1/9600-8-N-1");
    Channel.SetOnStatus([this](TCustomChannel& C) { Statuses.push_back(C.Status()); });
  }

  bool WaitInput(int TimeoutMs = 5000) {
    pollfd P{Channel.Driver().Handle(), POLLIN, 0};
    return poll(&P, 1, TimeoutMs) == 1;
  }

  TSerialPortDir Dir;
  TPtyPair Pty;
  const int StartFds = OpenDescriptorCount();
  TSerialChannel Channel;
  std::vector<std::uint8_t> Statuses;
};

TEST_F(PtyChannelTest, ReceivesReportsAndAcknowledges) {
  Channel.Open();
  ASSERT_TRUE(Channel.IsOpen());
  EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csOpen}), Statuses);

  TReceiver Receiver(TcspSurGardCID::Create, Channel);
  Receiver.SetAckEvents(true);
  std::vector<TciMessage> Reports;
  Receiver.SetOnMessage([&](TciMessage& Msg) {
    Reports.push_back(Msg);
    Msg.Ack = true;
  });
  Receiver.Poll();
  EXPECT_EQ("", Pty.Drain()) << "nothing read, nothing owed";

  Pty.Send(Report);
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Reports.empty() && std::chrono::steady_clock::now() < Deadline) {
    Receiver.Poll();
    if (Reports.empty())
      WaitInput(20);
  }
  ASSERT_EQ(1u, Reports.size());
  EXPECT_EQ(0x1234u, Reports[0].Account);
  EXPECT_EQ(0x130, Reports[0].Code);
  EXPECT_EQ(std::string(1, ACK), Pty.Receive(1));
}

TEST_F(PtyChannelTest, AddressSetsTheLineAndFlowControlIsAppliedAtOpen) {
  Channel.SetAddress("1/19200-8-O-2");
  Channel.SetHwFlow(hfRTSCTS);
  Channel.Open();
  EXPECT_EQ(hfRTSCTS, Channel.Driver().HwFlow());
  termios T = Pty.Attributes();
  EXPECT_EQ(B19200, cfgetospeed(&T));
  EXPECT_TRUE(T.c_cflag & CSTOPB);
  EXPECT_TRUE(T.c_cflag & PARODD);
  EXPECT_TRUE(T.c_cflag & CRTSCTS);

  // A new address reaches the open line at once; a bad one leaves the line alone.
  Channel.SetAddress("1/38400-8-N-1");
  T = Pty.Attributes();
  EXPECT_EQ(B38400, cfgetospeed(&T));
  EXPECT_FALSE(T.c_cflag & CSTOPB);
  EXPECT_THROW(Channel.SetAddress("1/1200-8-N-4"), Exception);
  T = Pty.Attributes();
  EXPECT_EQ(B38400, cfgetospeed(&T));
  EXPECT_EQ("1/38400-8-N-1", Channel.Address());
}

TEST_F(PtyChannelTest, PortsThatCannotBeOpened) {
  Channel.Open();
  TSerialChannel Second;
  Second.SetAddress("1/9600-8-N-1");
  EXPECT_EQ("Ошибка при открытии порта 1: Device or resource busy",
            Failure([&] { Second.Open(); }));
  EXPECT_EQ(csClosed, Second.Status());

  TSerialChannel Absent;
  Absent.SetAddress("3/9600-8-N-1");
  try {
    Absent.Open();
    ADD_FAILURE() << "an absent port opened";
  } catch (const EChannelError& E) {
    EXPECT_EQ("Ошибка при открытии порта 3: No such file or directory", E.Message());
  }
  EXPECT_EQ(csClosed, Absent.Status());
}

TEST_F(PtyChannelTest, ReadWithNothingWaitingAnswersAtOnce) {
  Channel.Open();
  char Buffer[100];
  auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Channel.Read(Buffer, sizeof Buffer));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(100));
}

TEST_F(PtyChannelTest, VanishedDeviceClosesTheChannelAndTheNextCheckReopens) {
  TFakeClock Clock;
  ASSERT_TRUE(Channel.CheckConnection(30000));
  TReceiver Receiver(TcspSurGardCID::Create, Channel);
  Pty.CloseMaster();
  try {
    Receiver.Poll();
    ADD_FAILURE() << "a hung-up line polls without error";
  } catch (const EChannelError& E) {
    EXPECT_NE(std::string::npos, E.Message().find("Input/output error")) << E.Message();
  }
  EXPECT_EQ(csClosed, Channel.Status());
  EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csOpen, csClosed}), Statuses);
  EXPECT_EQ(-1, Channel.Driver().Handle());

  // The receiver comes back on a new line under the same port number.
  TPtyPair Replacement;
  Dir.Link(1, Replacement.SlaveName());
  EXPECT_FALSE(Channel.CheckConnection(30000)) << "not before the interval";
  Clock.Advance(30001);
  EXPECT_TRUE(Channel.CheckConnection(30000));
  Channel.Write("\x06", 1);
  EXPECT_EQ("\x06", Replacement.Receive(1));
  Channel.Close();
}

TEST_F(PtyChannelTest, NothingLeaksOverOpenAndClose) {
  for (int I = 0; I < 3; ++I) {
    Channel.Open();
    Channel.Close();
  }
  EXPECT_EQ(StartFds, OpenDescriptorCount());
}

}  // namespace
}  // namespace pelmar
