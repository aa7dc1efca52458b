// The cost of an object record through the buffer protocol: a mix of integers, strings,
// variants, a date-time and a nested block, written to a fresh buffer and read back, as the
// service does for every system object it sends or receives.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "BaseProtocol.h"

namespace {

using namespace pelmar;

const std::string Name = "Zone 12 - Warehouse east door";
const std::string Description = "Magnetic contact, entry delay 30 s, partition 2";

void WriteRecord(TBufferProtocol& B, const TBufferProtocol& Nested) {
  B.WriteInteger(0);  // placeholder for the record length
  for (std::int32_t I = 0; I < 20; ++I)
    B.WriteInteger(I * 7919);
  B.WriteString(Name);
  B.WriteString(Description);
  B.WriteVariant(TVariant(std::int32_t{1234}));
  B.WriteVariant(TVariant(Name));
  B.WriteVariant(TVariant(3.25));
  B.WriteVariant(TVariant::Null());
  B.WriteVariant(TVariant(true));
  B.WriteVariant(TVariant(std::int64_t{1} << 40));
  B.WriteDateTime(45123.5);
  B.WriteBoolean(true);
  B.WriteWord(0x1234);
  B.WriteByte(7);
  B.WriteBlock(Nested, true);
  B.WriteIntegerAt(B.Size() - 4, 0);
}

void ReadRecord(TBufferProtocol& B, TBufferProtocol& Nested) {
  std::int64_t Sum = B.ReadInteger();
  for (int I = 0; I < 20; ++I)
    Sum += B.ReadInteger();
  std::string S1 = B.ReadString();
  std::string S2 = B.ReadString();
  TVariant V;
  for (int I = 0; I < 6; ++I)
    B.ReadVariant(V);
  Sum += static_cast<std::int64_t>(B.ReadDateTime());
  Sum += B.ReadBoolean();
  Sum += B.ReadWord();
  Sum += B.ReadByte();
  B.ReadBlock(Nested);
  benchmark::DoNotOptimize(Sum);
  benchmark::DoNotOptimize(S1.data());
  benchmark::DoNotOptimize(S2.data());
}

void FillNested(TBufferProtocol& Nested) {
  for (std::int32_t I = 0; I < 8; ++I)
    Nested.WriteInteger(I);
  Nested.WriteString(Name);
}

void BM_EncodeRecord(benchmark::State& State) {
  TBufferProtocol Nested(64);
  FillNested(Nested);
  std::int64_t Bytes = 0;
  for (auto _ : State) {
    TBufferProtocol B(64);
    WriteRecord(B, Nested);
    Bytes += B.Size();
    benchmark::DoNotOptimize(B.Data());
  }
  State.SetBytesProcessed(Bytes);
}
BENCHMARK(BM_EncodeRecord);

void BM_DecodeRecord(benchmark::State& State) {
  TBufferProtocol Nested(64);
  FillNested(Nested);
  TBufferProtocol B(64);
  WriteRecord(B, Nested);
  TBufferProtocol Target(64);
  std::int64_t Bytes = 0;
  for (auto _ : State) {
    B.SetPosition(0);
    ReadRecord(B, Target);
    Bytes += B.Size();
  }
  State.SetBytesProcessed(Bytes);
}
BENCHMARK(BM_DecodeRecord);

void BM_EncodeDecodeRecord(benchmark::State& State) {
  TBufferProtocol Nested(64);
  FillNested(Nested);
  std::int64_t Bytes = 0;
  for (auto _ : State) {
    TBufferProtocol B(64);
    WriteRecord(B, Nested);
    B.SetPosition(0);
    TBufferProtocol Target(64);
    ReadRecord(B, Target);
    Bytes += B.Size();
  }
  State.SetBytesProcessed(Bytes);
  State.SetLabel("bytes = record size, written once and read once");
}
BENCHMARK(BM_EncodeDecodeRecord);

}  // namespace
