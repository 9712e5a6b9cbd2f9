// The primitives every engine thread runs on: the clock seam, critical sections, events (the
// engine's own and the host's), threads, the trace sink and UDP sockets of both families with their
// event, exercised with real threads and loopback sockets and, where time matters, a fake clock.
// The same cases run against the Linux and the Windows back ends.
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/HostEvent.h"
#include "platform/PollWait.h"
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
using Family = NetworkAddress::Family;

constexpr uint32_t kLoopback = 0x7f000001u;

// Polls cond in real time; false after a generous cap.
template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

// The calling thread's scheduling as the engine's priority level it stands for (-100: another).
int RunningPriority() {
#ifdef _WIN32
  return ::GetThreadPriority(::GetCurrentThread());
#else
  int policy = -1;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) return -100;
  if (policy == SCHED_FIFO && param.sched_priority == 99) return 15;
  return policy == SCHED_OTHER && param.sched_priority == 0 ? 0 : -100;
#endif
}

// The system's id of the calling thread, which the trace shows for threads not made by Thread.
uint32_t SystemThreadId() {
#ifdef _WIN32
  return ::GetCurrentThreadId();
#else
  return static_cast<uint32_t>(::gettid());
#endif
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

// The lock is entered recursively and left across loop steps on purpose, which the static lock
// analysis cannot follow; the test checks at run time what it would.
void ReentrantForItsOwnerExclusiveForOthers() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  CriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  std::thread([&] {
    const bool got = cs.TryEnter();
    if (got) cs.Leave();
    EXPECT_FALSE(got);
  }).join();
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

  // Two engine threads count a plain integer up, entering twice per step: no step is lost.
  constexpr int kSteps = 100000;
  int counter = 0;
  Event go(Event::Reset::kManual);
  auto body = [&]() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
    go.Wait(kInfinite);
    for (int i = 0; i < kSteps; ++i) {
      CriticalSectionLock outer(cs);
      CriticalSectionLock inner(cs);
      counter = counter + 1;
    }
    return 0u;
  };
  auto a = Thread::CreateSuspended(body);
  auto b = Thread::CreateSuspended(body);
  ASSERT_TRUE(a != nullptr && b != nullptr);
  ASSERT_TRUE(a->Resume() == 1 && b->Resume() == 1);
  go.Set();
  ASSERT_TRUE(a->Join(30000) && b->Join(30000));
  EXPECT_EQ(counter, 2 * kSteps);
}

TEST(CriticalSectionTest, ReentrantForItsOwnerExclusiveForOthers) {
  ReentrantForItsOwnerExclusiveForOthers();
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

// The event a host waits on: its handle (an eventfd, a Win32 event) is readable for PollReadable
// exactly while the event is set. Looking (IsSet) never consumes an auto-reset signal.
TEST(HostEventTest, SignalsResetsAndHandleAsTheHostSeesThem) {
  EXPECT_EQ(PollReadable(kNoNativeHandle, 0), -1);
  for (const bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual" : "auto");
    HostEvent event(manual ? Event::Reset::kManual : Event::Reset::kAuto);
    ASSERT_TRUE(event.Valid());
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
    const auto start = steady_clock::now();
    EXPECT_EQ(event.Wait(30), WaitResult::kTimeout);
    EXPECT_GE(steady_clock::now() - start, 29ms);
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Set());  // no count: two Sets are one signal
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet());
    if (manual) {  // a wait on a Win32 auto-reset event consumes it
      EXPECT_EQ(PollReadable(event.Handle(), 0), 1);
      EXPECT_EQ(PollReadable(event.Handle(), kInfinite), 1);
    }
    EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
    EXPECT_EQ(event.Wait(0), manual ? WaitResult::kSignaled : WaitResult::kTimeout);
    EXPECT_TRUE(event.ResetEvent());
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(PollReadable(event.Handle(), 0), 0);
    const auto polled = steady_clock::now();
    EXPECT_EQ(PollReadable(event.Handle(), 25), 0);
    EXPECT_GE(steady_clock::now() - polled, 24ms);
    std::thread setter([&] {
      std::this_thread::sleep_for(20ms);
      event.Set();
    });
    EXPECT_EQ(event.Wait(5000), WaitResult::kSignaled);
    setter.join();
  }
}

