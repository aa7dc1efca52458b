// The byte encoding of everything exchanged with the Core service and of every object record:
// little-endian integers, length-prefixed strings, tagged variants and blocks, with no alignment,
// padding or field names. TBaseProtocol writes and reads typed values through four primitives;
// TBufferProtocol implements them over a growable memory buffer. A buffer belongs to one thread
// at a time.
//
// Every failure raises pelmar::Exception (or a class derived from it) with a fixed message; the
// protocol stays usable afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DateTime.h"
#include "UtilityStream.h"
#include "Variant.h"

namespace pelmar {

class TBufferProtocol;

// Reader and writer of typed values. The typed operations work only through the four primitives,
// so they behave alike over a buffer and over a connection. Reader and writer must agree on the
// sequence of values.
class TBaseProtocol {
 public:
  TBaseProtocol() = default;
  TBaseProtocol(const TBaseProtocol&) = delete;
  TBaseProtocol& operator=(const TBaseProtocol&) = delete;
  virtual ~TBaseProtocol() = default;

  // Primitives.
  //
  // Writes Count bytes from Buffer at the current position.
  virtual void WriteData(std::int32_t Count, const void* Buffer) = 0;
  // Reads exactly Count bytes into Buffer, or raises having consumed nothing.
  virtual void ReadData(std::int32_t Count, void* Buffer) = 0;
  // Copies bytes from the protocol into Stream at its position: a length-prefixed run when
  // WithLength, else everything the protocol has left.
  virtual void ReadStream(TStream& Stream, bool WithLength) = 0;
  // Copies the whole of Stream into the protocol, preceded by its length when WithLength.
  virtual void WriteStream(TStream& Stream, bool WithLength) = 0;

  // Typed values, one each. Integers are little-endian; a Boolean is written as 1 or 0 and reads
  // as True only for 1; a DateTime or Double is an IEEE-754 double.
  std::int32_t ReadInteger();
  void WriteInteger(std::int32_t Value);
  std::int64_t ReadInt64();
  void WriteInt64(std::int64_t Value);
  std::uint8_t ReadByte();
  void WriteByte(std::uint8_t Value);
  std::uint16_t ReadWord();
  void WriteWord(std::uint16_t Value);
  bool ReadBoolean();
  void WriteBoolean(bool Value);
  TDateTime ReadDateTime();
  void WriteDateTime(TDateTime Value);
  double ReadDouble();
  void WriteDouble(double Value);

  // A string is an Integer byte count n and n bytes, no terminator. A count <= 0 reads as the
  // empty string. A count larger than what can arrive raises before memory for it is taken; the
  // count itself stays consumed. WriteString raises Exception for a string longer than 2^31 - 1
  // bytes.
  std::string ReadString();
  void WriteString(const std::string& Value);

  // A variant is its Word type tag and a payload chosen by the tag. Reading turns the integer
  // kinds SmallInt, Integer and ShortInt into Integer, Single, Double and Currency into Double,
  // OleStr and String into String, Word and LongWord into Word, and Empty and Null into Null.
  // LongWord is written as a Word: its upper 16 bits are lost. Other kinds are refused with
  // "ReadVariant: Unsupported variant type: <name>" (or "WriteVariant: ..."), the tag having
  // been consumed or written. Value is changed only when the whole variant was read. Writing a
  // value its kind cannot convert to the payload raises EVariantError after the tag.
  void ReadVariant(TVariant& Value);
  void WriteVariant(const TVariant& Value);

  // Blocks: an Integer byte count n and n bytes of a buffer's content.
  //
  // Replaces Target's content by the n bytes read (Size becomes n; Position is left alone unless
  // it lies beyond n, then it becomes n). Target's memory is raised to exactly n bytes if it is
  // smaller. A negative n raises Exception "ReadBlock: negative block size <n>"; Target is
  // unchanged after any failure. Target may be this protocol.
  void ReadBlock(TBufferProtocol& Target);
  // Appends the n bytes read after Target's last byte (Target's Position is not touched); n = 0
  // changes nothing. A negative n raises Exception "AppendBlock: negative block size <n>".
  // Target is unchanged after any failure. Target may be this protocol.
  void AppendBlock(TBufferProtocol& Target);
  // Writes Source's Size (when WithLength) and all its bytes from the first, whatever Source's
  // Position. Source may be this protocol.
  void WriteBlock(const TBufferProtocol& Source, bool WithLength);

