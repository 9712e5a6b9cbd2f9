// An event a host gives the engine to be told about changes (the receive-buffer depth): a
// Windows-style event over an eventfd, so that a Linux host can poll its descriptor.
//
// Set makes the descriptor readable until the event is reset; a manual-reset event stays set
// until ResetEvent, an auto-reset one is cleared by the Wait that sees it.
//
// Threading: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Event.h"

namespace tarsio {

class HostEvent {
 public:
  explicit HostEvent(Event::Reset mode = Event::Reset::kManual);
  ~HostEvent();
  HostEvent(const HostEvent&) = delete;
  HostEvent& operator=(const HostEvent&) = delete;

  /// An event over a host's eventfd: the descriptor is duplicated, so the host keeps and closes
  /// its own; Set makes the host's descriptor readable. Null if fd cannot be duplicated.
  static std::unique_ptr<HostEvent> FromHostFd(int fd);

  bool Valid() const { return fd_ >= 0; }
  bool Set();
  bool ResetEvent();
  /// kSignaled or kTimeout (kFailed on an unusable descriptor). Time-outs run on the current
  /// clock, polling every 2 ms of real time when it is not the real clock.
  WaitResult Wait(uint32_t ms);
  /// Whether set now (does not consume an auto-reset signal).
  bool IsSet() const;
  /// The eventfd: readable while set.
  int Fd() const { return fd_; }

 private:
  HostEvent(int fd, bool manual) : fd_(fd), manual_(manual) {}

  int fd_ = -1;
  const bool manual_;
};

}  // namespace tarsio
