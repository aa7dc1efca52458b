// ctest-label: os
#include "TCPChannel.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Failure.h"
#include "FakeClock.h"
#include "Hex.h"
#include "LoopbackPeer.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

namespace pelmar {
namespace {

using test::Bytes;
using test::ConnectLoopback;
using test::OpenDescriptorCount;
using test::TFakeClock;
using test::TLoopbackListener;
using test::TLoopbackPeer;
using test::ToHex;
using test::TRefusingPort;
using Steady = std::chrono::steady_clock;

const std::string Report = std::string("5011 181234E13001003") + DC4;
const char* const Key128 = "2B-7E-15-16-28-AE-D2-A6-AB-F7-15-88-09-CF-4F-3C";

using test::Failure;

// OpenSSL's own CFB-128, as the receiver's side of an encrypted stream would run it.
class TReferenceCfb {
 public:
  TReferenceCfb(const std::vector<std::uint8_t>& Key, const std::string& IV, bool Encrypt) {
    EVP_CipherInit_ex(FContext, EVP_aes_128_cfb128(), nullptr, Key.data(),
                      reinterpret_cast<const unsigned char*>(IV.data()), Encrypt ? 1 : 0);
  }
  ~TReferenceCfb() { EVP_CIPHER_CTX_free(FContext); }
  std::string Update(const std::string& In) {
    std::string Out(In.size(), '\0');
    int Length = 0;
    EVP_CipherUpdate(FContext, reinterpret_cast<unsigned char*>(Out.data()), &Length,
                     reinterpret_cast<const unsigned char*>(In.data()),
                     static_cast<int>(In.size()));
    return Out;
  }

