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
  if (!TraceSink::Enabled()) return;
  char name[64];
  std::snprintf(name, sizeof(name), "UdpSocket:%lx", (unsigned long)self);
  char text[160];
  std::snprintf(text, sizeof(text), "%s : e-%s errno=%d (%s), WSAGetLastError=%d\n", operation,
                operation, err, std::strerror(err), winsockError);
  TraceSink::Write(name, kSocketTraceLevel, text);
}

}  // namespace

std::shared_ptr<UdpSocket> UdpSocket::Create() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int err = errno;
    SetLastError(WinsockErrorFromErrno(err), err);
    TraceFailure(nullptr, "socket", err, lastWinsockError);
    return nullptr;
  }
  return std::shared_ptr<UdpSocket>(new UdpSocket(fd));
}

UdpSocket::UdpSocket(int fd) : fd_(fd) {}

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

int UdpSocket::GetLocalPort(uint16_t* port) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("getsockname", EBADF);
  sockaddr_in sa{};
  socklen_t len = sizeof(sa);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Fail("getsockname", errno);
  }
  *port = ntohs(sa.sin_port);
  return 0;
}

int UdpSocket::SendTo(const void* data, int length, uint32_t addressNet, uint16_t portNet) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("sendto", EBADF);
  if (length < 0) return Fail("sendto", EINVAL);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addressNet;
  sa.sin_port = portNet;
  for (;;) {
    const ssize_t n = ::sendto(fd_, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return Fail("sendto", errno);
  }
}

int UdpSocket::RecvFrom(void* buffer, int capacity) {
  std::shared_lock lock(fdMutex_);
  if (fd_ < 0) return Fail("recvfrom", EBADF);
  if (capacity < 0) return Fail("recvfrom", EINVAL);
  iovec iov{buffer, static_cast<size_t>(capacity)};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  for (;;) {
    const ssize_t n = ::recvmsg(fd_, &msg, 0);
    if (n >= 0) {
      // Windows fails a datagram that does not fit (and drops its tail); do the same rather
      // than hand on a silently cut datagram.
      if ((msg.msg_flags & MSG_TRUNC) != 0) return Fail("recvfrom", EMSGSIZE);
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
      // Linux takes the TOS byte either alone or as an int, as WinSock does.
      rc = ::setsockopt(fd_, IPPROTO_IP, IP_TOS, value, static_cast<socklen_t>(length));
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

int UdpSocket::Fd() const {
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
