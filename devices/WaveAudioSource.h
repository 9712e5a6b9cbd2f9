// The microphone: an AudioSource that records from a waveform capture device and hands each
// recorded buffer to the transmit chain as one AudioSample.
//
// A ring of numBuffers (10) device buffers circulates between the device and the source thread:
// the device fills a buffer and returns it (WIM_DATA) to buffersToAdd; GenerateData takes it off,
// copies it into a pooled sample (or turns it into a silence marker when the volume is 0 or every
// sample lies within -4..4) and gives it back to the device. SetVolume sets the microphone level
// through the capture mixer. Opens are retried once after 1 s; reset, unprepare and close are
// retried 40 times, 50 ms apart. The device comes from the sound backend chosen at run time
// (AudioBackendSelector) unless SetAudioBackend gave one.
//
// Threading: host threads call the set-up operations and start/stop; the source thread runs
// GenerateData and AddBuffer; the device thread runs WaveInCallback. Locks: filterMutex
// (start/stop hooks) before volumeMutex (serialises the microphone walks) before waveInMutex
// (device handle, bEnabled, handing buffers to the device) and bufferListMutex (buffersToAdd).
// waveInMutex is held only to copy or take the handle (a shared_ptr) and while the media path
// hands a buffer to the device; the volume walk over the capture mixer and the reset/unprepare/
// close of a stop run on a copy of the handle outside it, so they never hold up GenerateData. The
// callback takes only bufferListMutex; dataEvent wakes the source thread. bRunning, bEnabled,
// volume and bVolumePending are atomics (read outside their lock by other threads). The
// recorded-byte total is a relaxed atomic.
// Stop bounds: StopSourceThread wakes the thread for at most 39 x 50 ms, then waits at most
// kCloseLimitMs (8 s) for it to close the device. Closing takes at most a reset and a close, each
// given up after 40 tries 50 ms apart, or, for a device whose read is stuck even when interrupted
// (WaveAudioDevice::IsStalled: it never gives its buffers back), one device wait
// (WaveAudioDevice::kDeviceWaitMs, 1 s): such a device is dropped at once, its thread abandoned.
// So a capture device that stops answering holds a stop for about 1 s. LastStopCompleted() tells
// whether the last stop saw the source thread finish; when it did not, the owner must not destroy
// the source yet. After the device is closed or dropped no callback reaches the source any more,
// and the destructor drops the device before any member goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "framework/AudioFormat.h"
#include "framework/AudioSource.h"
#include "platform/AudioBackend.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/RingQueue.h"
#include "platform/WaveAudioIn.h"

namespace tarsio {

class AudioSampleManager;

class WaveAudioSource : public AudioSource {
 public:
  static constexpr uint32_t kNumBuffers = 10;
  static constexpr uint32_t kMaxSlots = 30;
  static constexpr uint32_t kMaxBufferSize = 3200;
  static constexpr uint32_t kCloseLimitMs = 8000;

  WaveAudioSource();
  ~WaveAudioSource() override;
  int32_t ReadTraceLevel() override;

  int32_t SetFormat(int formatIndex);
  int32_t SetDeviceID(int32_t id);
  int32_t SetBufferSize(uint32_t bytes);
  /// Microphone level in percent (0 mutes); always 0.
  int32_t SetVolume(uint32_t percent);
  /// The backend to open devices on (null: the selector's current one at each start).
  void SetAudioBackend(std::shared_ptr<AudioBackend> backend);

  int32_t SourceStarted() override;
  int32_t SourceStopped() override;
  int32_t SourceThreadStarted(Thread* threadHandle, uint32_t threadID) override;
  int32_t SourceThreadStopped(Thread* threadHandle, uint32_t threadID) override;
  /// Always 0; see the stop bounds above.
  int32_t StopSourceThread() override;
  /// Whether the last StopSourceThread saw the source thread finish (true before any stop).
  bool LastStopCompleted() const { return lastStopCompleted.load(); }
  int32_t GenerateData(AudioSample** out) override;

  int32_t BeginAudioCapture();
  int32_t EndAudioCapture();
  int32_t AddBuffer(uint32_t index);

  bool IsRunning() const { return bRunning.load(); }
  uint32_t GetVolume() const { return volume.load(); }
  int32_t GetDeviceID() const { return deviceID; }
  uint32_t GetBufferSize() const { return bufferSize; }
  const WAVEFORMATEX& GetFormat() const { return format; }

 private:
  static void WaveInCallback(WaveAudioDevice* device, uint32_t message, uintptr_t instance,
                             uintptr_t param1, uintptr_t param2);
  void ApplyVolume(WaveAudioIn& device, uint32_t v);

  WAVEFORMATEX format{};
  std::shared_ptr<WaveAudioIn> waveIn TARSIO_GUARDED_BY(waveInMutex);  // copied, replaced
  std::shared_ptr<AudioBackend> backend;
  int32_t deviceID = wave::kMapper;
  const uint32_t numBuffers = kNumBuffers;
  uint32_t bufferSize = 320;
  WAVEHDR headers[kMaxSlots];
  uint8_t data[kMaxSlots][kMaxBufferSize];
  RingQueue<WAVEHDR*> buffersToAdd TARSIO_GUARDED_BY(bufferListMutex);  // no allocation per buffer
  uint32_t buffersToAddCount TARSIO_GUARDED_BY(bufferListMutex) = 0;
  std::atomic<bool> bEnabled{false};
  std::atomic<bool> bRunning{false};
  std::atomic<uint32_t> volume{0};
  std::atomic<bool> bVolumePending{false};
  std::atomic<bool> lastStopCompleted{true};
  Event dataEvent{Event::Reset::kAuto};
  CriticalSection waveInMutex;
  CriticalSection bufferListMutex;
  CriticalSection volumeMutex TARSIO_ACQUIRED_BEFORE(waveInMutex, bufferListMutex);
  CriticalSection filterMutex TARSIO_ACQUIRED_BEFORE(volumeMutex);
  AudioSampleManager* sampleManager = nullptr;
};

}  // namespace tarsio
