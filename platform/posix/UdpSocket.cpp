#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/SocketEvent.h"
#include "platform/TraceSink.h"
#include "platform/WinsockErrors.h"

namespace tarsio {

namespace {

// The error level bit of trace statements (trace::kError).
constexpr uint32_t kSocketTraceLevel = 0x10000;

thread_local int lastWinsockError = 0;
thread_local int lastErrnoValue = 0;

void TraceFailure(const void* self, const char* operation, int err, int winsockError) {
  // Nothing to read is how every drain of a non-blocking socket ends: no failure worth a line.
  if (!TraceSink::Enabled() || err == EAGAIN || err == EWOULDBLOCK) return;
  char name[64];
  std::snprintf(name, sizeof(name), "UdpSocket:%lx", (unsigned long)self);
  char text[160];
  std::snprintf(text, sizeof(text), "%s : e-%s errno=%d (%s), WSAGetLastError=%d\n", operation,
                operation, err, std::strerror(err), winsockError);
  TraceSink::Write(name, kSocketTraceLevel, text);
}

}  // namespace

std::shared_ptr<UdpSocket> UdpSocket::Create() { return Create(NetworkAddress::Family::kIPv4); }

std::shared_ptr<UdpSocket> UdpSocket::Create(NetworkAddress::Family family) {
  const bool v6 = family == NetworkAddress::Family::kIPv6;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int err = errno;
  if (fd >= 0 && v6) {
    // Dual-stack, whatever the system's default (net.ipv6.bindv6only).
    const int off = 0;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
      err = errno;
      ::close(fd);
      SetLastError(WinsockErrorFromErrno(err), err);
      TraceFailure(nullptr, "setsockopt(IPV6_V6ONLY)", err, lastWinsockError);
      return nullptr;
    }
  }
  if (fd < 0) {
    SetLastError(WinsockErrorFromErrno(err), err);
    TraceFailure(nullptr, "socket", err, lastWinsockError);
    return nullptr;
  }
  return std::shared_ptr<UdpSocket>(
      new UdpSocket(fd, v6 ? NetworkAddress::Family::kIPv6 : NetworkAddress::Family::kIPv4));
}

UdpSocket::UdpSocket(NativeHandle fd, NetworkAddress::Family family) : fd_(fd), family_(family) {}

UdpSocket::~UdpSocket() {
  std::unique_lock lock(fdMutex_);
  if (fd_ >= 0) {
    if (event_ != nullptr) event_->Unwatch(fd_);
    ::close(fd_);
    fd_ = -1;
  }
}

int UdpSocket::Fail(const char* operation, int err) {
  SetLastError(WinsockErrorFromErrno(err), err);
  TraceFailure(this, operation, err, lastWinsockError);
  return kSocketError;
}

int UdpSocket::Bind(uint32_t address, uint16_t port) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("bind", EBADF);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    return Fail("bind", errno);
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
  if (fd_ < 0) return Fail("bind", EBADF);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), static_cast<socklen_t>(length)) != 0) {
    return Fail("bind", errno);
  }
  return 0;
}

int UdpSocket::GetLocalPort(uint16_t* port) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("getsockname", EBADF);
  sockaddr_storage sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Fail("getsockname", errno);
  }
  NetworkAddress local;
  if (!NetworkAddress::FromSocketAddress(&sa, len, &local)) return Fail("getsockname", EINVAL);
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
  if (fd_ < 0) return Fail("sendto", EBADF);
  if (length < 0) return Fail("sendto", EINVAL);
  for (;;) {
    const ssize_t n = ::sendto(fd_, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                               static_cast<const sockaddr*>(address), addressLength);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail("sendto", errno);
  }
}

int UdpSocket::RecvFrom(void* buffer, int capacity) { return RecvFrom(buffer, capacity, nullptr); }

