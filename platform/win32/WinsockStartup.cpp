#include "platform/win32/WinsockStartup.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1  // the C++ library may have defined it already
#endif
// The Windows headers depend on their order.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

namespace tarsio::win32 {

int StartWinsock() {
  // A function-local static: initialised once, with concurrent callers waiting for it.
  static const int result = [] {
    WSADATA data{};
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) return rc;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
      ::WSACleanup();
      return static_cast<int>(WSAVERNOTSUPPORTED);
    }
    return 0;
  }();
  return result;
}

}  // namespace tarsio::win32
