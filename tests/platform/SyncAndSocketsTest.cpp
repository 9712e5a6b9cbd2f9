// The primitives every engine thread runs on: the clock seam, critical sections, events, threads,
// the trace sink and UDP sockets with their event, exercised with real threads and loopback
// sockets and, where time matters, a fake clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/SocketEvent.h"
#include "platform/Thread.h"
#include "platform/TraceSink.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrors.h"
#include "support/ChildProcess.h"
#include "support/FakeClock.h"
#include "support/ScopedEnv.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
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
  EXPECT_EQ(TickCount(), 0xFFFFFFCEu);
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
  clock.AdvanceMs(49);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(clock.Sleepers(), 1);
  clock.AdvanceMs(1);
  waiter.join();
  EXPECT_EQ(timed, WaitResult::kTimeout);
  EXPECT_EQ(TickCount(), 100u);
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
  EXPECT_TRUE(cs.TryEnter());
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

// The creator sets the priority while the thread is suspended; the thread reports what it ran
// with. With real time allowed the kernel may still refuse; either outcome is reported
// consistently.
TEST(ThreadTest, SuspendedThreadTakesItsPriorityThenRunsHonouringNoRealtime) {
  for (const bool realtime : {true, false}) {
    SCOPED_TRACE(realtime);
    testing::ScopedEnv noRealtime("TARSIO_NO_REALTIME", realtime ? nullptr : "1");
    EXPECT_TRUE(realtime || !Thread::RealtimeAllowed());
    Event done;
    std::atomic<bool> ran{false};
    int policy = -1;
    sched_param param{};
    uint32_t idInside = 0;
    auto thread = Thread::CreateSuspended([&] {
      ran = true;
      pthread_getschedparam(pthread_self(), &policy, &param);
      idInside = CurrentThreadId();
      done.Set();
      return 0u;
    });
    ASSERT_NE(thread, nullptr);
    const bool set = thread->SetPriority(ThreadPriority::kTimeCritical);
    EXPECT_TRUE(set || (realtime && thread->LastError() != 0));
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(thread->Resume(), 1);
    ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
    EXPECT_NE(idInside, 0u);
    EXPECT_EQ(idInside, thread->Id());
    EXPECT_EQ(policy, realtime && set ? SCHED_FIFO : SCHED_OTHER);
    EXPECT_EQ(param.sched_priority, realtime && set ? 99 : 0);
  }
}

TEST(ThreadTest, HandleClosedBeforeResumeOrByTheThreadItself) {
  // Never resumed: Terminate (as closing the handle does) ends the thread without running the
  // procedure, and the exiting thread releases the procedure's captures.
  auto token = std::make_shared<int>(0);
  auto thread = Thread::CreateSuspended([token] {
    ADD_FAILURE() << "ran";
    return 0u;
  });
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Terminate());
  EXPECT_EQ(thread->Resume(), -1);
  thread.reset();
  EXPECT_TRUE(Eventually([&] { return token.use_count() == 1; }));
  // A thread may close its own handle as its last act.
  Event done;
  std::unique_ptr<Thread> self = Thread::CreateSuspended([&] {
    self.reset();
    done.Set();
    return 0u;
  });
  ASSERT_EQ(self->Resume(), 1);
  ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
  EXPECT_EQ(self, nullptr);
}

