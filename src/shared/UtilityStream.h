// Byte streams: the small abstract stream that buffers copy into and out of, and the in-memory
// stream handed to and taken from buffers.
#pragma once

#include <cstdint>

namespace pelmar {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A sequence of bytes with a size and a current position. Read and Write move the position by
// the number of bytes they transferred. Not thread-safe.
class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Copies up to Count bytes from the current position into Buffer. Returns the number of bytes
  // copied: less than Count at the end of the stream, 0 for Count <= 0.
  virtual std::int32_t Read(void* Buffer, std::int32_t Count) = 0;
  // Copies Count bytes from Buffer to the current position, extending the stream as needed.
  // Returns the number of bytes accepted, which may be less than Count.
  virtual std::int32_t Write(const void* Buffer, std::int32_t Count) = 0;
  // Moves the position to Offset relative to Origin and returns the new position.
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

  virtual std::int64_t Size() const = 0;
  virtual void SetSize(std::int64_t NewSize) = 0;
  virtual std::int64_t Position() const = 0;
  void SetPosition(std::int64_t NewPosition) { Seek(NewPosition, TSeekOrigin::soBeginning); }
};

// A stream held in one block of process heap memory that it owns.
//
// The block grows in steps of MemoryDelta (8192) bytes: whenever a new capacity greater than zero
// and different from the current size is needed, it is rounded up to the next multiple of 8192;
// a capacity of zero releases the memory. Setting the size sets the capacity, so shrinking the
// stream also shrinks its block. Bytes that appear by growing the size or by writing past the end
// read as zero.
//
// The position may be set anywhere at or after 0; reads past the end return 0 bytes, and a write
// past the end extends the stream. Raises EStreamError "Out of memory while expanding memory
// stream" when memory cannot be obtained; the stream is then unchanged.
class TPelmarMemoryStream : public TStream {
 public:
  static constexpr std::int64_t MemoryDelta = 8192;

  TPelmarMemoryStream() = default;
  ~TPelmarMemoryStream() override;

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  // A resulting negative position is allowed, as for any memory stream; reads and writes there
  // transfer nothing. A position that would overflow raises EStreamError.
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

  std::int64_t Size() const override { return FSize; }
  // Raises EStreamError for a negative size. A position beyond the new size moves to the end.
  void SetSize(std::int64_t NewSize) override;
  std::int64_t Position() const override { return FPosition; }

  // Bytes allocated; at least Size.
  std::int64_t Capacity() const { return FCapacity; }
  // The stream's bytes, Size of them; null while nothing is allocated. Valid until the next
  // call that changes the size or capacity.
  std::uint8_t* Memory() { return FMemory; }
  const std::uint8_t* Memory() const { return FMemory; }
  // Releases the memory: size, position and capacity become 0.
  void Clear();

 private:
  void SetCapacity(std::int64_t NewCapacity);

  std::uint8_t* FMemory = nullptr;
  std::int64_t FSize = 0;
  std::int64_t FPosition = 0;
  std::int64_t FCapacity = 0;
};

}  // namespace pelmar
