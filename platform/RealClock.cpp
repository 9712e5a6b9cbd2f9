#include "platform/RealClock.h"

#include <chrono>
#include <thread>

namespace tarsio {

uint64_t RealClock::NowMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint64_t RealClock::NowUs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void RealClock::SleepMs(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool RealClock::WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
                        const std::function<bool()>& pred) {
  if (ms == kInfinite) {
    cv.wait(lk, pred);
    return true;
  }
  return cv.wait_for(lk, std::chrono::milliseconds(ms), pred);
}

RealClock& RealClock::Instance() {
  static RealClock instance;
  return instance;
}

}  // namespace tarsio
