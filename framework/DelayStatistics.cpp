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
  uint64_t total = 0;
  for (const auto& bin : bins_) total += bin.load(std::memory_order_relaxed);
  if (total == 0) return -1;
  if (q < 0.0) q = 0.0;
  if (q > 1.0) q = 1.0;
  const uint64_t wanted = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * total)));
  uint64_t seen = 0;
  for (int32_t ms = 0; ms <= kMaxMs; ++ms) {
    seen += bins_[static_cast<size_t>(ms)].load(std::memory_order_relaxed);
    if (seen >= wanted) return ms;
  }
  return kMaxMs;
}

}  // namespace tarsio