 private:
  EVP_CIPHER_CTX* FContext = EVP_CIPHER_CTX_new();
};

// The AES encryption of one block, the key stream of the first CFB segment.
std::string AesBlock(const std::vector<std::uint8_t>& Key, const std::string& Block) {
  EVP_CIPHER_CTX* Context = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(Context, EVP_aes_128_ecb(), nullptr, Key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(Context, 0);
  std::string Out(16, '\0');
  int Length = 0;
  EVP_EncryptUpdate(Context, reinterpret_cast<unsigned char*>(Out.data()), &Length,
                    reinterpret_cast<const unsigned char*>(Block.data()), 16);
  EVP_CIPHER_CTX_free(Context);
  return Out;
}

TEST(TcpAddressTest, HostAndPort) {
  struct {
    const char* Address;
    const char* Host;
    std::uint16_t Port;
  } Cases[] = {
      {"10.0.0.5:1025", "10.0.0.5", 1025},
      {"receiver.local:70000", "receiver.local", 4464},
      {"1234", "", 1234},
      {"host:12345678901", "host", static_cast<std::uint16_t>(1234567890)},
      {":10001", "", 10001},
      {"host:-1", "host", 65535},
  };
  TTCPChannel Channel;
  for (const auto& C : Cases) {
    Channel.SetAddress(C.Address);
    EXPECT_EQ(C.Address, Channel.Address());
    EXPECT_EQ(C.Host, Channel.Host()) << C.Address;
    EXPECT_EQ(C.Port, Channel.Port()) << C.Address;
  }
}

TEST(TcpAddressTest, BadPortChangesNothing) {
  struct {
    const char* Address;
    const char* Want;
  } Cases[] = {
      {"10.0.0.9:abc", "'abc' is not a valid integer value"},
      {"10.0.0.9:", "'' is not a valid integer value"},
      {"10.0.0.9:1:2", "'1:2' is not a valid integer value"},
      {"10.0.0.9", "'10.0.0.9' is not a valid integer value"},
      {"10.0.0.9:99999999999", "'9999999999' is not a valid integer value"},
  };
  TTCPChannel Channel;
  Channel.SetAddress("10.0.0.5:1025");
  for (const auto& C : Cases) {
    EXPECT_EQ(C.Want, Failure([&] { Channel.SetAddress(C.Address); })) << C.Address;
    EXPECT_EQ("10.0.0.5:1025", Channel.Address()) << C.Address;
    EXPECT_EQ("10.0.0.5", Channel.Host()) << "host and port change together";
    EXPECT_EQ(1025, Channel.Port());
  }
}

TEST(TcpKeyTest, KeyTexts) {
  const std::string Pairs16 = "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10";
  const std::string Bytes16 = "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10";
  struct {
    std::string Text;
    std::string Want;
  } Cases[] = {
      {Pairs16, Bytes16},
      {"01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10", Bytes16},
      {"01:02:03:04:05:06:07:08:09:0a:0b:0c:0d:0e:0f:10", Bytes16},
      {Pairs16 + "-", Bytes16},
      {Pairs16 + "-7", Bytes16},  // a single character at the end is ignored
      {"", ""},
      {"1", ""},
      {Pairs16 + "-11-12-13-14-15-16-17-18", Bytes16 + " 11 12 13 14 15 16 17 18"},
      {Pairs16 + "-" + Pairs16, Bytes16 + " " + Bytes16},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, ToHex(TTCPChannel::ParseKey(C.Text))) << C.Text;
}

TEST(TcpKeyTest, BadKeyTextsRaiseAndKeepTheOldKey) {
  const std::string Pairs16 = "01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10";
  const char* const BadKey =
      "Invalid encryption key! Valid format is: 01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10";
  const char* const BadLength = "Invalid key length! Supported sizes are: 128, 192 and 256 bits.";
  struct {
    std::string Text;
    const char* Want;
  } Cases[] = {
      {Pairs16 + "-11", BadLength},
      {"01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F", BadLength},
      {"01", BadLength},
      {"zz-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10", BadKey},
      {"01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-1g", BadKey},
      {"0102030405060708090A0B0C0D0E0F10", BadLength},  // pairs are read every third character
      {" 1-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10", BadKey},
  };
  TTCPChannel Channel;
  Channel.SetEncryptionKey(Key128);
  for (const auto& C : Cases) {
    EXPECT_EQ(C.Want, Failure([&] { Channel.SetEncryptionKey(C.Text); })) << C.Text;
    EXPECT_EQ(Key128, Channel.EncryptionKey());
  }
  Channel.SetEncryptionKey("1");  // no bytes at all is accepted here, refused at open
  EXPECT_EQ("1", Channel.EncryptionKey());
}

// NIST SP 800-38A, F.3.13 to F.3.18: CFB128 with AES-128, -192 and -256.
TEST(AesCfbTest, NistVectors) {
  const std::string IV = "000102030405060708090a0b0c0d0e0f";
  const std::string Plain =
      "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
  struct {
    const char* Key;
    const char* Cipher;
  } Cases[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "3b3fd92eb72dad20333449f8e83cfb4a c8a64537a0b3a93fcde3cdad9f1ce58b"
       "26751f67a3cbb140b1808cf187a4f4df c04b05357c5d1c0eeac4c66f9ff7f2e6"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
       "cdc80d6fddf18cab34c25909c99a4174 67ce7f7f81173621961a2b70171d3d7a"
       "2e1e8a1dd59b88b1c8e60fed1efac4c9 c05f9f9ca9834fa042ae8fba584b09ff"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "dc7e84bfda79164b7ecd8486985d3860 39ffed143b28b1c832113c6331e5407b"
       "df10132415e54b92a13ed0a8267ae2f9 75a385741ab9cef82031623d55b1e471"},
  };
  std::uint8_t Vector[16];
  std::vector<std::uint8_t> IVBytes = Bytes(IV);
  std::copy(IVBytes.begin(), IVBytes.end(), Vector);
  const std::vector<std::uint8_t> P = Bytes(Plain);
  for (const auto& C : Cases) {
    const std::vector<std::uint8_t> Key = Bytes(C.Key);
    const std::vector<std::uint8_t> Want = Bytes(C.Cipher);
    // Whole, byte by byte and in uneven pieces: the same stream each way.
    for (std::size_t Piece : {P.size(), std::size_t{1}, std::size_t{5}, std::size_t{17}}) {
      TAesCfb Encrypt, Decrypt;
      Encrypt.Init(Key, Vector, true);
      Decrypt.Init(Key, Vector, false);
      std::vector<std::uint8_t> Out(P.size());
      std::vector<std::uint8_t> Back = Want;
      for (std::size_t I = 0; I < P.size(); I += Piece) {
        int N = static_cast<int>(std::min(Piece, P.size() - I));
        Encrypt.Update(&P[I], &Out[I], N);
        Decrypt.Update(&Back[I], &Back[I], N);
      }
      EXPECT_EQ(ToHex(Want), ToHex(Out)) << C.Key << " in pieces of " << Piece;
      EXPECT_EQ(ToHex(P), ToHex(Back)) << C.Key << " in pieces of " << Piece;
    }
  }
}

TEST(AesCfbTest, KeySizes) {
  std::uint8_t Vector[16] = {};
  TAesCfb Cipher;
  for (std::size_t Size : {0u, 8u, 15u, 17u, 33u})
    EXPECT_EQ("Invalid key size",
              Failure([&] { Cipher.Init(std::vector<std::uint8_t>(Size), Vector, true); }))
        << Size;
  EXPECT_FALSE(Cipher.Ready());
  for (std::size_t Size : {16u, 24u, 32u}) {
    Cipher.Init(std::vector<std::uint8_t>(Size), Vector, true);
    EXPECT_TRUE(Cipher.Ready()) << Size;
  }
  Cipher.Wipe();
  EXPECT_FALSE(Cipher.Ready());
}

// One channel against a loopback receiver, on the fake clock. Every test must end with the
// descriptors and the pending-connect count it started with.
class TcpChannelTest : public ::testing::Test {
 protected:
  TcpChannelTest() {
    Channel->SetAddress(Listener.Address());
    Channel->SetOnStatus([this](TCustomChannel& C) { Statuses.push_back(C.Status()); });
  }

