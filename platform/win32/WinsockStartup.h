// WinSock's process-wide start for the Windows side of the platform layer.
//
// Every WinSock call (getaddrinfo, socket, inet_pton, ...) needs WSAStartup to have run in the
// process. StartWinsock runs WSAStartup(2.2) the first time it is called and hands every later
// caller the same result; it is never undone (WSACleanup at exit could pull sockets from under
// threads still running then), so the count WinSock keeps stays at one for the process's life.
//
// Threading: any thread; concurrent first callers wait for one start.
#pragma once

namespace tarsio::win32 {

/// 0 when WinSock 2.2 is ready, else the WinSock error number of the failed start.
int StartWinsock();

}  // namespace tarsio::win32
