#include "UtilityStream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#include "Exception.h"

namespace pelmar {

namespace {

// Largest size or capacity a stream may reach; keeps the rounding to MemoryDelta from overflowing.
constexpr std::int64_t MaxStreamSize =
    std::numeric_limits<std::int64_t>::max() - TPelmarMemoryStream::MemoryDelta;

[[noreturn]] void RaiseOutOfMemory() {
  throw EStreamError("Out of memory while expanding memory stream");
}

bool PointsInto(const void* P, const std::uint8_t* Block, std::int64_t Count) {
  std::less_equal<const void*> LessEqual;
  std::less<const void*> Less;
  return Block != nullptr && LessEqual(Block, P) && Less(P, Block + Count);
}

}  // namespace

TPelmarMemoryStream::~TPelmarMemoryStream() {
  std::free(FMemory);
}

void TPelmarMemoryStream::SetCapacity(std::int64_t NewCapacity) {
  if (NewCapacity > MaxStreamSize)
    RaiseOutOfMemory();
  if (NewCapacity > 0 && NewCapacity != FSize)
    NewCapacity = (NewCapacity + (MemoryDelta - 1)) & ~(MemoryDelta - 1);
  if (NewCapacity == FCapacity)
    return;
  if (NewCapacity == 0) {
    std::free(FMemory);
    FMemory = nullptr;
    FCapacity = 0;
    return;
  }
  if (static_cast<std::uint64_t>(NewCapacity) > std::numeric_limits<std::size_t>::max())
    RaiseOutOfMemory();
  void* P = std::realloc(FMemory, static_cast<std::size_t>(NewCapacity));
  if (P == nullptr)
    RaiseOutOfMemory();
  FMemory = static_cast<std::uint8_t*>(P);
  FCapacity = NewCapacity;
}

std::int32_t TPelmarMemoryStream::Read(void* Buffer, std::int32_t Count) {
  if (FPosition < 0 || Count <= 0 || FPosition >= FSize)
    return 0;
  std::int64_t Available = FSize - FPosition;
  std::int32_t N = Available < Count ? static_cast<std::int32_t>(Available) : Count;
  std::memmove(Buffer, FMemory + FPosition, static_cast<std::size_t>(N));
  FPosition += N;
  return N;
}

std::int32_t TPelmarMemoryStream::Write(const void* Buffer, std::int32_t Count) {
  if (FPosition < 0 || Count <= 0)
    return 0;
  if (FPosition > MaxStreamSize - Count)
    RaiseOutOfMemory();
  std::int64_t End = FPosition + Count;
  if (End > FSize) {
    if (End > FCapacity) {
      // The source may lie in our own block, which the reallocation moves.
      std::int64_t Offset = -1;
      if (PointsInto(Buffer, FMemory, FCapacity))
        Offset = static_cast<const std::uint8_t*>(Buffer) - FMemory;
      SetCapacity(End);
      if (Offset >= 0)
        Buffer = FMemory + Offset;
    }
    if (FPosition > FSize)
      std::memset(FMemory + FSize, 0, static_cast<std::size_t>(FPosition - FSize));
    FSize = End;
  }
  std::memmove(FMemory + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition = End;
  return Count;
}

std::int64_t TPelmarMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t Base = 0;
  switch (Origin) {
    case TSeekOrigin::soBeginning:
      Base = 0;
      break;
    case TSeekOrigin::soCurrent:
      Base = FPosition;
      break;
    case TSeekOrigin::soEnd:
      Base = FSize;
      break;
  }
  std::int64_t NewPosition;
  if (__builtin_add_overflow(Base, Offset, &NewPosition))
    throw EStreamError("Stream position out of range");
  FPosition = NewPosition;
  return FPosition;
}

void TPelmarMemoryStream::SetSize(std::int64_t NewSize) {
  if (NewSize < 0)
    throw EStreamError("Attempt to set negative size!");
  SetCapacity(NewSize);
  if (NewSize > FSize)
    std::memset(FMemory + FSize, 0, static_cast<std::size_t>(NewSize - FSize));
  FSize = NewSize;
  if (FPosition > NewSize)
    FPosition = NewSize;
}

void TPelmarMemoryStream::Clear() {
  FSize = 0;
  FPosition = 0;
  SetCapacity(0);
}

}  // namespace pelmar
