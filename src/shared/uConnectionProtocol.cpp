#include "uConnectionProtocol.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <typeinfo>

#include "Debug.h"
#include "PelMarIndy.h"
#include "Utilities.h"

namespace pelmar {

namespace {

std::atomic<TCoreDispatcher*> CurrentDispatcher{nullptr};

const char* const NoConnection = "Нет соединения!";

// Reads and drops Count bytes in small pieces, so that a false length from the peer claims no
// memory.
void SkipBytes(TBaseProtocol& P, std::int32_t Count) {
  std::uint8_t Chunk[4096];
  while (Count > 0) {
    std::int32_t N = std::min<std::int32_t>(Count, sizeof Chunk);
    P.ReadData(N, Chunk);
    Count -= N;
  }
}

template <typename TFunc, typename TArg>
bool SameHandler(const TFunc& A, const TFunc& B) {
  if (A.target_type() != B.target_type())
    return false;
  using TPointer = void (*)(TArg);
  if (const TPointer* PA = A.template target<TPointer>())
    return *PA == *B.template target<TPointer>();
  return true;
}

// Exceptions of these kinds point at a fault in the service and go to the crash reporter.
bool IsCrashReportable(const std::exception& E) {
  return dynamic_cast<const EListError*>(&E) != nullptr ||
         dynamic_cast<const EBugCheckError*>(&E) != nullptr;
}

}  // namespace

std::string ExceptionClassName(const std::exception& E) {
  if (const auto* P = dynamic_cast<const Exception*>(&E))
    return P->ClassName();
  const char* Mangled = typeid(E).name();
  int Status = 0;
  char* Name = abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status);
  std::string Result = Status == 0 && Name != nullptr ? Name : Mangled;
  std::free(Name);
  return Result;
}

// ---- TConnectionProtocol ----------------------------------------------------------------------

TConnectionProtocol::TConnectionProtocol(TPelMarTCPClient& Connection) : FConnection(Connection) {}

void TConnectionProtocol::CheckIOHandler(const char* Operation, int Line) const {
  if (!FConnection.HasIOHandler())
    throw EAssertionFailed(
        Format("BUGCHECK: IOHandler not assigned in TConnectionProtocol.%s (%s, line %d)",
               Operation, "uConnectionProtocol.cpp", Line));
}

void TConnectionProtocol::WriteData(std::int32_t Count, const void* Buffer) {
  CheckIOHandler("WriteData", __LINE__);
  if (Count < 0)
    throw Exception("WriteData: negative count " + std::to_string(Count));
  FConnection.Write(Buffer, static_cast<std::size_t>(Count));
  FBytesWritten += Count;
}

void TConnectionProtocol::ReadData(std::int32_t Count, void* Buffer) {
  CheckIOHandler("ReadData", __LINE__);
  if (Count < 0)
    throw Exception("ReadData: negative count " + std::to_string(Count));
  FConnection.ReadBytes(Buffer, static_cast<std::size_t>(Count));
  FBytesRead += Count;
}

void TConnectionProtocol::ReadStream(TStream& Stream, bool WithLength) {
  CheckIOHandler("ReadStream", __LINE__);
  if (!WithLength) {
    FConnection.ReadStreamUntilClose(Stream);
    return;
  }
  std::int32_t N = ReadInteger();
  if (N <= 0)
    return;
  FConnection.ReadStreamBytes(Stream, N);
  FBytesRead += N;
}

void TConnectionProtocol::WriteStream(TStream& Stream, bool WithLength) {
  CheckIOHandler("WriteStream", __LINE__);
  std::int64_t Size = Stream.Size();
  if (Size > std::numeric_limits<std::int32_t>::max())
    throw EBugCheckError("Stream too big!");
  Stream.SetPosition(0);
  if (WithLength)
    WriteInteger(static_cast<std::int32_t>(Size));
  if (Size == 0)
    return;
  FConnection.WriteStreamBytes(Stream, Size);
  FBytesWritten += static_cast<std::int32_t>(Size);
}

