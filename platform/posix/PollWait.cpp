#include "platform/PollWait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/Clock.h"
#include "platform/RealClock.h"

namespace tarsio {

namespace {
constexpr uint64_t kFakeClockSliceMs = 2;
}  // namespace

int PollReadable(NativeHandle handle, uint32_t ms) {
  const int fd = static_cast<int>(handle);
  if (handle < 0) return -1;
  Clock& clock = Clock::Current();
  const bool real = &clock == &RealClock::Instance();
  const uint64_t start = clock.NowMs();
  for (;;) {
    int timeout = -1;
    if (ms == kInfinite) {
      timeout = real ? -1 : static_cast<int>(kFakeClockSliceMs);
    } else {
      const uint64_t elapsed = clock.NowMs() - start;
      const uint64_t remaining = elapsed >= ms ? 0 : ms - elapsed;
      timeout = static_cast<int>(real ? remaining : std::min(remaining, kFakeClockSliceMs));
    }
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout);
    if (r > 0) return (p.revents & POLLIN) != 0 ? 1 : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (ms != kInfinite && clock.NowMs() - start >= ms) return 0;
  }
}

}  // namespace tarsio
