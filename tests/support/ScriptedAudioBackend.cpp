#include "support/ScriptedAudioBackend.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "platform/WaveAudioTypes.h"

namespace tarsio::testing {

struct ScriptedAudioBackend::State {
  std::mutex mutex;
  std::condition_variable cv;
  struct Refusal {
    int count = 0;
    uint32_t code = MMSYSERR_ERROR;
    // Counts the call; returns the code while refusals remain.
    uint32_t Take(int& calls) {
      ++calls;
      if (count > 0) {
        --count;
        return code;
      }
      return MMSYSERR_NOERROR;
    }
  };
  Refusal open, queue, reset, close;
  int opens = 0, queues = 0, resets = 0, closes = 0, openStreams = 0;
  std::deque<std::vector<uint8_t>> capture;
  std::vector<std::vector<uint8_t>> written;
  bool holdWrites = false;
  std::vector<uint32_t> volumes;
  std::vector<MixerWrite> mixerWrites;
  std::vector<AudioMixerLine> lines;
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> values;
  std::map<std::tuple<uint32_t, uint32_t, bool>, uint32_t> failures;
};

class ScriptedAudioBackend::ScriptedStream final : public AudioBackend::Stream {
 public:
  ScriptedStream(std::shared_ptr<State> state, AudioDirection direction)
      : state_(std::move(state)), direction_(direction) {}

  ~ScriptedStream() override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    if (!closed_) --state_->openStreams;
  }

  uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
    std::unique_lock<std::mutex> lk(state_->mutex);
    *got = 0;
    state_->cv.wait(lk, [&] { return interrupted_ || !state_->capture.empty(); });
    if (interrupted_) return MMSYSERR_ERROR;
    std::vector<uint8_t> chunk = std::move(state_->capture.front());
    state_->capture.pop_front();
    *got = std::min<uint32_t>(bytes, static_cast<uint32_t>(chunk.size()));
    if (*got > 0) std::memcpy(data, chunk.data(), *got);
    return MMSYSERR_NOERROR;
  }

  uint32_t Write(const uint8_t* data, uint32_t bytes) override {
    std::unique_lock<std::mutex> lk(state_->mutex);
    state_->cv.wait(lk, [&] { return interrupted_ || !state_->holdWrites; });
    if (interrupted_) return MMSYSERR_ERROR;
    state_->written.emplace_back(data, data + bytes);
    state_->cv.notify_all();
    return MMSYSERR_NOERROR;
  }

  uint32_t CheckQueue() override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    return state_->queue.Take(state_->queues);
  }

  void SetInterrupted(bool interrupted) override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    interrupted_ = interrupted;
    state_->cv.notify_all();
  }

  uint32_t Reset() override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    return state_->reset.Take(state_->resets);
  }

  uint32_t Close() override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    const uint32_t r = state_->close.Take(state_->closes);
    if (r == MMSYSERR_NOERROR && !closed_) {
      closed_ = true;
      --state_->openStreams;
    }
    return r;
  }

  uint32_t SetVolume(uint32_t level) override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    state_->volumes.push_back(level);
    return MMSYSERR_NOERROR;
  }

  uint32_t GetVolume(uint32_t* level) override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    *level = state_->volumes.empty() ? 0xFFFFFFFFu : state_->volumes.back();
    return MMSYSERR_NOERROR;
  }

  std::vector<AudioMixerLine> MixerLines() override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    return direction_ == AudioDirection::kCapture ? state_->lines : std::vector<AudioMixerLine>{};
  }

  uint32_t GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    auto f = state_->failures.find({line, controlType, true});
    if (f != state_->failures.end()) return f->second;
    *value = state_->values[{line, controlType}];
    return MMSYSERR_NOERROR;
  }

  uint32_t SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) override {
    std::lock_guard<std::mutex> lk(state_->mutex);
    auto f = state_->failures.find({line, controlType, false});
    if (f != state_->failures.end()) return f->second;
    state_->values[{line, controlType}] = value;
    state_->mixerWrites.push_back({line, controlType, value});
    return MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<State> state_;
  const AudioDirection direction_;
  bool interrupted_ = false;  // guarded by state_->mutex
  bool closed_ = false;       // guarded by state_->mutex
};

