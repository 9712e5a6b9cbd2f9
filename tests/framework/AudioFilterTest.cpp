// Samples and the filters they flow through: pool reuse and misuse, durations, RTP ordering across
// wraps, references on the push and pull paths, the thread start and stop sequences and a whole
// graph under load while links are cut and rejoined (TestMain then finds every sample back).
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/AudioSampleManager.h"
#include "framework/AudioTransformer.h"
#include "rtp/RTPPacket.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

void Pace() { std::this_thread::sleep_for(std::chrono::microseconds(150)); }

bool Eventually(const std::function<bool()>& pred) {  // real time, generous cap
  for (int i = 0; i < 5000 && !pred(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return pred();
}

AudioSample* Get(const TracedObject* requester = nullptr, int32_t bytes = 0) {
  AudioSample* sample = nullptr;
  EXPECT_EQ(0, AudioSampleManager::Instance()->GetAudioSample(&sample, requester));
  if (bytes) sample->SetDataSize(bytes);
  return sample;
}

TEST(AudioSamplePool, ReusesFirstInFirstOutAndPoisonsMisusedSamplesForGood) {
  testing::FakeClock clock;
  ScopedClock useClock(clock);
  AudioSample* a = Get();
  AudioSample* b = Get();
  a->SetFormat(MakeAudioFormat(0));
  a->SetDataSize(160);
  a->SetRTPHeader(RTPPacket{});
  a->Release(nullptr);
  b->Release(nullptr);
  // Handed out again in release order, reset but with the format kept.
  EXPECT_EQ(a, Get());
  EXPECT_EQ(b, Get());
  EXPECT_EQ(0, a->GetDataSize());
  EXPECT_EQ(nullptr, a->GetRTPHeader());
  EXPECT_EQ(MakeAudioFormat(0), a->Format());

  // A release below one or an AddRef on a pooled sample returns -10 only after the culprit slept
  // 500 ms (of fake time), and the sample is never handed out again.
  a->Release(nullptr);
  b->Release(nullptr);
  const std::function<int32_t()> misuses[] = {[&] { return a->Release(nullptr); },
                                              [&] { return b->AddRef(nullptr); }};
  for (const auto& misuse : misuses) {
    auto result = std::async(std::launch::async, misuse);
    EXPECT_TRUE(clock.WaitForSleepers(1));
    clock.AdvanceMs(500);
    EXPECT_EQ(-10, result.get());
  }
  AudioSample* fresh = Get();
  EXPECT_TRUE(fresh != a && fresh != b);
  fresh->Release(nullptr);
  AudioSampleManager::DestroyInstance();  // deletes the poisoned two (the leak sanitizer checks)
}

TEST(AudioSample, DurationsAndSilenceSizesOfEveryFormat) {
  WAVEFORMATEX stereo16k = PcmFormat(), stereo44k = PcmFormat();
  stereo16k.nChannels = stereo44k.nChannels = 2;
  stereo16k.nSamplesPerSec = 16000;
  stereo44k.nSamplesPerSec = 44100;
  // clang-format off
  struct Row { WAVEFORMATEX format; int32_t dataSize, durationMs, silenceMs, silenceBytes; };
  const Row rows[] = {
      {PcmFormat(), 320, 20, 20, 320},        {stereo16k, 640, 9, 10, 645},
      {stereo44k, 4, 0, 1, 181},              {MakeAudioFormat(0), 160, 20, 20, 160},
      {MakeAudioFormat(1), 80, 10, 30, 240},  {MakeAudioFormat(2), 20, 20, 20, 20},
      {MakeAudioFormat(3), 60, 90, 30, 20},   {MakeAudioFormat(4), 48, 60, 60, 48}};
  // clang-format on
  AudioSample* sample = Get();
  for (const Row& row : rows) {
    sample->SetFormat(row.format);
    sample->SetDataSize(row.dataSize);
    sample->SetSilenceDuration(row.silenceMs);
    EXPECT_EQ(row.durationMs, sample->GetDuration()) << row.format.wFormatTag;
    EXPECT_EQ(row.silenceBytes, sample->GetSilenceDataSize()) << row.format.wFormatTag;
  }
  sample->SetDataSize(1);  // real data ends a silence marker
  EXPECT_EQ(0, sample->GetSilenceDuration());
  sample->AddRef(nullptr);  // a shared sample's format cannot change under the other holder
  sample->SetFormat(PcmFormat());
  EXPECT_EQ(MakeAudioFormat(4), sample->Format());
  sample->Release(nullptr);
  sample->Release(nullptr);
}

TEST(AudioSample, OrderByTimestampThenSequenceNumberAcrossWraps) {
  // clang-format off
  struct Row { uint32_t tsA; uint16_t seqA; uint32_t tsB; uint16_t seqB; bool aEarlier, bEarlier; };
  const Row rows[] = {
      {100, 0, 200, 0, true, false},
      {0xFFFFFF00u, 0, 0x100u, 0, true, false},  // 256 below and above the wrap
      {0x8FFFFFFFu, 0, 0, 0, true, false},       // distance at the threshold: wrapped
      {0x8FFFFFFEu, 0, 0, 0, false, true},       // just under it: plain order
      {0xFFFFFFFFu, 0, 0, 0, true, false},
      {500, 65535, 500, 2, true, false},  // sequence wrap
      {500, 36863, 500, 0, true, false},  // 16-bit threshold
      {500, 36862, 500, 0, false, true},
      {500, 7, 500, 7, false, false}};  // the same packet
  // clang-format on
  AudioSample* a = Get();
  AudioSample* b = Get();
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.tsA << "/" << row.seqA << " vs " << row.tsB);
    a->SetRTPHeader(RTPPacket{.sequenceNumber = row.seqA, .timestamp = row.tsA});
    b->SetRTPHeader(RTPPacket{.sequenceNumber = row.seqB, .timestamp = row.tsB});
    EXPECT_EQ(row.aEarlier, a->IsEarlierThan(b));
    EXPECT_EQ(row.bEarlier, b->IsEarlierThan(a));
  }
  b->ClearRTPHeader();  // no header: never earlier
  EXPECT_FALSE(a->IsEarlierThan(b) || b->IsEarlierThan(a));
  a->Release(nullptr);
  b->Release(nullptr);
}

