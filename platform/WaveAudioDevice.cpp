#include "platform/WaveAudioDevice.h"

#include <algorithm>
#include <chrono>

#include "platform/Clock.h"

namespace tarsio {

namespace {

constexpr uint32_t kRetryMs = 20;  // fallback retry pause for formats without a byte rate

}  // namespace

WaveAudioDevice::WaveAudioDevice(AudioDirection direction,
                                 std::unique_ptr<AudioBackend::Stream> stream,
                                 const WAVEFORMATEX& format, Callback callback, uintptr_t instance)
    : direction_(direction),
      stream_(std::move(stream)),
      format_(format),
      callback_(callback),
      instance_(instance) {}

WaveAudioDevice::~WaveAudioDevice() {
  if (!IsClosed()) {
    // Closed without the application's reset/close: drop the queue and force the stream shut.
    Reset();
    {
      std::lock_guard<std::mutex> lk(mutex_);
      queue_.clear();
    }
    if (stream_->Close() != MMSYSERR_NOERROR) {
      stream_->Close();
    }
    std::unique_lock<std::mutex> lk(mutex_);
    quit_ = true;
    closed_ = true;
    cv_.notify_all();
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

void WaveAudioDevice::Launch() {
  thread_ = std::thread([this] { ThreadProc(); });
}

uint32_t WaveAudioDevice::BufferMs(uint32_t bytes) const {
  if (format_.nAvgBytesPerSec == 0) {
    return kRetryMs;
  }
  return std::max<uint32_t>(
      1, static_cast<uint32_t>(uint64_t{bytes} * 1000 / format_.nAvgBytesPerSec));
}

uint32_t WaveAudioDevice::PrepareHeader(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size != kWaveHdrSize || header->lpData == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard<std::mutex> lk(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

uint32_t WaveAudioDevice::UnprepareHeader(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size != kWaveHdrSize) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard<std::mutex> lk(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

uint32_t WaveAudioDevice::Enqueue(WAVEHDR* header, uint32_t size) {
  if (header == nullptr || size != kWaveHdrSize) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard<std::mutex> lk(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
  if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
  const uint32_t refused = stream_->CheckQueue();
  if (refused != MMSYSERR_NOERROR) return refused;
  header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
  header->dwBytesRecorded = 0;
  queue_.push_back(header);
  cv_.notify_all();
  return MMSYSERR_NOERROR;
}

void WaveAudioDevice::SetStarted(bool started) {
  std::lock_guard<std::mutex> lk(mutex_);
  started_ = started;
  cv_.notify_all();
}

uint32_t WaveAudioDevice::Reset() {
  std::unique_lock<std::mutex> lk(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  resetting_ = true;
  lk.unlock();
  stream_->SetInterrupted(true);
  lk.lock();
  const auto limit = std::chrono::milliseconds(kDeviceWaitMs);
  const bool idle = cv_.wait_for(lk, limit, [this] { return inFlight_ == nullptr; });
  uint32_t result = MMSYSERR_ERROR;
  if (idle) {
    lk.unlock();
    result = stream_->Reset();
    lk.lock();
  }
  if (result == MMSYSERR_NOERROR) {
    if (direction_ == AudioDirection::kCapture) {
      started_ = false;
    }
    for (WAVEHDR* header : queue_) {
      header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
      returned_.push_back(header);
    }
    queue_.clear();
    cv_.notify_all();
    // The callbacks of the returned buffers come from the device thread; wait for them so that
    // the caller sees every buffer back when Reset returns.
    cv_.wait_for(lk, limit, [this] { return returned_.empty() || threadDone_; });
  }
  resetting_ = false;
  lk.unlock();
  stream_->SetInterrupted(false);
  lk.lock();
  cv_.notify_all();
  return result;
}

uint32_t WaveAudioDevice::Close() {
  std::unique_lock<std::mutex> lk(mutex_);
  if (closed_) return MMSYSERR_INVALHANDLE;
  if (!queue_.empty() || inFlight_ != nullptr) return WAVERR_STILLPLAYING;
  lk.unlock();
  const uint32_t result = stream_->Close();
  if (result != MMSYSERR_NOERROR) {
    return result;
  }
  lk.lock();
  closed_ = true;
  quit_ = true;
  cv_.notify_all();
  const bool done =
      cv_.wait_for(lk, std::chrono::milliseconds(kDeviceWaitMs), [this] { return threadDone_; });
  lk.unlock();
  if (done && thread_.joinable()) {
    thread_.join();
  }
  return MMSYSERR_NOERROR;
}

bool WaveAudioDevice::IsClosed() {
  std::lock_guard<std::mutex> lk(mutex_);
  return closed_;
}

uint32_t WaveAudioDevice::HeaderFlags(const WAVEHDR* header) {
  std::lock_guard<std::mutex> lk(mutex_);
  return header->dwFlags;
}

void WaveAudioDevice::MarkDone(WAVEHDR* header) {
  std::lock_guard<std::mutex> lk(mutex_);
  header->dwFlags |= WHDR_DONE;
}

void WaveAudioDevice::Notify(uint32_t message, WAVEHDR* header) {
  if (callback_ != nullptr) {
    callback_(this, message, instance_, reinterpret_cast<uintptr_t>(header), 0);
  }
}

uint32_t WaveAudioDevice::PlaybackQueueMs(uint64_t nowMs) {
  std::lock_guard<std::mutex> lk(mutex_);
  uint64_t queuedBytes = 0;
  for (const WAVEHDR* header : queue_) {
    if (header != inFlight_) queuedBytes += header->dwBufferLength;
  }
  uint64_t ms = queuedBytes * 1000 / std::max<uint32_t>(format_.nAvgBytesPerSec, 1);
  if (inFlight_ != nullptr) {
    const uint64_t length = BufferMs(inFlight_->dwBufferLength);
    const uint64_t elapsed = nowMs > inFlightStartMs_ ? nowMs - inFlightStartMs_ : 0;
    if (length > elapsed) ms += length - elapsed;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
}

void WaveAudioDevice::ThreadProc() {
  const bool capture = direction_ == AudioDirection::kCapture;
  Notify(capture ? WIM_OPEN : WOM_OPEN, nullptr);
  const uint32_t doneMessage = capture ? WIM_DATA : WOM_DONE;
  std::unique_lock<std::mutex> lk(mutex_);
  for (;;) {
    cv_.wait(lk, [&] {
      return quit_ || !returned_.empty() ||
             (!resetting_ && !queue_.empty() && (started_ || !capture));
    });
    if (!returned_.empty()) {
      WAVEHDR* header = returned_.front();
      returned_.pop_front();
      lk.unlock();
      Notify(doneMessage, header);
      lk.lock();
      cv_.notify_all();
      continue;
    }
    if (quit_) {
      break;
    }
    WAVEHDR* header = queue_.front();
    inFlight_ = header;
    inFlightStartMs_ = Clock::Current().NowMs();
    lk.unlock();
    uint32_t got = 0;
    const uint32_t result = capture ? stream_->Read(header->lpData, header->dwBufferLength, &got)
                                    : stream_->Write(header->lpData, header->dwBufferLength);
    lk.lock();
    inFlight_ = nullptr;
    cv_.notify_all();
    if (resetting_) {
      // Reset returns the buffer (with what was recorded so far).
      if (capture && result == MMSYSERR_NOERROR) header->dwBytesRecorded = got;
      continue;
    }
    if (result != MMSYSERR_NOERROR) {
      // The device failed this buffer: pause one buffer's time so a broken device does not spin.
      // A capture buffer stays queued; a playback buffer counts as played.
      const uint32_t pause = BufferMs(header->dwBufferLength);
      lk.unlock();
      Clock::Current().SleepMs(pause);
      lk.lock();
      if (capture || queue_.empty() || queue_.front() != header) {
        continue;
      }
    }
    if (queue_.empty() || queue_.front() != header) {
      continue;  // taken away by a reset in the meantime
    }
    queue_.pop_front();
    if (capture) header->dwBytesRecorded = std::min(got, header->dwBufferLength);
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    lk.unlock();
    Notify(doneMessage, header);
    lk.lock();
  }
  lk.unlock();
  Notify(capture ? WIM_CLOSE : WOM_CLOSE, nullptr);
  lk.lock();
  threadDone_ = true;
  cv_.notify_all();
}

}  // namespace tarsio
