#include "Utilities.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <istream>
#include <limits>
#include <ostream>
#include <string_view>
#include <utility>

#include "Version.h"

namespace pelmar {

namespace {

void PutInt32(std::uint8_t* P, std::int32_t Value) {
  const auto U = static_cast<std::uint32_t>(Value);
  P[0] = static_cast<std::uint8_t>(U);
  P[1] = static_cast<std::uint8_t>(U >> 8);
  P[2] = static_cast<std::uint8_t>(U >> 16);
  P[3] = static_cast<std::uint8_t>(U >> 24);
}

std::int32_t GetInt32(const std::uint8_t* P) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(P[0]) | static_cast<std::uint32_t>(P[1]) << 8 |
      static_cast<std::uint32_t>(P[2]) << 16 | static_cast<std::uint32_t>(P[3]) << 24);
}

// Makes the capacity of V exactly N (N >= size), shrinking if need be.
template <typename T>
void SetVectorCapacity(std::vector<T>& V, std::size_t N) {
  if (N > V.capacity()) {
    V.reserve(N);
  } else if (N < V.capacity()) {
    std::vector<T> Copy;
    Copy.reserve(N);
    Copy.assign(V.begin(), V.end());
    V.swap(Copy);
  }
}

bool IsUtf8Continuation(char C) {
  return (static_cast<std::uint8_t>(C) & 0xC0) == 0x80;
}

// Length of the UTF-8 sequence that Lead starts; 1 for anything that is not a lead byte.
std::size_t Utf8SequenceLength(char Lead) {
  const auto B = static_cast<std::uint8_t>(Lead);
  if (B >= 0xC0 && B <= 0xDF)
    return 2;
  if (B >= 0xE0 && B <= 0xEF)
    return 3;
  if (B >= 0xF0 && B <= 0xF7)
    return 4;
  return 1;
}

std::size_t DecimalLength(std::int32_t Value) {
  std::uint32_t Magnitude =
      Value < 0 ? 0u - static_cast<std::uint32_t>(Value) : static_cast<std::uint32_t>(Value);
  std::size_t Digits = 1;
  while (Magnitude >= 10) {
    Magnitude /= 10;
    ++Digits;
  }
  return Digits + (Value < 0 ? 1 : 0);
}

void AppendDecimal(std::string& Out, std::int32_t Value) {
  char Buffer[12];
  const auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  (void)Error;  // 12 characters always hold a 32-bit value
  Out.append(Buffer, End);
}

}  // namespace

void GetFileVersion(std::uint16_t& Major, std::uint16_t& Minor, std::uint16_t& Release,
                    std::uint16_t& Build) {
  // "0 + X + 0" is still an expression when CMake leaves a version part empty.
  Major = static_cast<std::uint16_t>(0 + PELMAR_VERSION_MAJOR + 0);
  Minor = static_cast<std::uint16_t>(0 + PELMAR_VERSION_MINOR + 0);
  Release = static_cast<std::uint16_t>(0 + PELMAR_VERSION_RELEASE + 0);
  Build = static_cast<std::uint16_t>(0 + PELMAR_VERSION_BUILD + 0);
}

void SetThreadName(const std::string& Name) {
  // The kernel refuses names of 16 bytes or more (the limit includes the terminating zero).
  const std::string Short = Utf8Truncate(Name, 15);
  pthread_setname_np(pthread_self(), Short.c_str());
}

std::vector<std::string> SplitString(const std::string& Separator, const std::string& Text) {
  std::vector<std::string> Parts;
  if (Text.empty())
    return Parts;
  if (Separator.empty()) {
    Parts.push_back(Text);
    return Parts;
  }
  std::size_t Start = 0;
  for (std::size_t Pos = Text.find(Separator); Pos != std::string::npos;
       Pos = Text.find(Separator, Start)) {
    Parts.push_back(Text.substr(Start, Pos - Start));
    Start = Pos + Separator.size();
  }
  Parts.push_back(Text.substr(Start));
  return Parts;
}

void SetIfChanged(bool& Changed, double& Target, double NewValue) {
  if (std::isunordered(Target, NewValue))
    return;
  if (Target != NewValue) {
    Target = NewValue;
    Changed = true;
  }
}

void SetIfChanged(bool& Changed, std::uint8_t& Target, std::uint8_t NewValue) {
  if (Target != NewValue) {
    Target = NewValue;
    Changed = true;
  }
}

