// The TCP receiver channel on the loopback interface: a TReceiver reading a stream of Sur-Gard
// frames that a peer thread keeps sending (plain and AES-CFB encrypted), with the acknowledgement
// written back after every poll that decoded a report; and the cost of one Poll of an idle
// channel, which the service pays for every channel every 10 ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "TCPChannel.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

namespace {

using namespace pelmar;

const char* const Key128 = "2B-7E-15-16-28-AE-D2-A6-AB-F7-15-88-09-CF-4F-3C";

std::string Frames(int Count) {
  std::string S;
  char Frame[32];
  for (int I = 0; I < Count; ++I) {
    std::snprintf(Frame, sizeof Frame, "5011 18%04XE%03X%02X%03X", I & 0xFFFF, 0x130 + I % 16,
                  I % 8, I % 4096);
    S += Frame;
    S += DC4;
  }
  return S;
}

class TListener {
 public:
  TListener() {
    FFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Length = sizeof A;
    bind(FFd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    listen(FFd, 1024);
    getsockname(FFd, reinterpret_cast<sockaddr*>(&A), &Length);
    FPort = ntohs(A.sin_port);
  }
  ~TListener() { close(FFd); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }
  int Accept() { return accept4(FFd, nullptr, nullptr, SOCK_CLOEXEC); }

 private:
  int FFd;
  std::uint16_t FPort = 0;
};

// Connects Channel to Listener and answers the accepted descriptor.
int Connect(TTCPChannel& Channel, TListener& Listener) {
  Channel.SetAddress(Listener.Address());
  bool Open = Channel.CheckConnection(30000);
  int Peer = Listener.Accept();
  while (!Open)
    Open = Channel.CheckConnection(30000);
  return Peer;
}

// The receiver's side: keeps the channel's socket full of frames and counts the acks.
class TStreamingPeer {
 public:
  TStreamingPeer(int Fd, bool Encrypted) : FFd(Fd) {
    if (Encrypted) {
      unsigned char IV[16];
      std::size_t Got = 0;
      while (Got < sizeof IV) {
        ssize_t N = recv(FFd, IV + Got, sizeof IV - Got, 0);
        if (N <= 0)
          return;
        Got += static_cast<std::size_t>(N);
      }
      std::vector<std::uint8_t> Key = TTCPChannel::ParseKey(Key128);
      FCipher = EVP_CIPHER_CTX_new();
      EVP_EncryptInit_ex(FCipher, EVP_aes_128_cfb128(), nullptr, Key.data(), IV);
    }
    FThread = std::thread([this] { Run(); });
  }
  ~TStreamingPeer() {
    FStop = true;
    FThread.join();
    EVP_CIPHER_CTX_free(FCipher);
    close(FFd);
  }
  std::int64_t Acks() const { return FAcks.load(); }

 private:
  void Run() {
    const std::string Plain = Frames(100);
    std::string Chunk = Plain;
    std::size_t Sent = Chunk.size();  // start with a fresh chunk
    while (!FStop) {
      pollfd P{FFd, POLLIN | POLLOUT, 0};
      if (poll(&P, 1, 10) <= 0)
        continue;
      if (P.revents & POLLIN) {
        char Buffer[4096];
        ssize_t N = recv(FFd, Buffer, sizeof Buffer, MSG_DONTWAIT);
        if (N > 0)
          FAcks += N;
        if (N == 0)
          return;
      }
      if (P.revents & POLLOUT) {
        if (Sent == Chunk.size()) {
          int Length = 0;
          if (FCipher)
            EVP_EncryptUpdate(FCipher, reinterpret_cast<unsigned char*>(Chunk.data()), &Length,
                              reinterpret_cast<const unsigned char*>(Plain.data()),
                              static_cast<int>(Plain.size()));
          Sent = 0;
        }
        ssize_t N =
            send(FFd, Chunk.data() + Sent, Chunk.size() - Sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (N > 0)
          Sent += static_cast<std::size_t>(N);
      }
    }
  }

  int FFd;
  EVP_CIPHER_CTX* FCipher = nullptr;
  std::atomic<bool> FStop{false};
  std::atomic<std::int64_t> FAcks{0};
  std::thread FThread;
};

void BM_TcpReceiverStream(benchmark::State& State) {
  const bool Encrypted = State.range(0) != 0;
  TListener Listener;
  TTCPChannel Channel;
  Channel.SetEncryption(Encrypted);
  Channel.SetEncryptionKey(Key128);
  int Fd = Connect(Channel, Listener);
  std::int64_t Messages = 0;
  std::int64_t Acks = 0;
  {
    TStreamingPeer Peer(Fd, Encrypted);
    TReceiver Receiver(TcspSurGardCID::Create, Channel);
    Receiver.SetAckEvents(true);
    Receiver.SetTimeout(30000);
    Receiver.SetOnMessage([&](TciMessage& Msg) {
      Msg.Ack = true;
      ++Messages;
    });
    for (auto _ : State)
      Receiver.Poll();
    Acks = Peer.Acks();
  }
  State.SetLabel(Encrypted ? "AES-CFB-128" : "plain");
  State.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(Messages), benchmark::Counter::kIsRate);
  State.counters["acks/s"] =
      benchmark::Counter(static_cast<double>(Acks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TcpReceiverStream)->Arg(0)->Arg(1)->UseRealTime();

double ThreadCpuSeconds() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) * 1e-9;
}

// Polls N idle connected channels per iteration: the time of one poll and how many channels one
// core polls within the service's 10 ms cycle.
void BM_IdlePoll(benchmark::State& State) {
  const auto N = static_cast<std::size_t>(State.range(0));
  TListener Listener;
  std::list<TTCPChannel> Channels;
  std::list<TReceiver> Receivers;
  std::vector<int> Peers;
  for (std::size_t I = 0; I < N; ++I) {
    TTCPChannel& Channel = Channels.emplace_back();
    Peers.push_back(Connect(Channel, Listener));
    Receivers.emplace_back(TcspSurGardCID::Create, Channel).SetTimeout(30000);
  }
  // Thread CPU time, not wall time: on a shared machine it tells what one core can do.
  const double Start = ThreadCpuSeconds();
  for (auto _ : State)
    for (TReceiver& R : Receivers)
      R.Poll();
  const double Seconds = ThreadCpuSeconds() - Start;
  const double Polls = static_cast<double>(State.iterations()) * static_cast<double>(N);
  State.counters["cpu_ns_per_poll"] = Seconds * 1e9 / Polls;
  State.counters["channels_per_10ms"] = 0.01 * Polls / Seconds;
  Receivers.clear();
  Channels.clear();
  for (int Fd : Peers)
    close(Fd);
}
BENCHMARK(BM_IdlePoll)->Arg(1)->Arg(100)->Arg(1000)->UseRealTime();

}  // namespace
