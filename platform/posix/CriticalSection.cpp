#include "platform/CriticalSection.h"

#include <pthread.h>

#include <new>

namespace tarsio {
namespace {

static_assert(sizeof(pthread_mutex_t) <= CriticalSection::kStorageSize);
static_assert(alignof(pthread_mutex_t) <= 16);

pthread_mutex_t* Mutex(unsigned char* storage) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

CriticalSection::CriticalSection() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}

CriticalSection::~CriticalSection() { pthread_mutex_destroy(Mutex(storage_)); }

// The thread-safety analysis cannot see through the opaque storage; the annotations on the
// declarations are the contract these three keep.
void CriticalSection::Enter() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  pthread_mutex_lock(Mutex(storage_));
}

void CriticalSection::Leave() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  pthread_mutex_unlock(Mutex(storage_));
}

bool CriticalSection::TryEnter() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  return pthread_mutex_trylock(Mutex(storage_)) == 0;
}

}  // namespace tarsio
