// A clock that moves only when a test says so.
//
// AdvanceMs(n) moves time forward; threads sleeping or waiting with a time-out on this clock wake
// once their deadline has passed (they re-check every few real milliseconds, so a wake-up follows
// an advance within a few milliseconds). WaitForSleepers(k) blocks until k threads are parked in
// SleepMs/WaitFor, with a real-time cap (default 5 s) so that a broken test fails instead of
// hanging. The time can start anywhere, e.g. just below the 32-bit tick wrap.
//
// The clock knows the deadlines of the parked threads: AdvanceToNextDeadline moves the time to the
// earliest one still ahead, which a test does when every thread that uses the clock is parked, so
// that time passes only while everything waits (see DevicesTest's IdlePump).
//
// Threading: every member may be called from any thread. deadlinesMutex_ guards the deadlines.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>

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
  /// The earliest deadline of the threads parked now (UINT64_MAX when none waits with a limit).
  uint64_t NextDeadline() const;
  /// Moves the time to NextDeadline() when that lies ahead; false (time unchanged) otherwise.
  bool AdvanceToNextDeadline();

 private:
  class Parked;
  std::atomic<uint64_t> now_;
  std::atomic<int> sleepers_{0};
  mutable std::mutex deadlinesMutex_;
  std::multiset<uint64_t> deadlines_;  // of parked threads with a limit
};

}  // namespace tarsio::testing
