// The loudspeaker: an AudioSink that plays the first sample of each cycle on a waveform playback
// device.
//
// numFrames (27) device buffers of frameSize (320) bytes circulate: the sink takes a free buffer
// (waiting up to 1 s at a time while all are at the device, which paces the receive chain), fills
// it from the sample or with zeros for a silence marker, and writes it; the device returns played
// buffers (WOM_DONE) to freeBuffers. Opens are retried once after 1 s; reset, unprepare and close
// 40 times, 50 ms apart; a failed write takes its buffer out of the rotation until the next start.
// The device comes from the sound backend chosen at run time unless SetAudioBackend gave one.
//
// Threading: host threads call set-up, volume and start/stop; the sink thread (or the pushing
// source thread in passive mode) runs RenderAudioSamples and GetFreeBuffer; the device thread runs
// SpeakerCallback. Locks: filterMutex (start/stop hooks) before freeBuffersMutex (freeBuffers) and
// dataMutex (the device handle for writes and volume). The callback takes only freeBuffersMutex.
// bRunning and bRenderClosing are atomics. The played-byte total is a relaxed atomic.
// Stop bound: StopSinkThread waits at most kStopThreadLimitMs for the thread's loop to end and at
// most kCloseLimitMs for it to close the device, logging when a limit is hit, so a dead device
// cannot hang a stop (the base class would wait without limit).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "framework/AudioFormat.h"
#include "framework/AudioSink.h"
#include "framework/DelayStatistics.h"
#include "platform/AudioBackend.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/RingQueue.h"
#include "platform/WaveAudioOut.h"

namespace tarsio {

class WaveAudioSink : public AudioSink {
 public:
  static constexpr uint32_t kMaxSlots = 50;
  static constexpr uint32_t kMaxFrameSize = 3200;
  static constexpr uint32_t kStopThreadLimitMs = 10000;
  static constexpr uint32_t kCloseLimitMs = 60000;

  WaveAudioSink();
  ~WaveAudioSink() override;
  int32_t ReadTraceLevel() override;

  int32_t SetFrameSize(uint32_t bytes);
  int32_t SetNumFrames(uint32_t n);
  int32_t SetDeviceID(int32_t id);
  int32_t GetDeviceID() const { return deviceID; }
  /// Percent, 0..100 (more counts as 100); reaches the device only while it is open.
  int32_t SetVolume(uint32_t percent);
  /// Device buffering to ask for at the next start: periods of periodUs (0, 0: the backend's
  /// default).
  void SetDeviceTiming(uint32_t periodUs, uint32_t periods) {
    devicePeriodUs.store(periodUs);
    devicePeriods.store(periods);
  }
  /// When set, the sink thread waits for a free device buffer before it pulls the next frame
  /// (the low-latency receive mode); when clear, it pulls first and then waits.
  void SetPullWhenReady(bool on) { bPullWhenReady.store(on); }

  /// Delays measured for every frame written since the last start: playback queue (from the
  /// frame reaching the sink to the device starting to play it) and device (the backend's own
  /// output latency). -1 when nothing was measured.
  struct DelayReport {
    int32_t queueMedianMs = -1;
    int32_t queueP95Ms = -1;
    int32_t deviceMedianMs = -1;
    int32_t deviceP95Ms = -1;
  };
  DelayReport GetDelayReport() const;

  /// The backend to open devices on (null: the selector's current one at each start).
  void SetAudioBackend(std::shared_ptr<AudioBackend> backend);

  int32_t SinkStarted() override;
  int32_t SinkStopped() override;
  int32_t SinkThreadStarted(Thread* threadHandle, uint32_t threadID) override;
  int32_t SinkThreadStopped(Thread* threadHandle, uint32_t threadID) override;
  int32_t StopSinkThread() override;
  /// 0, or 5 while the device is closing.
  int32_t RenderAudioSamples(AudioSampleList& audioSamples) override;
  bool ReadyToRender() override;

  int32_t BeginAudioRender();
  int32_t EndAudioRender();
  WAVEHDR* GetFreeBuffer();

  bool IsRunning() const { return bRunning.load(); }
  uint32_t GetFrameSize() const { return frameSize.load(); }
  uint32_t GetNumFrames() const { return numFrames; }
  /// Buffers in freeBuffers now (tests and diagnostics).
  uint32_t FreeBufferCount();

 private:
  static void SpeakerCallback(WaveAudioDevice* device, uint32_t message, uintptr_t instance,
                              uintptr_t param1, uintptr_t param2);

  const WAVEFORMATEX format;
  std::unique_ptr<WaveAudioOut> waveOut;  // replaced under dataMutex
  std::shared_ptr<AudioBackend> backend;
  std::atomic<int32_t> deviceID{WAVE_MAPPER};  // read by SetSpeakerVolume without a lock
  std::atomic<uint32_t> frameSize{320};
  uint32_t numFrames = 27;
  WAVEHDR headers[kMaxSlots];
  uint8_t data[kMaxSlots][kMaxFrameSize];
  RingQueue<WAVEHDR*> freeBuffers;  // guarded by freeBuffersMutex; no allocation per buffer
  uint32_t freeBuffersCount = 0;    // guarded by freeBuffersMutex
  std::atomic<bool> bRunning{false};
  std::atomic<bool> bRenderClosing{false};
  std::atomic<bool> bPullWhenReady{false};
  std::atomic<uint32_t> devicePeriodUs{0};
  std::atomic<uint32_t> devicePeriods{0};
  DelayStatistics queueDelay;   // written by the sink thread
  DelayStatistics deviceDelay;  // written by the sink thread
  Event freeBuffersEvent{Event::Reset::kAuto};
  CriticalSection dataMutex;
  CriticalSection freeBuffersMutex;
  CriticalSection filterMutex;
};

}  // namespace tarsio
