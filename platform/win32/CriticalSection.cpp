#include "platform/CriticalSection.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>

#include <new>

namespace tarsio {
namespace {

static_assert(sizeof(CRITICAL_SECTION) <= CriticalSection::kStorageSize);
static_assert(alignof(CRITICAL_SECTION) <= 16);

CRITICAL_SECTION* Section(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

// A CRITICAL_SECTION is recursive for its owner by itself, which is what the header promises.
CriticalSection::CriticalSection() { ::InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }

CriticalSection::~CriticalSection() { ::DeleteCriticalSection(Section(storage_)); }

// The thread-safety analysis cannot see through the opaque storage; the annotations on the
// declarations are the contract these three keep.
void CriticalSection::Enter() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  ::EnterCriticalSection(Section(storage_));
}

void CriticalSection::Leave() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  ::LeaveCriticalSection(Section(storage_));
}

bool CriticalSection::TryEnter() TARSIO_NO_THREAD_SAFETY_ANALYSIS {
  return ::TryEnterCriticalSection(Section(storage_)) != FALSE;
}

}  // namespace tarsio
