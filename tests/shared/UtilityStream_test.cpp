#include "UtilityStream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Exception.h"
#include "Hex.h"

// Under AddressSanitizer an impossible allocation must fail as it does in the plain build,
// instead of aborting the test.
extern "C" __attribute__((used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace pelmar {
namespace {

using pelmar::test::ToHex;

std::string Content(const TPelmarMemoryStream& S) {
  return ToHex(S.Memory(), static_cast<size_t>(S.Size()));
}

std::string ReadAll(TStream& S, std::int32_t Count) {
  std::string Out(static_cast<size_t>(Count), '\0');
  Out.resize(static_cast<size_t>(S.Read(Out.data(), Count)));
  return Out;
}

TEST(PelmarMemoryStream, CapacityGrowsIn8KSteps) {
  struct {
    const char* Name;
    std::vector<std::int64_t> Sizes;  // SetSize calls in order
    std::int64_t WantCapacity;
  } Cases[] = {
      {"empty", {}, 0},
      {"1 byte", {1}, 8192},
      {"one step", {8192}, 8192},
      {"one byte over", {8193}, 16384},
      {"shrink keeps the rounding", {20000, 100}, 8192},
      {"size set again to itself is exact", {100, 100}, 100},
      {"zero releases", {20000, 0}, 0},
  };
  for (const auto& C : Cases) {
    TPelmarMemoryStream S;
    for (std::int64_t N : C.Sizes)
      S.SetSize(N);
    EXPECT_EQ(C.WantCapacity, S.Capacity()) << C.Name;
    EXPECT_EQ(C.WantCapacity == 0, S.Memory() == nullptr) << C.Name;
  }
}

TEST(PelmarMemoryStream, WritesGrowInSteps) {
  TPelmarMemoryStream S;
  std::vector<std::uint8_t> Data(8192, 0x11);
  EXPECT_EQ(100, S.Write(Data.data(), 100));
  EXPECT_EQ(8192, S.Capacity());
  EXPECT_EQ(8092, S.Write(Data.data(), 8092));
  EXPECT_EQ(8192, S.Capacity());
  EXPECT_EQ(1, S.Write(Data.data(), 1));
  EXPECT_EQ(16384, S.Capacity());
  EXPECT_EQ(8193, S.Size());
  EXPECT_EQ(8193, S.Position());
}

TEST(PelmarMemoryStream, ReadWriteSeek) {
  TPelmarMemoryStream S;
  EXPECT_EQ(3, S.Write("abc", 3));
  EXPECT_EQ(0, S.Seek(0, TSeekOrigin::soBeginning));
  EXPECT_EQ("ab", ReadAll(S, 2));
  EXPECT_EQ("c", ReadAll(S, 5));  // short at the end
  EXPECT_EQ("", ReadAll(S, 5));
  EXPECT_EQ(1, S.Seek(-2, TSeekOrigin::soCurrent));
  EXPECT_EQ("b", ReadAll(S, 1));
  EXPECT_EQ(2, S.Seek(-1, TSeekOrigin::soEnd));
  EXPECT_EQ(1, S.Write("Z", 1));  // overwrites inside
  EXPECT_EQ("61 62 5A", Content(S));

  // A write past the end leaves zeros in the gap.
  S.Seek(5, TSeekOrigin::soBeginning);
  EXPECT_EQ("", ReadAll(S, 1));
  EXPECT_EQ(1, S.Write("x", 1));
  EXPECT_EQ("61 62 5A 00 00 78", Content(S));

  // Nothing moves for counts up to 0 or a negative position.
  EXPECT_EQ(0, S.Write("x", 0));
  EXPECT_EQ(0, S.Write("x", -1));
  S.Seek(-1, TSeekOrigin::soBeginning);
  EXPECT_EQ(0, S.Write("x", 1));
  EXPECT_EQ("", ReadAll(S, 1));
  EXPECT_EQ(-1, S.Position());
  EXPECT_EQ("61 62 5A 00 00 78", Content(S));
}

TEST(PelmarMemoryStream, SetSize) {
  TPelmarMemoryStream S;
  S.Write("abcdef", 6);
  S.SetSize(2);  // the position follows the end back
  EXPECT_EQ(2, S.Position());
  EXPECT_EQ("61 62", Content(S));
  S.SetSize(4);  // grows with zeros, position stays
  EXPECT_EQ("61 62 00 00", Content(S));
  EXPECT_EQ(2, S.Position());
  EXPECT_THROW(S.SetSize(-1), EStreamError);
  EXPECT_EQ(4, S.Size());

  S.Clear();
  EXPECT_EQ(0, S.Size());
  EXPECT_EQ(0, S.Position());
  EXPECT_EQ(0, S.Capacity());
}

TEST(PelmarMemoryStream, WriteOfItsOwnBytesWhileGrowing) {
  TPelmarMemoryStream S;
  std::vector<std::uint8_t> Data(8192);
  for (size_t I = 0; I < Data.size(); ++I)
    Data[I] = static_cast<std::uint8_t>(I);
  S.Write(Data.data(), 8192);
  ASSERT_EQ(8192, S.Capacity());
  EXPECT_EQ(8192, S.Write(S.Memory(), 8192));  // the block moves under the source
  ASSERT_EQ(16384, S.Size());
  EXPECT_EQ(0, std::memcmp(S.Memory() + 8192, Data.data(), 8192));
}

TEST(PelmarMemoryStream, OutOfMemory) {
  const std::string Want = "Out of memory while expanding memory stream";
  TPelmarMemoryStream S;
  S.Write("abc", 3);
  try {
    S.SetSize(std::int64_t{1} << 50);
    FAIL() << "no error";
  } catch (const EStreamError& E) {
    EXPECT_EQ(Want, E.Message());
  }
  EXPECT_EQ("61 62 63", Content(S));
  EXPECT_EQ(8192, S.Capacity());

  // A position at the far end of the range cannot be written to.
  S.Seek(std::numeric_limits<std::int64_t>::max() - 1, TSeekOrigin::soBeginning);
  try {
    S.Write("ab", 2);
    FAIL() << "no error";
  } catch (const EStreamError& E) {
    EXPECT_EQ(Want, E.Message());
  }
  EXPECT_EQ(3, S.Size());
  EXPECT_THROW(S.Seek(10, TSeekOrigin::soCurrent), EStreamError);
}

}  // namespace
}  // namespace pelmar
