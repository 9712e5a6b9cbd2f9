// Sources, sinks and transformers: references on the push and pull paths, failing and throwing
// filters, the thread start and stop sequences (refused hooks, failed threads, concurrent callers,
// retry pacing) and a whole graph under load while links are cut and rejoined, after which every
// sample must be back in the pool. (TestMain checks the pool after every test as well.)
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/AudioSampleManager.h"
#include "framework/AudioTransformer.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

void Pace() { std::this_thread::sleep_for(std::chrono::microseconds(150)); }

// Waits in real time (generous cap) until pred holds.
bool Eventually(const std::function<bool()>& pred) {
  for (int i = 0; i < 5000 && !pred(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pred();
}

AudioSample* MakeSample(const TracedObject* requester, int32_t bytes = 320) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, requester);
  sample->SetDataSize(bytes);
  return sample;
}

// Hands out a fresh sample per call, or what `generate` (set while no thread runs) says.
class ScriptedSource : public AudioSource {
 public:
  int32_t GenerateData(AudioSample** out) override {
    calls.fetch_add(1);
    if (pace) Pace();
    if (generate) return generate(out);
    *out = MakeSample(this);
    return 0;
  }
  int32_t SourceThreadStarted(Thread*, uint32_t) override {
    starts.fetch_add(1);
    return refuseStart;
  }
  int32_t SourceThreadStopped(Thread*, uint32_t) override {
    stops.fetch_add(1);
    return 0;
  }

  std::function<int32_t(AudioSample**)> generate;
  bool pace = false;
  int32_t refuseStart = 0;
  std::atomic<int> calls{0}, starts{0}, stops{0};
};

// Records the samples (with their counts) of its last render, or with `hold` keeps a reference to
// every sample for ReleaseHeld to drop later from another thread.
class RecordingSink : public AudioSink {
 public:
  ~RecordingSink() override { ReleaseHeld(0); }
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    renders.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mutex);
      last.clear();
      for (auto& [sample, source] : samples) {
        last.emplace_back(sample, sample->GetRefCount());
        if (!hold) continue;
        if (sample->GetRefCount() < 2) belowTwo.fetch_add(1);  // the sender holds one too
        sample->AddRef(this);
        held.push_back(sample);
      }
    }
    if (onRender) onRender();
    if (throwOnRender) throw std::runtime_error("render");
    return 9;
  }
  int32_t SinkThreadStarted(Thread*, uint32_t id) override {
    startedOn = id;
    threadStarts.fetch_add(1);
    return refuseThreadStart;
  }
  int32_t SinkThreadStopped(Thread*, uint32_t) override {
    stoppedOn = CurrentThreadId();
    threadStops.fetch_add(1);
    return 0;
  }

  std::vector<std::pair<AudioSample*, int32_t>> Last() {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
  }
  void ReleaseHeld(size_t keep) {
    std::lock_guard<std::mutex> lock(mutex);
    for (; held.size() > keep; held.pop_front()) held.front()->Release(this);
  }

  std::mutex mutex;
  std::vector<std::pair<AudioSample*, int32_t>> last;
  std::deque<AudioSample*> held;
  std::function<void()> onRender;
  bool hold = false, throwOnRender = false;
  int32_t refuseThreadStart = 0;
  std::atomic<int> renders{0}, threadStarts{0}, threadStops{0}, belowTwo{0};
  std::atomic<uint32_t> startedOn{0}, stoppedOn{0};
};

// Makes a fresh sample of its inputs, or hands on its first input (in place).
class TestTransformer : public AudioTransformer {
 public:
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override {
    if (throwOnTransform) throw std::runtime_error("transform");
    if (inPlace && !inputs.empty()) {
      inputs.front().first->AddRef(static_cast<AudioSink*>(this));
      *out = inputs.front().first;
    } else if (!inPlace) {
      *out = MakeSample(static_cast<AudioSink*>(this), 160);
    }
    return failWith;
  }
  bool inPlace = false, throwOnTransform = false;
  int32_t failWith = 0;
};

