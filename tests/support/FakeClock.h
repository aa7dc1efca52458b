// A clock that moves only when the test says so. Installing it replaces the process clock until
// the object is destroyed.
#pragma once

#include <atomic>
#include <cstdint>

#include "Clock.h"

namespace pelmar::test {

class TFakeClock : public TClock {
 public:
  explicit TFakeClock(std::uint32_t StartTick = 1000000, TDateTime StartTime = 46000.5);
  ~TFakeClock() override;
  TFakeClock(const TFakeClock&) = delete;
  TFakeClock& operator=(const TFakeClock&) = delete;

  std::uint32_t Ticks() override { return FTicks.load(); }
  TDateTime Now() override { return FNow.load(); }
  // Advances the clock by the time asked for instead of waiting.
  void Sleep(std::uint32_t Milliseconds) override { Advance(Milliseconds); }

  // Moves ticks and local time forward; the tick counter wraps modulo 2^32.
  void Advance(std::uint32_t Milliseconds);
  void SetTicks(std::uint32_t Value) { FTicks.store(Value); }

 private:
  std::atomic<std::uint32_t> FTicks;
  std::atomic<TDateTime> FNow;
};

}  // namespace pelmar::test
