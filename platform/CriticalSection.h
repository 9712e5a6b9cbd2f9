// A Windows-style critical section: a mutex that the owning thread may enter again.
//
// The operating system's lock lives in opaque storage inside the object and is created and
// destroyed explicitly by the system's implementation (platform/posix: a recursive pthread mutex;
// platform/win32: a CRITICAL_SECTION), so no system type reaches the code that includes this
// header. The pthread mutex is used rather than std::recursive_mutex because the latter never
// destroys its pthread object, and ThreadSanitizer would then take a new lock at a reused address
// for the old one and report lock orders between objects that never lived at the same time.
// Enter/Leave must pair up on the same thread. Satisfies BasicLockable (lock/unlock), so
// std::lock_guard and std::unique_lock work with it; CriticalSectionLock is the scoped form used
// throughout the engine. Both carry clang's thread-safety annotations, so members marked
// TARSIO_GUARDED_BY(someSection) are checked in the clang build.
#pragma once

#include <cstddef>

#include "platform/ThreadAnnotations.h"

namespace tarsio {

class TARSIO_CAPABILITY("mutex") CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() TARSIO_ACQUIRE();
  void Leave() TARSIO_RELEASE();
  bool TryEnter() TARSIO_TRY_ACQUIRE(true);

  void lock() TARSIO_ACQUIRE() { Enter(); }
  void unlock() TARSIO_RELEASE() { Leave(); }
  bool try_lock() TARSIO_TRY_ACQUIRE(true) { return TryEnter(); }

  /// Room for the system's lock object (a pthread mutex is 40 bytes on 64-bit Linux, a
  /// CRITICAL_SECTION 24 bytes on 32-bit and 40 on 64-bit Windows); each implementation checks
  /// at compile time that its object fits.
  static constexpr size_t kStorageSize = 64;

 private:
  alignas(16) unsigned char storage_[kStorageSize];
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
