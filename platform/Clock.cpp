#include "platform/Clock.h"

#include <atomic>

#include "platform/RealClock.h"

namespace tarsio {

namespace {

// Null means the real clock; a plain pointer keeps Current() a single atomic load.
std::atomic<Clock*> installedClock{nullptr};

}  // namespace

Clock& Clock::Current() {
  Clock* clock = installedClock.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : RealClock::Instance();
}

Clock* Clock::Install(Clock* clock) {
  Clock* previous = installedClock.exchange(clock, std::memory_order_acq_rel);
  return previous != nullptr ? previous : &RealClock::Instance();
}

}  // namespace tarsio
