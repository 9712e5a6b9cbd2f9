// Adds the cycle's inputs (one per connected source) sample by sample into one 16-bit PCM frame,
// clamped to the 16-bit range and truncated toward zero; the output is as long as the longest
// input. A cycle with a single input hands that sample on unchanged; a cycle made only of silence
// markers gives a silence marker as long as the longest of them. Stateless between cycles.
//
// Threading: TransformAudioSamples runs on the thread that pushes into or pulls from the mixer;
// nothing is shared.
#pragma once

#include <cstdint>
#include <span>

#include "framework/AudioTransformer.h"

namespace tarsio {

class PCMMixer : public AudioTransformer {
 public:
  PCMMixer();
  ~PCMMixer() override = default;

  int32_t ReadTraceLevel() override;

  /// Always 0.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  /// out[j] = the sum of inputs[i][j] over the inputs long enough to have sample j, in input
  /// order in double precision, clamped to -32768 .. 32767, truncated. out.size() samples.
  static void Mix(std::span<const std::span<const int16_t>> inputs, std::span<int16_t> out);
};

}  // namespace tarsio
