#include "platform/HostEvent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/PollWait.h"

namespace tarsio {

HostEvent::HostEvent(Event::Reset mode)
    : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_(mode == Event::Reset::kManual) {}

std::unique_ptr<HostEvent> HostEvent::FromHostFd(int fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  return std::unique_ptr<HostEvent>(new HostEvent(copy, true));
}

HostEvent::~HostEvent() {
  if (fd_ >= 0) ::close(fd_);
}

bool HostEvent::Set() {
  if (fd_ < 0) return false;
  const uint64_t one = 1;
  return ::write(fd_, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
}

bool HostEvent::ResetEvent() {
  if (fd_ < 0) return false;
  uint64_t count = 0;
  while (::read(fd_, &count, sizeof(count)) == sizeof(count)) {
  }
  return true;
}

WaitResult HostEvent::Wait(uint32_t ms) {
  if (fd_ < 0) return WaitResult::kFailed;
  const int r = PollReadable(fd_, ms);
  if (r < 0) return WaitResult::kFailed;
  if (r == 0) return WaitResult::kTimeout;
  if (!manual_) ResetEvent();
  return WaitResult::kSignaled;
}

bool HostEvent::IsSet() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace tarsio
