// Keeps one kind of host-log entry from flooding the host's log.
//
// A receiver fed with garbage or with a failing socket would otherwise write an entry per datagram.
// Log() writes the caller's entry for at most maxPerSecond calls per one-second window (on the
// engine clock) and holds the rest back, counting them by their code. The first entry of every
// window is always the caller's own entry, code included; right after it come the summaries of
// what the previous windows held back: one entry with a number per code (in increasing code
// order), the summary label followed by the count, and, when the throttle has a code label, that
// label and the code. Flush() writes the summaries still owed (the receiver's thread does so when
// it stops).
//
// Memory: the counts live in a fixed table of kMaxCodes codes, so a flood costs no allocation.
// Should more distinct codes than that be held back within one summary period, the further ones
// are counted under the largest code already in the table.
//
// Delivery: a throttle made with Delivery::kDeferred writes its summaries as deferred host-log
// entries (HostLogWriter::DeferredEntry), for media threads; the caller's own entry is written
// by the caller's writeEntry, which must then defer too.
//
// Threading: any thread; the counters are guarded by an internal mutex that is never held while
// writing to the host log.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace tarsio {

class HostLogThrottle {
 public:
  static constexpr uint32_t kWindowMs = 1000;
  static constexpr int kMaxCodes = 16;

  enum class Delivery { kDirect, kDeferred };

  /// codeLabel: null when the entries carry no code; otherwise the text between the count and
  /// the code in the summary (", WSAGetLastError==").
  HostLogThrottle(const char* summaryLabel, int32_t maxPerSecond, const char* codeLabel = nullptr,
                  Delivery delivery = Delivery::kDirect);

  /// Calls writeEntry() to write the caller's entry when the window has room, then writes the
  /// summaries held so far; otherwise counts the entry as held back under code.
  template <class WriteEntry>
  void Log(WriteEntry&& writeEntry, int64_t code = 0) {
    HeldBack heldBack;
    if (!Admit(code, &heldBack)) return;
    writeEntry();
    WriteSummaries(heldBack);
  }
  /// Writes the summaries of the entries held back so far, if any.
  void Flush();
  /// Entries held back and not yet summarised.
  int64_t Suppressed();

 private:
  /// Counts held back per code, in increasing code order.
  struct HeldBack {
    struct Count {
      int64_t code = 0;
      int64_t count = 0;
    };
    std::array<Count, kMaxCodes> counts{};
    int size = 0;
    void Add(int64_t code);
  };

  /// Whether the entry may be written now; if so, takes the summaries owed into heldBack.
  bool Admit(int64_t code, HeldBack* heldBack);
  void WriteSummaries(const HeldBack& heldBack) const;
  template <class Entry>
  void WriteSummary(const HeldBack::Count& count) const;

  const char* const summaryLabel_;
  const int32_t maxPerSecond_;
  const char* const codeLabel_;
  const Delivery delivery_;
  std::mutex mutex_;
  bool started_ = false;      // guarded by mutex_
  uint32_t windowStart_ = 0;  // guarded by mutex_
  int32_t inWindow_ = 0;      // guarded by mutex_
  HeldBack suppressed_;       // guarded by mutex_
};

}  // namespace tarsio
