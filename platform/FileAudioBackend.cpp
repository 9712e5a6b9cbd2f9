#include "platform/FileAudioBackend.h"

#include <cstring>
#include <mutex>

#include "platform/PacedAudioStream.h"
#include "platform/WavFile.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

namespace {

class FileStream final : public PacedAudioStream {
 public:
  FileStream(const WAVEFORMATEX& format, std::unique_ptr<WavFile> file)
      : PacedAudioStream(format), file_(std::move(file)) {}

  uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
    *got = 0;
    if (!Pace(bytes)) return mmsys::kError;
    uint32_t n = 0;
    {
      std::lock_guard<std::mutex> lk(fileMutex_);
      if (file_) n = file_->Read(data, bytes);
    }
    std::memset(data + n, format_.wBitsPerSample == 8 ? 0x80 : 0, bytes - n);
    *got = bytes;
    return mmsys::kNoError;
  }

  uint32_t Write(const uint8_t* data, uint32_t bytes) override {
    {
      std::lock_guard<std::mutex> lk(fileMutex_);
      if (file_ && !file_->Append(data, bytes)) return mmsys::kError;
    }
    return Pace(bytes) ? mmsys::kNoError : mmsys::kError;
  }

  uint32_t Close() override {
    std::lock_guard<std::mutex> lk(fileMutex_);
    file_.reset();
    return mmsys::kNoError;
  }

 private:
  std::mutex fileMutex_;
  std::unique_ptr<WavFile> file_;  // null: silence / discard
};

}  // namespace

FileAudioBackend::FileAudioBackend(std::string capturePath, std::string playbackPath)
    : capturePath_(std::move(capturePath)), playbackPath_(std::move(playbackPath)) {}

std::vector<AudioDeviceInfo> FileAudioBackend::Devices(AudioDirection direction) {
  if (direction == AudioDirection::kCapture) {
    return {{capturePath_, capturePath_.empty() ? "Silence (file)" : "WAV file " + capturePath_}};
  }
  return {{playbackPath_, playbackPath_.empty() ? "Discard (file)" : "WAV file " + playbackPath_}};
}

uint32_t FileAudioBackend::Open(AudioDirection direction, int32_t deviceId,
                                const WAVEFORMATEX& format, std::unique_ptr<Stream>* out) {
  if (deviceId < -1 || deviceId > 0) return mmsys::kBadDeviceId;
  if (format.wFormatTag != kWaveFormatPcm || format.nAvgBytesPerSec == 0) {
    return mmsys::kWaveBadFormat;
  }
  std::unique_ptr<WavFile> file;
  std::string error;
  if (direction == AudioDirection::kCapture && !capturePath_.empty()) {
    file = std::make_unique<WavFile>();
    if (!file->OpenRead(capturePath_, &error)) return mmsys::kNoDriver;
    const WAVEFORMATEX& f = file->Format();
    if (f.nChannels != format.nChannels || f.nSamplesPerSec != format.nSamplesPerSec ||
        f.wBitsPerSample != format.wBitsPerSample) {
      return mmsys::kWaveBadFormat;
    }
  } else if (direction == AudioDirection::kPlayback && !playbackPath_.empty()) {
    file = std::make_unique<WavFile>();
    if (!file->OpenWrite(playbackPath_, format, &error)) return mmsys::kNoDriver;
  }
  *out = std::make_unique<FileStream>(format, std::move(file));
  return mmsys::kNoError;
}

}  // namespace tarsio
