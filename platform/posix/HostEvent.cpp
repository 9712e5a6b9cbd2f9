#include "platform/HostEvent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/PollWait.h"

namespace tarsio {

HostEvent::HostEvent(Event::Reset mode)
    : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_(mode == Event::Reset::kManual) {}

std::unique_ptr<HostEvent> HostEvent::FromHostHandle(NativeHandle fd) {
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  return std::unique_ptr<HostEvent>(new HostEvent(copy, true));
}

HostEvent::~HostEvent() {
  if (handle_ >= 0) ::close(handle_);
}

bool HostEvent::Set() {
  if (handle_ < 0) return false;
  const uint64_t one = 1;
  return ::write(handle_, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
}

bool HostEvent::ResetEvent() {
  if (handle_ < 0) return false;
  uint64_t count = 0;
  while (::read(handle_, &count, sizeof(count)) == sizeof(count)) {
  }
  return true;
}

WaitResult HostEvent::Wait(uint32_t ms) {
  if (handle_ < 0) return WaitResult::kFailed;
  const int r = PollReadable(handle_, ms);
  if (r < 0) return WaitResult::kFailed;
  if (r == 0) return WaitResult::kTimeout;
  if (!manual_) ResetEvent();
  return WaitResult::kSignaled;
}

bool HostEvent::IsSet() const {
  if (handle_ < 0) return false;
  pollfd p{static_cast<int>(handle_), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace tarsio
