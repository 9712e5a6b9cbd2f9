// A running distribution of delays in whole milliseconds, for the per-stage delay breakdown of a
// call (network arrival jitter, jitter buffer, playback queue, device).
//
// A fixed histogram of 1 ms bins from 0 to kMaxMs (larger values land in the last bin), so adding
// a value never allocates and the median and any quantile are read in one pass over the bins.
//
// Threading: Add from one media thread; Count/Quantile/Reset from any thread (the bins are relaxed
// atomics, so a reader sees a consistent-enough snapshot while a call runs and an exact one after
// the writer stopped).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace tarsio {

class DelayStatistics {
 public:
  static constexpr int32_t kMaxMs = 2000;

  /// Counts one delay; negative values count as 0.
  void Add(int64_t ms);
  void Reset();
  uint64_t Count() const;
  /// The smallest delay d such that at least q (0..1) of the values are <= d; -1 when empty.
  int32_t Quantile(double q) const;
  int32_t Median() const { return Quantile(0.5); }

 private:
  std::array<std::atomic<uint32_t>, kMaxMs + 1> bins_{};
  std::atomic<uint64_t> count_{0};
};

}  // namespace tarsio
