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
// The backend never sees the application's buffers: the device thread copies a playback buffer
// into a staging buffer of its own before the Write, and a captured one out of it after the Read,
// both under mutex. So a thread stuck in the backend holds nothing of the application's.
//
// A backend call that fails is retried after one buffer duration (capture: the buffer stays
// queued; playback: the buffer is returned as played, its audio lost), so a failing device neither
// spins nor stops the buffer cycle.
//
// A device that stops answering: Reset interrupts the stream and waits at most WaitLimitMs() for
// the backend call in flight. If the call does not return, Reset fails (MMSYSERR_ERROR) and the
// device counts as stalled (IsStalled) until the call returns; later Resets and the destructor
// do not wait for that call again. Close still refuses while a buffer is queued or in flight
// (WAVERR_STILLPLAYING). The destructor never waits without limit: it resets, closes the stream
// (or, while a call is stuck in it, leaves that to the device thread when the call returns) and
// waits at most WaitLimitMs() for the thread to end; a thread that does not end is abandoned. An
// abandoned thread owns everything it still uses (the stream, the staging buffer, the queue
// state: one State shared by the object and its thread), never touches the application's buffers
// again, sends no more callbacks, closes the stream if its call ever returns, and ends. Close
// abandons the thread the same way when it does not end in time (a callback that does not
// return); the close still succeeds. AbandonedThreadCount() counts abandoned threads for the
// process (traced under "WaveAudioDevice" at the error level each time), AbandonedThreadsRunning()
// those still alive, so that leaks can be reported.
//
// Callbacks: the device thread delivers every callback as "in callback" under mutex and only while
// callbacks are open. Close and the destructor close them and then wait (within their bound) for
// a callback in progress; once either has returned, no callback is delivered again. A callback
// that outlives that wait is traced; it is the only one that can still be running.
//
// Bounds (L = WaitLimitMs(), kDeviceWaitMs = 1 s unless a test sets it; waits run on
// Clock::Current()): Reset returns within L plus the stream's own Reset; Close within L plus the
// stream's own Close; the destructor within 2 L plus the stream's Reset and Close (AlsaAudioBackend
// bounds each of those at 1 s). With a backend call stuck, the first Reset waits L and everything
// after it returns without waiting for that call.
//
// Priority: the device thread runs at ThreadPriority::kTimeCritical (real-time scheduling unless
// TARSIO_NO_REALTIME is set, see Thread); a refusal by the kernel is traced and otherwise ignored.
//
// Threading: one device thread per object makes every callback and every Read/Write. The other
// members may be called from any thread except the callback. The State's mutex guards the queue,
// the flags and the headers' fields while the device holds them; it is never held during a
// backend call or a callback (only the short staging copies run under it). No lock is held while
// Enqueue asks the stream (CheckQueue).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/AudioBackend.h"
#include "platform/Thread.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

class WaveAudioDevice {
 public:
  /// The device callback: device, message, instance value, parameter 1, parameter 2.
  using Callback = void (*)(WaveAudioDevice* device, uint32_t message, uintptr_t instance,
                            uintptr_t param1, uintptr_t param2);

  /// Default longest wait of Reset/Close/the destructor for the device thread (ms, process clock).
  static constexpr uint32_t kDeviceWaitMs = 1000;

  virtual ~WaveAudioDevice();
  WaveAudioDevice(const WaveAudioDevice&) = delete;
  WaveAudioDevice& operator=(const WaveAudioDevice&) = delete;

  uint32_t PrepareHeader(WAVEHDR* header, uint32_t size);
  uint32_t UnprepareHeader(WAVEHDR* header, uint32_t size);
  /// Reset's result: buffers returned, pacing restarted; capture stops recording. MMSYSERR_ERROR
  /// when the backend call in flight did not return in time (the device is then stalled).
  uint32_t Reset();
  /// Fails with WAVERR_STILLPLAYING while buffers are queued; on success the stream is closed, no
  /// callback comes any more, and only the destructor may follow. Normally the device thread has
  /// sent the close message and ended; one that did not end in time is abandoned (see above).
  uint32_t Close();
  bool IsClosed();
  /// A backend call has been stuck past a full wait of Reset and has not returned yet.
  bool IsStalled();
  /// A header's flags read under the device's lock (the device thread changes them).
  uint32_t HeaderFlags(const WAVEHDR* header);
  /// Sets WHDR_DONE on a header the application holds (so a drain does not wait for it).
  void MarkDone(WAVEHDR* header);

  /// Playback: how long a buffer written now waits before the device starts playing it (ms):
  /// the buffers queued ahead of it plus what remains of the one being played.
  uint32_t PlaybackQueueMs(uint64_t nowMs);
  /// The stream's own output latency (Stream::OutputLatencyMs).
  uint32_t OutputLatencyMs();

  AudioBackend::Stream& GetStream();
  /// The stream, shared: stays valid after the device is closed or gone (mixer, volume calls).
  std::shared_ptr<AudioBackend::Stream> SharedStream();
  const WAVEFORMATEX& Format() const { return format_; }

  /// The current wait limit L (ms on the process clock).
  static uint32_t WaitLimitMs();
  /// Tests: sets L (0 restores kDeviceWaitMs).
  static void SetWaitLimitMsForTest(uint32_t ms);
  /// Device threads abandoned in this process so far (each a leak: see above).
  static uint64_t AbandonedThreadCount();
  /// Abandoned device threads that have not ended yet.
  static uint32_t AbandonedThreadsRunning();

 protected:
  WaveAudioDevice(AudioDirection direction, std::unique_ptr<AudioBackend::Stream> stream,
                  const WAVEFORMATEX& format, Callback callback, uintptr_t instance);
  /// Starts the device thread (sends the open message). False when no thread could be made.
  bool Launch();
  uint32_t Enqueue(WAVEHDR* header, uint32_t size);
  void SetStarted(bool started);

 private:
  struct State;

  const WAVEFORMATEX format_;
  const std::shared_ptr<State> state_;  // shared with the device thread
  std::unique_ptr<Thread> thread_;      // the handle only: dropping it never waits
};

}  // namespace tarsio
