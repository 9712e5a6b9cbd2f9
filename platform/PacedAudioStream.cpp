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
  return MMSYSERR_NOERROR;
}

uint32_t PacedAudioStream::SetVolume(uint32_t level) {
  std::lock_guard<std::mutex> lk(mutex_);
  volume_ = level;
  return MMSYSERR_NOERROR;
}

uint32_t PacedAudioStream::GetVolume(uint32_t* level) {
  std::lock_guard<std::mutex> lk(mutex_);
  *level = volume_;
  return MMSYSERR_NOERROR;
}

std::vector<AudioMixerLine> PacedAudioStream::MixerLines() {
  return {{MIXERLINE_COMPONENTTYPE_DST_WAVEIN, true, true, "Capture"},
          {MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, true, true, "Microphone"}};
}

uint32_t PacedAudioStream::GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) {
  if (line > 1) return MIXERR_INVALLINE;
  const bool mute = controlType == MIXERCONTROL_CONTROLTYPE_MUTE;
  if (!mute && controlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
  std::lock_guard<std::mutex> lk(mutex_);
  *value = mixer_[line * 2 + (mute ? 1 : 0)];
  return MMSYSERR_NOERROR;
}

uint32_t PacedAudioStream::SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) {
  if (line > 1) return MIXERR_INVALLINE;
  const bool mute = controlType == MIXERCONTROL_CONTROLTYPE_MUTE;
  if (!mute && controlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
  std::lock_guard<std::mutex> lk(mutex_);
  mixer_[line * 2 + (mute ? 1 : 0)] = mute ? (value != 0 ? 1 : 0) : (value & 0xFFFF);
  return MMSYSERR_NOERROR;
}

}  // namespace tarsio
