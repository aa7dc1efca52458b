// What every unit shares: the error classes that tell handlers how serious a failure is, a
// critical section that can report its waits, sorted integer lists, tick helpers and small
// conversions.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "Clock.h"
#include "Exception.h"
#include "Format.h"
#include "Variant.h"

namespace pelmar {

// An inconsistency that correct code never produces. Created with a message, the text is
// "BUGCHECK: " + message; Fmt() formats without the prefix.
class EBugCheckError : public Exception {
 public:
  explicit EBugCheckError(const std::string& Message) : Exception("BUGCHECK: " + Message) {}
  template <typename... Args>
  static EBugCheckError Fmt(std::string_view Format, const Args&... Values) {
    return EBugCheckError(TUnprefixed{}, pelmar::Format(Format, Values...));
  }
  const char* ClassName() const override { return "EBugCheckError"; }

 private:
  struct TUnprefixed {};
  EBugCheckError(TUnprefixed, std::string Message) : Exception(std::move(Message)) {}
};

// The service cannot work; the service client shuts it down.
PELMAR_EXCEPTION_CLASS(EFatalError, Exception);
// A failure in the exchange with the Core service after which a reconnect helps.
PELMAR_EXCEPTION_CLASS(ENonFatalError, Exception);
// A refusal whose text goes back unchanged to the user who asked.
PELMAR_EXCEPTION_CLASS(EDisplayError, Exception);

// Names of the serial line parameters, indexed by the ordinals of the data bits (5..8), parity
// (none, odd, even, mark, space) and stop bits (1, 1.5, 2). Compared case-sensitively.
inline constexpr std::array<const char*, 4> DataBitsNames{"5", "6", "7", "8"};
inline constexpr std::array<const char*, 5> ParityNames{"N", "O", "E", "M", "S"};
inline constexpr std::array<const char*, 3> StopBitsNames{"1", "1.5", "2"};

// -1 when A < B, 1 when A > B, 0 when equal.
inline int CompareInt(std::int32_t A, std::int32_t B) {
  return A < B ? -1 : (A > B ? 1 : 0);
}

// Milliseconds from Start to the current tick, modulo 2^32: a counter wrap between the two
// readings still gives the true small difference.
inline std::uint32_t TicksSince(std::uint32_t Start) {
  return GetTickCount() - Start;
}

// True when strictly more than Interval ms have passed since Start.
inline bool TimeElapsed(std::uint32_t Start, std::uint32_t Interval) {
  return TicksSince(Start) > Interval;
}

// The version the executable was built with (the CMake project version); an unset part is 0.
void GetFileVersion(std::uint16_t& Major, std::uint16_t& Minor, std::uint16_t& Release,
                    std::uint16_t& Build);

// Names the calling thread for debuggers and ps/top. The kernel keeps at most 15 bytes; a longer
// name is cut at the last whole UTF-8 character within them. Failures are ignored.
void SetThreadName(const std::string& Name);

// Text cut at Separator: "a,,b" at "," gives a, "" and b; a separator at the end gives an empty
// last part. Empty Text gives no parts; an empty Separator gives Text alone.
std::vector<std::string> SplitString(const std::string& Separator, const std::string& Text);

// When NewValue differs from Target: Target := NewValue and Changed := true. Changed is never
// reset. For doubles a comparison with a NaN on either side counts as equal.
void SetIfChanged(bool& Changed, double& Target, double NewValue);
void SetIfChanged(bool& Changed, std::uint8_t& Target, std::uint8_t NewValue);
void SetIfChanged(bool& Changed, std::int32_t& Target, std::int32_t NewValue);

// Text cut to at most MaxBytes bytes without splitting a UTF-8 character: the cut falls before
// the first character that does not fit whole.
std::string Utf8Truncate(const std::string& Text, std::size_t MaxBytes);

// A equals B without regard to the letter case of ASCII letters (switches, service names).
bool SameText(const std::string& A, const std::string& B);

// Null for empty Text; otherwise a string variant holding at most the first MaxLength UTF-8
// characters of Text (a database column's length counts characters). A MaxLength below 0
// counts as 0.
TVariant StrToVarLimited(const std::string& Text, int MaxLength);

// A re-entrant lock that can report its use to a handler: who waits, when the lock was got and
// how long it was held. Without a handler it is a plain recursive mutex.
//
// OnDebug runs on the calling thread: phase 0 before the wait (Tick 0), phase 1 once the lock is
// held (Tick = the tick when the wait began), phase 2 before the release while the lock is still
// held (Tick = the tick when the current owner got the lock). Waiting is the number of threads
// inside Acquire that do not hold the lock yet. Set OnDebug before the lock is shared. When the
// handler raises, Acquire fails without holding the lock and Release releases it all the same.
//
// Meets the Lockable requirements, so std::lock_guard and std::unique_lock work with it.
class TDebugCriticalSection {
 public:
  using TDebugEvent = std::function<void(int Phase, const std::string& Name, std::int32_t Waiting,
                                         std::uint32_t Tick)>;

