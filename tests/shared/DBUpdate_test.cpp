#include "DBUpdate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Exception.h"
#include "Hex.h"

namespace pelmar {
namespace {

using test::Bytes;

TVersion DateVersion(TDateTime D) {
  TVersion V;
  V.Date = D;
  return V;
}

TEST(DBUpdateDateTest, ServiceVersionIsTheFourthOfJanuary2015) {
  EXPECT_EQ(42008.0, EncodeDate(2015, 1, 4));
}

TEST(DBUpdateDateTest, DatabaseVersionIsComparedByWholeDays) {
  const TDateTime Expected = EncodeDate(2015, 1, 4);
  struct {
    TDateTime Reported;
    int Want;
  } Cases[] = {
      {EncodeDateTime(2015, 1, 4, 0, 0, 0, 0), 0},
      {EncodeDateTime(2015, 1, 4, 13, 45, 10, 500), 0},
      {EncodeDateTime(2015, 1, 4, 23, 59, 59, 999), 0},
      {EncodeDateTime(2015, 1, 3, 23, 59, 59, 999), 1},  // the database is older
      {EncodeDate(2015, 1, 5), -1},                      // the database is newer
      {EncodeDate(2020, 6, 1), -1},
  };
  for (const auto& C : Cases) {
    TDBUpdateDate Update;
    Update.SetLastKnownDBVersion(Expected);
    Update.OnCheckVersion = [&](TDateTime& V) { V = C.Reported; };
    EXPECT_EQ(C.Want, Update.CompareWithDatabase()) << DateTimeToStr(C.Reported);
    EXPECT_EQ(C.Reported, Update.CurrentVersion().Date);
    EXPECT_EQ(vkDate, Update.CurrentVersion().Kind);
  }
}

TEST(DBUpdateDateTest, SettingTheExpectedVersionMakesItADate) {
  TDBUpdateDate Update;
  Update.SetLastKnownDBVersion(42008.75);
  EXPECT_EQ(42008.75, Update.LastKnownDBVersion());
  EXPECT_EQ(vkDate, Update.LastKnownVersion().Kind);
}

TEST(DBUpdateDateTest, MissingHandlerOrVersionRaisesGeneralExceptions) {
  TDBUpdateDate Update;
  Update.SetLastKnownDBVersion(42008);
  try {
    Update.CompareWithDatabase();
    FAIL() << "no exception";
  } catch (const Exception& E) {
    EXPECT_STREQ("Exception", E.ClassName());
    EXPECT_EQ("OnGetVersion event not assigned!", E.Message());
  }
  // A database without a version row: the handler leaves the date at 0, every time.
  Update.OnCheckVersion = [](TDateTime&) {};
  for (int Attempt = 0; Attempt < 2; ++Attempt) {
    try {
      Update.CompareWithDatabase();
      FAIL() << "no exception";
    } catch (const Exception& E) {
      EXPECT_STREQ("Exception", E.ClassName());
      EXPECT_EQ("CurrentVersion not assigned!", E.Message());
    }
  }
}

TEST(DBUpdateDateTest, EachCheckStartsFromAnEmptyCurrentVersion) {
  TDBUpdateDate Update;
  Update.SetLastKnownDBVersion(42008);
  TDateTime Seen = -1;
  Update.OnCheckVersion = [&](TDateTime& V) {
    Seen = V;
    V = 42008;
  };
  Update.CompareWithDatabase();
  Update.CompareWithDatabase();
  EXPECT_EQ(0.0, Seen);
}

TEST(CustomDBUpdateTest, CompareVersionsOfEachKind) {
  TDBUpdateDate U;
  TVersion N1, N2, T1, T2;
  N1.Kind = N2.Kind = vkNumber;
  N1.Number = 3;
  N2.Number = 10;
  T1.Kind = T2.Kind = vkText;
  T1.Text = "1.2";
  T2.Text = "1.3";
  EXPECT_EQ(-1, U.CompareVersions(N1, N2));
  EXPECT_EQ(1, U.CompareVersions(N2, N1));
  EXPECT_EQ(0, U.CompareVersions(N1, N1));
  EXPECT_EQ(-1, U.CompareVersions(T1, T2));
  EXPECT_EQ(0, U.CompareVersions(DateVersion(100.1), DateVersion(100.9)));
  EXPECT_THROW(U.CompareVersions(N1, T1), Exception);
}

TEST(UpdateScriptListTest, StoredEmptyListReadsAsEmpty) {
  TDBUpdateDate U;
  EXPECT_EQ(Bytes("FF FF FF FF 00 00 00 00"),
            std::vector<std::uint8_t>(EmptyScriptList.begin(), EmptyScriptList.end()));
  U.ReadScripts(EmptyScriptList.data(), EmptyScriptList.size());
  EXPECT_TRUE(U.UpdateScripts().empty());
}

// One script from version "a" (number 1, date 42000) to "" (number 2, date 42008).
const char* const OneScript =
    "FF FF FF FF 01 00 00 00"
    " 01 00 00 00 61  01 00 00 00  00 00 00 00 00 82 E4 40"
    " 00 00 00 00     02 00 00 00  00 00 00 00 00 83 E4 40"
    " 1A 00 00 00"
    " 41 4C 54 45 52 20 54 41 42 4C 45 20 58 3B 0D 0A 43 4F 4D 4D 49 54 3B 0D 0A 78";

TEST(UpdateScriptListTest, ScriptsReadWithDateVersions) {
  TDBUpdateDate U;
  std::vector<std::uint8_t> Data = Bytes(OneScript);
  U.ReadScripts(Data.data(), Data.size());
  ASSERT_EQ(1u, U.UpdateScripts().size());
  const TUpdateScript& S = U.UpdateScripts()[0];
  EXPECT_EQ("a", S.FromVersion.Text);
  EXPECT_EQ(1, S.FromVersion.Number);
  EXPECT_EQ(42000.0, S.FromVersion.Date);
  EXPECT_EQ(vkDate, S.FromVersion.Kind);
  EXPECT_EQ(42008.0, S.ToVersion.Date);
  EXPECT_EQ(vkDate, S.ToVersion.Kind);
  EXPECT_EQ((std::vector<std::string>{"ALTER TABLE X;", "COMMIT;", "x"}), S.Script);
}

TEST(UpdateScriptListTest, MalformedStoredListsAreRefusedAndLeaveTheListAlone) {
  const std::string Good = OneScript;
  struct {
    const char* What;
    std::string Hex;
  } Cases[] = {
      {"empty", ""},
      {"marker only", "FF FF FF FF"},
      {"wrong marker", "00 00 00 00 00 00 00 00"},
      {"negative count", "FF FF FF FF FF FF FF FF"},
      {"count beyond the data", "FF FF FF FF FF FF FF 7F"},
      {"truncated script", Good.substr(0, Good.size() - 6)},
      {"negative text length", "FF FF FF FF 01 00 00 00 FE FF FF FF" + std::string(120, ' ') +
                                   " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                   " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
      {"text longer than the data",
       "FF FF FF FF 01 00 00 00 00 00 00 10"
       " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
       " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
  };
  for (const auto& C : Cases) {
    TDBUpdateDate U;
    std::vector<std::uint8_t> Data = Bytes(OneScript);
    U.ReadScripts(Data.data(), Data.size());
    std::vector<std::uint8_t> Bad = Bytes(C.Hex);
    EXPECT_THROW(U.ReadScripts(Bad.data(), Bad.size()), EStreamError) << C.What;
    EXPECT_EQ(1u, U.UpdateScripts().size()) << C.What;
  }
}

}  // namespace
}  // namespace pelmar
