#include "platform/WaveAudioDevice.h"

#include "platform/RingQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/TraceSink.h"

namespace tarsio {

namespace {

constexpr uint32_t kRetryMs = 20;  // fallback retry pause for formats without a byte rate
// The error level bit of trace statements (trace::kError).
constexpr uint32_t kDeviceTraceLevel = 0x10000;

std::atomic<uint32_t> waitLimitMs{WaveAudioDevice::kDeviceWaitMs};
std::atomic<uint64_t> abandonedTotal{0};
std::atomic<uint32_t> abandonedRunning{0};

void Trace(const char* format, uint64_t a, uint64_t b = 0) {
  if (!TraceSink::Enabled()) return;
  char text[200];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned long long>(a),
                static_cast<unsigned long long>(b));
  TraceSink::Write("WaveAudioDevice", kDeviceTraceLevel, text);
}

// Milliseconds from now until deadline on the process clock (0 once it passed).
uint32_t Remaining(uint64_t deadline) {
  const uint64_t now = Clock::Current().NowMs();
  return now >= deadline ? 0u : static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 1u << 30));
}

}  // namespace

// Everything the device thread touches. The object and its thread share it, so a thread that
// outlives the object (abandoned) still works on live memory. Guarded by mutex except the
// constants and staging (device thread only).
struct WaveAudioDevice::State {
  State(AudioDirection d, std::shared_ptr<AudioBackend::Stream> s, const WAVEFORMATEX& f,
        Callback c, uintptr_t i, WaveAudioDevice* dev)
      : direction(d), stream(std::move(s)), format(f), callback(c), instance(i), device(dev) {}

  uint32_t BufferMs(uint32_t bytes) const {
    if (format.nAvgBytesPerSec == 0) return kRetryMs;
    return std::max<uint32_t>(
        1, static_cast<uint32_t>(uint64_t{bytes} * 1000 / format.nAvgBytesPerSec));
  }

  // Delivers one callback unless callbacks are closed; lk (on mutex) is released around it.
  void Deliver(std::unique_lock<std::mutex>& lk, uint32_t message, WAVEHDR* header) {
    if (callbacksClosed || callback == nullptr) return;
    inCallback = true;
    lk.unlock();
    callback(device, message, instance, reinterpret_cast<uintptr_t>(header), 0);
    lk.lock();
    inCallback = false;
    cv.notify_all();
  }

  // Closes callbacks and waits until deadline for one in progress (lk held).
  void CloseCallbacks(std::unique_lock<std::mutex>& lk, uint64_t deadline) {
    callbacksClosed = true;
    if (!Clock::Current().WaitFor(cv, lk, Remaining(deadline), [this] { return !inCallback; })) {
      Trace("closed while a callback has not returned after %llu ms\n", WaitLimitMs());
    }
  }

  // Gives up on the device thread (lk held): from now on it touches only this State.
  void Abandon() {
    detached = true;
    abandoned = true;
    cv.notify_all();
    const uint64_t total = abandonedTotal.fetch_add(1) + 1;
    const uint32_t running = abandonedRunning.fetch_add(1) + 1;
    Trace("abandoned a device thread that did not end (abandoned %llu, still running %llu)\n",
          total, running);
  }

  void ThreadProc();

  const AudioDirection direction;
  const std::shared_ptr<AudioBackend::Stream> stream;
  const WAVEFORMATEX format;
  const Callback callback;
  const uintptr_t instance;
  WaveAudioDevice* const device;  // handed to callbacks only, and only while they are open

  std::mutex mutex;
  std::condition_variable cv;
  RingQueue<WAVEHDR*> queue;     // queued buffers, front first (no allocation per buffer)
  RingQueue<WAVEHDR*> returned;  // reset buffers awaiting their callback
  WAVEHDR* inFlight = nullptr;   // in a backend call now
  uint32_t inFlightBytes = 0;    // its length
  uint64_t inFlightStartMs = 0;  // when its backend call began (clock ms)
  bool stalled = false;          // inFlight's call outlived a full wait of Reset
  bool started = false;
  bool resetting = false;
  bool closing = false;  // Close is closing the stream: no new backend call
  bool quit = false;
  bool closed = false;
  bool streamClosed = false;
  bool closeStreamOnExit = false;  // the stream was busy at destruction: the thread closes it
  bool threadDone = false;
  bool detached = false;  // the object gave up on the thread: it must not touch headers again
  bool abandoned = false;
  bool callbacksClosed = false;
  bool inCallback = false;
  std::vector<uint8_t> staging;  // the device thread's copy of the buffer in flight
};

