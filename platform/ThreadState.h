// One thread's state, shared by its Thread handle and the thread itself, and the rules of the
// Windows life cycle over it: the thread starts suspended; Resume lets it run its procedure;
// Terminate, while it is still suspended, lets it end without running it. The same on every
// system. The system's thread state (Thread::Shared in platform/posix and platform/win32) extends
// it with the system's thread and supplies the two steps that differ: letting a suspended thread
// go on (Windows resumes it; Linux opens a gate it waits at) and, on the new thread, waiting until
// that happened. Being a ThreadList::Record, it is also what the list of threads keeps.
//
// Threading: Resume and Terminate may be called from any thread, RunProcedure on the new thread
// only. Locks: mutex guards state, exited and proc (and the system's fields the derived state
// says); it is held while the system's steps run and is never held with the list's mutex. The
// Record's fields belong to the list.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/ThreadList.h"

namespace tarsio {

class ThreadState : public ThreadList::Record {
 public:
  using Proc = std::function<uint32_t()>;
  enum class State { kSuspended, kResumed, kTerminated };

  explicit ThreadState(Proc procedure);
  virtual ~ThreadState();
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;

  /// Lets a suspended thread run: 1, or -1 (still suspended) when takeInjectedFailure() says so
  /// or the system refuses. 0 when it already runs, -1 when it was terminated.
  int Resume(bool (*takeInjectedFailure)());
  /// Lets a suspended thread end without running the procedure. True when it is (now) terminated,
  /// false when it was already resumed.
  bool Terminate();
  /// On the new thread: waits until it is resumed or terminated, then runs the procedure unless
  /// it was terminated. The procedure's captures die on this thread, before it counts as exited.
  void RunProcedure();

  std::mutex mutex;
  State state = State::kSuspended;  // guarded by mutex
  bool exited = false;  // the thread is past its procedure (its system handle about to go); mutex
  Proc proc;            // until the thread takes it; guarded by mutex

 protected:
  /// With mutex held: lets the suspended thread go on (it then looks at state). False when the
  /// system refuses; the thread stays suspended.
  virtual bool ReleaseLocked() = 0;
  /// On the new thread, with mutex held through lock: returns once state is no longer suspended.
  virtual void AwaitReleaseLocked(std::unique_lock<std::mutex>& lock) = 0;
};

}  // namespace tarsio
