#include "BaseProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "Exception.h"
#include "Hex.h"
#include "UtilityStream.h"

// The largest single operator-new request since the probe was reset, so that tests can see that
// a false length from a peer did not make the reader take memory for it.
namespace {
std::atomic<std::size_t> GLargestNew{0};
}

// Not inlined, so that the compiler does not pair malloc and free across the replacement.
__attribute__((noinline)) void* operator new(std::size_t Size) {
  std::size_t Prev = GLargestNew.load(std::memory_order_relaxed);
  while (Size > Prev && !GLargestNew.compare_exchange_weak(Prev, Size, std::memory_order_relaxed)) {
  }
  if (void* P = std::malloc(Size == 0 ? 1 : Size))
    return P;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* P) noexcept {
  std::free(P);
}
__attribute__((noinline)) void operator delete(void* P, std::size_t) noexcept {
  std::free(P);
}

namespace pelmar {
namespace {

using pelmar::test::Bytes;
using pelmar::test::ToHex;

constexpr std::size_t OneChunk = 64 * 1024;

// Replaces the content of B by the bytes and rewinds it.
void Load(TBufferProtocol& B, std::string_view Hex) {
  auto Data = Bytes(Hex);
  B.SetSize(0);
  B.WriteData(static_cast<std::int32_t>(Data.size()), Data.data());
  B.SetPosition(0);
}

std::string Content(const TBufferProtocol& B) {
  return ToHex(B.Data(), B.Size());
}

// The message of the pelmar::Exception that Fn raises, or "(no error)".
std::string ErrorOf(const std::function<void()>& Fn) {
  try {
    Fn();
  } catch (const Exception& E) {
    return E.Message();
  }
  return "(no error)";
}

const std::string ReadBeyondEnd = "Attempt to read beyond end of buffer!";

// A stream that declares a size and transfers at most Limit bytes in all, then nothing: a stream
// that delivers or accepts less than it should.
class TShortStream : public TStream {
 public:
  TShortStream(std::int64_t DeclaredSize, std::int32_t Limit)
      : FDeclaredSize(DeclaredSize), FLimit(Limit) {}
  std::int32_t Read(void* Buffer, std::int32_t Count) override {
    std::int32_t N = std::min(Count, FLimit);
    std::memset(Buffer, 0xEE, static_cast<size_t>(N));
    FLimit -= N;
    return N;
  }
  std::int32_t Write(const void*, std::int32_t Count) override {
    std::int32_t N = std::min(Count, FLimit);
    FLimit -= N;
    FWritten += N;
    return N;
  }
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin) override { return Offset; }
  std::int64_t Size() const override { return FDeclaredSize; }
  void SetSize(std::int64_t) override {}
  std::int64_t Position() const override { return 0; }
  std::int32_t Written() const { return FWritten; }

 private:
  std::int64_t FDeclaredSize;
  std::int32_t FLimit;
  std::int32_t FWritten = 0;
};

// A protocol over bytes that arrive from a peer, as a socket delivers them: it cannot tell in
// advance how many will come, and runs dry after the last one.
class TPeerProtocol : public TBaseProtocol {
 public:
  explicit TPeerProtocol(std::vector<std::uint8_t> Input) : FInput(std::move(Input)) {}
  void WriteData(std::int32_t Count, const void* Buffer) override {
    auto* P = static_cast<const std::uint8_t*>(Buffer);
    FOutput.insert(FOutput.end(), P, P + Count);
  }
  void ReadData(std::int32_t Count, void* Buffer) override {
    if (FInput.size() - FRead < static_cast<size_t>(Count))
      throw Exception("Connection closed");
    std::memcpy(Buffer, FInput.data() + FRead, static_cast<size_t>(Count));
    FRead += static_cast<size_t>(Count);
  }
  void ReadStream(TStream&, bool) override { FAIL() << "not used"; }
  void WriteStream(TStream&, bool) override { FAIL() << "not used"; }

