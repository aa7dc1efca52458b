#include "DateTime.h"

#include <gtest/gtest.h>

namespace pelmar {
namespace {

TEST(DateTime, DaysSince18991230) {
  struct Case {
    int Y, M, D, H, N, S, Ms;
    double Want;
  } Cases[] = {
      {1899, 12, 30, 0, 0, 0, 0, 0.0},     {1900, 1, 1, 0, 0, 0, 0, 2.0},
      {1970, 1, 1, 0, 0, 0, 0, 25569.0},   {2015, 1, 4, 0, 0, 0, 0, 42008.0},
      {2000, 2, 29, 12, 0, 0, 0, 36585.5}, {1899, 12, 29, 0, 0, 0, 0, -1.0},
  };
  for (const auto& C : Cases) {
    TDateTime V = EncodeDateTime(C.Y, C.M, C.D, C.H, C.N, C.S, C.Ms);
    EXPECT_DOUBLE_EQ(C.Want, V) << C.Y << "-" << C.M << "-" << C.D;
    int Y, M, D, H, N, S, Ms;
    DecodeDateTime(V, Y, M, D, H, N, S, Ms);
    EXPECT_EQ(C.Y * 10000 + C.M * 100 + C.D, Y * 10000 + M * 100 + D);
    EXPECT_EQ(C.H * 3600 + C.N * 60 + C.S, H * 3600 + N * 60 + S);
  }
}

TEST(DateTime, MillisecondsSurvive) {
  TDateTime V = EncodeDateTime(2026, 12, 10, 23, 59, 59, 999);
  EXPECT_EQ("2026-12-10 23:59:59.999", DateTimeToStr(V));
  EXPECT_EQ("1970-01-01 00:00:01.250", DateTimeToStr(UnixToDateTime(1, 250, false)));
}

}  // namespace
}  // namespace pelmar
