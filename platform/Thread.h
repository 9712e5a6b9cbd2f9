// Threads with the Windows life cycle the filters depend on: create suspended, adjust (priority)
// while suspended, then resume; a thread that is never resumed can be terminated before it runs.
//
// A Thread object is the "handle": whoever holds the unique_ptr may close it (destroy the object)
// at any time, including from the thread itself, without waiting for the thread; the thread runs
// on regardless and owns its own state. Closing the handle of a thread that was never resumed ends
// that thread (nobody could resume it any more). Ids are small process-unique non-zero numbers.
//
// Priorities: SetPriority maps the Windows levels to Linux scheduling. kTimeCritical and kHighest
// become SCHED_FIFO (99 and 50) when the process may use real-time scheduling and the environment
// variable TARSIO_NO_REALTIME is unset; other levels, or a refusal, leave the thread at normal
// scheduling. A refusal is reported (false, errno in LastError()) as SetThreadPriority reports it.
// Engine threads that get real-time priority always block on a device, a socket or an event
// between cycles; none of them spins.
//
// Threading: Resume/Terminate/SetPriority are meant for the creating thread (they are safe from any
// thread: the suspend state sits behind a mutex shared with the new thread); Id() and
// HandleValue() from anywhere. The procedure's captures are destroyed on the new thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace tarsio {

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

  ~Thread();  // closes the handle; never waits for or stops the thread
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

  /// Makes the next n CreateSuspended calls fail (tests of start-failure paths).
  static void FailNextCreates(int n);
  /// Makes the next n Resume calls fail with -1, leaving the thread suspended (tests).
  static void FailNextResumes(int n);

  /// Whether kTimeCritical/kHighest are turned into real-time scheduling in this process.
  static bool RealtimeAllowed();

 private:
  struct Shared;
  explicit Thread(std::shared_ptr<Shared> shared, uint32_t id);

  std::shared_ptr<Shared> shared_;
  uint32_t id_;
  int lastError_ = 0;
};

/// The calling thread's id as Thread::Id() reports it (0 for threads not made by Thread).
uint32_t CurrentThreadId();

}  // namespace tarsio
