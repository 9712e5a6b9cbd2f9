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
// SpeakerCallback. Locks: filterMutex (start/stop hooks) before volumeMutex (serialises volume
// calls) before freeBuffersMutex (freeBuffers) and dataMutex (the device handle and the delay
// statistics). dataMutex is held only to copy or replace the handle (a shared_ptr) and to add
// statistics, never across a device call, so a slow volume change or a device call of a stop
// never holds up the render path; the device calls run on the copied handle. The callback takes
// only freeBuffersMutex. bRunning and bRenderClosing are atomics. The played-byte total is a
// relaxed atomic.
// Stop bounds: StopSinkThread wakes the sink thread and waits at most kStopThreadLimitMs (2 s) for
// its loop to end and then at most kCloseLimitMs (12 s) for it to close the device, logging when a
// limit is hit, so a dead device cannot hang a stop (the base class would wait without limit).
// The sink's own closing work fits in kCloseLimitMs: the drain budget (5 s), then the reset and the
// close, each given up after 40 tries 50 ms apart (2 s), and the device's own bounds
// (WaveAudioDevice). A device whose write is stuck even when interrupted
// (WaveAudioDevice::IsStalled) is not retried: after one device wait
// (WaveAudioDevice::kDeviceWaitMs, 1 s) it is dropped at once, its thread abandoned. So with a
// playback device that stops answering a stop returns after about 6 s. LastStopCompleted() tells
// whether the last stop saw the sink thread finish; when it did not (the thread is stuck outside
// this sink, e.g. in a source's pull), the owner must not destroy the sink yet (calling
// StopSinkThread again waits again). Once the device is closed or dropped no device callback
// reaches the sink any more (WaveAudioDevice), and the destructor drops the device before any
// member goes.
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
  static constexpr uint32_t kStopThreadLimitMs = 2000;
  static constexpr uint32_t kCloseLimitMs = 12000;

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
  /// Always 0; see the stop bounds above.
  int32_t StopSinkThread() override;
  /// Whether the last StopSinkThread saw the sink thread finish (true before any stop).
  bool LastStopCompleted() const { return lastStopCompleted.load(); }
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
  std::shared_ptr<WaveAudioOut> waveOut TARSIO_GUARDED_BY(dataMutex);  // copied, replaced
  std::shared_ptr<AudioBackend> backend;
  std::atomic<int32_t> deviceID{wave::kMapper};  // read by SetSpeakerVolume without a lock
  std::atomic<uint32_t> frameSize{320};
  uint32_t numFrames = 27;
  WAVEHDR headers[kMaxSlots];
  uint8_t data[kMaxSlots][kMaxFrameSize];
  RingQueue<WAVEHDR*> freeBuffers TARSIO_GUARDED_BY(freeBuffersMutex);  // no allocation per buffer
  uint32_t freeBuffersCount TARSIO_GUARDED_BY(freeBuffersMutex) = 0;
  std::atomic<bool> bRunning{false};
  std::atomic<bool> bRenderClosing{false};
  std::atomic<bool> bPullWhenReady{false};
  std::atomic<bool> lastStopCompleted{true};
  std::atomic<uint32_t> devicePeriodUs{0};
  std::atomic<uint32_t> devicePeriods{0};
  DelayStatistics queueDelay;   // added to under dataMutex, reset while nothing renders
  DelayStatistics deviceDelay;  // added to under dataMutex, reset while nothing renders
  Event freeBuffersEvent{Event::Reset::kAuto};
  CriticalSection dataMutex;
  CriticalSection freeBuffersMutex;
  CriticalSection volumeMutex TARSIO_ACQUIRED_BEFORE(freeBuffersMutex, dataMutex);
  CriticalSection filterMutex TARSIO_ACQUIRED_BEFORE(volumeMutex);
};

}  // namespace tarsio
