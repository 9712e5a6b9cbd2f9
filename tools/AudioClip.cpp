#include "tools/AudioClip.h"

#include <cmath>

#include "framework/AudioFormat.h"
#include "platform/WavFile.h"

namespace tarsio::host {

bool AudioClip::Load(const std::string& path, AudioClip* clip, std::string* error) {
  WavFile file;
  if (!file.OpenRead(path, error)) return false;
  const WAVEFORMATEX& format = file.Format();
  if (format.nChannels != 1 || format.wBitsPerSample != 16) {
    *error = path + ": not mono 16-bit PCM (" + std::to_string(format.nChannels) + " channels, " +
             std::to_string(format.wBitsPerSample) + " bits)";
    return false;
  }
  std::vector<int16_t> samples(file.DataSize() / 2);
  const uint32_t got = file.Read(reinterpret_cast<uint8_t*>(samples.data()),
                                 static_cast<uint32_t>(samples.size() * 2));
  samples.resize(got / 2);
  *clip = AudioClip(format.nSamplesPerSec, std::move(samples));
  return true;
}

bool AudioClip::Save(const std::string& path, std::string* error) const {
  WavFile file;
  WAVEFORMATEX format{};
  format.wFormatTag = 1;  // PCM
  format.nChannels = 1;
  format.nSamplesPerSec = sampleRate_;
  format.nAvgBytesPerSec = sampleRate_ * 2;
  format.nBlockAlign = 2;
  format.wBitsPerSample = 16;
  if (!file.OpenWrite(path, format, error)) return false;
  if (!samples_.empty() && !file.Append(reinterpret_cast<const uint8_t*>(samples_.data()),
                                        static_cast<uint32_t>(samples_.size() * 2))) {
    *error = path + ": write failed";
    return false;
  }
  file.Close();
  return true;
}

std::vector<float> AudioClip::Floats() const {
  std::vector<float> out(samples_.size());
  for (size_t i = 0; i < samples_.size(); ++i) out[i] = static_cast<float>(samples_[i]) / 32768.0f;
  return out;
}

AudioClip AudioClip::RepeatedTo(double seconds) const {
  const size_t wanted = static_cast<size_t>(std::llround(seconds * sampleRate_));
  std::vector<int16_t> out;
  out.reserve(wanted);
  while (!samples_.empty() && out.size() < wanted) {
    const size_t n = std::min(samples_.size(), wanted - out.size());
    out.insert(out.end(), samples_.begin(), samples_.begin() + static_cast<long>(n));
  }
  return AudioClip(sampleRate_, std::move(out));
}

}  // namespace tarsio::host
