// A whole mono 16-bit PCM WAV file in memory: what the loopback command and the measuring tool
// compare (the microphone input against the loudspeaker recording).
//
// Threading: a plain value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarsio::host {

class AudioClip {
 public:
  AudioClip() = default;
  AudioClip(uint32_t sampleRate, std::vector<int16_t> samples)
      : sampleRate_(sampleRate), samples_(std::move(samples)) {}

  /// Reads a mono 16-bit PCM WAV file; false with a reason in *error otherwise.
  static bool Load(const std::string& path, AudioClip* clip, std::string* error);
  /// Writes the clip as a mono 16-bit PCM WAV file; false with a reason in *error.
  bool Save(const std::string& path, std::string* error) const;

  uint32_t SampleRate() const { return sampleRate_; }
  const std::vector<int16_t>& Samples() const { return samples_; }
  double Seconds() const {
    return sampleRate_ == 0 ? 0.0 : static_cast<double>(samples_.size()) / sampleRate_;
  }
  /// The samples as floats in [-1, 1).
  std::vector<float> Floats() const;
  /// The clip repeated until it holds at least seconds seconds (cut to exactly that length).
  AudioClip RepeatedTo(double seconds) const;

 private:
  uint32_t sampleRate_ = 8000;
  std::vector<int16_t> samples_;
};

}  // namespace tarsio::host