 private:
  std::vector<std::uint8_t> FInput;
  size_t FRead = 0;
  std::vector<std::uint8_t> FOutput;
};

// An Integer length followed by Count bytes 0, 1, 2, ...
std::vector<std::uint8_t> LengthAndBytes(std::int32_t Length, size_t Count) {
  std::vector<std::uint8_t> V;
  for (int I = 0; I < 4; ++I)
    V.push_back(static_cast<std::uint8_t>(Length >> (8 * I)));
  for (size_t I = 0; I < Count; ++I)
    V.push_back(static_cast<std::uint8_t>(I));
  return V;
}

// ---- Storage, size and position ----------------------------------------------------------------

TEST(BufferProtocol, NewBufferIsEmptyAndUnallocated) {
  TBufferProtocol B(32);
  EXPECT_EQ(0, B.Size());
  EXPECT_EQ(0, B.Position());
  EXPECT_EQ(0u, B.Capacity());
  EXPECT_EQ(nullptr, B.Data());
  EXPECT_EQ(32, B.BlockSize());
}

TEST(BufferProtocol, CapacityGrowsToWholeBlocks) {
  struct {
    std::uint16_t BlockSize;
    std::vector<std::int32_t> Writes;  // byte counts written one after another
    std::int32_t WantSize;
    std::uint32_t WantCapacity;
  } Cases[] = {
      {32, {4}, 4, 32},      {32, {4, 29}, 33, 64},  // 64, not 66 or 128
      {32, {32}, 32, 32},    {64, {64}, 64, 64},    {64, {1, 64}, 65, 128},
      {64, {200}, 200, 256}, {0, {5}, 5, 5},  // a block size of 0 allocates byte by byte
  };
  for (const auto& C : Cases) {
    TBufferProtocol B(C.BlockSize);
    for (std::int32_t N : C.Writes) {
      std::vector<std::uint8_t> Data(static_cast<size_t>(N), 0x5A);
      B.WriteData(N, Data.data());
    }
    EXPECT_EQ(C.WantSize, B.Size()) << "block " << C.BlockSize << ", size " << C.WantSize;
    EXPECT_EQ(C.WantSize, B.Position()) << "block " << C.BlockSize << ", size " << C.WantSize;
    EXPECT_EQ(C.WantCapacity, B.Capacity()) << "block " << C.BlockSize << ", size " << C.WantSize;
  }
}

TEST(BufferProtocol, WriteOverwritesInsideAndExtendsPastEnd) {
  TBufferProtocol B(32);
  Load(B, "01 02 03 04");
  B.SetPosition(1);
  B.WriteWord(0xBBAA);
  EXPECT_EQ("01 AA BB 04", Content(B));
  EXPECT_EQ(3, B.Position());
  B.WriteWord(0xDDCC);
  EXPECT_EQ("01 AA BB CC DD", Content(B));
  EXPECT_EQ(5, B.Position());
}

TEST(BufferProtocol, SetSize) {
  TBufferProtocol B(32);
  B.WriteInteger(0x01020304);
  B.SetSize(2);  // position 4 follows the end back
  EXPECT_EQ(2, B.Size());
  EXPECT_EQ(2, B.Position());
  EXPECT_EQ(32u, B.Capacity());  // memory is kept

  EXPECT_EQ("Attempt to set negative size!", ErrorOf([&] { B.SetSize(-1); }));
  EXPECT_EQ(2, B.Size());

  // Growing again must not bring back what lay beyond the old end.
  B.SetSize(4);
  EXPECT_EQ("04 03 00 00", Content(B));
  EXPECT_EQ(2, B.Position());
}

TEST(BufferProtocol, SetPosition) {
  TBufferProtocol B(32);
  Load(B, "01 02 03 04");
  B.SetPosition(4);  // the end is a valid position
  EXPECT_EQ(4, B.Position());
  EXPECT_EQ("Attempt to move beyond end of buffer!", ErrorOf([&] { B.SetPosition(5); }));
  EXPECT_EQ("Attempt to set negative position!", ErrorOf([&] { B.SetPosition(-1); }));
  EXPECT_EQ(4, B.Position());
}

TEST(BufferProtocol, NegativeCountsAreRefused) {
  TBufferProtocol B(32);
  Load(B, "01 02 03 04");
  B.SetPosition(2);
  std::uint8_t Scratch[4] = {};
  EXPECT_EQ("ReadData: negative count -1", ErrorOf([&] { B.ReadData(-1, Scratch); }));
  EXPECT_EQ("WriteData: negative count -2", ErrorOf([&] { B.WriteData(-2, Scratch); }));
  EXPECT_EQ(2, B.Position());
  EXPECT_EQ("01 02 03 04", Content(B));
}

// ---- Typed values
// --------------------------------------------------------------------------------

TEST(BaseProtocol, TypedValueEncodings) {
  struct {
    const char* Name;
    std::function<void(TBaseProtocol&)> Write;
    const char* Want;
  } Cases[] = {
      {"Integer -2", [](TBaseProtocol& P) { P.WriteInteger(-2); }, "FE FF FF FF"},
      {"Integer 0x01020304", [](TBaseProtocol& P) { P.WriteInteger(0x01020304); }, "04 03 02 01"},
      {"Int64", [](TBaseProtocol& P) { P.WriteInt64(0x0102030405060708); },
       "08 07 06 05 04 03 02 01"},
      {"Int64 -1", [](TBaseProtocol& P) { P.WriteInt64(-1); }, "FF FF FF FF FF FF FF FF"},
      {"Byte", [](TBaseProtocol& P) { P.WriteByte(0xAB); }, "AB"},
      {"Word", [](TBaseProtocol& P) { P.WriteWord(0x1234); }, "34 12"},
      {"True", [](TBaseProtocol& P) { P.WriteBoolean(true); }, "01"},
      {"False", [](TBaseProtocol& P) { P.WriteBoolean(false); }, "00"},
      {"Double 1.0", [](TBaseProtocol& P) { P.WriteDouble(1.0); }, "00 00 00 00 00 00 F0 3F"},
      {"DateTime 2.5", [](TBaseProtocol& P) { P.WriteDateTime(2.5); }, "00 00 00 00 00 00 04 40"},
      {"String abc", [](TBaseProtocol& P) { P.WriteString("abc"); }, "03 00 00 00 61 62 63"},
      {"String empty", [](TBaseProtocol& P) { P.WriteString(""); }, "00 00 00 00"},
      {"String UTF-8", [](TBaseProtocol& P) { P.WriteString("\xC3\xA4"); }, "02 00 00 00 C3 A4"},
  };
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    C.Write(B);
    EXPECT_EQ(C.Want, Content(B)) << C.Name;
    EXPECT_EQ(B.Size(), B.Position()) << C.Name;
  }
}

