// In-place automatic gain for quiet speech, frame by frame: a 256-bin amplitude histogram of the
// frame gives the bin B below which the configured percentile of the samples lie, and the frame is
// amplified by 256 / B (so that amplitude reaches full scale), never by more than the maximum
// gain, limited to +/- full scale and truncated toward zero. No smoothing between frames; the
// gains are averaged over 100 frames for a trace line only.
//
// Results: 0 (the input handed on with one added reference, amplified or, at a maximum gain of
// 1.00, unchanged), kErrNoInput, kErrSilence (silence markers leave with no output),
// kErrBitsPerSample.
//
// Threading: TransformAudioSamples runs on the thread that pushes into or pulls from the filter;
// the setters are called by the media terminal while it sets up the graph (chain stopped).
#pragma once

#include <cstdint>
#include <span>

#include "dsp/AverageCalculator.h"
#include "framework/AudioTransformer.h"

namespace tarsio {

class PCMVolumeMaximizer : public AudioTransformer {
 public:
  static constexpr int32_t kErrNoInput = -10;
  static constexpr int32_t kErrSilence = -20;
  static constexpr int32_t kErrBitsPerSample = -30;
  static constexpr int32_t kBins = 256;

  PCMVolumeMaximizer();
  ~PCMVolumeMaximizer() override = default;

  int32_t ReadTraceLevel() override;

  /// Clamped to 0.0 .. 100.0. Returns 0.
  int32_t SetPercentile(double percentile);
  /// The gain cap in hundredths (800 = x 8.00); values below 100 become 100. Returns 0.
  int32_t SetMaxAmplification(uint32_t maximumAmplification);
  double GetPercentile() const { return percentile; }
  uint32_t GetMaxAmplification() const { return maximumAmplification; }

  /// Clears the gain average. Returns 0.
  int32_t TransformStarted() override;
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  /// The percentile bin B of a 16-bit frame (0 .. 256); fills the histogram.
  int32_t FindPercentileBin(std::span<const int16_t> samples);
  /// 256 / B capped at maximumAmplification / 100 (B = 0: the cap).
  double GainForBin(int32_t bin) const;
  /// x * gain limited to +/- 32767, truncated toward zero, in place.
  static void ApplyGain(std::span<int16_t> samples, double gain);
  /// Histogram, bin, gain and amplification of one 16-bit frame; returns the gain applied.
  double Maximize(std::span<int16_t> samples);

  const uint32_t* Histogram() const { return histogram; }
  const AverageCalculator& Average() const { return averageCalculator; }

 private:
  template <typename T>
  int32_t PercentileBin(std::span<const T> samples, double fullScale);
  template <typename T>
  static void Amplify(std::span<T> samples, double gain, double fullScale);

  double percentile = 100.0;
  uint32_t maximumAmplification = 100;
  uint32_t histogram[kBins + 1] = {};
  AverageCalculator averageCalculator;
};

}  // namespace tarsio
