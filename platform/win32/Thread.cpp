// Thread's system side on Windows: threads made by _beginthreadex with CREATE_SUSPENDED, really
// suspended until Resume or Terminate resumes them, with the Windows priority levels.
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

#include <cstdlib>
#include <functional>
#include <mutex>

#include "platform/ThreadList.h"
#include "platform/ThreadState.h"

namespace tarsio {

namespace {

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
// Terminate resumes it, under the state's mutex, so the state it then finds is final. Terminate
// resumes it too rather than calling TerminateThread: the thread ends normally, so the C runtime's
// per-thread data and the procedure's captures are freed and it is joined like any other.
struct Thread::Shared : ThreadState {
  using ThreadState::ThreadState;

  // Suspended, the thread has not run, so its handle is open.
  bool ReleaseLocked() override { return ::ResumeThread(native) != static_cast<DWORD>(-1); }
  void AwaitReleaseLocked(std::unique_lock<std::mutex>&) override {}

  HANDLE native = nullptr;  // set before the Thread object exists; closed by the reaper's join
};

// Windows has no fork(), so unlike the Linux list this one registers no fork handlers and
// AtForkPrepare/AtForkParent/AtForkChild are not defined here.
ThreadList& Thread::TheList() {
  static ThreadList* const list = new ThreadList([](ThreadList::Record& record) {
    const HANDLE thread = static_cast<Shared&>(record).native;
    ::WaitForSingleObject(thread, INFINITE);  // short: the thread has ended
    ::CloseHandle(thread);
  });
  return *list;
}

std::unique_ptr<Thread> Thread::CreateSuspended(Proc proc) {
  if (TakeCreateFailure()) return nullptr;
  ThreadList& list = TheList();
  list.Reap();
  auto shared = std::make_shared<Shared>(std::move(proc));
  const uint32_t id = AllocateId();
  shared->id = id;

  // Everything that allocates comes before the thread exists, so that running out of memory can
  // only fail the call, never leave a suspended thread that no handle can reach.
  auto package = std::make_unique<StartPackage>(StartPackage{[shared] { Run(shared); }});
  std::unique_ptr<Thread> handle(new Thread(shared, id));
  const bool created = list.Add(shared, [&] {
    // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread data.
    const uintptr_t thread =
        ::_beginthreadex(nullptr, 0, &ThreadStart, package.get(), CREATE_SUSPENDED, nullptr);
    if (thread == 0) return false;
    package.release();  // the thread owns it now
    // Suspended, the thread cannot end, so publishing it after its creation races with no reaper.
    shared->native = reinterpret_cast<HANDLE>(thread);
    return true;
  });
  if (!created) return nullptr;  // the handle's destructor finds nothing to end
  return handle;
}

bool Thread::SetPriority(ThreadPriority priority) {
  Shared& shared = static_cast<Shared&>(*shared_);
  // Holding the mutex keeps the thread from passing its exit mark, so its handle stays open.
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (shared.exited) return true;  // nothing left to adjust

  // kHighest and kTimeCritical are the levels Linux turns into real-time scheduling; here they
  // are the Windows levels of those names, and TARSIO_NO_REALTIME keeps them at normal as there.
  const bool realtimeLevel =
      priority == ThreadPriority::kTimeCritical || priority == ThreadPriority::kHighest;
  const bool realtime = realtimeLevel && std::getenv("TARSIO_NO_REALTIME") == nullptr;
  const int level = realtimeLevel && !realtime ? THREAD_PRIORITY_NORMAL : WindowsPriority(priority);
  if (!::SetThreadPriority(shared.native, level)) {
    if (realtime) SetRealtimeRefused(true);
    lastError_ = static_cast<int>(::GetLastError());
    return false;
  }
  if (realtime) SetRealtimeRefused(false);
  lastError_ = 0;
  return true;
}

uint32_t Thread::HandleValue() const {
  // The thread's HANDLE as Windows numbers it (kernel handles fit 32 bits on 64-bit Windows too);
  // after the join closed it the number is only a name for traces.
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(static_cast<Shared&>(*shared_).native));
}

}  // namespace tarsio
