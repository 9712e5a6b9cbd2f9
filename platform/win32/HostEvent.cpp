#include "platform/HostEvent.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/PollWait.h"

namespace tarsio {

namespace {

HANDLE AsHandle(NativeHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// CreateEvent and DuplicateHandle report failure with a null handle; the engine's "none" is -1.
NativeHandle FromHandle(HANDLE handle) {
  return handle == nullptr ? kNoNativeHandle : reinterpret_cast<NativeHandle>(handle);
}

}  // namespace

HostEvent::HostEvent(Event::Reset mode)
    : handle_(FromHandle(::CreateEventW(nullptr, mode == Event::Reset::kManual, FALSE, nullptr))),
      manual_(mode == Event::Reset::kManual) {}

std::unique_ptr<HostEvent> HostEvent::FromHostHandle(NativeHandle handle) {
  // Negative values are kNoNativeHandle or pseudo-handles: duplicating -1 (INVALID_HANDLE_VALUE,
  // also GetCurrentProcess()) would yield a handle to this process, not an event.
  if (handle <= 0) return nullptr;
  HANDLE copy = nullptr;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, AsHandle(handle), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  // The event keeps the reset mode the host gave it; the engine only sets it.
  return std::unique_ptr<HostEvent>(new HostEvent(FromHandle(copy), true));
}

HostEvent::~HostEvent() {
  if (Valid()) ::CloseHandle(AsHandle(handle_));
}

bool HostEvent::Set() { return Valid() && ::SetEvent(AsHandle(handle_)) != FALSE; }

bool HostEvent::ResetEvent() { return Valid() && ::ResetEvent(AsHandle(handle_)) != FALSE; }

WaitResult HostEvent::Wait(uint32_t ms) {
  if (!Valid()) return WaitResult::kFailed;
  // The successful wait itself clears an auto-reset event.
  const int r = PollReadable(handle_, ms);
  if (r < 0) return WaitResult::kFailed;
  if (r == 0) return WaitResult::kTimeout;
  return WaitResult::kSignaled;
}

bool HostEvent::IsSet() const {
  if (!Valid()) return false;
  if (::WaitForSingleObject(AsHandle(handle_), 0) != WAIT_OBJECT_0) return false;
  // The zero wait consumed an auto-reset signal: give it back.
  if (!manual_) ::SetEvent(AsHandle(handle_));
  return true;
}

}  // namespace tarsio
