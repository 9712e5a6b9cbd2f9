#include "platform/NullAudioBackend.h"

#include <cstring>

#include "platform/PacedAudioStream.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

namespace {

class NullStream final : public PacedAudioStream {
 public:
  using PacedAudioStream::PacedAudioStream;
  uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
    *got = 0;
    if (!Pace(bytes)) return mmsys::kError;
    std::memset(data, format_.wBitsPerSample == 8 ? 0x80 : 0, bytes);
    *got = bytes;
    return mmsys::kNoError;
  }
  uint32_t Write(const uint8_t*, uint32_t bytes) override {
    return Pace(bytes) ? mmsys::kNoError : mmsys::kError;
  }
  uint32_t Close() override { return mmsys::kNoError; }
};

}  // namespace

std::vector<AudioDeviceInfo> NullAudioBackend::Devices(AudioDirection direction) {
  return {{"null", direction == AudioDirection::kCapture ? "Silence (null)" : "Discard (null)"}};
}

uint32_t NullAudioBackend::Open(AudioDirection, int32_t deviceId, const WAVEFORMATEX& format,
                                std::unique_ptr<Stream>* out) {
  if (deviceId < -1 || deviceId > 0) return mmsys::kBadDeviceId;
  if (format.wFormatTag != kWaveFormatPcm || format.nAvgBytesPerSec == 0) {
    return mmsys::kWaveBadFormat;
  }
  *out = std::make_unique<NullStream>(format);
  return mmsys::kNoError;
}

}  // namespace tarsio