TEST(BaseProtocol, TypedValuesRoundTrip) {
  const double Doubles[] = {0.0,
                            -0.0,
                            1.0 / 3,
                            -1e308,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
  const std::string Strings[] = {"", "a", std::string("\0x\0", 3), "\xC3\xA4\xE2\x82\xAC",
                                 std::string(1000, 'z')};
  TBufferProtocol B(64);
  for (std::int32_t V :
       {0, -1, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()})
    B.WriteInteger(V);
  for (std::int64_t V : {std::int64_t{0}, std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max()})
    B.WriteInt64(V);
  for (int V : {0, 0x7F, 0xFF})
    B.WriteByte(static_cast<std::uint8_t>(V));
  for (int V : {0, 0x8000, 0xFFFF})
    B.WriteWord(static_cast<std::uint16_t>(V));
  B.WriteBoolean(true);
  B.WriteBoolean(false);
  for (double V : Doubles)
    B.WriteDouble(V);
  B.WriteDateTime(45000.75);
  for (const auto& S : Strings)
    B.WriteString(S);

  B.SetPosition(0);
  for (std::int32_t V :
       {0, -1, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()})
    EXPECT_EQ(V, B.ReadInteger());
  for (std::int64_t V : {std::int64_t{0}, std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max()})
    EXPECT_EQ(V, B.ReadInt64());
  for (int V : {0, 0x7F, 0xFF})
    EXPECT_EQ(V, B.ReadByte());
  for (int V : {0, 0x8000, 0xFFFF})
    EXPECT_EQ(V, B.ReadWord());
  EXPECT_TRUE(B.ReadBoolean());
  EXPECT_FALSE(B.ReadBoolean());
  for (double V : Doubles)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(V), std::bit_cast<std::uint64_t>(B.ReadDouble())) << V;
  EXPECT_EQ(45000.75, B.ReadDateTime());
  for (const auto& S : Strings)
    EXPECT_EQ(S, B.ReadString());
  EXPECT_EQ(B.Size(), B.Position());
}

TEST(BaseProtocol, OnlyOneMeansTrue) {
  struct {
    const char* Byte;
    bool Want;
  } Cases[] = {{"00", false}, {"01", true}, {"02", false}, {"FF", false}};
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    Load(B, C.Byte);
    EXPECT_EQ(C.Want, B.ReadBoolean()) << C.Byte;
  }
}

