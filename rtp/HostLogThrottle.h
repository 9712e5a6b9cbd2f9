// Keeps one kind of host-log entry from flooding the host's log.
//
// A receiver fed with garbage or with a failing socket would otherwise write an entry per datagram.
// Log() writes the caller's entry for at most maxPerSecond calls per one-second window (on the
// engine clock) and holds the rest back, counting them by their code. The first entry of every
// window is always the caller's own entry, code included; right after it come the summaries of
// what the previous windows held back: one entry with a number per code, the summary label
// followed by the count, and, when the throttle has a code label, that label and the code.
// Flush() writes the summaries still owed (the receiver's thread does so when it stops).
//
// Threading: any thread; the counters are guarded by an internal mutex that is never held while
// writing to the host log.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace tarsio {

class HostLogThrottle {
 public:
  static constexpr uint32_t kWindowMs = 1000;

  /// codeLabel: null when the entries carry no code; otherwise the text between the count and
  /// the code in the summary (", WSAGetLastError==").
  HostLogThrottle(const char* summaryLabel, int32_t maxPerSecond, const char* codeLabel = nullptr);

  /// Calls writeEntry() to write the caller's entry when the window has room, then writes the
  /// summaries held so far; otherwise counts the entry as held back under code.
  template <class WriteEntry>
  void Log(WriteEntry&& writeEntry, int64_t code = 0) {
    std::map<int64_t, int64_t> heldBack;
    if (!Admit(code, &heldBack)) return;
    writeEntry();
    WriteSummaries(heldBack);
  }
  /// Writes the summaries of the entries held back so far, if any.
  void Flush();
  /// Entries held back and not yet summarised.
  int64_t Suppressed();

 private:
  /// Whether the entry may be written now; if so, takes the summaries owed into heldBack.
  bool Admit(int64_t code, std::map<int64_t, int64_t>* heldBack);
  void WriteSummaries(const std::map<int64_t, int64_t>& heldBack) const;

  const char* const summaryLabel_;
  const int32_t maxPerSecond_;
  const char* const codeLabel_;
  std::mutex mutex_;
  bool started_ = false;                   // guarded by mutex_
  uint32_t windowStart_ = 0;               // guarded by mutex_
  int32_t inWindow_ = 0;                   // guarded by mutex_
  std::map<int64_t, int64_t> suppressed_;  // by code; guarded by mutex_
};

}  // namespace tarsio
