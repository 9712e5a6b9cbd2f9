// The sound backend of headless machines and tests: the microphone plays a WAV file and the
// loudspeaker records into one, both paced in real time, one buffer per buffer duration.
//
// Capture reads the file's PCM data from its start at every open and gives silence after its end;
// the file's format must equal the format opened (8 kHz 16-bit mono for the engine), else the open
// fails with WAVERR_BADFORMAT. Playback creates (truncates) its file at every open and appends
// each buffer, keeping the WAV header valid after every buffer. A direction without a file
// behaves like the null backend (silence in, discard out). One device per direction (id 0, and
// -1 for the default).
//
// Threading: the paths are fixed at construction; streams follow PacedAudioStream. Only one
// playback stream should be open at a time (a second open truncates the same file).
#pragma once

#include <string>

#include "platform/AudioBackend.h"

namespace tarsio {

class FileAudioBackend final : public AudioBackend {
 public:
  FileAudioBackend(std::string capturePath, std::string playbackPath);

  std::string Name() const override { return "file"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection direction) override;
  uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override;

  const std::string& CapturePath() const { return capturePath_; }
  const std::string& PlaybackPath() const { return playbackPath_; }

 private:
  const std::string capturePath_;
  const std::string playbackPath_;
};

}  // namespace tarsio
