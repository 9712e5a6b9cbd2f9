// A Windows-style critical section: a mutex that the owning thread may enter again.
//
// A recursive pthread mutex, created and destroyed explicitly: std::recursive_mutex never
// destroys its pthread object, so ThreadSanitizer would take a new lock at a reused address for
// the old one and report lock orders between objects that never lived at the same time.
// Enter/Leave must pair up on the same thread. Satisfies BasicLockable (lock/unlock), so
// std::lock_guard and std::unique_lock work with it; CriticalSectionLock is the scoped form used
// throughout the engine. Both carry clang's thread-safety annotations, so members marked
// TARSIO_GUARDED_BY(someSection) are checked in the clang build.
#pragma once

#include <pthread.h>

#include "platform/ThreadAnnotations.h"

namespace tarsio {

class TARSIO_CAPABILITY("mutex") CriticalSection {
 public:
  CriticalSection() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~CriticalSection() { pthread_mutex_destroy(&mutex_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() TARSIO_ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void Leave() TARSIO_RELEASE() { pthread_mutex_unlock(&mutex_); }
  bool TryEnter() TARSIO_TRY_ACQUIRE(true) { return pthread_mutex_trylock(&mutex_) == 0; }

  void lock() TARSIO_ACQUIRE() { Enter(); }
  void unlock() TARSIO_RELEASE() { Leave(); }
  bool try_lock() TARSIO_TRY_ACQUIRE(true) { return TryEnter(); }

 private:
  pthread_mutex_t mutex_;
};

/// Holds a critical section for the life of the object.
class TARSIO_SCOPED_CAPABILITY CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) TARSIO_ACQUIRE(cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() TARSIO_RELEASE() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

/// Holds a critical section from construction, may leave and re-enter it (around a wait), and
/// leaves it at the end if it is held then: std::unique_lock's use, with the lock annotations.
class TARSIO_SCOPED_CAPABILITY CriticalSectionUniqueLock {
 public:
  explicit CriticalSectionUniqueLock(CriticalSection& cs) TARSIO_ACQUIRE(cs) : cs_(cs) {
    cs_.Enter();
  }
  ~CriticalSectionUniqueLock() TARSIO_RELEASE() {
    if (owns_) cs_.Leave();
  }
  CriticalSectionUniqueLock(const CriticalSectionUniqueLock&) = delete;
  CriticalSectionUniqueLock& operator=(const CriticalSectionUniqueLock&) = delete;

  void lock() TARSIO_ACQUIRE() {
    cs_.Enter();
    owns_ = true;
  }
  void unlock() TARSIO_RELEASE() {
    owns_ = false;
    cs_.Leave();
  }

 private:
  CriticalSection& cs_;
  bool owns_ = true;
};

}  // namespace tarsio
