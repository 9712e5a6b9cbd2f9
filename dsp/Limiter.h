// In-place limiter for 16-bit PCM on the receive path: a LimiterGain scales every sample by a gain
// reduction that climbs quickly while samples exceed the threshold and falls slowly afterwards.
// The frame that comes in is the frame that goes out (one added reference); silence markers pass
// untouched and leave the state as it was.
//
// Threading: TransformAudioSamples runs on the thread that pushes into or pulls from the filter.
// SetParameters is called by the media terminal while it sets up the receive path (chain
// stopped); the gain object is not locked.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/LimiterGain.h"
#include "framework/AudioTransformer.h"

namespace tarsio {

class Limiter : public AudioTransformer {
 public:
  Limiter(double threshold, double lossIncrement, double lossDecrement);
  ~Limiter() override;

  int32_t ReadTraceLevel() override;

  /// Replaces the gain object: new parameters, all state back to no reduction. Returns 0.
  int32_t SetParameters(double threshold, double lossIncrement, double lossDecrement);

  /// Limits the first input in place and hands it on with one added reference. Returns 0.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  LimiterGain& Gain() { return *gain; }

 private:
  std::unique_ptr<LimiterGain> gain;
};

}  // namespace tarsio
