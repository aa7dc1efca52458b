#include "Format.h"

#include <gtest/gtest.h>

#include "Exception.h"

namespace pelmar {
namespace {

TEST(Format, Directives) {
  EXPECT_EQ("Connect retry count = 3", Format("Connect retry count = %d", 3));
  EXPECT_EQ("List does not allow duplicates ($0FF)",
            Format("List does not allow duplicates ($0%x)", 255));
  EXPECT_EQ("Ошибка при открытии порта 3: No such file",
            Format("Ошибка при открытии порта %d: %s", 3, std::string("No such file")));
  EXPECT_EQ("[  42|7   ] 100% -1 4294967295",
            Format("[%4d|%-4u] 100%% %d %u", 42, 7u, -1, 4294967295u));
  EXPECT_EQ("$0048 1.50 x", Format("$%.4x %.2f %c", 72, 1.5, 'x'));
  EXPECT_EQ("-9223372036854775808", Format("%d", INT64_MIN));
  EXPECT_EQ(std::string(300, 'a'), Format("%s", std::string(300, 'a')));
}

TEST(Format, MismatchRaisesInsteadOfReadingGarbage) {
  for (auto Call : {+[] { Format("%d"); }, +[] { Format("%s", 1); }, +[] { Format("%d", "x"); },
                    +[] { Format("%q", 1); }, +[] { Format("%", 1); }}) {
    EXPECT_THROW(Call(), EConvertError);
  }
}

TEST(StrToInt, AcceptsAndRejects) {
  struct Case {
    const char* Text;
    bool Valid;
    std::int64_t Value;
  } Cases[] = {
      {"0", true, 0},
      {"-12", true, -12},
      {"+7", true, 7},
      {"  5", true, 5},
      {"$FF", true, 255},
      {"0x1f", true, 31},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483648LL},
      {"2147483648", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {"12a", false, 0},
      {"1 2", false, 0},
      {"5 ", false, 0},
  };
  for (const auto& C : Cases) {
    if (C.Valid) {
      EXPECT_EQ(C.Value, StrToInt(C.Text)) << C.Text;
    } else {
      try {
        StrToInt(C.Text);
        ADD_FAILURE() << "accepted " << C.Text;
      } catch (const EConvertError& E) {
        EXPECT_EQ("'" + std::string(C.Text) + "' is not a valid integer value", E.Message());
      }
    }
  }
  EXPECT_THROW(StrToInt64("99999999999999999999"), EConvertError);
}

TEST(DigitsToUInt, WholeFieldOnly) {
  EXPECT_EQ(0x12B4u, HexToUInt("12b4"));
  EXPECT_EQ(0xFFFFFFFFu, HexToUInt("FFFFFFFF"));
  EXPECT_EQ(18u, DecToUInt("18"));
  for (const char* Bad : {"", " 1", "-1", "+1", "1G", "0x1", "123456789"})
    EXPECT_THROW(HexToUInt(Bad), EConvertError) << Bad;
  EXPECT_THROW(DecToUInt("1A"), EConvertError);
}

}  // namespace
}  // namespace pelmar
