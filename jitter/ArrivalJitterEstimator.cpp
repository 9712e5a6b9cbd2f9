#include "jitter/ArrivalJitterEstimator.h"

#include <algorithm>
#include <cmath>

namespace tarsio {

void ArrivalJitterEstimator::Reset(int32_t initialJitterMs) {
  next_ = 0;
  count_ = 0;
  seen_ = 0;
  base_ = 0;
  haveLast_ = false;
  initialJitterMs_ = std::max(0, initialJitterMs);
  jitterMs_ = initialJitterMs_;
}

int32_t ArrivalJitterEstimator::Lateness(int64_t arrivalMs, int64_t timestampMs) const {
  if (count_ == 0) return 0;
  const int64_t late = arrivalMs - timestampMs - base_;
  return static_cast<int32_t>(std::clamp<int64_t>(late, 0, INT32_MAX));
}

int32_t ArrivalJitterEstimator::Add(int64_t arrivalMs, int64_t timestampMs) {
  const int64_t relative = arrivalMs - timestampMs;
  // A queue released at once delivers packets in order, each a packet time less late than the
  // one before; a packet that was held back (reordering) is later than the one before it and
  // counts.
  const bool follower = haveLast_ && arrivalMs - lastArrivalMs_ <= kBurstGapMs && count_ > 0 &&
                        relative > base_ && relative < lastRelative_;
  lastArrivalMs_ = arrivalMs;
  lastRelative_ = relative;
  haveLast_ = true;
  if (follower) return Lateness(arrivalMs, timestampMs);
  window_[static_cast<size_t>(next_)] = relative;
  next_ = (next_ + 1) % kWindow;
  if (count_ < kWindow) ++count_;
  if (seen_ < kWarmup) ++seen_;
  Update();
  return Lateness(arrivalMs, timestampMs);
}

void ArrivalJitterEstimator::Update() {
  std::array<int64_t, kWindow> sorted;
  std::copy_n(window_.begin(), count_, sorted.begin());
  std::sort(sorted.begin(), sorted.begin() + count_);
  // The base is a low quantile rather than the minimum, so that one packet with a timestamp far
  // ahead of its time (a sender glitch, a forged packet) cannot pose as the fastest transit.
  base_ = sorted[static_cast<size_t>(std::floor(kBaseQuantile * (count_ - 1)))];
  const size_t index = static_cast<size_t>(std::floor(kQuantile * (count_ - 1)));
  const int64_t measured = std::clamp<int64_t>(sorted[index] - base_, 0, INT32_MAX);
  // Blend from the host's allowance to the measurement while the stream is new.
  const double weight = static_cast<double>(seen_) / kWarmup;
  jitterMs_ = static_cast<int32_t>(
      std::lround((1.0 - weight) * initialJitterMs_ + weight * static_cast<double>(measured)));
}

}  // namespace tarsio
