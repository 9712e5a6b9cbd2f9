#include "platform/PollWait.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>

#include "platform/Clock.h"
#include "platform/RealClock.h"

namespace tarsio {

namespace {
constexpr uint64_t kFakeClockSliceMs = 2;
}  // namespace

// On Windows the handle is a waitable object (an event HANDLE): "readable" means signalled, and
// a successful wait has the object's own effect (an auto-reset event is consumed by it).
int PollReadable(NativeHandle handle, uint32_t ms) {
  // Null is CreateEvent's failure, and negative values are kNoNativeHandle or pseudo-handles
  // (-1 is also the current process), none of them an event.
  if (handle <= 0) return -1;
  const HANDLE object = reinterpret_cast<HANDLE>(handle);
  Clock& clock = Clock::Current();
  const bool real = &clock == &RealClock::Instance();
  const uint64_t start = clock.NowMs();
  for (;;) {
    DWORD timeout = INFINITE;
    if (ms == kInfinite) {
      timeout = real ? INFINITE : static_cast<DWORD>(kFakeClockSliceMs);
    } else {
      const uint64_t elapsed = clock.NowMs() - start;
      const uint64_t remaining = elapsed >= ms ? 0 : ms - elapsed;
      timeout = static_cast<DWORD>(real ? remaining : std::min(remaining, kFakeClockSliceMs));
    }
    const DWORD r = ::WaitForSingleObject(object, timeout);
    if (r == WAIT_OBJECT_0) return 1;
    if (r != WAIT_TIMEOUT) return -1;
    // A real-clock wait may end a little before the clock says the time is up: wait the rest.
    if (ms != kInfinite && clock.NowMs() - start >= ms) return 0;
  }
}

}  // namespace tarsio
