#include "dsp/PCMVolumeMaximizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dsp/SampleMath.h"
#include "framework/AudioSample.h"
#include "framework/Exception.h"

namespace tarsio {

PCMVolumeMaximizer::PCMVolumeMaximizer() {
  tracer.SetInstanceName("PCMVolumeMaximizer", this);
  ReadTraceLevel();
}

int32_t PCMVolumeMaximizer::ReadTraceLevel() { return ReadTraceLevelFor("PCMVolumeMaximizer"); }

int32_t PCMVolumeMaximizer::SetPercentile(double value) {
  if (value < 0.0) value = 0.0;
  if (value > 100.0) value = 100.0;
  percentile = value;
  return 0;
}

int32_t PCMVolumeMaximizer::SetMaxAmplification(uint32_t value) {
  maximumAmplification = std::max<uint32_t>(value, 100);
  return 0;
}

int32_t PCMVolumeMaximizer::TransformStarted() {
  averageCalculator.Clear();
  return 0;
}

template <typename T>
int32_t PCMVolumeMaximizer::PercentileBin(std::span<const T> samples, double fullScale) {
  std::fill(std::begin(histogram), std::end(histogram), 0u);
  for (const T x : samples) {
    const double magnitude = static_cast<double>(std::abs(static_cast<int64_t>(x)));
    // Beyond full scale (only -128 with 8-bit samples exceeds bin 256) counts as bin 256.
    const int32_t bin = std::min(static_cast<int32_t>(magnitude / fullScale * 256.0), kBins);
    histogram[bin] += 1;
  }
  const uint32_t n = static_cast<uint32_t>(samples.size());
  if (n == 0) return 0;
  // Walk down from the top bin until less than `percentile` percent of the samples lie below the
  // current bin; bin 256 is never counted, so its samples lie below every bin.
  uint32_t counted = 0;
  for (int32_t e = kBins - 1; e >= 0; --e) {
    counted += histogram[e];
    if (static_cast<double>(n - counted) / n * 100.0 < percentile) return e + 1;
  }
  return 0;
}

int32_t PCMVolumeMaximizer::FindPercentileBin(std::span<const int16_t> samples) {
  return PercentileBin(samples, 32767.0);
}

double PCMVolumeMaximizer::GainForBin(int32_t bin) const {
  const double gain = bin > 0 ? 256.0 / bin : std::numeric_limits<double>::infinity();
  const double cap = maximumAmplification * 0.01;
  return gain > cap ? cap : gain;
}

template <typename T>
void PCMVolumeMaximizer::Amplify(std::span<T> samples, double gain, double fullScale) {
  for (T& x : samples) x = static_cast<T>(dsp::ClampTruncate(x * gain, -fullScale, fullScale));
}

void PCMVolumeMaximizer::ApplyGain(std::span<int16_t> samples, double gain) {
  Amplify(samples, gain, 32767.0);
}

double PCMVolumeMaximizer::Maximize(std::span<int16_t> samples) {
  const double gain = GainForBin(FindPercentileBin(samples));
  ApplyGain(samples, gain);
  return gain;
}

int32_t PCMVolumeMaximizer::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* sample = nullptr;
  int32_t code = 0;
  try {
    if (inputs.empty() || inputs.front().first == nullptr) {
      throw Exception(kErrNoInput, "inSample = NULL");
    }
    sample = inputs.front().first;
    const int32_t dataSize = sample->GetDataSize();
    if (dataSize <= 0) throw Exception(kErrSilence, "inSample->DataSize is %d\n", dataSize);
    if (maximumAmplification <= 100) {
      // A cap of 1.00 leaves every frame as it is.
      throw Exception(0, "maximumAmplification is %d\n", static_cast<int>(maximumAmplification));
    }
    const int32_t bits = sample->Format().wBitsPerSample;
    const int32_t bytes = bits == 8 ? 1 : bits == 16 ? 2 : bits == 32 ? 4 : 0;
    if (bytes == 0)
      throw Exception(kErrBitsPerSample, "sample audioformat wBitsPerSample = %d", bits);

    const int32_t n = std::min<int32_t>(dataSize, AudioSample::kCapacity) / bytes;
    uint8_t* data = sample->GetData();
    if (bytes == 2) {
      int16_t buffer[AudioSample::kCapacity / 2];
      for (int32_t i = 0; i < n; ++i) buffer[i] = dsp::LoadPcm16(data, i);
      const std::span<int16_t> frame(buffer, n);
      const double gain = GainForBin(PercentileBin<int16_t>(frame, 32767.0));
      averageCalculator.Add(gain, tracer);
      TRACE(tracer, trace::kDetail, "TransformAudioSamples : amplifying by %.2f\n", gain);
      Amplify(frame, gain, 32767.0);
      for (int32_t i = 0; i < n; ++i) dsp::StorePcm16(data, i, buffer[i]);
    } else if (bytes == 1) {
      int8_t buffer[AudioSample::kCapacity];
      std::memcpy(buffer, data, static_cast<size_t>(n));
      const std::span<int8_t> frame(buffer, n);
      const double gain = GainForBin(PercentileBin<int8_t>(frame, 127.0));
      averageCalculator.Add(gain, tracer);
      TRACE(tracer, trace::kDetail, "TransformAudioSamples : amplifying by %.2f\n", gain);
      Amplify(frame, gain, 127.0);
      std::memcpy(data, buffer, static_cast<size_t>(n));
    } else {
      int32_t buffer[AudioSample::kCapacity / 4];
      for (int32_t i = 0; i < n; ++i) buffer[i] = dsp::LoadPcm32(data, i);
      const std::span<int32_t> frame(buffer, n);
      const double gain = GainForBin(PercentileBin<int32_t>(frame, 2147483647.0));
      averageCalculator.Add(gain, tracer);
      TRACE(tracer, trace::kDetail, "TransformAudioSamples : amplifying by %.2f\n", gain);
      Amplify(frame, gain, 2147483647.0);
      for (int32_t i = 0; i < n; ++i) dsp::StorePcm32(data, i, buffer[i]);
    }
  } catch (const Exception& e) {
    code = e.GetCode();
    if (code < 0) {
      TRACE(tracer, trace::kError, "TransformAudioSamples : error %d. %s\n", code, e.GetMessage());
    } else {
      TRACE(tracer, trace::kDetail, "TransformAudioSamples : error %d. %s\n", code, e.GetMessage());
    }
  }
  if (code == 0) {
    sample->AddRef(static_cast<AudioSource*>(this));
    *out = sample;
  }
  return code;
}

}  // namespace tarsio