  void TearDown() override {
    Channel.reset();
    EXPECT_EQ(StartFds, OpenDescriptorCount()) << "descriptors leaked";
    EXPECT_EQ(StartPending, PendingConnects.load());
  }

  // Opens the channel through CheckConnection and answers the receiver's end. The connection is
  // established once the listener has it, so the check after Accept sees it without waiting.
  TLoopbackPeer Connect() {
    bool Open = Channel->CheckConnection(30000);
    TLoopbackPeer Peer = Listener.Accept();
    if (!Open)
      Open = Channel->CheckConnection(30000);
    EXPECT_TRUE(Open);
    EXPECT_TRUE(Peer.Valid());
    return Peer;
  }

  // Calls CheckConnection until the pending connect has an outcome, waiting in real time (for
  // the network, never for a protocol time-out). Returns the failure message, "" when open.
  std::string ConnectOutcome() {
    auto Deadline = Steady::now() + std::chrono::seconds(5);
    for (;;) {
      std::string Message = Failure([&] { Channel->CheckConnection(30000); });
      if (!Message.empty() || Channel->IsOpen() || Steady::now() > Deadline)
        return Message;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Waits until at least Count bytes are queued on the channel's socket.
  bool WaitQueued(int Count) {
    auto Deadline = Steady::now() + std::chrono::seconds(5);
    int Queued = 0;
    while (Steady::now() < Deadline) {
      if (ioctl(Channel->Socket()->Handle(), FIONREAD, &Queued) == 0 && Queued >= Count)
        return true;
      pollfd P{Channel->Socket()->Handle(), POLLIN, 0};
      poll(&P, 1, 10);
    }
    return false;
  }

  // Reads through the channel until Count bytes came, taking Pieces[i % n] bytes per read.
  std::string ReadInPieces(std::size_t Count, const std::vector<int>& Pieces) {
    std::string Out;
    auto Deadline = Steady::now() + std::chrono::seconds(5);
    for (std::size_t I = 0; Out.size() < Count && Steady::now() < Deadline; ++I) {
      char Buffer[256];
      int Want = std::min<int>(Pieces[I % Pieces.size()], static_cast<int>(Count - Out.size()));
      int N = Channel->Read(Buffer, Want);
      Out.append(Buffer, static_cast<std::size_t>(N));
      if (N == 0)
        WaitQueued(1);
    }
    return Out;
  }

  // Polls the receiver until the channel fails; returns the failure message.
  std::string PollUntilFailure(TReceiver& Receiver) {
    auto Deadline = Steady::now() + std::chrono::seconds(5);
    while (Steady::now() < Deadline) {
      try {
        Receiver.Poll();
      } catch (const EChannelError& E) {
        return E.Message();
      }
      pollfd P{Channel->Socket()->Handle(), POLLIN, 0};
      poll(&P, 1, 10);
    }
    return "";
  }

  TFakeClock Clock;
  TLoopbackListener Listener;
  const int StartFds = OpenDescriptorCount();
  const std::int32_t StartPending = PendingConnects.load();
  std::optional<TTCPChannel> Channel{std::in_place};
  std::vector<std::uint8_t> Statuses;
};

TEST_F(TcpChannelTest, ConnectsWithoutBlockingAndCarriesReportsAndAcks) {
  EXPECT_EQ(10000, Channel->ConnectTimeout());
  EXPECT_EQ(5000, Channel->ReadTimeout());
  TLoopbackPeer Peer = Connect();
  EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csOpen}), Statuses);
  EXPECT_FALSE(Channel->Socket()->Connecting());
  EXPECT_EQ(StartPending, PendingConnects.load());
  EXPECT_TRUE(Channel->CheckConnection(30000)) << "open: nothing to do";

