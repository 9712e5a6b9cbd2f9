// UdpSocket over WinSock 2.
//
// WinSock already behaves as the header describes (a datagram longer than the buffer fails with
// WSAEMSGSIZE and is consumed, shutdown of an unconnected datagram socket succeeds), so most calls
// are the plain WinSock ones. Failures are recorded with the number WSAGetLastError gives, as it
// is; LastErrno gets the <cerrno> value that the Linux version would have recorded for the same
// failure (the inverse of WinsockErrorFromErrno), so that traces read the same on both systems.
// The socket's own checks (a closed socket, a negative length) fail with errno values exactly as
// on Linux, through WinsockErrorFromErrno.
//
// Refused datagrams: after a send to a port nobody listens on, Windows by default fails a later
// recvfrom on the sending socket with WSAECONNRESET (the ICMP "port unreachable" of that send).
// Linux reports no such error on an unconnected UDP socket (only with IP_RECVERR, which the Linux
// version does not set), so its receivers never see one: the report is turned off here with
// SIO_UDP_CONNRESET, keeping what a receiver sees the same. Where a recvfrom still fails with
// WSAECONNRESET (a system without that control), the failure is reported as the Linux version
// reports a refused datagram: WSAECONNRESET with errno ECONNREFUSED.
//
// Close: a reader blocked in recvfrom holds the shared lock, and shutdown does not always wake it
// on WinSock; Close cancels the reader's pending receive (CancelIoEx) until it can take the lock
// exclusively.
//
// Link with ws2_32.
#include "platform/UdpSocket.h"

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
#include <mswsock.h>
#include <windows.h>
// clang-format on

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/SocketEvent.h"
#include "platform/TraceSink.h"
#include "platform/WinsockErrors.h"
#include "platform/win32/WinsockStartup.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace tarsio {

namespace {

// The error level bit of trace statements (trace::kError).
constexpr uint32_t kSocketTraceLevel = 0x10000;

thread_local int lastWinsockError = 0;
thread_local int lastErrnoValue = 0;

SOCKET AsSocket(NativeHandle h) { return static_cast<SOCKET>(h); }

// The errno the Linux version records for a failure WinSock reports as winsockError.
int ErrnoFromWinsockError(int winsockError) {
  switch (winsockError) {
    case WSAEWOULDBLOCK:
      return EWOULDBLOCK;
    case WSAEMSGSIZE:
      return EMSGSIZE;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAENOTSOCK:
      return ENOTSOCK;
    case WSAEINTR:
      return EINTR;
    case WSAEACCES:
      return EACCES;
    case WSAEFAULT:
      return EFAULT;
    case WSAEMFILE:
      return EMFILE;
    case WSAEINPROGRESS:
      return EINPROGRESS;
    case WSAEALREADY:
      return EALREADY;
    case WSAEDESTADDRREQ:
      return EDESTADDRREQ;
    case WSAEPROTOTYPE:
      return EPROTOTYPE;
    case WSAENOPROTOOPT:
      return ENOPROTOOPT;
    case WSAEPROTONOSUPPORT:
      return EPROTONOSUPPORT;
    case WSAEOPNOTSUPP:
      return EOPNOTSUPP;
    case WSAEAFNOSUPPORT:
      return EAFNOSUPPORT;
    case WSAEADDRINUSE:
      return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAENETDOWN:
      return ENETDOWN;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAENETRESET:
      return ENETRESET;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAEISCONN:
      return EISCONN;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAESHUTDOWN:
      return EPIPE;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    default:
      // No counterpart (WSAESOCKTNOSUPPORT, WSANOTINITIALISED, ...): the trace still names the
      // WinSock number.
      return EINVAL;
  }
}

// The system's text for a WinSock error, without the line break of the message table.
void WinsockErrorText(int winsockError, int err, char* text, size_t size) {
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(winsockError), 0, text,
                                   static_cast<DWORD>(size), nullptr);
  if (n == 0) {
    std::snprintf(text, size, "%s", std::strerror(err));
    return;
  }
  size_t length = n < size ? n : size - 1;
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    --length;
  }
  text[length] = '\0';
}