// Under a fake clock a wait ends when the fake time reaches its bound, not after real time, and no
// amount of time ends an infinite wait.
TEST(HostEventTest, WaitsRunOnTheEnginesClock) {
  FakeClock clock;
  ScopedClock scoped(clock);
  HostEvent event(Event::Reset::kAuto);
  std::atomic<int> result{-1};
  std::thread bounded([&] { result = static_cast<int>(event.Wait(200)); });
  std::this_thread::sleep_for(50ms);
  clock.AdvanceMs(199);
  std::this_thread::sleep_for(250ms);  // past the bound in real time, not on the clock
  EXPECT_EQ(result.load(), -1);
  clock.AdvanceMs(1);
  bounded.join();
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::kTimeout));
  // A long bound is not one long system wait: advancing the clock past it ends the wait at once.
  result = -1;
  std::thread longer([&] { result = static_cast<int>(event.Wait(100000)); });
  std::this_thread::sleep_for(50ms);
  clock.AdvanceMs(100000);
  const auto jumped = steady_clock::now();
  longer.join();
  EXPECT_LT(steady_clock::now() - jumped, 1s);
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::kTimeout));

  result = -1;
  std::thread unbounded([&] { result = static_cast<int>(event.Wait(kInfinite)); });
  std::this_thread::sleep_for(20ms);
  clock.AdvanceMs(uint64_t{1} << 40);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(result.load(), -1);
  event.Set();
  unbounded.join();
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::kSignaled));
  EXPECT_FALSE(event.IsSet());  // the wait consumed it
}

// A host's own event (made here by HostEvent, so an eventfd or a Win32 event like a host's): the
// engine's duplicate signals the host's, sees the host's resets, and outlives the host's handle.
TEST(HostEventTest, TheEnginesCopyOfAHostsEventSharesItsState) {
  EXPECT_EQ(HostEvent::FromHostHandle(kNoNativeHandle), nullptr);
  auto host = std::make_unique<HostEvent>();
  auto engine = HostEvent::FromHostHandle(host->Handle());
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->Valid());
  EXPECT_NE(engine->Handle(), host->Handle());
  EXPECT_TRUE(engine->Set());
  EXPECT_TRUE(host->IsSet());
  host->ResetEvent();
  EXPECT_FALSE(engine->IsSet());
  host->Set();
  EXPECT_EQ(engine->Wait(0), WaitResult::kSignaled);
  EXPECT_TRUE(engine->ResetEvent());
  EXPECT_FALSE(host->IsSet());
  // A host waiting on its handle is woken by the engine's Set.
  std::atomic<int> hostWait{-1};
  std::thread hostThread([&] { hostWait = static_cast<int>(host->Wait(5000)); });
  std::this_thread::sleep_for(20ms);
  engine->Set();
  hostThread.join();
  EXPECT_EQ(hostWait.load(), static_cast<int>(WaitResult::kSignaled));
  host.reset();
  EXPECT_TRUE(engine->ResetEvent());
  EXPECT_TRUE(engine->Set());
  EXPECT_TRUE(engine->IsSet());
}