bool TConnectionProtocol::CheckAvailable(std::int32_t Count) {
  return Count >= 0 && FConnection.InputBufferSize() >= static_cast<std::size_t>(Count);
}

// ---- TServiceCommand --------------------------------------------------------------------------

TServiceCommand::~TServiceCommand() {
  // A command still in the polling thread's hands must not be freed under it.
  if (FQueued.load() && !FDone.load() && !FOwner.RemoveFromQueue(*this))
    FOwner.WaitDone(*this);
}

TBufferProtocol& TServiceCommand::Execute(TBufferProtocol* Reply) {
  WriteIntegerAt(Size() - FLengthAt - 4, FLengthAt);
  if (Reply == nullptr) {
    FOwnReply = std::make_unique<TBufferProtocol>(32);
    Reply = FOwnReply.get();
  }
  FReply = Reply;
  FPending = true;
  FStartTick = GetTickCount();
  FOwner.Queue(*this);
  FOwner.WaitDone(*this);

  if (FTimeout > 0 && TimeElapsed(FStartTick, FTimeout))
    throw EPelCommandTimeout("");
  if (FPending || FCancelled)
    throw EAbort("Operation aborted");
  switch (FStatus) {
    case 0:
    case 1:
      return *FReply;
    case 2:
      throw EBugCheckError("Unexpected protocol reply (2)!");
    case 3:
      throw EPelReplyError(FErrorText);
    default:
      throw EBugCheckError("Unexpected protocol reply!");
  }
}

void TServiceCommand::Finish() {
  if (Size() > 0 && !FDone.load() && !FPending && !FCancelled)
    Execute(nullptr);
  FOwnReply.reset();
}

// ---- TServiceEvent ----------------------------------------------------------------------------

void TServiceEvent::Complete() {
  WriteIntegerAt(Size() - FLengthAt - 4, FLengthAt);
}

void TServiceEvent::SendEvent(std::unique_ptr<TServiceEvent> Event) {
  Event->Complete();
  TCoreDispatcher& Owner = Event->FOwner;
  Owner.Queue(std::move(Event));
}

// ---- TServiceCommander ------------------------------------------------------------------------

std::uint8_t TServiceCommander::NextID() {
  std::uint8_t Old = FNextID.load();
  std::uint8_t New;
  do {
    New = static_cast<std::uint8_t>(Old + 1);
    if (New == 0)
      New = 1;
  } while (!FNextID.compare_exchange_weak(Old, New));
  return New;
}

std::unique_ptr<TServiceCommand> TServiceCommander::StartCommand(const std::string& Name) {
  TCoreDispatcher* Owner = CoreDispatcher();
  if (Owner == nullptr)
    throw EBugCheckError("TClientProtocol.StartCommand: CorePollingThread not assigned!");
  std::unique_ptr<TServiceCommand> Command(new TServiceCommand(*Owner));
  Command->FCommandID = NextID();
  Command->WriteString(FTarget != 0 ? std::string("FFCommand") : Name);
  Command->WriteByte(0);
  Command->WriteByte(Command->FCommandID);
  Command->FLengthAt = Command->Position();
  Command->WriteInteger(0);
  if (FTarget != 0) {
    Command->WriteByte(FTarget);
    Command->WriteString(Name);
  }
  Command->FCommandName = Name;
  return Command;
}

std::unique_ptr<TServiceEvent> TServiceCommander::StartEvent(const std::string& Name) {
  TCoreDispatcher* Owner = CoreDispatcher();
  if (Owner == nullptr)
    throw EBugCheckError("TClientProtocol.StartCommand: CorePollingThread not assigned!");
  std::unique_ptr<TServiceEvent> Event(new TServiceEvent(*Owner));
  Event->WriteString(Name);
  Event->WriteByte(1);
  Event->FLengthAt = Event->Position();
  Event->WriteInteger(0);
  return Event;
}

