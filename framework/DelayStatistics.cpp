#include "framework/DelayStatistics.h"

#include <algorithm>
#include <cmath>

namespace tarsio {

void DelayStatistics::Add(int64_t ms) {
  const int64_t bin = ms < 0 ? 0 : (ms > kMaxMs ? kMaxMs : ms);
  bins_[static_cast<size_t>(bin)].fetch_add(1, std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_relaxed);
}

void DelayStatistics::Reset() {
  for (auto& bin : bins_) bin.store(0, std::memory_order_relaxed);
  count_.store(0, std::memory_order_relaxed);
}

uint64_t DelayStatistics::Count() const { return count_.load(std::memory_order_relaxed); }

int32_t DelayStatistics::Quantile(double q) const {
  // One snapshot of the bins, so a concurrent Add or Reset cannot make the two passes disagree.
  std::array<uint32_t, kMaxMs + 1> snapshot;
  uint64_t total = 0;
  for (size_t i = 0; i < snapshot.size(); ++i) {
    snapshot[i] = bins_[i].load(std::memory_order_relaxed);
    total += snapshot[i];
  }
  if (total == 0) return -1;
  q = std::clamp(q, 0.0, 1.0);
  const uint64_t wanted = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * total)));
  uint64_t seen = 0;
  for (int32_t ms = 0; ms <= kMaxMs; ++ms) {
    seen += snapshot[static_cast<size_t>(ms)];
    if (seen >= wanted) return ms;
  }
  return kMaxMs;
}

}  // namespace tarsio
