// The Core protocol above the byte encoding: the protocol object that runs the typed reads and
// writes on the TCP connection, the commands and events this service sends (TServiceCommander,
// TServiceCommand, TServiceEvent), the commands and events the Core service pushes, and their
// dispatch to registered handlers (TCoreDispatcher, the dispatch side of the Core connection).
//
// Messages to the Core service:
//   command: String name, Byte 0, Byte id (1..255), Integer n, n bytes of parameters
//   event:   String name, Byte 1, Integer n, n bytes of parameters
// Messages from the Core service begin with an id byte and a status byte: a reply to the command
// with that id (status 0 done, 1 done with an Integer-counted block of data, 3 failed with a
// String), or, with id 0 and status 2, an Integer count of pushed commands and events.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BaseProtocol.h"
#include "Exception.h"

namespace pelmar {

class TPelMarTCPClient;
class TCoreDispatcher;

// EAbort (Exception.h) is the silent abort of a command whose connection dropped before its
// reply: callers clean up and do not log it.
// A command failed at the Core service; the message is the Core service's text.
PELMAR_EXCEPTION_CLASS(EPelReplyError, Exception);
// A command's time-out expired; empty message.
PELMAR_EXCEPTION_CLASS(EPelCommandTimeout, EPelReplyError);

// The Core service asked the service to disconnect ("CoreQuit"); the message is its reason.
class ECoreDisconnectError : public Exception {
 public:
  ECoreDisconnectError(std::string Reason, bool QuitFlag)
      : Exception(std::move(Reason)), FQuitFlag(QuitFlag) {}
  const char* ClassName() const override { return "ECoreDisconnectError"; }
  // The flag sent with "CoreQuit"; kept, not interpreted.
  bool QuitFlag() const { return FQuitFlag; }

 private:
  bool FQuitFlag;
};

// The class name that log texts print: ClassName() of the system's exceptions, the C++ type
// name of others.
std::string ExceptionClassName(const std::exception& E);

// TBaseProtocol on an open TCP connection: every typed read and write goes directly to the
// socket. Reads block until the bytes arrive (or the client's read time-out expires). Errors of
// the client propagate unchanged; a failed read or write leaves the counters as they were. No
// lock: the user holds the client's lock.
class TConnectionProtocol : public TBaseProtocol {
 public:
  // Connection is not owned and must outlive the protocol.
  explicit TConnectionProtocol(TPelMarTCPClient& Connection);

  // Each raises EAssertionFailed "BUGCHECK: IOHandler not assigned in
  // TConnectionProtocol.<operation> (<file>, line <n>)" when the client was never connected.
  void WriteData(std::int32_t Count, const void* Buffer) override;
  void ReadData(std::int32_t Count, void* Buffer) override;
  // With length: an Integer n, then n bytes into Stream (nothing more for n <= 0). Without: the
  // bytes until the peer closes the connection.
  void ReadStream(TStream& Stream, bool WithLength) override;
  // Raises EBugCheckError "Stream too big!" for a stream of 2^31 bytes or more before anything
  // is sent.
  void WriteStream(TStream& Stream, bool WithLength) override;

  std::int32_t BytesWritten() const { return FBytesWritten; }
  std::int32_t BytesRead() const { return FBytesRead; }
  TPelMarTCPClient& Connection() { return FConnection; }

 protected:
  // True when Count bytes are already in the client's input buffer; otherwise strings and blocks
  // are read in bounded pieces as they arrive.
  bool CheckAvailable(std::int32_t Count) override;

 private:
  void CheckIOHandler(const char* Operation, int Line) const;

  TPelMarTCPClient& FConnection;
  std::int32_t FBytesWritten = 0;
  std::int32_t FBytesRead = 0;
};

// A message this service builds for the Core service: the buffer holds the whole message.
class TServiceBaseAction : public TBufferProtocol {
 public:
  TServiceBaseAction() : TBufferProtocol(32) {}
};

// A command to the Core service. Made by TServiceCommander::StartCommand with its header
// written; the caller writes the parameters with the typed writes, then calls Execute (send and
// wait for the reply) and/or Finish. After Execute the command belongs to the polling thread
// until it is done; the caller only waits.
class TServiceCommand : public TServiceBaseAction {
 public:
  ~TServiceCommand() override;

