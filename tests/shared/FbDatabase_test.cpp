#include "FbDatabase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmar {
namespace {

TEST(TranslateNamedParamsTest, NamesBecomeMarkersOutsideQuotesAndComments) {
  struct {
    std::string Sql;
    std::string Want;
    std::vector<std::string> Names;
  } Cases[] = {
      {"SELECT ID FROM T WHERE ID = :ID", "SELECT ID FROM T WHERE ID = ?", {"ID"}},
      {"EXECUTE PROCEDURE P(   :A,   :b_2,   :C$)",
       "EXECUTE PROCEDURE P(   ?,   ?,   ?)",
       {"A", "B_2", "C$"}},
      {"UPDATE T SET X = :V WHERE Y = :V", "UPDATE T SET X = ? WHERE Y = ?", {"V", "V"}},
      {"VALUES (:OBJECT_ID, :STATUS, 'NOW')", "VALUES (?, ?, 'NOW')", {"OBJECT_ID", "STATUS"}},
      {"select rdb$set_context('USER_SESSION', :VAR, :USER_ID) from rdb$database",
       "select rdb$set_context('USER_SESSION', ?, ?) from rdb$database",
       {"VAR", "USER_ID"}},
      {"SELECT ':X', 'it''s :Y', \":Z\" FROM T", "SELECT ':X', 'it''s :Y', \":Z\" FROM T", {}},
      {"SELECT 1 -- :A\nFROM T /* :B */ WHERE C = :C",
       "SELECT 1 -- :A\nFROM T /* :B */ WHERE C = ?",
       {"C"}},
      {"SELECT q'{:A}' FROM T WHERE B = :B", "SELECT q'{:A}' FROM T WHERE B = ?", {"B"}},
      {"SELECT X FROM T WHERE A = ? AND B = :B",
       "SELECT X FROM T WHERE A = ? AND B = ?",
       {"", "B"}},
      {"SELECT :\"Mixed\" FROM T", "SELECT ? FROM T", {"Mixed"}},
      {"SELECT 1 FROM T WHERE A = :1", "SELECT 1 FROM T WHERE A = :1", {}},
      {"SELECT 'unterminated :A", "SELECT 'unterminated :A", {}},
  };
  for (const auto& C : Cases) {
    std::vector<std::string> Names;
    EXPECT_EQ(C.Want, TranslateNamedParams(C.Sql, Names)) << C.Sql;
    EXPECT_EQ(C.Names, Names) << C.Sql;
  }
}

TEST(QueryParamsTest, OneParameterPerDistinctNameFoundWithoutRegardToCase) {
  TQuery Q;
  Q.SetSQL("UPDATE T SET X = :Value, Y = :OTHER WHERE Z = :value");
  ASSERT_EQ(2, Q.ParamCount());
  EXPECT_EQ("VALUE", Q.Params(0).Name());
  EXPECT_EQ(&Q.Params(0), &Q.ParamByName("value"));
  EXPECT_EQ(&Q.Params(1), &Q.ParamByName("Other"));
  try {
    Q.ParamByName("MISSING");
    FAIL() << "no exception";
  } catch (const EDatabaseError& E) {
    EXPECT_EQ("Parameter \"MISSING\" not found", E.Message());
    EXPECT_STREQ("EDatabaseError", E.ClassName());
  }
}

TEST(QueryParamsTest, UsingAQueryWithoutTransactionIsADatabaseError) {
  TQuery Q;
  Q.SetSQL("SELECT 1 FROM RDB$DATABASE");
  EXPECT_THROW(Q.ExecQuery(), EDatabaseError);
  EXPECT_THROW(Q.Prepare(), EDatabaseError);
  EXPECT_FALSE(Q.Prepared());
}

TEST(FbDateTimeTest, ConversionsToAndFromTheClientLibrarysForm) {
  struct {
    TDateTime Value;
    std::int32_t Date;
    std::uint32_t Time;
  } Cases[] = {
      {0.0, 15018, 0},                            // 1899-12-30
      {42008.0, 15018 + 42008, 0},                // 2015-01-04
      {42008.5, 15018 + 42008, 432000000},        // noon
      {42008.0 + 0.999999999, 15018 + 42009, 0},  // rounds up to the next midnight
      {EncodeDateTime(2015, 1, 4, 8, 0, 0, 1), 15018 + 42008, 288000010},
  };
  for (const auto& C : Cases) {
    std::int32_t D;
    std::uint32_t T;
    DateTimeToFb(C.Value, D, T);
    EXPECT_EQ(C.Date, D) << C.Value;
    EXPECT_EQ(C.Time, T) << C.Value;
    EXPECT_NEAR(C.Value, FbToDateTime(D, T), 1e-8) << C.Value;
  }
}

}  // namespace
}  // namespace pelmar