TEST(BaseProtocol, ShortReadsConsumeNothing) {
  struct {
    const char* Name;
    const char* Input;
    std::function<void(TBaseProtocol&)> Read;
  } Cases[] = {
      {"Integer", "01 02 03", [](TBaseProtocol& P) { P.ReadInteger(); }},
      {"Int64", "01 02 03 04 05 06 07", [](TBaseProtocol& P) { P.ReadInt64(); }},
      {"Byte", "", [](TBaseProtocol& P) { P.ReadByte(); }},
      {"Word", "01", [](TBaseProtocol& P) { P.ReadWord(); }},
      {"Boolean", "", [](TBaseProtocol& P) { P.ReadBoolean(); }},
      {"Double", "01 02 03 04 05 06 07", [](TBaseProtocol& P) { P.ReadDouble(); }},
      {"DateTime", "01 02 03 04 05 06 07", [](TBaseProtocol& P) { P.ReadDateTime(); }},
      {"String length", "01 00 00", [](TBaseProtocol& P) { P.ReadString(); }},
      {"Variant tag", "03",
       [](TBaseProtocol& P) {
         TVariant V;
         P.ReadVariant(V);
       }},
  };
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    Load(B, C.Input);
    EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { C.Read(B); })) << C.Name;
    EXPECT_EQ(0, B.Position()) << C.Name;
    EXPECT_EQ(static_cast<std::int32_t>(Bytes(C.Input).size()), B.Size()) << C.Name;
  }
}

// ---- Strings from a peer
// -------------------------------------------------------------------------

TEST(BaseProtocol, StringLengthsUpToZeroReadAsEmpty) {
  struct {
    const char* Input;
    const char* Name;
  } Cases[] = {{"00 00 00 00 61", "0"}, {"FB FF FF FF 61", "-5"}, {"00 00 00 80 61", "min"}};
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    Load(B, C.Input);
    EXPECT_EQ("", B.ReadString()) << C.Name;
    EXPECT_EQ(4, B.Position()) << C.Name;  // only the length is consumed
  }
}

TEST(BaseProtocol, FalseStringLengthFailsWithoutTakingMemory) {
  TBufferProtocol B(32);
  Load(B, "FF FF FF 7F 61 62 63 64 65 66");  // 2^31 - 1 announced, 6 present
  GLargestNew = 0;
  EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { B.ReadString(); }));
  EXPECT_LT(GLargestNew.load(), 1024u);
  EXPECT_EQ(4, B.Position());  // the length stays consumed, the text does not
  EXPECT_EQ(10, B.Size());

  Load(B, "03 00 00 00 61 62");  // one byte short
  EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { B.ReadString(); }));
  EXPECT_EQ(4, B.Position());

  // Still usable.
  B.SetPosition(0);
  B.WriteString("ab");
  B.SetPosition(0);
  EXPECT_EQ("ab", B.ReadString());
}

TEST(BaseProtocol, PeerStringsAreGatheredAsTheyArrive) {
  // Across several chunks, and with the last chunk partial.
  const size_t Length = 2 * OneChunk + 123;
  TPeerProtocol Peer(LengthAndBytes(static_cast<std::int32_t>(Length), Length));
  std::string S = Peer.ReadString();
  ASSERT_EQ(Length, S.size());
  for (size_t I = 0; I < Length; I += 997)
    ASSERT_EQ(static_cast<char>(static_cast<std::uint8_t>(I)), S[I]) << I;

  // A peer that announces 2 GiB and sends 10 bytes costs at most one chunk.
  TPeerProtocol Liar(LengthAndBytes(std::numeric_limits<std::int32_t>::max(), 10));
  GLargestNew = 0;
  EXPECT_EQ("Connection closed", ErrorOf([&] { Liar.ReadString(); }));
  EXPECT_LE(GLargestNew.load(), OneChunk + 64);
}

// ---- Variants
// ------------------------------------------------------------------------------------

