// The Windows side of the platform layer run for real: threads (suspended start, priority,
// terminate, join, reap), critical sections under contention, host events, PollReadable and the
// trace sink, with real threads and, where a time-out matters, the fake clock. A plain program
// (no test framework) so that it runs under Wine from a cross build; it prints every failed check
// and exits non-zero if there was one.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/HostEvent.h"
#include "platform/PollWait.h"
#include "platform/Thread.h"
#include "platform/TraceSink.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;

int failures = 0;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      std::printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

// Polls cond in real time; false after a generous cap.
template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

void SetNoRealtime(bool on) { ::_putenv_s("TARSIO_NO_REALTIME", on ? "1" : ""); }

// The priority is set while Windows holds the thread suspended: the procedure has not run, and
// runs with that priority once resumed; TARSIO_NO_REALTIME keeps the real-time levels at normal.
void SuspendedThreadRunsWithItsPriority() {
  for (const bool noRealtime : {false, true}) {
    SetNoRealtime(noRealtime);
    CHECK(Thread::RealtimeAllowed() == !noRealtime);
    std::atomic<bool> ran{false};
    int priority = -100;
    uint32_t idInside = 0;
    auto thread = Thread::CreateSuspended([&] {
      ran = true;
      priority = ::GetThreadPriority(::GetCurrentThread());
      idInside = CurrentThreadId();
      return 0u;
    });
    CHECK(thread != nullptr);
    if (thread == nullptr) continue;
    CHECK(thread->SetPriority(ThreadPriority::kTimeCritical));
    CHECK(thread->LastError() == 0);
    std::this_thread::sleep_for(20ms);
    CHECK(!ran.load());
    CHECK(thread->Resume() == 1);
    CHECK(thread->Join(5000));
    CHECK(ran.load());
    CHECK(thread->Resume() == 0);                       // already resumed (and ended)
    CHECK(thread->SetPriority(ThreadPriority::kIdle));  // ended: nothing to adjust
    CHECK(priority == (noRealtime ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_TIME_CRITICAL));
    CHECK(idInside != 0 && idInside == thread->Id());
    CHECK(thread->HandleValue() != 0);
  }
  SetNoRealtime(false);
  CHECK(CurrentThreadId() == 0);  // the main thread was not made by Thread
}

void TerminatedAndSelfClosedThreadsEnd() {
  // Never resumed and terminated: the procedure does not run, its captures are released on the
  // thread, and the thread ends and is reaped.
  auto token = std::make_shared<int>(0);
  std::atomic<bool> ran{false};
  auto thread = Thread::CreateSuspended([token, &ran] {
    ran = true;
    return 0u;
  });
  CHECK(thread != nullptr);
  CHECK(thread->Terminate());
  CHECK(thread->Terminate());
  CHECK(thread->Resume() == -1);
  CHECK(thread->Join(5000));
  thread.reset();
  CHECK(Eventually([&] { return token.use_count() == 1; }));
  CHECK(!ran.load());
  // Closing the handle of a never-resumed thread ends it too.
  auto dropped = Thread::CreateSuspended([&ran] {
    ran = true;
    return 0u;
  });
  dropped.reset();
  CHECK(Thread::ReapFinished(5000) == 0);
  CHECK(!ran.load());
  // A thread that closes its own handle as its last act, and one that tries to join itself.
  HostEvent done;
  std::unique_ptr<Thread> self = Thread::CreateSuspended([&] {
    self.reset();
    done.Set();
    return 0u;
  });
  CHECK(self->Resume() == 1);
  CHECK(done.Wait(5000) == WaitResult::kSignaled);
  CHECK(self == nullptr);
  std::unique_ptr<Thread> selfJoin;
  std::atomic<bool> joinedItself{true};
  selfJoin = Thread::CreateSuspended([&] {
    joinedItself = selfJoin->Join(kInfinite);
    return 0u;
  });
  CHECK(selfJoin->Resume() == 1);
  CHECK(selfJoin->Join(kInfinite));
  CHECK(!joinedItself.load());
  CHECK(Thread::ReapFinished(5000) == 0);
  CHECK(Thread::LiveCount() == 0);
}

