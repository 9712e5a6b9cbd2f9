// What a source holds of a sink: the push entry.
#pragma once

#include <cstdint>

namespace tarsio {

class AudioSample;
class AudioSource;

class AudioSinkInterface {
 public:
  virtual ~AudioSinkInterface() = default;
  /// Push entry: a source hands one sample (it keeps its own reference; may be null).
  virtual int32_t TakeNextAudioSample(AudioSample* sample, AudioSource* fromSource) = 0;
};

}  // namespace tarsio