TEST(BaseProtocol, VariantKinds) {
  struct {
    const char* Name;
    TVariant Written;
    const char* WantBytes;
    TVariant WantRead;
  } Cases[] = {
      {"empty", TVariant(), "00 00", TVariant::Null()},
      {"null", TVariant::Null(), "01 00", TVariant::Null()},
      {"smallint", TVariant::OfInteger(TVarType::SmallInt, -2), "02 00 FE FF FF FF",
       TVariant(std::int32_t{-2})},
      {"integer", TVariant(std::int32_t{5}), "03 00 05 00 00 00", TVariant(std::int32_t{5})},
      {"shortint", TVariant::OfInteger(TVarType::ShortInt, -1), "10 00 FF FF FF FF",
       TVariant(std::int32_t{-1})},
      {"single", TVariant::OfFloat(TVarType::Single, 1.5), "04 00 00 00 00 00 00 00 F8 3F",
       TVariant(1.5)},
      {"double", TVariant(1.0), "05 00 00 00 00 00 00 00 F0 3F", TVariant(1.0)},
      {"currency", TVariant::OfFloat(TVarType::Currency, 2.5), "06 00 00 00 00 00 00 00 04 40",
       TVariant(2.5)},
      {"date", TVariant::DateTime(2.5), "07 00 00 00 00 00 00 00 04 40", TVariant::DateTime(2.5)},
      {"olestr", TVariant::OfString(TVarType::OleStr, "ab"), "08 00 02 00 00 00 61 62",
       TVariant("ab")},
      {"string", TVariant("ab"), "00 01 02 00 00 00 61 62", TVariant("ab")},
      {"empty string", TVariant(""), "00 01 00 00 00 00", TVariant("")},
      {"true", TVariant(true), "0B 00 01", TVariant(true)},
      {"false", TVariant(false), "0B 00 00", TVariant(false)},
      {"byte", TVariant(std::uint8_t{200}), "11 00 C8", TVariant(std::uint8_t{200})},
      {"word", TVariant(std::uint16_t{0x1234}), "12 00 34 12", TVariant(std::uint16_t{0x1234})},
      {"longword", TVariant(std::uint32_t{70000}), "13 00 70 11",
       TVariant(std::uint16_t{4464})},  // the upper 16 bits are lost
      {"int64", TVariant(std::int64_t{-2}), "14 00 FE FF FF FF FF FF FF FF",
       TVariant(std::int64_t{-2})},
  };
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    B.WriteVariant(C.Written);
    EXPECT_EQ(C.WantBytes, Content(B)) << C.Name;
    B.SetPosition(0);
    TVariant Got = TVariant("stale");
    B.ReadVariant(Got);
    EXPECT_EQ(C.WantRead.VarType(), Got.VarType()) << C.Name;
    EXPECT_TRUE(C.WantRead == Got) << C.Name << ": " << Got.AsString();
    EXPECT_EQ(B.Size(), B.Position()) << C.Name;
  }
}

TEST(BaseProtocol, RefusedVariantKinds) {
  struct {
    std::uint16_t Tag;
    const char* Name;
  } Cases[] = {
      {9, "Dispatch"}, {10, "Error"}, {12, "Variant"}, {13, "Unknown"}, {72, "$0048"},
      {257, "Any"},    {14, "14"},    {15, "15"},      {21, "21"},      {0xFFFF, "65535"},
  };
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    B.WriteWord(C.Tag);
    B.WriteInteger(0);
    B.SetPosition(0);
    TVariant Value(std::int32_t{7});
    EXPECT_EQ(std::string("ReadVariant: Unsupported variant type: ") + C.Name,
              ErrorOf([&] { B.ReadVariant(Value); }))
        << C.Tag;
    EXPECT_EQ(2, B.Position()) << C.Tag;  // the tag is consumed
    EXPECT_TRUE(Value == TVariant(std::int32_t{7})) << C.Tag;

    TBufferProtocol W(32);
    EXPECT_EQ(std::string("WriteVariant: Unsupported variant type: ") + C.Name,
              ErrorOf([&] { W.WriteVariant(TVariant::OfKind(static_cast<TVarType>(C.Tag))); }))
        << C.Tag;
    const std::uint8_t Tag[2] = {static_cast<std::uint8_t>(C.Tag),
                                 static_cast<std::uint8_t>(C.Tag >> 8)};
    EXPECT_EQ(ToHex(Tag, 2), Content(W)) << C.Tag;  // the tag is written
  }
}

TEST(BaseProtocol, ShortVariantPayloadLeavesValue) {
  TBufferProtocol B(32);
  Load(B, "03 00 05 00");
  TVariant Value("kept");
  EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { B.ReadVariant(Value); }));
  EXPECT_TRUE(Value == TVariant("kept"));
  EXPECT_EQ(2, B.Position());
}

// ---- Blocks
// --------------------------------------------------------------------------------------

