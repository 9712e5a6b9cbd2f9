#include "rtp/HostLogThrottle.h"

#include "framework/HostLogWriter.h"
#include "platform/Clock.h"

namespace tarsio {

HostLogThrottle::HostLogThrottle(const char* summaryLabel, int32_t maxPerSecond,
                                 const char* codeLabel)
    : summaryLabel_(summaryLabel), maxPerSecond_(maxPerSecond), codeLabel_(codeLabel) {}

bool HostLogThrottle::Admit(int64_t code, std::map<int64_t, int64_t>* heldBack) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t now = TickCount();
  if (!started_ || now - windowStart_ >= kWindowMs) {
    started_ = true;
    windowStart_ = now;
    inWindow_ = 0;
  }
  if (inWindow_ >= maxPerSecond_) {
    ++suppressed_[code];
    return false;
  }
  ++inWindow_;
  heldBack->swap(suppressed_);
  return true;
}

void HostLogThrottle::WriteSummaries(const std::map<int64_t, int64_t>& heldBack) const {
  for (const auto& [code, count] : heldBack) {
    HostLogWriter::Entry entry;
    entry.Write(summaryLabel_);
    entry.WriteNumber(count);
    if (codeLabel_ != nullptr) {
      entry.Write(codeLabel_);
      entry.WriteNumber(code);
    }
    entry.MarkEntry();
    entry.EndLine();
  }
}

void HostLogThrottle::Flush() {
  std::map<int64_t, int64_t> heldBack;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heldBack.swap(suppressed_);
  }
  WriteSummaries(heldBack);
}

int64_t HostLogThrottle::Suppressed() {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t total = 0;
  for (const auto& [code, count] : suppressed_) total += count;
  return total;
}

}  // namespace tarsio
