// Writes entries to the process-wide host log.
//
// The current host log is one process-wide pointer set by GetRTPInterface (null means nothing is
// logged). The pointer is re-read before every single call of an entry; once it is found null the
// rest of that entry is skipped.
//
// Threading: any thread, any time. No lock of the engine is taken here; the host's Lock/Unlock
// serialise entries if the host wants that.
#pragma once

#include <atomic>
#include <cstdint>

#include "tarsio/HostLog.h"

namespace tarsio {

class HostLogWriter {
 public:
  /// Replaces the process-wide host log (null allowed).
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

 private:
  static std::atomic<HostLog*> current_;
};

}  // namespace tarsio
