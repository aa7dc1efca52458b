// What every unit shares: the error classes that tell handlers how serious a failure is, a
// critical section that can report its waits, sorted integer lists, tick helpers and small
// conversions.
#pragma once

#include <cstdint>

#include "Clock.h"
#include "Exception.h"
#include "Format.h"

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

// Milliseconds from Start to the current tick, modulo 2^32: a counter wrap between the two
// readings still gives the true small difference.
inline std::uint32_t TicksSince(std::uint32_t Start) { return GetTickCount() - Start; }

// True when strictly more than Interval ms have passed since Start.
inline bool TimeElapsed(std::uint32_t Start, std::uint32_t Interval) {
  return TicksSince(Start) > Interval;
}

}  // namespace pelmar
