// ctest-label: os
// Channel objects on real links: TCP receivers on the loopback interface and serial receivers
// on pseudo-terminals. The fake clock drives every protocol time-out; the real waits below are
// bounded and only for bytes and connections to arrive.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CIDServer.h"
#include "FakeClock.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"
#include "SerialChannel.h"
#include "TCPChannel.h"

namespace pelmar {
namespace {

using test::TFakeClock;
using test::TLoopbackListener;
using test::TLoopbackPeer;
using test::TPtyPair;
using test::TSerialPortDir;

const std::string LinkTest = std::string("1              @    ") + DC4;
const std::string Report = std::string("5011 181234E13001003") + DC4;
const std::string Waiting = "Ожидание приемника...";

using TState = std::pair<int, std::string>;

class CIDServerOsTest : public ::testing::Test {
 protected:
  CIDServerOsTest() {
    Channel->SetID(401);
    Channel->SetName("Приемник 1");
    Channel->SetOnLogEvent([this](std::uint8_t, std::uint16_t Code, const TVariant&,
                                  const std::string&, const std::string& TextB) {
      Events.push_back(Code);
      EventTexts.push_back(TextB);
    });
    Channel->SetOnCIDEvent([this](TciMessage& Msg) {
      Reports.push_back(Msg);
      Msg.Ack = true;
    });
    Channel->AddStatusHandler([this](TCustomSysObject&, TObjectAction) {
      States.emplace_back(Channel->State(), Channel->StateText());
    });
  }

  TState Now() const { return {Channel->State(), Channel->StateText()}; }

  // The descriptor the component reads, or -1.
  int Descriptor() const {
    if (auto* Tcp = dynamic_cast<const TTCPChannel*>(Channel->Channel()))
      return Tcp->Socket() ? Tcp->Socket()->Handle() : -1;
    if (auto* Serial = dynamic_cast<const TSerialChannel*>(Channel->Channel()))
      return Serial->Driver().Handle();
    return -1;
  }

  // Polls until Done, waiting in real time between polls for the link (at most 5 s).
  bool PollUntil(const std::function<bool()>& Done) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < Deadline) {
      Channel->Poll();
      if (Done())
        return true;
      const int Fd = Descriptor();
      if (Fd >= 0) {
        pollfd P{Fd, POLLIN, 0};
        poll(&P, 1, 5);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return false;
  }

  bool PollUntilState(int State) {
    return PollUntil([&] { return Channel->State() == State; });
  }

  TFakeClock Clock;
  std::vector<std::uint16_t> Events;
  std::vector<std::string> EventTexts;
  std::vector<TciMessage> Reports;
  std::vector<TState> States;
  std::unique_ptr<TServerChannel> Channel = TCustomSysObject::CreateOwn<TServerChannel>();
};

class CIDServerTcpTest : public CIDServerOsTest {
 protected:
  CIDServerTcpTest() {
    Channel->SetComType(1);
    Channel->SetComAddress(Listener.Address());
  }

  // Enables the object and answers its connection: state 3.
  TLoopbackPeer Connect(TLoopbackListener& On) {
    Channel->SetEnabled(true);
    Channel->Poll();
    TLoopbackPeer Peer = On.Accept();
    EXPECT_TRUE(Peer.Valid());
    EXPECT_TRUE(PollUntilState(3));
    return Peer;
  }

