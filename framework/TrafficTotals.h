// The six process-wide traffic counters printed in the statistics report.
//
// The RTP transmitter adds the bytes it sent, the playback sink the bytes the device accepted,
// the capture source the bytes the device recorded; the other three stay 0. They are reset by
// the factory and at every StartRX and read once, by the report.
//
// Threading: added to from the media threads without a lock of the engine; each counter is a
// relaxed atomic so concurrent additions are never lost or torn.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarsio {

class TrafficTotals {
 public:
  static std::atomic<int64_t> receivedBytes;  // "RTP recvfrom:"
  static std::atomic<int64_t> sentBytes;      // "RTP sendto:"
  static std::atomic<int64_t> playedBytes;    // "RTP WaveOut:"
  static std::atomic<int64_t> capturedBytes;  // "RTP WaveIn:"
  static std::atomic<int64_t> decoderCount;   // "RTP G729 Decomp:"
  static std::atomic<int64_t> encoderCount;   // "RTP G729 Comp:"

  static void Add(std::atomic<int64_t>& counter, int64_t amount) {
    counter.fetch_add(amount, std::memory_order_relaxed);
  }
  /// Zeroes all six.
  static void Reset();
};

}  // namespace tarsio