TServiceCommander& ServiceCommander() {
  static TServiceCommander Commander(0);
  return Commander;
}

// ---- TCoreDispatcher --------------------------------------------------------------------------

TCoreDispatcher* CoreDispatcher() {
  return CurrentDispatcher.load();
}

TCoreDispatcher::TCoreDispatcher() {
  ServiceCommander().ResetIDs();
  CurrentDispatcher.store(this);
}

TCoreDispatcher::~TCoreDispatcher() {
  Unregister();
}

void TCoreDispatcher::Unregister() {
  TCoreDispatcher* Self = this;
  CurrentDispatcher.compare_exchange_strong(Self, nullptr);
}

void TCoreDispatcher::RegisterCommand(const std::string& Name, TPelCommandEvent Handler) {
  for (const TCommandHandler& H : FCommandHandlers)
    if (H.Name == Name && SameHandler<TPelCommandEvent, pPelCommand>(H.Handler, Handler))
      return;
  FCommandHandlers.push_back({Name, std::move(Handler)});
}

void TCoreDispatcher::RegisterEvent(const std::string& Name, std::uint8_t SourceService,
                                    TPelEventEvent Handler) {
  for (const TEventHandler& H : FEventHandlers)
    if (H.Name == Name && H.SourceService == SourceService &&
        SameHandler<TPelEventEvent, pPelEvent>(H.Handler, Handler))
      return;
  FEventHandlers.push_back({Name, SourceService, std::move(Handler)});
}

void TCoreDispatcher::ReportException(const std::exception& E) {
  if (OnReportException)
    OnReportException(E);
}

std::string TCoreDispatcher::DisconnectReason() const {
  std::lock_guard<std::mutex> Guard(FDisconnectLock);
  return FDisconnectReason;
}

bool TCoreDispatcher::QuitFlag() const {
  std::lock_guard<std::mutex> Guard(FDisconnectLock);
  return FQuitFlag;
}

void TCoreDispatcher::RequestDisconnect(std::string Reason, bool Flag) {
  {
    std::lock_guard<std::mutex> Guard(FDisconnectLock);
    FDisconnectReason = std::move(Reason);
    FQuitFlag = Flag;
  }
  FDisconnectRequested.store(true);
  DisconnectRequestChanged();
}

void TCoreDispatcher::ClearDisconnectRequest() {
  std::lock_guard<std::mutex> Guard(FDisconnectLock);
  FDisconnectRequested.store(false);
  FDisconnectReason.clear();
  FQuitFlag = false;
  FCoreQuitReceived.store(false);
}

bool TCoreDispatcher::HandleEvent(TPelEvent& Event) {
  Event.Done = true;
  for (const TEventHandler& H : FEventHandlers) {
    if (H.SourceService != Event.ServiceID || H.Name != Event.Name)
      continue;
    try {
      Event.Params.SetPosition(0);
      H.Handler(&Event);
    } catch (const std::exception& E) {
      Event.Done = true;
      DebugLogFmt("Fatal exception (%s) while handling event \"%s\": %s", ExceptionClassName(E),
                  Event.Name, E.what());
      ReportException(E);
      break;
    }
  }
  if (Event.Name == "CoreQuit") {
    Event.Done = true;
    std::string Reason;
    bool Flag = false;
    // The request stands even when the parameters are short: the Core service wants us gone.
    try {
      Event.Params.SetPosition(0);
      Reason = Event.Params.ReadString();
      Flag = Event.Params.ReadBoolean();
    } catch (const std::exception& E) {
      DebugLogFmt("Malformed \"CoreQuit\" parameters (%s): %s", ExceptionClassName(E), E.what());
    }
    RequestDisconnect(std::move(Reason), Flag);
  }
  return Event.Done;
}

