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
};

Thread::Thread(std::shared_ptr<Shared> shared, uint32_t id) : shared_(std::move(shared)), id_(id) {}

Thread::~Thread() {
  // Without a handle a suspended thread could never be resumed: let it go instead of leaking it.
  Terminate();
}

std::unique_ptr<Thread> Thread::CreateSuspended(Proc proc) {
  if (TakeInjectedFailure(failCreates)) return nullptr;
  auto shared = std::make_shared<Shared>();
  shared->proc = std::move(proc);
  const uint32_t id = AllocateId();

  try {
    std::thread thread([shared, id] {
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
    });
    shared->native = thread.native_handle();
    thread.detach();
  } catch (const std::system_error&) {
    return nullptr;
  }

  // Wait until the thread sits at its gate, so that SetPriority can reach it by its tid.
  {
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->cv.wait(lock, [&] { return shared->started; });
  }
  return std::unique_ptr<Thread>(new Thread(std::move(shared), id));
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