  TReceiver Receiver(TcspSurGardCID::Create, *Channel);
  Receiver.SetAckEvents(true);
  int Reports = 0;
  Receiver.SetOnMessage([&](TciMessage& Msg) {
    ++Reports;
    Msg.Ack = true;
  });
  Peer.Send(Report);
  ASSERT_TRUE(WaitQueued(static_cast<int>(Report.size())));
  Receiver.Poll();
  EXPECT_EQ(1, Reports);
  EXPECT_EQ(std::string(1, ACK), Peer.Receive(1));
}

TEST_F(TcpChannelTest, RefusedConnectClosesAndRetriesAfterTheInterval) {
  TRefusingPort Refusing;
  Channel->SetAddress(Refusing.Address());
  EXPECT_EQ("Socket Error #10061: Connection refused.", ConnectOutcome());
  EXPECT_EQ(csClosed, Channel->Status());
  EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csClosed}), Statuses);
  EXPECT_EQ(-1, Channel->Socket()->Handle());
  EXPECT_EQ(StartPending, PendingConnects.load());

  Clock.Advance(30000);
  EXPECT_FALSE(Channel->CheckConnection(30000)) << "no attempt within the interval";
  EXPECT_EQ(2u, Statuses.size());
  Clock.Advance(1);
  Channel->SetAddress(Listener.Address());
  TLoopbackPeer Peer = Connect();
  EXPECT_TRUE(Channel->IsOpen());
}

