// Waiting for a descriptor to become readable with a time-out on the engine's clock.
//
// Under the real clock this is one poll with the time-out (restarted after signals). Under
// another clock (a test's fake clock) the deadline is measured on that clock while the descriptor
// is polled every 2 ms of real time, so advancing the fake clock ends the wait.
//
// Threading: stateless; any thread.
#pragma once

#include <cstdint>

#include "platform/NativeHandle.h"

namespace tarsio {

/// 1 when handle (a descriptor, or a Win32 event) is readable or signalled, 0 after ms milliseconds
/// (kInfinite: no limit), -1 on a poll failure or an invalid descriptor.
int PollReadable(NativeHandle handle, uint32_t ms);

}  // namespace tarsio
