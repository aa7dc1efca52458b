// Typed reads over a buffer of untrusted bytes. The first input byte gives the length of a script
// of operations that follows it; the rest of the input is the buffer's content. Each script
// byte picks an operation (and some take the next script byte as argument). Read errors are
// expected; anything else that escapes, a memory error, or a broken invariant is a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "BaseProtocol.h"
#include "Exception.h"
#include "UtilityStream.h"

namespace {

using namespace pelmar;

void Require(bool Condition, const char* What) {
  if (!Condition) {
    std::fprintf(stderr, "invariant broken: %s\n", What);
    std::abort();
  }
}

void CheckInvariants(const TBufferProtocol& B) {
  Require(B.Position() >= 0, "Position >= 0");
  Require(B.Position() <= B.Size(), "Position <= Size");
  Require(static_cast<std::uint32_t>(B.Size()) <= B.Capacity(), "Size <= Capacity");
  Require(B.Capacity() == 0 || B.Data() != nullptr, "allocated memory has an address");
}

// Whatever a read produced must encode to bytes that read back to the same encoding.
void CheckVariantReencodes(const TVariant& V) {
  TBufferProtocol First(32);
  First.WriteVariant(V);
  First.SetPosition(0);
  TVariant Again;
  First.ReadVariant(Again);
  Require(First.Position() == First.Size(), "variant re-read consumes its encoding");
  TBufferProtocol Second(32);
  Second.WriteVariant(Again);
  Require(!First.Differs(Second), "variant encoding is stable");
}

enum TOp : std::uint8_t {
  opInteger,
  opInt64,
  opByte,
  opWord,
  opBoolean,
  opString,
  opDateTime,
  opDouble,
  opVariant,
  opReadBlock,
  opAppendBlock,
  opReadBlockSelf,
  opAppendBlockSelf,
  opReadStream,
  opPeekInteger,
  opSetPosition,
  opWriteStream,
  opWriteBlock,
  opCount
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, size_t Size) {
  if (Size == 0)
    return 0;
  size_t ScriptLength = Data[0] < Size - 1 ? Data[0] : Size - 1;
  const std::uint8_t* Script = Data + 1;
  const std::uint8_t* Input = Script + ScriptLength;
  auto InputSize = static_cast<std::int32_t>(Size - 1 - ScriptLength);

  TBufferProtocol B(32);
  TBufferProtocol Other(64);
  TPelmarMemoryStream Stream;
  B.WriteData(InputSize, Input);
  B.SetPosition(0);
  CheckInvariants(B);

  for (size_t I = 0; I < ScriptLength; ++I) {
    std::uint8_t Op = Script[I] % opCount;
    std::uint8_t Arg = I + 1 < ScriptLength ? Script[I + 1] : 0;
    const std::int32_t Position0 = B.Position();
    const std::int32_t Size0 = B.Size();
    bool ReadsB = true;  // B is the source and only the position may move forward
    try {
      switch (Op) {
        case opInteger:
          B.ReadInteger();
          break;
        case opInt64:
          B.ReadInt64();
          break;
        case opByte:
          B.ReadByte();
          break;
        case opWord:
          B.ReadWord();
          break;
        case opBoolean:
          B.ReadBoolean();
          break;
        case opString: {
          std::string S = B.ReadString();
          Require(S.empty() || B.Position() == Position0 + 4 + static_cast<std::int32_t>(S.size()),
                  "a string consumes its length and bytes");
          break;
        }
        case opDateTime:
          B.ReadDateTime();
          break;
        case opDouble:
          B.ReadDouble();
          break;
        case opVariant: {
          TVariant V;
          B.ReadVariant(V);
          CheckVariantReencodes(V);
          break;
        }
        case opReadBlock: {
          B.ReadBlock(Other);
          Require(Other.Size() == B.Position() - Position0 - 4, "block size is the count read");
          break;
        }
        case opAppendBlock:
          B.AppendBlock(Other);
          break;
        case opReadBlockSelf:
          ReadsB = false;
          B.ReadBlock(B);
          break;
        case opAppendBlockSelf:
          ReadsB = false;
          B.AppendBlock(B);
          Require(B.Size() >= Size0, "append never shrinks");
          break;
        case opReadStream:
          ++I;
          B.ReadStream(Stream, (Arg & 1) != 0);
          break;
        case opPeekInteger: {
          std::int32_t Peeked = B.PeekInteger();
          Require(B.Position() == Position0, "peek does not move");
          Require(B.ReadInteger() == Peeked, "peek then read agree");
          break;
        }
        case opSetPosition:
          ++I;
          ReadsB = false;
          B.SetPosition(static_cast<std::int32_t>(Arg * (std::int64_t{Size0} + 2) / 255) - 1);
          break;
        case opWriteStream:
          ++I;
          Other.WriteStream(Stream, (Arg & 1) != 0);
          break;
        case opWriteBlock:
          ++I;
          Other.WriteBlock(B, (Arg & 1) != 0);
          Other.SetPosition(Arg % (Other.Size() + 1));
          break;
      }
    } catch (const Exception&) {
      if (ReadsB)
        Require(B.Size() == Size0, "a failed read keeps the size");
    }
    if (ReadsB) {
      Require(B.Size() == Size0, "reading keeps the size");
      Require(B.Position() >= Position0, "reading moves forward only");
    }
    CheckInvariants(B);
    CheckInvariants(Other);
    Require(Stream.Size() >= 0 && Stream.Size() <= Stream.Capacity(), "stream size in capacity");
  }
  return 0;
}
