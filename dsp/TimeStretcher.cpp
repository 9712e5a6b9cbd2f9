#include "dsp/TimeStretcher.h"

#include <cmath>
#include <cstring>

namespace tarsio {

namespace {

using Stretcher = TimeStretcher;

// The region the largest change touches, kSegmentStart + 2 * kMaxPeriod, must end before the last
// sample so that sample is always copied unchanged.
static_assert(Stretcher::kMinInput > Stretcher::kSegmentStart + 2 * Stretcher::kMaxPeriod);
static_assert(Stretcher::kCorrelationLength >= Stretcher::kMaxPeriod);
static_assert(Stretcher::kSegmentStart >= 1);
static_assert(Stretcher::kMinInput <= Stretcher::kMaxInput);

// Sum of a[i] * b[i]. 120 products of at most 2^30 each fit easily in 64 bits.
int64_t Dot(const int16_t* a, const int16_t* b, int length) {
  int64_t sum = 0;
  for (int i = 0; i < length; ++i) sum += int32_t{a[i]} * int32_t{b[i]};
  return sum;
}

// (from * (den - k) + to * k) / den rounded to nearest, for 0 <= k <= den. A weighted mean of two
// 16-bit samples with non-negative weights cannot leave the 16-bit range, so no saturation is
// needed; the offset makes the numerator non-negative so the division rounds down.
int16_t Blend(int16_t from, int16_t to, int k, int den) {
  const int32_t weighted = int32_t{from} * (den - k) + int32_t{to} * k;
  return static_cast<int16_t>((weighted + 32768 * den + den / 2) / den - 32768);
}

bool IsQuiet(const int16_t* in, int n) {
  return Dot(in, in, n) < int64_t{n} * Stretcher::kQuietRms * Stretcher::kQuietRms;
}

// The period to change by, or 0 to leave the segment alone.
int ChoosePeriod(const int16_t* in, int n, int maxPeriod, bool* periodic) {
  const Stretcher::PeriodEstimate estimate = Stretcher::EstimatePeriod(in, n, maxPeriod);
  *periodic = estimate.correlation >= Stretcher::kCorrelationThreshold;
  if (*periodic) return estimate.period;
  return IsQuiet(in, n) ? maxPeriod : 0;
}

int ClampPeriod(int maxPeriod) {
  return maxPeriod < Stretcher::kMinPeriod   ? 0
         : maxPeriod > Stretcher::kMaxPeriod ? Stretcher::kMaxPeriod
                                             : maxPeriod;
}

void Move(int16_t* to, const int16_t* from, int count) {
  if (count > 0 && to != from) std::memmove(to, from, sizeof(int16_t) * static_cast<size_t>(count));
}

}  // namespace

int TimeStretcher::MinInputFor(int maxPeriod) {
  return 2 * ClampPeriod(maxPeriod) + 2 * kSegmentStart;
}

TimeStretcher::PeriodEstimate TimeStretcher::EstimatePeriod(const int16_t* in, int n,
                                                            int maxPeriod) {
  maxPeriod = ClampPeriod(maxPeriod);
  if (in == nullptr || maxPeriod == 0 || n < MinInputFor(maxPeriod)) return {0, 0.0};
  // The window compared per lag is as long as the longest period searched.
  const int length = maxPeriod;
  const int16_t* x = in + kSegmentStart;
  const double energy = static_cast<double>(Dot(x, x, length));
  PeriodEstimate best{kMinPeriod, -2.0};
  for (int p = kMinPeriod; p <= maxPeriod; ++p) {
    const int16_t* y = x + p;
    const double lagEnergy = static_cast<double>(Dot(y, y, length));
    double correlation = 0.0;
    if (energy > 0.0 && lagEnergy > 0.0) {
      correlation = static_cast<double>(Dot(x, y, length)) / std::sqrt(energy * lagEnergy);
    }
    // Strictly greater: a multiple of the period that correlates equally well does not win.
    if (correlation > best.correlation) best = {p, correlation};
  }
  return best;
}

TimeStretcher::Result TimeStretcher::Accelerate(const int16_t* in, int n, int16_t* out,
                                                int maxPeriod) {
  if (in == nullptr || out == nullptr || n < 0 || n > kMaxInput) return {0, 0, false};
  maxPeriod = ClampPeriod(maxPeriod);
  bool periodic = false;
  const int p =
      maxPeriod != 0 && n >= MinInputFor(maxPeriod) ? ChoosePeriod(in, n, maxPeriod, &periodic) : 0;
  if (p == 0) {
    Move(out, in, n);
    return {n, 0, periodic};
  }
  // out[s + i] is written after in[s + i] and in[s + p + i] are read and before anything later is
  // read, so out may be in.
  const int s = kSegmentStart;
  Move(out, in, s);
  for (int i = 0; i < p; ++i) out[s + i] = Blend(in[s + i], in[s + p + i], i + 1, p + 1);
  Move(out + s + p, in + s + 2 * p, n - s - 2 * p);
  return {n - p, p, periodic};
}

TimeStretcher::Result TimeStretcher::Expand(const int16_t* in, int n, int16_t* out,
                                            int outCapacity) {
  if (in == nullptr || out == nullptr || n < 0 || n > kMaxInput || outCapacity < n) {
    return {0, 0, false};
  }
  bool periodic = false;
  const bool roomy = outCapacity >= n + kMaxPeriod;
  const int p = n >= kMinInput && roomy ? ChoosePeriod(in, n, kMaxPeriod, &periodic) : 0;
  if (p == 0) {
    Move(out, in, n);
    return {n, 0, periodic};
  }
  // in[0, s + p), then back into in[s, s + p) by a fade that starts where in[s + p] would have
  // continued, then in[s + p, n) again: the period in[s, s + p) is heard twice.
  const int s = kSegmentStart;
  Move(out, in, s + p);
  for (int i = 0; i < p; ++i) out[s + p + i] = Blend(in[s + p + i], in[s + i], i + 1, p + 1);
  Move(out + s + 2 * p, in + s + p, n - s - p);
  return {n + p, p, periodic};
}

}  // namespace tarsio
