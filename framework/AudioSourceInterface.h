// What a sink holds of a source: the pull entry.
#pragma once

#include <cstdint>

namespace tarsio {

class AudioSample;
class AudioSink;

class AudioSourceInterface {
 public:
  virtual ~AudioSourceInterface() = default;
  /// Pull entry: stores a sample with one reference for the caller in *out (or null).
  virtual int32_t GiveNextAudioSample(AudioSample** out, AudioSink* requester) = 0;
};

}  // namespace tarsio
