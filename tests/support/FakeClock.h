// A clock that moves only when a test says so.
//
// AdvanceMs(n) moves time forward; threads sleeping or waiting with a time-out on this clock wake
// once their deadline has passed (they re-check every few real milliseconds, so a wake-up follows
// an advance within a few milliseconds). WaitForSleepers(k) blocks until k threads are parked in
// SleepMs/WaitFor, with a real-time cap (default 5 s) so that a broken test fails instead of
// hanging. The time can start anywhere, e.g. just below the 32-bit tick wrap.
//
// Threading: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Clock.h"

namespace tarsio::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint64_t startMs = 1000000) : now_(startMs) {}

  uint64_t NowMs() override { return now_.load(); }
  void SleepMs(uint32_t ms) override;
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override;

  void AdvanceMs(uint64_t ms) { now_.fetch_add(ms); }
  void SetMs(uint64_t ms) { now_.store(ms); }
  /// Threads parked in SleepMs/WaitFor right now.
  int Sleepers() const { return sleepers_.load(); }
  /// True once at least k threads are parked; false after realTimeCapMs of real time.
  bool WaitForSleepers(int k, uint32_t realTimeCapMs = 5000);

 private:
  std::atomic<uint64_t> now_;
  std::atomic<int> sleepers_{0};
};

}  // namespace tarsio::testing