TEST(AudioSinkSource, PushAndPullShareReferencesAndReleaseFailedSamples) {
  ScriptedSource a, b;
  TestTransformer transformer;
  RecordingSink sink, other;
  Connect(&a, &sink);
  Connect(&b, &sink);
  Connect(&b, &sink);  // linking twice keeps one link
  Disconnect(&transformer, &sink);

  // A push collects one sample from every other source; the pusher keeps its reference.
  AudioSample* pushed = MakeSample(&a);
  EXPECT_EQ(9, sink.TakeNextAudioSample(pushed, &a));  // the render's result
  EXPECT_EQ(0, a.calls.load());
  EXPECT_EQ(1, b.calls.load());
  ASSERT_EQ(2u, sink.Last().size());
  EXPECT_EQ(std::pair(pushed, 2), sink.Last()[0]);  // the pusher's and the sink's
  EXPECT_EQ(1, sink.Last()[1].second);
  EXPECT_EQ(1, pushed->GetRefCount());

  // A source failing with a sample: dropped from the cycle and released. After a throwing render
  // the cycle is released and the last pull's result returned.
  const auto failWithSample = [&](AudioSample** out) {
    *out = MakeSample(&b);
    return -8;
  };
  b.generate = failWithSample;
  EXPECT_EQ(9, sink.TakeNextAudioSample(pushed, &a));
  EXPECT_EQ(1u, sink.Last().size());
  sink.throwOnRender = true;
  EXPECT_EQ(-8, sink.TakeNextAudioSample(pushed, &a));
  sink.throwOnRender = false;
  EXPECT_EQ(1, pushed->GetRefCount());

  // A pull gives the puller the sample and pushes the same one to the source's other sinks; a
  // failed pull gives the puller the error and the other sinks null.
  Disconnect(&a, &sink);
  Connect(&b, &other);
  b.generate = nullptr;
  sink.RunSinkCycleForTest();
  ASSERT_EQ(1u, other.Last().size());
  EXPECT_EQ(std::pair(sink.Last()[0].first, 2), other.Last()[0]);
  b.generate = failWithSample;
  AudioSample* out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(-8, b.GiveNextAudioSample(&out, &sink));
  EXPECT_EQ(nullptr, out);
  EXPECT_TRUE(other.Last().empty());

  // Through a transformer: the puller and the other sinks share the transformed sample; a failing
  // transform's output is dropped on both paths (a push still renders, with null); after a
  // throwing one the push goes on with null and the pull returns -1.
  Disconnect(&b, &other);
  Connect(&a, &transformer);
  Connect(&transformer, &other);
  EXPECT_EQ(0, transformer.GiveNextAudioSample(&out, &sink));
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(std::pair(out, 2), other.Last()[0]);
  out->Release(nullptr);
  transformer.failWith = -5;
  EXPECT_EQ(-5, transformer.GiveNextAudioSample(&out, &sink));
  EXPECT_EQ(nullptr, out);
  const int renders = other.renders.load();
  EXPECT_EQ(-5, transformer.TakeNextAudioSample(pushed, &a));
  EXPECT_TRUE(other.Last().empty());
  transformer.throwOnTransform = true;
  EXPECT_EQ(0, transformer.TakeNextAudioSample(pushed, &a));
  EXPECT_EQ(renders + 2, other.renders.load());
  EXPECT_EQ(-1, transformer.GiveNextAudioSample(&out, &sink));
  pushed->Release(nullptr);
}

