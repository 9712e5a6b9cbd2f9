#include "rtp/RtcpInterval.h"

#include <algorithm>

namespace tarsio {

namespace {

constexpr double kRtcpShare = 0.05;  // of the session bandwidth
constexpr double kCompensation = 2.71828182845904523536 - 1.5;

}  // namespace

RtcpInterval::RtcpInterval(double sessionBandwidthBytesPerSecond)
    : rtcpBandwidth_(std::max(sessionBandwidthBytesPerSecond, 1.0) * kRtcpShare) {}

void RtcpInterval::OnPacketSize(uint32_t bytes) {
  averageSize_ = bytes / 16.0 + averageSize_ * 15.0 / 16.0;
}

double RtcpInterval::Next(uint32_t members, uint32_t senders, bool weSent, bool initial,
                          double random01) const {
  const double minimum = initial ? kMinimumSeconds / 2 : kMinimumSeconds;
  double bandwidth = rtcpBandwidth_;
  double n = std::max<uint32_t>(members, 1);
  if (senders <= members * kSenderFraction) {
    // Senders share a quarter of the RTCP bandwidth, receivers the rest.
    if (weSent) {
      bandwidth *= kSenderFraction;
      n = std::max<uint32_t>(senders, 1);
    } else {
      bandwidth *= 1.0 - kSenderFraction;
      n = std::max<uint32_t>(members - senders, 1);
    }
  }
  const double deterministic = std::max(averageSize_ * n / bandwidth, minimum);
  const double spread = std::clamp(random01, 0.0, 1.0) + 0.5;
  return deterministic * spread / kCompensation;
}

}  // namespace tarsio
