// A receiver: one channel coupled with one receiver-protocol object, driven by polling. Each Poll
// reads what the channel has, feeds it byte by byte to the protocol, sends the protocol's
// acknowledgement when one is owed and recomputes whether the receiver has spoken within its
// time-out. Decoded Contact ID reports (not link tests) leave through OnMessage, on the polling
// thread.
#pragma once

#include <cstdint>
#include <memory>

#include "CustomChannel.h"
#include "cidProtocol.h"

namespace pelmar {

class TReceiver {
 public:
  // Channel is not owned and must outlive every Poll; the protocol object is created here and
  // owned.
  TReceiver(TCentralStationProtocolClass ProtocolClass, TCustomChannel& Channel);
  TReceiver(const TReceiver&) = delete;
  TReceiver& operator=(const TReceiver&) = delete;

  // One polling step: reads at most 100 bytes, decodes them, acknowledges once if owed and
  // AckEvents is set, then Online := silence shorter than Timeout. On a failure the channel is
  // purged (if still open) and the exception propagates; Online then keeps its value.
  void Poll();

  TCustomChannel& Channel() const { return FChannel; }
  TCentralStationProtocol& Protocol() const { return *FProtocol; }
  std::uint16_t Timeout() const { return FTimeout; }
  void SetTimeout(std::uint16_t Value) { FTimeout = Value; }
  bool AckEvents() const { return FAckEvents; }
  void SetAckEvents(bool Value) { FAckEvents = Value; }
  std::uint32_t LastMessageTick() const { return FLastMessageTick; }
  void SetLastMessageTick(std::uint32_t Value) { FLastMessageTick = Value; }
  // True iff a message (a link test too) was decoded since the receiver was made or since
  // ConnectionStarted.
  bool Heard() const { return FHeard; }
  // The channel made a new connection: nothing is heard on it yet, and the receiver's time-out
  // runs from now.
  void ConnectionStarted();
  bool Online() const { return FOnline; }
  void SetOnMessage(TciMessageEvent Value) { FOnMessage = std::move(Value); }

 private:
  void HandleMessage(TciMessage& Msg);

  TCustomChannel& FChannel;
  TciMessageEvent FOnMessage;
  std::uint16_t FTimeout = 0;
  bool FOnline = false;
  bool FAckEvents = false;
  bool FHeard = false;
  std::unique_ptr<TCentralStationProtocol> FProtocol;
  std::uint32_t FLastMessageTick;
};

}  // namespace pelmar
