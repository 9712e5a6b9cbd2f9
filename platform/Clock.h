// The time seam of the engine: tick counts, sleeps and timed waits all go through one Clock.
//
// Everything in the engine that reads the time, sleeps or waits with a time-out asks
// Clock::Current(). In production that is the process-wide RealClock (steady_clock). Tests install
// a FakeClock (tests/support) with ScopedClock, advance it by hand and so run retry loops and
// time-outs without waiting.
//
// Threading: every member may be called from any thread. Current() is an atomic pointer load;
// installing a clock (ScopedClock) must happen while no engine thread is running.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tarsio {

/// Wait without a time limit (Windows' INFINITE).
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Clock {
 public:
  virtual ~Clock() = default;

  /// Monotonic milliseconds since an arbitrary start; never goes backwards.
  virtual uint64_t NowMs() = 0;

  /// The same clock in microseconds, for measurements finer than a millisecond (RTCP's
  /// interarrival jitter); a clock without the finer reading gives NowMs() * 1000.
  virtual uint64_t NowUs() { return NowMs() * 1000; }

  /// The millisecond tick count as Windows' GetTickCount/timeGetTime report it: NowMs() cut to 32
  /// bits, so it wraps to 0 after 2^32 - 1.
  uint32_t TickCount() { return static_cast<uint32_t>(NowMs()); }

  /// Blocks the calling thread for ms milliseconds of this clock's time.
  virtual void SleepMs(uint32_t ms) = 0;

  /// Waits on cv (lk held on entry and exit) until pred() is true or ms milliseconds of this
  /// clock's time have passed; ms == kInfinite waits without limit. Returns pred() at the end.
  /// Whoever makes pred() true must notify cv while holding lk's mutex (or after releasing it).
  virtual bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
                       const std::function<bool()>& pred) = 0;

  /// The clock the engine uses now.
  static Clock& Current();

  /// Replaces the current clock (nullptr restores the real clock). Returns the previous one.
  static Clock* Install(Clock* clock);
};

/// Installs a clock for the life of the object (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) : previous_(Clock::Install(&clock)) {}
  ~ScopedClock() { Clock::Install(previous_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

/// GetTickCount(): the current clock's 32-bit millisecond tick count.
inline uint32_t TickCount() { return Clock::Current().TickCount(); }

/// Sleep(ms) on the current clock.
inline void SleepMs(uint32_t ms) { Clock::Current().SleepMs(ms); }

}  // namespace tarsio
