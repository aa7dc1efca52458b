// Receivers on the loopback interface for socket and TCP channel tests: a listener on 127.0.0.1
// with a port of the system's choosing, and the connections it accepts. Every wait is bounded in
// real time and ends as soon as the awaited event happens; nothing here waits for a protocol
// time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelmar::test {

// One accepted connection, owned: the far end a channel talks to.
class TLoopbackPeer {
 public:
  TLoopbackPeer() = default;
  explicit TLoopbackPeer(int Fd) : FFd(Fd) {}
  ~TLoopbackPeer();
  TLoopbackPeer(TLoopbackPeer&& Other) noexcept;
  TLoopbackPeer& operator=(TLoopbackPeer&& Other) noexcept;

  bool Valid() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  // Sends all of Bytes (waits for room as needed).
  void Send(std::string_view Bytes);
  // Collects received bytes until Count came, the peer closed or TimeoutMs passed.
  std::string Receive(std::size_t Count, int TimeoutMs = 5000);
  // True when the other side closed (end of stream or reset) within TimeoutMs; bytes arriving
  // before that are discarded.
  bool WaitClosed(int TimeoutMs = 5000);
  // Orderly close (FIN).
  void Close();
  // Abortive close: the other side sees a connection reset.
  void Reset();

 private:
  int FFd = -1;
};

// A listening socket on 127.0.0.1.
class TLoopbackListener {
 public:
  // Backlog 0 with one connection left unaccepted makes the kernel drop further connection
  // requests, so that their connects stay pending.
  explicit TLoopbackListener(int Backlog = 16);
  ~TLoopbackListener();
  TLoopbackListener(const TLoopbackListener&) = delete;
  TLoopbackListener& operator=(const TLoopbackListener&) = delete;

  std::uint16_t Port() const { return FPort; }
  // "127.0.0.1:port".
  std::string Address() const;
  // The next connection, waiting at most TimeoutMs; an invalid peer when none came.
  TLoopbackPeer Accept(int TimeoutMs = 5000);
  // Stops listening: further connects are refused.
  void Close();

 private:
  int FFd = -1;
  std::uint16_t FPort = 0;
};

// A loopback port that refuses connections: bound but not listening while the object lives, so
// that no connection of the test can take it as its own port and connect to itself.
class TRefusingPort {
 public:
  TRefusingPort();
  ~TRefusingPort();
  TRefusingPort(const TRefusingPort&) = delete;
  TRefusingPort& operator=(const TRefusingPort&) = delete;

  std::uint16_t Port() const { return FPort; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }

 private:
  int FFd = -1;
  std::uint16_t FPort = 0;
};

// A blocking client connection to 127.0.0.1:Port made by the test itself (fills a backlog).
TLoopbackPeer ConnectLoopback(std::uint16_t Port);

// The number of open descriptors of this process.
int OpenDescriptorCount();

}  // namespace pelmar::test
