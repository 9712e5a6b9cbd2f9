#include "tools/HostAudioBackend.h"

#include "tools/EpochClock.h"

namespace tarsio::host {

namespace {

/// Stores now into slot unless it already holds a time.
void StampOnce(std::atomic<int64_t>& slot) {
  int64_t expected = 0;
  slot.compare_exchange_strong(expected, EpochMs());
}

}  // namespace

// Passes everything through to the wrapped stream and stamps the first buffer.
class HostAudioBackend::TimedStream final : public AudioBackend::Stream {
 public:
  TimedStream(std::unique_ptr<Stream> inner, std::atomic<int64_t>* firstBuffer)
      : inner_(std::move(inner)), firstBuffer_(firstBuffer) {}

  uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
    // A capture buffer's audio starts when the read starts: it takes the buffer's playing time.
    StampOnce(*firstBuffer_);
    return inner_->Read(data, bytes, got);
  }
  uint32_t Write(const uint8_t* data, uint32_t bytes) override {
    StampOnce(*firstBuffer_);
    return inner_->Write(data, bytes);
  }
  uint32_t CheckQueue() override { return inner_->CheckQueue(); }
  uint32_t OutputLatencyMs() override { return inner_->OutputLatencyMs(); }
  void SetInterrupted(bool interrupted) override { inner_->SetInterrupted(interrupted); }
  uint32_t Reset() override { return inner_->Reset(); }
  uint32_t Close() override { return inner_->Close(); }
  uint32_t SetVolume(uint32_t level) override { return inner_->SetVolume(level); }
  uint32_t GetVolume(uint32_t* level) override { return inner_->GetVolume(level); }
  std::vector<AudioMixerLine> MixerLines() override { return inner_->MixerLines(); }
  uint32_t GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) override {
    return inner_->GetMixerValue(line, controlType, value);
  }
  uint32_t SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) override {
    return inner_->SetMixerValue(line, controlType, value);
  }

 private:
  std::unique_ptr<Stream> inner_;
  std::atomic<int64_t>* firstBuffer_;
};

HostAudioBackend::HostAudioBackend(std::shared_ptr<AudioBackend> capture,
                                   std::shared_ptr<AudioBackend> playback)
    : capture_(std::move(capture)), playback_(std::move(playback)) {}

std::string HostAudioBackend::Name() const {
  const std::string c = capture_->Name();
  const std::string p = playback_->Name();
  return c == p ? c : c + "+" + p;
}

std::vector<AudioDeviceInfo> HostAudioBackend::Devices(AudioDirection direction) {
  return direction == AudioDirection::kCapture ? capture_->Devices(direction)
                                               : playback_->Devices(direction);
}

uint32_t HostAudioBackend::Open(AudioDirection direction, int32_t deviceId,
                                const WAVEFORMATEX& format, std::unique_ptr<Stream>* out) {
  return OpenTimed(direction, deviceId, format, StreamTiming{}, out);
}

uint32_t HostAudioBackend::OpenTimed(AudioDirection direction, int32_t deviceId,
                                     const WAVEFORMATEX& format, const StreamTiming& timing,
                                     std::unique_ptr<Stream>* out) {
  const bool capture = direction == AudioDirection::kCapture;
  std::unique_ptr<Stream> inner;
  const uint32_t result =
      (capture ? capture_ : playback_)->OpenTimed(direction, deviceId, format, timing, &inner);
  if (result != 0 || !inner) return result;
  StampOnce(capture ? captureOpened_ : playbackOpened_);
  *out = std::make_unique<TimedStream>(std::move(inner),
                                       capture ? &firstCaptureRead_ : &firstPlaybackWrite_);
  return result;
}

}  // namespace tarsio::host
