// SocketEvent over a WSAEventSelect event.
//
// Two Win32 events: the wait event (Handle) that WinSock signals when the watched socket gets
// FD_READ and that Set signals too, and the hand-signal event, which only records that Set was
// called (the eventfd of the Linux version). Both are manual-reset; the auto-reset and
// level-triggered behaviour of the header is made here:
// - WinSock signals FD_READ once and records no further FD_READ until the next recv, so a wait
//   does not trust the event alone. It asks the socket (a select with no time-out) whether a
//   datagram waits, and the hand-signal event whether Set was called; only when neither holds
//   does it clear the wait event and sleep on it. The check is repeated right after the clear, so
//   an FD_READ that WinSock posted just before the clear is not lost.
// - A successful wait consumes the hand signal and leaves the wait event signalled exactly when a
//   datagram still waits, so a host waiting on Handle wakes again for it.
// The wait event may stay signalled after the last datagram was read by RecvFrom (nobody clears
// it then); the next Wait clears it, and a host that waited on Handle finds Wait(0) timing out.
//
// Waits follow the engine's clock as on Linux: one wait for the whole time under the real clock;
// under another clock the deadline is measured on that clock while the event is waited on in
// slices of 2 ms of real time.
#include "platform/SocketEvent.h"

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
#include <windows.h>
// clang-format on

#include <algorithm>

#include "platform/Clock.h"
#include "platform/RealClock.h"
#include "platform/win32/WinsockStartup.h"

namespace tarsio {

namespace {

constexpr uint64_t kFakeClockSliceMs = 2;

HANDLE AsHandle(NativeHandle h) { return reinterpret_cast<HANDLE>(h); }

bool HandSignalled(NativeHandle signal) {
  return ::WaitForSingleObject(AsHandle(signal), 0) == WAIT_OBJECT_0;
}

// Whether a datagram (or an error to report) waits on the socket: a receive would not block.
bool SocketReadable(NativeHandle socket) {
  if (socket == kNoNativeHandle) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(socket), &readable);
  timeval now{0, 0};
  return ::select(0, &readable, nullptr, nullptr, &now) > 0;
}

bool Ready(NativeHandle signal, NativeHandle socket) {
  return HandSignalled(signal) || SocketReadable(socket);
}

// Leaves the wait event signalled exactly when the hand signal or a datagram is there. Clearing
// first and checking after keeps an FD_READ that arrives meanwhile: WinSock sets the event again.
void Rearm(NativeHandle wait, NativeHandle signal, NativeHandle socket) {
  ::WSAResetEvent(AsHandle(wait));
  if (Ready(signal, socket)) ::WSASetEvent(AsHandle(wait));
}

}  // namespace

SocketEvent::SocketEvent() {
  if (win32::StartWinsock() != 0) return;
  const WSAEVENT wait = ::WSACreateEvent();
  const HANDLE signal = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (wait == WSA_INVALID_EVENT || signal == nullptr) {
    if (wait != WSA_INVALID_EVENT) ::WSACloseEvent(wait);
    if (signal != nullptr) ::CloseHandle(signal);
    return;
  }
  waitHandle_ = reinterpret_cast<NativeHandle>(wait);
  signalHandle_ = reinterpret_cast<NativeHandle>(signal);
}

SocketEvent::~SocketEvent() {
  // The owner's socket unwatches before it closes (UdpSocket::ForgetEvent, Close); a socket still
  // watched here is open, and must not signal a closed (and perhaps reused) event handle.
  const NativeHandle socket = watched_.exchange(kNoNativeHandle);
  if (socket != kNoNativeHandle) ::WSAEventSelect(static_cast<SOCKET>(socket), nullptr, 0);
  if (signalHandle_ != kNoNativeHandle) ::CloseHandle(AsHandle(signalHandle_));
  if (waitHandle_ != kNoNativeHandle) ::WSACloseEvent(AsHandle(waitHandle_));
}

bool SocketEvent::Set() {
  if (!Valid()) return false;
  // The record first, so that a waiter woken by the wait event finds it.
  return ::SetEvent(AsHandle(signalHandle_)) != 0 && ::WSASetEvent(AsHandle(waitHandle_)) != 0;
}

bool SocketEvent::ResetEvent() {
  if (!Valid()) return false;
  DrainHandSignal();
  Rearm(waitHandle_, signalHandle_, watched_.load());
  return true;
}

void SocketEvent::DrainHandSignal() { ::ResetEvent(AsHandle(signalHandle_)); }

WaitResult SocketEvent::Wait(uint32_t ms) {
  if (!Valid()) return WaitResult::kFailed;
  Clock& clock = Clock::Current();
  const bool real = &clock == &RealClock::Instance();
  const uint64_t start = clock.NowMs();
  for (;;) {
    const NativeHandle socket = watched_.load();
    if (Ready(signalHandle_, socket)) break;
    ::WSAResetEvent(AsHandle(waitHandle_));
    if (Ready(signalHandle_, socket)) break;  // came between the check and the clear
    DWORD timeout = INFINITE;
    if (ms == kInfinite) {
      timeout = real ? INFINITE : static_cast<DWORD>(kFakeClockSliceMs);
    } else {
      const uint64_t elapsed = clock.NowMs() - start;
      if (elapsed >= ms) return WaitResult::kTimeout;
      const uint64_t remaining = ms - elapsed;
      timeout = static_cast<DWORD>(real ? remaining : std::min(remaining, kFakeClockSliceMs));
    }
    if (::WaitForSingleObject(AsHandle(waitHandle_), timeout) == WAIT_FAILED) {
      return WaitResult::kFailed;
    }
    // Signalled or not, the next round checks the sources again: a stale FD_READ (its datagram
    // already read) leads back to waiting, the time is checked before each wait.
  }
  // Auto-reset: the wait that saw the event consumes the hand signal. A datagram still waiting
  // keeps the event signalled, so the next wait returns at once.
  DrainHandSignal();
  Rearm(waitHandle_, signalHandle_, watched_.load());
  return WaitResult::kSignaled;
}

bool SocketEvent::Watch(NativeHandle socket) {
  if (!Valid() || socket == kNoNativeHandle) return false;
  const NativeHandle previous = watched_.exchange(socket);
  if (previous != kNoNativeHandle && previous != socket) {
    // One event per socket association: the previous socket stops signalling this event.
    ::WSAEventSelect(static_cast<SOCKET>(previous), nullptr, 0);
  }
  // Makes the socket non-blocking, and signals the event at once when a datagram already waits.
  if (::WSAEventSelect(static_cast<SOCKET>(socket), AsHandle(waitHandle_), FD_READ) == 0) {
    return true;
  }
  watched_.store(kNoNativeHandle);
  return false;
}

void SocketEvent::Unwatch(NativeHandle socket) {
  if (!Valid() || socket == kNoNativeHandle) return;
  NativeHandle expected = socket;
  if (watched_.compare_exchange_strong(expected, kNoNativeHandle)) {
    ::WSAEventSelect(static_cast<SOCKET>(socket), nullptr, 0);
    // A datagram of the socket no longer signals the event.
    Rearm(waitHandle_, signalHandle_, kNoNativeHandle);
  }
}

}  // namespace tarsio
