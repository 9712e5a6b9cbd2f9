// Time-scale modification of 8 kHz 16-bit mono speech by whole pitch periods: the jitter buffer
// calls it on one playout frame to drop a period when its delay is too high (Accelerate) or to
// play a period twice when it runs low (Expand), without an audible cut.
//
// The period is the lag p in kMinPeriod..kMaxPeriod that maximises the normalised correlation
// between x[s, s + L) and x[s + p, s + p + L), with s = kSegmentStart and L = kCorrelationLength
// (one longest period, so even a 66 Hz voice is compared over a whole cycle). Among equal
// correlations the shortest lag wins: multiples of the period correlate just as well, and one
// period is the smallest change. Accelerate replaces x[s, s + 2p) by a linear cross-fade of its two
// halves; Expand inserts a cross-fade from x[s + p, s + 2p) into x[s, s + p) after x[s + p - 1].
// Both fades run over a whole period, so when the two periods match the output is the signal
// itself, shifted, and when they match only roughly the difference is spread over one cycle.
//
// Thresholds:
//  - kCorrelationThreshold 0.8: steady voiced 8 kHz speech usually correlates above that at its
//    pitch lag, while white noise or unvoiced sounds over a 120-sample window stay below about
//    0.45 at every lag. Two equally loud periods correlated at 0.8 lose about 0.5 dB of level in
//    the middle of the fade.
//  - kQuietRms 100 (about -50 dBFS, full scale 32768): below that RMS over the whole input the
//    segment is changed by kMaxPeriod samples even when it is not periodic; a fade between two
//    unrelated stretches that quiet cannot be heard, and quiet stretches are where the jitter
//    buffer should adjust first.
//
// Everything happens inside the frame: the first kSegmentStart samples and the samples after the
// changed region are copied unchanged, so the first and last output samples equal the first and
// last input samples and consecutive frames join without a click. No look-ahead, no algorithmic
// delay, no state between calls, no allocation.
//
// Threading: stateless; safe from any thread.
#pragma once

#include <cstdint>

namespace tarsio {

class TimeStretcher {
 public:
  /// Shortest period searched: 2.5 ms, 400 Hz.
  static constexpr int kMinPeriod = 20;
  /// Longest period searched: 15 ms, about 66 Hz.
  static constexpr int kMaxPeriod = 120;
  /// Input samples before the correlation window and the changed region (2 ms).
  static constexpr int kSegmentStart = 16;
  /// Samples compared per lag.
  static constexpr int kCorrelationLength = kMaxPeriod;
  /// Smallest input the operations work on (34 ms): the search window at the longest lag plus
  /// kSegmentStart unchanged samples at either end.
  static constexpr int kMinInput = 2 * kMaxPeriod + 2 * kSegmentStart;
  /// Largest input accepted (120 ms).
  static constexpr int kMaxInput = 960;
  /// Lowest best normalised correlation at which a segment counts as periodic.
  static constexpr double kCorrelationThreshold = 0.8;
  /// RMS below which a segment is quiet (about -50 dBFS).
  static constexpr int kQuietRms = 100;

  struct Result {
    int outputLength;  // samples written to out
    int changed;       // samples removed (Accelerate) or added (Expand); 0 when unchanged
    bool periodic;     // the best normalised correlation reached kCorrelationThreshold (false
                       // when the input was not analysed)
  };

  struct PeriodEstimate {
    int period;          // lag of the best normalised correlation; 0 when n < kMinInput
    double correlation;  // that correlation, -1..1; 0 when n < kMinInput or a window is silent
  };

  /// The pitch search on in[0..n) over periods kMinPeriod..maxPeriod, reading only
  /// in[0, kSegmentStart + 2 * maxPeriod). Needs n >= MinInputFor(maxPeriod).
  static PeriodEstimate EstimatePeriod(const int16_t* in, int n, int maxPeriod = kMaxPeriod);
  /// The smallest input the search works on when periods up to maxPeriod are searched (the
  /// window compared per lag is then maxPeriod long): kMinInput for kMaxPeriod.
  static int MinInputFor(int maxPeriod);

  /// Shortens in[0..n) by one pitch period p: out receives n - p samples, the cut hidden by a
  /// cross-fade over p samples. A segment that is neither periodic nor quiet is copied unchanged
  /// (changed 0); a quiet one that is not periodic loses kMaxPeriod samples. out must hold n
  /// samples and may be in itself (the work runs front to back); otherwise the buffers must not
  /// overlap.
  /// 0 <= n < kMinInput: out receives a copy of in. n > kMaxInput, n < 0 or a null pointer:
  /// out is not touched and the result is {0, 0, false}.
  /// maxPeriod (kMinPeriod..kMaxPeriod) bounds the period removed, so that a caller can remove
  /// no more than it can spare; the search then needs only MinInputFor(maxPeriod) samples.
  static Result Accelerate(const int16_t* in, int n, int16_t* out, int maxPeriod = kMaxPeriod);

  /// Lengthens in[0..n) by one pitch period p: out receives n + p samples, one period played twice
  /// with cross-fades over p samples. Same periodicity and quiet rules as Accelerate (a quiet,
  /// non-periodic segment gains kMaxPeriod samples). in and out must not overlap.
  /// Nothing is written at or past out[outCapacity]: with outCapacity < n + kMaxPeriod, or
  /// 0 <= n < kMinInput, out receives a copy of in if it holds n samples. n > kMaxInput, n < 0,
  /// outCapacity < n or a null pointer: out is not touched and the result is {0, 0, false}.
  static Result Expand(const int16_t* in, int n, int16_t* out, int outCapacity);
};

}  // namespace tarsio
