// Transformers and connections: the push and pull paths with failing and throwing transforms,
// and a whole graph under load while links are cut and rejoined and threads are restarted,
// after which every sample must be back in the pool.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "framework/AudioSampleManager.h"
#include "support/RecordingHostLog.h"
#include "tests/framework/TestFilters.h"

namespace tarsio {
namespace {

using testing::MakeSample;
using testing::RecordingHostLog;
using testing::RecordingSink;
using testing::ScopedHostLog;
using testing::ScriptedSource;
using testing::SummingTransformer;
using testing::Watchdog;

TEST(AudioTransformerLinks, ConnectAndDisconnectKeepBothSidesInStep) {
  ScriptedSource source;
  SummingTransformer transformer;
  RecordingSink sink;
  EXPECT_EQ(0, Connect(&source, &transformer));
  EXPECT_EQ(0, Connect(&source, &transformer));
  EXPECT_EQ(0, Connect(&transformer, &sink));
  EXPECT_EQ(1u, source.SinkCount());
  EXPECT_EQ(1u, transformer.SourceCount());
  EXPECT_EQ(1u, transformer.SinkCount());
  EXPECT_EQ(1u, sink.SourceCount());

  ScriptedSource stranger;
  EXPECT_EQ(0, Disconnect(&stranger, &sink));
  EXPECT_EQ(1u, sink.SourceCount());
  EXPECT_EQ(0, Disconnect(&source, &transformer));
  EXPECT_EQ(0u, source.SinkCount());
  EXPECT_EQ(0u, transformer.SourceCount());
  EXPECT_EQ(1u, transformer.SinkCount());

  EXPECT_EQ(0, transformer.StartTransform());
  transformer.refuseStart = 6;
  EXPECT_EQ(6, transformer.StartTransform());
  EXPECT_EQ(0, transformer.StopTransform());
}

TEST(AudioTransformerPaths, PushAndPullWithFailingAndThrowingTransforms) {
  RecordingHostLog log;
  ScopedHostLog useLog(&log);
  ScriptedSource upstream;
  SummingTransformer transformer;
  RecordingSink puller, other;
  other.record = true;
  Connect(&transformer, &puller);
  Connect(&transformer, &other);

  // Pulled with no sources: the transform sees an empty set; one pull feeds the other sink too.
  AudioSample* out = nullptr;
  EXPECT_EQ(0, transformer.GiveNextAudioSample(&out, &puller));
  EXPECT_EQ(0, transformer.lastInputCount.load());
  ASSERT_NE(nullptr, out);
  ASSERT_EQ(1u, other.Cycles().back().size());
  EXPECT_EQ(out, other.Cycles().back()[0].sample);
  EXPECT_EQ(2, other.Cycles().back()[0].refCount);
  out->Release(nullptr);

  // With a source: its sample is transformed into a fresh one and released afterwards.
  Connect(&upstream, &transformer);
  EXPECT_EQ(0, transformer.GiveNextAudioSample(&out, &puller));
  EXPECT_EQ(1, transformer.lastInputCount.load());
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(160, out->GetDataSize());
  out->Release(nullptr);
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());

  // A failing transform's output is dropped: the puller gets null and the error, the other sinks
  // null.
  transformer.failWith = -5;
  out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(-5, transformer.GiveNextAudioSample(&out, &puller));
  EXPECT_EQ(nullptr, out);
  EXPECT_TRUE(other.Cycles().back().empty());

  // ... and on the push path the sinks are still called, with null, and the error is returned.
  AudioSample* pushed = MakeSample(&upstream);
  const int before = other.renders.load();
  EXPECT_EQ(-5, transformer.TakeNextAudioSample(pushed, &upstream));
  EXPECT_EQ(before + 1, other.renders.load());
  EXPECT_TRUE(other.Cycles().back().empty());
  EXPECT_EQ(1, puller.renders.load());
  transformer.failWith = 0;

  // Throwing transforms are logged; the push goes on with a null sample, the pull returns -1.
  transformer.throwOnTransform = true;
  EXPECT_EQ(0, transformer.TakeNextAudioSample(pushed, &upstream));
  EXPECT_EQ(before + 2, other.renders.load());
  EXPECT_EQ(-1, transformer.GiveNextAudioSample(&out, &puller));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ((std::vector<std::string>{"AudioTransformer::RenderAudioSamples: exception 1",
                                      "AudioTransformer::GenerateData: exception 1"}),
            log.Entries());
  pushed->Release(nullptr);
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

// Keeps what it is pushed in a bounded queue and hands it out when pulled (a jitter buffer's
// shape: input and output decoupled, reached from two threads).
class QueueTransformer : public AudioTransformer {
 public:
  QueueTransformer() { tracer.SetInstanceName("QueueTransformer", this); }
  ~QueueTransformer() override { Drain(); }

  int32_t RenderAudioSamples(AudioSampleList& inputs) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [sample, source] : inputs) {
      sample->AddRef(static_cast<AudioSink*>(this));
      queue_.push_back(sample);
    }
    while (queue_.size() > 8) {
      queue_.front()->Release(static_cast<AudioSink*>(this));
      queue_.pop_front();
    }
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
    for (AudioSample* s : queue_) s->Release(static_cast<AudioSink*>(this));
    queue_.clear();
  }

 private:
  std::mutex mutex_;
  std::deque<AudioSample*> queue_;
};

