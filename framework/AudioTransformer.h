// The base of every filter between a source and a sink: a sink on its input side, a source on its
// output side. Derived filters implement TransformAudioSamples (the inputs of one cycle to one
// output sample); the base runs it on the push path (RenderAudioSamples, on the pushing thread)
// and on the pull path (GenerateData, on the pulling thread).
//
// Threading: the push path holds the source side's audioSinksMutex while it sends downstream; the
// pull path holds the sink side's audioSourcesMutex while it pulls upstream. Both run on media
// threads under the chain's locks, so their host-log entries are deferred
// (HostLogWriter::DeferredEntry). TransformAudioSamples
// runs without a base-class lock: a filter reachable from both paths guards its own state.
#pragma once

#include <cstdint>

#include "framework/AudioSink.h"
#include "framework/AudioSource.h"

namespace tarsio {

class AudioTransformer : public AudioSource, public AudioSink {
 public:
  AudioTransformer() = default;
  ~AudioTransformer() override = default;

  /// Pull path.
  int32_t GenerateData(AudioSample** out) override;
  /// Push path.
  int32_t RenderAudioSamples(AudioSampleList& inputs) override;

  virtual int32_t TransformStarted() { return 0; }
  virtual int32_t TransformStopped() { return 0; }
  /// Stores the output (one reference for the caller) or null; must not release the inputs.
  virtual int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) = 0;

  /// Re-reads the trace level and runs TransformStarted; returns its result.
  int32_t StartTransform();
  /// Runs TransformStopped; returns its result.
  int32_t StopTransform();
};

/// source->AddAudioSink(sink), then sink->AddAudioSource(source). Returns 0.
int32_t Connect(AudioSource* source, AudioSink* sink);
/// source->RemoveAudioSink(sink), then sink->RemoveAudioSource(source). Returns 0.
int32_t Disconnect(AudioSource* source, AudioSink* sink);

}  // namespace tarsio