void WaveAudioDevice::State::ThreadProc() {
  const bool capture = direction == AudioDirection::kCapture;
  const uint32_t doneMessage = capture ? wave::kInData : wave::kOutDone;
  std::unique_lock<std::mutex> lk(mutex);
  Deliver(lk, capture ? wave::kInOpen : wave::kOutOpen, nullptr);
  for (;;) {
    cv.wait(lk, [&] {
      return quit || detached || !returned.empty() ||
             (!resetting && !closing && !queue.empty() && (started || !capture));
    });
    if (detached) break;
    if (!returned.empty()) {
      WAVEHDR* header = returned.front();
      returned.pop_front();
      Deliver(lk, doneMessage, header);
      cv.notify_all();
      continue;
    }
    if (quit) break;
    WAVEHDR* header = queue.front();
    const uint32_t bytes = header->dwBufferLength;
    if (staging.size() < bytes) staging.resize(bytes);
    if (!capture && bytes > 0) std::memcpy(staging.data(), header->lpData, bytes);
    inFlight = header;
    inFlightBytes = bytes;
    inFlightStartMs = Clock::Current().NowMs();
    lk.unlock();
    uint32_t got = 0;
    const uint32_t result =
        capture ? stream->Read(staging.data(), bytes, &got) : stream->Write(staging.data(), bytes);
    lk.lock();
    inFlight = nullptr;
    stalled = false;
    cv.notify_all();
    if (detached) break;  // the buffer may be gone: only this State is still ours
    got = std::min(got, bytes);
    if (resetting) {
      // Reset returns the buffer (with what was recorded so far).
      if (capture && result == mmsys::kNoError) {
        if (got > 0) std::memcpy(header->lpData, staging.data(), got);
        header->dwBytesRecorded = got;
      }
      continue;
    }
    if (result != mmsys::kNoError) {
      // The device failed this buffer: pause one buffer's time so a broken device does not spin.
      // A capture buffer stays queued; a playback buffer counts as played.
      Clock::Current().WaitFor(cv, lk, BufferMs(bytes),
                               [&] { return quit || detached || resetting; });
      if (detached) break;
      if (capture || queue.empty() || queue.front() != header) {
        continue;
      }
    }
    if (queue.empty() || queue.front() != header) {
      continue;  // taken away by a reset in the meantime
    }
    queue.pop_front();
    if (capture) {
      if (got > 0) std::memcpy(header->lpData, staging.data(), got);
      header->dwBytesRecorded = got;
    }
    header->dwFlags = (header->dwFlags & ~wave::kHdrInQueue) | wave::kHdrDone;
    Deliver(lk, doneMessage, header);
  }
  if (closeStreamOnExit && !streamClosed) {
    lk.unlock();
    const bool shut = stream->Close() == mmsys::kNoError || stream->Close() == mmsys::kNoError;
    lk.lock();
    streamClosed = shut;
  }
  Deliver(lk, capture ? wave::kInClose : wave::kOutClose, nullptr);
  threadDone = true;
  if (abandoned) abandonedRunning.fetch_sub(1);
  cv.notify_all();
}

WaveAudioDevice::WaveAudioDevice(AudioDirection direction,
                                 std::unique_ptr<AudioBackend::Stream> stream,
                                 const WAVEFORMATEX& format, Callback callback, uintptr_t instance)
    : format_(format),
      state_(std::make_shared<State>(direction, std::move(stream), format, callback, instance,
                                     this)) {}

WaveAudioDevice::~WaveAudioDevice() {
  State& s = *state_;
  if (!IsClosed()) {
    // Closed without the application's reset/close: drop the queue and force the stream shut.
    Reset();
    std::unique_lock<std::mutex> lk(s.mutex);
    s.queue.clear();
    const bool busy = s.inFlight != nullptr;
    s.closeStreamOnExit = busy;
    s.quit = true;
    s.closed = true;
    s.cv.notify_all();
    lk.unlock();
    if (busy) {
      // A call stuck in the stream: keep it interrupted; the thread closes the stream after it.
      s.stream->SetInterrupted(true);
    } else {
      const bool shut =
          s.stream->Close() == mmsys::kNoError || s.stream->Close() == mmsys::kNoError;
      lk.lock();
      s.streamClosed = shut;
      lk.unlock();
    }
  }
  std::unique_lock<std::mutex> lk(s.mutex);
  const uint64_t deadline = Clock::Current().NowMs() + WaitLimitMs();
  if (!s.threadDone && !s.abandoned) {
    // A call stuck past a full wait is not waited for again.
    const bool stuck = s.inFlight != nullptr && s.stalled;
    if (stuck ||
        !Clock::Current().WaitFor(s.cv, lk, WaitLimitMs(), [&s] { return s.threadDone; })) {
      s.Abandon();
    }
  }
  if (!s.callbacksClosed) s.CloseCallbacks(lk, deadline);
}

