#include "rtp/HostLogThrottle.h"

#include <utility>

#include "framework/HostLogWriter.h"
#include "platform/Clock.h"

namespace tarsio {

HostLogThrottle::HostLogThrottle(const char* summaryLabel, int32_t maxPerSecond,
                                 const char* codeLabel, Delivery delivery)
    : summaryLabel_(summaryLabel),
      maxPerSecond_(maxPerSecond),
      codeLabel_(codeLabel),
      delivery_(delivery) {}

void HostLogThrottle::HeldBack::Add(int64_t code) {
  int at = 0;
  while (at < size && counts[static_cast<size_t>(at)].code < code) ++at;
  if (at < size && counts[static_cast<size_t>(at)].code == code) {
    ++counts[static_cast<size_t>(at)].count;
    return;
  }
  if (size == kMaxCodes) {
    ++counts[static_cast<size_t>(size - 1)].count;  // table full: under the largest code
    return;
  }
  for (int i = size; i > at; --i)
    counts[static_cast<size_t>(i)] = counts[static_cast<size_t>(i - 1)];
  counts[static_cast<size_t>(at)] = {code, 1};
  ++size;
}

bool HostLogThrottle::Admit(int64_t code, HeldBack* heldBack) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t now = TickCount();
  if (!started_ || now - windowStart_ >= kWindowMs) {
    started_ = true;
    windowStart_ = now;
    inWindow_ = 0;
  }
  if (inWindow_ >= maxPerSecond_) {
    suppressed_.Add(code);
    return false;
  }
  ++inWindow_;
  *heldBack = std::exchange(suppressed_, HeldBack{});
  return true;
}

template <class Entry>
void HostLogThrottle::WriteSummary(const HeldBack::Count& count) const {
  Entry entry;
  entry.Write(summaryLabel_);
  entry.WriteNumber(count.count);
  if (codeLabel_ != nullptr) {
    entry.Write(codeLabel_);
    entry.WriteNumber(count.code);
  }
  entry.MarkEntry();
  entry.EndLine();
}

void HostLogThrottle::WriteSummaries(const HeldBack& heldBack) const {
  for (int i = 0; i < heldBack.size; ++i) {
    const HeldBack::Count& count = heldBack.counts[static_cast<size_t>(i)];
    if (delivery_ == Delivery::kDeferred) {
      WriteSummary<HostLogWriter::DeferredEntry>(count);
    } else {
      WriteSummary<HostLogWriter::Entry>(count);
    }
  }
}

void HostLogThrottle::Flush() {
  HeldBack heldBack;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heldBack = std::exchange(suppressed_, HeldBack{});
  }
  WriteSummaries(heldBack);
}

int64_t HostLogThrottle::Suppressed() {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t total = 0;
  for (int i = 0; i < suppressed_.size; ++i)
    total += suppressed_.counts[static_cast<size_t>(i)].count;
  return total;
}

}  // namespace tarsio
