#include "platform/Thread.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
// The Windows headers depend on their order.
// clang-format off
#include <process.h>
#include <windows.h>
// clang-format on

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace tarsio {

namespace {

std::atomic<uint32_t> nextThreadId{1};
std::atomic<int> failCreates{0};
std::atomic<int> failResumes{0};
// Set once Windows refused a real-time level; cleared again by a later success.
std::atomic<bool> realtimeRefused{false};

// The engine's own numbering, not GetCurrentThreadId: Windows reuses a thread id once the thread's
// last handle is closed, and a Thread object may outlive the join that closes it, so a new thread
// could otherwise take the id of an old one and be taken for it by Join.
thread_local uint32_t currentThreadId = 0;

// Takes one injected failure from counter, if any is pending.
bool TakeInjectedFailure(std::atomic<int>& counter) {
  int pending = counter.load();
  while (pending > 0) {
    if (counter.compare_exchange_weak(pending, pending - 1)) return true;
  }
  return false;
}

uint32_t AllocateId() {
  uint32_t id = nextThreadId.fetch_add(1);
  while (id == 0) id = nextThreadId.fetch_add(1);  // after 2^32 threads: skip 0
  return id;
}

int WindowsPriority(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::kIdle:
      return THREAD_PRIORITY_IDLE;
    case ThreadPriority::kLowest:
      return THREAD_PRIORITY_LOWEST;
    case ThreadPriority::kBelowNormal:
      return THREAD_PRIORITY_BELOW_NORMAL;
    case ThreadPriority::kAboveNormal:
      return THREAD_PRIORITY_ABOVE_NORMAL;
    case ThreadPriority::kHighest:
      return THREAD_PRIORITY_HIGHEST;
    case ThreadPriority::kTimeCritical:
      return THREAD_PRIORITY_TIME_CRITICAL;
    case ThreadPriority::kNormal:
      break;
  }
  return THREAD_PRIORITY_NORMAL;
}

// What _beginthreadex hands the new thread: the body to run, deleted by that thread.
struct StartPackage {
  std::function<void()> run;
};

unsigned __stdcall ThreadStart(void* argument) {
  auto* package = static_cast<StartPackage*>(argument);
  package->run();
  delete package;  // its captures die on this thread
  return 0;
}

}  // namespace

// The thread is created with CREATE_SUSPENDED and really is suspended by Windows until Resume or
// Terminate resumes it; state says which of the two did, so that a terminated thread skips the
// procedure and only releases it.
struct Thread::Shared {
  enum class State { kSuspended, kResumed, kTerminated };

  std::mutex mutex;
  State state = State::kSuspended;
  bool exited = false;      // the new thread is past its procedure (native handle about to go)
  HANDLE native = nullptr;  // set before the Thread object exists; closed by the reaper's join
  Proc proc;

  // Guarded by the list's mutex, not by mutex.
  bool ended = false;         // the thread's last act: nothing of the engine runs on it any more
  bool reaping = false;       // a reaper took it out of the list and joins it
  bool joined = false;        // joined: its handle is closed
  bool handleClosed = false;  // the Thread object is gone
};

// The process-wide list of threads not yet joined. Created on first use and never destroyed, so
// that nothing joins at exit (under the loader lock a join would deadlock).
struct Thread::List {
  struct Entry {
    HANDLE thread = nullptr;
    std::shared_ptr<Shared> shared;
    uint32_t id = 0;
  };

  std::mutex mutex;
  std::condition_variable changed;  // a thread ended, or a reaper finished its joins
  std::vector<Entry> entries;       // guarded by mutex
  int joining = 0;                  // threads taken out of entries and being joined; by mutex