ScriptedAudioBackend::ScriptedAudioBackend() : state_(std::make_shared<State>()) {
  state_->lines = {{MIXERLINE_COMPONENTTYPE_DST_WAVEIN, true, true, "Capture"},
                   {MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, true, true, "Microphone"}};
}

ScriptedAudioBackend::~ScriptedAudioBackend() = default;

std::vector<AudioDeviceInfo> ScriptedAudioBackend::Devices(AudioDirection direction) {
  if (direction == AudioDirection::kCapture) {
    return {{"mic0", "Scripted microphone 0"}, {"mic1", "Scripted microphone 1"}};
  }
  return {{"spk0", "Scripted speaker 0"}};
}

uint32_t ScriptedAudioBackend::Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX&,
                                    std::unique_ptr<Stream>* out) {
  std::lock_guard<std::mutex> lk(state_->mutex);
  const uint32_t r = state_->open.Take(state_->opens);
  if (r != MMSYSERR_NOERROR) return r;
  if (deviceId < -1 || deviceId >= static_cast<int32_t>(Devices(direction).size())) {
    return MMSYSERR_BADDEVICEID;
  }
  ++state_->openStreams;
  *out = std::make_unique<ScriptedStream>(state_, direction);
  return MMSYSERR_NOERROR;
}

#define LOCKED std::lock_guard<std::mutex> lk(state_->mutex)

void ScriptedAudioBackend::RefuseOpens(int n, uint32_t code) {
  LOCKED;
  state_->open = {n, code};
}
void ScriptedAudioBackend::RefuseQueues(int n, uint32_t code) {
  LOCKED;
  state_->queue = {n, code};
}
void ScriptedAudioBackend::RefuseResets(int n, uint32_t code) {
  LOCKED;
  state_->reset = {n, code};
}
void ScriptedAudioBackend::RefuseCloses(int n, uint32_t code) {
  LOCKED;
  state_->close = {n, code};
}
int ScriptedAudioBackend::Opens() {
  LOCKED;
  return state_->opens;
}
int ScriptedAudioBackend::Queues() {
  LOCKED;
  return state_->queues;
}
int ScriptedAudioBackend::Resets() {
  LOCKED;
  return state_->resets;
}
int ScriptedAudioBackend::Closes() {
  LOCKED;
  return state_->closes;
}
int ScriptedAudioBackend::OpenStreams() {
  LOCKED;
  return state_->openStreams;
}
void ScriptedAudioBackend::PushCapture(std::vector<uint8_t> chunk) {
  LOCKED;
  state_->capture.push_back(std::move(chunk));
  state_->cv.notify_all();
}
std::vector<std::vector<uint8_t>> ScriptedAudioBackend::Written() {
  LOCKED;
  return state_->written;
}
void ScriptedAudioBackend::HoldWrites(bool hold) {
  LOCKED;
  state_->holdWrites = hold;
  state_->cv.notify_all();
}
std::vector<uint32_t> ScriptedAudioBackend::OutputVolumes() {
  LOCKED;
  return state_->volumes;
}
std::vector<ScriptedAudioBackend::MixerWrite> ScriptedAudioBackend::MixerWrites() {
  LOCKED;
  return state_->mixerWrites;
}
void ScriptedAudioBackend::SetMixerLines(std::vector<AudioMixerLine> lines) {
  LOCKED;
  state_->lines = std::move(lines);
}
void ScriptedAudioBackend::FailMixerControl(uint32_t line, uint32_t controlType, bool get,
                                            uint32_t code) {
  LOCKED;
  state_->failures[{line, controlType, get}] = code;
}
uint32_t ScriptedAudioBackend::MixerValue(uint32_t line, uint32_t controlType) {
  LOCKED;
  return state_->values[{line, controlType}];
}

#undef LOCKED

}  // namespace tarsio::testing
