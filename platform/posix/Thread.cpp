#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace tarsio {

namespace {

std::atomic<uint32_t> nextThreadId{1};
std::atomic<int> failCreates{0};
std::atomic<int> failResumes{0};
// Set once the kernel refused real-time scheduling; cleared again by a later success.
std::atomic<bool> realtimeRefused{false};

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

// Nice values for the levels that do not use real-time scheduling.
int NiceFor(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::kIdle:
      return 19;
    case ThreadPriority::kLowest:
      return 10;
    case ThreadPriority::kBelowNormal:
      return 5;
    case ThreadPriority::kAboveNormal:
      return -5;
    case ThreadPriority::kHighest:
      return -10;
    case ThreadPriority::kTimeCritical:
      return -20;
    case ThreadPriority::kNormal:
      break;
  }
  return 0;
}

}  // namespace

struct Thread::Shared {
  enum class State { kSuspended, kResumed, kTerminated };

  std::mutex mutex;
  std::condition_variable cv;
  State state = State::kSuspended;
  bool started = false;  // the new thread has published its tid and waits at the gate
  bool exited = false;   // the new thread is past its procedure (native handle about to go)
  pid_t tid = 0;
  pthread_t native{};
  Proc proc;

  // Guarded by the list's mutex, not by mutex.
  bool ended = false;         // the thread's last act: nothing of the engine runs on it any more
  bool reaping = false;       // a reaper took it out of the list and joins it
  bool joined = false;        // joined (or, in a forked child, never existed)
  bool handleClosed = false;  // the Thread object is gone
};

// The process-wide list of threads not yet joined. Created on first use and never destroyed, so
// that no joinable std::thread is ever destroyed and nothing joins at exit.
struct Thread::List {
  struct Entry {
    std::thread thread;
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
    for (Entry& entry : taken) entry.thread.join();  // immediate: each thread has ended
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

Thread::List& Thread::TheList() {
  static List* const list = [] {
    auto* created = new List();
    ::pthread_atfork(&Thread::AtForkPrepare, &Thread::AtForkParent, &Thread::AtForkChild);
    return created;
  }();
  return *list;
}

void Thread::AtForkPrepare() { TheList().mutex.lock(); }

void Thread::AtForkParent() { TheList().mutex.unlock(); }

void Thread::AtForkChild() {
  // Only the forking thread exists in the child: the listed threads are gone, and so is any
  // reaper or waiter. Their std::thread objects are kept, never joined or destroyed.
  List& list = TheList();
  new (&list.mutex) std::mutex();
  new (&list.changed) std::condition_variable();
  auto* abandoned = new std::vector<List::Entry>(std::move(list.entries));
  for (List::Entry& entry : *abandoned) {
    entry.shared->ended = true;
    entry.shared->joined = true;
  }
  list.entries.clear();
  list.joining = 0;
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
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->tid = static_cast<pid_t>(::syscall(SYS_gettid));
    shared->started = true;
    shared->cv.notify_all();
    shared->cv.wait(lock, [&] { return shared->state != Shared::State::kSuspended; });
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

  // The handle and the list's slot are allocated before the thread exists, so that running out
  // of memory can only fail the call, never leave a joinable std::thread to be destroyed.
  std::unique_ptr<Thread> handle(new (std::nothrow) Thread(shared, id));
  if (handle == nullptr) return nullptr;
  try {
    std::lock_guard<std::mutex> lock(list.mutex);
    list.entries.reserve(list.entries.size() + 1);
    std::thread thread([shared, id] {
      Run(shared, id);
      List& threads = TheList();
      std::lock_guard<std::mutex> threadsLock(threads.mutex);
      shared->ended = true;
      threads.changed.notify_all();
    });
    shared->native = thread.native_handle();
    list.entries.push_back(List::Entry{std::move(thread), shared, id});  // no allocation
  } catch (const std::exception&) {
    // No thread was made and the list holds no entry: the handle goes with nothing to end.
    return nullptr;
  }

  // Wait until the thread sits at its gate, so that SetPriority can reach it by its tid.
  {
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->cv.wait(lock, [&] { return shared->started; });
  }
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
      if (TakeInjectedFailure(failResumes)) return -1;
      shared_->state = Shared::State::kResumed;
      shared_->cv.notify_all();
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
      shared_->state = Shared::State::kTerminated;
      shared_->cv.notify_all();
      return true;
    case Shared::State::kTerminated:
      return true;
    case Shared::State::kResumed:
      break;
  }
  return false;
}

bool Thread::SetPriority(ThreadPriority priority) {
  // Holding the mutex keeps the thread from passing its exit mark, so native and tid stay valid.
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->exited) return true;  // nothing left to adjust

  const bool realtimeLevel =
      priority == ThreadPriority::kTimeCritical || priority == ThreadPriority::kHighest;
  if (realtimeLevel && std::getenv("TARSIO_NO_REALTIME") == nullptr) {
    sched_param param{};
    param.sched_priority = priority == ThreadPriority::kTimeCritical ? 99 : 50;
    const int rc = ::pthread_setschedparam(shared_->native, SCHED_FIFO, &param);
    if (rc != 0) {
      realtimeRefused.store(true);
      lastError_ = rc;
      return false;
    }
    realtimeRefused.store(false);
    lastError_ = 0;
    return true;
  }

  // Normal scheduling, adjusted by the nice value where the process is allowed to.
  sched_param param{};
  param.sched_priority = 0;
  if (const int rc = ::pthread_setschedparam(shared_->native, SCHED_OTHER, &param); rc != 0) {
    lastError_ = rc;
    return false;
  }
  const int nice = realtimeLevel ? 0 : NiceFor(priority);
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(shared_->tid), nice) != 0) {
    // Raising priority without the privilege is refused; the thread just keeps its nice value.
    if (errno != EACCES && errno != EPERM) {
      lastError_ = errno;
      return false;
    }
  }
  lastError_ = 0;
  return true;
}

uint32_t Thread::HandleValue() const {
  // Windows handles are multiples of 4; keep that look and make the number differ from the id.
  return 0x100u + id_ * 4u;
}

void Thread::FailNextCreates(int n) { failCreates.store(n); }

void Thread::FailNextResumes(int n) { failResumes.store(n); }

bool Thread::RealtimeAllowed() {
  return std::getenv("TARSIO_NO_REALTIME") == nullptr && !realtimeRefused.load();
}

uint32_t CurrentThreadId() { return currentThreadId; }

}  // namespace tarsio