void TraceFailure(const void* self, const char* operation, int err, int winsockError) {
  // Nothing to read is how every drain of a non-blocking socket ends: no failure worth a line.
  if (!TraceSink::Enabled() || winsockError == WSAEWOULDBLOCK) return;
  char name[64];
  std::snprintf(name, sizeof(name), "UdpSocket:%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(self)));
  char description[96];
  WinsockErrorText(winsockError, err, description, sizeof description);
  char text[224];
  std::snprintf(text, sizeof(text), "%s : e-%s errno=%d (%s), WSAGetLastError=%d\n", operation,
                operation, err, description, winsockError);
  TraceSink::Write(name, kSocketTraceLevel, text);
}

// Records a failure WinSock reported, traces it and returns kSocketError.
int FailWinsock(const void* self, const char* operation, int winsockError, int err) {
  // The trace first: its system calls may change the thread's WSAGetLastError, which
  // SetLastError sets as well.
  TraceFailure(self, operation, err, winsockError);
  UdpSocket::SetLastError(winsockError, err);
  return UdpSocket::kSocketError;
}

int FailWinsock(const void* self, const char* operation, int winsockError) {
  return FailWinsock(self, operation, winsockError, ErrnoFromWinsockError(winsockError));
}

}  // namespace

std::shared_ptr<UdpSocket> UdpSocket::Create() { return Create(NetworkAddress::Family::kIPv4); }

std::shared_ptr<UdpSocket> UdpSocket::Create(NetworkAddress::Family family) {
  if (const int started = win32::StartWinsock(); started != 0) {
    FailWinsock(nullptr, "WSAStartup", started);
    return nullptr;
  }
  const bool v6 = family == NetworkAddress::Family::kIPv6;
  const SOCKET s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) {
    FailWinsock(nullptr, "socket", ::WSAGetLastError());
    return nullptr;
  }
  // Not inherited by child processes (SOCK_CLOEXEC on Linux); best effort.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (v6) {
    // Dual-stack: WinSock's default is IPv6 only.
    const DWORD off = 0;
    if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                     sizeof off) != 0) {
      const int error = ::WSAGetLastError();
      ::closesocket(s);
      FailWinsock(nullptr, "setsockopt(IPV6_V6ONLY)", error);
      return nullptr;
    }
  }
  // No WSAECONNRESET for the ICMP answer to an earlier send (see the top of the file). Best
  // effort: RecvFrom reports the error as Linux would if it still comes.
  BOOL reportReset = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &returned, nullptr,
             nullptr);
  return std::shared_ptr<UdpSocket>(
      new UdpSocket(static_cast<NativeHandle>(s),
                    v6 ? NetworkAddress::Family::kIPv6 : NetworkAddress::Family::kIPv4));
}

UdpSocket::UdpSocket(NativeHandle fd, NetworkAddress::Family family) : fd_(fd), family_(family) {}

UdpSocket::~UdpSocket() {
  std::unique_lock lock(fdMutex_);
  if (fd_ != kNoNativeHandle) {
    if (event_ != nullptr) event_->Unwatch(fd_);
    ::closesocket(AsSocket(fd_));
    fd_ = kNoNativeHandle;
  }
}

int UdpSocket::Fail(const char* operation, int err) {
  return FailWinsock(this, operation, WinsockErrorFromErrno(err), err);
}