  TDebugCriticalSection() = default;
  TDebugCriticalSection(const TDebugCriticalSection&) = delete;
  TDebugCriticalSection& operator=(const TDebugCriticalSection&) = delete;

  // Blocks until the calling thread holds the lock; Name is passed to OnDebug.
  void Acquire(const std::string& Name = "");
  // REQUIRES: the calling thread holds the lock.
  void Release(const std::string& Name = "");
  void Enter() { Acquire(); }
  void Leave() { Release(); }

  void lock() { Acquire(); }
  void unlock() { Release(); }
  // Takes the lock only if that needs no wait; on success reports phase 1 (Tick = now).
  bool try_lock();

  std::int32_t Waiting() const { return FWaiting.load(); }
  // REQUIRES: the calling thread holds the lock.
  std::uint32_t AcquiredAt() const { return FAcquiredAt; }

  TDebugEvent OnDebug;

 private:
  std::recursive_mutex FMutex;
  std::atomic<std::int32_t> FWaiting{0};
  std::uint32_t FAcquiredAt = 0;  // written by the owner only
};

// Holds a TDebugCriticalSection from construction to destruction, under Name for its trace
// handler. Name is kept by reference and must outlive the guard; a temporary is refused.
//
// Release ends the hold early and reports it under its own name: for a region that must end
// before handlers run, or whose end is traced under another name. The destructor then does
// nothing.
//
// A trace handler that raises on release (the section is free all the same) raises out of the
// destructor, as a hand-written Release would; while another exception unwinds the stack that
// failure is dropped so that the first one goes on.
class TCriticalSectionGuard {
 public:
  explicit TCriticalSectionGuard(TDebugCriticalSection& Section, const std::string& Name = NoName)
      : FSection(Section), FName(Name), FUncaught(std::uncaught_exceptions()) {
    FSection.Acquire(FName);
  }
  TCriticalSectionGuard(TDebugCriticalSection& Section, std::string&& Name) = delete;
  ~TCriticalSectionGuard() noexcept(false);
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

  // Raises EBugCheckError when the guard was released already.
  void Release(const std::string& Name);

 private:
  inline static const std::string NoName;

  TDebugCriticalSection& FSection;
  const std::string& FName;
  int FUncaught;  // exceptions in flight when the guard was made
  bool FHeld = true;
};

// Duplicate policy of a sorted list.
enum TDuplicates { dupIgnore = 0, dupAccept = 1, dupError = 2 };

// A growable list of 32-bit signed integers that can be kept sorted, with a duplicate policy for
// sorted lists. Index errors raise EListError "List index out of bounds (%d)". Not thread-safe:
// owners lock around it.
class TIntegerList {
 public:
  // Sets the flag and the policy as given; nothing is sorted here.
  explicit TIntegerList(bool Sorted = false, TDuplicates Duplicates = dupIgnore);
  virtual ~TIntegerList() = default;
  TIntegerList(const TIntegerList&) = delete;
  TIntegerList& operator=(const TIntegerList&) = delete;