// No thread is left detached: each stays in the process-wide list until it is joined, which
// happens once it ended (at the next create, LiveCount or ReapFinished). ReapFinished waits,
// bounded on the engine's clock, for the threads whose handles are closed, never for the calling
// thread; threads with open handles are their holders' to wait for (Join).
TEST(ThreadTest, EveryThreadIsJoinedOnceEndedAndReapFinishedWaitsBoundedForClosedHandles) {
  ASSERT_EQ(Thread::ReapFinished(10000), 0) << "threads of earlier tests";
  ASSERT_EQ(Thread::LiveCount(), 0);
  // Many short threads whose handles close as soon as they run: all end and are joined.
  constexpr int kThreads = 40;
  std::atomic<int> ran{0};
  for (int i = 0; i < kThreads; ++i) {
    auto thread = Thread::CreateSuspended([&ran] { return static_cast<uint32_t>(++ran); });
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(thread->Resume(), 1);
  }
  EXPECT_EQ(Thread::ReapFinished(10000), 0);
  EXPECT_EQ(ran.load(), kThreads);
  EXPECT_EQ(Thread::LiveCount(), 0);
  // A thread that closes its own handle and then reaps is not waited for by itself.
  std::unique_ptr<Thread> self;
  std::promise<int> selfReap;
  self = Thread::CreateSuspended([&] {
    self.reset();
    selfReap.set_value(Thread::ReapFinished(60000));
    return 0u;
  });
  ASSERT_EQ(self->Resume(), 1);
  EXPECT_EQ(selfReap.get_future().get(), 0);

  FakeClock clock;
  ScopedClock scoped(clock);
  const uint64_t start = clock.NowMs();
  std::promise<void> release;
  auto blocked = Thread::CreateSuspended([wait = release.get_future().share()] {
    wait.wait();  // not on the clock: the thread is not one of the clock's sleepers
    return 0u;
  });
  ASSERT_EQ(blocked->Resume(), 1);
  // Its handle is open: a reap does not wait for it, it stays live.
  EXPECT_EQ(Thread::ReapFinished(1000), 0);
  EXPECT_EQ(Thread::LiveCount(), 1);
  // Its handle closed: the reap waits exactly its bound, then reports the thread still running.
  blocked.reset();
  std::atomic<int> left{-1};
  std::thread reaper([&] { left = Thread::ReapFinished(100); });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(99);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(left.load(), -1) << "gave up before its bound";
  clock.AdvanceMs(1);
  reaper.join();
  EXPECT_EQ(left.load(), 1);
  EXPECT_EQ(Thread::LiveCount(), 1);
  // Once the thread ends, a waiting reap returns at once, joins it, and no time has passed.
  std::thread reaper2([&] { left = Thread::ReapFinished(100); });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  release.set_value();
  reaper2.join();
  EXPECT_EQ(left.load(), 0);
  EXPECT_EQ(clock.NowMs(), start + 100);
  EXPECT_EQ(Thread::LiveCount(), 0);

  // Join through a handle: a thread never resumed does not end, so the join times out exactly;
  // terminated, it ends and is joined though its handle stays open. A thread cannot join itself.
  auto idle = Thread::CreateSuspended([] { return 0u; });
  std::atomic<int> joined{-1};
  std::thread joiner([&] { joined = idle->Join(50) ? 1 : 0; });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(50);
  joiner.join();
  EXPECT_EQ(joined.load(), 0);
  EXPECT_TRUE(idle->Terminate());
  EXPECT_TRUE(idle->Join(kInfinite));
  EXPECT_EQ(Thread::LiveCount(), 0);
  std::unique_ptr<Thread> selfJoin;
  std::atomic<bool> joinedItself{true};
  selfJoin = Thread::CreateSuspended([&] {
    joinedItself = selfJoin->Join(kInfinite);
    return 0u;
  });
  ASSERT_EQ(selfJoin->Resume(), 1);
  EXPECT_TRUE(selfJoin->Join(kInfinite));
  EXPECT_FALSE(joinedItself.load());
  EXPECT_EQ(Thread::LiveCount(), 0);
}

// A child made by fork() has only the forking thread: it forgets the parent's threads, and
// makes, runs and joins threads of its own.
TEST(ThreadTest, AForkedChildForgetsTheParentsThreads) {
  std::promise<void> release;
  auto parentThread = Thread::CreateSuspended([wait = release.get_future().share()] {
    wait.wait();
    return 0u;
  });
  ASSERT_EQ(parentThread->Resume(), 1);
  ASSERT_EQ(Thread::LiveCount(), 1);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = Thread::LiveCount() == 0 ? 0 : 1;
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer cannot start threads after such a fork
    auto own = Thread::CreateSuspended([] { return 0u; });
    if (own == nullptr || own->Resume() != 1 || !own->Join(kInfinite)) code |= 2;
    if (Thread::LiveCount() != 0) code |= 4;
#endif
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  release.set_value();
  EXPECT_TRUE(parentThread->Join(kInfinite));
  EXPECT_EQ(Thread::LiveCount(), 0);
}

// The body of the process started by TraceSinkTest.TarsioTraceWritesTimeThreadAndInstanceName:
// the trace sink reads TARSIO_TRACE once, so only a fresh process shows that it does.
TARSIO_CHILD_BODY(TraceToTheNamedFile) {
  TraceSink::Write("AudioSink:1f2e", 0x4, "StartSinkThread\n");
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    TraceSink::Write("T:1", 0x1, ("from thread " + std::to_string(CurrentThreadId())).c_str());
    return done.Set() ? 0u : 1u;
  });
  if (thread->Resume() != 1 || done.Wait(5000) != WaitResult::kSignaled) return 1;
  TraceSink::Close();
  TraceSink::Write("X:0", 0x4, "after close\n");
  return 0;
}

TEST(TraceSinkTest, TarsioTraceWritesTimeThreadAndInstanceName) {
  testing::TempDir dir;
  const std::string path = dir.Path() + "/trace.txt";
  ASSERT_EQ(testing::RunChildProcess("TraceToTheNamedFile", "TARSIO_TRACE=" + path), 0);
  std::ifstream in(path);
  const std::regex format(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (\S+) (.*))");
  std::string line;
  std::smatch m;
  ASSERT_TRUE(std::getline(in, line) && std::regex_match(line, m, format)) << line;
  EXPECT_EQ(m[2].str() + " " + m[3].str(), "AudioSink:1f2e StartSinkThread");
  ASSERT_TRUE(std::getline(in, line) && std::regex_match(line, m, format)) << line;
  EXPECT_EQ(m[2].str() + " " + m[3].str(), "T:1 from thread " + m[1].str());
  EXPECT_FALSE(std::getline(in, line)) << "after Close: " << line;
}