void InjectedFailures() {
  Thread::FailNextCreates(1);
  CHECK(Thread::CreateSuspended([] { return 0u; }) == nullptr);
  Thread::FailNextResumes(1);
  std::atomic<bool> ran{false};
  auto thread = Thread::CreateSuspended([&ran] {
    ran = true;
    return 0u;
  });
  CHECK(thread != nullptr);
  CHECK(thread->Resume() == -1);  // stays suspended
  std::this_thread::sleep_for(20ms);
  CHECK(!ran.load());
  CHECK(thread->Resume() == 1);
  CHECK(thread->Join(5000));
  CHECK(ran.load());
  CHECK(Thread::LiveCount() == 0);
}

// Every thread is joined once ended; ReapFinished waits, bounded, only for closed-handle threads.
void ThreadsAreReapedAndCounted() {
  CHECK(Thread::ReapFinished(10000) == 0);
  CHECK(Thread::LiveCount() == 0);
  constexpr int kThreads = 40;
  std::atomic<int> ran{0};
  for (int i = 0; i < kThreads; ++i) {
    auto thread = Thread::CreateSuspended([&ran] { return static_cast<uint32_t>(++ran); });
    CHECK(thread != nullptr);
    if (thread != nullptr) CHECK(thread->Resume() == 1);
  }
  CHECK(Thread::ReapFinished(10000) == 0);
  CHECK(ran.load() == kThreads);
  CHECK(Thread::LiveCount() == 0);

  HostEvent release;
  auto blocked = Thread::CreateSuspended(
      [&release] { return release.Wait(kInfinite) == WaitResult::kSignaled ? 0u : 1u; });
  CHECK(blocked->Resume() == 1);
  CHECK(Thread::ReapFinished(50) == 0);  // its handle is open: not waited for
  CHECK(Thread::LiveCount() == 1);
  blocked.reset();
  const auto start = std::chrono::steady_clock::now();
  CHECK(Thread::ReapFinished(50) == 1);
  CHECK(ElapsedMs(start) >= 45);
  CHECK(Thread::LiveCount() == 1);
  release.Set();
  CHECK(Thread::ReapFinished(5000) == 0);
  CHECK(Thread::LiveCount() == 0);
}

// Join's time-out runs on the engine's clock: a thread never resumed does not end, and the join
// gives up exactly when the fake time reaches its bound.
void JoinTimesOutOnTheClock() {
  FakeClock clock;
  ScopedClock scoped(clock);
  auto idle = Thread::CreateSuspended([] { return 0u; });
  std::atomic<int> joined{-1};
  std::thread joiner([&] { joined = idle->Join(50) ? 1 : 0; });
  CHECK(clock.WaitForSleepers(1));
  clock.AdvanceMs(49);
  std::this_thread::sleep_for(30ms);
  CHECK(joined.load() == -1);
  clock.AdvanceMs(1);
  joiner.join();
  CHECK(joined.load() == 0);
  CHECK(idle->Terminate());
  CHECK(idle->Join(kInfinite));
  CHECK(Thread::LiveCount() == 0);
}

void CriticalSectionIsRecursiveAndExclusive() {
  CriticalSection cs;
  cs.Enter();
  CHECK(cs.TryEnter());
  std::atomic<int> otherGot{-1};
  std::thread other([&] {
    const bool got = cs.TryEnter();
    if (got) cs.Leave();
    otherGot = got ? 1 : 0;
  });
  other.join();
  CHECK(otherGot.load() == 0);
  std::atomic<bool> entered{false};
  std::thread blocked([&] {
    CriticalSectionLock lock(cs);
    entered = true;
  });
  for (int held = 2; held > 0; --held) {
    std::this_thread::sleep_for(20ms);
    CHECK(!entered.load());
    cs.Leave();  // only the last Leave lets the other thread in
  }
  blocked.join();
  CHECK(entered.load());

  // Two engine threads increment a plain counter, each entering twice per step.
  constexpr int kIncrements = 100000;
  int counter = 0;
  HostEvent go;
  auto body = [&] {
    go.Wait(kInfinite);
    for (int i = 0; i < kIncrements; ++i) {
      CriticalSectionLock outer(cs);
      CriticalSectionLock inner(cs);
      const int value = counter;
      counter = value + 1;
    }
    return 0u;
  };
  auto a = Thread::CreateSuspended(body);
  auto b = Thread::CreateSuspended(body);
  CHECK(a->Resume() == 1 && b->Resume() == 1);
  go.Set();
  CHECK(a->Join(30000) && b->Join(30000));
  CriticalSectionLock lock(cs);
  CHECK(counter == 2 * kIncrements);
}

