// The process-wide list of the threads Thread has started and not yet joined, and the waits on it:
// Thread::Join, Thread::ReapFinished and Thread::LiveCount. The same on every system; the one step
// that calls the system, joining a thread that has ended, is the function the list is made with.
//
// Each thread has a Record, part of its ThreadState, which the system's thread state extends
// (platform/posix/Thread.cpp, platform/win32/Thread.cpp). A thread is listed when it is created and
// stays listed, joinable, until a reaper takes it out after it ended and joins it; then the record
// says joined. The list is made once (Thread::TheList) and never destroyed, so nothing joins at
// exit.
//
// Threading: all members may be called from any thread. Locks: one mutex guards the entries, the
// count of joins in progress and every field of every Record. It is held while Add's create runs
// (the system creates the thread then, so that the thread cannot end before it is listed) and
// released across joins; no other lock is taken while it is held, and the join function is
// called without it. The fork members are for the fork handlers of the system's side.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tarsio {

class ThreadList {
 public:
  /// What the list knows of one thread. All fields but id are guarded by the list's mutex.
  struct Record {
    uint32_t id = 0;
    bool ended = false;         // the thread's last act: nothing of the engine runs on it any more
    bool reaping = false;       // a reaper took it out of the list and joins it
    bool joined = false;        // joined (or, in a forked child, never existed)
    bool handleClosed = false;  // the Thread object is gone
  };
  /// Joins the system's thread of a record whose thread has ended (returns at once).
  using JoinFunction = void (*)(Record& record);

  explicit ThreadList(JoinFunction joinEnded);
  ThreadList(const ThreadList&) = delete;
  ThreadList& operator=(const ThreadList&) = delete;

  /// Lists record's thread, which create() makes (true when it did) with the list locked. The
  /// room for the entry is made first, so running out of memory throws before create runs and
  /// adding never fails once the thread exists. False, nothing listed, when create fails.
  template <class Create>
  bool Add(std::shared_ptr<Record> record, Create&& create) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.reserve(entries_.size() + 1);
    if (!create()) return false;
    entries_.push_back(std::move(record));  // no allocation
    return true;
  }

  /// The thread's last act: marks it ended and wakes the waiters.
  void MarkEnded(Record& record);
  /// Marks the thread's handle closed: ReapFinished waits for it from now on.
  void MarkHandleClosed(Record& record);
  /// Joins every listed thread that has ended.
  void Reap();
  /// Waits up to waitMs until record's thread has ended, then joins it; see Thread::Join. False on
  /// the thread itself.
  bool Join(Record& record, uint32_t waitMs);
  /// See Thread::ReapFinished.
  int ReapFinished(uint32_t waitMs);
  /// See Thread::LiveCount.
  int LiveCount();

  /// Before a fork: holds the mutex across it.
  void LockForFork();
  /// In the parent after a fork: releases the mutex.
  void UnlockAfterFork();
  /// In the child after a fork: the listed threads do not exist there, nor does any reaper or
  /// waiter. Starts the synchronisation afresh and forgets the threads, marked ended and joined;
  /// their records are kept, never joined or destroyed.
  void ForgetAllInChild();

 private:
  // Joins every thread that has ended and that no other reaper took. lk is held on entry and
  // exit and released across the joins.
  void ReapLocked(std::unique_lock<std::mutex>& lk);
  // Closed-handle threads still running, other than the calling thread.
  int OrphansRunningLocked() const;
  bool AnyEndedLocked() const;

  const JoinFunction joinEnded_;
  std::mutex mutex_;
  std::condition_variable changed_;               // a thread ended, or a reaper finished its joins
  std::vector<std::shared_ptr<Record>> entries_;  // guarded by mutex_
  int joining_ = 0;  // threads taken out of entries_ and being joined; by mutex_
};

}  // namespace tarsio