// Hands out a fresh sample per call, with result `failWith`; nothing for the first `failFirst`
// calls.
class ScriptedSource : public AudioSource {
 public:
  int32_t GenerateData(AudioSample** out) override {
    if (pace) Pace();
    if (++calls <= failFirst) return -1;
    *out = Get(this, 320);
    return failWith;
  }
  int32_t SourceThreadStarted(Thread*, uint32_t) override {
    ++starts;
    return refuseStart;
  }
  int32_t SourceThreadStopped(Thread*, uint32_t) override {
    ++stops;
    return 0;
  }

  bool pace = false;
  int32_t refuseStart = 0, failFirst = 0, failWith = 0;
  std::atomic<int> calls{0}, starts{0}, stops{0};
};

// Records the samples (with their counts) of its last render; with `hold` it keeps a reference to
// each for ReleaseHeld to drop later from another thread.
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
    ++threadStarts;
    return refuseThreadStart;
  }
  int32_t SinkThreadStopped(Thread*, uint32_t) override {
    stoppedOn = CurrentThreadId();
    ++threadStops;
    return 0;
  }
  void ReleaseHeld(size_t keep) {
    std::lock_guard<std::mutex> lock(mutex);
    for (; held.size() > keep; held.pop_front()) held.front()->Release(this);
  }

  std::mutex mutex;
  std::vector<std::pair<AudioSample*, int32_t>> last;  // read only while no thread renders
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
    if (!inPlace) {
      *out = Get(this, 160);
    } else if (!inputs.empty()) {
      *out = inputs.front().first;
      (*out)->AddRef(this);
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

  // A push collects one sample from every other source; the pusher keeps its reference.
  AudioSample* pushed = Get(&a, 320);
  EXPECT_EQ(9, sink.TakeNextAudioSample(pushed, &a));  // the render's result
  EXPECT_EQ(1, b.calls.load());
  ASSERT_EQ(2u, sink.last.size());
  EXPECT_EQ(std::pair(pushed, 2), sink.last[0]);  // the pusher's and the sink's
  EXPECT_EQ(1, sink.last[1].second);
  EXPECT_EQ(1, pushed->GetRefCount());

  // A source failing with a sample: dropped from the cycle and released. After a throwing render
  // the cycle is released and the last pull's result returned.
  b.failWith = -8;
  EXPECT_EQ(9, sink.TakeNextAudioSample(pushed, &a));
  EXPECT_EQ(1u, sink.last.size());
  sink.throwOnRender = true;
  EXPECT_EQ(-8, sink.TakeNextAudioSample(pushed, &a));
  sink.throwOnRender = false;
  EXPECT_EQ(1, pushed->GetRefCount());

  // A pull gives the puller the sample and pushes the same one to the source's other sinks; a
  // failed pull gives the puller the error and the other sinks null.
  Disconnect(&a, &sink);
  Connect(&b, &other);
  b.failWith = 0;
  sink.RunSinkCycleForTest();
  ASSERT_EQ(1u, other.last.size());
  EXPECT_EQ(std::pair(sink.last[0].first, 2), other.last[0]);
  b.failWith = -8;
  AudioSample* out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(-8, b.GiveNextAudioSample(&out, &sink));
  EXPECT_EQ(nullptr, out);
  EXPECT_TRUE(other.last.empty());

  // Through a transformer, a failing transform's output is dropped on both paths (a push still
  // renders, with null); after a throwing one the push goes on with null and the pull returns -1.
  Disconnect(&b, &other);
  Connect(&a, &transformer);
  Connect(&transformer, &other);
  transformer.failWith = -5;
  out = pushed;  // anything but null
  EXPECT_EQ(-5, transformer.GiveNextAudioSample(&out, &sink));
  EXPECT_EQ(nullptr, out);
  const int renders = other.renders.load();
  EXPECT_EQ(-5, transformer.TakeNextAudioSample(pushed, &a));
  EXPECT_TRUE(other.last.empty());
  transformer.throwOnTransform = true;
  EXPECT_EQ(0, transformer.TakeNextAudioSample(pushed, &a));
  EXPECT_EQ(renders + 2, other.renders.load());
  EXPECT_EQ(-1, transformer.GiveNextAudioSample(&out, &sink));
  pushed->Release(nullptr);
}