TEST_F(TcpChannelTest, ReceiverEndingTheConnectionClosesTheChannel) {
  struct {
    const char* Name;
    void (TLoopbackPeer::*End)();
    const char* Want;
  } Cases[] = {
      {"close mid-frame", &TLoopbackPeer::Close, "Connection closed gracefully"},
      {"reset mid-frame", &TLoopbackPeer::Reset, "Socket Error #10054: Connection reset by peer."},
  };
  for (const auto& C : Cases) {
    Statuses.clear();
    TLoopbackPeer Peer = Connect();
    TReceiver Receiver(TcspSurGardCID::Create, *Channel);
    int Reports = 0;
    Receiver.SetOnMessage([&](TciMessage&) { ++Reports; });
    Peer.Send(Report.substr(0, 10));
    (Peer.*C.End)();
    EXPECT_EQ(C.Want, PollUntilFailure(Receiver)) << C.Name;
    EXPECT_EQ(0, Reports) << C.Name;
    EXPECT_EQ(csClosed, Channel->Status()) << C.Name;
    EXPECT_EQ(-1, Channel->Socket()->Handle()) << C.Name;
    EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csOpen, csClosed}), Statuses) << C.Name;
    // The next check after the interval connects again.
    EXPECT_FALSE(Channel->CheckConnection(30000)) << C.Name;
    Clock.Advance(30001);
  }
  TLoopbackPeer Peer = Connect();
  Channel->WriteString("back");
  EXPECT_EQ("back", Peer.Receive(4));
}

TEST_F(TcpChannelTest, FloodingReceiverNeverHoldsThePoll) {
  TLoopbackPeer Peer = Connect();
  TReceiver Receiver(TcspSurGardCID::Create, *Channel);
  std::atomic<bool> Stop{false};
  std::thread Flood([&] {
    std::string Junk(64 * 1024, '7');
    while (!Stop) {
      pollfd P{Peer.Fd(), POLLOUT, 0};
      if (poll(&P, 1, 10) == 1)
        send(Peer.Fd(), Junk.data(), Junk.size(), MSG_DONTWAIT);
    }
  });
  ASSERT_TRUE(WaitQueued(1000));
  Steady::duration Longest{};
  for (int I = 0; I < 200; ++I) {
    auto Start = Steady::now();
    if (I % 50 == 49)
      Channel->Purge(true, true);
    else
      Receiver.Poll();
    Longest = std::max(Longest, Steady::now() - Start);
  }
  Stop = true;
  Flood.join();
  EXPECT_TRUE(Channel->IsOpen());
  // Bounded, not fast: a purge that read until the flood paused might never return.
  EXPECT_LT(Longest, std::chrono::seconds(1));
  Peer.Reset();
  EXPECT_EQ("Socket Error #10054: Connection reset by peer.", PollUntilFailure(Receiver));
  EXPECT_EQ(csClosed, Channel->Status());
}

TEST_F(TcpChannelTest, ReceiverThatStopsReadingClosesTheChannelOnWrite) {
  Channel->SetWriteTimeout(0);  // the fake clock stands still: give up at the first full buffer
  TLoopbackPeer Peer = Connect();
  std::string Chunk(256 * 1024, 'w');
  std::string Message = Failure([&] {
    for (int I = 0; I < 10000; ++I)
      Channel->Write(Chunk.data(), static_cast<int>(Chunk.size()));
  });
  EXPECT_EQ("Socket Error #10060: Connection timed out.", Message);
  EXPECT_EQ(csClosed, Channel->Status());
  EXPECT_TRUE(Peer.WaitClosed());
  Clock.Advance(30001);
  TLoopbackPeer Again = Connect();
  EXPECT_TRUE(Channel->IsOpen());
}

TEST_F(TcpChannelTest, BlockingConnects) {
  Channel->SetBlocking(true);
  EXPECT_TRUE(Channel->CheckConnection(30000)) << "open after one check";
  EXPECT_TRUE(Listener.Accept().Valid());
  Channel->Close();

  TLoopbackListener Full(0);
  TLoopbackPeer Filler = ConnectLoopback(Full.Port());
  Channel->SetAddress(Full.Address());
  Channel->SetConnectTimeout(0);
  Clock.Advance(30001);
  EXPECT_EQ("Socket Error #10060: Connection timed out.",
            Failure([&] { Channel->CheckConnection(30000); }));
  EXPECT_EQ(csClosed, Channel->Status());
}