  virtual std::int32_t GetCapacity() const;
  virtual std::int32_t GetCount() const;
  virtual std::int32_t Get(std::int32_t Index) const;
  // Every value as decimal text followed by CR LF (the last too).
  virtual std::string GetText() const;
  // Inserts Value at Index (0..Count) without looking at order or duplicates.
  virtual void InsertItem(std::int32_t Index, std::int32_t Value);
  virtual TDuplicates GetDuplicates() const;
  virtual bool GetSorted() const;
  // Raises EListError "List capacity out of bounds (%d)" when N is below the count.
  virtual void SetCapacity(std::int32_t N);
  // New entries are 0 and keep no order. Raises EListError "List count out of bounds (%d)" for N <
  // 0.
  virtual void SetCount(std::int32_t N);
  virtual void SetDuplicates(TDuplicates Value);
  // Overwrites without re-sorting.
  virtual void Put(std::int32_t Index, std::int32_t Value);
  // Switching on sorts the current contents first.
  virtual void SetSorted(bool Value);
  // Clears, then adds StrToInt of every line (lines end with CR, LF or CR LF). An empty or
  // non-numeric line raises EConvertError; the lines before it stay added.
  virtual void SetText(const std::string& Text);
  // Unsorted: appends. Sorted: inserts at the place that keeps the order; when Value is present,
  // dupIgnore returns the present index and changes nothing, dupError raises EListError
  // "List does not allow duplicates ($0%x)", dupAccept inserts before the equal values.
  // Returns the index of Value.
  virtual std::int32_t Add(std::int32_t Value);
  // Adds every value of Other in order.
  virtual void AddIntegers(const TIntegerList& Other);
  // Clear, then AddIntegers. Assigning a list to itself changes nothing.
  virtual void Assign(const TIntegerList& Other);
  virtual void Clear();
  virtual void Delete(std::int32_t Index);
  // Writes the count, then every value, each as 4 bytes little-endian, at P; returns the
  // position after. REQUIRES: room for BufferSize() bytes at P.
  virtual std::uint8_t* SaveToBuffer(std::uint8_t* P) const;
  // The index of Value if present, otherwise Add(Value).
  virtual std::int32_t AddUnique(std::int32_t Value);
  virtual void Exchange(std::int32_t I, std::int32_t J);
  // Binary search; REQUIRES a sorted list (EAssertionFailed otherwise). Returns true iff Value is
  // present. Index is then the first equal value under dupAccept and some equal value otherwise;
  // when absent, the place where Value keeps the order.
  virtual bool Find(std::int32_t Value, std::int32_t& Index) const;
  virtual std::int32_t First() const;
  // Raises EListError "Cannot insert element in sorted list." on a sorted list.
  virtual void Insert(std::int32_t Index, std::int32_t Value);
  virtual std::int32_t Last() const;
  // Clears, then adds 4-byte little-endian values until the stream ends. Returns false when a
  // piece of 1 to 3 bytes is left over at the end (the values before it stay).
  virtual bool LoadFromStream(std::istream& Stream);
  // Raises EListError "Cannot move elements in sorted list." on a sorted list.
  virtual void Move(std::int32_t From, std::int32_t To);
  // Deletes the entry of Value if there is one; returns its index or -1.
  virtual std::int32_t Remove(std::int32_t Value);
  // Reads a count and that many 4-byte little-endian values from [P, End) and adds them (a
  // sorted list stays sorted); returns the position after them. The bytes may come from outside:
  // a missing count, a negative count or one that needs more bytes than End allows raises
  // EListError before anything is added.
  virtual const std::uint8_t* LoadFromBuffer(const std::uint8_t* P, const std::uint8_t* End);
  // Writes every value as 4 bytes little-endian, without a count.
  virtual void SaveToStream(std::ostream& Stream) const;

  // Bytes that SaveToBuffer writes: 4 + 4 * Count.
  std::size_t BufferSize() const;
  // The index of Value or -1: a linear search on an unsorted list, Find on a sorted one.
  std::int32_t IndexOf(std::int32_t Value) const;
  // Sorts an unsorted list in place through Exchange; does nothing to a sorted one.
  void Sort();
  // The values as decimal text, each followed by Delimiter; without TrailingDelimiter the last
  // has none.
  std::string GetDelimitedText(const std::string& Delimiter, bool TrailingDelimiter) const;

 protected:
  // Where Add puts Value: returns true with the insertion index, or false with the index of the
  // present Value under dupIgnore. Raises EListError under dupError when Value is present.
  bool AddPosition(std::int32_t Value, std::int32_t& Index) const;
  // Raises EListError "List index out of bounds (Index)" unless 0 <= Index < Count.
  void CheckIndex(std::int32_t Index) const;

 private:
  void QuickSort(std::int32_t L, std::int32_t R);

  std::vector<std::int32_t> FList;
  TDuplicates FDuplicates;
  bool FSorted;
};

// A TIntegerList with an object beside each integer: entry i of the objects belongs to integer i
// through every change, including sorting, exchanges, moves and deletions; new entries made
// without an object hold nullptr. The objects are not owned.
class TIndexedObjectList : public TIntegerList {
 public:
  explicit TIndexedObjectList(bool Sorted = false, TDuplicates Duplicates = dupIgnore);

  void InsertItem(std::int32_t Index, std::int32_t Value) override;
  void SetCapacity(std::int32_t N) override;
  void SetCount(std::int32_t N) override;
  std::int32_t Add(std::int32_t Value) override;
  void Clear() override;
  void Delete(std::int32_t Index) override;
  void Exchange(std::int32_t I, std::int32_t J) override;
  void Move(std::int32_t From, std::int32_t To) override;

  // Like Add, with Obj stored beside Value. Under dupIgnore a present Value keeps its object.
  virtual std::int32_t AddObject(std::int32_t Value, void* Obj);
  // Raises EListError "Cannot insert element in sorted list." on a sorted list.
  virtual void InsertObject(std::int32_t Index, std::int32_t Value, void* Obj);
  // Find; on success Obj is the object beside the value found, otherwise nullptr.
  virtual bool FindObject(std::int32_t Value, void*& Obj) const;

  void* GetObject(std::int32_t Index) const;
  template <typename T>
  T* GetObjectAs(std::int32_t Index) const {
    return static_cast<T*>(GetObject(Index));
  }

 private:
  void InsertBoth(std::int32_t Index, std::int32_t Value, void* Obj);

  std::vector<void*> FObjects;
};

}  // namespace pelmar
