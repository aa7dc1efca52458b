// ctest-label: os
#include "uCrtSock.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "LoopbackPeer.h"

namespace pelmar {
namespace {

using test::ConnectLoopback;
using test::OpenDescriptorCount;
using test::TFakeClock;
using test::TLoopbackListener;
using test::TLoopbackPeer;
using test::TRefusingPort;

// Message of what F raises as ECrtSocket; "" when it raises nothing.
template <typename F>
std::string SocketFailure(F&& Call) {
  try {
    Call();
  } catch (const ECrtSocket& E) {
    return E.Message();
  }
  return "";
}

bool WaitReadable(int Fd, int TimeoutMs = 5000) {
  pollfd P{Fd, POLLIN, 0};
  return poll(&P, 1, TimeoutMs) == 1;
}

TEST(SocketErrorTextTest, FormatsNumberAndText) {
  struct {
    int Code;
    bool Full;
    const char* Want;
  } Cases[] = {
      {10061, true, "Socket Error #10061: Connection refused."},
      {10061, false, "#10061: Connection refused."},
      {10004, true, "Socket Error #10004: Interrupted system call."},
      {10035, false, "#10035: Operation would block."},
      {10066, true, "Socket Error #10066: Directory not empty"},
      {12345, false, "#12345: "},
      {10000, true, "Socket Error #10000: "},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, SocketErrorText(C.Code, C.Full)) << C.Code;
}

TEST(ECrtSocketTest, NamedConstructorsWordTheMessage) {
  EXPECT_EQ("Failed (#10061: Connection refused.)",
            ECrtSocket::CreateCode("Failed", -10061).Message());
  EXPECT_EQ("Failed", ECrtSocket::CreateCode("Failed", 0).Message());
  EXPECT_EQ("Failed (#12345: )", ECrtSocket::CreateCode("Failed", 12345).Message());
  EXPECT_EQ(
      "Failed to initiate connect socket for 0.0.0.0:1025 (#10049: Cannot assign requested "
      "address.)",
      ECrtSocket::CreateFmtCode("Failed to initiate connect socket for %s:%d",
                                {std::string("0.0.0.0"), std::uint16_t{1025}}, 10049)
          .Message());
  EXPECT_EQ("Socket Error #10060: Connection timed out.", ECrtSocket::CreateError(10060).Message());
  EXPECT_STREQ("ECrtSocket", ECrtSocket("x").ClassName());
}

TEST(ResolveTest, FirstIPv4AddressOrFailure) {
  EXPECT_EQ("127.0.0.1", ResolveHost("127.0.0.1"));
  EXPECT_EQ("127.0.0.1", ResolveHost("localhost"));
  for (const char* Host : {"::1", "fe80::1"})
    EXPECT_EQ("Failed to resolve host name", SocketFailure([&] { ResolveHost(Host); })) << Host;
}

TEST(ResolveTest, GetHostAddressesFiltersFamilies) {
  std::vector<std::string> List{"stale"};
  GetHostAddresses("::1", AF_INET6, List, SOCK_STREAM);
  EXPECT_EQ(std::vector<std::string>{"::1"}, List);
  GetHostAddresses("::1", AF_INET, List, SOCK_STREAM);
  EXPECT_TRUE(List.empty());
  GetHostAddresses("127.0.0.1", AF_INET, List, SOCK_STREAM);
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1"}, List);

  sockaddr_storage Addr;
  EXPECT_EQ(0, ResolveAddress(Addr, "127.0.0.1", "1025", AF_INET, SOCK_STREAM));
  auto* In = reinterpret_cast<sockaddr_in*>(&Addr);
  EXPECT_EQ(AF_INET, In->sin_family);
  EXPECT_EQ(1025, ntohs(In->sin_port));
  EXPECT_NE(0, ResolveAddress(Addr, "::1", "1025", AF_INET, SOCK_STREAM));
  EXPECT_EQ(AF_UNSPEC, Addr.ss_family) << "zeroed on failure";
}

// One socket against a loopback listener; every test must end with the descriptors and the
// pending-connect count it started with.
class CrtSocketTest : public ::testing::Test {
 protected:
  CrtSocketTest() : StartFds(OpenDescriptorCount()), StartPending(PendingConnects.load()) {}

  void TearDown() override {
    Socket.reset();
    EXPECT_EQ(StartFds, OpenDescriptorCount()) << "descriptors leaked";
    EXPECT_EQ(StartPending, PendingConnects.load());
  }

