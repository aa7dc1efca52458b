#include "cidReceiver.h"

#include "Debug.h"
#include "Utilities.h"

namespace pelmar {

namespace {

constexpr int PollReadSize = 100;

}  // namespace

TReceiver::TReceiver(TCentralStationProtocolClass ProtocolClass, TCustomChannel& Channel)
    : FChannel(Channel), FProtocol(ProtocolClass()), FLastMessageTick(GetTickCount()) {
  FProtocol->SetOnMessage([this](TciMessage& Msg) { HandleMessage(Msg); });
}

void TReceiver::ConnectionStarted() {
  FHeard = false;
  FLastMessageTick = GetTickCount();
}

void TReceiver::HandleMessage(TciMessage& Msg) {
  FLastMessageTick = GetTickCount();
  FHeard = true;
  // Link tests (type 0) only prove that the receiver is there.
  if (Msg.MessageType != 0 && FOnMessage)
    FOnMessage(Msg);
}

void TReceiver::Poll() {
  try {
    char Buffer[PollReadSize];
    int N = FChannel.Read(Buffer, PollReadSize);
    for (int I = 0; I < N; ++I)
      FProtocol->ProcessChar(Buffer[I]);
    if (FAckEvents && FProtocol->AckPending()) {
      // One acknowledgement per poll, owed or not after a failed write.
      FProtocol->SetAckPending(false);
      FChannel.WriteString(FProtocol->AckString());
      DebugLog("Ack sent");
    }
    FOnline = TicksSince(FLastMessageTick) < FTimeout;
  } catch (...) {
    try {
      FChannel.Purge(true, true);
    } catch (const std::exception& E) {
      // The purge closed the channel; the first failure is the one the caller must see.
      DebugLogFmt("Purge after failed poll: %s", E.what());
    }
    throw;
  }
}

}  // namespace pelmar
