#include "BaseProtocol.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <type_traits>

#include "Exception.h"

namespace pelmar {

namespace {

// Largest piece read at a time when the protocol cannot tell how many bytes will arrive.
constexpr std::int32_t MaxReadChunk = 64 * 1024;

constexpr std::int64_t MaxBufferSize = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void RaiseReadBeyondEnd() {
  throw Exception("Attempt to read beyond end of buffer!");
}

[[noreturn]] void RaiseOutOfMemory() {
  throw EOutOfMemory("Out of memory");
}

template <typename T>
void PutLittleEndian(T Value, std::uint8_t* Out) {
  auto U = static_cast<std::make_unsigned_t<T>>(Value);
  for (size_t I = 0; I < sizeof(T); ++I)
    Out[I] = static_cast<std::uint8_t>(U >> (8 * I));
}

template <typename T>
T GetLittleEndian(const std::uint8_t* In) {
  std::make_unsigned_t<T> U = 0;
  for (size_t I = 0; I < sizeof(T); ++I)
    U = static_cast<decltype(U)>(U | (static_cast<decltype(U)>(In[I]) << (8 * I)));
  return static_cast<T>(U);
}

struct TFreeDeleter {
  void operator()(std::uint8_t* P) const { std::free(P); }
};
using TMallocBytes = std::unique_ptr<std::uint8_t, TFreeDeleter>;

// Grows Block to NewSize bytes, keeping its content; raises EOutOfMemory leaving it as it was.
void GrowBlock(TMallocBytes& Block, std::int32_t NewSize) {
  void* P = std::realloc(Block.get(), static_cast<std::size_t>(NewSize));
  if (P == nullptr)
    RaiseOutOfMemory();
  (void)Block.release();
  Block.reset(static_cast<std::uint8_t*>(P));
}

bool PointsInto(const void* P, const std::uint8_t* Block, std::uint32_t Count) {
  std::less_equal<const void*> LessEqual;
  std::less<const void*> Less;
  return Block != nullptr && LessEqual(Block, P) && Less(P, Block + Count);
}

[[noreturn]] void RaiseUnsupportedVariant(const char* Operation, std::uint16_t Tag) {
  throw Exception(std::string(Operation) +
                  ": Unsupported variant type: " + VarTypeName(static_cast<TVarType>(Tag)));
}

}  // namespace

// ---- TBaseProtocol ---------------------------------------------------------------------------

bool TBaseProtocol::CheckAvailable(std::int32_t) {
  return false;
}

namespace {

// One little-endian value of type T through the protocol's primitives.
template <typename T>
T ReadValue(TBaseProtocol& P) {
  std::uint8_t B[sizeof(T)];
  P.ReadData(sizeof B, B);
  return GetLittleEndian<T>(B);
}

template <typename T>
void WriteValue(TBaseProtocol& P, T Value) {
  std::uint8_t B[sizeof(T)];
  PutLittleEndian(Value, B);
  P.WriteData(sizeof B, B);
}

}  // namespace

std::int32_t TBaseProtocol::ReadInteger() {
  return ReadValue<std::int32_t>(*this);
}
void TBaseProtocol::WriteInteger(std::int32_t Value) {
  WriteValue(*this, Value);
}
std::int64_t TBaseProtocol::ReadInt64() {
  return ReadValue<std::int64_t>(*this);
}
void TBaseProtocol::WriteInt64(std::int64_t Value) {
  WriteValue(*this, Value);
}
std::uint8_t TBaseProtocol::ReadByte() {
  return ReadValue<std::uint8_t>(*this);
}
void TBaseProtocol::WriteByte(std::uint8_t Value) {
  WriteValue(*this, Value);
}
std::uint16_t TBaseProtocol::ReadWord() {
  return ReadValue<std::uint16_t>(*this);
}
void TBaseProtocol::WriteWord(std::uint16_t Value) {
  WriteValue(*this, Value);
}

bool TBaseProtocol::ReadBoolean() {
  return ReadByte() == 1;
}

void TBaseProtocol::WriteBoolean(bool Value) {
  WriteByte(Value ? 1 : 0);
}

TDateTime TBaseProtocol::ReadDateTime() {
  return ReadDouble();
}

void TBaseProtocol::WriteDateTime(TDateTime Value) {
  WriteDouble(Value);
}

double TBaseProtocol::ReadDouble() {
  return std::bit_cast<double>(static_cast<std::uint64_t>(ReadInt64()));
}

void TBaseProtocol::WriteDouble(double Value) {
  WriteInt64(static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(Value)));
}

