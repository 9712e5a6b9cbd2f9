// A transformer that re-frames audio into samples of one fixed playing time (outputDuration,
// 20 ms unless set otherwise), whatever the sizes of its inputs.
//
// It keeps a byte queue in the input's format: data is appended, silence markers are expanded
// into the zero bytes they stand for, and outputs are cut from the front. Pushed, every input is
// appended and as many full outputs as are ready are sent to the sinks. Pulled, it pulls upstream
// until one full output is ready (an upstream that gives nothing makes it sleep 5 ms per attempt,
// on Clock::Current(), until data comes or it is stopped); stopped, a pull yields a silence marker
// of outputDuration and a push keeps nothing.
//
// outputSize = outputDuration * blockSize * 1000 / blockDuration of the last input's format (320
// bytes for 20 ms of 16-bit 8 kHz PCM, 160 for G.711). The output duration is kept at least 1 ms,
// and outputSize at most a sample's capacity (3200 bytes); an input whose format has no block size
// or duration leaves the previous ones in force. The queue never holds more than one output plus
// one input: each push drains it below outputSize, each pull stops once outputSize is reached.
//
// Threading: an instance is driven from one side only, pushes (one pushing thread) or pulls (one
// pulling thread); TransformStarted/TransformStopped run on the host's thread. bufferMutex guards
// the queue, the format fields and the cutting of outputs on both paths (the pull path takes it
// too, so a stray push cannot race a pull). It is never held while pulling upstream; the push path
// holds it while sending downstream (under the source side's audioSinksMutex, taken inside it).
// bRunning is an atomic read by both media threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioTransformer.h"
#include "platform/CriticalSection.h"

namespace tarsio {

class FixedSizeAudioBuffer : public AudioTransformer {
 public:
  static constexpr int32_t kDefaultOutputDuration = 20;
  static constexpr uint32_t kEmptyPullSleepMs = 5;
  /// Bytes the queue reserves when made: an output and an input of a sample's full capacity, and
  /// as much again for silence markers, so a running chain never grows it.
  static constexpr size_t kQueueReserve = 4 * 3200;

  FixedSizeAudioBuffer();
  ~FixedSizeAudioBuffer() override = default;

  int32_t ReadTraceLevel() override;

  int32_t SetOutputDuration(int32_t ms);
  int32_t TransformStarted() override;
  int32_t TransformStopped() override;
  /// Appends the first input of the list.
  int32_t EnquePacket(AudioSampleList& inputs);
  int32_t RenderAudioSamples(AudioSampleList& inputs) override;
  int32_t GenerateData(AudioSample** out) override;
  /// Never used: both directions are overridden.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  /// Bytes queued now.
  int32_t GetQueuedBytes();
  int32_t GetOutputSize();

 private:
  void ComputeOutputSize();
  /// A pool sample holding the first outputSize queued bytes (bufferMutex held).
  AudioSample* CutOutput();

  std::atomic<int32_t> outputDuration{kDefaultOutputDuration};
  int32_t outputSize = 1000;
  int32_t blockDuration = 1;
  int32_t blockSize = 1;
  WAVEFORMATEX format;
  std::atomic<bool> bRunning{false};
  std::vector<uint8_t> audioBuffer;
  CriticalSection bufferMutex;
};

}  // namespace tarsio