// Keeps a reference to every sample it renders; another thread releases them later.
class HoldingSink : public AudioSink {
 public:
  HoldingSink() { tracer.SetInstanceName("HoldingSink", this); }
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [sample, source] : samples) {
      if (sample->GetRefCount() < 2) belowTwo.fetch_add(1);  // the sender still holds one
      sample->AddRef(this);
      held.push_back(sample);
    }
    return 0;
  }
  size_t ReleaseSome(size_t keep) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t released = 0;
    while (held.size() > keep) {
      held.front()->Release(this);
      held.pop_front();
      ++released;
    }
    return released;
  }

  std::mutex mutex;
  std::deque<AudioSample*> held;
  std::atomic<int> belowTwo{0};
};

TEST(AudioTransformerGraph, EverySampleComesBackWhileLinksAndThreadsChurn) {
  Watchdog watchdog("graph churn");
  auto pace = [] { std::this_thread::sleep_for(std::chrono::microseconds(150)); };

  // Two transmit-like chains, each: a thread-driven source pushes into a mixer that also pulls a
  // second input, then through an in-place filter to a started sink and a holding sink.
  struct PushChain {
    ScriptedSource capture, file;
    SummingTransformer mixer, inPlace;
    RecordingSink out;
    HoldingSink holder;
  };
  PushChain chains[2];
  for (PushChain& c : chains) {
    c.inPlace.inPlace = true;
    c.capture.onGenerate = pace;
    Connect(&c.capture, &c.mixer);
    Connect(&c.file, &c.mixer);
    Connect(&c.mixer, &c.inPlace);
    Connect(&c.inPlace, &c.out);
    Connect(&c.inPlace, &c.holder);
    ASSERT_EQ(0, c.out.StartSink());
  }
  // A receive-like chain split at a queue: one thread pushes in, a sink thread pulls out through
  // a transformer that also feeds a second sink on each pull.
  ScriptedSource network;
  SummingTransformer decoder, reframer;
  QueueTransformer queue;
  RecordingSink playback;
  HoldingSink tap;
  decoder.inPlace = true;
  network.onGenerate = pace;
  playback.onRender = [&](AudioSampleList&) { pace(); };
  Connect(&network, &decoder);
  Connect(&decoder, &queue);
  Connect(&queue, &reframer);
  Connect(&reframer, &playback);
  Connect(&reframer, &tap);

  for (PushChain& c : chains) ASSERT_EQ(0, c.capture.StartSourceThread());
  ASSERT_EQ(0, network.StartSourceThread());
  ASSERT_EQ(0, playback.StartSinkThread());

  std::atomic<bool> done{false};
  std::thread releaser([&] {
    while (!done) {
      for (PushChain& c : chains) c.holder.ReleaseSome(4);
      tap.ReleaseSome(4);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  auto linker = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 250; ++i) {
      PushChain& c = chains[random() % 2];
      switch (random() % 7) {
        case 0:
          Disconnect(&c.inPlace, &c.holder);
          pace();
          Connect(&c.inPlace, &c.holder);
          break;
        case 1:
          Disconnect(&c.file, &c.mixer);
          pace();
          Connect(&c.file, &c.mixer);
          break;
        case 2:
          Disconnect(&reframer, &tap);
          pace();
          Connect(&reframer, &tap);
          break;
        case 3:
          Disconnect(&queue, &reframer);
          pace();
          Connect(&queue, &reframer);
          break;
        case 4:  // the mixer is left without sinks for a while
          Disconnect(&c.mixer, &c.inPlace);
          pace();
          Connect(&c.mixer, &c.inPlace);
          break;
        case 5:  // the decoder too
          Disconnect(&decoder, &queue);
          pace();
          Connect(&decoder, &queue);
          break;
        default:
          Disconnect(&c.capture, &c.mixer);
          pace();
          Connect(&c.capture, &c.mixer);
          break;
      }
    }
  };
  auto restarter = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 40; ++i) {
      if (random() % 2 == 0) {
        EXPECT_EQ(0, playback.StopSinkThread());
        pace();
        EXPECT_EQ(0, playback.StartSinkThread());
      } else {
        EXPECT_EQ(0, network.StopSourceThread());
        pace();
        EXPECT_EQ(0, network.StartSourceThread());
      }
    }
  };
  std::thread linkers[] = {std::thread(linker, 1), std::thread(linker, 2)};
  std::thread restart(restarter, 3);
  for (auto& t : linkers) t.join();
  restart.join();

  for (PushChain& c : chains) EXPECT_EQ(0, c.capture.StopSourceThread());
  EXPECT_EQ(0, network.StopSourceThread());
  EXPECT_EQ(0, playback.StopSinkThread());
  done = true;
  releaser.join();
  for (PushChain& c : chains) {
    EXPECT_EQ(0, c.out.StopSink());
    c.holder.ReleaseSome(0);
    EXPECT_GT(c.out.rendered.load(), 0);
    EXPECT_EQ(0, c.holder.belowTwo.load());
  }
  tap.ReleaseSome(0);
  queue.Drain();
  EXPECT_GT(playback.rendered.load(), 0);
  EXPECT_EQ(0, tap.belowTwo.load());

  AudioSampleManager* pool = AudioSampleManager::Instance();
  EXPECT_EQ(0, pool->InUseCount());
  EXPECT_EQ(pool->CreatedCount(), pool->FreeCount());
}

}  // namespace
}  // namespace tarsio
