// Writes entries to the process-wide host log.
//
// The current host log is one process-wide pointer set by GetRTPInterface (null means nothing is
// logged). The pointer is re-read before every single call of an entry; once it is found null the
// rest of that entry is skipped.
//
// Deferred entries: a media thread must never call into the host. It may hold locks that a host
// operation needs (a push runs the whole chain under its sources' locks), and a host that holds its
// own log lock while it stops a direction waits for that very thread, which would be stuck in the
// host's Lock. So media threads record their entries with DeferredEntry (or DeferPlain,
// DeferWithNumber): the entry is copied into a fixed queue (kDeferredSlots entries of at most
// kDeferredEntryBytes; no allocation; a full queue drops the entry and counts it) and written by
// the deferred-entry writer, a process-wide thread that holds no engine lock and that no operation
// waits for without a bound. The writer starts when a log becomes current (or at the first deferred
// entry) and lives as long as the process (a forked child starts its own when it needs one). One
// thread at a time writes deferred entries (the writer, or a host thread in WritePending), so they
// reach the log in the order they were deferred. SetCurrent first writes what is queued into the
// outgoing log (waiting at most kSwitchWaitMs while the writer is writing), so a log is not used
// after it was replaced.
//
// Threading: any thread, any time. No lock of the engine is taken here while calling the host;
// the host's Lock/Unlock serialise entries if the host wants that. The deferred queue has its own
// mutex, held only to copy one entry in or out.
#pragma once

#include <atomic>
#include <cstdint>

#include "tarsio/HostLog.h"

namespace tarsio {

class HostLogWriter {
 public:
  static constexpr int kDeferredSlots = 64;
  static constexpr int kDeferredEntryBytes = 512;
  static constexpr uint32_t kSwitchWaitMs = 1000;

  /// Replaces the process-wide host log (null allowed), after writing the deferred entries still
  /// queued into the outgoing one.
  static void SetCurrent(HostLog* log);
  static HostLog* Current();

  /// Plain entry: Lock, Write(text), EndLine, Unlock.
  static void Plain(const char* text);
  /// Entry with a number: Lock, Write(label), Write(decimal of n), MarkEntry, EndLine, Unlock.
  static void WithNumber(const char* label, int64_t number);

  /// A multi-line entry under construction: the constructor calls Lock, the destructor Unlock on
  /// the same log. Each call re-reads the pointer: once it is null or another log (the host
  /// changed logs mid-entry) the rest of the entry is dropped, so nothing is written to a log
  /// that is not locked, and the log that was locked is unlocked all the same.
  class Entry {
   public:
    Entry();
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    void Write(const char* text);
    void WriteNumber(int64_t number);  // signed decimal, no padding
    void MarkEntry();
    void EndLine();

   private:
    HostLog* Next();
    HostLog* locked_ = nullptr;  // the log this entry locked
    bool dropped_ = false;
  };

  /// An entry recorded now (texts copied, on the stack) and queued for the writer when the object
  /// dies: the same calls as Entry, for media threads. An entry too long for kDeferredEntryBytes
  /// keeps its line ends and loses the text that does not fit.
  class DeferredEntry {
   public:
    DeferredEntry() = default;
    ~DeferredEntry();
    DeferredEntry(const DeferredEntry&) = delete;
    DeferredEntry& operator=(const DeferredEntry&) = delete;
    void Write(const char* text);
    void WriteNumber(int64_t number);
    void MarkEntry();
    void EndLine();

   private:
    void Append(char op, const char* text);
    char bytes_[kDeferredEntryBytes];
    int length_ = 0;
  };

  /// Deferred forms of Plain and WithNumber.
  static void DeferPlain(const char* text);
  static void DeferWithNumber(const char* label, int64_t number);
  /// Writes the deferred entries still queued: on the calling thread while the writer thread is
  /// idle, else by waiting for it, for at most waitMs in all (the writer may be held up in the
  /// host's Lock; what is left then stays queued for it). For host threads (a stop, a switch of
  /// logs) and tests; never from a media thread.
  static void WritePending(uint32_t waitMs = 0);
  /// Deferred entries dropped because the queue was full.
  static uint64_t DroppedDeferredEntries();

 private:
  static std::atomic<HostLog*> current_;
};

}  // namespace tarsio
