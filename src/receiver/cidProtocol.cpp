#include "cidProtocol.h"

#include <string_view>

#include "Debug.h"
#include "Utilities.h"

namespace pelmar {

namespace {

constexpr std::uint32_t StaleAfterMs = 1000;
constexpr size_t MaxFrameLength = 255;  // a longer buffer is discarded before the next byte

// Field of S at 1-based position From, Count bytes long.
std::string_view Field(const std::string& S, size_t From, size_t Count) {
  return std::string_view(S).substr(From - 1, Count);
}

}  // namespace

std::uint8_t QualifierFromChar(char C) {
  switch (C) {
    case 'E':
      return 1;
    case 'R':
      return 3;
    case 'S':
      return 6;
    default:
      throw Exception(Format("Invalid event qualifier: %s", std::string(1, C)));
  }
}

bool TCentralStationProtocol::ParseMessage(const std::string& S, TciMessage& Msg) {
  Msg = TciMessage{};
  DebugLogFmt("Parsing msg: \"%s\"", S);
  if (S.size() < SurGardFrameLength)
    return false;
  if (S[0] == '5') {
    Msg.MessageType = static_cast<std::uint8_t>(DecToUInt(Field(S, 6, 2)));
    Msg.Account = HexToUInt(Field(S, 8, 4));
    Msg.Qualifier = QualifierFromChar(S[11]);
    Msg.Code = static_cast<std::uint16_t>(HexToUInt(Field(S, 13, 3)));
    Msg.Group = static_cast<std::uint16_t>(HexToUInt(Field(S, 16, 2)));
    Msg.Zone = HexToUInt(Field(S, 18, 3));
    Msg.Ack = false;
    return true;
  }
  if (S[0] == '1' && S[15] == '@') {
    Msg.MessageType = 0;
    Msg.Qualifier = 6;
    Msg.Ack = true;
    return true;
  }
  return false;
}

TcspSurGardCID::TcspSurGardCID() {
  FAckString = std::string(1, ACK);
}

std::unique_ptr<TCentralStationProtocol> TcspSurGardCID::Create() {
  return std::make_unique<TcspSurGardCID>();
}

bool TcspSurGardCID::IsBufferStale() const {
  return TimeElapsed(FLastCharTick, StaleAfterMs);
}

void TcspSurGardCID::ProcessChar(char C) {
  std::uint32_t Now = GetTickCount();
  if (FFrame.size() > MaxFrameLength || (!FFrame.empty() && Now - FLastCharTick > StaleAfterMs)) {
    FFrame.clear();
    DebugLog("Input buffer discarded");
  }
  FLastCharTick = Now;
  FFrame += C;
  if (C != DC4)
    return;

  // The frame is complete whatever follows: take it out of the buffer first.
  std::string Frame;
  Frame.swap(FFrame);
  if (Frame.size() != SurGardFrameLength) {
    DebugLog("Garbage ignored..");
    return;
  }
  DebugLog("Buffer at 21, looking for msg..");
  TciMessage Msg;
  try {
    if (!ParseMessage(Frame, Msg)) {
      DebugLog("..garbage, ignored");
      return;
    }
  } catch (...) {
    // A malformed field: the frame is dropped without acknowledgement.
    return;
  }
  try {
    if (FOnMessage)
      FOnMessage(Msg);
    FAckPending = Msg.Ack;
  } catch (...) {
    // A failed handler leaves the acknowledgement state as it was: the report stays unacknowledged.
  }
}

}  // namespace pelmar
