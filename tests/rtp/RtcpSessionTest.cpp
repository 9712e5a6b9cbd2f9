// Two RTCP sessions talking through a simulated network with a known loss, delay and jitter,
// under a simulated clock: the figures each reports must match what the network did.
#include "rtp/RtcpSession.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <queue>
#include <vector>

namespace tarsio {
namespace {

uint64_t Ntp(double ms) {
  // An arbitrary wall-clock origin in 2026, so that the compact NTP forms do not start at 0.
  const double seconds = 3974000000.0 + ms / 1000.0;
  const double whole = std::floor(seconds);
  return (static_cast<uint64_t>(whole) << 32) +
         static_cast<uint64_t>((seconds - whole) * 4294967296.0);
}

struct Delivery {
  double at;
  int kind;  // 0: RTP to b, 1: RTP to a, 2: RTCP to b, 3: RTCP to a
  uint16_t sequence;
  uint32_t timestamp;
  std::vector<uint8_t> rtcp;
  bool operator>(const Delivery& o) const { return at > o.at; }
};

TEST(RtcpSessionTest, ReportsTheLossDelayAndJitterOfASimulatedNetwork) {
  constexpr uint32_t kSsrcA = 0xa0a0a0a0, kSsrcB = 0xb0b0b0b0;
  RtcpSession a(kSsrcA, "a@test", 8000, 10000);
  RtcpSession b(kSsrcB, "b@test", 8000, 10000);
  a.Start(Ntp(0), 0.1);
  b.Start(Ntp(0), 0.9);

  std::priority_queue<Delivery, std::vector<Delivery>, std::greater<>> network;
  constexpr double kOneWayMs = 40;
  // A's stream to B: every 20th packet lost (5 %), delays 40, 47, 61, 43 ms in turn (jitter).
  const double jitterPattern[4] = {0, 7, 21, 3};
  // The RFC 3550 A.8 estimate computed here from the network's own record of A's packets.
  double referenceJitter = 0;
  double lastTransit = 0;
  bool haveTransit = false;
  int received = 0;

  std::vector<double> reportTimesA;
  int sent = 0;
  for (int tick = 0; tick < 30000; ++tick) {  // 30 s in 1 ms steps
    const double now = tick;
    if (tick % 20 == 0) {
      const uint16_t sequence = static_cast<uint16_t>(65000 + sent);  // wraps during the call
      const uint32_t timestamp = 160u * static_cast<uint32_t>(sent);
      a.OnRtpSent(timestamp, 160, Ntp(now));
      b.OnRtpSent(timestamp, 160, Ntp(now));
      if (sent % 20 != 7) {
        network.push({now + kOneWayMs + jitterPattern[sent % 4], 0, sequence, timestamp, {}});
      }
      network.push({now + kOneWayMs, 1, sequence, timestamp, {}});
      ++sent;
    }
    uint8_t buffer[512];
    if (a.ReportDue(Ntp(now))) {
      const size_t n = a.WriteReport(buffer, sizeof buffer, false, Ntp(now), 0.25);
      ASSERT_GT(n, 0u);
      reportTimesA.push_back(now);
      network.push({now + kOneWayMs, 2, 0, 0, std::vector<uint8_t>(buffer, buffer + n)});
    }
    if (b.ReportDue(Ntp(now))) {
      const size_t n = b.WriteReport(buffer, sizeof buffer, false, Ntp(now), 0.75);
      ASSERT_GT(n, 0u);
      network.push({now + kOneWayMs, 3, 0, 0, std::vector<uint8_t>(buffer, buffer + n)});
    }
    while (!network.empty() && network.top().at <= now) {
      const Delivery d = network.top();
      network.pop();
      switch (d.kind) {
        case 0: {
          b.OnRtpReceived(kSsrcA, d.sequence, d.timestamp, 160, Ntp(d.at));
          const double transit = d.at * 8 - d.timestamp;  // in 8 kHz units
          // The first packet is not counted by the receiver (it waits for a second in sequence).
          if (++received >= 2) {
            if (haveTransit)
              referenceJitter += (std::abs(transit - lastTransit) - referenceJitter) / 16;
            haveTransit = true;
          }
          lastTransit = transit;
          break;
        }
        case 1:
          a.OnRtpReceived(kSsrcB, d.sequence, d.timestamp, 160, Ntp(d.at));
          break;
        case 2:
          EXPECT_TRUE(b.OnRtcpReceived(d.rtcp.data(), d.rtcp.size(), Ntp(d.at)));
          break;
        case 3:
          EXPECT_TRUE(a.OnRtcpReceived(d.rtcp.data(), d.rtcp.size(), Ntp(d.at)));
          break;
      }
    }
  }

  const RtcpSession::Statistics atB = b.GetStatistics();
  EXPECT_NEAR(0.05, atB.callFractionLost, 0.01);
  EXPECT_NEAR(0.05, atB.fractionLost, 0.02);
  EXPECT_EQ(kSsrcA, atB.remoteSsrc);
  EXPECT_EQ("a@test", atB.remoteCname);
  EXPECT_NEAR(referenceJitter / 8.0, atB.jitterMs, 0.2 * referenceJitter / 8.0);
  EXPECT_GT(atB.jitterMs, 2.0);

  const RtcpSession::Statistics atA = a.GetStatistics();
  ASSERT_TRUE(atA.haveRemoteReport);
  EXPECT_NEAR(0.05, atA.remoteFractionLost, 0.02);
  EXPECT_NEAR(atB.jitterMs, atA.remoteJitterMs, 2.0);  // as of B's last report
  EXPECT_NEAR(2 * kOneWayMs, atA.roundTripMs, 1.0);
  EXPECT_NEAR(2 * kOneWayMs, atB.roundTripMs, 1.0);
  EXPECT_EQ(0, atA.cumulativeLost);
  EXPECT_EQ(1500u, atA.packetsSent);
  EXPECT_EQ(1500u * 160, atA.octetsSent);
  EXPECT_EQ("b@test", atA.remoteCname);

  // Reports: the first after about 2.5 s, then about every 5 s (spread by the draw), as RFC 3550
  // A.7 computes them for two members.
  ASSERT_GE(reportTimesA.size(), 4u);
  const double compensation = std::exp(1.0) - 1.5;
  EXPECT_NEAR(2500 * 0.6 / compensation, reportTimesA[0], 2.0);
  for (size_t i = 1; i < reportTimesA.size(); ++i) {
    EXPECT_NEAR(5000 * 0.75 / compensation, reportTimesA[i] - reportTimesA[i - 1], 2.0);
  }
  // Every report arrived but perhaps the last, still on its way when the call ended.
  const uint64_t arrived = b.GetStatistics().reportsReceived;
  EXPECT_EQ(reportTimesA.size(), atA.reportsSent);
  EXPECT_TRUE(arrived == atA.reportsSent || arrived + 1 == atA.reportsSent) << arrived;
}

TEST(RtcpSessionTest, ByeTimeoutAndRefusedReports) {
  RtcpSession a(1, "a", 8000, 10000);
  RtcpSession b(2, "b", 8000, 10000);
  a.Start(Ntp(0), 0.5);
  b.Start(Ntp(0), 0.5);
  EXPECT_FALSE(b.TimedOut(Ntp(999), 1000));
  EXPECT_TRUE(b.TimedOut(Ntp(1000), 1000));  // nothing ever came

  uint8_t buffer[256];
  const size_t n = a.WriteReport(buffer, sizeof buffer, true, Ntp(1500), 0.5);
  ASSERT_GT(n, 0u);
  EXPECT_TRUE(b.OnRtcpReceived(buffer, n, Ntp(1510)));
  RtcpSession::Statistics s = b.GetStatistics();
  EXPECT_TRUE(s.byeReceived);
  EXPECT_EQ(1u, s.remoteSsrc);
  EXPECT_FALSE(b.TimedOut(Ntp(2000), 1000));  // RTCP counts as heard
  EXPECT_TRUE(b.TimedOut(Ntp(2510), 1000));

  buffer[0] = 0x40;  // version 1
  EXPECT_FALSE(b.OnRtcpReceived(buffer, n, Ntp(2600)));
  EXPECT_FALSE(b.OnRtcpReceived(buffer, 3, Ntp(2600)));
  s = b.GetStatistics();
  EXPECT_EQ(2u, s.reportsMalformed);
  EXPECT_EQ(1u, s.reportsReceived);
  EXPECT_TRUE(b.TimedOut(Ntp(2600), 1000));  // refused datagrams do not count as heard

  // No room: nothing written, nothing counted.
  EXPECT_EQ(0u, a.WriteReport(buffer, 8, false, Ntp(3000), 0.5));
  EXPECT_EQ(1u, a.GetStatistics().reportsSent);
}

}  // namespace
}  // namespace tarsio