  // Completes the parameter length, hands the command to the polling thread and waits until it
  // is done. Returns the reply data: Reply, or a buffer of the command's own (valid until Finish
  // or destruction). Raises EDisplayError "Нет соединения!" when the connection is not logged
  // in, EPelCommandTimeout when the time-out expired (also if the reply came just too late),
  // EAbort when the connection dropped before the reply, EPelReplyError with the Core service's
  // text for a failure reply, EBugCheckError "Unexpected protocol reply (2)!" or "Unexpected
  // protocol reply!" for other statuses.
  TBufferProtocol& Execute(TBufferProtocol* Reply = nullptr);
  // Sends and waits for the command if it was never handed over (a command whose reply is not
  // read), then releases the command's own reply buffer. Raises as Execute.
  void Finish();

  std::uint8_t CommandID() const { return FCommandID; }
  const std::string& CommandName() const { return FCommandName; }
  // Milliseconds from Execute; 0 waits without a limit of its own.
  std::uint32_t Timeout() const { return FTimeout; }
  void SetTimeout(std::uint32_t Value) { FTimeout = Value; }

  // State, for the polling thread and for tests. Read them from other threads only after Done.
  bool Done() const { return FDone.load(); }
  bool Pending() const { return FPending; }
  bool Cancelled() const { return FCancelled; }
  std::uint8_t Status() const { return FStatus; }
  const std::string& ErrorText() const { return FErrorText; }
  std::uint32_t StartTick() const { return FStartTick; }

 private:
  friend class TServiceCommander;
  friend class TCoreDispatcher;

  explicit TServiceCommand(TCoreDispatcher& Owner) : FOwner(Owner) {}

  TCoreDispatcher& FOwner;
  std::uint8_t FCommandID = 0;
  TBufferProtocol* FReply = nullptr;
  std::unique_ptr<TBufferProtocol> FOwnReply;
  std::int32_t FLengthAt = 0;
  std::atomic<bool> FDone{false};
  bool FPending = false;
  bool FCancelled = false;
  std::atomic<bool> FQueued{false};  // in the polling thread's hands (queued or being sent)
  std::uint8_t FStatus = 0;
  std::string FErrorText;
  std::uint32_t FStartTick = 0;
  std::uint32_t FTimeout = 0;
  std::string FCommandName;
};

// An event to the Core service. Made by TServiceCommander::StartEvent; the caller writes the
// parameters and hands it over with SendEvent, after which the polling thread sends and frees
// it. An event dropped without SendEvent is simply freed.
class TServiceEvent : public TServiceBaseAction {
 public:
  // Completes the parameter length and queues the event. Raises EDisplayError "Нет соединения!"
  // when the connection is not logged in; the event is freed.
  static void SendEvent(std::unique_ptr<TServiceEvent> Event);
  // Writes the parameter length; the buffer then holds the finished message.
  void Complete();

 private:
  friend class TServiceCommander;

  explicit TServiceEvent(TCoreDispatcher& Owner) : FOwner(Owner) {}

  TCoreDispatcher& FOwner;
  std::int32_t FLengthAt = 0;
};

// Builds commands and events with their headers. Ids are taken atomically, since the work
// thread and the polling thread both start commands; they run 1..255 and then 1 again.
class TServiceCommander {
 public:
  // Target 0 addresses the Core service itself. Another target wraps commands as "FFCommand"
  // with the target and the real name after the length placeholder.
  explicit TServiceCommander(std::uint8_t Target = 0) : FTarget(Target) {}

  // Raise EBugCheckError "TClientProtocol.StartCommand: CorePollingThread not assigned!" when no
  // Core connection exists.
  std::unique_ptr<TServiceCommand> StartCommand(const std::string& Name);
  std::unique_ptr<TServiceEvent> StartEvent(const std::string& Name);

  std::uint8_t Target() const { return FTarget; }
  // The next id starts again at 1; done when a new Core connection is made.
  void ResetIDs() { FNextID.store(0); }

 private:
  std::uint8_t NextID();