// The creator sets the priority while the thread is suspended; the thread reports what it ran
// with. With real time allowed the kernel may still refuse (Linux); either outcome is reported
// consistently.
TEST(ThreadTest, SuspendedThreadTakesItsPriorityThenRunsHonouringNoRealtime) {
  EXPECT_EQ(CurrentThreadId(), 0u);  // this thread was not made by Thread
  for (const bool realtime : {true, false}) {
    SCOPED_TRACE(realtime);
    testing::ScopedEnv noRealtime("TARSIO_NO_REALTIME", realtime ? nullptr : "1");
    EXPECT_TRUE(realtime || !Thread::RealtimeAllowed());
    std::atomic<bool> ran{false};
    int priority = -100;
    uint32_t idInside = 0;
    auto thread = Thread::CreateSuspended([&] {
      ran = true;
      priority = RunningPriority();
      idInside = CurrentThreadId();
      return 0u;
    });
    ASSERT_NE(thread, nullptr);
    const bool set = thread->SetPriority(ThreadPriority::kTimeCritical);
    EXPECT_TRUE(set || (realtime && thread->LastError() != 0));
#ifdef _WIN32
    EXPECT_TRUE(set) << "Windows does not refuse a thread priority";
#endif
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(thread->Resume(), 1);
    ASSERT_TRUE(thread->Join(5000));
    EXPECT_EQ(thread->Resume(), 0);                           // resumed before (and ended)
    EXPECT_TRUE(thread->SetPriority(ThreadPriority::kIdle));  // ended: nothing to adjust
    EXPECT_NE(idInside, 0u);
    EXPECT_EQ(idInside, thread->Id());
    EXPECT_NE(thread->HandleValue(), 0u);
    EXPECT_EQ(priority, static_cast<int>(realtime && set ? ThreadPriority::kTimeCritical
                                                         : ThreadPriority::kNormal));
  }
}

TEST(ThreadTest, HandleClosedBeforeResumeOrByTheThreadItself) {
  // Never resumed: Terminate ends the thread without running the procedure, and the exiting thread
  // releases the procedure's captures. So does closing the handle.
  auto token = std::make_shared<int>(0);
  auto thread = Thread::CreateSuspended([token] {
    ADD_FAILURE() << "ran";
    return 0u;
  });
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Terminate());
  EXPECT_TRUE(thread->Terminate());
  EXPECT_EQ(thread->Resume(), -1);
  EXPECT_TRUE(thread->Join(5000));
  thread.reset();
  EXPECT_TRUE(Eventually([&] { return token.use_count() == 1; }));
  auto dropped = Thread::CreateSuspended([token] {
    ADD_FAILURE() << "ran";
    return 0u;
  });
  dropped.reset();
  EXPECT_EQ(Thread::ReapFinished(5000), 0);
  EXPECT_EQ(token.use_count(), 1);
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
  // Injected failures: a create that returns nothing, a resume that leaves the thread suspended.
  Thread::FailNextCreates(1);
  EXPECT_EQ(Thread::CreateSuspended([] { return 0u; }), nullptr);
  Thread::FailNextResumes(1);
  std::atomic<bool> ran{false};
  auto retried = Thread::CreateSuspended([&ran] {
    ran = true;
    return 0u;
  });
  ASSERT_NE(retried, nullptr);
  EXPECT_EQ(retried->Resume(), -1);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(retried->Resume(), 1);
  EXPECT_TRUE(retried->Join(5000));
  EXPECT_TRUE(ran.load());
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
  clock.AdvanceMs(49);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(joined.load(), -1) << "gave up before its bound";
  clock.AdvanceMs(1);
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

#ifndef _WIN32
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
#endif

// The body of the process started by TraceSinkTest.TarsioTraceWritesTimeThreadAndInstanceName:
// the trace sink reads TARSIO_TRACE once, so only a fresh process shows that it does.
TARSIO_CHILD_BODY(TraceToTheNamedFile) {
  if (!TraceSink::Enabled()) return 1;
  TraceSink::Write("AudioSink:1f2e", 0x4,
                   ("StartSinkThread " + std::to_string(SystemThreadId()) + "\n").c_str());
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    TraceSink::Write("T:1", 0x1, ("from thread " + std::to_string(CurrentThreadId())).c_str());
    return done.Set() ? 0u : 1u;
  });
  if (thread->Resume() != 1 || done.Wait(5000) != WaitResult::kSignaled) return 2;
  TraceSink::Close();
  if (TraceSink::Enabled()) return 3;
  TraceSink::Write("X:0", 0x4, "after close\n");
  return 0;
}

