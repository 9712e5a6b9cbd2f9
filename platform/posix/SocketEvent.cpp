#include "platform/SocketEvent.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/PollWait.h"

namespace tarsio {

SocketEvent::SocketEvent() {
  waitHandle_ = ::epoll_create1(EPOLL_CLOEXEC);
  signalHandle_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Valid()) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = static_cast<int>(signalHandle_);
    if (::epoll_ctl(waitHandle_, EPOLL_CTL_ADD, signalHandle_, &ev) != 0) {
      ::close(signalHandle_);
      signalHandle_ = -1;
    }
  }
}

SocketEvent::~SocketEvent() {
  if (signalHandle_ >= 0) ::close(signalHandle_);
  if (waitHandle_ >= 0) ::close(waitHandle_);
}

bool SocketEvent::Set() {
  if (!Valid()) return false;
  const uint64_t one = 1;
  // A full counter (2^64 - 2 pending signals) still means "signalled": EAGAIN is success.
  return ::write(signalHandle_, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
}

bool SocketEvent::ResetEvent() {
  if (!Valid()) return false;
  DrainHandSignal();
  return true;
}

void SocketEvent::DrainHandSignal() {
  uint64_t count = 0;
  while (::read(signalHandle_, &count, sizeof(count)) == sizeof(count)) {
  }
}

WaitResult SocketEvent::Wait(uint32_t ms) {
  if (!Valid()) return WaitResult::kFailed;
  const int r = PollReadable(waitHandle_, ms);
  if (r < 0) return WaitResult::kFailed;
  if (r == 0) return WaitResult::kTimeout;
  // Auto-reset: the wait that saw the event consumes the hand signal. A datagram still waiting
  // keeps the epoll set readable, so the next wait returns at once.
  DrainHandSignal();
  return WaitResult::kSignaled;
}

bool SocketEvent::Watch(NativeHandle socketFd) {
  if (!Valid() || socketFd < 0) return false;
  const NativeHandle previous = watched_.exchange(socketFd);
  if (previous >= 0 && previous != socketFd) {
    // The previous socket may already be closed (then it left the set by itself).
    ::epoll_ctl(waitHandle_, EPOLL_CTL_DEL, previous, nullptr);
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = static_cast<int>(socketFd);
  if (::epoll_ctl(waitHandle_, EPOLL_CTL_ADD, socketFd, &ev) == 0) return true;
  if (errno == EEXIST) return ::epoll_ctl(waitHandle_, EPOLL_CTL_MOD, socketFd, &ev) == 0;
  watched_.store(-1);
  return false;
}

void SocketEvent::Unwatch(NativeHandle socketFd) {
  if (!Valid() || socketFd < 0) return;
  NativeHandle expected = socketFd;
  if (watched_.compare_exchange_strong(expected, -1)) {
    ::epoll_ctl(waitHandle_, EPOLL_CTL_DEL, socketFd, nullptr);
  }
}

}  // namespace tarsio