  std::atomic<std::uint8_t> FNextID{0};
  std::uint8_t FTarget;
};

// The process's commander (target 0).
TServiceCommander& ServiceCommander();

// A command pushed by the Core service, handed to the command handlers.
struct TPelCommand {
  std::uint8_t ServiceID = 0;  // source service
  std::int64_t UserID = 0;     // the user on whose behalf the Core service sends it
  std::string Name;
  TBufferProtocol Params{32};  // position 0 when handlers run
  TBufferProtocol Reply{32};   // handlers write their reply data here
};
using pPelCommand = TPelCommand*;

// An event pushed by the Core service, handed to the event handlers. A handler that sets Done to
// false has the event offered again at the next ProcessMessages.
struct TPelEvent {
  std::uint8_t ServiceID = 0;
  std::string Name;
  TBufferProtocol Params{32};
  bool Done = false;
  std::uint32_t ReceivedTick = 0;
};
using pPelEvent = TPelEvent*;

using TPelCommandEvent = std::function<void(pPelCommand Command)>;
using TPelEventEvent = std::function<void(pPelEvent Event)>;

struct TCommandHandler {
  std::string Name;
  TPelCommandEvent Handler;
};

struct TEventHandler {
  std::string Name;
  std::uint8_t SourceService = 0;
  TPelEventEvent Handler;
};

// What ReadIncoming found.
enum class TIncomingKind {
  ikPush,     // a block of pushed commands and events, now queued
  ikReply,    // the reply of the waiting command, stored in it
  ikStray,    // a reply to a command no longer waited for, read and dropped
  ikDiscard,  // a reply with an unknown status: the caller discards its input buffer
};

// The dispatch side of the Core connection: handler registrations, the queues of incoming
// commands and events, their dispatch on the work thread, and the reading of what the Core
// service sends. The transport (queueing and sending) is the polling thread's, in a derived
// class. One instance per process is current (CoreDispatcher()); constructing one makes it
// current and restarts the command ids.
class TCoreDispatcher {
 public:
  TCoreDispatcher();
  virtual ~TCoreDispatcher();
  TCoreDispatcher(const TCoreDispatcher&) = delete;
  TCoreDispatcher& operator=(const TCoreDispatcher&) = delete;

  // Registrations, made before the polling thread starts and kept for its lifetime. A
  // registration with the same name and the same handler code (and, for events, source) is not
  // added again. Handlers are compared by their code: function pointers by value, other
  // callables by type (every lambda expression is a type of its own).
  void RegisterCommand(const std::string& Name, TPelCommandEvent Handler);
  void RegisterEvent(const std::string& Name, std::uint8_t SourceService, TPelEventEvent Handler);
  const std::vector<TCommandHandler>& CommandHandlers() const { return FCommandHandlers; }
  const std::vector<TEventHandler>& EventHandlers() const { return FEventHandlers; }

  // Work thread: dispatches the queued events (an event whose handler cleared Done stays
  // queued), then the queued commands, each command answered with "ReturnCommand". Stops
  // dispatching events once a disconnect was requested. Raises what HandleCommand raises.
  void ProcessMessages();
  // Calls the handlers of Event; answers whether it is done. A handler that raises is logged and
  // reported, and ends the handling. "CoreQuit" requests the disconnect with its reason and flag.
  bool HandleEvent(TPelEvent& Event);
  // Calls the handlers of Command between OnCommandBefore and OnCommandAfter and sends its
  // result as "ReturnCommand" (00; 01 with the reply block; 03 with the error text). Raises
  // EDisplayError when the result cannot be queued, EBugCheckError "Fatal exception (%s) while
  // handling command "%s": %s" for other failures of the sending.
  void HandleCommand(std::unique_ptr<TPelCommand> Command);
  // The incoming command whose handlers are running, nullptr otherwise (work thread).
  pPelCommand CurrentCommand() const { return FCurrentCommand; }
  // Tells the Core service which events to forward: "RegisterForEvents" with Byte source and
  // String name per registration, waiting for its reply. Nothing is sent without event
  // registrations; raises EDisplayError "Нет соединения!" when not connected.
  void RegisterForEvents();