// A line: time, thread id (the engine's for its threads, the system's for others), instance name,
// and the text with exactly one line end.
TEST(TraceSinkTest, TarsioTraceWritesTimeThreadAndInstanceName) {
  testing::TempDir dir;
  const std::string path = dir.Path() + "/trace.txt";
  ASSERT_EQ(testing::RunChildProcess("TraceToTheNamedFile", "TARSIO_TRACE=" + path), 0);
  std::ifstream in(path);
  const std::regex format(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (\S+) (.*))");
  std::string line;
  std::smatch m;
  ASSERT_TRUE(std::getline(in, line) && std::regex_match(line, m, format)) << line;
  EXPECT_EQ(m[2].str() + " " + m[3].str(), "AudioSink:1f2e StartSinkThread " + m[1].str());
  ASSERT_TRUE(std::getline(in, line) && std::regex_match(line, m, format)) << line;
  EXPECT_EQ(m[2].str() + " " + m[3].str(), "T:1 from thread " + m[1].str());
  EXPECT_FALSE(std::getline(in, line)) << "after Close: " << line;
}

TEST(WinsockErrorsTest, ErrnoValuesBecomeTheWinsockNumbers) {
  EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), wsa::kConnReset);  // a refused datagram
  EXPECT_EQ(WinsockErrorFromErrno(EBADF), wsa::kNotSocket);
  EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), wsa::kWouldBlock);
  EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), wsa::kWouldBlock);
  EXPECT_EQ(WinsockErrorFromErrno(EMSGSIZE), wsa::kMsgSize);
  EXPECT_EQ(WinsockErrorFromErrno(12345), wsa::kInvalid);
}

// An IPv4 address or port as a sockaddr_in holds it (network byte order).
template <typename T>
T NetworkOrder(T value) {
  T result;
  auto* bytes = reinterpret_cast<uint8_t*>(&result);
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = uint8_t(value >> (8 * (sizeof(T) - 1 - i)));
  return result;
}

// Loopback sockets of one family (the test's parameter); IPv6 is skipped where there is no ::1.
class SocketTest : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    auto probe = UdpSocket::Create(GetParam());
    if (probe == nullptr || probe->Bind(Loopback(0)) != 0) {
      GTEST_SKIP() << "no loopback socket of this family here (error " << UdpSocket::LastError()
                   << ")";
    }
  }
  static NetworkAddress Loopback(uint16_t port) {
    return GetParam() == Family::kIPv6 ? NetworkAddress::LoopbackIPv6(port)
                                       : NetworkAddress::IPv4(kLoopback, port);
  }
  // IPv4 sockets are bound through the overload that takes the address in host order.
  static std::shared_ptr<UdpSocket> Bound(uint16_t* port) {
    auto s = UdpSocket::Create(GetParam());
    EXPECT_NE(s, nullptr);
    if (s == nullptr) return nullptr;
    EXPECT_EQ(GetParam() == Family::kIPv4 ? s->Bind(kLoopback, 0) : s->Bind(Loopback(0)), 0);
    EXPECT_EQ(s->GetLocalPort(port), 0);
    EXPECT_NE(*port, 0);
    return s;
  }
  static int Send(UdpSocket& from, uint16_t toPort, size_t n, char fill = 'x') {
    const std::string data(n, fill);
    return from.SendTo(data.data(), static_cast<int>(n), Loopback(toPort));
  }
};

INSTANTIATE_TEST_SUITE_P(BothFamilies, SocketTest, ::testing::Values(Family::kIPv4, Family::kIPv6),
                         [](const auto& info) {
                           return info.param == Family::kIPv6 ? "IPv6" : "IPv4";
                         });

