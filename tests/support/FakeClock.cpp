#include "support/FakeClock.h"

#include <chrono>
#include <thread>

namespace tarsio::testing {

namespace {

// How often a parked thread re-reads the fake time, in real time.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

}  // namespace

// Counts a thread as parked, with its deadline (none for kInfinite), for the life of the object.
class FakeClock::Parked {
 public:
  Parked(FakeClock& clock, uint32_t ms, uint64_t deadline)
      : clock_(clock), limited_(ms != kInfinite) {
    if (limited_) {
      std::lock_guard<std::mutex> lock(clock_.deadlinesMutex_);
      deadline_ = clock_.deadlines_.insert(deadline);
    }
    clock_.sleepers_.fetch_add(1);
  }
  ~Parked() {
    clock_.sleepers_.fetch_sub(1);
    if (limited_) {
      std::lock_guard<std::mutex> lock(clock_.deadlinesMutex_);
      clock_.deadlines_.erase(deadline_);
    }
  }
  Parked(const Parked&) = delete;
  Parked& operator=(const Parked&) = delete;

 private:
  FakeClock& clock_;
  const bool limited_;
  std::multiset<uint64_t>::iterator deadline_;
};

void FakeClock::SleepMs(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  const uint64_t deadline = NowMs() + ms;
  Parked parked(*this, ms, deadline);
  while (ms == kInfinite || NowMs() < deadline) std::this_thread::sleep_for(kPollInterval);
}

bool FakeClock::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
                        const std::function<bool()>& pred) {
  if (pred()) return true;
  if (ms == 0) return false;
  const uint64_t deadline = NowMs() + ms;
  Parked parked(*this, ms, deadline);
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

uint64_t FakeClock::NextDeadline() const {
  std::lock_guard<std::mutex> lock(deadlinesMutex_);
  return deadlines_.empty() ? UINT64_MAX : *deadlines_.begin();
}

bool FakeClock::AdvanceToNextDeadline() {
  std::lock_guard<std::mutex> lock(deadlinesMutex_);
  if (deadlines_.empty() || *deadlines_.begin() <= now_.load()) return false;
  now_.store(*deadlines_.begin());
  return true;
}

}  // namespace tarsio::testing
