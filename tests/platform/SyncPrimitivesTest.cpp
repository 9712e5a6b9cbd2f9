// The primitives every engine thread runs on: the clock seam, critical sections, events, threads
// and the trace sink, exercised with real threads and, where time matters, a fake clock.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/TraceSink.h"
#include "support/FakeClock.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;

// Polls cond in real time; false after a generous cap.
template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

TEST(ClockTest, FakeTimeWakesSleepersAndTimedWaitsAcrossTheTickWrap) {
  FakeClock clock((uint64_t{1} << 32) - 50);
  ScopedClock scoped(clock);
  const uint32_t start = TickCount();
  EXPECT_EQ(start, 0xFFFFFFCEu);
  Event event;
  WaitResult timed = WaitResult::kFailed;
  std::thread sleeper([] { SleepMs(100); });
  std::thread waiter([&] { timed = event.Wait(150); });
  ASSERT_TRUE(clock.WaitForSleepers(2));
  clock.AdvanceMs(99);  // past the wrap, one short of the sleeper's deadline
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(clock.Sleepers(), 2);
  clock.AdvanceMs(1);
  sleeper.join();
  EXPECT_EQ(clock.Sleepers(), 1);
  clock.AdvanceMs(49);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(clock.Sleepers(), 1);
  clock.AdvanceMs(1);
  waiter.join();
  EXPECT_EQ(timed, WaitResult::kTimeout);
  EXPECT_EQ(TickCount(), 100u);
  EXPECT_EQ(static_cast<uint32_t>(TickCount() - start), 150u);  // unsigned elapsed time survives
  // A signal just before the deadline ends a timed wait as signalled.
  std::thread signalled([&] { timed = event.Wait(15000); });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(14999);
  event.Set();
  signalled.join();
  EXPECT_EQ(timed, WaitResult::kSignaled);
}

TEST(CriticalSectionTest, ReentrantForItsOwnerExclusiveForOthers) {
  CriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());  // held twice by this thread
  std::atomic<bool> entered{false};
  std::thread blocked([&] {
    CriticalSectionLock lock(cs);
    entered = true;
  });
  for (int held = 2; held > 0; --held) {
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(entered.load()) << held;
    cs.Leave();  // only the last Leave lets the other thread in
  }
  blocked.join();
  EXPECT_TRUE(entered.load());
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSetManualResetAllUntilReset) {
  FakeClock clock;
  ScopedClock scoped(clock);
  for (const bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual" : "auto");
    Event event(manual ? Event::Reset::kManual : Event::Reset::kAuto);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
        EXPECT_EQ(event.Wait(kInfinite), WaitResult::kSignaled);
        ++woken;
      });
    }
    ASSERT_TRUE(clock.WaitForSleepers(3));
    clock.AdvanceMs(uint64_t{1} << 40);  // no amount of time ends an infinite wait
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woken.load(), 0);
    for (int round = 1; round <= (manual ? 1 : 3); ++round) {
      event.Set();
      ASSERT_TRUE(Eventually([&] { return woken.load() == (manual ? 3 : round); }));
      EXPECT_EQ(clock.Sleepers(), manual ? 0 : 3 - round);
      EXPECT_EQ(event.IsSet(), manual);
    }
    for (auto& t : waiters) t.join();
    event.Set();
    event.Set();  // events do not count: two Sets make one signal
    EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
    EXPECT_EQ(event.Wait(0), manual ? WaitResult::kSignaled : WaitResult::kTimeout);
    event.ResetEvent();
    EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  }
}

// Creates a thread suspended, sets its priority there (the creator's hook), resumes it and
// reports what it ran with.
struct Observed {
  bool set = false, ranEarly = true;
  int lastError = 0, policy = -1, schedPriority = -1;
  uint32_t id = 0, idInside = 0;
};

Observed RunWithPriority(ThreadPriority priority) {
  Observed seen;
  Event done;
  std::atomic<bool> ran{false};
  auto thread = Thread::CreateSuspended([&] {
    ran = true;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &seen.policy, &param);
    seen.schedPriority = param.sched_priority;
    seen.idInside = CurrentThreadId();
    done.Set();
    return 0u;
  });
  if (thread == nullptr) return seen;
  seen.set = thread->SetPriority(priority);
  seen.lastError = thread->LastError();
  std::this_thread::sleep_for(10ms);
  seen.ranEarly = ran;
  seen.id = thread->Id();
  EXPECT_EQ(thread->Resume(), 1);
  EXPECT_EQ(done.Wait(5000), WaitResult::kSignaled);
  return seen;
}

