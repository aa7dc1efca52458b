// Decoding a long stream of Sur-Gard frames byte by byte through TReceiver and TcspSurGardCID:
// the channel hands out 100 bytes per poll, as a busy receiver line would.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "CustomChannel.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

namespace {

using namespace pelmar;

// Serves the same stream of frames forever.
class TStreamChannel : public TCustomChannel {
 public:
  explicit TStreamChannel(std::string Stream) : FStream(std::move(Stream)) {}
  void SetAddress(const std::string&) override {}

 protected:
  void DoWrite(const void*, int) override {}
  int DoRead(void* Buffer, int Count) override {
    size_t N = std::min(static_cast<size_t>(Count), FStream.size() - FPos);
    std::memcpy(Buffer, FStream.data() + FPos, N);
    FPos = (FPos + N) % FStream.size();
    return static_cast<int>(N);
  }
  void DoPurge(bool, bool) override {}
  bool DoOpen() override { return true; }
  void DoClose() override {}

 private:
  std::string FStream;
  size_t FPos = 0;
};

std::string Frames(int Count) {
  std::string S;
  char Frame[32];
  for (int I = 0; I < Count; ++I) {
    std::snprintf(Frame, sizeof Frame, "5011 18%04XE%03X%02X%03X", I & 0xFFFF, 0x130 + I % 16,
                  I % 8, I % 4096);
    S += Frame;
    S += DC4;
  }
  return S;  // 100 frames: 2100 bytes, a multiple of the 100-byte poll
}

void BM_ReceiverDecode(benchmark::State& State) {
  TStreamChannel Channel(Frames(100));
  Channel.Open();
  TReceiver Receiver(TcspSurGardCID::Create, Channel);
  Receiver.SetAckEvents(true);
  Receiver.SetTimeout(30000);
  std::int64_t Messages = 0;
  Receiver.SetOnMessage([&](TciMessage& Msg) {
    Msg.Ack = true;
    ++Messages;
  });
  for (auto _ : State)
    Receiver.Poll();
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) * 100);
  State.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(Messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiverDecode);

void BM_ProcessChar(benchmark::State& State) {
  std::string Stream = Frames(100);
  TcspSurGardCID Protocol;
  std::int64_t Messages = 0;
  Protocol.SetOnMessage([&](TciMessage& Msg) {
    Msg.Ack = true;
    ++Messages;
  });
  for (auto _ : State)
    for (char C : Stream)
      Protocol.ProcessChar(C);
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations() * Stream.size()));
  State.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(Messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessChar);

}  // namespace