TEST_P(SocketTest, LoopbackDatagramsAndWinsockErrorNumbers) {
  uint16_t portA = 0, portB = 0;
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  ASSERT_TRUE(a != nullptr && b != nullptr && portA != portB);
  char buffer[1024] = {};
  NetworkAddress from;
  ASSERT_EQ(Send(*a, portB, 5, 'U'), 5);
  ASSERT_EQ(Send(*a, portB, 0), 0);
  ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer), &from), 5);
  EXPECT_EQ(buffer[4], 'U');
  EXPECT_EQ(from, Loopback(portA));
  ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 0);  // an empty datagram
  if (GetParam() == Family::kIPv4) {  // the overload with the address as a sockaddr_in holds it
    ASSERT_EQ(a->SendTo("n", 1, NetworkOrder(kLoopback), NetworkOrder(portB)), 1);
    ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer), &from), 1);
    EXPECT_EQ(from, Loopback(portA));
  }

  // Too long for the buffer: 10040, and the datagram is consumed; the next one reads normally.
  ASSERT_EQ(Send(*a, portB, 1500), 1500);
  ASSERT_EQ(Send(*a, portB, 1024, 'C'), 1024);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kMsgSize);
  EXPECT_EQ(UdpSocket::LastErrno(), EMSGSIZE);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 1024);
  EXPECT_EQ(buffer[1023], 'C');

  auto c = UdpSocket::Create(GetParam());
  EXPECT_EQ(c->Bind(Loopback(portB)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kAddrInUse);
  EXPECT_EQ(c->Shutdown(UdpSocket::kShutdownReceive), 0);  // unconnected: fine, as on WinSock
  EXPECT_EQ(a->SendTo("x", -1, Loopback(portB)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kInvalid);
  const int tos = 0xb8;
  const uint8_t tosByte = 0xb8;
  EXPECT_EQ(a->SetOption(UdpSocket::Option::kTypeOfService, &tos, sizeof tos), 0);
  EXPECT_EQ(a->SetOption(UdpSocket::Option::kTypeOfService, &tosByte, 1), 0);
  EXPECT_EQ(a->SetOption(UdpSocket::Option::kTypeOfService, nullptr, 4), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kFault);

  // A closed socket object fails every call with 10038 (EBADF), and the trace says so.
  std::string traced;
  TraceSink::SetRecorder([&](const char*, uint32_t, const std::string& text) { traced = text; });
  EXPECT_EQ(c->Close(), 0);
  EXPECT_FALSE(c->IsOpen());
  EXPECT_EQ(c->Handle(), kNoNativeHandle);
  EXPECT_EQ(c->Close(), UdpSocket::kSocketError);
  TraceSink::SetRecorder(nullptr);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);
  EXPECT_EQ(UdpSocket::LastErrno(), EBADF);
  EXPECT_EQ(traced.rfind("closesocket : e-closesocket errno=9 (", 0), 0u) << traced;
  EXPECT_NE(traced.find("), WSAGetLastError=10038\n"), std::string::npos) << traced;
  EXPECT_EQ(c->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);
  EXPECT_EQ(Send(*c, portB, 1), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);
  // The last error is the calling thread's.
  std::thread([] { UdpSocket::SetLastError(wsa::kWouldBlock, EWOULDBLOCK); }).join();
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);

  // Closing wakes a reader blocked on the socket.
  std::atomic<int> result{1};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    result = b->RecvFrom(buffer, sizeof(buffer));
    done = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(done.load());
  const auto start = steady_clock::now();
  EXPECT_EQ(b->Close(), 0);
  reader.join();
  EXPECT_LT(steady_clock::now() - start, 10s);  // generous: a missed wake-up hangs instead
  EXPECT_LE(result.load(), 0);  // the shut-down socket's end (0) or the closed socket (-1)
}

