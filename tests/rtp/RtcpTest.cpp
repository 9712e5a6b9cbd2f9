// RTCP: the compound packet's wire form and its refusals, the reception statistics of a report
// block (loss over sequence wrap, restarts, jitter), the round trip from LSR/DLSR, and the
// report interval.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rtp/RtcpCompound.h"
#include "rtp/RtcpInterval.h"
#include "rtp/RtpReceptionStatistics.h"

namespace tarsio {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

TEST(RtcpCompoundTest, WritesTheRfcLayoutAndReadsItBack) {
  RtcpCompound report;
  report.hasReport = true;
  report.hasSenderInfo = true;
  report.reporterSsrc = 0x11223344;
  report.senderInfo = {0x0102030405060708ull, 0xa0b0c0d0, 7, 1120};
  report.reportBlockCount = 1;
  report.reportBlocks[0] = {0x55667788, 64, -3, 0x0001fffe, 77, 0x03040506, 0x00018000};
  report.SetCname(0x11223344, "me@host");
  report.bye = true;
  report.byeSourceCount = 1;
  report.byeSources[0] = 0x11223344;
  report.SetByeReason("bye");

  uint8_t wire[256];
  const size_t length = report.Write(wire, sizeof wire);
  // SR with one block (52 bytes), SDES with one 7-byte CNAME (20), BYE with a reason (12).
  const std::vector<uint8_t> expected = Bytes(
      {0x81, 200,  0,    12,   0x11, 0x22, 0x33, 0x44,  // SR, 1 block
       1,    2,    3,    4,    5,    6,    7,    8,    0xa0, 0xb0, 0xc0, 0xd0,
       0,    0,    0,    7,                             // NTP, RTP ts, packets
       0,    0,    4,    0x60,                          // octets
       0x55, 0x66, 0x77, 0x88, 64,   0xff, 0xff, 0xfd,  // block: 64/256, lost -3
       0,    1,    0xff, 0xfe, 0,    0,    0,    77,   3,    4,    5,    6,
       0,    1,    0x80, 0,                             // seq, jitter, LSR, DLSR
       0x81, 202,  0,    4,    0x11, 0x22, 0x33, 0x44,  // SDES, 1 chunk
       1,    7,    'm',  'e',  '@',  'h',  'o',  's',  't',  0,    0,    0,      // CNAME, end, pad
       0x81, 203,  0,    2,    0x11, 0x22, 0x33, 0x44, 3,    'b',  'y',  'e'});  // BYE with reason
  ASSERT_EQ(expected.size(), length);
  EXPECT_EQ(expected, std::vector<uint8_t>(wire, wire + length));

  RtcpCompound parsed;
  const char* why = nullptr;
  ASSERT_TRUE(parsed.Parse(wire, length, &why)) << why;
  EXPECT_TRUE(parsed.hasSenderInfo);
  EXPECT_EQ(0x11223344u, parsed.reporterSsrc);
  EXPECT_EQ(0x0102030405060708ull, parsed.senderInfo.ntpTimestamp);
  EXPECT_EQ(1120u, parsed.senderInfo.octetCount);
  ASSERT_EQ(1u, parsed.reportBlockCount);
  EXPECT_EQ(-3, parsed.reportBlocks[0].cumulativeLost);
  EXPECT_EQ(64, parsed.reportBlocks[0].fractionLost);
  EXPECT_EQ(0x00018000u, parsed.reportBlocks[0].delaySinceLastSenderReport);
  EXPECT_EQ("me@host", parsed.Cname());
  EXPECT_TRUE(parsed.bye);
  EXPECT_EQ("bye", parsed.ByeReason());

  // Too small a buffer writes nothing.
  EXPECT_EQ(0u, report.Write(wire, length - 1));
}

TEST(RtcpCompoundTest, RefusesEveryMalformedDatagramAndAcceptsReducedSize) {
  RtcpCompound parsed;
  const char* why = nullptr;
  // A valid compound: RR (no blocks) + SDES with a 2-byte CNAME, its end and padding.
  const std::vector<uint8_t> valid =
      Bytes({0x80, 201, 0, 1, 0, 0, 0, 9,  //
             0x81, 202, 0, 3, 0, 0, 0, 9, 1, 2, 'a', 'b', 0, 0, 0, 0});
  ASSERT_TRUE(parsed.Parse(valid.data(), valid.size(), &why)) << why;
  EXPECT_EQ("ab", parsed.Cname());

  struct Case {
    std::vector<uint8_t> bytes;
    const char* reason;
  };
  const Case cases[] = {
      {Bytes({0x80, 201}), "shorter than a header"},
      {Bytes({0x80, 201, 0, 1, 0, 0, 0, 9, 0}), "length not a multiple of 4"},
      {Bytes({0x40, 201, 0, 1, 0, 0, 0, 9}), "version not 2"},
      {Bytes({0x80, 201, 0, 2, 0, 0, 0, 9}), "part longer than the datagram"},
      {Bytes({0x80, 72, 0, 1, 0, 0, 0, 9}), "not an RTCP packet type"},
      {Bytes({0x81, 201, 0, 1, 0, 0, 0, 9}), "report shorter than its blocks"},
      {Bytes({0x80, 200, 0, 1, 0, 0, 0, 9}), "report shorter than its blocks"},
      {Bytes({0xa0, 201, 0, 1, 0, 0, 0, 9, 0x80, 203, 0, 0}), "padding before the last part"},
      {Bytes({0xa0, 201, 0, 1, 0, 0, 0, 0}), "bad padding count"},
      {Bytes({0xa0, 201, 0, 1, 0, 0, 0, 5}), "bad padding count"},
      {Bytes({0x81, 202, 0, 1, 0, 0, 0, 9, 0x80, 201, 0, 1, 0, 0, 0, 9}),
       "compound packet not starting with a report"},
      {Bytes({0x81, 202, 0, 2, 0, 0, 0, 9, 1, 9, 'a', 'b'}), "SDES item longer than its part"},
      {Bytes({0x81, 202, 0, 2, 0, 0, 0, 9, 1, 2, 'a', 'b'}), "SDES items without an end"},
      {Bytes({0x82, 202, 0, 2, 0, 0, 0, 9, 0, 0, 0, 0}), "SDES chunk truncated"},
      {Bytes({0x82, 203, 0, 1, 0, 0, 0, 9}), "BYE shorter than its sources"},
      {Bytes({0x81, 203, 0, 2, 0, 0, 0, 9, 7, 'a', 'b', 'c'}), "BYE reason longer than its part"},
  };
  for (const Case& c : cases) {
    why = nullptr;
    EXPECT_FALSE(parsed.Parse(c.bytes.data(), c.bytes.size(), &why)) << c.reason;
    EXPECT_STREQ(c.reason, why);
    EXPECT_FALSE(parsed.hasReport);  // nothing of a refused datagram is kept
  }

  // A good report followed by a broken part: the whole datagram is refused, the report too.
  const std::vector<uint8_t> goodThenBad = Bytes({0x80, 201, 0, 1, 0, 0, 0, 9, 0x40, 202, 0, 0});
  EXPECT_FALSE(parsed.Parse(goodThenBad.data(), goodThenBad.size(), &why));
  EXPECT_STREQ("version not 2", why);
  EXPECT_FALSE(parsed.hasReport);
  EXPECT_EQ(0u, parsed.reporterSsrc);

  // Reduced-size packets: one part of any RTCP type; APP and feedback parts are skipped.
  const std::vector<uint8_t> lone = Bytes({0x81, 203, 0, 1, 0, 0, 0, 42});
  ASSERT_TRUE(parsed.Parse(lone.data(), lone.size(), &why)) << why;
  EXPECT_TRUE(parsed.bye);
  EXPECT_EQ(42u, parsed.reporterSsrc);
  const std::vector<uint8_t> feedback = Bytes({0x81, 205, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2});
  ASSERT_TRUE(parsed.Parse(feedback.data(), feedback.size(), &why)) << why;
  EXPECT_EQ(1u, parsed.skippedParts);
  // A padded last part: padding 4 bytes after an empty RR.
  const std::vector<uint8_t> withPadding = Bytes({0xa0, 201, 0, 2, 0, 0, 0, 9, 0, 0, 0, 4});
  ASSERT_TRUE(parsed.Parse(withPadding.data(), withPadding.size(), &why)) << why;
  EXPECT_EQ(9u, parsed.reporterSsrc);
}

TEST(RtpReceptionStatisticsTest, CountsLossAcrossTheSequenceWrapAndAfterARestart) {
  RtpReceptionStatistics stats;
  stats.Reset(7);
  uint32_t timestamp = 0;
  auto feed = [&](uint16_t sequence) {
    timestamp += 160;
    return stats.OnPacket(sequence, timestamp, timestamp, 160);
  };
  // Probation: the first packet waits for its successor.
  EXPECT_FALSE(feed(65530));
  EXPECT_TRUE(feed(65531));
  EXPECT_TRUE(stats.Valid());
  // 65532..5 with 65534 and 2 lost: across the wrap.
  for (int s = 65532; s <= 65541; ++s) {
    const uint16_t sequence = static_cast<uint16_t>(s);
    if (sequence == 65534 || sequence == 2) continue;
    EXPECT_TRUE(feed(sequence));
  }
  EXPECT_EQ(65536u + 5, stats.ExtendedHighestSequence());
  EXPECT_EQ(11, stats.Expected());  // 65531 .. 65541
  EXPECT_EQ(2, stats.CumulativeLost());
  RtcpReportBlock block = stats.MakeReportBlock(0);
  EXPECT_EQ(2, block.cumulativeLost);
  EXPECT_EQ(2 * 256 / 11, block.fractionLost);
  EXPECT_EQ(0u, block.lastSenderReport);

  // Next interval: 10 packets, none lost, one duplicate: the fraction is 0, not negative.
  for (int s = 6; s <= 15; ++s) feed(static_cast<uint16_t>(s));
  feed(15);
  block = stats.MakeReportBlock(0);
  EXPECT_EQ(0, block.fractionLost);
  EXPECT_EQ(1, block.cumulativeLost);

  // A jump of 20000: refused once, then taken as a restart when the next follows it.
  EXPECT_FALSE(feed(20000));
  EXPECT_TRUE(feed(20001));
  EXPECT_EQ(1, stats.Expected());
  EXPECT_EQ(0, stats.CumulativeLost());
  // A late packet within the misorder window counts as received without moving the maximum.
  EXPECT_TRUE(feed(20002));
  EXPECT_TRUE(feed(19990));
  EXPECT_EQ(20002u, stats.ExtendedHighestSequence());
}

TEST(RtpReceptionStatisticsTest, JitterFollowsTheRfcEstimator) {
  RtpReceptionStatistics stats;
  stats.Reset(1);
  // Transit alternates by +-d: the estimate approaches d (J += (|D| - J) / 16 with |D| = 2d
  // every step after the first gives 2d; here each step differs by 2*40 units).
  double reference = 0;
  int32_t previousTransit = 0;
  bool first = true;
  uint16_t sequence = 100;
  for (int i = 0; i < 400; ++i) {
    const uint32_t timestamp = 1000 + 160u * static_cast<uint32_t>(i);
    const int32_t transit = 5000 + ((i % 2) != 0 ? 40 : -40) + (i % 7);
    stats.OnPacket(sequence++, timestamp, timestamp + static_cast<uint32_t>(transit), 160);
    if (i >= 1) {  // the first packet is on probation and not counted
      if (!first) reference += (std::abs(transit - previousTransit) - reference) / 16.0;
      first = false;
    }
    previousTransit = transit;
  }
  EXPECT_NEAR(reference, stats.Jitter(), 1.0);
  EXPECT_GT(stats.Jitter(), 70u);

  // Constant transit: the estimate decays to 0.
  for (int i = 0; i < 400; ++i) {
    const uint32_t timestamp = 500000 + 160u * static_cast<uint32_t>(i);
    stats.OnPacket(sequence++, timestamp, timestamp + 9000, 160);
  }
  EXPECT_EQ(0u, stats.Jitter());
}

TEST(RtpReceptionStatisticsTest, RoundTripFromTheFarEndsReport) {
  // Our SR leaves at NTP t0; it takes 30 ms to the far end, which holds it 1.25 s and sends an
  // RR that takes 25 ms back: the round trip is 55 ms.
  auto ntp = [](double seconds) {
    const double whole = std::floor(seconds);
    return (static_cast<uint64_t>(whole) << 32) +
           static_cast<uint64_t>((seconds - whole) * 4294967296.0);
  };
  const uint64_t t0 = ntp(3900000000.0);
  RtpReceptionStatistics farEnd;
  farEnd.Reset(0xabc);
  farEnd.OnSenderReport(t0, ntp(1.0) + 7);  // the far end's own clock differs: only deltas count
  const RtcpReportBlock block = farEnd.MakeReportBlock(ntp(1.0) + 7 + ntp(1.25));
  EXPECT_EQ(NtpCompact(t0), block.lastSenderReport);
  const int64_t rtt = RoundTripFromReport(block, t0 + ntp(0.030 + 1.25 + 0.025));
  EXPECT_NEAR(0.055, rtt / 65536.0, 2.0 / 65536);

  RtcpReportBlock none;
  EXPECT_EQ(-1, RoundTripFromReport(none, t0));
}

TEST(RtcpIntervalTest, FloorSpreadAndScaling) {
  RtcpInterval interval(10000);  // 80 kbit/s of media: 500 bytes/s of RTCP
  const double compensation = std::exp(1.0) - 1.5;
  // Two members: far below the floor, so 5 s (2.5 s at first) spread by [0.5, 1.5].
  EXPECT_NEAR(5.0 * 0.5 / compensation, interval.Next(2, 1, true, false, 0.0), 1e-9);
  EXPECT_NEAR(5.0 * 1.5 / compensation, interval.Next(2, 1, true, false, 1.0), 1e-9);
  EXPECT_NEAR(2.5 / compensation, interval.Next(2, 1, true, true, 0.5), 1e-9);
  // A thousand receivers share 75 % of 500 bytes/s: 128 * 999 / 375 s.
  EXPECT_NEAR(128.0 * 999 / 375 / compensation, interval.Next(1000, 1, false, false, 0.5), 1e-6);
  // The average size follows the packets sent and received.
  for (int i = 0; i < 200; ++i) interval.OnPacketSize(256);
  EXPECT_NEAR(256.0, interval.AveragePacketSize(), 0.1);
}

}  // namespace
}  // namespace tarsio
