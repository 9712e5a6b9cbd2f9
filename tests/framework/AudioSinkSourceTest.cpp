// Sinks and sources: the two sink modes, pushes and pulls with their reference counts, the thread
// start and stop sequences (refused hooks, creation and resume failures, concurrent callers),
// the source thread's retry pacing and its host-log entries.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "framework/AudioSampleManager.h"
#include "support/FakeClock.h"
#include "support/RecordingHostLog.h"
#include "tests/framework/TestFilters.h"

namespace tarsio {
namespace {

using testing::FakeClock;
using testing::MakeSample;
using testing::RecordingHostLog;
using testing::RecordingSink;
using testing::ScopedHostLog;
using testing::ScriptedSource;
using testing::Watchdog;

const std::vector<std::string> PlainCalls(const std::string& text) {
  return {"Lock", "Write:" + text, "EndLine", "Unlock"};
}

// Waits in real time (generous cap) until pred holds.
template <typename Pred>
bool Eventually(Pred pred, int capMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(capMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void PaceRenders(RecordingSink& sink) {
  sink.onRender = [](AudioSampleList&) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  };
}

TEST(AudioSinkModes, StartAndStopRulesAndTheirHostLogEntries) {
  RecordingHostLog log;
  ScopedHostLog useLog(&log);
  RecordingSink sink;
  PaceRenders(sink);

  EXPECT_EQ(0, sink.StopSink());  // idle: no hook
  EXPECT_EQ(0, sink.sinkStops.load());
  EXPECT_EQ(0, sink.StopSinkThread());

  EXPECT_EQ(0, sink.StartSink());
  EXPECT_EQ(-10, sink.StartSink());
  EXPECT_EQ(PlainCalls("AudioSink::StartSink (1)"), log.Calls());
  EXPECT_EQ(-10, sink.StartSinkThread());
  EXPECT_EQ(0, sink.threadStarts.load());

  sink.refuseSinkStop = 4;
  EXPECT_EQ(-20, sink.StopSink());
  EXPECT_TRUE(sink.IsSinkRunning());
  sink.refuseSinkStop = 0;
  EXPECT_EQ(0, sink.StopSink());
  EXPECT_FALSE(sink.IsSinkRunning());

  log.Clear();
  sink.refuseSinkStart = 3;
  EXPECT_EQ(-20, sink.StartSink());
  EXPECT_FALSE(sink.IsSinkRunning());
  EXPECT_EQ(PlainCalls("AudioSink::StartSink (2)"), log.Calls());
  sink.refuseSinkStart = 0;

  EXPECT_EQ(0, sink.StartSinkThread());
  EXPECT_TRUE(sink.IsSinkThreadRunning());
  EXPECT_EQ(-10, sink.StopSink());
  EXPECT_EQ(-10, sink.StartSink());
  EXPECT_EQ(-10, sink.StartSinkThread());
  EXPECT_EQ(0, sink.StopSinkThread());
  EXPECT_FALSE(sink.IsSinkThreadRunning());
  EXPECT_EQ(1, sink.threadStops.load());
  EXPECT_EQ(0, sink.StopSinkThread());
}

TEST(AudioSinkPush, CollectsFromTheOtherSourcesAndReleasesEverything) {
  RecordingHostLog log;
  ScopedHostLog useLog(&log);
  ScriptedSource a, b;
  RecordingSink sink;
  sink.record = true;
  Connect(&a, &sink);
  Connect(&b, &sink);
  Connect(&b, &sink);
  EXPECT_EQ(2u, sink.SourceCount());
  EXPECT_EQ(1u, b.SinkCount());

  AudioSample* pushed = MakeSample(&a);
  sink.renderResult = 9;
  EXPECT_EQ(9, sink.TakeNextAudioSample(pushed, &a));
  EXPECT_EQ(0, a.calls.load());  // the pushing source is not pulled
  EXPECT_EQ(1, b.calls.load());
  auto cycles = sink.Cycles();
  ASSERT_EQ(1u, cycles.size());
  ASSERT_EQ(2u, cycles[0].size());
  EXPECT_EQ(pushed, cycles[0][0].sample);
  EXPECT_EQ(&a, cycles[0][0].source);
  EXPECT_EQ(2, cycles[0][0].refCount);  // the pusher's and the sink's
  EXPECT_EQ(&b, cycles[0][1].source);
  EXPECT_EQ(1, cycles[0][1].refCount);
  EXPECT_EQ(1, pushed->GetRefCount());

  // A source failing with a sample: the sample is dropped from the cycle and released.
  b.withSampleOnError = true;
  b.script = {-7};
  sink.renderResult = 0;
  EXPECT_EQ(0, sink.TakeNextAudioSample(pushed, &a));
  cycles = sink.Cycles();
  ASSERT_EQ(2u, cycles.size());
  ASSERT_EQ(1u, cycles[1].size());
  EXPECT_EQ(pushed, cycles[1][0].sample);

  // A throwing render: logged, the cycle's samples released, the last pull's result returned.
  b.script = {-8};
  sink.throwOnRender = true;
  EXPECT_EQ(-8, sink.TakeNextAudioSample(pushed, &a));
  EXPECT_EQ(PlainCalls("AudioSink::TakeNextAudioSample: exception"), log.Calls());
  EXPECT_EQ(1, pushed->GetRefCount());
  sink.throwOnRender = false;

  // A null push still renders the other sources' samples.
  EXPECT_EQ(0, sink.TakeNextAudioSample(nullptr, &a));
  EXPECT_EQ(1u, sink.Cycles().back().size());

  pushed->Release(nullptr);
  Disconnect(&a, &sink);
  Disconnect(&b, &sink);
  EXPECT_EQ(0u, sink.SourceCount());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSourcePull, PullerGetsTheSampleAndTheOtherSinksShareIt) {
  ScriptedSource source;
  RecordingSink puller, other;
  puller.record = other.record = true;
  Connect(&source, &puller);
  Connect(&source, &other);

  // The sink thread's cycle, run on this thread.
  puller.RunSinkCycleForTest();
  auto mine = puller.Cycles();
  auto theirs = other.Cycles();
  ASSERT_EQ(1u, mine.size());
  ASSERT_EQ(1u, theirs.size());
  ASSERT_EQ(1u, theirs[0].size());
  EXPECT_EQ(mine[0][0].sample, theirs[0][0].sample);
  EXPECT_GE(theirs[0][0].refCount, 2);
  ASSERT_EQ(1u, mine[0].size());
  EXPECT_EQ(&source, theirs[0][0].source);

  // An error from GenerateData reaches the puller; its sample is released and the other sinks
  // are told with a null sample.
  source.withSampleOnError = true;
  source.script = {-1};
  AudioSample* out = reinterpret_cast<AudioSample*>(0x1);
  EXPECT_EQ(-1, source.GiveNextAudioSample(&out, &puller));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(2, other.renders.load());
  EXPECT_TRUE(other.Cycles().back().empty());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSinkThread, RefusedStartCleansUpOnItsOwnThreadAndFailuresLeaveNoThread) {
  ScriptedSource source;
  RecordingSink sink;
  PaceRenders(sink);
  Connect(&source, &sink);

  sink.refuseThreadStart = 5;
  EXPECT_EQ(-40, sink.StartSinkThread());
  EXPECT_EQ(1, sink.threadStops.load());
  EXPECT_NE(0u, sink.startedThreadId.load());
  EXPECT_EQ(sink.startedThreadId.load(), sink.stoppedThreadId.load());
  EXPECT_EQ(sink.startedThreadId.load(), sink.stoppedOnThread.load());  // ran on the new thread
  EXPECT_FALSE(sink.HandleNow());
  EXPECT_EQ(0u, sink.ThreadIdNow());
  EXPECT_FALSE(sink.IsSinkThreadRunning());
  EXPECT_EQ(0, sink.renders.load());

  Thread::FailNextCreates(1);
  sink.refuseThreadStart = 0;
  EXPECT_EQ(-30, sink.StartSinkThread());
  EXPECT_EQ(1, sink.threadStarts.load());  // no thread, no hook
  EXPECT_FALSE(sink.HandleNow());

  Thread::FailNextResumes(1);
  EXPECT_EQ(-50, sink.StartSinkThread());
  EXPECT_EQ(2, sink.threadStarts.load());
  EXPECT_EQ(1, sink.threadStops.load());  // the terminated thread never ran
  EXPECT_FALSE(sink.HandleNow());
  EXPECT_EQ(0u, sink.ThreadIdNow());

  EXPECT_EQ(0, sink.StartSinkThread());
  EXPECT_TRUE(Eventually([&] { return sink.renders.load() >= 3; }));
  EXPECT_EQ(0, sink.StopSinkThread());
  EXPECT_EQ(2, sink.threadStops.load());
  EXPECT_FALSE(sink.HandleNow());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSourceThread, RefusedStartAndFailuresLeaveNoThread) {
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  source.onGenerate = [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); };

  source.refuseStart = 1;
  EXPECT_EQ(-30, source.StartSourceThread());
  EXPECT_EQ(1, source.stoppedCalls.load());
  EXPECT_EQ(source.startedThreadId.load(), source.stoppedOnThread.load());
  EXPECT_FALSE(source.HandleNow());
  EXPECT_EQ(0u, source.ThreadIdNow());
  EXPECT_EQ(0, source.calls.load());

  source.refuseStart = 0;
  Thread::FailNextCreates(1);
  EXPECT_EQ(-20, source.StartSourceThread());
  EXPECT_FALSE(source.HandleNow());

  // A failed resume leaves the result as it was: 0, but no thread.
  Thread::FailNextResumes(1);
  EXPECT_EQ(0, source.StartSourceThread());
  EXPECT_FALSE(source.HandleNow());
  EXPECT_EQ(0u, source.ThreadIdNow());
  EXPECT_FALSE(source.IsSourceThreadRunning());

  EXPECT_EQ(0, source.StartSourceThread());
  EXPECT_EQ(-10, source.StartSourceThread());
  EXPECT_TRUE(Eventually([&] { return sink.renders.load() >= 3; }));
  EXPECT_EQ(0, source.StopSourceThread());
  EXPECT_EQ(2, source.stoppedCalls.load());
  EXPECT_FALSE(source.HandleNow());
  EXPECT_EQ(0, source.StopSourceThread());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSinkThread, ConcurrentStartsAndStopsAlwaysPairUp) {
  Watchdog watchdog("concurrent sink starts and stops");
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  std::atomic<int> bothModes{0};
  sink.onRender = [&](AudioSampleList&) {
    if (sink.IsSinkRunning()) bothModes.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  };
  std::atomic<int> threadStarts{0};

  auto caller = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 150; ++i) {
      switch (random() % 4) {
        case 0: {
          const int32_t r = sink.StartSinkThread();
          EXPECT_TRUE(r == 0 || r == -10) << r;
          if (r == 0) threadStarts.fetch_add(1);
          break;
        }
        case 1:
          EXPECT_EQ(0, sink.StopSinkThread());
          break;
        case 2: {
          const int32_t r = sink.StartSink();
          EXPECT_TRUE(r == 0 || r == -10) << r;
          break;
        }
        default: {
          const int32_t r = sink.StopSink();
          EXPECT_TRUE(r == 0 || r == -10) << r;
          break;
        }
      }
    }
  };
  {
    RecordingHostLog log;  // StartSink refusals are logged; keep them out of the way
    ScopedHostLog useLog(&log);
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) callers.emplace_back(caller, i + 7);
    for (auto& t : callers) t.join();
  }
  EXPECT_EQ(0, sink.StopSinkThread());
  EXPECT_EQ(0, sink.StopSink());
  EXPECT_GT(threadStarts.load(), 0);
  EXPECT_EQ(threadStarts.load(), sink.threadStarts.load());
  EXPECT_EQ(threadStarts.load(), sink.threadStops.load());
  EXPECT_EQ(0, bothModes.load());
  EXPECT_FALSE(sink.HandleNow());
  EXPECT_EQ(0u, sink.ThreadIdNow());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSourceThread, ConcurrentStartsAndStopsAlwaysPairUp) {
  Watchdog watchdog("concurrent source starts and stops");
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  source.onGenerate = [] { std::this_thread::sleep_for(std::chrono::microseconds(100)); };
  std::atomic<int> starts{0};

  auto caller = [&](int seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < 150; ++i) {
      if (random() % 2 == 0) {
        const int32_t r = source.StartSourceThread();
        EXPECT_TRUE(r == 0 || r == -10) << r;
        if (r == 0) starts.fetch_add(1);
      } else {
        EXPECT_EQ(0, source.StopSourceThread());
      }
    }
  };
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) callers.emplace_back(caller, i + 11);
  for (auto& t : callers) t.join();
  EXPECT_EQ(0, source.StopSourceThread());
  EXPECT_GT(starts.load(), 0);
  EXPECT_EQ(starts.load(), source.stoppedCalls.load());
  EXPECT_FALSE(source.IsSourceThreadRunning());
  EXPECT_FALSE(source.HandleNow());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSourceThread, RetriesEveryTenMillisecondsWhilePullersGetTheError) {
  FakeClock clock;
  ScopedClock useClock(clock);
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  std::atomic<uint64_t> firstDelivery{0};
  sink.onRender = [&](AudioSampleList& samples) {
    if (!samples.empty() && firstDelivery.load() == 0) firstDelivery = clock.NowMs();
  };
  std::atomic<int> calls{0};
  source.generate = [&](AudioSample** out) -> int32_t {
    if (calls.fetch_add(1) + 1 == 4) {
      *out = MakeSample(&source);
      return 0;
    }
    return -1;  // three failures, then one sample, then nothing more
  };

  // The pull path hands the first failure straight to the caller.
  AudioSample* out = nullptr;
  EXPECT_EQ(-1, source.GiveNextAudioSample(&out, &sink));
  EXPECT_EQ(nullptr, out);
  calls = 0;

  const uint64_t start = clock.NowMs();
  ASSERT_EQ(0, source.StartSourceThread());
  for (int retry = 0; retry < 3; ++retry) {
    // A new retry sleep: the call before it was made, then the thread parked again.
    ASSERT_TRUE(Eventually([&] { return calls.load() == retry + 1; }));
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(0u, firstDelivery.load());
    clock.AdvanceMs(10);
  }
  ASSERT_TRUE(Eventually([&] { return firstDelivery.load() != 0; }));
  EXPECT_EQ(start + 30, firstDelivery.load());

  // Stopping while the thread sleeps between retries: the stop waits for the next wake-up.
  ASSERT_TRUE(clock.WaitForSleepers(1));
  auto stop = std::async(std::launch::async, [&] { return source.StopSourceThread(); });
  ASSERT_TRUE(clock.WaitForSleepers(2));  // the retry sleep and the stop's wait
  clock.AdvanceMs(10);
  EXPECT_EQ(0, stop.get());
  EXPECT_FALSE(source.IsSourceThreadRunning());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

TEST(AudioSourceThread, HostLogEntriesForOddSamplesAndExceptions) {
  FakeClock clock;
  ScopedClock useClock(clock);
  RecordingHostLog log;
  ScopedHostLog useLog(&log);
  ScriptedSource source;
  RecordingSink sink;
  Connect(&source, &sink);
  std::atomic<int> step{0};
  source.generate = [&](AudioSample** out) -> int32_t {
    switch (step.fetch_add(1)) {
      case 0:
        return 0;  // null sample: still delivered
      case 1:
        *out = MakeSample(&source, 0);  // empty sample: still delivered
        (*out)->SetSilenceDuration(20);
        return 0;
      case 2:
        return -1;  // park in the retry sleep
      default:
        throw std::runtime_error("device gone");
    }
  };
  ASSERT_EQ(0, source.StartSourceThread());
  ASSERT_TRUE(clock.WaitForSleepers(1));
  EXPECT_EQ(2, sink.renders.load());
  EXPECT_EQ(1, sink.rendered.load());  // the null sample gave an empty cycle
  EXPECT_EQ((std::vector<std::string>{"AudioSource::SourceThreadProc: !pAudioSample",
                                      "AudioSource::SourceThreadProc: sample size=0"}),
            log.Entries());

  // An exception in GenerateData ends the thread at once, without its clean-up.
  clock.AdvanceMs(10);
  ASSERT_TRUE(Eventually([&] { return log.Calls().size() == 12; }));
  EXPECT_EQ("AudioSource::SourceThreadProc: exception 4", log.Entries().back());
  EXPECT_TRUE(source.IsSourceThreadRunning());
  EXPECT_EQ(-10, source.StartSourceThread());
  // The stop then gives up after 15 s.
  auto stop = std::async(std::launch::async, [&] { return source.StopSourceThread(); });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(AudioSource::kStopWaitMs);
  EXPECT_EQ(0, stop.get());
  EXPECT_EQ(0, source.stoppedCalls.load());

  // Exceptions out of a sink are caught by SendAudioSample.
  struct ThrowingSink : AudioSinkInterface {
    int32_t TakeNextAudioSample(AudioSample*, AudioSource*) override {
      throw std::runtime_error("sink");
    }
  } throwing;
  log.Clear();
  EXPECT_EQ(0, source.SendAudioSample(nullptr, &throwing));
  EXPECT_EQ(PlainCalls("AudioSource::SendAudioSample: exception"), log.Calls());
  EXPECT_EQ(0, AudioSampleManager::Instance()->InUseCount());
}

}  // namespace
}  // namespace tarsio
