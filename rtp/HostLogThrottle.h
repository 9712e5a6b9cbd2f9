// Keeps one kind of host-log entry from flooding the host's log.
//
// A receiver fed with garbage or with a failing socket would otherwise write an entry per datagram.
// Allow() lets at most maxPerSecond entries through per one-second window (on the engine clock);
// the first Allow() of a later window, or Flush(), first writes one entry with a number, the
// summary label followed by how many entries were held back.
//
// Threading: any thread; the counters are guarded by an internal mutex that is never held while
// writing to the host log.
#pragma once

#include <cstdint>
#include <mutex>

namespace tarsio {

class HostLogThrottle {
 public:
  static constexpr uint32_t kWindowMs = 1000;

  HostLogThrottle(const char* summaryLabel, int32_t maxPerSecond);

  /// Whether the caller may write its entry now.
  bool Allow();
  /// Writes the summary of entries held back so far, if any.
  void Flush();
  /// Entries held back and not yet summarised.
  int64_t Suppressed();

 private:
  const char* const summaryLabel_;
  const int32_t maxPerSecond_;
  std::mutex mutex_;
  bool started_ = false;      // guarded by mutex_
  uint32_t windowStart_ = 0;  // guarded by mutex_
  int32_t inWindow_ = 0;      // guarded by mutex_
  int64_t suppressed_ = 0;    // guarded by mutex_
};

}  // namespace tarsio