 protected:
  // Called before a read of Count bytes whose target must first be allocated (a string, a
  // block). Raises when it is known that fewer than Count bytes are left; returns true when
  // Count bytes are known to be ready, false when the protocol cannot tell (a socket), in which
  // case the caller reads in bounded chunks so that a false length cannot claim more memory
  // than what arrived plus one chunk. The default cannot tell.
  virtual bool CheckAvailable(std::int32_t Count);
};

// The byte storage of a buffer. Size <= Capacity; Data is null while Capacity is 0. Owned by its
// TBufferProtocol, which allocates Data with malloc and frees it.
struct TBufferRec {
  std::int32_t Size = 0;
  std::uint32_t Capacity = 0;
  std::uint8_t* Data = nullptr;
};

// The protocol over a growable memory buffer with a read/write position,
// 0 <= Position <= Size <= Capacity at all times.
//
// Writing inside the content overwrites, writing past the end extends it. Memory grows linearly
// to the smallest multiple of the block size that holds the new size and never shrinks. A failed
// operation leaves Size and Position as they were before the failing step; failing to get memory
// raises EOutOfMemory.
class TBufferProtocol : public TBaseProtocol {
 public:
  // An empty buffer; nothing is allocated until the first byte is written. A BlockSize of 0 is
  // taken as 1.
  explicit TBufferProtocol(std::uint16_t BlockSize = 32);
  ~TBufferProtocol() override;

  // Raises Exception for a negative Count, and EOutOfMemory when the content would exceed
  // 2^31 - 1 bytes. Buffer may point into this buffer's own memory.
  void WriteData(std::int32_t Count, const void* Buffer) override;
  // Raises "Attempt to read beyond end of buffer!" when fewer than Count bytes follow the
  // position, and Exception for a negative Count.
  void ReadData(std::int32_t Count, void* Buffer) override;
  // Copies a length-prefixed run (WithLength) or the rest of the buffer into Stream at its
  // position. A length <= 0 leaves the stream untouched. Raises "Attempt to read beyond end of
  // buffer!" for a length beyond the content and "Stream wrote less than requested!" when the
  // stream accepts fewer bytes (which it may then hold; Position does not move).
  void ReadStream(TStream& Stream, bool WithLength) override;
  // Copies the whole of Stream, from its first byte, to the position. Raises "Stream too big!"
  // for a stream of 2^31 bytes or more and "Stream returned less than requested!" when the
  // stream delivers fewer bytes than its size (Size and Position are then restored; a length
  // already written stays, and bytes inside the old content may be overwritten).
  void WriteStream(TStream& Stream, bool WithLength) override;

  virtual std::int32_t Size() const;
  // Raises "Attempt to set negative size!". Growing keeps the bytes and zero-fills the new ones;
  // shrinking keeps the memory and pulls Position back to NewSize if it lay beyond.
  virtual void SetSize(std::int32_t NewSize);
  std::int32_t Position() const { return FPosition; }
  // Raises "Attempt to set negative position!" or "Attempt to move beyond end of buffer!",
  // leaving Position as it was. Position == Size is valid.
  virtual void SetPosition(std::int32_t NewPosition);

  // Bytes allocated.
  std::uint32_t Capacity() const { return FBuffer->Capacity; }
  std::uint16_t BlockSize() const { return FBlockSize; }
  // The Size bytes of the content; null while nothing is allocated. Valid until the next
  // operation that grows the buffer.
  std::uint8_t* Data() { return FBuffer->Data; }
  const std::uint8_t* Data() const { return FBuffer->Data; }

  // Reads an Integer without moving Position.
  std::int32_t PeekInteger();
  // Writes Value at byte offset At, growing the buffer when At + 4 exceeds Size, and leaves
  // Position where it was. Used to fill in a count that was written as a placeholder. Raises as
  // SetPosition for an At outside 0..Size.
  void WriteIntegerAt(std::int32_t Value, std::int32_t At);
  // Returns false iff both buffers hold the same bytes (positions are ignored).
  bool Differs(const TBufferProtocol& Other) const;

 protected:
  // Raises "Attempt to read beyond end of buffer!" when fewer than Count bytes follow Position.
  bool CheckAvailable(std::int32_t Count) override;

 private:
  friend class TBaseProtocol;

  // Raises the capacity to exactly NewCapacity if it is smaller; Size is unchanged.
  void ReserveExact(std::uint32_t NewCapacity);
  // Reallocates to NewCapacity bytes; raises EOutOfMemory, leaving the storage as it was.
  void Reallocate(std::uint32_t NewCapacity);

  std::unique_ptr<TBufferRec> FBuffer;
  std::int32_t FPosition = 0;
  std::uint16_t FBlockSize;
};

}  // namespace pelmar
