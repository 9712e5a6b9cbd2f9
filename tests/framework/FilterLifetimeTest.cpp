// Lifetime of filters whose threads do not end when asked: stops return within their bound and
// say that the thread is still running, a filter its owner let go of stays valid until its thread
// ends and is then destroyed on that thread (ASan finds any touch of freed memory), a hook that
// throws leaves no lock behind, and a source thread ended by an exception can be started again.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/AudioSource.h"
#include "framework/AudioTransformer.h"
#include "platform/Thread.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;

/// The stop bound the tests give their filters.
constexpr uint32_t kShortStopMs = 150;
/// What a stop may take beyond its bound on a loaded machine before the test calls it hung.
constexpr auto kHungAfter = 10s;

bool Eventually(const std::function<bool()>& pred) {  // real time, generous cap
  for (int i = 0; i < 5000 && !pred(); ++i) std::this_thread::sleep_for(1ms);
  return pred();
}

/// A door a filter's thread waits at until the test opens it; counts the threads that reached it.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrived_;
    arrivedCv_.notify_all();
    openCv_.wait(lock, [&] { return open_; });
  }
  bool WaitArrived(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrivedCv_.wait_for(lock, kHungAfter, [&] { return arrived_ >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    openCv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrivedCv_, openCv_;
  int arrived_ = 0;
  bool open_ = false;
};

/// Where a filter's destructor ran, observed from outside the (then freed) object.
struct Death {
  std::atomic<bool> died{false};
  std::atomic<uint32_t> onThread{0};
};

/// A source whose GenerateData stops at the gate on its first call.
class StuckSource final : public AudioSource {
 public:
  StuckSource(Gate& gate, Death& death) : gate_(gate), death_(death) {}
  ~StuckSource() override {
    death_.onThread = CurrentThreadId();
    death_.died = true;
  }
  int32_t GenerateData(AudioSample** out) override {
    threadId = CurrentThreadId();
    gate_.Pass();
    return AudioSampleManager::Instance()->GetAudioSample(out, this);
  }
  std::atomic<uint32_t> threadId{0};

 private:
  Gate& gate_;
  Death& death_;
};

/// A sink whose RenderAudioSamples stops at the gate on its first call.
class StuckSink final : public AudioSink {
 public:
  StuckSink(Gate& gate, Death& death) : gate_(gate), death_(death) {}
  ~StuckSink() override {
    death_.onThread = CurrentThreadId();
    death_.died = true;
  }
  int32_t RenderAudioSamples(AudioSampleList&) override {
    threadId = CurrentThreadId();
    gate_.Pass();
    return 0;
  }
  std::atomic<uint32_t> threadId{0};

 private:
  Gate& gate_;
  Death& death_;
};

/// A sink that counts what is pushed into it and notes its death.
class CountingSink final : public AudioSink {
 public:
  explicit CountingSink(Death& death) : death_(death) {}
  ~CountingSink() override {
    death_.onThread = CurrentThreadId();
    death_.died = true;
  }
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    received += static_cast<int>(samples.size());
    return 0;
  }
  std::atomic<int> received{0};

 private:
  Death& death_;
};

/// Runs stop on a thread of its own and returns how long it took, or fails the test when it takes
/// longer than kHungAfter; a hung stop is left behind, with whatever it uses, rather than freed.
template <typename Stop>
std::chrono::milliseconds TimedStop(Stop stop) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  const auto began = std::chrono::steady_clock::now();
  std::thread([done, stop] {
    stop();
    done->set_value();
  }).detach();
  if (finished.wait_for(kHungAfter) != std::future_status::ready) {
    ADD_FAILURE() << "the stop did not return";
    return std::chrono::duration_cast<std::chrono::milliseconds>(kHungAfter);
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               began);
}

TEST(FilterLifetime, StuckSinkThreadOutlivesItsOwnerAndDiesOnItsOwnThread) {
  Gate gate;
  Death death;
  auto sink = std::make_shared<StuckSink>(gate, death);
  sink->SetSinkStopWaitMs(kShortStopMs);
  sink->SetSinkThreadKeepAlive(sink);
  ASSERT_EQ(0, sink->StartSinkThread());
  ASSERT_TRUE(gate.WaitArrived(1));

  // The stop gives up after its bound and says so.
  int32_t result = -1;
  const auto took = TimedStop([&result, s = sink.get()] { result = s->StopSinkThread(); });
  EXPECT_EQ(0, result);
  EXPECT_GE(took.count(), kShortStopMs - 10);
  EXPECT_FALSE(sink->SinkThreadEnded());

  // The owner lets go; the thread's token keeps the sink alive.
  std::weak_ptr<StuckSink> watch = sink;
  const uint32_t threadId = sink->threadId.load();
  sink.reset();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(death.died.load());
  EXPECT_FALSE(watch.expired());

  // Once the render returns, the thread sees its stop flag, ends, and frees the sink itself.
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return death.died.load(); }));
  EXPECT_EQ(threadId, death.onThread.load());
  EXPECT_TRUE(watch.expired());
}

