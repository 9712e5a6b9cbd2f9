#include "dsp/VAD.h"

#include <algorithm>
#include <cmath>

#include "dsp/SampleMath.h"
#include "framework/AudioSample.h"

namespace tarsio {

namespace {

// 10 * log10(2^31): the level of a full-scale energy.
constexpr double kFullScaleDb = 93.32;

// Level of an energy in dB relative to full scale; an energy of 0 gives minus infinity.
float EnergyLevel(uint32_t energy) {
  return static_cast<float>(10.0 * std::log10(static_cast<double>(energy)) - kFullScaleDb);
}

}  // namespace

VAD::DetectorState& VAD::Detector::SharedState() {
  static DetectorState state;
  return state;
}

void VAD::Detector::Reset(DetectorState& state) {
  const int16_t previous = state.previousSample;
  state = DetectorState{};
  state.previousSample = previous;
}

bool VAD::Detector::ProcessStep(DetectorState& state, std::span<const int16_t> step) {
  const int32_t m = static_cast<int32_t>(step.size());
  uint32_t energy = state.energy;
  bool rising = state.rising;
  int16_t previous = state.previousSample;
  uint32_t lowest = energy;
  uint32_t highest = energy;
  for (const int16_t x : step) {
    // Difference filter in 16-bit arithmetic with wrap-around.
    const int16_t d =
        static_cast<int16_t>(static_cast<uint16_t>(x) - static_cast<uint16_t>(previous));
    previous = x;
    const int32_t p = static_cast<int32_t>(d) * d;
    // Fast attack (1/32) while rising, slow decay (1/512) otherwise. Both candidates are
    // computed so that the choice compiles to a select rather than an unpredictable branch.
    const int32_t up = (p >> 5) - static_cast<int32_t>(energy >> 6);
    const int32_t down = (p >> 8) - static_cast<int32_t>(energy >> 9);
    const int32_t delta = rising ? up : down;
    energy += static_cast<uint32_t>(delta);
    rising = delta > 0;
    // lowest <= highest always holds, so the "else if" of a running min/max is a plain min/max.
    highest = std::max(highest, energy);
    lowest = std::min(lowest, energy);
  }
  state.energy = energy;
  state.rising = rising;
  state.previousSample = previous;

  const float levelMin = EnergyLevel(lowest);
  const float levelMax = lowest == highest ? levelMin : EnergyLevel(highest);

  if (levelMin <= state.noiseFloor) {
    state.noiseFloor = levelMin;
    state.floorTimer = kFloorHoldSamples;
  } else if (state.floorTimer >= m) {
    state.floorTimer -= m;
  } else {
    state.noiseFloor += 1.0f;
    state.floorTimer = state.floorTimer + kFloorHoldSamples - m;
  }

  if (levelMax > state.noiseFloor + state.margin) {
    state.hangover = kHangoverSamples;
    return true;
  }
  if (state.hangover >= m) {
    state.hangover -= m;
    return true;
  }
  state.hangover = 0;
  return false;
}

bool VAD::Detector::ProcessFrame(DetectorState& state, std::span<const int16_t> frame) {
  bool speech = false;
  for (size_t i = 0; i < frame.size(); i += kStepSamples) {
    const size_t m = std::min<size_t>(kStepSamples, frame.size() - i);
    speech |= ProcessStep(state, frame.subspan(i, m));
  }
  return speech;
}

VAD::VAD() {
  tracer.SetInstanceName("VAD", this);
  ReadTraceLevel();
}

int32_t VAD::ReadTraceLevel() { return ReadTraceLevelFor("VAD"); }

int32_t VAD::Enable() {
  bEnabled.store(true);
  return 0;
}

int32_t VAD::TransformStarted() {
  Detector::Reset(Detector::SharedState());
  return 0;
}

int32_t VAD::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* sample = inputs.front().first;
  sample->AddRef(static_cast<AudioSource*>(this));
  *out = sample;

  const int32_t n = std::clamp<int32_t>(sample->GetDataSize(), 0, AudioSample::kCapacity) / 2;
  int16_t frame[AudioSample::kCapacity / 2];
  const uint8_t* data = sample->GetData();
  for (int32_t i = 0; i < n; ++i) frame[i] = dsp::LoadPcm16(data, i);
  const bool speech =
      Detector::ProcessFrame(Detector::SharedState(), std::span<const int16_t>(frame, n));

  if (speech) {
    TRACE(tracer, trace::kDetail, "Speech : %dms\n", n / 8);
  } else {
    sample->SetDataSize(0);
    sample->SetSilenceDuration(n / 8);
    TRACE(tracer, trace::kDetail, "Silence : %dms\n", n / 8);
  }
  return 0;
}

}  // namespace tarsio
