#include "Clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace pelmar {

std::uint32_t TSystemClock::Ticks() {
  // The coarse clock costs a few nanoseconds and ticks every few milliseconds, finer than the
  // tick counter the time-outs were designed for; the decoder reads it for every byte.
  timespec Ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &Ts);
  auto Ms = static_cast<std::uint64_t>(Ts.tv_sec) * 1000u +
            static_cast<std::uint64_t>(Ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(Ms);
}

TDateTime TSystemClock::Now() {
  timespec Ts{};
  clock_gettime(CLOCK_REALTIME, &Ts);
  return UnixToDateTime(Ts.tv_sec, static_cast<int>(Ts.tv_nsec / 1000000), true);
}

void TSystemClock::Sleep(std::uint32_t Milliseconds) {
  timespec Ts{static_cast<time_t>(Milliseconds / 1000),
              static_cast<long>(Milliseconds % 1000) * 1000000L};
  while (nanosleep(&Ts, &Ts) != 0 && errno == EINTR) {
  }
}

namespace {

TSystemClock SystemClock;
std::atomic<TClock*> CurrentClock{&SystemClock};

}  // namespace

TClock& Clock() {
  return *CurrentClock.load(std::memory_order_acquire);
}

void SetClock(TClock* Value) {
  CurrentClock.store(Value ? Value : &SystemClock, std::memory_order_release);
}

}  // namespace pelmar
