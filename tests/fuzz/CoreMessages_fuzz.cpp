// Reads what a Core service may send from arbitrary bytes: replies (to a waiting command or
// stray) and push blocks, then dispatches the queued commands and events to handlers that read
// their parameters. Bad input must end in the system's exceptions, never in a crash, a hang or
// an allocation far beyond the input's size.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "BaseProtocol.h"
#include "Exception.h"
#include "Utilities.h"
#include "uConnectionProtocol.h"

namespace {

using namespace pelmar;

// The polling thread in memory: a command is answered from the fuzzer's bytes.
class TFuzzCore : public TCoreDispatcher {
 public:
  TBufferProtocol* Input = nullptr;

  bool IsConnected() const override { return true; }

  void Queue(TServiceCommand& Command) override {
    SetQueued(Command, true);
    MarkSent(Command);
    // Without fuzzer bytes (results of incoming commands) the answer is a plain "done".
    TBufferProtocol Done(32);
    Done.WriteByte(Command.CommandID());
    Done.WriteByte(0);
    Done.SetPosition(0);
    TBufferProtocol& From = Input != nullptr ? *Input : Done;
    try {
      while (Command.Pending() && From.Position() < From.Size())
        if (ReadIncoming(From, &Command) == TIncomingKind::ikDiscard)
          break;
    } catch (const Exception&) {
      // A failed read drops the connection: the command stays pending.
    }
    if (Command.Pending())
      MarkCancelled(Command);
    MarkDone(Command);
  }

  void Queue(std::unique_ptr<TServiceEvent>) override {}
  bool RemoveFromQueue(TServiceCommand&) override { return false; }
};

void ReadParams(TBufferProtocol& P) {
  P.ReadString();
  P.ReadInteger();
  TVariant V;
  P.ReadVariant(V);
  TBufferProtocol Block(32);
  P.ReadBlock(Block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0)
    return 0;
  TFuzzCore Core;
  Core.RegisterEvent("CoreQuit", 0, [](pPelEvent E) { ReadParams(E->Params); });
  Core.RegisterEvent("E", 1, [](pPelEvent E) {
    E->Done = (E->Params.Size() % 2) == 0;
    ReadParams(E->Params);
  });
  Core.RegisterCommand("C", [](pPelCommand C) {
    ReadParams(C->Params);
    C->Reply.WriteData(C->Params.Size(), C->Params.Data());
  });

  TBufferProtocol In(32);
  In.WriteData(static_cast<std::int32_t>(Size - 1), Data + 1);
  In.SetPosition(0);
  try {
    if (Data[0] & 1) {
      // A command waits: its reply, other replies and push blocks come in any order.
      Core.Input = &In;
      auto Command = ServiceCommander().StartCommand("Waiting");
      try {
        Command->Execute();
      } catch (const Exception&) {
      }
      Core.Input = nullptr;
    }
    // Polling: whatever is left.
    while (In.Position() < In.Size())
      if (Core.ReadIncoming(In, nullptr) == TIncomingKind::ikDiscard)
        break;
  } catch (const Exception&) {
    // Malformed input: the connection would be dropped here.
  }
  for (int I = 0; I < 2; ++I) {
    try {
      Core.ProcessMessages();
    } catch (const Exception&) {
    }
  }
  return 0;
}
