// ctest-label: os
#include "PelMarIndy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "FakeClock.h"
#include "FakeCore.h"
#include "LoopbackPeer.h"
#include "SocketError.h"

namespace pelmar {
namespace {

using namespace std::chrono_literals;
using test::TFakeClock;
using test::TFakeCore;
using test::TRefusingPort;

// Advances the fake clock until the future is ready (bounded in real time).
template <typename T>
bool AdvanceUntilReady(TFakeClock& Clock, std::future<T>& F, std::uint32_t Step) {
  for (int I = 0; I < 2000; ++I) {
    if (F.wait_for(10ms) == std::future_status::ready)
      return true;
    Clock.Advance(Step);
  }
  return false;
}

TEST(PelMarStackTest, RewordsSocketErrorMessages) {
  struct {
    std::string In, Want;
  } Cases[] = {
      {"Socket Error # 10061\r\nConnection refused.", "Socket error #10061 - Connection refused"},
      {"Socket Error # 10054\r\nConnection reset by peer.",
       "Socket error #10054 - Connection reset by peer"},
      {"", ""},
      {".", ""},
      {"Short E", "Short E"},
      {"1234567E9", "1234567e9"},
      {"a\r\nb\r\nc", "a - b - c"},
      {"x # y # z", "x #y #z"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, TPelMarStack::RewordMessage(C.In)) << C.In;
}

TEST(PelMarStackTest, BuildsMessagesFromWinSockNumbers) {
  struct {
    int Code;
    std::string Want;
  } Cases[] = {
      {10061, "Socket error #10061 - Connection refused"},
      {10054, "Socket error #10054 - Connection reset by peer"},
      {10060, "Socket error #10060 - Connection timed out"},
      {11001, "Socket error #11001 - Host not found"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, TPelMarStack::SocketErrorMessage(C.Code)) << C.Code;
}

TEST(SocketErrorTest, MapsErrnoAndResolverResultsToWinSockNumbers) {
  struct {
    int Errno, Want;
  } Cases[] = {
      {ECONNREFUSED, 10061},  {ETIMEDOUT, 10060},  {ENETUNREACH, 10051},
      {EADDRNOTAVAIL, 10049}, {ECONNRESET, 10054}, {EHOSTUNREACH, 10065},
      {ENETDOWN, 10050},      {EPIPE, 10054},      {ENOMEM, ENOMEM},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, ErrnoToWinSock(C.Errno)) << C.Errno;
  EXPECT_EQ(11001, AddrInfoErrorToWinSock(EAI_NONAME, 0));
  EXPECT_EQ(11002, AddrInfoErrorToWinSock(EAI_AGAIN, 0));
  EXPECT_EQ(10061, AddrInfoErrorToWinSock(EAI_SYSTEM, ECONNREFUSED));
}

class TCPClientTest : public ::testing::Test {
 protected:
  void Open() {
    Client.Connect("127.0.0.1", Core.Port());
    Core.Accept();
  }
  // Receives until the client has seen the peer's close.
  void SeeClose() {
    for (int I = 0; I < 400 && !Client.ClosedGracefully(); ++I)
      Client.CheckForDataOnSource(50);
    ASSERT_TRUE(Client.ClosedGracefully());
  }
  std::string Read(std::size_t Count) {
    std::vector<std::uint8_t> B = Client.ReadBytes(Count);
    return std::string(B.begin(), B.end());
  }

  TFakeClock Clock;
  TFakeCore Core;
  TPelMarTCPClient Client;
};

TEST_F(TCPClientTest, RefusedConnectRaisesSocketError10061) {
  TRefusingPort Port;
  try {
    Client.Connect("127.0.0.1", Port.Port());
    FAIL() << "connected";
  } catch (const EPelMarSocketError& E) {
    EXPECT_EQ(10061, E.LastError());
    EXPECT_EQ("Socket error #10061 - Connection refused", E.Message());
  }
  EXPECT_FALSE(Client.Opened());
}

TEST_F(TCPClientTest, ConnectTimeOutFollowsTheProcessClock) {
  // A listener with a full backlog drops further handshakes, so a connect neither completes nor
  // fails.
  int Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(Listener, reinterpret_cast<sockaddr*>(&A), sizeof A);
  listen(Listener, 0);
  socklen_t Len = sizeof A;
  getsockname(Listener, reinterpret_cast<sockaddr*>(&A), &Len);
  std::vector<int> Fillers;
  bool Full = false;
  for (int I = 0; I < 8 && !Full; ++I) {
    int Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    Fillers.push_back(Fd);
    pollfd P{Fd, POLLOUT, 0};
    Full = poll(&P, 1, 200) == 0;
  }
  if (!Full) {
    for (int Fd : Fillers)
      close(Fd);
    close(Listener);
    GTEST_SKIP() << "the loopback interface accepts every handshake here";
  }

  Client.SetConnectTimeout(5000);
  auto F = std::async(std::launch::async, [&] { Client.Connect("127.0.0.1", ntohs(A.sin_port)); });
  EXPECT_EQ(std::future_status::timeout, F.wait_for(100ms)) << "gave up without the clock moving";
  ASSERT_TRUE(AdvanceUntilReady(Clock, F, 1000));
  try {
    F.get();
    FAIL() << "connected";
  } catch (const EPelMarConnectTimeout& E) {
    EXPECT_EQ("Connect timed out.", E.Message());
  }
  EXPECT_FALSE(Client.Opened());
  for (int Fd : Fillers)
    close(Fd);
  close(Listener);
}

TEST_F(TCPClientTest, ReadBytesAssemblesPiecesAndKeepsTheRest) {
  Open();
  Core.Send("ab");
  Core.Send("cde");
  EXPECT_EQ("abcd", Read(4));
  EXPECT_EQ(1u, Client.InputBufferSize());
  EXPECT_EQ("e", Read(1));
  EXPECT_TRUE(Client.InputBufferIsEmpty());
}

TEST_F(TCPClientTest, PeerCloseDuringReadRaisesGracefulCloseAndKeepsTheBytes) {
  Open();
  Core.Send("ab");
  Core.Drop();
  try {
    Read(4);
    FAIL() << "read";
  } catch (const EPelMarClosedGracefully& E) {
    EXPECT_EQ("Connection Closed Gracefully.", E.Message());
  }
  EXPECT_EQ(2u, Client.InputBufferSize());
  EXPECT_FALSE(Client.Opened());
}

TEST_F(TCPClientTest, ReadTimeOutCountsSilenceOnTheProcessClock) {
  Open();
  Client.SetReadTimeout(1000);
  auto F = std::async(std::launch::async, [&] { return Read(3); });
  EXPECT_EQ(std::future_status::timeout, F.wait_for(100ms)) << "gave up without the clock moving";
  ASSERT_TRUE(AdvanceUntilReady(Clock, F, 400));
  EXPECT_THROW(F.get(), EPelMarReadTimeout);
  EXPECT_TRUE(Client.Opened());
}

TEST_F(TCPClientTest, CheckForDisconnectHonoursRaiseErrorAndIgnoreBuffer) {
  struct {
    const char* Name;
    std::string Pending;  // bytes the peer sent before closing
    bool RaiseError, IgnoreBuffer;
    bool WantRaise, WantOpened;
  } Cases[] = {
      {"empty buffer, raise", "", true, false, true, false},
      {"empty buffer, no raise", "", false, false, false, false},
      {"bytes left, raise later", "xy", true, false, false, true},
      {"bytes left, ignored", "xy", true, true, true, false},
  };
  for (const auto& C : Cases) {
    Client.Disconnect();
    Open();
    if (!C.Pending.empty())
      Core.Send(C.Pending);
    Core.Drop();
    SeeClose();
    bool Raised = false;
    try {
      Client.CheckForDisconnect(C.RaiseError, C.IgnoreBuffer);
    } catch (const EPelMarClosedGracefully&) {
      Raised = true;
    }
    EXPECT_EQ(C.WantRaise, Raised) << C.Name;
    EXPECT_EQ(C.WantOpened, Client.Opened()) << C.Name;
    EXPECT_EQ(C.Pending.size(), Client.InputBufferSize()) << C.Name;
  }
}

TEST_F(TCPClientTest, CheckForDisconnectLeavesAnOpenConnectionAlone) {
  Open();
  Client.CheckForDisconnect(true);
  EXPECT_TRUE(Client.Opened());
  EXPECT_FALSE(Client.CheckForDataOnSource(0));
  Core.Send("z");
  bool Arrived = false;
  for (int I = 0; I < 400 && !Arrived; ++I)
    Arrived = Client.CheckForDataOnSource(50);
  EXPECT_TRUE(Arrived);
  EXPECT_EQ(1u, Client.InputBufferSize());
}

TEST_F(TCPClientTest, DisconnectClosesInOrderOrResets) {
  for (bool Notify : {true, false}) {
    Open();
    Client.Disconnect(Notify);
    EXPECT_FALSE(Client.Opened());
    ASSERT_TRUE(Core.WaitClosed());
    EXPECT_EQ(!Notify, Core.ClosedByReset()) << "NotifyPeer " << Notify;
  }
}

TEST_F(TCPClientTest, WriteBufferCollectsUntilClosedAndClearDiscards) {
  Open();
  Client.OpenWriteBuffer();
  Client.Write("abc", 3);
  Client.ClearWriteBuffer();
  Client.Write("x", 1);
  Client.OpenWriteBuffer();
  Client.Write("yz", 2);
  EXPECT_TRUE(Client.WriteBufferOpen());
  Client.CloseWriteBuffer();
  EXPECT_FALSE(Client.WriteBufferOpen());
  Client.Disconnect();
  ASSERT_TRUE(Core.WaitClosed());
  EXPECT_EQ("xyz", Core.Received());
}

TEST_F(TCPClientTest, OperationsNeedAnOpenConnection) {
  EXPECT_FALSE(Client.HasIOHandler());
  EXPECT_THROW(Client.Write("a", 1), EPelMarNotConnected);
  EXPECT_THROW(Read(1), EPelMarNotConnected);
  Open();
  EXPECT_TRUE(Client.HasIOHandler());
  try {
    Client.Connect();
    FAIL() << "connected twice";
  } catch (const EPelMarTCPError& E) {
    EXPECT_EQ("Already connected.", E.Message());
  }
  Client.Disconnect();
  EXPECT_TRUE(Client.HasIOHandler()) << "stays once connected";
  EXPECT_THROW(Client.Write("a", 1), EPelMarNotConnected);
}

}  // namespace
}  // namespace pelmar
