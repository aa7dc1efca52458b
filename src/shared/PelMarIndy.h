// The TCP client of the Core connection: a buffered client on POSIX sockets with a connect
// time-out, blocking reads with an optional read time-out, an input buffer of received bytes not
// yet consumed, an optional output buffer, and a re-entrant lock for the threads that share it.
// TPelMarStack words the socket error messages ("Socket error #10061 - Connection refused.").
//
// Time-outs are measured with the process clock (Clock.h), so tests advance a fake clock instead
// of waiting; the socket itself is waited for in slices of at most 50 ms.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Exception.h"
#include "UtilityStream.h"

namespace pelmar {

// Every error of the TCP client derives from this class.
PELMAR_EXCEPTION_CLASS(EPelMarTCPError, Exception);
// The connection could not be opened within the connect time-out: "Connect timed out.".
PELMAR_EXCEPTION_CLASS(EPelMarConnectTimeout, EPelMarTCPError);
// The peer closed the connection: "Connection Closed Gracefully.".
PELMAR_EXCEPTION_CLASS(EPelMarClosedGracefully, EPelMarTCPError);
// Bytes that were waited for did not arrive within the read time-out: "Read timed out.".
PELMAR_EXCEPTION_CLASS(EPelMarReadTimeout, EPelMarTCPError);
// An operation that needs an open connection found none: "Not Connected.".
PELMAR_EXCEPTION_CLASS(EPelMarNotConnected, EPelMarTCPError);
// A wait on the socket was ended by Interrupt: "Operation interrupted.".
PELMAR_EXCEPTION_CLASS(EPelMarInterrupted, EPelMarTCPError);

// A failed socket call, with its error number in the WinSock numbering.
class EPelMarSocketError : public EPelMarTCPError {
 public:
  EPelMarSocketError(std::string Message, int LastError)
      : EPelMarTCPError(std::move(Message)), FLastError(LastError) {}
  const char* ClassName() const override { return "EPelMarSocketError"; }
  int LastError() const { return FLastError; }

 private:
  int FLastError;
};

// The process's socket stack: builds the message of a socket error and rewords it.
class TPelMarStack {
 public:
  // Rewords a socket error message: a final full stop is removed, every CR LF becomes " - ",
  // every "# " becomes "#", and an "E" as 8th character becomes "e".
  static std::string RewordMessage(std::string Message);
  // "Socket Error # <Code>\r\n<English text>", reworded: "Socket error #10061 - Connection
  // refused.".
  static std::string SocketErrorMessage(int Code);
  // Raises EPelMarSocketError for the WinSock number Code.
  [[noreturn]] static void RaiseSocketError(int Code);
  // Raises EPelMarSocketError for errno value Err.
  [[noreturn]] static void RaiseErrno(int Err);
};

// A TCP client. Not thread-safe by itself: threads that share it hold Lock around their use.
class TPelMarTCPClient {
 public:
  // For ConnectTimeout and ReadTimeout: no limit.
  static constexpr std::uint32_t InfiniteTimeout = 0;

  TPelMarTCPClient();
  ~TPelMarTCPClient();
  TPelMarTCPClient(const TPelMarTCPClient&) = delete;
  TPelMarTCPClient& operator=(const TPelMarTCPClient&) = delete;

  const std::string& Host() const { return FHost; }
  void SetHost(std::string Value) { FHost = std::move(Value); }
  std::uint16_t Port() const { return FPort; }
  void SetPort(std::uint16_t Value) { FPort = Value; }
  // Milliseconds; InfiniteTimeout leaves it to the system.
  std::uint32_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(std::uint32_t Value) { FConnectTimeout = Value; }
  // Milliseconds without any byte arriving after which a read raises EPelMarReadTimeout (and a
  // write that cannot go on raises the socket error 10060); InfiniteTimeout waits for ever.
  std::uint32_t ReadTimeout() const { return FReadTimeout.load(); }
  void SetReadTimeout(std::uint32_t Value) { FReadTimeout.store(Value); }

  // Opens the connection to Host:Port within the connect time-out, after resolving the host.
  // Raises EPelMarConnectTimeout, EPelMarSocketError (10061 refused, 11001 host not found, ...),
  // or EPelMarTCPError "Already connected." when a connection is open. The input buffer starts
  // empty.
  void Connect();
  void Connect(const std::string& Host, std::uint16_t Port);
  // Closes the connection if one is open and discards the input and output buffers. With
  // NotifyPeer false the socket is reset at once instead of being closed in order.
  void Disconnect(bool NotifyPeer = true);
  // A connection is open (the peer may have closed its side without our noticing yet).
  bool Opened() const { return FSocket.load() >= 0; }
  // A connection was opened at least once.
  bool HasIOHandler() const { return FHasIOHandler; }
  // The peer's close has been seen (bytes before it may still wait in the input buffer).
  bool ClosedGracefully() const { return FPeerClosed; }

