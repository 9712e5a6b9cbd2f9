// One open waveform device: the buffer queue, the device thread and the callbacks shared by
// WaveAudioIn (capture) and WaveAudioOut (playback).
//
// Buffers (WAVEHDR) are prepared (WHDR_PREPARED), queued (WHDR_INQUEUE, WHDR_DONE cleared) and
// handed to the backend stream one at a time by the device thread: a capture buffer is filled by
// Stream::Read, a playback buffer played by Stream::Write. When the call returns the buffer leaves
// the queue marked WHDR_DONE and the callback gets WIM_DATA / WOM_DONE with the header as
// parameter 1. Reset returns every queued buffer the same way (capture buffers with the bytes
// recorded so far, usually 0). The device thread also sends the open and close messages, first
// and last. A capture device moves buffers only between Start and Reset; a playback device from
// the open on.
//
// A backend call that fails is retried after one buffer duration (capture: the buffer stays
// queued; playback: the buffer is returned as played, its audio lost), so a failing device neither
// spins nor stops the buffer cycle.
//
// Threading: one device thread per object makes every callback and every Read/Write. The other
// members may be called from any thread except the callback. mutex_ guards the queue and flags;
// it is never held during a backend call or a callback. Reset and Close wait for the device
// thread with real-time bounds (kDeviceWaitMs) so that a device that stops answering cannot hang
// them: they then fail with MMSYSERR_ERROR and the caller's retry loop decides.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/AudioBackend.h"
#include "platform/RingQueue.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

class WaveAudioDevice {
 public:
  /// The device callback: device, message, instance value, parameter 1, parameter 2.
  using Callback = void (*)(WaveAudioDevice* device, uint32_t message, uintptr_t instance,
                            uintptr_t param1, uintptr_t param2);

  /// Longest wait of Reset/Close for the device thread (real time).
  static constexpr uint32_t kDeviceWaitMs = 1000;

  virtual ~WaveAudioDevice();
  WaveAudioDevice(const WaveAudioDevice&) = delete;
  WaveAudioDevice& operator=(const WaveAudioDevice&) = delete;

  uint32_t PrepareHeader(WAVEHDR* header, uint32_t size);
  uint32_t UnprepareHeader(WAVEHDR* header, uint32_t size);
  /// Reset's result: buffers returned, pacing restarted; capture stops recording.
  uint32_t Reset();
  /// Fails with WAVERR_STILLPLAYING while buffers are queued; on success the device thread has
  /// sent the close message and ended, and only the destructor may follow.
  uint32_t Close();
  bool IsClosed();
  /// A header's flags read under the device's lock (the device thread changes them).
  uint32_t HeaderFlags(const WAVEHDR* header);
  /// Sets WHDR_DONE on a header the application holds (so a drain does not wait for it).
  void MarkDone(WAVEHDR* header);

  /// Playback: how long a buffer written now waits before the device starts playing it (ms):
  /// the buffers queued ahead of it plus what remains of the one being played.
  uint32_t PlaybackQueueMs(uint64_t nowMs);
  /// The stream's own output latency (Stream::OutputLatencyMs).
  uint32_t OutputLatencyMs() { return stream_->OutputLatencyMs(); }

  AudioBackend::Stream& GetStream() { return *stream_; }
  const WAVEFORMATEX& Format() const { return format_; }

 protected:
  WaveAudioDevice(AudioDirection direction, std::unique_ptr<AudioBackend::Stream> stream,
                  const WAVEFORMATEX& format, Callback callback, uintptr_t instance);
  /// Starts the device thread (sends the open message).
  void Launch();
  uint32_t Enqueue(WAVEHDR* header, uint32_t size);
  void SetStarted(bool started);

 private:
  void ThreadProc();
  void Notify(uint32_t message, WAVEHDR* header);
  uint32_t BufferMs(uint32_t bytes) const;

  const AudioDirection direction_;
  std::unique_ptr<AudioBackend::Stream> stream_;
  const WAVEFORMATEX format_;
  const Callback callback_;
  const uintptr_t instance_;

  std::mutex mutex_;
  std::condition_variable cv_;
  RingQueue<WAVEHDR*> queue_;     // queued buffers, front first (no allocation per buffer)
  RingQueue<WAVEHDR*> returned_;  // reset buffers awaiting their callback
  WAVEHDR* inFlight_ = nullptr;   // in a backend call now
  uint64_t inFlightStartMs_ = 0;  // when inFlight_'s backend call began (clock ms)
  bool started_ = false;
  bool resetting_ = false;
  bool quit_ = false;
  bool closed_ = false;
  bool threadDone_ = false;
  std::thread thread_;
};

}  // namespace tarsio