void SetIfChanged(bool& Changed, std::int32_t& Target, std::int32_t NewValue) {
  if (Target != NewValue) {
    Target = NewValue;
    Changed = true;
  }
}

bool SameText(const std::string& A, const std::string& B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(), [](unsigned char X, unsigned char Y) {
           return std::toupper(X) == std::toupper(Y);
         });
}

std::string Utf8Truncate(const std::string& Text, std::size_t MaxBytes) {
  if (Text.size() <= MaxBytes)
    return Text;
  // The byte at MaxBytes is the first one left out. When it continues a character, that
  // character began at most three bytes earlier and is dropped whole. Malformed text is cut at
  // MaxBytes as it is.
  std::size_t Cut = MaxBytes;
  if (IsUtf8Continuation(Text[MaxBytes])) {
    std::size_t Lead = MaxBytes;
    while (Lead > 0 && MaxBytes - Lead < 3 && IsUtf8Continuation(Text[Lead]))
      --Lead;
    if (!IsUtf8Continuation(Text[Lead]) && Lead + Utf8SequenceLength(Text[Lead]) > MaxBytes)
      Cut = Lead;
  }
  return Text.substr(0, Cut);
}

TVariant StrToVarLimited(const std::string& Text, int MaxLength) {
  if (Text.empty())
    return TVariant::Null();
  // Database columns count characters, and the text is UTF-8: keep MaxLength characters, that
  // is everything before the lead byte of character MaxLength + 1.
  const std::size_t Limit = static_cast<std::size_t>(std::max(MaxLength, 0));
  std::size_t Characters = 0;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    if (!IsUtf8Continuation(Text[I]) && Characters++ == Limit)
      return TVariant(Text.substr(0, I));
  }
  return TVariant(Text);
}

// ---------------------------------------------------------------------------------------------
// TDebugCriticalSection

void TDebugCriticalSection::Acquire(const std::string& Name) {
  if (!OnDebug) {
    FMutex.lock();
    return;
  }
  std::uint32_t WaitStart;
  try {
    OnDebug(0, Name, FWaiting.fetch_add(1) + 1, 0);
    WaitStart = GetTickCount();
  } catch (...) {
    FWaiting.fetch_sub(1);
    throw;
  }
  FMutex.lock();
  FAcquiredAt = GetTickCount();
  const std::int32_t Waiting = FWaiting.fetch_sub(1) - 1;
  try {
    OnDebug(1, Name, Waiting, WaitStart);
  } catch (...) {
    // A failed Acquire must not leave the lock held: the caller will not release it.
    FMutex.unlock();
    throw;
  }
}

void TDebugCriticalSection::Release(const std::string& Name) {
  if (OnDebug) {
    try {
      OnDebug(2, Name, FWaiting.load(), FAcquiredAt);
    } catch (...) {
      FMutex.unlock();
      throw;
    }
  }
  FMutex.unlock();
}

