#include "platform/Event.h"

namespace tarsio {

Event::Event(Reset mode, bool initiallySignaled)
    : manual_(mode == Reset::kManual), signaled_(initiallySignaled) {}

bool Event::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  signaled_ = true;
  // Notify under the mutex: a waiter released by this signal may destroy the event as soon as its
  // Wait returns (a thread's stop event is the last thing it touches), and it cannot return before
  // the mutex is released. Every waiter re-checks the flag and an auto-reset signal is consumed
  // by exactly one of them, so waking all is correct for both modes.
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