int UdpSocket::Bind(uint32_t address, uint16_t port) {
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("bind", EBADF);
  // Linux refuses an IPv4 address on an IPv6 socket with EINVAL (the address is too short for
  // the family); WinSock would say WSAEFAULT. Keep the Linux answer.
  if (family_ == NetworkAddress::Family::kIPv6) return Fail("bind", EINVAL);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  if (::bind(AsSocket(fd_), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    return FailWinsock(this, "bind", ::WSAGetLastError());
  }
  return 0;
}

int UdpSocket::Bind(const NetworkAddress& local) {
  const NetworkAddress address =
      family_ == NetworkAddress::Family::kIPv6 ? local.Mapped() : local.Unmapped();
  if (address.GetFamily() != family_) return Fail("bind", EAFNOSUPPORT);
  sockaddr_storage sa{};
  const size_t length = address.ToSocketAddress(&sa, sizeof sa);
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("bind", EBADF);
  if (::bind(AsSocket(fd_), reinterpret_cast<const sockaddr*>(&sa), static_cast<int>(length)) !=
      0) {
    return FailWinsock(this, "bind", ::WSAGetLastError());
  }
  return 0;
}

int UdpSocket::GetLocalPort(uint16_t* port) {
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("getsockname", EBADF);
  sockaddr_storage sa{};
  int len = sizeof(sa);
  if (::getsockname(AsSocket(fd_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return FailWinsock(this, "getsockname", ::WSAGetLastError());
  }
  NetworkAddress local;
  if (!NetworkAddress::FromSocketAddress(&sa, static_cast<size_t>(len), &local)) {
    return Fail("getsockname", EINVAL);
  }
  *port = local.Port();
  return 0;
}

int UdpSocket::SendTo(const void* data, int length, uint32_t addressNet, uint16_t portNet) {
  const NetworkAddress to = NetworkAddress::IPv4(ntohl(addressNet), ntohs(portNet));
  return SendTo(data, length, to);
}

int UdpSocket::SendTo(const void* data, int length, const NetworkAddress& to) {
  const NetworkAddress address =
      family_ == NetworkAddress::Family::kIPv6 ? to.Mapped() : to.Unmapped();
  if (address.GetFamily() != family_) return Fail("sendto", EAFNOSUPPORT);
  sockaddr_storage sa{};
  const size_t saLength = address.ToSocketAddress(&sa, sizeof sa);
  return SendToAddress(data, length, &sa, static_cast<uint32_t>(saLength));
}

int UdpSocket::SendToAddress(const void* data, int length, const void* address,
                             uint32_t addressLength) {
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("sendto", EBADF);
  if (length < 0) return Fail("sendto", EINVAL);
  const int n = ::sendto(AsSocket(fd_), static_cast<const char*>(data), length, 0,
                         static_cast<const sockaddr*>(address), static_cast<int>(addressLength));
  if (n == SOCKET_ERROR) return FailWinsock(this, "sendto", ::WSAGetLastError());
  return n;
}

int UdpSocket::RecvFrom(void* buffer, int capacity) { return RecvFrom(buffer, capacity, nullptr); }

int UdpSocket::RecvFrom(void* buffer, int capacity, NetworkAddress* from) {
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("recvfrom", EBADF);
  if (capacity < 0) return Fail("recvfrom", EINVAL);
  sockaddr_storage source{};
  int sourceLength = sizeof source;
  // WinSock fails a datagram that does not fit with WSAEMSGSIZE and drops its tail, as the header
  // asks.
  const int n = ::recvfrom(AsSocket(fd_), static_cast<char*>(buffer), capacity, 0,
                           from != nullptr ? reinterpret_cast<sockaddr*>(&source) : nullptr,
                           from != nullptr ? &sourceLength : nullptr);
  if (n == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    // A refused earlier datagram: reported as the Linux version reports ECONNREFUSED.
    if (error == WSAECONNRESET) return FailWinsock(this, "recvfrom", error, ECONNREFUSED);
    return FailWinsock(this, "recvfrom", error);
  }
  if (from != nullptr) {
    NetworkAddress address;
    NetworkAddress::FromSocketAddress(&source, static_cast<size_t>(sourceLength), &address);
    *from = address.Unmapped();
  }
  return n;
}

int UdpSocket::Shutdown(int how) {
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("shutdown", EBADF);
  const int winHow = how == kShutdownReceive ? SD_RECEIVE
                     : how == kShutdownSend  ? SD_SEND
                                             : SD_BOTH;
  // WinSock shuts an unconnected datagram socket down without complaint; should a provider say
  // WSAENOTCONN, the direction is still shut down, as on Linux.
  if (::shutdown(AsSocket(fd_), winHow) != 0) {
    const int error = ::WSAGetLastError();
    if (error != WSAENOTCONN) return FailWinsock(this, "shutdown", error);
  }
  return 0;
}

int UdpSocket::SetOption(Option option, const void* value, int length) {
  std::shared_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("setsockopt", EBADF);
  if (value == nullptr || length <= 0) return Fail("setsockopt", EFAULT);
  const SOCKET s = AsSocket(fd_);
  int rc = 0;
  switch (option) {
    case Option::kTypeOfService: {
      // IP_TOS is WinSock 2's (3, from ws2ipdef.h), not WinSock 1.1's winsock.h value (8), which
      // WinSock 2 sockets read as a different option. WinSock wants a DWORD: the byte given alone
      // (or in the first bytes of a short value) is widened, as Linux does with a short value.
      // Windows may accept the value and still leave the packets unmarked (the system's
      // DisableUserTOSSetting policy); the call's result is what is reported.
      DWORD tos = 0;
      if (length >= static_cast<int>(sizeof(int))) {
        int given = 0;
        std::memcpy(&given, value, sizeof given);
        tos = static_cast<DWORD>(given);
      } else {
        tos = *static_cast<const uint8_t*>(value);
      }
      if (family_ == NetworkAddress::Family::kIPv6) {
        // An IPv6 socket marks its IPv6 traffic by the traffic class and its IPv4 traffic (to
        // mapped peers) by the TOS. The traffic class is taken the way the Linux version takes
        // it: a byte alone or an int.
        DWORD tclass = 0;
        if (length == 1) {
          tclass = *static_cast<const uint8_t*>(value);
        } else if (length >= static_cast<int>(sizeof(int))) {
          tclass = tos;
        }
        rc = ::setsockopt(s, IPPROTO_IPV6, IPV6_TCLASS, reinterpret_cast<const char*>(&tclass),
                          sizeof tclass);
        const bool noTrafficClass =
            rc != 0 && (::WSAGetLastError() == WSAENOPROTOOPT || ::WSAGetLastError() == WSAEINVAL);
        if (rc == 0 || noTrafficClass) {
          const int tosRc =
              ::setsockopt(s, IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&tos), sizeof tos);
          // Many WinSock versions have no traffic-class option (packet marking goes through the
          // QoS API there): the TOS of the IPv4 traffic is then all a socket option can set, and
          // its result is the call's, so that a TOS setting works on both families as on Linux.
          if (noTrafficClass) rc = tosRc;
        }
      } else {
        rc = ::setsockopt(s, IPPROTO_IP, IP_TOS, reinterpret_cast<const char*>(&tos), sizeof tos);
      }
      break;
    }
    case Option::kDontRoute:
      rc = ::setsockopt(s, SOL_SOCKET, SO_DONTROUTE, static_cast<const char*>(value), length);
      break;
  }
  if (rc != 0) return FailWinsock(this, "setsockopt", ::WSAGetLastError());
  return 0;
}

int UdpSocket::EventSelect(SocketEvent* event) {
  std::unique_lock lock(fdMutex_);
  if (fd_ == kNoNativeHandle) return Fail("WSAEventSelect", EBADF);
  if (event_ != nullptr && event_ != event) event_->Unwatch(fd_);
  event_ = event;
  if (event == nullptr) return 0;
  // Watch is WSAEventSelect(FD_READ): it also makes the socket non-blocking.
  ::WSASetLastError(0);
  if (!event->Watch(fd_)) {
    event_ = nullptr;
    const int error = ::WSAGetLastError();
    return error != 0 ? FailWinsock(this, "WSAEventSelect", error) : Fail("WSAEventSelect", EINVAL);
  }
  return 0;
}

void UdpSocket::ForgetEvent(SocketEvent* event) {
  std::unique_lock lock(fdMutex_);
  if (event == nullptr || event_ != event) return;
  if (fd_ != kNoNativeHandle) event->Unwatch(fd_);
  event_ = nullptr;
}

int UdpSocket::Close() {
  SOCKET s = INVALID_SOCKET;
  {
    std::shared_lock lock(fdMutex_);
    if (fd_ == kNoNativeHandle) return Fail("closesocket", EBADF);
    s = AsSocket(fd_);
    // Later receives fail at once instead of blocking.
    ::shutdown(s, SD_BOTH);
  }
  // A reader already blocked in recvfrom (or entering it just now) holds the shared lock: cancel
  // its receive until the lock can be had.
  std::unique_lock lock(fdMutex_, std::defer_lock);
  while (!lock.try_lock()) {
    ::CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
    ::Sleep(1);
  }
  if (fd_ == kNoNativeHandle) return Fail("closesocket", EBADF);
  if (event_ != nullptr) {
    event_->Unwatch(fd_);
    event_ = nullptr;
  }
  const int rc = ::closesocket(AsSocket(fd_));
  const int error = rc != 0 ? ::WSAGetLastError() : 0;
  fd_ = kNoNativeHandle;
  if (rc != 0) return FailWinsock(this, "closesocket", error);
  return 0;
}

bool UdpSocket::IsOpen() const {
  std::shared_lock lock(fdMutex_);
  return fd_ != kNoNativeHandle;
}

NativeHandle UdpSocket::Handle() const {
  std::shared_lock lock(fdMutex_);
  return fd_;
}

int UdpSocket::LastError() { return lastWinsockError; }
int UdpSocket::LastErrno() { return lastErrnoValue; }

void UdpSocket::SetLastError(int winsockError, int err) {
  lastWinsockError = winsockError;
  lastErrnoValue = err;
  // WSAGetLastError tells the same as LastError to code that asks WinSock.
  ::WSASetLastError(winsockError);
}

}  // namespace tarsio
