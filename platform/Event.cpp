#include "platform/Event.h"

namespace tarsio {

Event::Event(Reset mode, bool initiallySignaled)
    : manual_(mode == Reset::kManual), signaled_(initiallySignaled) {}

bool Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = true;
  }
  // Every waiter re-checks the flag under the mutex and an auto-reset signal is consumed by
  // exactly one of them, so waking all is correct for both modes and never loses a wake-up.
  cv_.notify_all();
  return true;
}

bool Event::ResetEvent() {
  std::lock_guard<std::mutex> lock(mutex_);
  signaled_ = false;
  return true;
}

WaitResult Event::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool signaled = signaled_ || (ms != 0 && Clock::Current().WaitFor(
                                                     cv_, lock, ms, [this] { return signaled_; }));
  if (!signaled) return WaitResult::kTimeout;
  if (!manual_) signaled_ = false;
  return WaitResult::kSignaled;
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return signaled_;
}

}  // namespace tarsio
