// The waitable object of a receiving socket (WSAEventSelect's event): an auto-reset event that is
// signalled while an associated socket has a datagram to read, and that can also be signalled by
// hand (a stopping receiver wakes its thread with Set).
//
// On Linux it is built from an eventfd (the hand signal) and the socket's descriptor, both in one
// epoll set; on Windows it is a WSAEventSelect event. The epoll descriptor (Handle) is itself
// readable exactly when the event is signalled, so a host or a poll loop can wait on it together
// with other descriptors. A wait returns at once when either source fires. A successful Wait
// consumes the hand signal; the socket keeps the event signalled for as long as a datagram waits
// (level-triggered, like FD_READ's re-enabling after each read). When the associated socket is
// closed its descriptor leaves the set by itself.
//
// Waits are in real time when the real clock is installed; under another clock (tests) the
// deadline is measured on that clock while the descriptors are polled every 2 ms of real time.
//
// Threading: Set/ResetEvent from any thread; Wait from one thread at a time (the receiver);
// Watch/Unwatch (called by UdpSocket::EventSelect) from any thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Event.h"
#include "platform/NativeHandle.h"

namespace tarsio {

class SocketEvent {
 public:
  SocketEvent();
  ~SocketEvent();
  SocketEvent(const SocketEvent&) = delete;
  SocketEvent& operator=(const SocketEvent&) = delete;

  /// Whether the descriptors could be created.
  bool Valid() const { return waitHandle_ != kNoNativeHandle && signalHandle_ != kNoNativeHandle; }
  /// Signals by hand. True on success.
  bool Set();
  /// Clears the hand signal (a waiting datagram keeps the event signalled).
  bool ResetEvent();
  /// kSignaled, kTimeout, or kFailed when the descriptors are unusable.
  WaitResult Wait(uint32_t ms);
  /// The epoll descriptor: readable while the event is signalled. Do not close it.
  NativeHandle Handle() const { return waitHandle_; }

  /// Makes a socket signal the event while it is readable, replacing the previous one.
  bool Watch(NativeHandle socket);
  /// Stops watching socket (no-op if it is not the watched one).
  void Unwatch(NativeHandle socket);

 private:
  void DrainHandSignal();

  NativeHandle waitHandle_ = kNoNativeHandle;    // Linux: the epoll set; Windows: the event
  NativeHandle signalHandle_ = kNoNativeHandle;  // Linux: the hand signal's eventfd
  std::atomic<NativeHandle> watched_{kNoNativeHandle};
};

}  // namespace tarsio
