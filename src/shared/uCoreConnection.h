// The Core polling thread: owns the service's side of the Core connection. It connects and
// reconnects with pauses, runs the owner's log-in and post-log-in hooks, polls the connection for
// pushed messages and stray replies, sends the queued commands and events and waits for their
// replies, keeps the connection alive, and drops it cleanly when asked or when it fails. Its
// dispatch side (registrations, ProcessMessages) is TCoreDispatcher.
//
// The thread goes through the states of TCoreState in order on each connection and drops back to
// Disconnected when the connection goes.
//
// Pauses and time-outs follow the process clock (Clock.h): the pauses sleep through it in steps
// of 50 ms, so a fake clock lets tests run them at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "PelMarIndy.h"
#include "uConnectionProtocol.h"

namespace pelmar {

// Where the polling thread is with its connection; the values are ordered, so that "from
// LoggingIn on" is a comparison.
enum class TCoreState : std::uint8_t {
  Disconnected = 0,  // no connection
  Connecting = 1,    // waiting for the next attempt or opening the TCP connection
  TcpOpen = 2,       // the TCP connection is open
  LoggingIn = 3,     // the log-in hook runs; commands and events may be queued from here on
  LoggedIn = 4,      // logged in; the post-log-in hook runs
  Ready = 5,         // connected and polling
};

class TCoreConnection : public TCoreDispatcher {
 public:
  static constexpr std::uint32_t KeepaliveInterval = 30000;
  static constexpr std::uint32_t KeepaliveTimeout = 20000;
  static constexpr std::uint32_t DefaultReadTimeout = 60000;

  // Created suspended; it becomes the current Core connection. The owner sets the settings and
  // hooks, registers handlers and calls Start. Client is not owned and must outlive this object.
  explicit TCoreConnection(TPelMarTCPClient& Client);
  // Stops the thread if it runs and waits for it to end, then frees the queued incoming messages
  // and the protocol. Destroyed on its own polling thread (by a hook), it reports the bug check
  // "TCoreConnection destroyed on its own polling thread" and aborts the process.
  ~TCoreConnection() override;

  // Starts the thread (once).
  void Start();
  // Asks the thread to end; it leaves its waits and pauses at once (waits on the socket end
  // through the client's Interrupt).
  void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  // Terminate, then wait for the thread to end. Errors of the wait are ignored (a call from the
  // polling thread itself does not wait).
  void Stop();

  bool IsConnected() const override { return FState.load() == TCoreState::Ready; }
  TCoreState State() const { return FState.load(); }

  // Hands a command to the thread, which sends it and waits for its reply: from another thread
  // the polling thread wakes at once; from the polling thread itself the queue is sent now.
  // Raises EDisplayError "Нет соединения!" below LoggingIn.
  void Queue(TServiceCommand& Command) override;
  void Queue(std::unique_ptr<TServiceEvent> Event) override;
  bool RemoveFromQueue(TServiceCommand& Command) override;
  // Commands and events waiting in the queue (not the one being sent).
  std::size_t QueuedCount();

  // Settings, made before Start. RetryInterval may also be changed by OnDisconnected.
  const std::string& Host() const { return FHost; }
  void SetHost(std::string Value) { FHost = std::move(Value); }
  std::uint16_t Port() const { return FPort; }
  void SetPort(std::uint16_t Value) { FPort = Value; }
  // Longest wait between two poll cycles, ms (300).
  std::uint32_t PollInterval() const { return FPollInterval; }
  void SetPollInterval(std::uint32_t Value) { FPollInterval = Value; }
  // Pause after a failed attempt, ms (10 000).
  std::uint32_t RetryInterval() const { return FRetryInterval.load(); }
  void SetRetryInterval(std::uint32_t Value) { FRetryInterval.store(Value); }
  // Longest wait for bytes the Core service owes, ms (60 000; 0: no limit): the log-in answer,
  // the rest of a message that has begun, the reply to a command without a time-out of its own.
  // Expiry raises EPelMarReadTimeout, which is handled like a network failure. Applied to the
  // client at every attempt.
  std::uint32_t ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(std::uint32_t Value) { FReadTimeout = Value; }
  // Send "RegisterForEvents" after each log-in.
  bool RegisterEvents() const { return FRegisterEvents; }
  void SetRegisterEvents(bool Value) { FRegisterEvents = Value; }
  // Failed attempts of the current connection cycle before the one just failed (read it in
  // OnDisconnected).
  std::int32_t Attempts() const { return FAttempts.load(); }