bool WaveAudioDevice::Launch() {
  std::shared_ptr<State> state = state_;
  thread_ = Thread::CreateSuspended([state] {
    state->ThreadProc();
    return 0u;
  });
  if (thread_ && !thread_->SetPriority(ThreadPriority::kTimeCritical)) {
    Trace("e-SetThreadPriority : %llu\n", static_cast<uint64_t>(thread_->LastError()));
  }
  if (!thread_ || thread_->Resume() == -1) {
    if (thread_) thread_->Terminate();
    thread_.reset();
    std::lock_guard<std::mutex> lk(state_->mutex);
    state_->threadDone = true;  // nothing to wait for
    return false;
  }
  return true;
}

uint32_t WaveAudioDevice::WaitLimitMs() { return waitLimitMs.load(); }

void WaveAudioDevice::SetWaitLimitMsForTest(uint32_t ms) {
  waitLimitMs.store(ms == 0 ? kDeviceWaitMs : ms);
}

uint64_t WaveAudioDevice::AbandonedThreadCount() { return abandonedTotal.load(); }

uint32_t WaveAudioDevice::AbandonedThreadsRunning() { return abandonedRunning.load(); }

uint32_t WaveAudioDevice::PrepareHeader(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size != kWaveHdrSize || header->lpData == nullptr) {
    return mmsys::kInvalidParam;
  }
  std::lock_guard<std::mutex> lk(state_->mutex);
  if (state_->closed) return mmsys::kInvalidHandle;
  header->dwFlags |= wave::kHdrPrepared;
  return mmsys::kNoError;
}

uint32_t WaveAudioDevice::UnprepareHeader(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size != kWaveHdrSize) {
    return mmsys::kInvalidParam;
  }
  std::lock_guard<std::mutex> lk(state_->mutex);
  if (state_->closed) return mmsys::kInvalidHandle;
  if ((header->dwFlags & wave::kHdrInQueue) != 0) return mmsys::kWaveStillPlaying;
  header->dwFlags &= ~wave::kHdrPrepared;
  return mmsys::kNoError;
}

uint32_t WaveAudioDevice::Enqueue(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size != kWaveHdrSize) {
    return mmsys::kInvalidParam;
  }
  State& s = *state_;
  // Checks the header (lk held); MMSYSERR_NOERROR when it may be queued.
  const auto check = [&] {
    if (s.closed || s.closing) return mmsys::kInvalidHandle;
    if ((header->dwFlags & wave::kHdrPrepared) == 0) return mmsys::kWaveUnprepared;
    if ((header->dwFlags & wave::kHdrInQueue) != 0) return mmsys::kWaveStillPlaying;
    return mmsys::kNoError;
  };
  std::unique_lock<std::mutex> lk(s.mutex);
  if (const uint32_t refused = check()) return refused;
  lk.unlock();
  const uint32_t refused = s.stream->CheckQueue();
  if (refused != mmsys::kNoError) return refused;
  lk.lock();
  if (const uint32_t late = check()) return late;  // closed or queued meanwhile
  header->dwFlags = (header->dwFlags | wave::kHdrInQueue) & ~wave::kHdrDone;
  header->dwBytesRecorded = 0;
  s.queue.push_back(header);
  s.cv.notify_all();
  return mmsys::kNoError;
}

void WaveAudioDevice::SetStarted(bool started) {
  std::lock_guard<std::mutex> lk(state_->mutex);
  state_->started = started;
  state_->cv.notify_all();
}

