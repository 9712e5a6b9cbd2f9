// Scales 16-bit PCM in place by a volume in percent, following the square of the percentage
// (100 -> 1.0, 50 -> 0.25, 0 -> silence), truncated toward zero. Each file play puts one between
// its format converter and the transmit mixer. A new transformer is silent (volume 0).
//
// Threading: TransformAudioSamples runs on the thread that pushes into or pulls from the filter;
// SetVolume runs on a host thread. The volume is an atomic read once per value, so a change takes
// effect within the frame being processed.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "framework/AudioTransformer.h"

namespace tarsio {

class PCMVolumeTransformer : public AudioTransformer {
 public:
  PCMVolumeTransformer();
  ~PCMVolumeTransformer() override = default;

  int32_t ReadTraceLevel() override;

  /// Stores the volume clamped to 0 .. 100. Returns 0.
  int32_t SetVolume(int32_t volume);
  int32_t GetVolume() const { return volume.load(std::memory_order_relaxed); }

  /// Scales the first input in place and hands it on with one added reference. Returns 0.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  /// x' = trunc(volume^2 * 0.0001 * x) for every value, in place.
  static void Scale(std::span<int16_t> samples, int32_t volume);

 private:
  std::atomic<int32_t> volume{0};
};

}  // namespace tarsio