  // Connects to the listener and answers the accepted far end.
  TLoopbackPeer Connected() {
    Socket->AsyncConnect("127.0.0.1", Listener.Port());
    EXPECT_TRUE(Socket->AsyncCheckConnected(5000));
    return Listener.Accept();
  }

  // Reads until Count bytes came, waiting for the socket in real time between reads.
  std::string ReadAll(std::size_t Count) {
    std::string Out;
    char Buffer[1024];
    while (Out.size() < Count && WaitReadable(Socket->Handle())) {
      int N = Socket->Read(Buffer, sizeof Buffer);
      Out.append(Buffer, static_cast<std::size_t>(N));
    }
    return Out;
  }

  TLoopbackListener Listener;
  const int StartFds;
  const std::int32_t StartPending;
  std::optional<TCrtSocket> Socket{std::in_place};
};

TEST_F(CrtSocketTest, ConnectsReadsAndWrites) {
  Socket->AsyncConnect("localhost", Listener.Port());
  EXPECT_TRUE(Socket->Connecting());
  EXPECT_EQ(StartPending + 1, PendingConnects.load());
  ASSERT_TRUE(Socket->AsyncCheckConnected(5000));
  EXPECT_FALSE(Socket->Connecting());
  EXPECT_EQ(StartPending, PendingConnects.load());
  TLoopbackPeer Peer = Listener.Accept();
  ASSERT_TRUE(Peer.Valid());

  char Buffer[16];
  EXPECT_EQ(0, Socket->Read(Buffer, sizeof Buffer)) << "nothing waiting";
  EXPECT_EQ(0, Socket->Read(Buffer, 0));
  Peer.Send("abc");
  EXPECT_EQ("abc", ReadAll(3));
  Socket->Write("xyz", 3);
  EXPECT_EQ("xyz", Peer.Receive(3));
}

TEST_F(CrtSocketTest, PendingConnectIsLookedAtWithoutWaiting) {
  TLoopbackListener Full(0);
  TLoopbackPeer Filler = ConnectLoopback(Full.Port());  // the one slot of the backlog

  Socket->AsyncConnect("127.0.0.1", Full.Port());
  for (int I = 0; I < 3; ++I) {
    EXPECT_FALSE(Socket->AsyncCheckConnected(0));
    EXPECT_TRUE(Socket->Connecting());
    EXPECT_EQ(StartPending + 1, PendingConnects.load());
  }
  Socket->Close(false);
  EXPECT_FALSE(Socket->Connecting());
  EXPECT_EQ(-1, Socket->Handle());
  EXPECT_EQ(StartPending, PendingConnects.load());
}

TEST_F(CrtSocketTest, RefusedConnectKeepsTheSocketAndTheNextConnectWorks) {
  TRefusingPort Refusing;
  Socket->AsyncConnect("127.0.0.1", Refusing.Port());
  EXPECT_EQ("Socket Error #10061: Connection refused.",
            SocketFailure([&] { Socket->AsyncCheckConnected(5000); }));
  EXPECT_GE(Socket->Handle(), 0) << "a refused connect leaves the socket open";
  EXPECT_FALSE(Socket->Connecting());
  EXPECT_EQ(StartPending, PendingConnects.load());

  // The same object connects again, elsewhere.
  TLoopbackPeer Peer = Connected();
  ASSERT_TRUE(Peer.Valid());
  Socket->Write("A", 1);
  EXPECT_EQ("A", Peer.Receive(1));
}

TEST_F(CrtSocketTest, PeerEndingTheConnectionClosesTheSocket) {
  struct {
    const char* Name;
    void (TLoopbackPeer::*End)();
    const char* Want;
  } Cases[] = {
      {"close", &TLoopbackPeer::Close, "Connection closed gracefully"},
      {"reset", &TLoopbackPeer::Reset, "Socket Error #10054: Connection reset by peer."},
  };
  for (const auto& C : Cases) {
    TLoopbackPeer Peer = Connected();
    Peer.Send("12");
    (Peer.*C.End)();
    ASSERT_TRUE(WaitReadable(Socket->Handle())) << C.Name;
    std::string Got;
    std::string Failure = SocketFailure([&] {
      char Buffer[16];
      for (int I = 0; I < 100 && WaitReadable(Socket->Handle(), 1000); ++I) {
        int N = Socket->Read(Buffer, sizeof Buffer);
        Got.append(Buffer, static_cast<std::size_t>(N));
      }
    });
    EXPECT_EQ(C.Want, Failure) << C.Name;
    EXPECT_EQ(-1, Socket->Handle()) << C.Name;
  }
}

TEST_F(CrtSocketTest, NullBufferIsAnAssertion) {
  TLoopbackPeer Peer = Connected();
  try {
    Socket->Read(nullptr, 1);
    ADD_FAILURE() << "no assertion";
  } catch (const EAssertionFailed& E) {
    EXPECT_NE(std::string::npos, E.Message().find("uCrtSock.cpp, line ")) << E.Message();
  }
  EXPECT_THROW(Socket->Write(nullptr, 1), EAssertionFailed);
}

TEST_F(CrtSocketTest, WriteHandsOverEveryByteWhileThePeerDrains) {
  TFakeClock Clock;  // a slow peer on a loaded machine must not look like one that stopped
  TLoopbackPeer Peer = Connected();
  std::string Data(4 << 20, '\0');
  for (std::size_t I = 0; I < Data.size(); ++I)
    Data[I] = static_cast<char>(I * 7 + I / 251);
  std::string Received;
  std::thread Reader([&] { Received = Peer.Receive(Data.size(), 30000); });
  Socket->Write(Data.data(), static_cast<int>(Data.size()));
  Reader.join();
  EXPECT_TRUE(Received == Data) << Received.size() << " bytes received";
}

TEST_F(CrtSocketTest, WriteToAPeerThatTakesNothingGivesUpAfterWriteTimeout) {
  TFakeClock Clock;
  TLoopbackPeer Peer = Connected();
  Socket->SetWriteTimeout(2000);
  // The process clock, not the wall clock, measures the give-up time.
  std::atomic<bool> Done{false};
  std::thread Ticker([&] {
    while (!Done) {
      Clock.Advance(10);
      std::this_thread::yield();
    }
  });
  std::string Chunk(1 << 20, 'x');
  std::uint32_t Before = Clock.Ticks();
  std::string Failure = SocketFailure([&] {
    for (int I = 0; I < 1000; ++I)
      Socket->Write(Chunk.data(), static_cast<int>(Chunk.size()));
  });
  Done = true;
  Ticker.join();
  EXPECT_EQ("Socket Error #10060: Connection timed out.", Failure);
  EXPECT_GE(Clock.Ticks() - Before, 2000u);
  EXPECT_EQ(-1, Socket->Handle());
}

TEST_F(CrtSocketTest, BlockingConnect) {
  Socket->SetConnectTimeout(5000);
  Socket->Connect("127.0.0.1", Listener.Port());
  EXPECT_FALSE(Socket->Connecting());
  EXPECT_TRUE(Listener.Accept().Valid());
  Socket->Close(true);

  TLoopbackListener Full(0);
  TLoopbackPeer Filler = ConnectLoopback(Full.Port());
  Socket->SetConnectTimeout(0);
  EXPECT_EQ("Socket Error #10060: Connection timed out.",
            SocketFailure([&] { Socket->Connect("127.0.0.1", Full.Port()); }));
  EXPECT_EQ(-1, Socket->Handle());
}

TEST_F(CrtSocketTest, MisuseAndFailuresBeforeConnecting) {
  EXPECT_EQ("Failed to resolve host name",
            SocketFailure([&] { Socket->AsyncConnect("::1", 1025); }));
  EXPECT_EQ(-1, Socket->Handle());
  EXPECT_FALSE(Socket->Connecting());

  try {
    Socket->AsyncCheckConnected(0);
    ADD_FAILURE() << "no pending connect, no failure";
  } catch (const ECrtSocket&) {
    ADD_FAILURE() << "a general exception is expected";
  } catch (const Exception& E) {
    EXPECT_EQ("Bugcheck: wait failed in TCrtSocket.AsyncCheckConnected", E.Message());
  }

  char Buffer[4];
  EXPECT_EQ("Socket Error #10038: Socket operation on non-socket.",
            SocketFailure([&] { Socket->Read(Buffer, 4); }));
  Socket->Close(true);  // nothing open: nothing happens
  Socket->Close(false);
}

TEST_F(CrtSocketTest, DestructionClosesGracefully) {
  TLoopbackPeer Peer = Connected();
  Socket.reset();
  EXPECT_TRUE(Peer.WaitClosed());
}

}  // namespace
}  // namespace pelmar