TEST(AudioFilterThreads, RefusedOrFailedStartsLeaveNothingRunning) {
  // A pulling sink and a pushing source, each on a chain of its own (a source pushing into a sink
  // that pulls from it would take the two lists' locks in opposite orders).
  ScriptedSource pulled, source;
  RecordingSink sink, target;
  source.pace = true;
  Connect(&pulled, &sink);
  Connect(&source, &target);

  // The sink's two modes exclude each other.
  EXPECT_EQ(0, sink.StartSink());
  EXPECT_EQ(-10, sink.StartSinkThread());
  EXPECT_EQ(0, sink.StopSink());

  // A refused SinkThreadStarted: -40 once the new thread itself ran the stop hook. A thread that
  // cannot be created (-30) or resumed (-50) runs no hook.
  sink.refuseThreadStart = 5;
  EXPECT_EQ(-40, sink.StartSinkThread());
  EXPECT_EQ(1, sink.threadStops.load());
  EXPECT_EQ(sink.startedOn.load(), sink.stoppedOn.load());
  sink.refuseThreadStart = 0;
  Thread::FailNextCreates(1);
  EXPECT_EQ(-30, sink.StartSinkThread());
  Thread::FailNextResumes(1);
  EXPECT_EQ(-50, sink.StartSinkThread());
  EXPECT_EQ(2, sink.threadStarts.load());
  EXPECT_EQ(1, sink.threadStops.load());

  // The source: refused SourceThreadStarted (-30), failed creation (-20), failed resume (0).
  source.refuseStart = 1;
  EXPECT_EQ(-30, source.StartSourceThread());
  EXPECT_EQ(1, source.stops.load());
  source.refuseStart = 0;
  Thread::FailNextCreates(1);
  EXPECT_EQ(-20, source.StartSourceThread());
  Thread::FailNextResumes(1);
  EXPECT_EQ(0, source.StartSourceThread());
  EXPECT_FALSE(sink.IsSinkThreadRunning() || source.IsSourceThreadRunning());
  EXPECT_EQ(0, sink.renders.load() + target.renders.load());

  // Nothing stale is left: both start (not -20) and stop normally afterwards.
  EXPECT_EQ(0, sink.StartSinkThread());
  EXPECT_EQ(0, source.StartSourceThread());
  EXPECT_TRUE(Eventually([&] { return sink.renders.load() >= 3 && target.renders.load() >= 3; }));
  EXPECT_EQ(0, sink.StopSinkThread());
  EXPECT_EQ(0, source.StopSourceThread());
  EXPECT_EQ(2, sink.threadStops.load());
  EXPECT_EQ(2, source.stops.load());
}

TEST(AudioFilterThreads, ConcurrentStartsAndStopsAlwaysPairUp) {
  ScriptedSource pulled, pushing;
  RecordingSink sink, target;
  Connect(&pulled, &sink);
  Connect(&pushing, &target);
  pushing.pace = true;
  std::atomic<int> bothModes{0};
  sink.onRender = [&] {
    if (sink.IsSinkRunning()) bothModes.fetch_add(1);  // only its own thread renders here
    Pace();
  };
  const std::function<int32_t()> calls[] = {[&] { return sink.StartSinkThread(); },
                                            [&] { return sink.StopSinkThread(); },
                                            [&] { return sink.StartSink(); },
                                            [&] { return sink.StopSink(); },
                                            [&] { return pushing.StartSourceThread(); },
                                            [&] { return pushing.StopSourceThread(); }};
  auto caller = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 200; ++i) {
      const int32_t r = calls[random() % std::size(calls)]();
      EXPECT_TRUE(r == 0 || r == -10) << r;
    }
  };
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) callers.emplace_back(caller, i + 7);
  for (auto& t : callers) t.join();
  EXPECT_EQ(0, sink.StopSinkThread());
  EXPECT_EQ(0, sink.StopSink());
  EXPECT_EQ(0, pushing.StopSourceThread());
  for (int i : {0, 1, 4, 5}) EXPECT_EQ(0, calls[i]());  // nothing stale: start and stop again
  EXPECT_GT(sink.threadStarts.load(), 1);
  EXPECT_EQ(sink.threadStarts.load(), sink.threadStops.load());
  EXPECT_EQ(0, bothModes.load());
  EXPECT_GT(pushing.starts.load(), 1);
  EXPECT_EQ(pushing.starts.load(), pushing.stops.load());
}

TEST(AudioSourceThread, RetriesEveryTenMillisecondsWhileNothingIsAvailable) {
  testing::FakeClock clock;
  ScopedClock useClock(clock);
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  std::atomic<uint64_t> delivered{0};
  sink.onRender = [&] {
    if (delivered.load() == 0) delivered = clock.NowMs();
  };
  source.generate = [&](AudioSample** out) {
    if (source.calls.load() <= 3) return -1;
    *out = MakeSample(&source);
    return 0;
  };
  const uint64_t start = clock.NowMs();
  ASSERT_EQ(0, source.StartSourceThread());
  for (int retry = 1; retry <= 3; ++retry) {
    ASSERT_TRUE(Eventually([&] { return source.calls.load() == retry; }));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    clock.AdvanceMs(10);
  }
  ASSERT_TRUE(Eventually([&] { return delivered.load() != 0; }));
  EXPECT_EQ(start + 30, delivered.load());
  EXPECT_EQ(0, source.StopSourceThread());
}