void TCoreDispatcher::HandleCommand(std::unique_ptr<TPelCommand> Command) {
  bool Failed = false;
  std::string ErrorText;
  try {
    FCurrentCommand = Command.get();
    try {
      if (OnCommandBefore)
        OnCommandBefore(Command.get());
      bool Found = false;
      for (const TCommandHandler& H : FCommandHandlers) {
        if (H.Name != Command->Name)
          continue;
        Found = true;
        H.Handler(Command.get());
      }
      if (!Found)
        throw EBugCheckError::Fmt("Unknown command: \"%s\"!", Command->Name);
    } catch (...) {
      FCurrentCommand = nullptr;
      if (OnCommandAfter)
        OnCommandAfter(Command.get());
      throw;
    }
    FCurrentCommand = nullptr;
    if (OnCommandAfter)
      OnCommandAfter(Command.get());
  } catch (const std::exception& E) {
    Failed = true;
    ErrorText = E.what();
    DebugLogFmt("Exception (%s) while handling command \"%s\": %s", ExceptionClassName(E),
                Command->Name, ErrorText);
    if (IsCrashReportable(E))
      ReportException(E);
  }

  try {
    std::unique_ptr<TServiceCommand> Result = ServiceCommander().StartCommand("ReturnCommand");
    if (Failed) {
      Result->WriteByte(3);
      Result->WriteString(ErrorText);
    } else if (Command->Reply.Size() == 0) {
      Result->WriteByte(0);
    } else {
      Result->WriteByte(1);
      Result->WriteBlock(Command->Reply, true);
    }
    Result->Execute();
    Result->Finish();
  } catch (const EDisplayError&) {
    throw;
  } catch (const std::exception& E) {
    throw EBugCheckError::Fmt("Fatal exception (%s) while handling command \"%s\": %s",
                              ExceptionClassName(E), Command->Name, E.what());
  }
}

void TCoreDispatcher::ProcessMessages() {
  std::unique_lock<std::mutex> Lock(FIncomingLock);
  for (std::size_t I = 0; I < FIncomingEvents.size();) {
    std::unique_ptr<TPelEvent> Event = std::move(FIncomingEvents[I]);
    if (!Event) {
      FIncomingEvents.erase(FIncomingEvents.begin() + static_cast<std::ptrdiff_t>(I));
      continue;
    }
    Lock.unlock();
    bool Done;
    try {
      Done = HandleEvent(*Event);
    } catch (...) {
      // Leave no empty slot behind.
      Lock.lock();
      if (I < FIncomingEvents.size() && !FIncomingEvents[I])
        FIncomingEvents.erase(FIncomingEvents.begin() + static_cast<std::ptrdiff_t>(I));
      throw;
    }
    Lock.lock();
    if (I >= FIncomingEvents.size() || FIncomingEvents[I])
      break;  // the list changed under us
    if (Done) {
      FIncomingEvents.erase(FIncomingEvents.begin() + static_cast<std::ptrdiff_t>(I));
    } else {
      FIncomingEvents[I] = std::move(Event);
      ++I;
    }
    if (FDisconnectRequested.load())
      break;
  }
  while (!FIncomingCommands.empty()) {
    std::unique_ptr<TPelCommand> Command = std::move(FIncomingCommands.front());
    FIncomingCommands.pop_front();
    Lock.unlock();
    HandleCommand(std::move(Command));
    Lock.lock();
  }
}

void TCoreDispatcher::RegisterForEvents() {
  if (FEventHandlers.empty())
    return;
  if (!IsConnected())
    throw EDisplayError(NoConnection);
  std::unique_ptr<TServiceCommand> Command = ServiceCommander().StartCommand("RegisterForEvents");
  for (const TEventHandler& H : FEventHandlers) {
    Command->WriteByte(H.SourceService);
    Command->WriteString(H.Name);
  }
  Command->Execute();
  Command->Finish();
}

