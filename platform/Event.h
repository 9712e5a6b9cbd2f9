// A Windows-style event object: manual-reset or auto-reset, waited on with a time-out.
//
// Set() signals; an auto-reset event releases one waiter and clears itself, a manual-reset event
// stays signalled until Reset(). Wait(ms) returns kSignaled, kTimeout or kFailed (the numbers of
// WAIT_OBJECT_0, WAIT_TIMEOUT and WAIT_FAILED, because they appear in traces). Time-outs run on
// Clock::Current(), so a FakeClock drives them in tests.
//
// Threading: every member may be called from any thread; the state is guarded by an internal
// mutex that is never held while calling out. Set notifies while holding that mutex, so a waiter
// it releases may destroy the event as soon as its Wait returns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace tarsio {

enum class WaitResult : uint32_t {
  kSignaled = 0x0,      // WAIT_OBJECT_0
  kTimeout = 0x102,     // WAIT_TIMEOUT
  kFailed = 0xFFFFFFFF  // WAIT_FAILED
};

class Event {
 public:
  enum class Reset { kAuto, kManual };

  explicit Event(Reset mode = Reset::kAuto, bool initiallySignaled = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  /// Signals the event. Returns true (kept boolean like SetEvent).
  bool Set();
  /// Clears the event. Returns true.
  bool ResetEvent();
  /// Waits until signalled or ms milliseconds passed (kInfinite: no limit).
  WaitResult Wait(uint32_t ms = kInfinite);
  /// Whether the event is signalled now (does not consume an auto-reset signal).
  bool IsSet();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_;
  bool signaled_;
};

}  // namespace tarsio
