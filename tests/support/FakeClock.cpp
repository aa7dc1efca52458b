#include "FakeClock.h"

namespace pelmar::test {

TFakeClock::TFakeClock(std::uint32_t StartTick, TDateTime StartTime)
    : FTicks(StartTick), FNow(StartTime) {
  SetClock(this);
}

TFakeClock::~TFakeClock() {
  SetClock(nullptr);
}

void TFakeClock::Advance(std::uint32_t Milliseconds) {
  FTicks.fetch_add(Milliseconds);
  TDateTime Old = FNow.load();
  while (!FNow.compare_exchange_weak(Old, Old + Milliseconds / 86400000.0)) {
  }
}

}  // namespace pelmar::test
