// Converts audio from the format of a file to the engine's format (8 kHz 16-bit mono PCM, or
// G.711) through a conversion stream (platform/AcmStream.h), decoupling the two directions of
// flow with a byte queue.
//
// The sink side (RenderAudioSamples, run by the pushing thread, in a file play the file source's
// thread) feeds each sample into one stream header, converts block-aligned (a partial block stays
// behind for the next sample) and appends the result to the output queue, waiting while the queue
// has no room: a producer faster than real time is paced by the consumer. The source side
// (GenerateData, run by the pulling thread, in a file play the capture thread through the
// transmit mixer) cuts one frame of fixed duration out of the queue per call. Nothing is pushed
// downstream.
//
// Threading:
// - Pushing thread: RenderAudioSamples, GetBuffer, AddConvertedData (these block: GetBuffer
//   while the header is in use, AddConvertedData while the queue is full).
// - Pulling thread: GenerateData.
// - Host threads: SetSourceFormat/SetDestinationFormat/SetFrameTime, StartTransform and
//   StopTransform (TransformStarted/TransformStopped), FlushBuffer.
// Locks: outputQueueMutex (the queue), freeBuffersMutex (the header list), stateMutex (start and
// stop), acmMutex (every stream call and the header's contents), runningMutex (bRunning writes).
// formatMutex guards destinationFormat for the pulls (innermost, held only to copy it). No two
// are held at once except stateMutex with one inner lock during start and stop, and stateMutex
// with formatMutex in SetDestinationFormat.
// outputDequeueEvent is set whenever bytes leave the queue, on FlushBuffer and on stop, and wakes
// a producer waiting for room (and a stop that drains); freeBuffersEvent wakes GetBuffer. A stop
// with the input already disconnected waits until the consumer has taken every whole frame; a
// FlushBuffer releases it. After a stop, waiting GetBuffer/AddConvertedData calls return at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioTransformer.h"
#include "platform/AcmStream.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"

namespace tarsio {

class ACMTransformer : public AudioTransformer {
 public:
  static constexpr uint32_t kBufferSize = 16000;  // each stream buffer, and the output queue

  // RenderAudioSamples results.
  static constexpr int32_t kErrConvert = -10;
  static constexpr int32_t kErrInputSize = -20;
  static constexpr int32_t kErrNoBuffer = -30;
  static constexpr int32_t kErrSilence = -40;
  static constexpr int32_t kErrNotRunning = -50;
  // GenerateData results.
  static constexpr int32_t kErrNotEnoughData = -10;
  static constexpr int32_t kErrStopped = -20;
  static constexpr int32_t kErrNoSample = -30;
  // TransformStarted result when the stream cannot be opened.
  static constexpr int32_t kErrOpen = -10;

  ACMTransformer();
  ~ACMTransformer() override;

  int32_t ReadTraceLevel() override;

  /// Copy the format (18 bytes); they take effect at the next TransformStarted. Return 0.
  int32_t SetSourceFormat(const WAVEFORMATEX& format);
  int32_t SetDestinationFormat(const WAVEFORMATEX& format);
  /// Duration of an output frame in milliseconds (20 after construction). Returns 0.
  int32_t SetFrameTime(uint32_t ms);

  /// Empties the output queue and wakes a producer waiting for room. Returns 0.
  int32_t FlushBuffer();
  /// Takes the stream header from the free list, waiting for it; null when not running.
  AcmStreamHeader* GetBuffer();
  /// Puts the header back on the free list and wakes GetBuffer.
  void ReleaseBuffer(AcmStreamHeader* header);
  /// Appends converted bytes to the queue, waiting for room; drops them when not running.
  int32_t AddConvertedData(const uint8_t* data, uint32_t length);

  int32_t TransformStarted() override;
  int32_t TransformStopped() override;
  /// Not used: both directions are overridden. Returns 0 and no sample.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;
  int32_t RenderAudioSamples(AudioSampleList& inputs) override;
  int32_t GenerateData(AudioSample** out) override;

  /// Bytes waiting in the output queue.
  uint32_t QueuedBytes();
  bool IsRunning() const { return bRunning.load(); }

 private:
  /// Frame bytes of a sample in the destination format (0 when the format gives no block).
  uint32_t FrameBytes(const AudioSample& sample) const;
  static AcmFormat ToAcmFormat(const WAVEFORMATEX& format);

  WAVEFORMATEX sourceFormat;
  WAVEFORMATEX destinationFormat;
  AcmStream stream TARSIO_GUARDED_BY(acmMutex);
  AcmStreamHeader header;                  // guarded by acmMutex while converting
  std::unique_ptr<uint8_t[]> srcBuffer;    // kBufferSize bytes
  std::unique_ptr<uint8_t[]> dstBuffer;    // kBufferSize bytes
  std::unique_ptr<uint8_t[]> outputQueue;  // ring of kBufferSize bytes; guarded by outputQueueMutex
  uint32_t queueHead TARSIO_GUARDED_BY(outputQueueMutex) = 0;
  uint32_t queueLength TARSIO_GUARDED_BY(outputQueueMutex) = 0;
  std::unique_ptr<uint8_t[]> convertedCopy;  // the pushing thread's local buffer
  std::vector<AcmStreamHeader*> freeBuffers TARSIO_GUARDED_BY(freeBuffersMutex);
  CriticalSection outputQueueMutex;
  CriticalSection freeBuffersMutex;
  CriticalSection stateMutex;
  CriticalSection acmMutex;
  CriticalSection runningMutex;
  CriticalSection formatMutex;  // guards destinationFormat against pulls; innermost, held briefly
  Event freeBuffersEvent{Event::Reset::kAuto};
  Event outputEnqueueEvent{Event::Reset::kAuto};
  Event outputDequeueEvent{Event::Reset::kAuto};
  std::atomic<uint32_t> frameTime{20};
  std::atomic<bool> bRunning{false};  // written under runningMutex
};

}  // namespace tarsio
