#include "platform/PacedAudioStream.h"

#include "platform/Clock.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

namespace {
constexpr uint64_t kMaxLagMs = 200;
}

PacedAudioStream::PacedAudioStream(const WAVEFORMATEX& format) : format_(format) {}

bool PacedAudioStream::Pace(uint32_t bytes) {
  Clock& clock = Clock::Current();
  std::unique_lock<std::mutex> lk(mutex_);
  if (interrupted_) return false;
  const uint64_t now = clock.NowMs();
  if (!scheduled_ || now > nextMs_ + kMaxLagMs) {
    nextMs_ = now;
    remainderUs_ = 0;
    scheduled_ = true;
  }
  const uint64_t rate = format_.nAvgBytesPerSec != 0 ? format_.nAvgBytesPerSec : 16000;
  const uint64_t us = uint64_t{bytes} * 1000000 / rate + remainderUs_;
  nextMs_ += us / 1000;
  remainderUs_ = us % 1000;
  const uint64_t deadline = nextMs_;
  while (!interrupted_) {
    const uint64_t t = clock.NowMs();
    if (t >= deadline) return true;
    clock.WaitFor(cv_, lk, static_cast<uint32_t>(deadline - t), [this] { return interrupted_; });
  }
  // Interrupted: this buffer's time was not used.
  scheduled_ = false;
  return false;
}

void PacedAudioStream::SetInterrupted(bool interrupted) {
  std::lock_guard<std::mutex> lk(mutex_);
  interrupted_ = interrupted;
  cv_.notify_all();
}

uint32_t PacedAudioStream::Reset() {
  std::lock_guard<std::mutex> lk(mutex_);
  scheduled_ = false;
  return mmsys::kNoError;
}

uint32_t PacedAudioStream::SetVolume(uint32_t level) {
  std::lock_guard<std::mutex> lk(mutex_);
  volume_ = level;
  return mmsys::kNoError;
}

uint32_t PacedAudioStream::GetVolume(uint32_t* level) {
  std::lock_guard<std::mutex> lk(mutex_);
  *level = volume_;
  return mmsys::kNoError;
}

std::vector<AudioMixerLine> PacedAudioStream::MixerLines() {
  return {{mixer::kDstWaveIn, true, true, "Capture"},
          {mixer::kSrcMicrophone, true, true, "Microphone"}};
}

uint32_t PacedAudioStream::GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) {
  if (line > 1) return mmsys::kMixerInvalidLine;
  const bool mute = controlType == mixer::kControlMute;
  if (!mute && controlType != mixer::kControlVolume) return mmsys::kMixerInvalidControl;
  std::lock_guard<std::mutex> lk(mutex_);
  *value = mixer_[line * 2 + (mute ? 1 : 0)];
  return mmsys::kNoError;
}

uint32_t PacedAudioStream::SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) {
  if (line > 1) return mmsys::kMixerInvalidLine;
  const bool mute = controlType == mixer::kControlMute;
  if (!mute && controlType != mixer::kControlVolume) return mmsys::kMixerInvalidControl;
  std::lock_guard<std::mutex> lk(mutex_);
  mixer_[line * 2 + (mute ? 1 : 0)] = mute ? (value != 0 ? 1 : 0) : (value & 0xFFFF);
  return mmsys::kNoError;
}

}  // namespace tarsio
