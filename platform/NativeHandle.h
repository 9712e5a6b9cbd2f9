// The operating system's handle of a waitable object, kept opaque above the platform layer.
//
// On Linux it holds a file descriptor (an eventfd, an epoll set, a socket); on Windows a HANDLE
// (an event) or a SOCKET. Both fit an intptr_t, so the headers of the platform layer can name
// them without including a system header. Only platform/posix and platform/win32 look inside.
#pragma once

#include <cstdint>

namespace tarsio {

using NativeHandle = intptr_t;

/// No handle: a closed descriptor on Linux (-1), INVALID_HANDLE_VALUE / INVALID_SOCKET on Windows.
inline constexpr NativeHandle kNoNativeHandle = -1;

}  // namespace tarsio
