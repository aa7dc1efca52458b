// The process's clock: the 32-bit millisecond tick counter, the local date-time and sleeping.
// Everything that measures time goes through the current TClock, so that tests can install a
// fake one and advance it instead of waiting.
#pragma once

#include <cstdint>

#include "DateTime.h"

namespace pelmar {

class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds since an arbitrary start, modulo 2^32.
  virtual std::uint32_t Ticks() = 0;
  // Local date and time.
  virtual TDateTime Now() = 0;
  virtual void Sleep(std::uint32_t Milliseconds) = 0;
};

// The operating system's clock: CLOCK_MONOTONIC in ms, the local time of day, nanosleep.
class TSystemClock : public TClock {
 public:
  std::uint32_t Ticks() override;
  TDateTime Now() override;
  void Sleep(std::uint32_t Milliseconds) override;
};

// The clock in force. Never null; the system clock unless a test installed another.
TClock& Clock();
// Installs Value (not owned; nullptr restores the system clock). Tests only, before the threads
// that read the clock start.
void SetClock(TClock* Value);

inline std::uint32_t GetTickCount() {
  return Clock().Ticks();
}
inline TDateTime Now() {
  return Clock().Now();
}
inline void Sleep(std::uint32_t Milliseconds) {
  Clock().Sleep(Milliseconds);
}

}  // namespace pelmar
