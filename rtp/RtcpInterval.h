// When to send the next RTCP report (RFC 3550 6.2 and A.7): the deterministic interval from the
// session's RTCP bandwidth, the members and senders known and the average RTCP packet size, with a
// floor of 5 s (2.5 s before the first report), spread by a random factor in [0.5, 1.5] and
// divided by e - 3/2 to compensate for timer reconsideration.
//
// The random draw is the caller's (a number in [0, 1)), so tests can pin it.
//
// Threading: none; owned by the RTCP thread.
#pragma once

#include <cstdint>

namespace tarsio {

class RtcpInterval {
 public:
  static constexpr double kMinimumSeconds = 5.0;
  static constexpr double kSenderFraction = 0.25;

  /// sessionBandwidthBytesPerSecond: the media's bandwidth; RTCP gets 5 % of it.
  explicit RtcpInterval(double sessionBandwidthBytesPerSecond);

  /// Feeds the size (with UDP and IP headers) of an RTCP packet sent or received.
  void OnPacketSize(uint32_t bytes);
  double AveragePacketSize() const { return averageSize_; }

  /// The next interval in seconds. random01 is a uniform draw in [0, 1).
  double Next(uint32_t members, uint32_t senders, bool weSent, bool initial, double random01) const;

 private:
  double rtcpBandwidth_;
  double averageSize_ = 128.0;  // a compound SR + SDES with UDP/IPv4 headers, until measured
};

}  // namespace tarsio