TEST(BaseProtocol, WriteBlockTakesWholeSourceWhateverItsPosition) {
  TBufferProtocol Source(32);
  Load(Source, "61 62 63");
  Source.SetPosition(2);
  TBufferProtocol B(32);
  B.WriteBlock(Source, true);
  B.WriteBlock(Source, false);
  EXPECT_EQ("03 00 00 00 61 62 63 61 62 63", Content(B));
  EXPECT_EQ(2, Source.Position());

  TBufferProtocol Empty(32);
  TBufferProtocol E(32);
  E.WriteBlock(Empty, true);
  E.WriteBlock(Empty, false);
  EXPECT_EQ("00 00 00 00", Content(E));
}

TEST(BaseProtocol, ReadBlockReplacesContent) {
  TBufferProtocol Target(32);
  Load(Target, "01 02 03 04 05 06");
  Target.SetPosition(1);
  TBufferProtocol B(32);
  Load(B, "03 00 00 00 61 62 63 FF");
  B.ReadBlock(Target);
  EXPECT_EQ("61 62 63", Content(Target));
  EXPECT_EQ(1, Target.Position());  // untouched
  EXPECT_EQ(32u, Target.Capacity());
  EXPECT_EQ(7, B.Position());

  // A target positioned beyond the new end ends up at its end.
  Target.SetPosition(3);
  Load(B, "01 00 00 00 7A");
  B.ReadBlock(Target);
  EXPECT_EQ("7A", Content(Target));
  EXPECT_EQ(1, Target.Position());

  // A smaller target is reallocated to exactly the block, whatever its block size.
  TBufferProtocol Small(32);
  Load(B, "28 00 00 00 " + ToHex(std::string(40, 'q')));
  B.ReadBlock(Small);
  EXPECT_EQ(40, Small.Size());
  EXPECT_EQ(40u, Small.Capacity());
  EXPECT_EQ(0, Small.Position());

  Load(B, "00 00 00 00");
  B.ReadBlock(Small);
  EXPECT_EQ(0, Small.Size());
}

TEST(BaseProtocol, AppendBlock) {
  TBufferProtocol Target(32);
  Load(Target, "01 02");
  Target.SetPosition(1);
  TBufferProtocol B(32);
  Load(B, "02 00 00 00 61 62 00 00 00 00");
  B.AppendBlock(Target);
  EXPECT_EQ("01 02 61 62", Content(Target));
  EXPECT_EQ(1, Target.Position());
  B.AppendBlock(Target);  // a count of 0 changes nothing
  EXPECT_EQ("01 02 61 62", Content(Target));
  EXPECT_EQ(10, B.Position());
}

TEST(BaseProtocol, BadBlockCountsLeaveTargetIntact) {
  struct {
    const char* Name;
    const char* Input;
    std::function<void(TBaseProtocol&, TBufferProtocol&)> Read;
    std::string WantError;
  } Cases[] = {
      {"ReadBlock negative", "FB FF FF FF 61",
       [](TBaseProtocol& P, TBufferProtocol& T) { P.ReadBlock(T); },
       "ReadBlock: negative block size -5"},
      {"AppendBlock negative", "FB FF FF FF 61",
       [](TBaseProtocol& P, TBufferProtocol& T) { P.AppendBlock(T); },
       "AppendBlock: negative block size -5"},
      {"ReadBlock beyond end", "FF FF FF 7F 61 62 63 64 65 66",
       [](TBaseProtocol& P, TBufferProtocol& T) { P.ReadBlock(T); }, ReadBeyondEnd},
      {"AppendBlock beyond end", "FF FF FF 7F 61 62 63 64 65 66",
       [](TBaseProtocol& P, TBufferProtocol& T) { P.AppendBlock(T); }, ReadBeyondEnd},
      {"ReadBlock one short", "03 00 00 00 61 62",
       [](TBaseProtocol& P, TBufferProtocol& T) { P.ReadBlock(T); }, ReadBeyondEnd},
  };
  for (const auto& C : Cases) {
    TBufferProtocol Target(32);
    Load(Target, "01 02 03");
    Target.SetPosition(2);
    TBufferProtocol B(32);
    Load(B, C.Input);
    EXPECT_EQ(C.WantError, ErrorOf([&] { C.Read(B, Target); })) << C.Name;
    EXPECT_EQ("01 02 03", Content(Target)) << C.Name;
    EXPECT_EQ(2, Target.Position()) << C.Name;
    EXPECT_EQ(32u, Target.Capacity()) << C.Name;  // nothing was allocated for the count
    EXPECT_EQ(4, B.Position()) << C.Name;         // only the count is consumed

    // Both stay usable.
    B.SetPosition(B.Size());
    B.WriteInteger(1);
    B.WriteByte(0x7A);
    B.SetPosition(B.Size() - 5);
    B.AppendBlock(Target);
    EXPECT_EQ("01 02 03 7A", Content(Target)) << C.Name;
  }
}

