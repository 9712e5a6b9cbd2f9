// Small concrete filters for the framework tests: a scripted source, a recording sink and a
// copying transformer, each with counters the tests assert on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/AudioSource.h"
#include "framework/AudioTransformer.h"

namespace tarsio::testing {

/// Aborts the test run with a message when a test body runs longer than the limit (a deadlock or
/// a lost wake-up), instead of hanging until the runner's time-out.
class Watchdog {
 public:
  explicit Watchdog(const char* what, int seconds = 30)
      : thread_([this, what, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "Watchdog: %s still running after %d s\n", what, seconds);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

/// Takes a fresh pooled sample with `bytes` valid bytes, each set to `fill`.
inline AudioSample* MakeSample(const TracedObject* requester, int32_t bytes = 320,
                               uint8_t fill = 0) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, requester);
  sample->SetFormat(PcmFormat());
  for (int32_t i = 0; i < bytes; ++i) sample->GetData()[i] = fill;
  sample->SetDataSize(bytes);
  return sample;
}

/// A source whose GenerateData follows a script of results (then 0 for ever), handing out a
/// pooled sample on each 0 (or null when `nullSamples` is set). Counts the calls.
class ScriptedSource : public AudioSource {
 public:
  ScriptedSource() { tracer.SetInstanceName("ScriptedSource", this); }
  ~ScriptedSource() override = default;

  int32_t GenerateData(AudioSample** out) override {
    calls.fetch_add(1);
    if (generate) return generate(out);
    if (onGenerate) onGenerate();
    int32_t result = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!script.empty()) {
        result = script.front();
        script.pop_front();
      }
    }
    if (throwOnGenerate) throw std::runtime_error("GenerateData");
    if (result == 0 || withSampleOnError) {
      *out = nullSamples ? nullptr : MakeSample(this, bytes, static_cast<uint8_t>(calls.load()));
    }
    if (result == 0 && *out != nullptr) delivered.fetch_add(1);
    return result;
  }

  int32_t SourceThreadStarted(Thread* handle, uint32_t id) override {
    startedThreadId = id;
    startedHandle = handle;
    return refuseStart;
  }
  int32_t SourceThreadStopped(Thread*, uint32_t id) override {
    stoppedThreadId = id;
    stoppedOnThread = CurrentThreadId();
    stoppedCalls.fetch_add(1);
    return 0;
  }

  // What the thread bookkeeping holds now.
  uint32_t ThreadIdNow() {
    CriticalSectionLock lock(sourceStateMutex);
    return sourceThreadID;
  }
  bool HandleNow() {
    CriticalSectionLock lock(sourceStateMutex);
    return sourceThreadHandle != nullptr;
  }
  size_t SinkCount() {
    CriticalSectionLock lock(audioSinksMutex);
    return audioSinks.size();
  }

  std::mutex mutex;
  std::deque<int32_t> script;
  std::function<void()> onGenerate;
  /// Replaces the script when set.
  std::function<int32_t(AudioSample**)> generate;
  std::atomic<int> calls{0};
  std::atomic<int> delivered{0};
  std::atomic<int> stoppedCalls{0};
  int32_t bytes = 320;
  int32_t refuseStart = 0;
  bool nullSamples = false;
  bool withSampleOnError = false;
  std::atomic<bool> throwOnGenerate{false};
  std::atomic<uint32_t> startedThreadId{0};
  Thread* startedHandle = nullptr;
  std::atomic<uint32_t> stoppedThreadId{0};
  std::atomic<uint32_t> stoppedOnThread{0};
};

/// A sink that records what each render saw: the number of cycles, the samples with their
/// sources and reference counts (only while `record` is set), and what the hooks were given.
class RecordingSink : public AudioSink {
 public:
  struct Seen {
    AudioSample* sample;
    AudioSource* source;
    int32_t refCount;
  };

