// Threads with the Windows life cycle the filters depend on: create suspended, adjust (priority)
// while suspended, then resume; a thread that is never resumed can be terminated before it runs.
//
// A Thread object is the "handle": whoever holds the unique_ptr may close it (destroy the object)
// at any time, including from the thread itself, without waiting for the thread; the thread runs
// on regardless and owns its own state. Closing the handle of a thread that was never resumed ends
// that thread (nobody could resume it any more). Ids are small process-unique non-zero numbers.
//
// Ownership: no thread is ever detached. Every thread stays joinable in a process-wide list until
// it is reaped (joined) after it ended: CreateSuspended reaps the threads that have ended before
// it starts another, LiveCount reaps them before it counts, and ReapFinished(ms) waits, bounded,
// for the threads whose handles are closed and reaps them. Joining a thread that has ended returns
// at once, and once a thread is joined none of its code can run any more, so an owner about to
// go away (the terminal's destructor, before its library may be unloaded) calls ReapFinished.
// Join(ms) does the same for one thread through its handle. Nothing joins at process exit: there
// is no exit handler and the list is never destroyed, so threads still running then are left to
// the exit (a join at exit would deadlock under the Windows loader lock). A child made by fork()
// forgets its parent's threads (they do not exist in the child).
//
// Priorities: SetPriority maps the Windows levels to Linux scheduling. kTimeCritical and kHighest
// become SCHED_FIFO (99 and 50) when the process may use real-time scheduling and the environment
// variable TARSIO_NO_REALTIME is unset; other levels, or a refusal, leave the thread at normal
// scheduling. A refusal is reported (false, errno in LastError()) as SetThreadPriority reports it.
// Engine threads that get real-time priority always block on a device, a socket or an event
// between cycles; none of them spins.
//
// What does not call the system is the same on every system: ids, injected failures, the
// real-time refusal and the handle's members over them in platform/Thread.cpp, the suspend state
// and its rules in ThreadState, the list of threads not yet joined in ThreadList. platform/posix
// and platform/win32 create, release, join and prioritise the system's threads.
//
// Threading: Resume/Terminate/SetPriority are meant for the creating thread (they are safe from any
// thread: the suspend state sits behind a mutex shared with the new thread); Id() and
// HandleValue() from anywhere; Join, ReapFinished and LiveCount from any thread (a thread never
// waits for or joins itself). The procedure's captures are destroyed on the new thread. Locks: each
// thread's own mutex (its suspend state) and the process-wide list's mutex, never both at once;
// no join happens while either is held. Timed waits run on Clock::Current().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace tarsio {

class ThreadList;
class ThreadState;

enum class ThreadPriority : int {
  kIdle = -15,
  kLowest = -2,
  kBelowNormal = -1,
  kNormal = 0,
  kAboveNormal = 1,
  kHighest = 2,
  kTimeCritical = 15,
};

class Thread {
 public:
  using Proc = std::function<uint32_t()>;

  /// Creates a thread that will run proc once resumed. Returns nullptr when the thread cannot be
  /// created (resources exhausted, or a failure injected with FailNextCreates).
  static std::unique_ptr<Thread> CreateSuspended(Proc proc);

  ~Thread();  // closes the handle; never waits for or stops the thread (see Join)
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  /// Lets a suspended thread run. Returns the previous suspend count (1) or -1 on failure.
  int Resume();
  /// Ends a thread that was never resumed: its procedure will not run. Returns false if the
  /// thread was already resumed (a running thread cannot be killed safely).
  bool Terminate();
  /// Best-effort priority change; see the header comment. False on refusal.
  bool SetPriority(ThreadPriority priority);
  /// errno of the last refused SetPriority (0 if none).
  int LastError() const { return lastError_; }

  uint32_t Id() const { return id_; }
  /// The handle as a number for traces ("0x%x").
  uint32_t HandleValue() const;

  /// Waits up to waitMs (kInfinite: no limit) until the thread has ended, then joins it. True
  /// when it ended (at once for a thread that already did); false after the time-out, and always
  /// on the thread itself. A thread never resumed does not end until Terminate or the handle's
  /// close.
  bool Join(uint32_t waitMs);

  /// Waits up to waitMs until every thread whose handle is closed has ended, joining each thread
  /// that ended (whether its handle is closed or not). Returns how many of the closed-handle
  /// threads still run (0: all ended); the calling thread is never waited for.
  static int ReapFinished(uint32_t waitMs);
  /// Threads created and not yet ended, after reaping those that ended (open handles included).
  static int LiveCount();

  /// Makes the next n CreateSuspended calls fail (tests of start-failure paths).
  static void FailNextCreates(int n);
  /// Makes the next n Resume calls fail with -1, leaving the thread suspended (tests).
  static void FailNextResumes(int n);

  /// Whether kTimeCritical/kHighest are turned into real-time scheduling in this process.
  static bool RealtimeAllowed();

 private:
  struct Shared;  // the system's thread state, a ThreadState
  explicit Thread(std::shared_ptr<ThreadState> shared, uint32_t id);

  // The bookkeeping (platform/Thread.cpp).
  /// The next id (counting up from 1, never 0).
  static uint32_t AllocateId();
  /// Takes one failure injected by FailNextCreates / FailNextResumes, if any is pending.
  static bool TakeCreateFailure();
  static bool TakeResumeFailure();
  /// Records whether the system refused the last real-time level asked for.
  static void SetRealtimeRefused(bool refused);
  /// The new thread's life: runs the procedure (see ThreadState::RunProcedure) with the thread's
  /// id set, then marks the thread ended in the list.
  static void Run(const std::shared_ptr<ThreadState>& shared);

  // The system's side.
  static ThreadList& TheList();
  static void AtForkPrepare();
  static void AtForkParent();
  static void AtForkChild();

  std::shared_ptr<ThreadState> shared_;
  uint32_t id_;
  int lastError_ = 0;
};

/// The calling thread's id as Thread::Id() reports it (0 for threads not made by Thread).
uint32_t CurrentThreadId();

}  // namespace tarsio
