// An event a host gives the engine to be told about changes (the receive-buffer depth): a
// Windows-style event. On Linux it is an eventfd, so that a host can poll its descriptor; on
// Windows a Win32 event HANDLE, so that a host can wait on it with WaitForSingleObject.
//
// Set makes the descriptor readable (signals the Win32 event) until the event is reset; a
// manual-reset event stays set until ResetEvent, an auto-reset one is cleared by the Wait that sees
// it.
//
// Threading: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Event.h"
#include "platform/NativeHandle.h"

namespace tarsio {

class HostEvent {
 public:
  explicit HostEvent(Event::Reset mode = Event::Reset::kManual);
  ~HostEvent();
  HostEvent(const HostEvent&) = delete;
  HostEvent& operator=(const HostEvent&) = delete;

  /// An event over a host's eventfd (Linux) or event HANDLE (Windows): the handle is duplicated,
  /// so the host keeps and closes its own; Set signals the host's event. Null if the handle cannot
  /// be duplicated.
  static std::unique_ptr<HostEvent> FromHostHandle(NativeHandle handle);

  bool Valid() const { return handle_ != kNoNativeHandle; }
  bool Set();
  bool ResetEvent();
  /// kSignaled or kTimeout (kFailed on an unusable descriptor). Time-outs run on the current
  /// clock, polling every 2 ms of real time when it is not the real clock.
  WaitResult Wait(uint32_t ms);
  /// Whether set now (does not consume an auto-reset signal).
  bool IsSet() const;
  /// The eventfd (readable while set) or the event HANDLE.
  NativeHandle Handle() const { return handle_; }

 private:
  HostEvent(NativeHandle handle, bool manual) : handle_(handle), manual_(manual) {}

  NativeHandle handle_ = kNoNativeHandle;
  const bool manual_;
};

}  // namespace tarsio
