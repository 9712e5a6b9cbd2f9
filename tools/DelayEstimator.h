// Finds how far a recording lags behind the signal that produced it, by normalised
// cross-correlation: the lag L (in samples) that best explains recording[n + L] ≈ g · reference[n]
// for some gain g > 0. The normalisation makes the result independent of the gain, and averaging
// over the whole overlap makes it robust to added noise, to the G.711 round trip and to the
// automatic gain of the receive chain.
//
// Estimate looks at the whole reference at once (one delay for the whole call); EstimateWindows
// cuts the reference into windows and finds each window's own delay, which shows how the delay
// moved during a call. Windows quieter than a fraction of the loudest are skipped: speech pauses
// carry no timing information.
//
// Threading: stateless; any thread.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace tarsio::host {

struct DelayEstimate {
  bool found = false;        // false: no lag in range had a usable overlap
  double lagSamples = 0.0;   // with sub-sample (parabolic) refinement
  double correlation = 0.0;  // normalised peak, -1..1 (1: recording is a scaled copy)
};

struct WindowDelay {
  size_t start = 0;  // first reference sample of the window
  DelayEstimate estimate;
};

class DelayEstimator {
 public:
  /// The best lag in [minLag, maxLag] (minLag may be negative). Lags at which less than half of
  /// the reference's energy overlaps the recording are not considered.
  static DelayEstimate Estimate(std::span<const float> reference, std::span<const float> recording,
                                int minLag, int maxLag);

  /// One estimate per window of windowSamples reference samples, windows hopSamples apart; windows
  /// whose RMS is below minRelativeLevel times the loudest window's RMS are left out.
  static std::vector<WindowDelay> EstimateWindows(std::span<const float> reference,
                                                  std::span<const float> recording, int minLag,
                                                  int maxLag, size_t windowSamples,
                                                  size_t hopSamples, double minRelativeLevel);
};

}  // namespace tarsio::host
