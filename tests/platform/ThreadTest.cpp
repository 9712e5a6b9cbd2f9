#include "platform/Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"

namespace tarsio {
namespace {

template <typename Cond>
bool Eventually(Cond cond, int capMs = 5000) {
  const auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(capMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= cap) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(ThreadTest, SuspendedThreadRunsOnlyAfterResumeAndHookRunsFirst) {
  std::mutex m;
  std::vector<std::string> order;
  std::atomic<uint32_t> idInside{0};
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    idInside.store(CurrentThreadId());
    {
      std::lock_guard<std::mutex> lock(m);
      order.push_back("proc");
    }
    done.Set();
    return 0u;
  });
  ASSERT_NE(thread, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a suspended thread stays put
  {
    std::lock_guard<std::mutex> lock(m);
    order.push_back("hook");
  }
  EXPECT_EQ(thread->Resume(), 1);
  EXPECT_EQ(thread->Resume(), 0);  // already running
  ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
  EXPECT_EQ(order, (std::vector<std::string>{"hook", "proc"}));
  EXPECT_EQ(idInside.load(), thread->Id());
  EXPECT_NE(thread->Id(), 0u);
  EXPECT_EQ(CurrentThreadId(), 0u);  // this thread was not made by Thread
  EXPECT_FALSE(thread->Terminate());
}

TEST(ThreadTest, TerminateOrClosingBeforeResumeEndsThreadWithoutRunningProc) {
  for (const bool closeOnly : {false, true}) {
    std::atomic<bool> ran{false};
    auto token = std::make_shared<int>(0);
    auto thread = Thread::CreateSuspended([&ran, token] {
      ran.store(true);
      return 0u;
    });
    ASSERT_NE(thread, nullptr);
    if (!closeOnly) {
      EXPECT_TRUE(thread->Terminate());
      EXPECT_TRUE(thread->Terminate());
      EXPECT_EQ(thread->Resume(), -1);
    }
    thread.reset();
    // The procedure (and its captured token) is released by the exiting thread.
    EXPECT_TRUE(Eventually([&] { return token.use_count() == 1; })) << closeOnly;
    EXPECT_FALSE(ran.load());
  }
}

TEST(ThreadTest, HandleClosedFromInsideItsOwnThread) {
  std::unique_ptr<Thread> handle;
  Event done;
  std::atomic<uint32_t> idAfterClose{0};
  handle = Thread::CreateSuspended([&] {
    handle.reset();  // like a sink thread closing its own handle as its last act
    idAfterClose.store(CurrentThreadId());
    done.Set();
    return 0u;
  });
  ASSERT_NE(handle, nullptr);
  const uint32_t id = handle->Id();
  ASSERT_EQ(handle->Resume(), 1);
  ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(idAfterClose.load(), id);
}

TEST(ThreadTest, HandleClosedByCreatorWhileThreadRuns) {
  Event go;
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    go.Wait(kInfinite);
    done.Set();
    return 0u;
  });
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(thread->Resume(), 1);
  thread.reset();  // must not wait for the thread nor stop it
  go.Set();
  EXPECT_EQ(done.Wait(5000), WaitResult::kSignaled);
}

TEST(ThreadTest, InjectedCreateAndResumeFailures) {
  Thread::FailNextCreates(2);
  EXPECT_EQ(Thread::CreateSuspended([] { return 0u; }), nullptr);
  EXPECT_EQ(Thread::CreateSuspended([] { return 0u; }), nullptr);
  std::atomic<bool> ran{false};
  auto thread = Thread::CreateSuspended([&] {
    ran.store(true);
    return 0u;
  });
  ASSERT_NE(thread, nullptr);

  Thread::FailNextResumes(1);
  EXPECT_EQ(thread->Resume(), -1);
  EXPECT_TRUE(thread->Terminate());  // the failed resume left it suspended
  thread.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(ran.load());
}

TEST(ThreadTest, IdsAndHandleValuesAreUniqueAcrossManyThreads) {
  constexpr int kThreads = 40;
  std::atomic<int> finished{0};
  std::set<uint32_t> ids, handles;
  std::vector<std::unique_ptr<Thread>> threads;
  for (int i = 0; i < kThreads; ++i) {
    auto t = Thread::CreateSuspended([&] {
      finished.fetch_add(1);
      return 0u;
    });
    ASSERT_NE(t, nullptr);
    EXPECT_NE(t->Id(), 0u);
    EXPECT_NE(t->HandleValue(), 0u);
    ids.insert(t->Id());
    handles.insert(t->HandleValue());
    threads.push_back(std::move(t));
  }
  for (auto& t : threads) EXPECT_EQ(t->Resume(), 1);
  EXPECT_TRUE(Eventually([&] { return finished.load() == kThreads; }));
  EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads));
  EXPECT_EQ(handles.size(), static_cast<size_t>(kThreads));
}

// Runs a thread whose priority is set while suspended and reports the scheduling it ran with.
struct Observed {
  bool setResult = false;
  int lastError = 0;
  int policy = -1;
  int schedPriority = -1;
  int nice = 0;
};

Observed RunWithPriority(ThreadPriority priority) {
  Observed seen;
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    sched_param param{};
    pthread_getschedparam(pthread_self(), &seen.policy, &param);
    seen.schedPriority = param.sched_priority;
    errno = 0;
    seen.nice = getpriority(PRIO_PROCESS, 0);
    done.Set();
    return 0u;
  });
  if (thread == nullptr) return seen;
  seen.setResult = thread->SetPriority(priority);
  seen.lastError = thread->LastError();
  thread->Resume();
  done.Wait(5000);
  return seen;
}

TEST(ThreadTest, PriorityWithAndWithoutRealtime) {
  ASSERT_EQ(setenv("TARSIO_NO_REALTIME", "1", 1), 0);
  EXPECT_FALSE(Thread::RealtimeAllowed());
  for (ThreadPriority p :
       {ThreadPriority::kNormal, ThreadPriority::kTimeCritical, ThreadPriority::kHighest}) {
    const Observed seen = RunWithPriority(p);
    EXPECT_TRUE(seen.setResult) << static_cast<int>(p);
    EXPECT_EQ(seen.policy, SCHED_OTHER) << static_cast<int>(p);
  }
  // Lowering priority is always allowed and really reaches the thread.
  const Observed idle = RunWithPriority(ThreadPriority::kIdle);
  EXPECT_TRUE(idle.setResult);
  EXPECT_EQ(idle.nice, 19);

  // With real-time allowed by the environment the kernel may still refuse; either outcome must be
  // reported consistently.
  ASSERT_EQ(unsetenv("TARSIO_NO_REALTIME"), 0);
  const Observed critical = RunWithPriority(ThreadPriority::kTimeCritical);
  if (critical.setResult) {
    EXPECT_EQ(critical.policy, SCHED_FIFO);
    EXPECT_EQ(critical.schedPriority, 99);
    EXPECT_TRUE(Thread::RealtimeAllowed());
  } else {
    EXPECT_NE(critical.lastError, 0);
    EXPECT_EQ(critical.policy, SCHED_OTHER);
    EXPECT_FALSE(Thread::RealtimeAllowed());
  }
  ASSERT_EQ(setenv("TARSIO_NO_REALTIME", "1", 1), 0);
}

}  // namespace
}  // namespace tarsio
