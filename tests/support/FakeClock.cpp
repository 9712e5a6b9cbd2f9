#include "support/FakeClock.h"

#include <chrono>
#include <thread>

namespace tarsio::testing {

namespace {

// How often a parked thread re-reads the fake time, in real time.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

// Counts a thread as parked for the life of the object.
class SleeperCount {
 public:
  explicit SleeperCount(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
  ~SleeperCount() { count_.fetch_sub(1); }

 private:
  std::atomic<int>& count_;
};

}  // namespace

void FakeClock::SleepMs(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  const uint64_t deadline = NowMs() + ms;
  SleeperCount parked(sleepers_);
  while (ms == kInfinite || NowMs() < deadline) std::this_thread::sleep_for(kPollInterval);
}

bool FakeClock::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
                        const std::function<bool()>& pred) {
  if (pred()) return true;
  if (ms == 0) return false;
  const uint64_t deadline = NowMs() + ms;
  SleeperCount parked(sleepers_);
  while (!pred()) {
    if (ms != kInfinite && NowMs() >= deadline) return false;
    cv.wait_for(lk, kPollInterval);
  }
  return true;
}

bool FakeClock::WaitForSleepers(int k, uint32_t realTimeCapMs) {
  const auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeCapMs);
  while (sleepers_.load() < k) {
    if (std::chrono::steady_clock::now() >= cap) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

}  // namespace tarsio::testing
