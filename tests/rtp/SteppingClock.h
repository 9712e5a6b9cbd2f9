// A test clock for the receiver: sleeps return at once and move the clock forward by their length,
// and between sleeps the clock runs at `speed` times real time.
//
// The receiver paces itself with 50 ms sleeps and 500 ms socket waits; under this clock a fill that
// would take seconds takes milliseconds, yet a socket wait still ends (after 500 / speed real ms)
// when nothing arrives, and ends at once when a datagram or a wake-up comes.
//
// Threading: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace tarsio::testing {

class SteppingClock final : public Clock {
 public:
  explicit SteppingClock(uint64_t startMs = 5000000, uint64_t speed = 10)
      : start_(std::chrono::steady_clock::now()), offset_(startMs), speed_(speed) {}

  uint64_t NowMs() override {
    const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start_)
                          .count();
    return offset_.load() + static_cast<uint64_t>(real) * speed_;
  }
  void SleepMs(uint32_t ms) override { offset_.fetch_add(ms); }
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override {
    if (ms == kInfinite) {
      cv.wait(lk, pred);
      return true;
    }
    const uint64_t deadline = NowMs() + ms;
    while (!pred()) {
      if (NowMs() >= deadline) return false;
      cv.wait_for(lk, std::chrono::milliseconds(1));
    }
    return true;
  }
  void AdvanceMs(uint64_t ms) { offset_.fetch_add(ms); }

 private:
  const std::chrono::steady_clock::time_point start_;
  std::atomic<uint64_t> offset_;
  const uint64_t speed_;
};

}  // namespace tarsio::testing
