// Voice activity detector: an in-place transformer that turns silent 16-bit PCM frames into
// silence markers (data size 0, silence duration in milliseconds).
//
// The detector follows the energy of the differenced signal in 40-sample (5 ms) steps, tracks a
// noise floor that drops at once to any quieter step and climbs 1 dB per 12 000 samples of signal
// above it, and calls a step speech when its peak level is more than the margin (10 dB) above the
// floor, with a hangover of 4000 samples (500 ms). A frame is speech if any of its steps is.
//
// Threading: TransformAudioSamples runs on the thread that pushes into or pulls from the filter.
// The detector variables are process-wide (one set shared by every VAD) and unguarded: the media
// terminal makes one VAD and drives it from one chain thread; TransformStarted (reset) runs on the
// host thread while that chain is stopped. The enabled flag is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "framework/AudioTransformer.h"

namespace tarsio {

class VAD : public AudioTransformer {
 public:
  /// Samples per detection step (5 ms at 8 kHz).
  static constexpr int32_t kStepSamples = 40;
  /// Samples of speech granted after the last loud step (500 ms).
  static constexpr int32_t kHangoverSamples = 4000;
  /// Samples of continuous signal above the floor before it may rise by 1 dB (1.5 s).
  static constexpr int32_t kFloorHoldSamples = 12000;

  /// The detector's variables. Default-constructed it holds the values at process load.
  struct DetectorState {
    uint32_t energy = 10000;    // smoothed energy of the differenced signal
    bool rising = true;         // the last energy step was an increase
    float noiseFloor = -74.0f;  // dB relative to full scale
    int32_t floorTimer = kFloorHoldSamples;
    int32_t hangover = kHangoverSamples;
    float margin = 10.0f;           // dB the peak must lie above the floor
    int16_t previousSample = 1700;  // last input sample; survives Reset
  };

  /// The detector: the per-step arithmetic over a DetectorState. The state every VAD uses is
  /// the process-wide SharedState(); tests and benchmarks may run the arithmetic on their own.
  class Detector {
   public:
    virtual ~Detector() = default;

    /// The process-wide state shared by every VAD.
    static DetectorState& SharedState();
    /// Every variable back to its initial value except the previous sample.
    static void Reset(DetectorState& state);
    /// One step of at most kStepSamples samples; true when the step counts as speech.
    static bool ProcessStep(DetectorState& state, std::span<const int16_t> step);
    /// All steps of a frame, in order (none skipped); true when any step counts as speech.
    static bool ProcessFrame(DetectorState& state, std::span<const int16_t> frame);
  };

  VAD();
  ~VAD() override = default;

  int32_t ReadTraceLevel() override;

  /// Sets the enabled flag (also set by the constructor; nothing clears it). Returns 0.
  int32_t Enable();
  bool IsEnabled() const { return bEnabled.load(); }

  /// Resets the process-wide detector state (all but the previous sample). Returns 0.
  int32_t TransformStarted() override;
  /// Judges the first input in place and hands it on with one added reference; a silent frame
  /// becomes a silence marker of (samples / 8) ms. Returns 0.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

 private:
  [[maybe_unused]] Detector detector;
  std::atomic<bool> bEnabled{true};
};

}  // namespace tarsio