int UdpSocket::RecvFrom(void* buffer, int capacity, NetworkAddress* from) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("recvfrom", EBADF);
  if (capacity < 0) return Fail("recvfrom", EINVAL);
  iovec iov{buffer, static_cast<size_t>(capacity)};
  sockaddr_storage source{};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (from != nullptr) {
    msg.msg_name = &source;
    msg.msg_namelen = sizeof source;
  }
  for (;;) {
    const ssize_t n = ::recvmsg(fd_, &msg, 0);
    if (n >= 0) {
      // Windows fails a datagram that does not fit (and drops its tail); do the same rather
      // than hand on a silently cut datagram.
      if ((msg.msg_flags & MSG_TRUNC) != 0) return Fail("recvfrom", EMSGSIZE);
      if (from != nullptr) {
        NetworkAddress address;
        NetworkAddress::FromSocketAddress(&source, msg.msg_namelen, &address);
        *from = address.Unmapped();
      }
      return static_cast<int>(n);
    }
    if (errno != EINTR) return Fail("recvfrom", errno);
  }
}

int UdpSocket::Shutdown(int how) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("shutdown", EBADF);
  const int linuxHow = how == kShutdownReceive ? SHUT_RD
                       : how == kShutdownSend  ? SHUT_WR
                                               : SHUT_RDWR;
  // An unconnected datagram socket reports ENOTCONN although the direction was shut down and
  // its readers woken; WinSock reports success there.
  if (::shutdown(fd_, linuxHow) != 0 && errno != ENOTCONN) return Fail("shutdown", errno);
  return 0;
}

int UdpSocket::SetOption(Option option, const void* value, int length) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("setsockopt", EBADF);
  if (value == nullptr || length <= 0) return Fail("setsockopt", EFAULT);
  int rc = 0;
  switch (option) {
    case Option::kTypeOfService:
      // Linux takes the TOS byte either alone or as an int, as WinSock does. An IPv6 socket
      // marks its IPv6 traffic by the traffic class (an int) and its IPv4 traffic by the TOS.
      if (family_ == NetworkAddress::Family::kIPv6) {
        int tclass = 0;
        if (length == 1) {
          tclass = *static_cast<const uint8_t*>(value);
        } else if (length >= static_cast<int>(sizeof(int))) {
          std::memcpy(&tclass, value, sizeof tclass);
        }
        rc = ::setsockopt(fd_, IPPROTO_IPV6, IPV6_TCLASS, &tclass, sizeof tclass);
        if (rc == 0) ::setsockopt(fd_, IPPROTO_IP, IP_TOS, value, static_cast<socklen_t>(length));
      } else {
        rc = ::setsockopt(fd_, IPPROTO_IP, IP_TOS, value, static_cast<socklen_t>(length));
      }
      break;
    case Option::kDontRoute:
      rc = ::setsockopt(fd_, SOL_SOCKET, SO_DONTROUTE, value, static_cast<socklen_t>(length));
      break;
  }
  if (rc != 0) return Fail("setsockopt", errno);
  return 0;
}

int UdpSocket::EventSelect(SocketEvent* event) {
  std::unique_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("WSAEventSelect", EBADF);
  if (event_ != nullptr && event_ != event) event_->Unwatch(fd_);
  event_ = event;
  if (event == nullptr) return 0;
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    event_ = nullptr;
    return Fail("WSAEventSelect", errno);
  }
  if (!event->Watch(fd_)) {
    event_ = nullptr;
    return Fail("WSAEventSelect", errno != 0 ? errno : EINVAL);
  }
  return 0;
}

void UdpSocket::ForgetEvent(SocketEvent* event) {
  std::unique_lock lock(fdMutex_);
  if (event == nullptr || event_ != event) return;
  if (fd_ >= 0) event->Unwatch(fd_);
  event_ = nullptr;
}

int UdpSocket::Close() {
  {
    // Wake a reader blocked in recvmsg so that the exclusive lock below can be had.
    std::shared_lock lock(fdMutex_);
    if (fd_ < 0) return Fail("closesocket", EBADF);
    ::shutdown(fd_, SHUT_RDWR);
  }
  std::unique_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("closesocket", EBADF);
  if (event_ != nullptr) {
    event_->Unwatch(fd_);
    event_ = nullptr;
  }
  const int rc = ::close(fd_);
  const int err = errno;
  fd_ = -1;
  if (rc != 0 && err != EINTR) return Fail("closesocket", err);
  return 0;
}

bool UdpSocket::IsOpen() const {
  std::shared_lock lock(fdMutex_);
  return fd_ >= 0;
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
}

}  // namespace tarsio