  RecordingSink() { tracer.SetInstanceName("RecordingSink", this); }
  ~RecordingSink() override = default;

  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    renders.fetch_add(1);
    rendered.fetch_add(static_cast<int>(samples.size()));
    if (record) {
      std::lock_guard<std::mutex> lock(mutex);
      std::vector<Seen> cycle;
      for (auto& [sample, source] : samples)
        cycle.push_back({sample, source, sample->GetRefCount()});
      cycles.push_back(cycle);
    }
    if (onRender) onRender(samples);
    if (throwOnRender) throw std::runtime_error("RenderAudioSamples");
    return renderResult;
  }

  int32_t SinkThreadStarted(Thread*, uint32_t id) override {
    startedThreadId = id;
    threadStarts.fetch_add(1);
    return refuseThreadStart;
  }
  int32_t SinkThreadStopped(Thread*, uint32_t id) override {
    stoppedThreadId = id;
    stoppedOnThread = CurrentThreadId();
    threadStops.fetch_add(1);
    return 0;
  }
  int32_t SinkStarted() override {
    sinkStarts.fetch_add(1);
    return refuseSinkStart;
  }
  int32_t SinkStopped() override {
    sinkStops.fetch_add(1);
    return refuseSinkStop;
  }

  uint32_t ThreadIdNow() {
    CriticalSectionLock lock(sinkStateMutex);
    return sinkThreadID;
  }
  bool HandleNow() {
    CriticalSectionLock lock(sinkStateMutex);
    return sinkThreadHandle != nullptr;
  }
  size_t SourceCount() {
    CriticalSectionLock lock(audioSourcesMutex);
    return audioSources.size();
  }
  std::vector<std::vector<Seen>> Cycles() {
    std::lock_guard<std::mutex> lock(mutex);
    return cycles;
  }

  std::mutex mutex;
  std::vector<std::vector<Seen>> cycles;
  std::function<void(AudioSampleList&)> onRender;
  bool record = false;
  std::atomic<bool> throwOnRender{false};
  int32_t renderResult = 0;
  int32_t refuseThreadStart = 0;
  int32_t refuseSinkStart = 0;
  int32_t refuseSinkStop = 0;
  std::atomic<int> renders{0};
  std::atomic<int> rendered{0};
  std::atomic<int> threadStarts{0};
  std::atomic<int> threadStops{0};
  std::atomic<int> sinkStarts{0};
  std::atomic<int> sinkStops{0};
  std::atomic<uint32_t> startedThreadId{0};
  std::atomic<uint32_t> stoppedThreadId{0};
  std::atomic<uint32_t> stoppedOnThread{0};
};

/// Sums its inputs' first bytes into a fresh pooled sample (or, in place, hands on its first
/// input with an added reference). Optionally fails or throws.
class SummingTransformer : public AudioTransformer {
 public:
  SummingTransformer() { tracer.SetInstanceName("SummingTransformer", this); }
  ~SummingTransformer() override = default;

  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override {
    transforms.fetch_add(1);
    lastInputCount = static_cast<int>(inputs.size());
    if (throwOnTransform) throw std::runtime_error("TransformAudioSamples");
    if (inPlace) {
      if (!inputs.empty()) {
        inputs.front().first->AddRef(static_cast<AudioSink*>(this));
        *out = inputs.front().first;
      }
    } else {
      int sum = 0;
      for (auto& [sample, source] : inputs) sum += sample->GetData()[0];
      *out = MakeSample(static_cast<AudioSink*>(this), 160, static_cast<uint8_t>(sum));
    }
    return failWith;
  }
  int32_t TransformStarted() override { return refuseStart; }

  size_t SinkCount() {
    CriticalSectionLock lock(audioSinksMutex);
    return audioSinks.size();
  }
  size_t SourceCount() {
    CriticalSectionLock lock(audioSourcesMutex);
    return audioSources.size();
  }

  bool inPlace = false;
  int32_t failWith = 0;
  int32_t refuseStart = 0;
  std::atomic<bool> throwOnTransform{false};
  std::atomic<int> transforms{0};
  std::atomic<int> lastInputCount{-1};
};

}  // namespace tarsio::testing