void HostEventsSignalResetAndTimeOut() {
  HostEvent manual;
  CHECK(manual.Valid());
  CHECK(!manual.IsSet());
  CHECK(manual.Wait(0) == WaitResult::kTimeout);
  const auto start = std::chrono::steady_clock::now();
  CHECK(manual.Wait(30) == WaitResult::kTimeout);
  CHECK(ElapsedMs(start) >= 29);
  CHECK(manual.Set());
  CHECK(manual.IsSet());
  CHECK(manual.Wait(0) == WaitResult::kSignaled);
  CHECK(manual.Wait(0) == WaitResult::kSignaled);  // manual: stays set
  CHECK(manual.ResetEvent());
  CHECK(!manual.IsSet());
  CHECK(manual.Wait(0) == WaitResult::kTimeout);

  HostEvent automatic(Event::Reset::kAuto);
  CHECK(automatic.Set());
  CHECK(automatic.Set());  // no count: two Sets are one signal
  CHECK(automatic.IsSet());
  CHECK(automatic.IsSet());  // looking does not consume
  CHECK(automatic.Wait(0) == WaitResult::kSignaled);
  CHECK(automatic.Wait(0) == WaitResult::kTimeout);
  CHECK(!automatic.IsSet());

  // One Set of an auto-reset event releases exactly one of two waiters.
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (automatic.Wait(kInfinite) == WaitResult::kSignaled) ++woken;
    });
  }
  std::this_thread::sleep_for(20ms);
  automatic.Set();
  CHECK(Eventually([&] { return woken.load() >= 1; }));
  std::this_thread::sleep_for(50ms);
  CHECK(woken.load() == 1);
  automatic.Set();
  for (auto& t : waiters) t.join();
  CHECK(woken.load() == 2);
  CHECK(!automatic.IsSet());
}

// Under a fake clock a wait ends when the fake time reaches its bound, not after real time, and
// no amount of time ends an infinite wait.
void HostEventWaitsOnTheFakeClock() {
  FakeClock clock;
  ScopedClock scoped(clock);
  HostEvent event(Event::Reset::kAuto);
  std::atomic<int> result{-1};
  std::thread bounded([&] { result = static_cast<int>(event.Wait(200)); });
  std::this_thread::sleep_for(50ms);
  clock.AdvanceMs(199);
  std::this_thread::sleep_for(250ms);  // past the bound in real time, not on the clock
  CHECK(result.load() == -1);
  clock.AdvanceMs(1);
  const auto advanced = std::chrono::steady_clock::now();
  bounded.join();
  CHECK(ElapsedMs(advanced) < 1000);
  CHECK(result.load() == static_cast<int>(WaitResult::kTimeout));
  // A long bound is not one long system wait: advancing the clock past it ends the wait at once.
  result = -1;
  std::thread longer([&] { result = static_cast<int>(event.Wait(100000)); });
  std::this_thread::sleep_for(50ms);
  clock.AdvanceMs(100000);
  const auto jumped = std::chrono::steady_clock::now();
  longer.join();
  CHECK(ElapsedMs(jumped) < 1000);
  CHECK(result.load() == static_cast<int>(WaitResult::kTimeout));

  result = -1;
  std::thread unbounded([&] { result = static_cast<int>(event.Wait(kInfinite)); });
  std::this_thread::sleep_for(20ms);
  clock.AdvanceMs(uint64_t{1} << 40);
  std::this_thread::sleep_for(30ms);
  CHECK(result.load() == -1);
  event.Set();
  unbounded.join();
  CHECK(result.load() == static_cast<int>(WaitResult::kSignaled));
  CHECK(!event.IsSet());  // the wait consumed it
}