TEST_F(TcpChannelTest, PendingConnectsAreLimitedAndTheRestBackOff) {
  TLoopbackListener Full(0);
  TLoopbackPeer Filler = ConnectLoopback(Full.Port());
  std::list<TTCPChannel> Pending;
  while (PendingConnects.load() < 40) {
    TTCPChannel& C = Pending.emplace_back();
    C.SetAddress(Full.Address());
    ASSERT_FALSE(C.CheckConnection(30000));
    ASSERT_TRUE(C.Socket()->Connecting());
  }

  TTCPChannel Extra;
  Extra.SetAddress(Full.Address());
  EXPECT_TRUE(TTCPChannel::TooManyConnects());
  EXPECT_FALSE(Extra.CheckConnection(30000));
  EXPECT_EQ(csOpening, Extra.Status());
  EXPECT_EQ(-1, Extra.Socket()->Handle()) << "no connect started";
  EXPECT_EQ(40, PendingConnects.load());

  Pending.pop_front();  // one slot frees up
  EXPECT_EQ(39, PendingConnects.load());
  Clock.Advance(2999);
  EXPECT_FALSE(Extra.CheckConnection(30000));
  EXPECT_EQ(-1, Extra.Socket()->Handle()) << "the back-off is 3000 ms";
  Clock.Advance(2);
  EXPECT_FALSE(Extra.CheckConnection(30000));
  EXPECT_TRUE(Extra.Socket()->Connecting());
  EXPECT_EQ(40, PendingConnects.load());

  // A pending connect is looked at on every check, whatever the interval.
  for (auto& C : Pending)
    EXPECT_FALSE(C.CheckConnection(30000));
  EXPECT_EQ(40, PendingConnects.load());

  // An interval shorter than the back-off stays the interval: no retry before it.
  TTCPChannel Short;
  Short.SetAddress(Full.Address());
  EXPECT_FALSE(Short.CheckConnection(1000));
  Pending.pop_front();
  EXPECT_FALSE(Short.CheckConnection(1000));
  EXPECT_EQ(-1, Short.Socket()->Handle()) << "retried at once";
  Clock.Advance(1001);
  EXPECT_FALSE(Short.CheckConnection(1000));
  EXPECT_TRUE(Short.Socket()->Connecting());
}

TEST_F(TcpChannelTest, HundredUnreachableReceiversNeverHoldThePollingThread) {
  TLoopbackListener Full(0);
  TLoopbackPeer Filler = ConnectLoopback(Full.Port());
  std::list<TTCPChannel> Channels(100);
  for (auto& C : Channels)
    C.SetAddress(Full.Address());
  Steady::duration Longest{};
  for (int Round = 0; Round < 5; ++Round) {
    for (auto& C : Channels) {
      auto Start = Steady::now();
      EXPECT_FALSE(C.CheckConnection(30000));
      Longest = std::max(Longest, Steady::now() - Start);
    }
    EXPECT_EQ(StartPending + 40, PendingConnects.load()) << "round " << Round;
    Clock.Advance(3001);
  }
  RecordProperty(
      "LongestCheckMicroseconds",
      static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(Longest).count()));
  // A check takes tens of microseconds; the bound leaves room for a loaded machine's
  // scheduling, far below a connect that waited (a SYN is retried after 1 s).
  EXPECT_LT(Longest, std::chrono::milliseconds(200));
  Channels.clear();
  EXPECT_EQ(StartPending, PendingConnects.load());
}

class TcpEncryptionTest : public TcpChannelTest {
 protected:
  TcpEncryptionTest() {
    Channel->SetEncryption(true);
    Channel->SetEncryptionKey(Key128);
  }
  std::vector<std::uint8_t> Key = TTCPChannel::ParseKey(Key128);
};

