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
    if (!Pace(bytes)) return MMSYSERR_ERROR;
    std::memset(data, format_.wBitsPerSample == 8 ? 0x80 : 0, bytes);
    *got = bytes;
    return MMSYSERR_NOERROR;
  }
  uint32_t Write(const uint8_t*, uint32_t bytes) override {
    return Pace(bytes) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
  }
  uint32_t Close() override { return MMSYSERR_NOERROR; }
};

}  // namespace

std::vector<AudioDeviceInfo> NullAudioBackend::Devices(AudioDirection direction) {
  return {{"null", direction == AudioDirection::kCapture ? "Silence (null)" : "Discard (null)"}};
}

uint32_t NullAudioBackend::Open(AudioDirection, int32_t deviceId, const WAVEFORMATEX& format,
                                std::unique_ptr<Stream>* out) {
  if (deviceId < -1 || deviceId > 0) return MMSYSERR_BADDEVICEID;
  if (format.wFormatTag != WAVE_FORMAT_PCM || format.nAvgBytesPerSec == 0) {
    return WAVERR_BADFORMAT;
  }
  *out = std::make_unique<NullStream>(format);
  return MMSYSERR_NOERROR;
}

}  // namespace tarsio
