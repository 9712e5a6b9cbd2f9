// What the device tests share: the engine's PCM format, test samples, a sink that collects what
// reaches it, and a pump that moves a fake clock while retry loops sleep on it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/AudioSource.h"
#include "support/FakeClock.h"

namespace tarsio::devtest {

using Bytes = std::vector<uint8_t>;
inline const WAVEFORMATEX kPcm{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

inline Bytes Pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + i / 256);
  return b;
}

/// A pooled 8 kHz sample holding bytes, or a silence marker of silenceMs when bytes is empty.
inline AudioSample* MakeSample(const Bytes& bytes, int32_t silenceMs = 0) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr);
  sample->SetFormat(kPcm);
  std::copy(bytes.begin(), bytes.end(), sample->GetData());
  sample->SetDataSize(static_cast<int32_t>(bytes.size()));
  if (bytes.empty()) sample->SetSilenceDuration(silenceMs);
  return sample;
}

/// One pulled sample: dataSize -1 when there was none, 0 with silence > 0 for a silence marker.
struct Got {
  int32_t result = 0, dataSize = -1, silence = -1;
  Bytes bytes;
};

inline Got Pull(AudioSource& source) {
  AudioSample* s = nullptr;
  Got got;
  got.result = source.GenerateData(&s);
  if (s != nullptr) {
    got = {got.result, s->GetDataSize(), s->GetSilenceDuration(),
           Bytes(s->GetData(), s->GetData() + std::max(0, s->GetDataSize()))};
    s->Release(nullptr);
  }
  return got;
}

/// Collects the bytes and counts the silence markers rendered to it, from any thread.
class CollectingSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> l(m_);
    for (auto& [s, from] : samples) {
      markers += s->GetDataSize() == 0;
      bytes_.insert(bytes_.end(), s->GetData(), s->GetData() + s->GetDataSize());
    }
    cv_.notify_all();
    return 0;
  }
  bool WaitForBytes(size_t n) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::seconds(10), [&] { return bytes_.size() >= n; });
  }
  Bytes Got() {
    std::lock_guard<std::mutex> l(m_);
    return bytes_;
  }
  std::atomic<int> markers{0};

 private:
  std::mutex m_;
  std::condition_variable cv_;
  Bytes bytes_;
};

/// Moves a fake clock 10 ms every 0.2 ms of real time, so retry sleeps pass quickly.
class ClockPump {
 public:
  explicit ClockPump(testing::FakeClock& clock)
      : thread_([this, &clock] {
          for (; !stop_; std::this_thread::sleep_for(std::chrono::microseconds(200))) {
            clock.AdvanceMs(10);
          }
        }) {}
  ~ClockPump() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

template <typename Pred>
bool WaitUntil(Pred pred, int ms = 5000) {
  for (int i = 0; i < ms && !pred(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pred();
}

}  // namespace tarsio::devtest
