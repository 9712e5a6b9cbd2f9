// Thread's system side on Linux: std::thread (pthreads) under the Windows life cycle. A thread is
// not really suspended: it waits at a gate (a condition variable) until Resume or Terminate opens
// it. Priorities become scheduling policies and nice values; fork handlers keep the list sane in a
// child.
#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/ThreadList.h"
#include "platform/ThreadState.h"

namespace tarsio {

namespace {

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

// The gate: the new thread publishes its tid, then waits on cv until the state leaves suspended.
struct Thread::Shared : ThreadState {
  using ThreadState::ThreadState;

  bool ReleaseLocked() override {
    cv.notify_all();
    return true;
  }
  void AwaitReleaseLocked(std::unique_lock<std::mutex>& lock) override {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    started = true;
    cv.notify_all();
    cv.wait(lock, [&] { return state != State::kSuspended; });
  }

  std::condition_variable cv;  // the gate, and the creator's wait for started; used with mutex
  bool started = false;  // the new thread has published its tid and waits at the gate; by mutex
  pid_t tid = 0;         // by mutex
  pthread_t native{};    // set before the thread is listed
  // Joinable until the list reaps the thread; set with the list's mutex held, before the thread
  // is listed.
  std::thread thread;
};

ThreadList& Thread::TheList() {
  static ThreadList* const list = [] {
    auto* created = new ThreadList(
        [](ThreadList::Record& record) { static_cast<Shared&>(record).thread.join(); });
    ::pthread_atfork(&Thread::AtForkPrepare, &Thread::AtForkParent, &Thread::AtForkChild);
    return created;
  }();
  return *list;
}

void Thread::AtForkPrepare() { TheList().LockForFork(); }

void Thread::AtForkParent() { TheList().UnlockAfterFork(); }

void Thread::AtForkChild() {
  // Only the forking thread exists in the child: the listed threads are gone, and so is any
  // reaper or waiter. Their records, and with them their std::thread objects, are kept, never
  // joined or destroyed.
  TheList().ForgetAllInChild();
}

std::unique_ptr<Thread> Thread::CreateSuspended(Proc proc) {
  if (TakeCreateFailure()) return nullptr;
  ThreadList& list = TheList();
  list.Reap();
  auto shared = std::make_shared<Shared>(std::move(proc));
  const uint32_t id = AllocateId();
  shared->id = id;

  // The handle and the list's slot are allocated before the thread exists, so that running out
  // of memory can only fail the call, never leave a joinable std::thread to be destroyed.
  std::unique_ptr<Thread> handle(new (std::nothrow) Thread(shared, id));
  if (handle == nullptr) return nullptr;
  try {
    list.Add(shared, [&] {
      shared->thread = std::thread([shared] { Run(shared); });
      shared->native = shared->thread.native_handle();
      return true;
    });
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

bool Thread::SetPriority(ThreadPriority priority) {
  Shared& shared = static_cast<Shared&>(*shared_);
  // Holding the mutex keeps the thread from passing its exit mark, so native and tid stay valid.
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.exited) return true;  // nothing left to adjust

  const bool realtimeLevel =
      priority == ThreadPriority::kTimeCritical || priority == ThreadPriority::kHighest;
  if (realtimeLevel && std::getenv("TARSIO_NO_REALTIME") == nullptr) {
    sched_param param{};
    param.sched_priority = priority == ThreadPriority::kTimeCritical ? 99 : 50;
    const int rc = ::pthread_setschedparam(shared.native, SCHED_FIFO, &param);
    if (rc != 0) {
      SetRealtimeRefused(true);
      lastError_ = rc;
      return false;
    }
    SetRealtimeRefused(false);
    lastError_ = 0;
    return true;
  }

  // Normal scheduling, adjusted by the nice value where the process is allowed to.
  sched_param param{};
  param.sched_priority = 0;
  if (const int rc = ::pthread_setschedparam(shared.native, SCHED_OTHER, &param); rc != 0) {
    lastError_ = rc;
    return false;
  }
  const int nice = realtimeLevel ? 0 : NiceFor(priority);
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(shared.tid), nice) != 0) {
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

}  // namespace tarsio