std::string TBaseProtocol::ReadString() {
  std::int32_t N = ReadInteger();
  if (N <= 0)
    return {};
  std::string Result;
  if (CheckAvailable(N)) {
    Result.resize(static_cast<size_t>(N));
    ReadData(N, Result.data());
    return Result;
  }
  // Take memory only as the bytes arrive.
  for (std::int32_t Done = 0; Done < N;) {
    std::int32_t Chunk = std::min(N - Done, MaxReadChunk);
    Result.resize(static_cast<size_t>(Done) + static_cast<size_t>(Chunk));
    ReadData(Chunk, Result.data() + Done);
    Done += Chunk;
  }
  return Result;
}

void TBaseProtocol::WriteString(const std::string& Value) {
  if (Value.size() > static_cast<size_t>(MaxBufferSize))
    throw Exception("WriteString: string too long (" + std::to_string(Value.size()) + " bytes)");
  auto N = static_cast<std::int32_t>(Value.size());
  WriteInteger(N);
  WriteData(N, Value.data());
}

void TBaseProtocol::ReadVariant(TVariant& Value) {
  std::uint16_t Tag = ReadWord();
  switch (static_cast<TVarType>(Tag)) {
    case TVarType::Empty:
    case TVarType::Null:
      Value = TVariant::Null();
      return;
    case TVarType::SmallInt:
    case TVarType::Integer:
    case TVarType::ShortInt:
      Value = TVariant(ReadInteger());
      return;
    case TVarType::Single:
    case TVarType::Double:
    case TVarType::Currency:
      Value = TVariant(ReadDouble());
      return;
    case TVarType::Date:
      Value = TVariant::DateTime(ReadDateTime());
      return;
    case TVarType::OleStr:
    case TVarType::String:
      Value = TVariant(ReadString());
      return;
    case TVarType::Boolean:
      Value = TVariant(ReadBoolean());
      return;
    case TVarType::Byte:
      Value = TVariant(ReadByte());
      return;
    case TVarType::Word:
    case TVarType::LongWord:
      Value = TVariant(ReadWord());
      return;
    case TVarType::Int64:
      Value = TVariant(ReadInt64());
      return;
    case TVarType::Dispatch:
    case TVarType::Error:
    case TVarType::Variant:
    case TVarType::Unknown:
    case TVarType::StrArg:
    case TVarType::Any:
      break;
  }
  RaiseUnsupportedVariant("ReadVariant", Tag);
}

void TBaseProtocol::WriteVariant(const TVariant& Value) {
  auto Tag = static_cast<std::uint16_t>(Value.VarType());
  WriteWord(Tag);
  switch (Value.VarType()) {
    case TVarType::Empty:
    case TVarType::Null:
      return;
    case TVarType::SmallInt:
    case TVarType::Integer:
    case TVarType::ShortInt:
      WriteInteger(Value.AsInteger());
      return;
    case TVarType::Single:
    case TVarType::Double:
    case TVarType::Currency:
      WriteDouble(Value.AsDouble());
      return;
    case TVarType::Date:
      WriteDateTime(Value.AsDouble());
      return;
    case TVarType::OleStr:
    case TVarType::String:
      WriteString(Value.AsString());
      return;
    case TVarType::Boolean:
      WriteBoolean(Value.AsBoolean());
      return;
    case TVarType::Byte:
      WriteByte(static_cast<std::uint8_t>(Value.AsInt64()));
      return;
    case TVarType::Word:
    case TVarType::LongWord:
      WriteWord(static_cast<std::uint16_t>(Value.AsInt64()));
      return;
    case TVarType::Int64:
      WriteInt64(Value.AsInt64());
      return;
    case TVarType::Dispatch:
    case TVarType::Error:
    case TVarType::Variant:
    case TVarType::Unknown:
    case TVarType::StrArg:
    case TVarType::Any:
      break;
  }
  RaiseUnsupportedVariant("WriteVariant", Tag);
}

