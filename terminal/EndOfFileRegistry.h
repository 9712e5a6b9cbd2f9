// The process-wide registry behind end-of-file notifications of file plays.
//
// When a file play ends by itself (its source thread reached the end), its controller starts a
// short-lived notification thread that calls the terminal's end-of-file hook outside every lock
// of the terminal. The registry knows the terminal to call, counts the notification threads that
// are running, and lets the terminal's destructor wait until they are all gone before the
// terminal disappears.
//
// Threading: Notify may be called from any thread (file-source threads); Open and Close from the
// terminal's constructor and destructor. registryMutex guards the count, the closing flag and the
// terminal pointer; it is never held while the hook runs.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/CriticalSection.h"
#include "platform/Event.h"

namespace tarsio {

class COrbeMediaTerm;

class EndOfFileRegistry {
 public:
  /// Makes terminal the one to notify; clears the count and the closing flag.
  static void Open(COrbeMediaTerm* terminal);
  /// Sets the closing flag, then waits (100 ms at a time) until no notification thread runs.
  static void Close();
  /// Starts a notification thread for play id. Returns false if no thread could be started.
  static bool Notify(uint32_t filePlayId, bool isReceive);
  /// Notification threads running now (tests).
  static int32_t RunningCount();

 private:
  static uint32_t NotificationThreadProc(uint32_t filePlayId, bool isReceive);

  static CriticalSection registryMutex;
  static Event registryEvent;
  static COrbeMediaTerm* terminal;  // guarded by registryMutex
  static int32_t runningCount;      // guarded by registryMutex
  static std::atomic<bool> bClosing;
};

}  // namespace tarsio