TEST_F(TcpEncryptionTest, InitialVectorInClearThenCfbFromIt) {
  TLoopbackPeer Peer = Connect();
  std::string IV = Peer.Receive(16);
  ASSERT_EQ(16u, IV.size());

  Channel->Write("\x06", 1);
  std::string First = Peer.Receive(1);
  EXPECT_EQ(ToHex(std::string(1, static_cast<char>(AesBlock(Key, IV)[0] ^ 0x06))), ToHex(First));

  // Written at once or byte by byte, the stream is OpenSSL's CFB-128 of the same bytes.
  std::string Message;
  for (int I = 0; I < 100; ++I)
    Message += static_cast<char>(I * 37);
  Channel->Write(Message.data(), static_cast<int>(Message.size()));
  for (char C : Message)
    Channel->Write(&C, 1);
  std::string Cipher = First + Peer.Receive(200);
  TReferenceCfb Reference(Key, IV, true);
  EXPECT_EQ(ToHex(Reference.Update("\x06" + Message + Message)), ToHex(Cipher));
  TReferenceCfb Decrypt(Key, IV, false);
  EXPECT_EQ(ToHex("\x06" + Message + Message), ToHex(Decrypt.Update(Cipher)));
}

TEST_F(TcpEncryptionTest, AnyChunkingOfReadsGivesThePlainText) {
  TLoopbackPeer Peer = Connect();
  std::string IV = Peer.Receive(16);
  TReferenceCfb Encrypt(Key, IV, true);
  std::string Plain;
  for (int I = 0; I < 300; ++I)
    Plain += static_cast<char>(255 - I);
  const std::vector<int> Pieces[] = {{1}, {3, 7, 1}, {16}, {100}, {5, 11, 17, 31}};
  for (const auto& P : Pieces) {
    Peer.Send(Encrypt.Update(Plain));
    EXPECT_EQ(ToHex(Plain), ToHex(ReadInPieces(Plain.size(), P))) << P.size() << " " << P[0];
  }
}

TEST_F(TcpEncryptionTest, PurgeDiscardsWithoutAdvancingTheReceiveRegister) {
  TLoopbackPeer Peer = Connect();
  std::string IV = Peer.Receive(16);
  TReferenceCfb Junk(Key, IV, true);
  Peer.Send(Junk.Update(std::string(50, 'j')));
  ASSERT_TRUE(WaitQueued(50));
  Channel->Purge(true, false);
  // The next bytes decrypt as if the discarded ones had never come.
  TReferenceCfb Fresh(Key, IV, true);
  Peer.Send(Fresh.Update(Report));
  EXPECT_EQ(Report, ReadInPieces(Report.size(), {100}));
}

TEST_F(TcpEncryptionTest, WithoutKeyTheStreamIsPlain) {
  Channel->SetEncryptionKey("");
  TLoopbackPeer Peer = Connect();
  Channel->Write("\x06", 1);
  EXPECT_EQ("\x06", Peer.Receive(1));
}

TEST_F(TcpEncryptionTest, KeyWithoutBytesFailsTheOpen) {
  Channel->SetEncryptionKey("1");
  std::string Message = Failure([&] {
    Channel->CheckConnection(30000);
    Listener.Accept();
    Channel->CheckConnection(30000);
  });
  EXPECT_EQ("Invalid key size", Message);
  EXPECT_EQ(csClosed, Channel->Status());
  EXPECT_EQ(-1, Channel->Socket()->Handle());
}

TEST_F(TcpEncryptionTest, EveryConnectionStartsWithAFreshVector) {
  std::string Vectors[2];
  for (auto& IV : Vectors) {
    TLoopbackPeer Peer = Connect();
    IV = Peer.Receive(16);
    Channel->Close();
    Clock.Advance(30001);
  }
  EXPECT_NE(Vectors[0], Vectors[1]);
}

TEST_F(TcpChannelTest, DestructionClosesAndNotifies) {
  TLoopbackPeer Peer = Connect();
  Channel.reset();
  EXPECT_EQ((std::vector<std::uint8_t>{csOpening, csOpen, csClosed}), Statuses);
  EXPECT_TRUE(Peer.WaitClosed());
}

}  // namespace
}  // namespace pelmar