  // Around the handlers of each incoming command (work thread).
  std::function<void(pPelCommand Command)> OnCommandBefore;
  std::function<void(pPelCommand Command)> OnCommandAfter;
  // Receives the exceptions that go to the crash reporter (failing event handlers; list errors
  // and bug checks of command handlers). Called on the work thread.
  std::function<void(const std::exception& E)> OnReportException;

  // Polling thread: reads one message (id and status first) from P. A push block is queued; a
  // reply whose id is Waiting's is stored in Waiting (which stops being pending); a reply to any
  // other id is read and dropped. Raises on malformed input (a negative count or block length)
  // and when P runs dry; messages of a push block read before the failure stay queued.
  TIncomingKind ReadIncoming(TBaseProtocol& P, TServiceCommand* Waiting);
  // Reads an Integer count and that many pushed commands and events, queueing each.
  void ReadPushBlock(TBaseProtocol& P);
  // Frees every queued incoming command and event.
  void FreeIncoming();
  std::size_t IncomingCommandCount();
  std::size_t IncomingEventCount();

  // The transport, implemented by the polling thread.
  //
  // The connection is ready (logged in, registered).
  virtual bool IsConnected() const = 0;
  // Takes a command to send; it stays the caller's. Raises EDisplayError "Нет соединения!" while
  // the connection is below the log-in state.
  virtual void Queue(TServiceCommand& Command) = 0;
  // Takes an event to send and free. Raises as above; the event is then freed.
  virtual void Queue(std::unique_ptr<TServiceEvent> Event) = 0;
  // Removes a command not yet taken for sending; answers whether it was found.
  virtual bool RemoveFromQueue(TServiceCommand& Command) = 0;

  bool DisconnectRequested() const { return FDisconnectRequested.load(); }
  bool CoreQuitReceived() const { return FCoreQuitReceived.load(); }
  std::string DisconnectReason() const;
  bool QuitFlag() const;

  // Blocks until Command is done.
  void WaitDone(TServiceCommand& Command);

 protected:
  // Called when "CoreQuit" was handled, so that the polling thread acts at once.
  virtual void DisconnectRequestChanged() {}
  // Clears the disconnect request, its reason and the CoreQuit mark (new connection cycle).
  void ClearDisconnectRequest();
  // Stops being the current dispatcher (done by the destructor at the latest).
  void Unregister();

  // For the transport: mark a command as queued (under the queue's lock), as sent (its buffer is
  // emptied), cancelled (given up), aborted (dropped unsent: status 3 and still pending) and
  // done (wakes its waiter).
  static void SetQueued(TServiceCommand& Command, bool Value) { Command.FQueued.store(Value); }
  static bool IsQueued(const TServiceCommand& Command) { return Command.FQueued.load(); }
  static void MarkSent(TServiceCommand& Command) { Command.SetSize(0); }
  static void MarkCancelled(TServiceCommand& Command) { Command.FCancelled = true; }
  static void MarkAborted(TServiceCommand& Command);
  void MarkDone(TServiceCommand& Command);

 private:
  void ReportException(const std::exception& E);
  void RequestDisconnect(std::string Reason, bool Flag);

  std::vector<TCommandHandler> FCommandHandlers;
  std::vector<TEventHandler> FEventHandlers;
  pPelCommand FCurrentCommand = nullptr;

  std::mutex FIncomingLock;
  std::deque<std::unique_ptr<TPelCommand>> FIncomingCommands;  // guarded by FIncomingLock
  std::vector<std::unique_ptr<TPelEvent>> FIncomingEvents;     // guarded by FIncomingLock

  std::atomic<bool> FDisconnectRequested{false};
  std::atomic<bool> FCoreQuitReceived{false};
  mutable std::mutex FDisconnectLock;
  std::string FDisconnectReason;  // guarded by FDisconnectLock
  bool FQuitFlag = false;         // guarded by FDisconnectLock

  std::mutex FDoneLock;
  std::condition_variable FDoneChanged;
};

// The current Core connection's dispatch side; nullptr while none exists.
TCoreDispatcher* CoreDispatcher();

}  // namespace pelmar