// A send to a port nobody listens on (answered by an ICMP "port unreachable") does not disturb
// reception: neither a blocking nor a non-blocking receive, nor the event, report it.
TEST_P(SocketTest, ASendToAClosedPortDoesNotDisturbReception) {
  uint16_t closedPort = 0, portA = 0, portB = 0;
  ASSERT_EQ(Bound(&closedPort)->Close(), 0);
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  char buffer[64];
  ASSERT_EQ(Send(*a, closedPort, 4), 4);
  std::this_thread::sleep_for(50ms);  // the ICMP answer arrives
  ASSERT_EQ(Send(*b, portA, 4), 4);
  NetworkAddress from;
  EXPECT_EQ(a->RecvFrom(buffer, sizeof buffer, &from), 4) << UdpSocket::LastError();
  EXPECT_EQ(from, Loopback(portB));

  SocketEvent event;
  ASSERT_EQ(a->EventSelect(&event), 0);
  ASSERT_EQ(Send(*a, closedPort, 4), 4);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(a->RecvFrom(buffer, sizeof buffer), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kWouldBlock);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  ASSERT_EQ(Send(*b, portA, 4), 4);
  EXPECT_EQ(event.Wait(1000), WaitResult::kSignaled);
  EXPECT_EQ(a->RecvFrom(buffer, sizeof buffer), 4);
  a->ForgetEvent(&event);
}

// The socket event is level-triggered for datagrams (signalled until the last is read) and
// auto-reset for hand signals; its handle is readable exactly while it is signalled, for a host
// that waits on it (PollReadable stands in for the host).
TEST_P(SocketTest, EventWakesOnADatagramOrAHandSignal) {
  uint16_t portA = 0, portB = 0;
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  SocketEvent event;
  ASSERT_TRUE(event.Valid());
  ASSERT_EQ(b->EventSelect(&event), 0);
  const auto start = steady_clock::now();
  EXPECT_EQ(event.Wait(40), WaitResult::kTimeout);
  EXPECT_GE(steady_clock::now() - start, 30ms);
  char buffer[256];
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);  // now non-blocking
  EXPECT_EQ(UdpSocket::LastError(), wsa::kWouldBlock);
  EXPECT_EQ(UdpSocket::LastErrno(), EWOULDBLOCK);

  // Two datagrams: one level, signalled until both are read.
  ASSERT_EQ(Send(*a, portB, 4), 4);
  ASSERT_EQ(Send(*a, portB, 4), 4);
  EXPECT_EQ(event.Wait(5000), WaitResult::kSignaled);
  EXPECT_EQ(PollReadable(event.Handle(), 0), 1);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 4);
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 4);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  EXPECT_EQ(PollReadable(event.Handle(), 0), 0);

  // By hand: one successful wait consumes the signal (for the host too); ResetEvent clears it
  // but leaves a waiting datagram's signal alone.
  EXPECT_TRUE(event.Set());
  EXPECT_EQ(PollReadable(event.Handle(), 0), 1);
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(PollReadable(event.Handle(), 0), 0);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  EXPECT_TRUE(event.Set() && event.Set());
  EXPECT_TRUE(event.ResetEvent());
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  EXPECT_EQ(PollReadable(event.Handle(), 0), 0);
  ASSERT_EQ(Send(*a, portB, 4), 4);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(event.Set() && event.ResetEvent());
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 4);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    event.Set();
  });
  EXPECT_EQ(event.Wait(kInfinite), WaitResult::kSignaled);
  setter.join();

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

    // A datagram or a hand signal arriving during a 500 ms wait ends it (the clock stands still,
    // so nothing else can).
    for (const bool byHand : {false, true}) {
      const uint64_t before = clock.NowMs();
      std::thread signaller([&] {
        std::this_thread::sleep_for(20ms);
        byHand ? (void)event.Set() : (void)Send(*a, portB, 172);
      });
      EXPECT_EQ(event.Wait(500), WaitResult::kSignaled);
      signaller.join();
      EXPECT_EQ(clock.NowMs(), before);
      if (!byHand) {
        EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 172);
      }
      EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
    }
  }
  // A closed socket leaves the event: a datagram sent before the close no longer signals it.
  ASSERT_EQ(Send(*a, portB, 5), 5);
  std::this_thread::sleep_for(20ms);
  ASSERT_EQ(b->Close(), 0);
  EXPECT_EQ(event.Wait(40), WaitResult::kTimeout);
  EXPECT_EQ(b->EventSelect(&event), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);
}

}  // namespace
}  // namespace tarsio
