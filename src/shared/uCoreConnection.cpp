#include "uCoreConnection.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "Debug.h"
#include "Utilities.h"

namespace pelmar {

namespace {

const char* const NoConnection = "Нет соединения!";

// The texts that replace the messages of the common network errors met while polling.
const char* PollSocketErrorText(int Code) {
  switch (Code) {
    case 10050:
      return "Сеть не работает.";
    case 10051:
      return "Нет доступа к сети.";
    case 10052:
      return "Сервер прервал соединение при перезагрузке.";
    case 10053:
      return "Соединение прервано программным обеспечением.";
    case 10054:
      return "В соединении отказано (reset by peer).";
    case 10060:
      return "Время соединения истекло.";
    case 10061:
      return "В соединении отказано.";
    case 10064:
      return "Host адрес не отвечает (down).";
    case 10065:
      return "Не работает адресация соединения (no route to host).";
    case 11001:
      return "Host адрес не найден.";
    default:
      return nullptr;
  }
}

// Failures of an attempt after which another attempt may succeed.
bool IsRetryable(const std::exception& E) {
  return dynamic_cast<const EPelMarConnectTimeout*>(&E) != nullptr ||
         dynamic_cast<const EPelMarSocketError*>(&E) != nullptr ||
         dynamic_cast<const EPelMarClosedGracefully*>(&E) != nullptr ||
         dynamic_cast<const EPelMarReadTimeout*>(&E) != nullptr ||
         dynamic_cast<const ENonFatalError*>(&E) != nullptr;
}

// Causes after which the peer is not to be trusted with a closing exchange.
bool IsSilentPeer(const std::exception* E) {
  return E != nullptr && (dynamic_cast<const EPelCommandTimeout*>(E) != nullptr ||
                          dynamic_cast<const EPelMarReadTimeout*>(E) != nullptr);
}

// For a bug check found where nothing can be raised: the report goes to the debug log and to
// standard error, then the process stops.
[[noreturn]] void AbortWithBugCheck(const std::string& Message) {
  const EBugCheckError Error(Message);
  DebugLog(Error.Message());
  std::fprintf(stderr, "%s\n", Error.Message().c_str());
  std::abort();
}

}  // namespace

TCoreConnection* CoreConnection() {
  return dynamic_cast<TCoreConnection*>(CoreDispatcher());
}

TCoreConnection::TCoreConnection(TPelMarTCPClient& Client)
    : FClient(Client), FLastSendTick(GetTickCount()), FRandom(std::random_device{}()) {}

TCoreConnection::~TCoreConnection() {
  // A destructor cannot raise, and detaching leaves the thread in freed memory: bug check, abort.
  if (IsPollingThread())
    AbortWithBugCheck("TCoreConnection destroyed on its own polling thread");
  Stop();
  FreeIncoming();
  ClearOutQueue(true);
  Unregister();
}

void TCoreConnection::Start() {
  if (FThread.joinable() || Terminated())
    return;
  FClient.ResetInterrupt();
  FThread = std::thread([this] { Execute(); });
}

void TCoreConnection::Terminate() {
  FTerminated.store(true);
  // A read that waits for a silent Core service must not hold the stop up.
  FClient.Interrupt();
  Wake();
}

void TCoreConnection::Stop() {
  Terminate();
  if (!FThread.joinable() || IsPollingThread())
    return;
  try {
    FThread.join();
  } catch (const std::system_error&) {
    // A thread that cannot be waited for has ended or is ending; nothing to do.
  }
}

void TCoreConnection::Wake() {
  {
    std::lock_guard<std::mutex> Guard(FWakeLock);
    FWakeSignalled = true;
  }
  FWakeChanged.notify_all();
}

void TCoreConnection::WaitForWake(std::uint32_t Milliseconds) {
  std::unique_lock<std::mutex> Lock(FWakeLock);
  FWakeChanged.wait_for(Lock, std::chrono::milliseconds(Milliseconds),
                        [this] { return FWakeSignalled || Terminated(); });
  FWakeSignalled = false;
}

bool TCoreConnection::Pause(std::uint32_t Milliseconds) {
  if (Terminated())
    return false;
  Sleep(Milliseconds);
  return !Terminated();
}

void TCoreConnection::Execute() {
  FThreadId.store(std::this_thread::get_id());
  SetThreadName("Core polling thread");
  while (!Terminated()) {
    if (!ConnectionCycle())
      continue;
    try {
      ConnectedLoop();
    } catch (const EPelMarInterrupted& E) {
      // The stop cut a wait short: still an orderly stop.
      DropConnection(Terminated() ? nullptr : &E);
    } catch (const std::exception& E) {
      DropConnection(&E);
    }
  }
  if (FState.load() == TCoreState::Ready) {
    Terminate();
    DropConnection(nullptr);
  }
  // Nothing of this object runs on the thread from here on, and once the thread has ended
  // another one may get its id.
  FThreadId.store(std::thread::id());
}

bool TCoreConnection::ConnectionCycle() {
  FAttempts.store(0);
  ClearDisconnectRequest();
  FExtraDelay = 0;
  if (FConnectedBefore)
    FExtraDelay = 10000 + 1000 * std::uniform_int_distribution<std::uint32_t>(0, 9)(FRandom);
  FLastAttemptTick = GetTickCount() - FRetryInterval.load();
  FState.store(TCoreState::Disconnected);
  try {
    while (!Terminated() && FState.load() != TCoreState::Ready) {
      try {
        FState.store(TCoreState::Connecting);
        while (!TimeElapsed(FLastAttemptTick, FRetryInterval.load() + FExtraDelay))
          if (!Pause(50))
            break;
        FExtraDelay = 0;
        while (!Terminated() && OnBeforeConnect && !OnBeforeConnect())
          Pause(50);
        if (Terminated())
          break;
        FConnectedBefore = true;
        {
          std::lock_guard<TPelMarTCPClient> Guard(FClient);
          FClient.ClearWriteBuffer();
          FClient.ClearInputBuffer();
          FLastAttemptTick = GetTickCount();
          FClient.Disconnect(false);
          FClient.SetReadTimeout(FReadTimeout);
          FClient.Connect(FHost, FPort);
          if (!FProtocol)
            FProtocol = std::make_unique<TConnectionProtocol>(FClient);
          FState.store(TCoreState::TcpOpen);
        }
        FState.store(TCoreState::LoggingIn);
        if (OnLogin && !OnLogin())
          throw EAbort("The log-in to the Core service was refused by its hook");
        FState.store(TCoreState::LoggedIn);
        if (OnConnected && !OnConnected())
          throw EAbort("The work after the log-in to the Core service was refused by its hook");
        FState.store(TCoreState::Ready);
        if (FRegisterEvents)
          RegisterForEvents();
      } catch (const std::exception& E) {
        if (Terminated() && dynamic_cast<const EPelMarInterrupted*>(&E) != nullptr)
          throw EAbort("Соединение прервано!");
        if (!IsRetryable(E))
          throw;
        DropConnection(&E);
        FAttempts.fetch_add(1);
        FLastAttemptTick = GetTickCount();
      }
    }
    if (FState.load() != TCoreState::Ready && Terminated())
      throw EAbort("Соединение прервано!");
  } catch (const std::exception& E) {
    Terminate();
    DropConnection(&E);
    return false;
  }
  return FState.load() == TCoreState::Ready;
}

void TCoreConnection::ConnectedLoop() {
  struct TCleanup {
    TCoreConnection& Self;
    ~TCleanup() {
      Self.FreeIncoming();
      Self.ClearOutQueue(false);
    }
  } Cleanup{*this};
  while (!Terminated() && FState.load() == TCoreState::Ready) {
    {
      std::lock_guard<TPelMarTCPClient> Guard(FClient);
      if (!CoreQuitReceived())
        PollCycle();
      if (DisconnectRequested())
        throw ECoreDisconnectError(DisconnectReason(), QuitFlag());
      SendQueue();
    }
    WaitForWake(FPollInterval);
  }
}

void TCoreConnection::PollCycle() {
  try {
    FClient.CheckForDisconnect(true);
    FClient.CheckForDataOnSource(0);
    // After "CoreQuit" nothing more is read; the connection goes once the work thread has seen it.
    while (!FClient.InputBufferIsEmpty() && !CoreQuitReceived()) {
      if (ReadIncoming(*FProtocol, nullptr) == TIncomingKind::ikDiscard)
        FClient.ClearInputBuffer();
    }
    if (!CoreQuitReceived() && TimeElapsed(FLastSendTick.load(), KeepaliveInterval)) {
      std::unique_ptr<TServiceCommand> Keepalive = ServiceCommander().StartCommand("Keepalive");
      Keepalive->SetTimeout(KeepaliveTimeout);
      Keepalive->Execute();
      Keepalive->Finish();
      FLastSendTick.store(GetTickCount());
    }
  } catch (EPelMarSocketError& E) {
    const char* Text = PollSocketErrorText(E.LastError());
    if (Text == nullptr)
      throw EBugCheckError::Fmt("Fatal exception (%s) while polling events: %s", E.ClassName(),
                                E.Message());
    E.SetMessage(Text);
    throw;
  } catch (const EPelMarClosedGracefully&) {
    throw;
  } catch (const EPelCommandTimeout&) {
    throw;
  } catch (const EPelMarReadTimeout&) {
    throw;
  } catch (const EPelMarInterrupted&) {
    throw;
  } catch (const std::exception& E) {
    throw EBugCheckError::Fmt("Fatal exception (%s) while polling events: %s",
                              ExceptionClassName(E), E.what());
  }
}

void TCoreConnection::Queue(TServiceCommand& Command) {
  if (FState.load() < TCoreState::LoggingIn)
    throw EDisplayError(NoConnection);
  {
    std::lock_guard<std::mutex> Guard(FQueueLock);
    if (FState.load() < TCoreState::LoggingIn)
      throw EDisplayError(NoConnection);
    FOutQueue.push_back({&Command, nullptr});
    SetQueued(Command, true);
  }
  if (IsPollingThread()) {
    std::lock_guard<TPelMarTCPClient> Guard(FClient);
    SendQueue();
  } else {
    Wake();
  }
}

void TCoreConnection::Queue(std::unique_ptr<TServiceEvent> Event) {
  if (FState.load() < TCoreState::LoggingIn)
    throw EDisplayError(NoConnection);
  {
    std::lock_guard<std::mutex> Guard(FQueueLock);
    if (FState.load() < TCoreState::LoggingIn)
      throw EDisplayError(NoConnection);
    FOutQueue.push_back({nullptr, std::move(Event)});
  }
  if (IsPollingThread()) {
    std::lock_guard<TPelMarTCPClient> Guard(FClient);
    SendQueue();
  } else {
    Wake();
  }
}

bool TCoreConnection::RemoveFromQueue(TServiceCommand& Command) {
  std::lock_guard<std::mutex> Guard(FQueueLock);
  for (auto It = FOutQueue.begin(); It != FOutQueue.end(); ++It) {
    if (It->Command == &Command) {
      FOutQueue.erase(It);
      SetQueued(Command, false);
      return true;
    }
  }
  return false;
}

std::size_t TCoreConnection::QueuedCount() {
  std::lock_guard<std::mutex> Guard(FQueueLock);
  return FOutQueue.size();
}

void TCoreConnection::SendQueue() {
  for (;;) {
    TQueueItem Item;
    {
      std::lock_guard<std::mutex> Guard(FQueueLock);
      if (FOutQueue.empty())
        return;
      Item = std::move(FOutQueue.front());
      FOutQueue.pop_front();
    }
    if (Item.Command != nullptr) {
      if (Item.Command->Cancelled()) {
        MarkDone(*Item.Command);
        continue;
      }
      FLastSendTick.store(GetTickCount());
      TransmitCommand(*Item.Command);
    } else {
      FClient.Write(Item.Event->Data(), static_cast<std::size_t>(Item.Event->Size()));
    }
  }
}

void TCoreConnection::TransmitCommand(TServiceCommand& Command) {
  try {
    FClient.Write(Command.Data(), static_cast<std::size_t>(Command.Size()));
    MarkSent(Command);
    std::uint32_t SentTick = GetTickCount();
    for (;;) {
      if (FClient.InputBufferSize() < 2) {
        FClient.CheckForDisconnect(true, false);
        if (FClient.InputBufferSize() >= 2)
          continue;  // the check itself received the reply
        // A close with a lone byte left can never complete a message.
        if (FClient.ClosedGracefully())
          FClient.CheckForDisconnect(true, true);
        if (Command.Timeout() > 0 && TimeElapsed(Command.StartTick(), Command.Timeout())) {
          MarkCancelled(Command);
          break;
        }
        if (Command.Timeout() == 0 && FReadTimeout > 0 && TimeElapsed(SentTick, FReadTimeout)) {
          MarkCancelled(Command);
          throw EPelMarReadTimeout(
              Format("No reply to \"%s\" within %u ms.", Command.CommandName(), FReadTimeout));
        }
        FClient.CheckForDataOnSource(50);
        continue;
      }
      if (ReadIncoming(*FProtocol, &Command) == TIncomingKind::ikDiscard)
        FClient.ClearInputBuffer();
      if (!Command.Pending())
        break;
    }
  } catch (...) {
    MarkDone(Command);
    throw;
  }
  MarkDone(Command);
}

void TCoreConnection::ClearOutQueue(bool ResetState) {
  std::deque<TQueueItem> Items;
  {
    std::lock_guard<std::mutex> Guard(FQueueLock);
    Items.swap(FOutQueue);
    for (TQueueItem& Item : Items) {
      if (Item.Command == nullptr)
        continue;
      MarkAborted(*Item.Command);
      SetQueued(*Item.Command, false);
      MarkDone(*Item.Command);  // its waiter may free it from here on
    }
    if (ResetState)
      FState.store(TCoreState::Disconnected);
  }
  Wake();
}

void TCoreConnection::DropConnection(const std::exception* E) {
  if (FState.load() >= TCoreState::TcpOpen) {
    std::lock_guard<TPelMarTCPClient> Guard(FClient);
    try {
      FClient.CheckForDisconnect(false, true);
      if (FClient.Opened()) {
        if (IsSilentPeer(E)) {
          FClient.Disconnect(false);
        } else {
          if (FState.load() >= TCoreState::LoggedIn) {
            std::unique_ptr<TServiceEvent> Quit = ServiceCommander().StartEvent("Quit");
            Quit->Complete();
            FClient.Write(Quit->Data(), static_cast<std::size_t>(Quit->Size()));
          }
          FClient.Disconnect(true);
        }
      }
    } catch (const std::exception& X) {
      DebugLog(Format("Exception (%s) in TCorePollingThread.Disconnect: ", ExceptionClassName(X)) +
               X.what());
      FClient.Disconnect(false);
    }
  }
  ClearOutQueue(true);
  try {
    if (OnDisconnected)
      OnDisconnected(E);
  } catch (const std::exception& X) {
    DebugLogFmt("Exception (%s) in TCorePollingThread.SyncDoOnDisconnected: %s",
                ExceptionClassName(X), X.what());
  }
  FState.store(TCoreState::Disconnected);
}

}  // namespace pelmar
