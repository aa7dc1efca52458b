// Date-time as days since 30 December 1899 (integer part) plus the fraction of the day, the
// form the system's records and database exchange.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace pelmar {

using TDateTime = double;

// Seconds from 1899-12-30 to the Unix epoch: 25569 days.
constexpr double UnixDateDelta = 25569.0;

TDateTime EncodeDate(int Year, int Month, int Day);
TDateTime EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second, int Milli);
void DecodeDateTime(TDateTime Value, int& Year, int& Month, int& Day, int& Hour, int& Minute,
                    int& Second, int& Milli);
// Unix time (seconds, milliseconds) to a date-time, as local time when Local, else UTC.
TDateTime UnixToDateTime(std::time_t Seconds, int Milli, bool Local);
// "YYYY-MM-DD hh:mm:ss.zzz".
std::string DateTimeToStr(TDateTime Value);

}  // namespace pelmar
