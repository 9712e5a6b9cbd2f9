#include "rtp/HostLogThrottle.h"

#include "framework/HostLogWriter.h"
#include "platform/Clock.h"

namespace tarsio {

HostLogThrottle::HostLogThrottle(const char* summaryLabel, int32_t maxPerSecond)
    : summaryLabel_(summaryLabel), maxPerSecond_(maxPerSecond) {}

bool HostLogThrottle::Allow() {
  int64_t summary = 0;
  bool allow = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t now = TickCount();
    if (!started_ || now - windowStart_ >= kWindowMs) {
      started_ = true;
      windowStart_ = now;
      inWindow_ = 0;
      summary = suppressed_;
      suppressed_ = 0;
    }
    if (inWindow_ < maxPerSecond_) {
      ++inWindow_;
      allow = true;
    } else {
      ++suppressed_;
    }
  }
  if (summary > 0) HostLogWriter::WithNumber(summaryLabel_, summary);
  return allow;
}

void HostLogThrottle::Flush() {
  int64_t summary = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    summary = suppressed_;
    suppressed_ = 0;
  }
  if (summary > 0) HostLogWriter::WithNumber(summaryLabel_, summary);
}

int64_t HostLogThrottle::Suppressed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return suppressed_;
}

}  // namespace tarsio
