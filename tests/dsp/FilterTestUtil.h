// Helpers for the PCM filter tests: pooled samples filled from and read back as 16-bit values,
// released automatically at the end of a test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "dsp/SampleMath.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"

namespace tarsio::testing {

/// Owns one reference on a pooled sample and releases it when destroyed.
class SampleRef {
 public:
  SampleRef() = default;
  explicit SampleRef(AudioSample* s) : sample_(s) {}
  ~SampleRef() { Reset(); }
  SampleRef(const SampleRef&) = delete;
  SampleRef& operator=(const SampleRef&) = delete;

  AudioSample* get() const { return sample_; }
  AudioSample* operator->() const { return sample_; }
  AudioSample** out() {
    Reset();
    return &sample_;
  }
  void Reset() {
    if (sample_ != nullptr) sample_->Release(&owner_);
    sample_ = nullptr;
  }

 private:
  TracedObject owner_;
  AudioSample* sample_ = nullptr;
};

inline AudioSample* NewSample() {
  AudioSample* s = nullptr;
  static TracedObject requester;
  AudioSampleManager::Instance()->GetAudioSample(&s, &requester);
  return s;
}

/// A pooled 8 kHz 16-bit PCM sample holding the values.
inline AudioSample* MakePcmSample(const std::vector<int16_t>& values) {
  AudioSample* s = NewSample();
  s->SetFormat(PcmFormat());
  for (size_t i = 0; i < values.size(); ++i) {
    dsp::StorePcm16(s->GetData(), static_cast<int32_t>(i), values[i]);
  }
  s->SetDataSize(static_cast<int32_t>(2 * values.size()));
  return s;
}

/// A pooled silence marker of the given duration.
inline AudioSample* MakeSilenceMarker(int32_t ms) {
  AudioSample* s = NewSample();
  s->SetFormat(PcmFormat());
  s->SetDataSize(0);
  s->SetSilenceDuration(ms);
  return s;
}

/// The sample's data as 16-bit values (data size / 2 of them).
inline std::vector<int16_t> ReadPcm(const AudioSample* s) {
  std::vector<int16_t> v(static_cast<size_t>(s->GetDataSize() / 2));
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = dsp::LoadPcm16(s->GetData(), static_cast<int32_t>(i));
  }
  return v;
}

inline AudioSampleList ListOf(std::initializer_list<AudioSample*> samples) {
  AudioSampleList list;
  for (AudioSample* s : samples) list.emplace_back(s, nullptr);
  return list;
}

/// Uniform random 16-bit values, full range.
inline std::vector<int16_t> RandomPcm(std::mt19937& rng, size_t n, int32_t lo = -32768,
                                      int32_t hi = 32767) {
  std::uniform_int_distribution<int32_t> dist(lo, hi);
  std::vector<int16_t> v(n);
  for (auto& x : v) x = static_cast<int16_t>(dist(rng));
  return v;
}

/// FNV-1a over the values, to pin exact outputs.
inline uint64_t Checksum(const std::vector<int16_t>& v) {
  uint64_t h = 1469598103934665603ull;
  for (int16_t x : v) {
    h ^= static_cast<uint16_t>(x);
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace tarsio::testing