  TPelMarTCPClient& Client() { return FClient; }
  // Created at the first connection; polling thread and its hooks only.
  TConnectionProtocol* Protocol() { return FProtocol.get(); }

  // Hooks, all called on the polling thread.
  //
  // Before each attempt, every 50 ms until it answers true (unassigned: true).
  std::function<bool()> OnBeforeConnect;
  // The log-in exchange, in state LoggingIn. False or an exception other than a network error, the
  // graceful close, a read time-out or ENonFatalError ends the thread (unassigned: true).
  std::function<bool()> OnLogin;
  // Post-log-in work, in state LoggedIn; as OnLogin (unassigned: true).
  std::function<bool()> OnConnected;
  // After every dropped connection and every failed attempt, with the cause (nullptr for an
  // orderly stop). Exceptions it raises are logged and go no further.
  std::function<void(const std::exception* E)> OnDisconnected;

 protected:
  void DisconnectRequestChanged() override { Wake(); }

 private:
  struct TQueueItem {
    TServiceCommand* Command = nullptr;  // not owned; the caller waits for it
    std::unique_ptr<TServiceEvent> Event;
  };

  void Execute();
  // Connects and logs in, with pauses and retries. Answers whether the connection is ready.
  bool ConnectionCycle();
  void ConnectedLoop();
  void PollCycle();
  // Polling thread, under the client's lock: sends every queued item in order.
  void SendQueue();
  // Sends Command and reads messages until its reply, its time-out or a failure; it is done
  // afterwards in every case.
  void TransmitCommand(TServiceCommand& Command);
  // E is the cause, nullptr for an orderly stop.
  void DropConnection(const std::exception* E);
  // Every queued command ends with the silent abort, every queued event is freed. With
  // ResetState the state drops to Disconnected under the same lock, so that nothing more is queued
  // for a connection that is going away.
  void ClearOutQueue(bool ResetState);
  void Wake();
  void WaitForWake(std::uint32_t Milliseconds);
  // True on the thread while it runs Execute.
  bool IsPollingThread() const { return std::this_thread::get_id() == FThreadId.load(); }
  // Sleeps through the process clock; false when the thread was terminated.
  bool Pause(std::uint32_t Milliseconds);

  TPelMarTCPClient& FClient;
  std::unique_ptr<TConnectionProtocol> FProtocol;

  std::atomic<TCoreState> FState{TCoreState::Disconnected};
  std::string FHost = "127.0.0.1";
  std::uint16_t FPort = 4700;
  std::uint32_t FPollInterval = 300;
  std::atomic<std::uint32_t> FRetryInterval{10000};
  std::uint32_t FReadTimeout = DefaultReadTimeout;
  std::uint32_t FExtraDelay = 0;
  std::atomic<std::int32_t> FAttempts{0};
  std::uint32_t FLastAttemptTick = 0;
  std::atomic<std::uint32_t> FLastSendTick;
  bool FConnectedBefore = false;
  bool FRegisterEvents = false;
  std::mt19937 FRandom;

  std::mutex FQueueLock;
  std::deque<TQueueItem> FOutQueue;  // guarded by FQueueLock

  std::mutex FWakeLock;
  std::condition_variable FWakeChanged;
  bool FWakeSignalled = true;  // auto-reset; guarded by FWakeLock

  std::atomic<bool> FTerminated{false};
  std::atomic<std::thread::id> FThreadId;
  std::thread FThread;
};

// The process's Core connection; nullptr while none exists.
TCoreConnection* CoreConnection();

}  // namespace pelmar