TEST(BaseProtocol, BlocksFromAPeer) {
  const size_t Length = OneChunk + 5;
  TBufferProtocol Target(32);
  Load(Target, "01 02 03");
  Target.SetPosition(3);

  TPeerProtocol Peer(LengthAndBytes(static_cast<std::int32_t>(Length), Length));
  Peer.ReadBlock(Target);
  ASSERT_EQ(static_cast<std::int32_t>(Length), Target.Size());
  EXPECT_EQ(static_cast<std::uint32_t>(Length), Target.Capacity());
  EXPECT_EQ(3, Target.Position());
  EXPECT_EQ(0xFF, Target.Data()[0xFF]);
  EXPECT_EQ(0x04, Target.Data()[Length - 1]);

  TPeerProtocol More(LengthAndBytes(static_cast<std::int32_t>(Length), Length));
  More.AppendBlock(Target);
  ASSERT_EQ(static_cast<std::int32_t>(2 * Length), Target.Size());
  EXPECT_EQ(0x04, Target.Data()[2 * Length - 1]);

  // A peer that stops short leaves the target as it was.
  Load(Target, "01 02 03");
  TPeerProtocol Short(LengthAndBytes(static_cast<std::int32_t>(Length), Length - 1));
  EXPECT_EQ("Connection closed", ErrorOf([&] { Short.ReadBlock(Target); }));
  EXPECT_EQ("01 02 03", Content(Target));
  TPeerProtocol ShortAppend(LengthAndBytes(static_cast<std::int32_t>(Length), Length - 1));
  EXPECT_EQ("Connection closed", ErrorOf([&] { ShortAppend.AppendBlock(Target); }));
  EXPECT_EQ("01 02 03", Content(Target));

  TPeerProtocol Negative(LengthAndBytes(-1, 0));
  EXPECT_EQ("ReadBlock: negative block size -1", ErrorOf([&] { Negative.ReadBlock(Target); }));
}

TEST(BaseProtocol, BlockOperationsOnTheBufferItself) {
  TBufferProtocol B(1);  // block size 1: every growth reallocates
  Load(B, "02 00 00 00 61 62 63");
  B.ReadBlock(B);
  EXPECT_EQ("61 62", Content(B));
  EXPECT_EQ(2, B.Position());

  Load(B, "02 00 00 00 61 62");
  B.AppendBlock(B);
  EXPECT_EQ("02 00 00 00 61 62 61 62", Content(B));
  EXPECT_EQ(6, B.Position());

  // The appended bytes are not input: a count reaching into them is refused.
  Load(B, "04 00 00 00 61 62");
  EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { B.AppendBlock(B); }));
  EXPECT_EQ(6, B.Size());

  Load(B, "61 62 63");
  B.SetPosition(3);
  B.WriteBlock(B, true);
  EXPECT_EQ("61 62 63 03 00 00 00 61 62 63", Content(B));
  B.WriteBlock(B, false);
  EXPECT_EQ("61 62 63 03 00 00 00 61 62 63 61 62 63 03 00 00 00 61 62 63", Content(B));
}

// ---- Buffer helpers
// ------------------------------------------------------------------------------

TEST(BufferProtocol, PeekIntegerDoesNotMove) {
  TBufferProtocol B(32);
  Load(B, "00 2A 00 00 00");
  B.SetPosition(1);
  EXPECT_EQ(42, B.PeekInteger());
  EXPECT_EQ(1, B.Position());
  EXPECT_EQ(42, B.ReadInteger());
  EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { B.PeekInteger(); }));
  EXPECT_EQ(5, B.Position());
}

