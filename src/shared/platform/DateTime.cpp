#include "DateTime.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace pelmar {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's civil algorithm).
std::int64_t DaysFromCivil(std::int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const std::int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
  const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + static_cast<std::int64_t>(Doe) - 719468;
}

void CivilFromDays(std::int64_t Z, int& Year, int& Month, int& Day) {
  Z += 719468;
  const std::int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const unsigned Doe = static_cast<unsigned>(Z - Era * 146097);
  const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const unsigned Mp = (5 * Doy + 2) / 153;
  Day = static_cast<int>(Doy - (153 * Mp + 2) / 5 + 1);
  Month = static_cast<int>(Mp < 10 ? Mp + 3 : Mp - 9);
  Year = static_cast<int>(static_cast<std::int64_t>(Yoe) + Era * 400 + (Month <= 2));
}

}  // namespace

TDateTime EncodeDate(int Year, int Month, int Day) {
  return static_cast<double>(
             DaysFromCivil(Year, static_cast<unsigned>(Month), static_cast<unsigned>(Day))) +
         UnixDateDelta;
}

TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second,
                         int Milli) {
  double Fraction = (((Hour * 60.0 + Minute) * 60.0 + Second) * 1000.0 + Milli) / 86400000.0;
  return EncodeDate(Year, Month, Day) + Fraction;
}

void DecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Minute,
                    int& Second, int& Milli) {
  // Work in whole milliseconds so that 23:59:59.9995 rounds into the next day consistently.
  auto TotalMs = static_cast<std::int64_t>(std::llround(Value * 86400000.0));
  std::int64_t Days = TotalMs / 86400000;
  std::int64_t Ms = TotalMs % 86400000;
  if (Ms < 0) {
    Ms += 86400000;
    --Days;
  }
  CivilFromDays(Days - static_cast<std::int64_t>(UnixDateDelta), Year, Month, Day);
  Hour = static_cast<int>(Ms / 3600000);
  Minute = static_cast<int>(Ms / 60000 % 60);
  Second = static_cast<int>(Ms / 1000 % 60);
  Milli = static_cast<int>(Ms % 1000);
}

TDateTime UnixToDateTime(std::time_t Seconds, int Milli, bool Local) {
  std::tm Tm{};
  if (Local)
    localtime_r(&Seconds, &Tm);
  else
    gmtime_r(&Seconds, &Tm);
  return EncodeDateTime(Tm.tm_year + 1900, Tm.tm_mon + 1, Tm.tm_mday, Tm.tm_hour, Tm.tm_min,
                        Tm.tm_sec, Milli);
}

std::string DateTimeToStr(TDateTime Value) {
  int Y, Mo, D, H, Mi, S, Ms;
  DecodeDateTime(Value, Y, Mo, D, H, Mi, S, Ms);
  char Text[40];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", Y, Mo, D, H, Mi, S, Ms);
  return Text;
}

}  // namespace pelmar