  TLoopbackListener Listener;
};

TEST_F(CIDServerTcpTest, ReceiverComesOnlineWithItsFirstMessageAndTimesOut) {
  Channel->SetAckEvents(true);
  TLoopbackPeer Peer = Connect(Listener);
  EXPECT_EQ((std::vector<TState>{{1, ""}, {2, Listener.Address()}, {3, Waiting}}), States);
  EXPECT_TRUE(Events.empty());

  Peer.Send(LinkTest);
  ASSERT_TRUE(PollUntilState(5));
  EXPECT_EQ(std::vector<std::uint16_t>{9300}, Events);

  Peer.Send(Report);
  ASSERT_TRUE(PollUntil([&] { return !Reports.empty(); }));
  EXPECT_EQ(0x130, Reports[0].Code);
  EXPECT_EQ(std::string(1, ACK), Peer.Receive(1));

  Clock.Advance(30000);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(TState(4, "Таймаут приемника"), Now());
  EXPECT_EQ((std::vector<std::uint16_t>{9300, 9301}), Events);
}

TEST_F(CIDServerTcpTest, ReceiverResetGivesStateOneWithOneEventThenReconnects) {
  TLoopbackPeer Peer = Connect(Listener);
  Peer.Reset();
  ASSERT_TRUE(PollUntilState(1));
  const std::string Reset = "Socket Error #10054: Connection reset by peer.";
  EXPECT_EQ(TState(1, Reset), Now());
  EXPECT_EQ(std::vector<std::uint16_t>{11}, Events);
  EXPECT_EQ(std::vector<std::string>{Reset}, EventTexts);
  for (int I = 0; I < 10; ++I)
    EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ(1u, Events.size());
  EXPECT_EQ(TState(1, Reset), Now()) << "no attempt before the interval";

  Clock.Advance(30001);
  Channel->Poll();
  TLoopbackPeer Again = Listener.Accept();
  ASSERT_TRUE(Again.Valid());
  ASSERT_TRUE(PollUntilState(3));
  Again.Send(LinkTest);
  ASSERT_TRUE(PollUntilState(5));
  EXPECT_EQ((std::vector<std::uint16_t>{11, 9300}), Events);
}

TEST_F(CIDServerTcpTest, NewAddressReplacesTheConnection) {
  TLoopbackPeer Peer = Connect(Listener);
  Peer.Send(LinkTest);
  ASSERT_TRUE(PollUntilState(5));

  TLoopbackListener Second;
  Channel->SetComAddress(Second.Address());
  Channel->Poll();
  TLoopbackPeer Moved = Second.Accept();
  ASSERT_TRUE(Moved.Valid());
  EXPECT_TRUE(Peer.WaitClosed()) << "the old connection is closed";
  ASSERT_TRUE(PollUntilState(3));
  EXPECT_EQ((std::vector<std::uint16_t>{9300, 9301}), Events);
  Moved.Send(LinkTest);
  ASSERT_TRUE(PollUntilState(5));
}

TEST_F(CIDServerTcpTest, DisablingClosesTheConnection) {
  TLoopbackPeer Peer = Connect(Listener);
  Peer.Send(LinkTest);
  ASSERT_TRUE(PollUntilState(5));
  Channel->SetEnabled(false);
  EXPECT_TRUE(Peer.WaitClosed());
  EXPECT_EQ(TState(0, ""), Now());
  EXPECT_EQ((std::vector<std::uint16_t>{9300, 9301}), Events);
  EXPECT_EQ(nullptr, Channel->Channel());
}

class CIDServerSerialTest : public CIDServerOsTest {
 protected:
  CIDServerSerialTest() {
    Dir.Link(1, Pty.SlaveName());
    Channel->SetComType(0);
  }

  TSerialPortDir Dir;
  TPtyPair Pty;
};

TEST_F(CIDServerSerialTest, ReceiverOnASerialPort) {
  Channel->SetComAddress("1/9600-8-N-1");
  Channel->SetEnabled(true);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ((std::vector<TState>{{1, ""}, {2, "1/9600-8-N-1"}, {3, Waiting}}), States);
  Pty.Send(LinkTest);
  ASSERT_TRUE(PollUntilState(5));
  EXPECT_EQ(std::vector<std::uint16_t>{9300}, Events);
}

TEST_F(CIDServerSerialTest, PortThatCannotBeOpenedIsTriedAgainAfterTheInterval) {
  Channel->SetComAddress("7/9600-8-N-1");
  Channel->SetEnabled(true);
  EXPECT_FALSE(Channel->Poll());
  const TState Failed(1, "Ошибка при открытии порта 7: No such file or directory");
  EXPECT_EQ(Failed, Now());
  EXPECT_TRUE(Events.empty());

  States.clear();
  Clock.Advance(30000);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_TRUE(States.empty()) << "no attempt within the interval";
  Clock.Advance(1);
  EXPECT_FALSE(Channel->Poll());
  EXPECT_EQ((std::vector<TState>{{2, "7/9600-8-N-1"}, Failed}), States);
  EXPECT_TRUE(Events.empty());
}

}  // namespace
}  // namespace pelmar