  // Sends all Count bytes (or appends them to the output buffer while it is open). Raises
  // EPelMarNotConnected or EPelMarSocketError.
  void Write(const void* Data, std::size_t Count);
  // Takes exactly Count bytes from the input buffer, receiving as needed. Raises
  // EPelMarClosedGracefully when the peer closes first, EPelMarReadTimeout, EPelMarNotConnected
  // or EPelMarSocketError; the input buffer keeps what arrived.
  void ReadBytes(void* Buffer, std::size_t Count);
  std::vector<std::uint8_t> ReadBytes(std::size_t Count);
  // Sends Size bytes of Stream from its position, in pieces. Raises EStreamError when the
  // stream has fewer.
  void WriteStreamBytes(TStream& Stream, std::int64_t Size);
  // Receives exactly Count bytes into Stream, in pieces, so that memory grows only as the bytes
  // arrive. Raises as ReadBytes, and EStreamError when the stream accepts fewer bytes.
  void ReadStreamBytes(TStream& Stream, std::int64_t Count);
  // Receives into Stream until the peer closes the connection.
  void ReadStreamUntilClose(TStream& Stream);

  std::size_t InputBufferSize() const { return FInput.size() - FInputStart; }
  bool InputBufferIsEmpty() const { return InputBufferSize() == 0; }
  void ClearInputBuffer();

  // Waits at most Timeout ms (0: not at all) for bytes from the socket and moves whatever arrived
  // into the input buffer. Returns true when bytes arrived. Notes a close by the peer. A wait
  // raises EPelMarInterrupted while the client is interrupted.
  bool CheckForDataOnSource(std::uint32_t Timeout);
  // Notes whether the peer has closed the connection, receiving what is waiting first. When it
  // has, and the input buffer is empty or IgnoreBuffer is set, the connection is closed and,
  // with RaiseError, EPelMarClosedGracefully is raised. Socket errors are raised only with
  // RaiseError; otherwise they close the connection.
  void CheckForDisconnect(bool RaiseError = true, bool IgnoreBuffer = false);

  // While the output buffer is open, Write collects bytes instead of sending them.
  void OpenWriteBuffer();
  // Sends the collected bytes and closes the output buffer.
  void CloseWriteBuffer();
  // Discards output not yet sent and closes the output buffer.
  void ClearWriteBuffer();
  bool WriteBufferOpen() const { return FWriteBufferOpen; }

  // From any thread: every wait on the socket (connect, read, a write that cannot go on) ends
  // with EPelMarInterrupted, now and until ResetInterrupt. Operations that need no wait go on.
  void Interrupt() { FInterrupted.store(true); }
  void ResetInterrupt() { FInterrupted.store(false); }

  // The client's re-entrant lock (Lockable, for std::lock_guard).
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  // Receives what the socket holds now (bounded per call). Returns the number of bytes; sets
  // FPeerClosed at the end of the stream. Raises EPelMarSocketError.
  std::size_t Receive();
  // Waits until the socket reports Events, or until more than Timeout ms have passed since
  // Start (never for InfiniteTimeout). Returns false on expiry. Raises EPelMarInterrupted.
  bool WaitSocket(short Events, std::uint32_t Start, std::uint32_t Timeout);
  void Send(const std::uint8_t* Data, std::size_t Count);
  void CloseSocket(bool Reset);
  void Consume(void* Buffer, std::size_t Count);
  // Raises what a read that needs more bytes must raise when the connection cannot give them.
  void CheckReadable();

  std::string FHost = "127.0.0.1";
  std::uint16_t FPort = 0;
  std::uint32_t FConnectTimeout = InfiniteTimeout;
  std::atomic<std::uint32_t> FReadTimeout{InfiniteTimeout};

  std::atomic<int> FSocket{-1};
  std::atomic<bool> FInterrupted{false};
  bool FHasIOHandler = false;
  bool FPeerClosed = false;  // the peer's end of the stream was seen

  std::vector<std::uint8_t> FInput;  // bytes from FInputStart on are not yet consumed
  std::size_t FInputStart = 0;
  std::vector<std::uint8_t> FOutput;
  bool FWriteBufferOpen = false;

  std::recursive_mutex FLock;
};

}  // namespace pelmar
