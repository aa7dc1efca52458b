// A fake Core service for tests and benchmarks: a TCP server on the loopback interface that the
// test drives step by step. It takes connections, reads and checks the log-in, answers it,
// reads the commands and events the service sends, answers commands by id with any status,
// pushes commands and events ("CoreQuit" among them), sends stray replies or any bytes, drops
// the connection, and records every byte it received.
//
// Waits are in real time and bounded (DefaultWait); a wait that expires raises
// std::runtime_error, so a test that expects something that never comes fails instead of
// hanging. Free of GoogleTest so that benchmarks can use it too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelmar {
class TPelMarTCPClient;
}

namespace pelmar::test {

// A message the service sent to the Core service.
struct TCoreMessage {
  std::string Name;
  bool IsEvent = false;
  std::uint8_t Id = 0;  // commands only
  std::string Params;   // the parameter bytes
  std::string Raw;      // the whole message as it came
};

// The log-in the service sent.
struct TCoreLogin {
  std::uint8_t ServiceID = 0;
  std::string Version;
  std::string Password;
};

class TFakeCore {
 public:
  // Milliseconds of real time for something that must happen.
  static constexpr int DefaultWait = 20000;

  // Listens on 127.0.0.1 at a free port.
  TFakeCore();
  ~TFakeCore();
  TFakeCore(const TFakeCore&) = delete;
  TFakeCore& operator=(const TFakeCore&) = delete;

  std::uint16_t Port() const { return FPort; }

  // Takes the next connection, closing the current one.
  void Accept(int WaitMs = DefaultWait);
  // Connections taken so far.
  int Accepted() const { return FAccepted; }
  // Takes the next connection, reads the log-in and accepts it.
  TCoreLogin AcceptAndLogin(const std::string& Config = "");

  TCoreLogin ReadLogin();
  // Accepted: Boolean True, Integer n, n bytes of configuration.
  void AcceptLogin(const std::string& Config = "");
  // Refused: Boolean False, String reason.
  void RefuseLogin(const std::string& Reason);

  // The next message from the service.
  TCoreMessage ReadMessage(int WaitMs = DefaultWait);
  // The next message, which must be the command Name (raises otherwise).
  TCoreMessage ReadCommand(const std::string& Name, int WaitMs = DefaultWait);
  // The next message, which must be the event Name (raises otherwise).
  TCoreMessage ReadEvent(const std::string& Name, int WaitMs = DefaultWait);

  // Replies: id and status 0; id, status 1 and the data as a block; id, status 3 and the text.
  void ReplyDone(std::uint8_t Id);
  void ReplyData(std::uint8_t Id, const std::string& Data);
  void ReplyError(std::uint8_t Id, const std::string& Text);
  // Any bytes.
  void Send(const std::string& Bytes);

  // One pushed command or event, for Push.
  static std::string PushedCommand(std::uint8_t Source, std::int64_t User, const std::string& Name,
                                   const std::string& Params = "");
  static std::string PushedEvent(std::uint8_t Source, const std::string& Name,
                                 const std::string& Params = "");
  // A push block: 00 02, the count, the messages.
  void Push(const std::vector<std::string>& Messages);
  // The event "CoreQuit" from service 0 with its reason and flag.
  void SendCoreQuit(const std::string& Reason, bool Flag);

  // Closes the current connection; with Reset it is reset instead of closed in order.
  void Drop(bool Reset = false);
  // Whether bytes from the service wait unread (after waiting up to WaitMs for some).
  bool DataPending(int WaitMs = 0);
  // Waits until the service closes the connection; bytes that come first are kept for
  // ReadMessage. Answers false when the wait expired.
  bool WaitClosed(int WaitMs = DefaultWait);
  // The service's close was a reset rather than an orderly close.
  bool ClosedByReset() const { return FReset; }

  // Every byte received, over all connections.
  std::string Received() const;

  // Encodings.
  static std::string Int(std::int32_t Value);
  static std::string Int64(std::int64_t Value);
  static std::string Str(const std::string& Value);

  // Automatic mode, for benchmarks: a thread takes connections one after another, accepts every
  // log-in and answers every command with Answer's bytes after the id (status and payload; an
  // empty answer means 00). Events are counted.
  using TAnswer = std::function<std::string(const TCoreMessage& Command)>;
  void Serve(TAnswer Answer);
  void StopServing();
  std::uint64_t EventsServed() const { return FEventsServed.load(); }

 private:
  // Bytes from the connection: waits up to WaitMs for Count bytes; raises on expiry or close.
  std::string Take(std::size_t Count, int WaitMs);
  // Receives once, waiting up to WaitMs; false on expiry. Raises on close when MustStayOpen.
  bool ReceiveSome(int WaitMs);
  void ServeLoop(TAnswer Answer);

  int FListen = -1;
  std::uint16_t FPort = 0;
  int FConn = -1;
  bool FPeerClosed = false;
  bool FReset = false;
  std::string FIn;  // received, not yet taken
  int FAccepted = 0;

  mutable std::mutex FLock;
  std::string FReceived;  // guarded by FLock

  std::atomic<bool> FStopServing{false};
  std::atomic<std::uint64_t> FEventsServed{0};
  std::thread FServer;
};

// The log-in exchange as the service client makes it, over the open Client: Byte ServiceID,
// String "1.9", String Password; then the answer. A refusal raises ENonFatalError when its reason
// contains "NonFatal:", Exception otherwise. Answers true.
bool CoreLogin(TPelMarTCPClient& Client, std::uint8_t ServiceID, const std::string& Password);

}  // namespace pelmar::test