void TBaseProtocol::ReadBlock(TBufferProtocol& Target) {
  std::int32_t N = ReadInteger();
  if (N < 0)
    throw Exception("ReadBlock: negative block size " + std::to_string(N));
  TBufferRec& Rec = *Target.FBuffer;
  if (CheckAvailable(N)) {
    Target.ReserveExact(static_cast<std::uint32_t>(N));
    // When Target is this buffer the source bytes lie in the same memory; ReadData copies with
    // memmove.
    ReadData(N, Rec.Data);
  } else {
    // Gather into fresh memory so that Target stays intact if the peer stops short.
    TMallocBytes Block;
    for (std::int32_t Done = 0; Done < N;) {
      std::int32_t Chunk = std::min(N - Done, MaxReadChunk);
      GrowBlock(Block, Done + Chunk);
      ReadData(Chunk, Block.get() + Done);
      Done += Chunk;
    }
    if (Rec.Capacity < static_cast<std::uint32_t>(N)) {
      std::free(Rec.Data);
      Rec.Data = Block.release();
      Rec.Capacity = static_cast<std::uint32_t>(N);
    } else if (N > 0) {
      std::memcpy(Rec.Data, Block.get(), static_cast<size_t>(N));
    }
  }
  Rec.Size = N;
  if (Target.FPosition > N)
    Target.FPosition = N;
}

void TBaseProtocol::AppendBlock(TBufferProtocol& Target) {
  std::int32_t N = ReadInteger();
  if (N < 0)
    throw Exception("AppendBlock: negative block size " + std::to_string(N));
  if (N == 0)
    return;
  // Checked before Target grows: when Target is this buffer, the growth must not count as
  // available input.
  bool Known = CheckAvailable(N);
  std::int32_t Old = Target.Size();
  if (std::int64_t{Old} + N > MaxBufferSize)
    RaiseOutOfMemory();
  if (Known) {
    Target.SetSize(Old + N);
    try {
      ReadData(N, Target.Data() + Old);
    } catch (...) {
      Target.SetSize(Old);
      throw;
    }
    return;
  }
  try {
    for (std::int32_t Done = 0; Done < N;) {
      std::int32_t Chunk = std::min(N - Done, MaxReadChunk);
      Target.SetSize(Old + Done + Chunk);
      ReadData(Chunk, Target.Data() + Old + Done);
      Done += Chunk;
    }
  } catch (...) {
    Target.SetSize(Old);
    throw;
  }
}

void TBaseProtocol::WriteBlock(const TBufferProtocol& Source, bool WithLength) {
  std::int32_t N = Source.Size();
  if (WithLength)
    WriteInteger(N);
  // Taken after the length: writing it may have moved Source's memory if Source is this buffer.
  WriteData(N, Source.Data());
}

// ---- TBufferProtocol -------------------------------------------------------------------------

TBufferProtocol::TBufferProtocol(std::uint16_t BlockSize)
    : FBuffer(std::make_unique<TBufferRec>()), FBlockSize(BlockSize == 0 ? 1 : BlockSize) {}

TBufferProtocol::~TBufferProtocol() {
  std::free(FBuffer->Data);
}

void TBufferProtocol::Reallocate(std::uint32_t NewCapacity) {
  void* P = std::realloc(FBuffer->Data, NewCapacity);
  if (P == nullptr)
    RaiseOutOfMemory();
  FBuffer->Data = static_cast<std::uint8_t*>(P);
  FBuffer->Capacity = NewCapacity;
}

void TBufferProtocol::ReserveExact(std::uint32_t NewCapacity) {
  if (FBuffer->Capacity < NewCapacity)
    Reallocate(NewCapacity);
}

std::int32_t TBufferProtocol::Size() const {
  return FBuffer->Size;
}

void TBufferProtocol::SetSize(std::int32_t NewSize) {
  TBufferRec& Rec = *FBuffer;
  if (NewSize == Rec.Size)
    return;
  if (NewSize < 0)
    throw Exception("Attempt to set negative size!");
  if (Rec.Capacity < static_cast<std::uint32_t>(NewSize)) {
    std::uint64_t Blocks = (static_cast<std::uint64_t>(NewSize) + FBlockSize - 1) / FBlockSize;
    Reallocate(static_cast<std::uint32_t>(Blocks * FBlockSize));
  }
  // Bytes that appear here could otherwise carry stale heap content to a peer.
  if (NewSize > Rec.Size)
    std::memset(Rec.Data + Rec.Size, 0, static_cast<size_t>(NewSize - Rec.Size));
  Rec.Size = NewSize;
  if (FPosition > NewSize)
    FPosition = NewSize;
}

