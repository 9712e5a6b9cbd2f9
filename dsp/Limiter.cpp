#include "dsp/Limiter.h"

#include <algorithm>

#include "dsp/SampleMath.h"
#include "framework/AudioSample.h"

namespace tarsio {

Limiter::Limiter(double threshold, double lossIncrement, double lossDecrement)
    : gain(std::make_unique<LimiterGain>(threshold, lossIncrement, lossDecrement)) {
  tracer.SetInstanceName("Limiter", this);
  ReadTraceLevel();
}

Limiter::~Limiter() = default;

int32_t Limiter::ReadTraceLevel() { return ReadTraceLevelFor("Limiter"); }

int32_t Limiter::SetParameters(double threshold, double lossIncrement, double lossDecrement) {
  TRACE(tracer, trace::kEntry, "SetParameters\n");
  gain.reset();
  gain = std::make_unique<LimiterGain>(threshold, lossIncrement, lossDecrement);
  TRACE(tracer, trace::kEntry, "~SetParameters : returning 0\n");
  return 0;
}

int32_t Limiter::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* sample = inputs.front().first;
  sample->AddRef(static_cast<AudioSource*>(this));
  *out = sample;

  const int32_t bits = sample->Format().wBitsPerSample;
  const int32_t dataSize = std::clamp<int32_t>(sample->GetDataSize(), 0, AudioSample::kCapacity);
  const int32_t n =
      bits > 0 ? std::min<int32_t>(dataSize * 8 / bits, AudioSample::kCapacity / 2) : 0;
  if (n == 0) return 0;

  int16_t buffer[AudioSample::kCapacity / 2];
  uint8_t* data = sample->GetData();
  for (int32_t i = 0; i < n; ++i) buffer[i] = dsp::LoadPcm16(data, i);
  gain->Process(std::span<int16_t>(buffer, n));
  for (int32_t i = 0; i < n; ++i) dsp::StorePcm16(data, i, buffer[i]);
  return 0;
}

}  // namespace tarsio