TEST(BufferProtocol, WriteIntegerAt) {
  struct {
    std::int32_t At;
    const char* Want;  // content afterwards, or the error
  } Cases[] = {
      {0, "07 00 00 00 05 06 07 08 09 0A 0B 0C"},
      {8, "01 02 03 04 05 06 07 08 07 00 00 00"},
      {10, "01 02 03 04 05 06 07 08 09 0A 07 00 00 00"},  // grows
      {12, "01 02 03 04 05 06 07 08 09 0A 0B 0C 07 00 00 00"},
      {13, "Attempt to move beyond end of buffer!"},
      {-1, "Attempt to set negative position!"},
  };
  for (const auto& C : Cases) {
    TBufferProtocol B(32);
    Load(B, "01 02 03 04 05 06 07 08 09 0A 0B 0C");
    B.SetPosition(12);
    std::string Error = ErrorOf([&] { B.WriteIntegerAt(7, C.At); });
    EXPECT_EQ(C.Want, Error == "(no error)" ? Content(B) : Error) << C.At;
    EXPECT_EQ(12, B.Position()) << C.At;
  }
}

TEST(BufferProtocol, Differs) {
  struct {
    const char* A;
    const char* B;
    bool Want;
  } Cases[] = {
      {"", "", false},          {"61 62", "61 62", false}, {"61 62", "61 62 63", true},
      {"61 62", "61 63", true}, {"", "00", true},
  };
  for (const auto& C : Cases) {
    TBufferProtocol A(32), B(64);
    Load(A, C.A);
    Load(B, C.B);
    B.SetPosition(B.Size());  // positions are ignored
    EXPECT_EQ(C.Want, A.Differs(B)) << C.A << " / " << C.B;
    EXPECT_EQ(C.Want, B.Differs(A)) << C.A << " / " << C.B;
  }
}

// ---- Streams
// -------------------------------------------------------------------------------------

TEST(BufferProtocol, ReadStream) {
  TBufferProtocol B(32);
  Load(B, "03 00 00 00 61 62 63 64 65");
  TPelmarMemoryStream S;
  S.Write("x", 1);
  B.ReadStream(S, true);
  EXPECT_EQ(7, B.Position());
  B.ReadStream(S, false);  // the rest
  EXPECT_EQ(9, B.Position());
  EXPECT_EQ("78 61 62 63 64 65", ToHex(S.Memory(), static_cast<size_t>(S.Size())));

  // Lengths up to 0 and an exhausted buffer leave the stream alone.
  B.ReadStream(S, false);
  Load(B, "00 00 00 00 FF FF FF FF");
  B.ReadStream(S, true);
  B.ReadStream(S, true);
  EXPECT_EQ(8, B.Position());
  EXPECT_EQ(6, S.Size());

  Load(B, "05 00 00 00 61 62");
  EXPECT_EQ(ReadBeyondEnd, ErrorOf([&] { B.ReadStream(S, true); }));
  EXPECT_EQ(4, B.Position());
  EXPECT_EQ(6, S.Size());

  TShortStream Short(0, 2);
  Load(B, "03 00 00 00 61 62 63");
  EXPECT_EQ("Stream wrote less than requested!", ErrorOf([&] { B.ReadStream(Short, true); }));
  EXPECT_EQ(4, B.Position());
  EXPECT_EQ(2, Short.Written());
}

TEST(BufferProtocol, WriteStream) {
  TPelmarMemoryStream S;
  S.Write("abc", 3);  // the stream is rewound before copying
  TBufferProtocol B(32);
  B.WriteStream(S, true);
  B.WriteStream(S, false);
  EXPECT_EQ("03 00 00 00 61 62 63 61 62 63", Content(B));
  EXPECT_EQ(10, B.Position());

  // Inside the content it overwrites.
  B.SetPosition(1);
  B.WriteStream(S, false);
  EXPECT_EQ("03 61 62 63 61 62 63 61 62 63", Content(B));
  EXPECT_EQ(4, B.Position());

  TPelmarMemoryStream Empty;
  TBufferProtocol E(32);
  E.WriteStream(Empty, true);
  E.WriteStream(Empty, false);
  EXPECT_EQ("00 00 00 00", Content(E));
}

TEST(BufferProtocol, WriteStreamFailures) {
  TBufferProtocol B(32);
  Load(B, "01 02");
  B.SetPosition(2);
  TShortStream Huge(std::int64_t{1} << 31, 0);
  EXPECT_EQ("Stream too big!", ErrorOf([&] { B.WriteStream(Huge, true); }));
  EXPECT_EQ("01 02", Content(B));

  TShortStream Short(5, 3);
  EXPECT_EQ("Stream returned less than requested!", ErrorOf([&] { B.WriteStream(Short, true); }));
  EXPECT_EQ("01 02 05 00 00 00", Content(B));  // the length was written before the failure
  EXPECT_EQ(6, B.Position());
}

}  // namespace
}  // namespace pelmar
