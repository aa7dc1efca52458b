// The Sur-Gard receiver protocol: every message is a run of bytes ended by DC4 (0x14); a complete
// frame is exactly 21 bytes. A frame starting with "5" carries a Contact ID report, one with "1"
// and "@" at position 16 is a link test. The computer answers with the single byte ACK (0x06).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pelmar {

// One decoded receiver message, handed by reference to the message handler.
struct TciMessage {
  std::uint32_t Account = 0;     // account number (hex digits 8-11); 0 for a link test
  std::uint8_t MessageType = 0;  // decimal digits 6-7 (18 for Contact ID); 0 marks a link test
  std::uint8_t Qualifier = 0;    // 1 new event, 3 restore, 6 status report (and link test)
  std::uint16_t Code = 0;        // event code digits read as hex: Contact ID 130 is 0x130 = 304
  std::uint16_t Group = 0;       // group (partition) as hex; 0 means none
  std::uint32_t Zone = 0;        // zone or user number as hex; 0 means none
  bool Ack = false;              // an acknowledgement is wanted; a report's handler sets it

  bool operator==(const TciMessage&) const = default;
};

// Receives each decoded message; may set Msg.Ack. Runs on the polling thread.
using TciMessageEvent = std::function<void(TciMessage& Msg)>;

inline constexpr char DC4 = 0x14;
inline constexpr char ACK = 0x06;
inline constexpr size_t SurGardFrameLength = 21;

// Receiver-protocol base: acknowledgement bookkeeping, the OnMessage event and the decoding of one
// complete message text. Used by one TReceiver on one thread.
class TCentralStationProtocol {
 public:
  TCentralStationProtocol() = default;
  virtual ~TCentralStationProtocol() = default;
  TCentralStationProtocol(const TCentralStationProtocol&) = delete;
  TCentralStationProtocol& operator=(const TCentralStationProtocol&) = delete;

  // Consumes one received byte; calls OnMessage for each complete, decodable message.
  virtual void ProcessChar(char C) = 0;

  // Decodes one complete 21-byte frame into Msg (cleared first). True for a report or a link
  // test, False for any other first byte. A malformed number raises EConvertError, a bad
  // qualifier Exception "Invalid event qualifier: %s". REQUIRES: S holds 21 bytes.
  bool ParseMessage(const std::string& S, TciMessage& Msg);

  const TciMessageEvent& OnMessage() const { return FOnMessage; }
  void SetOnMessage(TciMessageEvent Value) { FOnMessage = std::move(Value); }
  bool AckPending() const { return FAckPending; }
  void SetAckPending(bool Value) { FAckPending = Value; }
  // The bytes of one acknowledgement; empty in the base class.
  const std::string& AckString() const { return FAckString; }

 protected:
  TciMessageEvent FOnMessage;
  bool FAckPending = false;
  std::string FAckString;
};

// Creates a protocol object; stands for the class reference a receiver is created with.
using TCentralStationProtocolClass = std::unique_ptr<TCentralStationProtocol> (*)();

// The Sur-Gard variant: collects bytes into frames. A frame is dropped when it is not 21 bytes
// at its DC4, when more than 1000 ms of silence came before a byte, or when it outgrows 256
// bytes. Never raises out of ProcessChar.
class TcspSurGardCID : public TCentralStationProtocol {
 public:
  TcspSurGardCID();
  static std::unique_ptr<TCentralStationProtocol> Create();

  void ProcessChar(char C) override;
  // True when more than 1000 ms have passed since the last byte.
  bool IsBufferStale() const;

  const std::string& Frame() const { return FFrame; }

 private:
  std::string FFrame;  // bytes of the frame being collected, at most 256
  std::uint32_t FLastCharTick = 0;
};

// "E" -> 1, "R" -> 3, "S" -> 6 (upper case only); anything else raises Exception
// "Invalid event qualifier: %s" with the character.
std::uint8_t QualifierFromChar(char C);

}  // namespace pelmar
