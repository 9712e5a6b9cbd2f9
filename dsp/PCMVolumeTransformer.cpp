#include "dsp/PCMVolumeTransformer.h"

#include <algorithm>

#include "dsp/SampleMath.h"
#include "framework/AudioSample.h"

namespace tarsio {

namespace {

int16_t ScaleOne(int16_t x, int32_t volume) {
  // (volume^2 * 0.0001) * x: at most 1.0, so the result always fits.
  return static_cast<int16_t>(static_cast<double>(volume * volume) * 0.0001 * x);
}

}  // namespace

PCMVolumeTransformer::PCMVolumeTransformer() {
  tracer.SetInstanceName("PCMVolumeTransformer", this);
  ReadTraceLevel();
}

int32_t PCMVolumeTransformer::ReadTraceLevel() { return ReadTraceLevelFor("PCMVolumeTransformer"); }

int32_t PCMVolumeTransformer::SetVolume(int32_t value) {
  volume.store(std::clamp(value, 0, 100), std::memory_order_relaxed);
  return 0;
}

void PCMVolumeTransformer::Scale(std::span<int16_t> samples, int32_t volumePercent) {
  for (int16_t& x : samples) x = ScaleOne(x, volumePercent);
}

int32_t PCMVolumeTransformer::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* sample = inputs.front().first;
  sample->AddRef(static_cast<AudioSource*>(this));

  const int32_t n = std::clamp<int32_t>(sample->GetDataSize(), 0, AudioSample::kCapacity) / 2;
  uint8_t* data = sample->GetData();
  for (int32_t i = 0; i < n; ++i) {
    // The volume is read per value: a concurrent SetVolume applies from the next value on.
    const int32_t v = volume.load(std::memory_order_relaxed);
    dsp::StorePcm16(data, i, ScaleOne(dsp::LoadPcm16(data, i), v));
  }
  *out = sample;
  return 0;
}

}  // namespace tarsio
