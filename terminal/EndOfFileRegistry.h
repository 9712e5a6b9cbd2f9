// The process-wide registry behind end-of-file notifications of file plays.
//
// When a file play ends by itself (its source thread reached the end), its controller hands the
// play id to Notify. One notifier thread, owned by the registry, serves a queue of these
// notifications in order and calls each terminal's end-of-file hook outside every lock of the
// terminal and of the registry; a notification never starts a thread of its own.
//
// Terminals register by Open and leave by Close, keyed by their address, so that several
// terminals in one process each get their own notifications and may close in any order. Opening
// the same terminal twice counts: it stays registered until it is closed as often. The notifier
// thread is started by the first Open and stopped by the Close that removes the last terminal;
// that Close waits for it to end (at most kStopWaitMs) and joins it. Close of a terminal first
// drops the notifications still queued for it and waits until a hook running for it has
// returned, so no hook runs on a terminal once its Close returned.
//
// Notify(terminal, id, isReceive) goes to that terminal. The older Notify(id, isReceive) goes to
// the terminal opened last, and Close() removes every terminal opened with Open(COrbeMediaTerm*):
// both are the forms of a process with a single terminal; with several, callers use the forms
// that name the terminal.
//
// Threading: all members may be called from any thread, Close also from within a hook (it then
// neither waits for the running hook nor joins the notifier, which is the calling thread).
// mutex_ guards the terminals, the queue and the notifier's state; it is never held while a hook
// runs or while the notifier is joined. Waits for a running hook have no time limit: hooks are
// short calls that take no lock a closing terminal holds.
#pragma once

#include <cstdint>
#include <functional>

namespace tarsio {

class COrbeMediaTerm;

class EndOfFileRegistry {
 public:
  /// The end-of-file hook of one registered owner: (filePlayId, isReceive).
  using Hook = std::function<void(uint32_t, bool)>;

  /// Longest wait of the last Close for the notifier thread to end, in ms of Clock::Current().
  static constexpr uint32_t kStopWaitMs = 2000;

  /// Registers terminal (its FireEndOfFileRX/TX are the hook). Starts the notifier thread if none
  /// runs; false if it could not be started (Notify starts it later).
  static bool Open(COrbeMediaTerm* terminal);
  /// Registers any owner with its hook (tests, and owners other than the terminal).
  static bool Open(const void* owner, Hook hook);
  /// Takes one registration of owner away; the last one removes it (queued notifications for it
  /// are dropped, a running hook for it is waited for). When no owner is left, stops the notifier
  /// and joins it. Returns the number of owners still registered.
  static int Close(const void* owner);
  /// Removes every terminal registered with Open(COrbeMediaTerm*), as Close(terminal) does.
  static void Close();

  /// Queues a notification for owner's hook. False when owner is not registered or no notifier
  /// thread could be started.
  static bool Notify(const void* owner, uint32_t filePlayId, bool isReceive);
  /// Queues a notification for the terminal opened last (see the header comment).
  static bool Notify(uint32_t filePlayId, bool isReceive);

  /// Owners registered now.
  static int OwnerCount();
  /// Notifications queued or being delivered now (tests).
  static int32_t RunningCount();

 private:
  struct State;
  static State& TheState();
  static bool OpenOwner(const void* owner, Hook hook, bool terminal);
  static void NotifierLoop(State* state, uint64_t generation);
  static bool StartNotifierLocked(State& state);
};

}  // namespace tarsio
