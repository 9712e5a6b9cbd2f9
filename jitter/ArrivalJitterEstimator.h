// Measures how late packets arrive against their RTP timestamps, for the low-latency playout
// buffer's target delay.
//
// Each packet gives its relative delay r = arrival time - timestamp time (ms; the sender's and
// the receiver's clocks need not agree, only differences count). Over a sliding window of the
// last kWindow packets, the base is the fastest transit (the kBaseQuantile quantile of r rather
// than the smallest, so that a single packet stamped far ahead cannot pose as it) and a
// packet's lateness is r - base. The jitter is a high quantile (kQuantile) of the lateness over
// the window, so that all but about one packet in two hundred arrive within it.
//
// Until kWarmup packets have been seen the estimate blends from the host's jitter allowance to
// the measured quantile, so a new stream starts from what the host asked for.
//
// Packets that arrive within kBurstGapMs of the previous one and less late than it are a queue
// being released at once (a network stall ending): their lateness falls by one packet time each
// and says nothing new, so only the first of such a run enters the window; a single stall
// therefore cannot raise the target for the length of the window. A packet held back by
// reordering arrives later than its successor and counts.
//
// The base follows a sender clock that runs fast or slow: r drifts, the window forgets.
//
// Threading: not synchronised; the owner (PlayoutBuffer) serialises access.
#pragma once

#include <array>
#include <cstdint>

namespace tarsio {

class ArrivalJitterEstimator {
 public:
  static constexpr int kWindow = 250;  // 5 s of 20 ms packets
  static constexpr int kWarmup = 50;
  static constexpr double kQuantile = 0.995;
  static constexpr double kBaseQuantile = 0.01;
  static constexpr int64_t kBurstGapMs = 1;

  /// Forgets every packet; the estimate starts again from initialJitterMs.
  void Reset(int32_t initialJitterMs);
  /// Records one packet (arrival and timestamp in ms on their own clocks). Returns its lateness.
  int32_t Add(int64_t arrivalMs, int64_t timestampMs);
  /// The lateness a packet with these times has against the current base (0 before any packet).
  int32_t Lateness(int64_t arrivalMs, int64_t timestampMs) const;
  /// Smallest relative delay in the window; valid once Count() > 0.
  int64_t Base() const { return base_; }
  /// The jitter estimate in ms.
  int32_t JitterMs() const { return jitterMs_; }
  /// Packets recorded in the window.
  int32_t Count() const { return count_; }

 private:
  void Update();

  std::array<int64_t, kWindow> window_{};  // relative delays, ring
  int32_t next_ = 0;
  int32_t count_ = 0;
  int32_t seen_ = 0;  // packets recorded since the reset (saturates at kWarmup)
  int64_t base_ = 0;
  int64_t lastArrivalMs_ = 0;
  int64_t lastRelative_ = 0;
  bool haveLast_ = false;
  int32_t initialJitterMs_ = 0;
  int32_t jitterMs_ = 0;
};

}  // namespace tarsio