// A pulling sink and a pushing source, each on a chain of its own (a source pushing into a sink
// that pulls from it would take the two lists' locks in opposite orders).
struct AudioFilterThreads : ::testing::Test {
  AudioFilterThreads() {
    source.pace = true;
    Connect(&pulled, &sink);
    Connect(&source, &target);
  }
  ScriptedSource pulled, source;
  RecordingSink sink, target;
};

TEST_F(AudioFilterThreads, RefusedOrFailedStartsLeaveNothingRunning) {
  // A refused SinkThreadStarted: -40 once the new thread itself ran the stop hook. A thread that
  // cannot be created (-30) or resumed (-50) runs no hook.
  sink.refuseThreadStart = 5;
  EXPECT_EQ(-40, sink.StartSinkThread());
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

TEST_F(AudioFilterThreads, ConcurrentStartsAndStopsAlwaysPairUp) {
  std::atomic<int> bothModes{0};
  sink.onRender = [&] {
    if (sink.IsSinkRunning()) bothModes.fetch_add(1);  // only its own thread renders here
    Pace();
  };
  // clang-format off
  const std::function<int32_t()> calls[] = {
      [&] { return sink.StartSinkThread(); }, [&] { return sink.StopSinkThread(); },
      [&] { return sink.StartSink(); }, [&] { return sink.StopSink(); },
      [&] { return source.StartSourceThread(); }, [&] { return source.StopSourceThread(); }};
  // clang-format on
  auto caller = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 200; ++i) {
      const int32_t r = calls[random() % std::size(calls)]();
      EXPECT_TRUE(r == 0 || r == -10) << r;
    }
  };
  std::thread callers[] = {std::thread(caller, 7), std::thread(caller, 8), std::thread(caller, 9),
                           std::thread(caller, 10)};
  for (auto& t : callers) t.join();
  for (int i : {1, 3, 5, 0, 1, 4, 5}) EXPECT_EQ(0, calls[i]());  // stop all; nothing stale
  EXPECT_GT(sink.threadStarts.load(), 1);
  EXPECT_EQ(sink.threadStarts.load(), sink.threadStops.load());
  EXPECT_EQ(0, bothModes.load());
  EXPECT_GT(source.starts.load(), 1);
  EXPECT_EQ(source.starts.load(), source.stops.load());
}

TEST(AudioSourceThread, RetriesEveryTenMillisecondsWhileNothingIsAvailable) {
  testing::FakeClock clock;
  ScopedClock useClock(clock);
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  source.failFirst = 3;
  ASSERT_EQ(0, source.StartSourceThread());
  for (int retry = 1; retry <= 3; ++retry) {
    ASSERT_TRUE(Eventually([&] { return source.calls.load() == retry; }));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(0, sink.renders.load());
    clock.AdvanceMs(10);
  }
  EXPECT_TRUE(Eventually([&] { return sink.renders.load() > 0; }));
  EXPECT_EQ(0, source.StopSourceThread());
}

// Queues what it is pushed (at most 8) and hands it out when pulled: a jitter buffer's shape,
// input and output on two threads.
class QueueTransformer : public AudioTransformer {
 public:
  ~QueueTransformer() override { Trim(0); }
  int32_t RenderAudioSamples(AudioSampleList& inputs) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [sample, source] : inputs) {
      sample->AddRef(this);
      queue_.push_back(sample);
    }
    Trim(8);
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

 private:
  void Trim(size_t keep) {
    for (; queue_.size() > keep; queue_.pop_front()) queue_.front()->Release(nullptr);
  }
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
  ASSERT_EQ(0, out.StartSink() + capture.StartSourceThread() + network.StartSourceThread() +
                   playback.StartSinkThread());  // each gives 0 or a negative error

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
  done = true;
  releaser.join();
  EXPECT_EQ(0, capture.StopSourceThread() + network.StopSourceThread() + playback.StopSinkThread() +
                   out.StopSink());
  EXPECT_GT(out.renders.load(), 0);
  EXPECT_GT(playback.renders.load(), 0);
  EXPECT_EQ(0, holder.belowTwo.load() + tap.belowTwo.load());
}

}  // namespace
}  // namespace tarsio