uint32_t WaveAudioDevice::Reset() {
  State& s = *state_;
  std::unique_lock<std::mutex> lk(s.mutex);
  if (s.closed) return mmsys::kInvalidHandle;
  const uint64_t deadline = Clock::Current().NowMs() + WaitLimitMs();
  s.resetting = true;
  lk.unlock();
  s.stream->SetInterrupted(true);
  lk.lock();
  // A call that already outlived a full wait is not waited for again.
  const bool idle = !(s.inFlight != nullptr && s.stalled) &&
                    Clock::Current().WaitFor(s.cv, lk, Remaining(deadline),
                                             [&s] { return s.inFlight == nullptr; });
  if (!idle && !s.stalled) {
    s.stalled = true;
    Trace("Reset : e-a backend call did not return within %llu ms of its interrupt\n",
          WaitLimitMs());
  }
  uint32_t result = mmsys::kError;
  if (idle) {
    lk.unlock();
    result = s.stream->Reset();
    lk.lock();
  }
  if (result == mmsys::kNoError) {
    if (s.direction == AudioDirection::kCapture) {
      s.started = false;
    }
    for (WAVEHDR* header : s.queue) {
      header->dwFlags = (header->dwFlags & ~wave::kHdrInQueue) | wave::kHdrDone;
      s.returned.push_back(header);
    }
    s.queue.clear();
    s.cv.notify_all();
    // The callbacks of the returned buffers come from the device thread; wait for them so that
    // the caller sees every buffer back when Reset returns.
    Clock::Current().WaitFor(s.cv, lk, Remaining(deadline),
                             [&s] { return s.returned.empty() || s.threadDone; });
  }
  s.resetting = false;
  lk.unlock();
  s.stream->SetInterrupted(false);
  lk.lock();
  s.cv.notify_all();
  return result;
}

uint32_t WaveAudioDevice::Close() {
  State& s = *state_;
  std::unique_lock<std::mutex> lk(s.mutex);
  if (s.closed || s.closing) return mmsys::kInvalidHandle;
  if (!s.queue.empty() || s.inFlight != nullptr) return mmsys::kWaveStillPlaying;
  s.closing = true;
  lk.unlock();
  const uint32_t result = s.stream->Close();
  lk.lock();
  s.closing = false;
  if (result != mmsys::kNoError) {
    s.cv.notify_all();
    return result;
  }
  s.streamClosed = true;
  s.closed = true;
  s.quit = true;
  s.cv.notify_all();
  const uint64_t deadline = Clock::Current().NowMs() + WaitLimitMs();
  if (!Clock::Current().WaitFor(s.cv, lk, WaitLimitMs(), [&s] { return s.threadDone; })) {
    s.Abandon();
  }
  s.CloseCallbacks(lk, deadline);
  return mmsys::kNoError;
}

bool WaveAudioDevice::IsClosed() {
  std::lock_guard<std::mutex> lk(state_->mutex);
  return state_->closed;
}

bool WaveAudioDevice::IsStalled() {
  std::lock_guard<std::mutex> lk(state_->mutex);
  return state_->stalled;
}

uint32_t WaveAudioDevice::HeaderFlags(const WAVEHDR* header) {
  std::lock_guard<std::mutex> lk(state_->mutex);
  return header->dwFlags;
}

void WaveAudioDevice::MarkDone(WAVEHDR* header) {
  std::lock_guard<std::mutex> lk(state_->mutex);
  header->dwFlags |= wave::kHdrDone;
}

uint32_t WaveAudioDevice::OutputLatencyMs() { return state_->stream->OutputLatencyMs(); }

AudioBackend::Stream& WaveAudioDevice::GetStream() { return *state_->stream; }

std::shared_ptr<AudioBackend::Stream> WaveAudioDevice::SharedStream() { return state_->stream; }

uint32_t WaveAudioDevice::PlaybackQueueMs(uint64_t nowMs) {
  State& s = *state_;
  std::lock_guard<std::mutex> lk(s.mutex);
  uint64_t queuedBytes = 0;
  for (const WAVEHDR* header : s.queue) {
    if (header != s.inFlight) queuedBytes += header->dwBufferLength;
  }
  uint64_t ms = queuedBytes * 1000 / std::max<uint32_t>(format_.nAvgBytesPerSec, 1);
  if (s.inFlight != nullptr) {
    const uint64_t length = s.BufferMs(s.inFlightBytes);
    const uint64_t elapsed = nowMs > s.inFlightStartMs ? nowMs - s.inFlightStartMs : 0;
    if (length > elapsed) ms += length - elapsed;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
}

}  // namespace tarsio