void TCoreDispatcher::ReadPushBlock(TBaseProtocol& P) {
  std::int32_t Count = P.ReadInteger();
  if (Count < 0)
    throw Exception(Format("Invalid message count %d in a block from the Core service", Count));
  for (std::int32_t I = 0; I < Count; ++I) {
    if (P.ReadBoolean()) {
      auto Command = std::make_unique<TPelCommand>();
      Command->ServiceID = P.ReadByte();
      Command->UserID = P.ReadInt64();
      Command->Name = P.ReadString();
      P.ReadBlock(Command->Params);
      std::lock_guard<std::mutex> Guard(FIncomingLock);
      FIncomingCommands.push_back(std::move(Command));
    } else {
      auto Event = std::make_unique<TPelEvent>();
      Event->ServiceID = P.ReadByte();
      Event->Name = P.ReadString();
      P.ReadBlock(Event->Params);
      Event->ReceivedTick = GetTickCount();
      // Marked before the event can be seen in the list.
      if (Event->ServiceID == 0 && Event->Name == "CoreQuit")
        FCoreQuitReceived.store(true);
      std::lock_guard<std::mutex> Guard(FIncomingLock);
      FIncomingEvents.push_back(std::move(Event));
    }
  }
}

TIncomingKind TCoreDispatcher::ReadIncoming(TBaseProtocol& P, TServiceCommand* Waiting) {
  std::uint8_t Id = P.ReadByte();
  std::uint8_t Status = P.ReadByte();
  if (Id == 0 && Status == 2) {
    ReadPushBlock(P);
    return TIncomingKind::ikPush;
  }
  if (Waiting != nullptr && Id == Waiting->FCommandID) {
    Waiting->FStatus = Status;
    TIncomingKind Kind = TIncomingKind::ikReply;
    switch (Status) {
      case 0:
        break;
      case 1:
        P.AppendBlock(*Waiting->FReply);
        break;
      case 3:
        Waiting->FErrorText = P.ReadString();
        break;
      default:
        Kind = TIncomingKind::ikDiscard;
        break;
    }
    Waiting->FPending = false;
    return Kind;
  }
  // A reply to a command given up earlier, or to none: its layout is known, so only it is
  // dropped and whatever follows it in the input stays readable.
  switch (Status) {
    case 0:
      return TIncomingKind::ikStray;
    case 1: {
      std::int32_t N = P.ReadInteger();
      if (N < 0)
        throw Exception(Format("Invalid block length %d in a reply from the Core service", N));
      SkipBytes(P, N);
      return TIncomingKind::ikStray;
    }
    case 3:
      SkipBytes(P, std::max(P.ReadInteger(), 0));
      return TIncomingKind::ikStray;
    default:
      return TIncomingKind::ikDiscard;
  }
}

void TCoreDispatcher::FreeIncoming() {
  std::lock_guard<std::mutex> Guard(FIncomingLock);
  FIncomingCommands.clear();
  FIncomingEvents.clear();
}

std::size_t TCoreDispatcher::IncomingCommandCount() {
  std::lock_guard<std::mutex> Guard(FIncomingLock);
  return FIncomingCommands.size();
}

std::size_t TCoreDispatcher::IncomingEventCount() {
  std::lock_guard<std::mutex> Guard(FIncomingLock);
  return FIncomingEvents.size();
}

void TCoreDispatcher::MarkAborted(TServiceCommand& Command) {
  Command.FStatus = 3;
  Command.FPending = true;
}

void TCoreDispatcher::MarkDone(TServiceCommand& Command) {
  {
    std::lock_guard<std::mutex> Guard(FDoneLock);
    Command.FDone.store(true);
  }
  FDoneChanged.notify_all();
}

void TCoreDispatcher::WaitDone(TServiceCommand& Command) {
  std::unique_lock<std::mutex> Lock(FDoneLock);
  FDoneChanged.wait(Lock, [&Command] { return Command.FDone.load(); });
}

}  // namespace pelmar