  // Joins every thread that has ended and that no other reaper took. lk is held on entry and
  // exit and released across the joins.
  void ReapLocked(std::unique_lock<std::mutex>& lk) {
    std::vector<Entry> taken;
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->shared->ended) {
        it->shared->reaping = true;
        taken.push_back(std::move(*it));
        it = entries.erase(it);
      } else {
        ++it;
      }
    }
    if (taken.empty()) return;
    joining += static_cast<int>(taken.size());
    lk.unlock();
    for (Entry& entry : taken) {
      ::WaitForSingleObject(entry.thread, INFINITE);  // short: each thread has ended
      ::CloseHandle(entry.thread);
    }
    lk.lock();
    joining -= static_cast<int>(taken.size());
    for (Entry& entry : taken) entry.shared->joined = true;
    changed.notify_all();
  }

  // Closed-handle threads still running, other than the calling thread.
  int OrphansRunningLocked() const {
    const uint32_t self = CurrentThreadId();
    int running = 0;
    for (const Entry& entry : entries) {
      if (entry.shared->handleClosed && !entry.shared->ended && entry.id != self) ++running;
    }
    return running;
  }

  bool AnyEndedLocked() const {
    for (const Entry& entry : entries) {
      if (entry.shared->ended) return true;
    }
    return false;
  }
};

// Windows has no fork(), so unlike the Linux list this one registers no fork handlers and
// AtForkPrepare/AtForkParent/AtForkChild are not defined here.
Thread::List& Thread::TheList() {
  static List* const list = new List();
  return *list;
}

Thread::Thread(std::shared_ptr<Shared> shared, uint32_t id) : shared_(std::move(shared)), id_(id) {}

Thread::~Thread() {
  // Without a handle a suspended thread could never be resumed: let it go instead of leaking it.
  Terminate();
  List& list = TheList();
  std::lock_guard<std::mutex> lock(list.mutex);
  shared_->handleClosed = true;
}

void Thread::Run(const std::shared_ptr<Shared>& shared, uint32_t id) {
  currentThreadId = id;
  Proc body;
  {
    // Resume and Terminate set the state and resume the thread under this mutex, so it is final.
    std::lock_guard<std::mutex> lock(shared->mutex);
    body = std::move(shared->proc);
    shared->proc = nullptr;
    if (shared->state == Shared::State::kTerminated) {
      shared->exited = true;
      return;
    }
  }
  body();
  body = nullptr;  // the procedure's captures die on this thread, before it is marked exited
  std::lock_guard<std::mutex> lock(shared->mutex);
  shared->exited = true;
}

std::unique_ptr<Thread> Thread::CreateSuspended(Proc proc) {
  if (TakeInjectedFailure(failCreates)) return nullptr;
  List& list = TheList();
  {
    std::unique_lock<std::mutex> lk(list.mutex);
    list.ReapLocked(lk);
  }
  auto shared = std::make_shared<Shared>();
  shared->proc = std::move(proc);
  const uint32_t id = AllocateId();

  // Everything that allocates comes before the thread exists, so that running out of memory can
  // only fail the call, never leave a suspended thread that no handle can reach.
  auto package = std::make_unique<StartPackage>(StartPackage{[shared, id] {
    Run(shared, id);
    List& threads = TheList();
    std::lock_guard<std::mutex> lock(threads.mutex);
    shared->ended = true;
    threads.changed.notify_all();
  }});
  std::unique_ptr<Thread> handle(new Thread(shared, id));
  std::lock_guard<std::mutex> lock(list.mutex);
  list.entries.reserve(list.entries.size() + 1);
  // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread data.
  const uintptr_t created =
      ::_beginthreadex(nullptr, 0, &ThreadStart, package.get(), CREATE_SUSPENDED, nullptr);
  if (created == 0) return nullptr;  // the handle's destructor finds nothing to end
  package.release();                 // the thread owns it now
  // Suspended, the thread cannot end, so publishing it after its creation races with no reaper.
  shared->native = reinterpret_cast<HANDLE>(created);
  list.entries.push_back(List::Entry{shared->native, shared, id});  // no allocation
  return handle;
}

bool Thread::Join(uint32_t waitMs) {
  if (CurrentThreadId() == id_) return false;
  List& list = TheList();
  std::unique_lock<std::mutex> lk(list.mutex);
  // Ended and still listed: this call reaps it; ended and taken by another reaper: wait for it.
  const auto reapableOrJoined = [&] {
    return shared_->joined || (shared_->ended && !shared_->reaping);
  };
  if (!Clock::Current().WaitFor(list.changed, lk, waitMs, reapableOrJoined)) return false;
  if (!shared_->joined) list.ReapLocked(lk);
  return Clock::Current().WaitFor(list.changed, lk, waitMs, [&] { return shared_->joined; });
}