std::shared_ptr<UdpSocket> Bound(uint16_t* port) {
  auto s = UdpSocket::Create();
  EXPECT_EQ(s->Bind(INADDR_LOOPBACK, 0), 0);
  EXPECT_EQ(s->GetLocalPort(port), 0);
  return s;
}

int Send(UdpSocket& from, uint16_t toPort, size_t n, uint8_t fill) {
  const std::vector<uint8_t> data(n, fill);
  return from.SendTo(data.data(), static_cast<int>(n), htonl(INADDR_LOOPBACK), htons(toPort));
}

TEST(UdpSocketTest, LoopbackDatagramsAndWinsockErrorNumbers) {
  uint16_t portA = 0, portB = 0;
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  uint8_t buffer[1024] = {};
  ASSERT_EQ(Send(*a, portB, 5, 0x55), 5);
  ASSERT_EQ(Send(*a, portB, 0, 0), 0);
  ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 5);
  EXPECT_EQ(buffer[4], 0x55);
  ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 0);  // an empty datagram

  // Too long for the buffer: 10040, and the datagram is consumed; the next one reads normally.
  ASSERT_EQ(Send(*a, portB, 1500, 0xAB), 1500);
  ASSERT_EQ(Send(*a, portB, 1024, 0xCD), 1024);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kMsgSize);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 1024);
  EXPECT_EQ(buffer[1023], 0xCD);

  auto c = UdpSocket::Create();
  EXPECT_EQ(c->Bind(INADDR_LOOPBACK, portB), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kAddrInUse);
  EXPECT_EQ(c->Shutdown(UdpSocket::kShutdownReceive), 0);  // unconnected: fine, as on WinSock
  // A closed socket object fails every call with 10038.
  EXPECT_EQ(c->Close(), 0);
  EXPECT_EQ(c->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);

  // Closing wakes a reader blocked on the socket.
  std::atomic<int> result{1};
  std::thread reader([&] { result = b->RecvFrom(buffer, sizeof(buffer)); });
  std::this_thread::sleep_for(30ms);
  const auto start = steady_clock::now();
  EXPECT_EQ(b->Close(), 0);
  reader.join();
  EXPECT_LT(steady_clock::now() - start, 10s);  // generous: a missed wake-up hangs instead
  EXPECT_LE(result.load(), 0);  // the shut-down socket's end (0) or the closed socket (-1)
}

TEST(SocketEventTest, WakesOnALoopbackDatagramOrAHandSignal) {
  uint16_t portA = 0, portB = 0;
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  SocketEvent event;
  ASSERT_TRUE(event.Valid());
  ASSERT_EQ(b->EventSelect(&event), 0);
  EXPECT_EQ(event.Wait(20), WaitResult::kTimeout);
  uint8_t buffer[1024];
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);  // now non-blocking
  EXPECT_EQ(UdpSocket::LastError(), wsa::kWouldBlock);

  // The wait's time runs on the engine's clock; with a fake one that only the test moves, a
  // 500 ms wait ends after 500 ms of that clock and never before, whatever real time it takes.
  FakeClock clock;
  {
    ScopedClock scoped(clock);
    std::atomic<bool> waiting{false};
    std::atomic<int64_t> waitedMs{-1};
    WaitResult timed = WaitResult::kSignaled;
    std::thread waiter([&] {
      const uint64_t t0 = clock.NowMs();
      waiting = true;
      timed = event.Wait(500);
      waitedMs = static_cast<int64_t>(clock.NowMs() - t0);
    });
    ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
    clock.AdvanceMs(499);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(waitedMs.load(), -1) << "ended before its time-out";
    for (int i = 0; i < 5000 && waitedMs.load() < 0; ++i) {
      clock.AdvanceMs(1);
      std::this_thread::sleep_for(1ms);
    }
    waiter.join();
    EXPECT_EQ(timed, WaitResult::kTimeout);
    EXPECT_GE(waitedMs.load(), 500);

    // A datagram arriving during a 500 ms wait ends it (the clock stands still, so nothing else
    // can); the event stays signalled until the datagram is read. A hand signal ends a wait too,
    // and is consumed by it.
    for (const bool byHand : {false, true}) {
      const uint64_t before = clock.NowMs();
      std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        byHand ? (void)event.Set() : (void)Send(*a, portB, 172, 0x11);
      });
      EXPECT_EQ(event.Wait(500), WaitResult::kSignaled);
      signaller.join();
      EXPECT_EQ(clock.NowMs(), before);
      if (!byHand) {
        EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
        EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 172);
      }
      EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
    }
  }
  event.Set();
  pollfd p{static_cast<int>(event.Handle()), POLLIN, 0};  // a host can poll the event's descriptor
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(event.ResetEvent());
  EXPECT_EQ(poll(&p, 1, 0), 0);
  // A closed socket leaves the event instead of signalling it forever.
  ASSERT_EQ(b->Close(), 0);
  EXPECT_EQ(event.Wait(20), WaitResult::kTimeout);
}

}  // namespace
}  // namespace tarsio
