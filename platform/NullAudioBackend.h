// The sound backend without sound: one capture and one playback device; capture delivers
// silence and playback discards, both paced in real time like a sound card.
//
// Threading: stateless; streams follow PacedAudioStream.
#pragma once

#include "platform/AudioBackend.h"

namespace tarsio {

class NullAudioBackend final : public AudioBackend {
 public:
  std::string Name() const override { return "null"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection direction) override;
  uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override;
};

}  // namespace tarsio
