// A sound device as a person names it on the command line, for one direction:
//   alsa          the ALSA default device
//   alsa:N        device N of `tarsio devices` (a number)
//   alsa:PCM      the ALSA PCM named PCM (e.g. alsa:plughw:CARD=PCH,DEV=0)
//   file:PATH     capture: the microphone plays the WAV file PATH; playback: records into PATH
//   null          silence in, discard out
// Parse turns the name into the backend to open and the device id to pass to the terminal.
//
// Threading: a plain value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/AudioBackend.h"

namespace tarsio::host {

class DeviceChoice {
 public:
  /// False with a reason in *error for a name that is none of the above.
  static bool Parse(const std::string& text, AudioDirection direction, DeviceChoice* choice,
                    std::string* error);

  const std::shared_ptr<AudioBackend>& Backend() const { return backend_; }
  int32_t DeviceId() const { return deviceId_; }
  /// The WAV path of a file device, else empty.
  const std::string& FilePath() const { return filePath_; }

 private:
  std::shared_ptr<AudioBackend> backend_;
  int32_t deviceId_ = -1;
  std::string filePath_;
};

}  // namespace tarsio::host