TEST(FilterLifetime, StuckSourceKeepsItsWholeChainAliveAfterTheOwnerUnlinksAndDropsIt) {
  Gate gate;
  Death sourceDeath, sinkDeath;
  // The owner's holder of the chain, as a terminal keeps one per direction.
  struct Chain {
    std::shared_ptr<StuckSource> source;
    std::shared_ptr<CountingSink> sink;
  };
  auto chain = std::make_shared<Chain>();
  chain->source = std::make_shared<StuckSource>(gate, sourceDeath);
  chain->sink = std::make_shared<CountingSink>(sinkDeath);
  Connect(chain->source.get(), chain->sink.get());
  ASSERT_EQ(0, chain->sink->StartSink());
  chain->source->SetSourceStopWaitMs(kShortStopMs);
  chain->source->SetSourceThreadKeepAlive(chain);
  ASSERT_EQ(0, chain->source->StartSourceThread());
  ASSERT_TRUE(gate.WaitArrived(1));

  int32_t result = -1;
  const auto took =
      TimedStop([&result, s = chain->source.get()] { result = s->StopSourceThread(); });
  EXPECT_EQ(0, result);
  EXPECT_GE(took.count(), kShortStopMs - 10);
  EXPECT_FALSE(chain->source->SourceThreadEnded());

  // Unlinked and let go: the thread still holds the chain, sink included.
  Disconnect(chain->source.get(), chain->sink.get());
  const uint32_t threadId = chain->source->threadId.load();
  std::weak_ptr<Chain> watch = chain;
  chain.reset();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(sourceDeath.died.load() || sinkDeath.died.load());
  EXPECT_FALSE(watch.expired());

  // The sample the stuck GenerateData hands out goes nowhere (no sink any more) and back to the
  // pool; then the thread ends and destroys both filters on its way out.
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return sourceDeath.died.load() && sinkDeath.died.load(); }));
  EXPECT_EQ(threadId, sourceDeath.onThread.load());
  EXPECT_EQ(threadId, sinkDeath.onThread.load());
}

TEST(FilterLifetime, StopsThatFinishInTimeReportCompletionAndLeaveNoReferenceBehind) {
  // Without a stuck thread, a stop ends the thread, says so, and the token dies with the thread,
  // so no cycle keeps an object shared with its own thread alive once it stopped.
  Gate gate;
  gate.Open();
  Death death;
  auto sink = std::make_shared<StuckSink>(gate, death);
  EXPECT_TRUE(sink->SinkThreadEnded());  // never started
  for (int round = 0; round < 3; ++round) {
    sink->SetSinkThreadKeepAlive(sink);
    ASSERT_EQ(0, sink->StartSinkThread());
    ASSERT_TRUE(gate.WaitArrived(round + 1));
    EXPECT_EQ(0, sink->StopSinkThread());
    EXPECT_TRUE(sink->SinkThreadEnded());
  }
  // A token set but refused with the start (already running) is not kept either.
  sink->SetSinkThreadKeepAlive(sink);
  ASSERT_EQ(0, sink->StartSinkThread());
  sink->SetSinkThreadKeepAlive(sink);
  EXPECT_EQ(-10, sink->StartSinkThread());
  EXPECT_EQ(0, sink->StopSinkThread());
  EXPECT_TRUE(Eventually([&] { return sink.use_count() == 1; }));
  sink.reset();
  EXPECT_TRUE(death.died.load());
}

/// A source whose thread hook or GenerateData throws, as a faulty derived class would.
class ThrowingSource final : public AudioSource {
 public:
  int32_t GenerateData(AudioSample** out) override {
    ++generated;
    if (throwInGenerate) throw std::runtime_error("generate");
    return AudioSampleManager::Instance()->GetAudioSample(out, this);
  }
  int32_t SourceThreadStarted(Thread*, uint32_t) override {
    if (throwInStartHook) throw std::runtime_error("start hook");
    return 0;
  }
  std::atomic<bool> throwInStartHook{false}, throwInGenerate{false};
  std::atomic<int> generated{0};
};

class ThrowingSink final : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList&) override { return 0; }
  int32_t SinkThreadStarted(Thread*, uint32_t) override {
    if (throwInStartHook) throw std::runtime_error("start hook");
    return 0;
  }
  std::atomic<bool> throwInStartHook{false};
};

TEST(FilterLifetime, ThrowingHooksLeaveNoLockHeldAndAThrowingSourceThreadEndsCleanly) {
  // A start whose hook throws must release the filter's locks: a stop from another thread (as a
  // host's would be) then returns instead of waiting for a lock nobody will release. A hung stop
  // keeps the filters, so they are leaked on purpose rather than freed under it.
  auto* source = new ThrowingSource;
  auto* sink = new ThrowingSink;
  source->throwInStartHook = true;
  sink->throwInStartHook = true;
  EXPECT_THROW(source->StartSourceThread(), std::runtime_error);
  EXPECT_THROW(sink->StartSinkThread(), std::runtime_error);
  TimedStop([source] { source->StopSourceThread(); });
  TimedStop([sink] { sink->StopSinkThread(); });
  if (::testing::Test::HasFailure()) return;
  delete sink;

  // A source thread that meets an exception ends through its normal ending: its final signal
  // comes, and the source starts again.
  source->throwInStartHook = false;
  delete std::exchange(source, new ThrowingSource);
  source->throwInGenerate = true;
  ASSERT_EQ(0, source->StartSourceThread());
  EXPECT_TRUE(Eventually([&] { return source->SourceThreadEnded(); }));
  EXPECT_FALSE(source->IsSourceThreadRunning());
  source->throwInGenerate = false;
  const int before = source->generated.load();
  ASSERT_EQ(0, source->StartSourceThread());
  EXPECT_TRUE(Eventually([&] { return source->generated.load() > before + 2; }));
  EXPECT_EQ(0, source->StopSourceThread());
  EXPECT_TRUE(source->SourceThreadEnded());
  delete source;
}

}  // namespace
}  // namespace tarsio