// Queues what it is pushed (at most 8) and hands it out when pulled: a jitter buffer's shape,
// input and output on two threads.
class QueueTransformer : public AudioTransformer {
 public:
  int32_t RenderAudioSamples(AudioSampleList& inputs) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [sample, source] : inputs) {
      sample->AddRef(static_cast<AudioSink*>(this));
      queue_.push_back(sample);
    }
    for (; queue_.size() > 8; queue_.pop_front()) queue_.front()->Release(nullptr);
    return 0;
  }
  int32_t GenerateData(AudioSample** out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return -1;
    *out = queue_.front();
    queue_.pop_front();
    return 0;
  }
  int32_t TransformAudioSamples(AudioSampleList&, AudioSample**) override { return 0; }
  void Drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (; !queue_.empty(); queue_.pop_front()) queue_.front()->Release(nullptr);
  }

 private:
  std::mutex mutex_;
  std::deque<AudioSample*> queue_;
};

TEST(AudioFilterGraph, EverySampleComesBackWhileLinksAndThreadsChurn) {
  // Transmit-like: a source thread pushes into a mixer that also pulls a second input, then
  // through an in-place filter to a started sink and a holding sink. Receive-like, split at a
  // queue: a source thread pushes in; a sink thread pulls out through a transformer that also
  // feeds a holding sink on each pull. A third thread releases what the holding sinks keep.
  ScriptedSource capture, file, network;
  TestTransformer mixer, inPlace, decoder, reframer;
  QueueTransformer queue;
  RecordingSink out, holder, playback, tap;
  inPlace.inPlace = decoder.inPlace = true;
  capture.pace = network.pace = true;
  holder.hold = tap.hold = true;
  playback.onRender = Pace;
  // clang-format off
  const std::pair<AudioSource*, AudioSink*> links[] = {{&capture, &mixer}, {&file, &mixer},
      {&mixer, &inPlace}, {&inPlace, &holder}, {&inPlace, &out}, {&network, &decoder},
      {&decoder, &queue}, {&queue, &reframer}, {&reframer, &tap}, {&reframer, &playback}};
  // clang-format on
  for (auto [source, sink] : links) Connect(source, sink);
  ASSERT_EQ(0, out.StartSink());
  ASSERT_EQ(0, capture.StartSourceThread());
  ASSERT_EQ(0, network.StartSourceThread());
  ASSERT_EQ(0, playback.StartSinkThread());

  std::atomic<bool> done{false};
  std::thread releaser([&] {
    for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(300))) {
      holder.ReleaseHeld(4);
      tap.ReleaseHeld(4);
    }
  });
  auto linker = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 300; ++i) {
      const auto [source, sink] = links[random() % std::size(links)];
      Disconnect(source, sink);
      Pace();
      Connect(source, sink);
    }
  };
  auto restarter = [&] {
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(0, i % 2 ? playback.StopSinkThread() : network.StopSourceThread());
      Pace();
      EXPECT_EQ(0, i % 2 ? playback.StartSinkThread() : network.StartSourceThread());
    }
  };
  std::thread threads[] = {std::thread(linker, 1), std::thread(linker, 2), std::thread(restarter)};
  for (auto& t : threads) t.join();

  EXPECT_EQ(0, capture.StopSourceThread());
  EXPECT_EQ(0, network.StopSourceThread());
  EXPECT_EQ(0, playback.StopSinkThread());
  EXPECT_EQ(0, out.StopSink());
  done = true;
  releaser.join();
  EXPECT_GT(out.renders.load(), 0);
  EXPECT_GT(playback.renders.load(), 0);
  EXPECT_EQ(0, holder.belowTwo.load() + tap.belowTwo.load());
  holder.ReleaseHeld(0);
  tap.ReleaseHeld(0);
  queue.Drain();
  AudioSampleManager* pool = AudioSampleManager::Instance();
  EXPECT_EQ(0, pool->InUseCount());
  EXPECT_EQ(pool->CreatedCount(), pool->FreeCount());
}

}  // namespace
}  // namespace tarsio