TEST(ThreadTest, SuspendedThreadTakesItsPriorityThenRunsHonouringNoRealtime) {
  ASSERT_EQ(setenv("TARSIO_NO_REALTIME", "1", 1), 0);
  EXPECT_FALSE(Thread::RealtimeAllowed());
  const Observed normal = RunWithPriority(ThreadPriority::kTimeCritical);
  EXPECT_FALSE(normal.ranEarly);
  EXPECT_NE(normal.id, 0u);
  EXPECT_EQ(normal.idInside, normal.id);
  EXPECT_TRUE(normal.set);
  EXPECT_EQ(normal.policy, SCHED_OTHER);

  // With real time allowed the kernel may still refuse; either outcome is reported consistently.
  ASSERT_EQ(unsetenv("TARSIO_NO_REALTIME"), 0);
  const Observed critical = RunWithPriority(ThreadPriority::kTimeCritical);
  ASSERT_EQ(setenv("TARSIO_NO_REALTIME", "1", 1), 0);
  if (critical.set) {
    EXPECT_EQ(critical.policy, SCHED_FIFO);
    EXPECT_EQ(critical.schedPriority, 99);
  } else {
    EXPECT_NE(critical.lastError, 0);
    EXPECT_EQ(critical.policy, SCHED_OTHER);
  }
}

TEST(ThreadTest, HandleClosedBeforeResumeOrByTheThreadItself) {
  // Never resumed: Terminate, or just closing the handle, ends the thread without running the
  // procedure, and the exiting thread releases the procedure's captures.
  for (const bool closeOnly : {false, true}) {
    std::atomic<bool> ran{false};
    auto token = std::make_shared<int>(0);
    auto thread = Thread::CreateSuspended([&ran, token] {
      ran = true;
      return 0u;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(closeOnly || thread->Terminate());
    EXPECT_TRUE(closeOnly || thread->Resume() == -1);
    thread.reset();
    EXPECT_TRUE(Eventually([&] { return token.use_count() == 1; })) << closeOnly;
    EXPECT_FALSE(ran.load());
  }
  // A thread may close its own handle as its last act.
  Event done;
  std::unique_ptr<Thread> self;
  self = Thread::CreateSuspended([&] {
    self.reset();
    done.Set();
    return 0u;
  });
  ASSERT_NE(self, nullptr);
  ASSERT_EQ(self->Resume(), 1);
  ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
  EXPECT_EQ(self, nullptr);
}

// The body of the process started by TraceSinkTest.TarsioTraceWritesTimeThreadAndInstanceName.
TEST(TraceSinkTest, DISABLED_ChildTraces) {
  if (std::getenv("TARSIO_TRACE") == nullptr) GTEST_SKIP() << "runs in a child process only";
  TraceSink::Write("AudioSink:1f2e", 0x4, "StartSinkThread\n");
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    TraceSink::Write("T:1", 0x1, ("from thread " + std::to_string(CurrentThreadId())).c_str());
    done.Set();
    return 0u;
  });
  ASSERT_NE(thread, nullptr);
  thread->Resume();
  ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
  TraceSink::Close();
  TraceSink::Write("X:0", 0x4, "after close\n");
}

TEST(TraceSinkTest, TarsioTraceWritesTimeThreadAndInstanceName) {
  EXPECT_FALSE(TraceSink::Enabled());  // the test environment leaves TARSIO_TRACE unset
  testing::TempDir dir;
  const std::string path = dir.Path() + "/trace.txt";
  const std::string command = "TARSIO_TRACE=" + path + " " +
                              std::filesystem::read_symlink("/proc/self/exe").string() +
                              " --gtest_filter=TraceSinkTest.DISABLED_ChildTraces"
                              " --gtest_also_run_disabled_tests >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 2u);  // nothing after Close
  const std::regex format(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (\S+) (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, format)) << lines[0];
  EXPECT_EQ(m[2], "AudioSink:1f2e");
  EXPECT_EQ(m[3], "StartSinkThread");
  ASSERT_TRUE(std::regex_match(lines[1], m, format)) << lines[1];
  EXPECT_EQ(m[2], "T:1");
  EXPECT_EQ(m[3], "from thread " + m[1].str());
}

}  // namespace
}  // namespace tarsio
