// The socket layer under the TCP receiver channel: a TCP client socket that connects without
// blocking, looks at the outcome of a pending connect with a time-out, reads whatever has arrived
// without waiting, writes a whole buffer and closes. Every failure surfaces as ECrtSocket whose
// message carries the socket error number and an English text.
//
// Error numbers are the WinSock numbers (10035 would block, 10061 refused, ...): the system's
// errno values are mapped to them (ErrnoToWinSock), so that messages and the classification of
// failures read the same on every platform.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Exception.h"
#include "Format.h"

namespace pelmar {

// Connects under way in all TCrtSocket objects of the process: incremented when AsyncConnect
// starts waiting for an outcome, decremented when the outcome has been read or the socket closed.
// Readers take the current value without a lock.
extern std::atomic<std::int32_t> PendingConnects;

// A socket-layer failure. The named constructors build the message as the layer words it.
class ECrtSocket : public Exception {
 public:
  explicit ECrtSocket(std::string Msg) : Exception(std::move(Msg)) {}
  const char* ClassName() const override { return "ECrtSocket"; }

  // Msg, then " (#code: text)" with the absolute value of Code; Msg alone when Code is 0.
  static ECrtSocket CreateCode(const std::string& Msg, int Code);
  // Fmt formatted with Args, then as CreateCode.
  static ECrtSocket CreateFmtCode(std::string_view Fmt, const std::vector<TFormatArg>& Args,
                                  int Code);
  // "Socket Error #code: text".
  static ECrtSocket CreateError(int Code);
};

// The text of a WinSock error number: Full gives "Socket Error #%d: %s", otherwise "#%d: %s".
// A number outside the table has an empty text ("#12345: ").
std::string SocketErrorText(int Code, bool Full);

// Fills Addr with the first address the resolver gives for Host and Port (numeric or service
// text) under Family and SockType. Returns 0 or the resolver's error code; Addr is all zero on
// failure. May block on name resolution.
int ResolveAddress(sockaddr_storage& Addr, const std::string& Host, const std::string& Port,
                   int Family, int SockType);

// Clears List and fills it with the numeric texts of Host's addresses of Family (AF_INET or
// AF_INET6; any other value keeps every address), in resolver order. A resolver failure leaves
// List empty. May block on name resolution.
void GetHostAddresses(const std::string& Host, int Family, std::vector<std::string>& List,
                      int SockType);

// The first IPv4 address of Host as dotted text. Raises ECrtSocket "Failed to resolve host name"
// when it has none (also when it has only IPv6 addresses).
std::string ResolveHost(const std::string& Host);

// One TCP client socket, reused for one connection after another. No lock of its own: the owner
// serialises all calls. Once a connect was started the socket stays non-blocking, so no call
// waits except AsyncCheckConnected (at most its time-out), Connect (at most ConnectTimeout) and a
// Write the peer does not drain (at most WriteTimeout without progress).
class TCrtSocket {
 public:
  TCrtSocket() = default;
  // Closes gracefully.
  ~TCrtSocket();
  TCrtSocket(const TCrtSocket&) = delete;
  TCrtSocket& operator=(const TCrtSocket&) = delete;

  // Starts a TCP connect to Host (name or dotted IPv4) and Port without waiting, and counts it in
  // PendingConnects. Raises ECrtSocket "Failed to resolve host name" (object unchanged), "Failed
  // to create socket for %s:%d", "Failed to set socket in async mode %s:%d" or "Failed to
  // initiate connect socket for %s:%d" (socket closed), the last three with the error's code
  // part. Host resolution may block.
  void AsyncConnect(const std::string& Host, std::uint16_t Port);
  // Waits at most Timeout ms (0 = just look) for the outcome of the pending connect. True when
  // connected; False on time-out (the connect stays pending) or when the socket reported only a
  // close. A refused, unreachable or timed-out connect raises ECrtSocket "Socket Error #%d: %s"
  // with the socket left open; any other error closes it first. Without a pending connect it
  // closes the socket and raises Exception "Bugcheck: wait failed in
  // TCrtSocket.AsyncCheckConnected".
  bool AsyncCheckConnected(std::uint32_t Timeout);
  // AsyncConnect, then waits up to ConnectTimeout; no outcome in time closes the socket and
  // raises "Socket Error #10060: Connection timed out.".
  void Connect(const std::string& Host, std::uint16_t Port);
  // True while a connect is pending.
  bool Connecting() const { return FConnectPending; }

  // Returns the number of bytes placed in Buffer, 0 when nothing is waiting (or Count <= 0).
  // A peer that closed makes it close the socket and raise ECrtSocket "Connection closed
  // gracefully"; other failures raise "Socket Error #%d: %s". Raises EAssertionFailed for a null
  // Buffer.
  int Read(void* Buffer, int Count);
  // Returns after all Count bytes were handed to the system. When the peer takes nothing for
  // WriteTimeout ms the socket is closed and "Socket Error #10060: Connection timed out." is
  // raised; other failures raise "Socket Error #%d: %s". Raises EAssertionFailed for a null
  // Buffer.
  void Write(const void* Buffer, int Count);
  // Ends a pending connect; when a socket is open, shuts down the sending direction first if
  // Graceful, then closes it. Does nothing when nothing is open.
  void Close(bool Graceful);

  std::uint16_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(std::uint16_t Value) { FConnectTimeout = Value; }
  std::uint32_t WriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(std::uint32_t Value) { FWriteTimeout = Value; }
  // The descriptor, or -1 when no socket is open.
  int Handle() const { return FSocket; }

 private:
  // Classifies a failed call (Result -1) with WinSock error Code: would-block and
  // already-connected answer -1; refused, unreachable and timed out raise with the socket kept
  // open; anything else closes the socket and raises. Any other Result is returned unchanged.
  int CheckError(int Result, int Code);
  // Forgets the pending connect and uncounts it.
  void CloseEvent();

  int FSocket = -1;
  bool FConnectPending = false;  // counted in PendingConnects
  bool FOutcomeReady = false;    // the pending connect is known to be complete without a wait
  bool FConnectFailed = false;   // the open socket's last connect failed; the next needs a new one
  std::uint16_t FConnectTimeout = 0;
  std::uint32_t FWriteTimeout = 500;
  sockaddr_storage FAddress{};
};

}  // namespace pelmar
