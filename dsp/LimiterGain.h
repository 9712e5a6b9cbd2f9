// The gain computer of the limiter: per 16-bit sample, the level above a threshold in dB drives a
// gain reduction ("loss") that rises by lossIncrement per sample up to the latest peak and falls
// by lossDecrement (negative) per sample afterwards; samples are scaled by 10^(-loss / 20) and
// truncated toward zero. At the loss floor samples pass untouched.
//
// Threading: none; the owning Limiter calls it from one chain thread at a time.
#pragma once

#include <cstdint>
#include <span>

namespace tarsio {

class LimiterGain {
 public:
  /// The initial loss, peak level and step, and the lowest loss (at which no gain is applied).
  static constexpr double kLossFloor = 1e-20;

  LimiterGain(double threshold, double lossIncrement, double lossDecrement);
  virtual ~LimiterGain() = default;

  /// Runs the samples through the gain, in place.
  void Process(std::span<int16_t> samples);

  double threshold;               // dB
  double loss = kLossFloor;       // current gain reduction, dB
  double peakLevel = kLossFloor;  // level over threshold of the last sample that raised loss
  double lossStep = kLossFloor;   // current change of loss per sample
  double lossIncrement;           // dB per sample while rising
  double lossDecrement;           // dB per sample while falling (negative)
  double lossFloor = kLossFloor;
};

}  // namespace tarsio