// A host's own event: the engine's copy signals the host's handle and sees the host's resets, and
// outlives the host's handle.
void HostHandleIsDuplicated() {
  CHECK(HostEvent::FromHostHandle(kNoNativeHandle) == nullptr);  // not this process's handle
  CHECK(HostEvent::FromHostHandle(0) == nullptr);
  const HANDLE host = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CHECK(host != nullptr);
  auto event = HostEvent::FromHostHandle(reinterpret_cast<NativeHandle>(host));
  CHECK(event != nullptr);
  if (event == nullptr) return;
  CHECK(event->Valid());
  CHECK(event->Handle() != reinterpret_cast<NativeHandle>(host));
  CHECK(::WaitForSingleObject(host, 0) == WAIT_TIMEOUT);
  CHECK(event->Set());
  CHECK(::WaitForSingleObject(host, 0) == WAIT_OBJECT_0);
  ::ResetEvent(host);
  CHECK(!event->IsSet());
  ::SetEvent(host);
  CHECK(event->Wait(0) == WaitResult::kSignaled);
  CHECK(event->ResetEvent());
  CHECK(::WaitForSingleObject(host, 0) == WAIT_TIMEOUT);
  // A host waiting on its handle is woken by the engine's Set.
  std::atomic<DWORD> hostWait{WAIT_FAILED};
  std::thread hostThread([&] { hostWait = ::WaitForSingleObject(host, 5000); });
  std::this_thread::sleep_for(20ms);
  event->Set();
  hostThread.join();
  CHECK(hostWait.load() == WAIT_OBJECT_0);
  ::CloseHandle(host);
  CHECK(event->ResetEvent());
  CHECK(event->Set());
  CHECK(event->IsSet());
}

void PollReadableOnEvents() {
  CHECK(PollReadable(kNoNativeHandle, 0) == -1);
  CHECK(PollReadable(0, 0) == -1);
  const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const auto handle = reinterpret_cast<NativeHandle>(event);
  CHECK(PollReadable(handle, 0) == 0);
  const auto start = std::chrono::steady_clock::now();
  CHECK(PollReadable(handle, 25) == 0);
  CHECK(ElapsedMs(start) >= 24);
  ::SetEvent(event);
  CHECK(PollReadable(handle, 0) == 1);
  CHECK(PollReadable(handle, kInfinite) == 1);
  ::ResetEvent(event);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    ::SetEvent(event);
  });
  CHECK(PollReadable(handle, 5000) == 1);
  setter.join();
  ::CloseHandle(event);
}

// Trace lines: time, the engine's thread id, the instance name and the text with one newline.
void TraceSinkWritesLines() {
  char directory[MAX_PATH];
  const DWORD length = ::GetTempPathA(MAX_PATH, directory);
  CHECK(length > 0 && length < MAX_PATH);
  const std::string path =
      std::string(directory) + "tarsio-trace-" + std::to_string(::GetCurrentProcessId()) + ".txt";
  std::remove(path.c_str());
  CHECK(!TraceSink::Enabled());
  CHECK(TraceSink::Open(path));
  CHECK(TraceSink::Enabled());
  TraceSink::Write("AudioSink:1f2e", 0x4, "StartSinkThread\n");
  uint32_t id = 0;
  auto thread = Thread::CreateSuspended([&] {
    id = CurrentThreadId();
    TraceSink::Write("T:1", 0x1, "from thread");
    return 0u;
  });
  CHECK(thread->Resume() == 1 && thread->Join(5000));
  TraceSink::Close();
  CHECK(!TraceSink::Enabled());
  TraceSink::Write("X:0", 0x4, "after close\n");
  std::ifstream in(path);
  const std::regex format(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (\S+) (.*))");
  std::string line;
  std::smatch m;
  CHECK(std::getline(in, line) && std::regex_match(line, m, format));
  CHECK(m.size() == 4 && m[1].str() == std::to_string(::GetCurrentThreadId()) &&
        m[2].str() + " " + m[3].str() == "AudioSink:1f2e StartSinkThread");
  CHECK(std::getline(in, line) && std::regex_match(line, m, format));
  CHECK(m.size() == 4 && m[1].str() == std::to_string(id) &&
        m[2].str() + " " + m[3].str() == "T:1 from thread");
  CHECK(!std::getline(in, line));
  in.close();
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tarsio

int main() {
  using namespace tarsio;
  SuspendedThreadRunsWithItsPriority();
  TerminatedAndSelfClosedThreadsEnd();
  InjectedFailures();
  ThreadsAreReapedAndCounted();
  JoinTimesOutOnTheClock();
  CriticalSectionIsRecursiveAndExclusive();
  HostEventsSignalResetAndTimeOut();
  HostEventWaitsOnTheFakeClock();
  HostHandleIsDuplicated();
  PollReadableOnEvents();
  TraceSinkWritesLines();
  CHECK(Thread::ReapFinished(5000) == 0);
  CHECK(Thread::LiveCount() == 0);
  std::printf("%s: %d failed check(s)\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
