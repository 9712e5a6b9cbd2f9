// A Windows-style critical section: a mutex that the owning thread may enter again.
//
// A recursive pthread mutex, created and destroyed explicitly: std::recursive_mutex never
// destroys its pthread object, so ThreadSanitizer would take a new lock at a reused address for
// the old one and report lock orders between objects that never lived at the same time.
// Enter/Leave must pair up on the same thread. Satisfies BasicLockable (lock/unlock), so
// std::lock_guard and std::unique_lock work with it; CriticalSectionLock is the scoped form used
// throughout the engine.
#pragma once

#include <pthread.h>

namespace tarsio {

class CriticalSection {
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

  void Enter() { pthread_mutex_lock(&mutex_); }
  void Leave() { pthread_mutex_unlock(&mutex_); }
  bool TryEnter() { return pthread_mutex_trylock(&mutex_) == 0; }

  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  pthread_mutex_t mutex_;
};

/// Holds a critical section for the life of the object.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

}  // namespace tarsio
