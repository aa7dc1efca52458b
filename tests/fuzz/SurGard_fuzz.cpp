// Feeds arbitrary bytes, with pauses chosen by the input, to the Sur-Gard decoder through a
// receiver and an in-memory channel. The decoder must stay within its 256-byte buffer, never
// raise out of ProcessChar, and decode a well-formed frame that follows a pause or a DC4.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Clock.h"
#include "cidProtocol.h"

namespace {

class TFuzzClock : public pelmar::TClock {
 public:
  std::uint32_t Ticks() override { return FTicks; }
  pelmar::TDateTime Now() override { return 46000.0; }
  void Sleep(std::uint32_t Ms) override { FTicks += Ms; }
  std::uint32_t FTicks = 0xFFFF0000u;  // wraps during a run
};

TFuzzClock FuzzClock;

const std::string GoodFrame = std::string("5011 181234E13001003") + pelmar::DC4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  pelmar::SetClock(&FuzzClock);
  pelmar::TcspSurGardCID Protocol;
  int Decoded = 0;
  Protocol.SetOnMessage([&](pelmar::TciMessage& Msg) {
    ++Decoded;
    if (Msg.MessageType == 0 && Msg.Qualifier != 6)
      std::abort();
    Msg.Ack = (Msg.Account & 1) != 0;
  });
  // Byte 0xFF followed by n: a pause of n * 8 ms; any other byte goes to the decoder.
  for (std::size_t I = 0; I < Size; ++I) {
    if (Data[I] == 0xFF && I + 1 < Size) {
      FuzzClock.Sleep(Data[++I] * 8u);
      continue;
    }
    Protocol.ProcessChar(static_cast<char>(Data[I]));
    if (Protocol.Frame().size() > 256)
      std::abort();
  }
  // Whatever came before, a good frame right after a DC4 must decode...
  Protocol.ProcessChar(pelmar::DC4);
  int Before = Decoded;
  for (char C : GoodFrame)
    Protocol.ProcessChar(C);
  if (Decoded != Before + 1 || !Protocol.Frame().empty())
    std::abort();
  // ...and so must one after noise and a pause of more than a second.
  for (std::size_t I = 0; I < Size && I < 300; ++I)
    if (Data[I] != pelmar::DC4)
      Protocol.ProcessChar(static_cast<char>(Data[I]));
  FuzzClock.Sleep(1001);
  for (char C : GoodFrame)
    Protocol.ProcessChar(C);
  if (Decoded != Before + 2 || !Protocol.Frame().empty())
    std::abort();
  pelmar::SetClock(nullptr);
  return 0;
}