bool TDebugCriticalSection::try_lock() {
  if (!FMutex.try_lock())
    return false;
  if (OnDebug) {
    FAcquiredAt = GetTickCount();
    try {
      OnDebug(1, "", FWaiting.load(), FAcquiredAt);
    } catch (...) {
      FMutex.unlock();
      throw;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// TCriticalSectionGuard

TCriticalSectionGuard::~TCriticalSectionGuard() noexcept(false) {
  if (!FHeld)
    return;
  if (std::uncaught_exceptions() > FUncaught) {
    try {
      FSection.Release(FName);
    } catch (...) {
      // Unwinding already: the exception in flight is the one the caller must see.
    }
    return;
  }
  FSection.Release(FName);
}

void TCriticalSectionGuard::Release(const std::string& Name) {
  if (!FHeld)
    throw EBugCheckError("TCriticalSectionGuard released twice");
  FHeld = false;  // Release frees the section even when its trace handler raises
  FSection.Release(Name);
}

// ---------------------------------------------------------------------------------------------
// TIntegerList

TIntegerList::TIntegerList(bool Sorted, TDuplicates Duplicates)
    : FDuplicates(Duplicates), FSorted(Sorted) {}

std::int32_t TIntegerList::GetCapacity() const {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(FList.capacity(), std::numeric_limits<std::int32_t>::max()));
}

std::int32_t TIntegerList::GetCount() const {
  return static_cast<std::int32_t>(FList.size());
}

void TIntegerList::CheckIndex(std::int32_t Index) const {
  if (Index < 0 || Index >= GetCount())
    throw EListError(Format("List index out of bounds (%d)", Index));
}

std::int32_t TIntegerList::Get(std::int32_t Index) const {
  CheckIndex(Index);
  return FList[Index];
}

std::string TIntegerList::GetText() const {
  return GetDelimitedText("\r\n", true);
}

void TIntegerList::InsertItem(std::int32_t Index, std::int32_t Value) {
  if (Index < 0 || Index > GetCount())
    throw EListError(Format("List index out of bounds (%d)", Index));
  FList.insert(FList.begin() + Index, Value);
}

TDuplicates TIntegerList::GetDuplicates() const {
  return FDuplicates;
}

bool TIntegerList::GetSorted() const {
  return FSorted;
}

void TIntegerList::SetCapacity(std::int32_t N) {
  if (N < GetCount())
    throw EListError(Format("List capacity out of bounds (%d)", N));
  SetVectorCapacity(FList, static_cast<std::size_t>(N));
}

void TIntegerList::SetCount(std::int32_t N) {
  if (N < 0)
    throw EListError(Format("List count out of bounds (%d)", N));
  FList.resize(static_cast<std::size_t>(N), 0);
}

void TIntegerList::SetDuplicates(TDuplicates Value) {
  FDuplicates = Value;
}

void TIntegerList::Put(std::int32_t Index, std::int32_t Value) {
  CheckIndex(Index);
  FList[Index] = Value;
}

void TIntegerList::SetSorted(bool Value) {
  if (Value == FSorted)
    return;
  if (Value)
    Sort();
  FSorted = Value;
}

void TIntegerList::SetText(const std::string& Text) {
  Clear();
  const std::string_view View(Text);
  std::size_t P = 0;
  while (P < View.size()) {
    const std::size_t Start = P;
    while (P < View.size() && View[P] != '\r' && View[P] != '\n')
      ++P;
    Add(StrToInt(View.substr(Start, P - Start)));
    if (P < View.size() && View[P] == '\r')
      ++P;
    if (P < View.size() && View[P] == '\n')
      ++P;
  }
}

bool TIntegerList::AddPosition(std::int32_t Value, std::int32_t& Index) const {
  if (!FSorted) {
    Index = GetCount();
    return true;
  }
  if (Find(Value, Index)) {
    switch (FDuplicates) {
      case dupIgnore:
        return false;
      case dupError:
        // 32-bit hexadecimal, as the value is stored (-1 gives $0FFFFFFFF).
        throw EListError(
            Format("List does not allow duplicates ($0%x)", static_cast<std::uint32_t>(Value)));
      case dupAccept:
        break;
    }
  }
  return true;
}

std::int32_t TIntegerList::Add(std::int32_t Value) {
  std::int32_t Index;
  if (AddPosition(Value, Index))
    InsertItem(Index, Value);
  return Index;
}

void TIntegerList::AddIntegers(const TIntegerList& Other) {
  const std::int32_t OtherCount = Other.GetCount();
  const std::int64_t Total = std::int64_t{GetCount()} + OtherCount;
  if (Total > GetCapacity() && Total <= std::numeric_limits<std::int32_t>::max())
    SetCapacity(static_cast<std::int32_t>(Total));
  // OtherCount is taken first so that adding a list to itself doubles it once.
  for (std::int32_t I = 0; I < OtherCount; ++I)
    Add(Other.Get(I));
}

void TIntegerList::Assign(const TIntegerList& Other) {
  // Clearing a list assigned to itself would lose its contents.
  if (&Other == this)
    return;
  Clear();
  AddIntegers(Other);
}

void TIntegerList::Clear() {
  FList.clear();
  FList.shrink_to_fit();
}

void TIntegerList::Delete(std::int32_t Index) {
  CheckIndex(Index);
  FList.erase(FList.begin() + Index);
}

std::size_t TIntegerList::BufferSize() const {
  return 4 + 4 * FList.size();
}

std::uint8_t* TIntegerList::SaveToBuffer(std::uint8_t* P) const {
  PutInt32(P, GetCount());
  P += 4;
  for (std::int32_t Value : FList) {
    PutInt32(P, Value);
    P += 4;
  }
  return P;
}

std::int32_t TIntegerList::AddUnique(std::int32_t Value) {
  const std::int32_t Index = IndexOf(Value);
  return Index >= 0 ? Index : Add(Value);
}

void TIntegerList::Exchange(std::int32_t I, std::int32_t J) {
  CheckIndex(I);
  CheckIndex(J);
  std::swap(FList[I], FList[J]);
}

bool TIntegerList::Find(std::int32_t Value, std::int32_t& Index) const {
  if (!FSorted)
    throw EAssertionFailed(
        Format("Find only works on sorted lists! (%s, line %d)", "Utilities.cpp", __LINE__));
  std::int32_t L = 0;
  std::int32_t H = GetCount() - 1;
  bool Result = false;
  while (L <= H) {
    const std::int32_t I = L + (H - L) / 2;
    const int C = CompareInt(FList[I], Value);
    if (C < 0) {
      L = I + 1;
    } else {
      H = I - 1;
      if (C == 0) {
        Result = true;
        // Under dupAccept the search goes on to the left for the first equal value.
        if (FDuplicates != dupAccept)
          L = I;
      }
    }
  }
  Index = L;
  return Result;
}

std::int32_t TIntegerList::First() const {
  return Get(0);
}

void TIntegerList::Insert(std::int32_t Index, std::int32_t Value) {
  if (FSorted)
    throw EListError("Cannot insert element in sorted list.");
  InsertItem(Index, Value);
}

std::int32_t TIntegerList::Last() const {
  return Get(GetCount() - 1);
}

bool TIntegerList::LoadFromStream(std::istream& Stream) {
  Clear();
  std::uint8_t Bytes[4];
  for (;;) {
    Stream.read(reinterpret_cast<char*>(Bytes), sizeof Bytes);
    const std::streamsize Got = Stream.gcount();
    if (Got != sizeof Bytes)
      return Got == 0;
    Add(GetInt32(Bytes));
  }
}

void TIntegerList::Move(std::int32_t From, std::int32_t To) {
  if (FSorted)
    throw EListError("Cannot move elements in sorted list.");
  CheckIndex(From);
  CheckIndex(To);
  if (From < To)
    std::rotate(FList.begin() + From, FList.begin() + From + 1, FList.begin() + To + 1);
  else if (From > To)
    std::rotate(FList.begin() + To, FList.begin() + From, FList.begin() + From + 1);
}

std::int32_t TIntegerList::Remove(std::int32_t Value) {
  const std::int32_t Index = IndexOf(Value);
  if (Index >= 0)
    Delete(Index);
  return Index;
}

const std::uint8_t* TIntegerList::LoadFromBuffer(const std::uint8_t* P, const std::uint8_t* End) {
  const std::ptrdiff_t Available = End - P;
  if (Available < 4)
    throw EListError(Format("Integer list buffer too short for its count (%d bytes)",
                            static_cast<std::int64_t>(Available)));
  const std::int32_t N = GetInt32(P);
  P += 4;
  if (N < 0)
    throw EListError(Format("Integer list count out of bounds (%d)", N));
  if (std::int64_t{N} * 4 > Available - 4)
    throw EListError(Format("Integer list count (%d) exceeds the %d bytes given", N,
                            static_cast<std::int64_t>(Available - 4)));
  const std::int64_t Total = std::int64_t{GetCount()} + N;
  if (Total > GetCapacity() && Total <= std::numeric_limits<std::int32_t>::max())
    SetCapacity(static_cast<std::int32_t>(Total));
  for (std::int32_t I = 0; I < N; ++I) {
    Add(GetInt32(P));
    P += 4;
  }
  return P;
}

void TIntegerList::SaveToStream(std::ostream& Stream) const {
  std::uint8_t Bytes[4];
  for (std::int32_t Value : FList) {
    PutInt32(Bytes, Value);
    Stream.write(reinterpret_cast<const char*>(Bytes), sizeof Bytes);
  }
}

std::int32_t TIntegerList::IndexOf(std::int32_t Value) const {
  if (FSorted) {
    std::int32_t Index;
    return Find(Value, Index) ? Index : -1;
  }
  const auto It = std::find(FList.begin(), FList.end(), Value);
  return It == FList.end() ? -1 : static_cast<std::int32_t>(It - FList.begin());
}

void TIntegerList::Sort() {
  if (!FSorted && GetCount() > 1)
    QuickSort(0, GetCount() - 1);
}

void TIntegerList::QuickSort(std::int32_t L, std::int32_t R) {
  // Entries move only through Exchange, so that a derived list can carry its own data along.
  // The pivot is compared by position, and that position follows the pivot when it is
  // exchanged away.
  std::int32_t I;
  do {
    I = L;
    std::int32_t J = R;
    std::int32_t Pivot = L + (R - L) / 2;
    do {
      while (CompareInt(FList[I], FList[Pivot]) < 0)
        ++I;
      while (CompareInt(FList[J], FList[Pivot]) > 0)
        --J;
      if (I <= J) {
        if (I != J)
          Exchange(I, J);
        if (Pivot == I)
          Pivot = J;
        else if (Pivot == J)
          Pivot = I;
        ++I;
        --J;
      }
    } while (I <= J);
    if (L < J)
      QuickSort(L, J);
    L = I;
  } while (I < R);
}

std::string TIntegerList::GetDelimitedText(const std::string& Delimiter,
                                           bool TrailingDelimiter) const {
  std::string Result;
  if (FList.empty())
    return Result;
  std::size_t Size = Delimiter.size() * (FList.size() - (TrailingDelimiter ? 0 : 1));
  for (std::int32_t Value : FList)
    Size += DecimalLength(Value);
  Result.reserve(Size);
  for (std::size_t I = 0; I < FList.size(); ++I) {
    AppendDecimal(Result, FList[I]);
    if (TrailingDelimiter || I + 1 < FList.size())
      Result += Delimiter;
  }
  return Result;
}

// ---------------------------------------------------------------------------------------------
// TIndexedObjectList

TIndexedObjectList::TIndexedObjectList(bool Sorted, TDuplicates Duplicates)
    : TIntegerList(Sorted, Duplicates) {}

void TIndexedObjectList::InsertBoth(std::int32_t Index, std::int32_t Value, void* Obj) {
  TIntegerList::InsertItem(Index, Value);  // checks Index
  try {
    FObjects.insert(FObjects.begin() + Index, Obj);
  } catch (...) {
    TIntegerList::Delete(Index);
    throw;
  }
}

void TIndexedObjectList::InsertItem(std::int32_t Index, std::int32_t Value) {
  InsertBoth(Index, Value, nullptr);
}

void TIndexedObjectList::SetCapacity(std::int32_t N) {
  TIntegerList::SetCapacity(N);
  SetVectorCapacity(FObjects, static_cast<std::size_t>(N));
}

void TIndexedObjectList::SetCount(std::int32_t N) {
  TIntegerList::SetCount(N);
  FObjects.resize(static_cast<std::size_t>(N), nullptr);
}

std::int32_t TIndexedObjectList::Add(std::int32_t Value) {
  return AddObject(Value, nullptr);
}

void TIndexedObjectList::Clear() {
  TIntegerList::Clear();
  FObjects.clear();
  FObjects.shrink_to_fit();
}

void TIndexedObjectList::Delete(std::int32_t Index) {
  TIntegerList::Delete(Index);
  FObjects.erase(FObjects.begin() + Index);
}

void TIndexedObjectList::Exchange(std::int32_t I, std::int32_t J) {
  TIntegerList::Exchange(I, J);
  std::swap(FObjects[I], FObjects[J]);
}

void TIndexedObjectList::Move(std::int32_t From, std::int32_t To) {
  TIntegerList::Move(From, To);  // checks order and indexes before anything moves
  if (From < To)
    std::rotate(FObjects.begin() + From, FObjects.begin() + From + 1, FObjects.begin() + To + 1);
  else if (From > To)
    std::rotate(FObjects.begin() + To, FObjects.begin() + From, FObjects.begin() + From + 1);
}

std::int32_t TIndexedObjectList::AddObject(std::int32_t Value, void* Obj) {
  std::int32_t Index;
  if (AddPosition(Value, Index))
    InsertBoth(Index, Value, Obj);
  return Index;
}

void TIndexedObjectList::InsertObject(std::int32_t Index, std::int32_t Value, void* Obj) {
  if (GetSorted())
    throw EListError("Cannot insert element in sorted list.");
  InsertBoth(Index, Value, Obj);
}

bool TIndexedObjectList::FindObject(std::int32_t Value, void*& Obj) const {
  std::int32_t Index;
  const bool Found = Find(Value, Index);
  Obj = Found ? FObjects[Index] : nullptr;
  return Found;
}

void* TIndexedObjectList::GetObject(std::int32_t Index) const {
  CheckIndex(Index);
  return FObjects[Index];
}

}  // namespace pelmar