void TBufferProtocol::SetPosition(std::int32_t NewPosition) {
  if (NewPosition == FPosition)
    return;
  if (NewPosition < 0)
    throw Exception("Attempt to set negative position!");
  if (NewPosition > Size())
    throw Exception("Attempt to move beyond end of buffer!");
  FPosition = NewPosition;
}

bool TBufferProtocol::CheckAvailable(std::int32_t Count) {
  if (std::int64_t{Size()} - FPosition < Count)
    RaiseReadBeyondEnd();
  return true;
}

void TBufferProtocol::WriteData(std::int32_t Count, const void* Buffer) {
  if (Count == 0)
    return;
  if (Count < 0)
    throw Exception("WriteData: negative count " + std::to_string(Count));
  std::int64_t End = std::int64_t{FPosition} + Count;
  if (End > MaxBufferSize)
    RaiseOutOfMemory();
  if (End > Size()) {
    // The source may lie in this buffer's memory, which growing can move.
    std::int64_t Offset = -1;
    if (PointsInto(Buffer, FBuffer->Data, FBuffer->Capacity))
      Offset = static_cast<const std::uint8_t*>(Buffer) - FBuffer->Data;
    SetSize(static_cast<std::int32_t>(End));
    if (Offset >= 0)
      Buffer = FBuffer->Data + Offset;
  }
  std::memmove(FBuffer->Data + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = static_cast<std::int32_t>(End);
}

void TBufferProtocol::ReadData(std::int32_t Count, void* Buffer) {
  if (Count < 0)
    throw Exception("ReadData: negative count " + std::to_string(Count));
  if (std::int64_t{Size()} < std::int64_t{FPosition} + Count)
    RaiseReadBeyondEnd();
  if (Count == 0)
    return;
  std::memmove(Buffer, FBuffer->Data + FPosition, static_cast<size_t>(Count));
  FPosition += Count;
}

void TBufferProtocol::ReadStream(TStream& Stream, bool WithLength) {
  std::int32_t N = WithLength ? ReadInteger() : Size() - FPosition;
  if (N <= 0)
    return;
  if (std::int64_t{Size()} < std::int64_t{FPosition} + N)
    RaiseReadBeyondEnd();
  const std::uint8_t* From = FBuffer->Data + FPosition;
  std::int32_t Written = 0;
  while (Written < N) {
    std::int32_t W = Stream.Write(From + Written, N - Written);
    if (W <= 0)
      break;
    Written += W;
  }
  if (Written < N)
    throw Exception("Stream wrote less than requested!");
  FPosition += N;
}

void TBufferProtocol::WriteStream(TStream& Stream, bool WithLength) {
  std::int64_t StreamSize = Stream.Size();
  if (StreamSize > MaxBufferSize)
    throw Exception("Stream too big!");
  auto N = static_cast<std::int32_t>(StreamSize);
  Stream.SetPosition(0);
  if (WithLength)
    WriteInteger(N);
  if (N <= 0)
    return;
  std::int32_t OldSize = Size();
  std::int64_t End = std::int64_t{FPosition} + N;
  if (End > MaxBufferSize)
    RaiseOutOfMemory();
  if (End > OldSize)
    SetSize(static_cast<std::int32_t>(End));
  std::uint8_t* To = FBuffer->Data + FPosition;
  std::int32_t Got = 0;
  while (Got < N) {
    std::int32_t R = Stream.Read(To + Got, N - Got);
    if (R <= 0)
      break;
    Got += R;
  }
  if (Got < N) {
    SetSize(OldSize);
    throw Exception("Stream returned less than requested!");
  }
  FPosition = static_cast<std::int32_t>(End);
}

std::int32_t TBufferProtocol::PeekInteger() {
  std::int32_t Value = ReadInteger();
  FPosition -= 4;
  return Value;
}

void TBufferProtocol::WriteIntegerAt(std::int32_t Value, std::int32_t At) {
  std::int32_t Old = FPosition;
  SetPosition(At);
  try {
    WriteInteger(Value);
  } catch (...) {
    FPosition = Old;
    throw;
  }
  FPosition = Old;
}

bool TBufferProtocol::Differs(const TBufferProtocol& Other) const {
  if (Size() != Other.Size())
    return true;
  return Size() > 0 && std::memcmp(Data(), Other.Data(), static_cast<size_t>(Size())) != 0;
}

}  // namespace pelmar