int Thread::ReapFinished(uint32_t waitMs) {
  List& list = TheList();
  Clock& clock = Clock::Current();
  const uint64_t start = clock.NowMs();
  std::unique_lock<std::mutex> lk(list.mutex);
  for (;;) {
    list.ReapLocked(lk);
    const int running = list.OrphansRunningLocked();
    if (running == 0 && list.joining == 0) return 0;
    uint32_t remaining = kInfinite;
    if (waitMs != kInfinite) {
      const uint64_t elapsed = clock.NowMs() - start;
      if (elapsed >= waitMs) return running;
      remaining = static_cast<uint32_t>(waitMs - elapsed);
    }
    clock.WaitFor(list.changed, lk, remaining, [&] {
      return list.AnyEndedLocked() || (list.OrphansRunningLocked() == 0 && list.joining == 0);
    });
  }
}

int Thread::LiveCount() {
  List& list = TheList();
  std::unique_lock<std::mutex> lk(list.mutex);
  list.ReapLocked(lk);
  return static_cast<int>(list.entries.size()) + list.joining;
}

int Thread::Resume() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  switch (shared_->state) {
    case Shared::State::kSuspended:
      // Suspended, the thread has not run, so its handle is open.
      if (TakeInjectedFailure(failResumes)) return -1;
      if (::ResumeThread(shared_->native) == static_cast<DWORD>(-1)) return -1;
      shared_->state = Shared::State::kResumed;
      return 1;
    case Shared::State::kResumed:
      return 0;
    case Shared::State::kTerminated:
      break;
  }
  return -1;
}

bool Thread::Terminate() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  switch (shared_->state) {
    case Shared::State::kSuspended:
      // Not TerminateThread: the thread is resumed into Run, which sees the state, releases the
      // procedure without calling it and ends normally, so the C runtime's per-thread data and
      // the captures are freed and the thread is joined like any other.
      shared_->state = Shared::State::kTerminated;
      ::ResumeThread(shared_->native);
      return true;
    case Shared::State::kTerminated:
      return true;
    case Shared::State::kResumed:
      break;
  }
  return false;
}

bool Thread::SetPriority(ThreadPriority priority) {
  // Holding the mutex keeps the thread from passing its exit mark, so its handle stays open.
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->exited) return true;  // nothing left to adjust

  // kHighest and kTimeCritical are the levels Linux turns into real-time scheduling; here they
  // are the Windows levels of those names, and TARSIO_NO_REALTIME keeps them at normal as there.
  const bool realtimeLevel =
      priority == ThreadPriority::kTimeCritical || priority == ThreadPriority::kHighest;
  const bool realtime = realtimeLevel && std::getenv("TARSIO_NO_REALTIME") == nullptr;
  const int level = realtimeLevel && !realtime ? THREAD_PRIORITY_NORMAL : WindowsPriority(priority);
  if (!::SetThreadPriority(shared_->native, level)) {
    if (realtime) realtimeRefused.store(true);
    lastError_ = static_cast<int>(::GetLastError());
    return false;
  }
  if (realtime) realtimeRefused.store(false);
  lastError_ = 0;
  return true;
}

uint32_t Thread::HandleValue() const {
  // The thread's HANDLE as Windows numbers it (kernel handles fit 32 bits on 64-bit Windows too);
  // after the join closed it the number is only a name for traces.
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(shared_->native));
}

void Thread::FailNextCreates(int n) { failCreates.store(n); }

void Thread::FailNextResumes(int n) { failResumes.store(n); }

bool Thread::RealtimeAllowed() {
  return std::getenv("TARSIO_NO_REALTIME") == nullptr && !realtimeRefused.load();
}

uint32_t CurrentThreadId() { return currentThreadId; }

}  // namespace tarsio
