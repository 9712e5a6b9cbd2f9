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
// GenerateData and AddBuffer; the device thread runs WaveInCallback. Locks: waveInMutex (device
// handle, bEnabled, handing buffers to the device), bufferListMutex (buffersToAdd), filterMutex
// (start/stop hooks, taken before the other two). The callback takes only bufferListMutex;
// dataEvent wakes the source thread. bRunning, bEnabled, volume and bVolumePending are atomics
// (read outside their lock by other threads). The recorded-byte total is a relaxed atomic.
// Stop bound: StopSourceThread wakes the thread for at most 39 x 50 ms, then the base waits at
// most 15 s; the device calls of EndAudioCapture are bounded by their retry counts.
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
  int32_t StopSourceThread() override;
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
  void ApplyVolume(uint32_t v);

  WAVEFORMATEX format{};
  std::unique_ptr<WaveAudioIn> waveIn;  // guarded by waveInMutex
  std::shared_ptr<AudioBackend> backend;
  int32_t deviceID = WAVE_MAPPER;
  const uint32_t numBuffers = kNumBuffers;
  uint32_t bufferSize = 320;
  WAVEHDR headers[kMaxSlots];
  uint8_t data[kMaxSlots][kMaxBufferSize];
  RingQueue<WAVEHDR*> buffersToAdd;  // guarded by bufferListMutex; no allocation per buffer
  uint32_t buffersToAddCount = 0;    // guarded by bufferListMutex
  std::atomic<bool> bEnabled{false};
  std::atomic<bool> bRunning{false};
  std::atomic<uint32_t> volume{0};
  std::atomic<bool> bVolumePending{false};
  Event dataEvent{Event::Reset::kAuto};
  CriticalSection waveInMutex;
  CriticalSection bufferListMutex;
  CriticalSection filterMutex;
  AudioSampleManager* sampleManager = nullptr;
};

}  // namespace tarsio
