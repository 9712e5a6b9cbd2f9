#include "dsp/PCMMixer.h"

#include <algorithm>

#include "dsp/SampleMath.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"

namespace tarsio {

PCMMixer::PCMMixer() {
  tracer.SetInstanceName("PCMMixer", this);
  ReadTraceLevel();
}

int32_t PCMMixer::ReadTraceLevel() { return ReadTraceLevelFor("PCMMixer"); }

void PCMMixer::Mix(std::span<const std::span<const int16_t>> inputs, std::span<int16_t> out) {
  for (size_t j = 0; j < out.size(); ++j) {
    double sum = 0.0;
    for (const auto& input : inputs) {
      if (j < input.size()) sum += input[j];
    }
    out[j] = dsp::SaturateTruncate16(sum);
  }
}

int32_t PCMMixer::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  AudioSample* first = nullptr;
  size_t present = 0;
  for (const auto& entry : inputs) {
    if (entry.first == nullptr) continue;
    if (first == nullptr) first = entry.first;
    ++present;
  }
  if (present == 0) return 0;
  if (present == 1) {
    first->AddRef(static_cast<AudioSource*>(this));
    *out = first;
    return 0;
  }

  AudioSample* output = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&output, static_cast<AudioSource*>(this));
  output->SetFormat(first->Format());
  int32_t longest = 0;
  int32_t longestSilence = 0;
  for (const auto& entry : inputs) {
    const AudioSample* s = entry.first;
    if (s == nullptr) continue;
    longest = std::max(longest, s->GetDataSize());
    if (s->GetDataSize() == 0) longestSilence = std::max(longestSilence, s->GetSilenceDuration());
  }
  output->SetSilenceDuration(longestSilence);
  const int32_t n = std::min<int32_t>(static_cast<int32_t>(output->GetCapacity()), longest) / 2;

  // Input by input into one sum per position: every position still adds its inputs in list
  // order, as Mix does. An input contributes the samples it holds whole (size >= 2j + 2).
  double sums[AudioSample::kCapacity / 2];
  std::fill(sums, sums + n, 0.0);
  for (const auto& entry : inputs) {
    const AudioSample* s = entry.first;
    if (s == nullptr) continue;
    const int32_t count = std::min(std::max(s->GetDataSize(), 0) / 2, n);
    const uint8_t* data = s->GetData();
    for (int32_t j = 0; j < count; ++j) sums[j] += dsp::LoadPcm16(data, j);
  }
  uint8_t* dst = output->GetData();
  for (int32_t j = 0; j < n; ++j) dsp::StorePcm16(dst, j, dsp::SaturateTruncate16(sums[j]));
  output->SetDataSize(2 * n);
  *out = output;
  return 0;
}

}  // namespace tarsio
