// The debugger output channel (OutputDebugStringA): fixed announcement lines such as
// "abierta primera refencia al socket\r\n" go to the trace sink under the instance name
// "OutputDebugString" at the detail level bit.
//
// Threading: any thread.
#pragma once

#include <cstdint>

namespace tarsio {

/// The level bit the debugger lines carry (the same bit as trace::kDetail).
inline constexpr uint32_t kDebugOutputLevel = 0x400000;

/// Writes text to the debugger output channel when the trace sink is on.
void OutputDebugString(const char* text);

}  // namespace tarsio
