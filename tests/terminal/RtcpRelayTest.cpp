// The RTCP figures of a call, checked against a network whose behaviour the test itself decides.
//
// Terminal A sends to a relay (support/UdpRelay) instead of to B, and B to the relay instead of
// to A. The relay faces each terminal with a port pair of its own (RTP on P, RTCP on P + 1), learns
// where each terminal's packets come from and sends the other side's packets there. On the way it:
// - drops every twentieth of A's RTP packets (by sequence, counted from A's first packet) and
//   holds each kept one for 30 ms plus a seeded uniform 0..20 ms, so that they may overtake each
//   other; it logs each drop, and each forwarded packet's sequence, RTP timestamp and send time;
// - passes B's RTP on at once;
// - holds RTCP for a fixed 25 ms each way and logs each report with its arrival and send time.
// The loss, jitter and round-trip time the terminals then report are compared with figures the
// test computes from that log alone (RFC 3550: A.1 for the counting, A.3 for loss, A.8 for
// jitter, 6.4.1 for the round trip).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/HostLogWriter.h"
#include "platform/AudioBackendSelector.h"
#include "platform/NetworkAddress.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/UdpRelay.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio::testing {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr uint32_t kLoopback = 0x7f000001;
// Every kDropEvery-th of A's packets is dropped, from the packet kDropOffset on: the first few
// pass, so that the receiver's validation of a new source (RFC 3550 A.1) never meets a gap.
constexpr uint32_t kDropEvery = 20;
constexpr uint32_t kDropOffset = 10;
constexpr auto kMediaBaseDelay = 30ms;
constexpr uint32_t kMediaJitterMaxUs = 20000;
constexpr auto kRtcpDelay = 25ms;
constexpr uint32_t kJitterSeed = 20240611;

double Ms(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

template <typename Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit) {
  for (const auto end = SteadyClock::now() + limit; !cond();) {
    if (SteadyClock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// One report block of an RTCP SR or RR (RFC 3550 6.4).
struct ReportBlock {
  uint32_t ssrc = 0;
  uint8_t fractionLost = 0;
  int32_t cumulativeLost = 0;
  uint32_t highestSequence = 0;
  uint32_t jitter = 0;
  uint32_t lastSenderReport = 0;
  uint32_t delaySinceLastSenderReport = 0;
};

// What the test needs of a compound RTCP datagram: the first packet's sender report timestamp (in
// its compact form) and its block about `about`.
struct ParsedRtcp {
  bool senderReport = false;
  uint32_t compactNtp = 0;
  std::optional<ReportBlock> block;
};

ParsedRtcp ParseRtcp(const std::vector<uint8_t>& d, uint32_t about) {
  ParsedRtcp out;
  if (d.size() < 8 || (d[0] >> 6) != 2) return out;
  const uint8_t type = d[1];
  const size_t count = d[0] & 0x1f;
  const size_t length = (size_t{d[2]} << 8 | d[3]) * 4 + 4;
  if (length > d.size() || (type != 200 && type != 201)) return out;
  size_t offset = 8;
  if (type == 200) {
    if (length < 28) return out;
    out.senderReport = true;
    out.compactNtp = Read32(d.data() + 10);  // the middle 32 bits of the 64-bit NTP time
    offset = 28;
  }
  for (size_t i = 0; i < count && offset + 24 <= length; ++i, offset += 24) {
    const uint8_t* p = d.data() + offset;
    if (Read32(p) != about) continue;
    ReportBlock b;
    b.ssrc = Read32(p);
    b.fractionLost = p[4];
    const uint32_t lost = (uint32_t{p[5]} << 16) | (uint32_t{p[6]} << 8) | p[7];
    b.cumulativeLost = (lost & 0x800000) != 0 ? static_cast<int32_t>(lost) - 0x1000000
                                              : static_cast<int32_t>(lost);
    b.highestSequence = Read32(p + 8);
    b.jitter = Read32(p + 12);
    b.lastSenderReport = Read32(p + 16);
    b.delaySinceLastSenderReport = Read32(p + 20);
    out.block = b;
  }
  return out;
}

// ---- Figures computed from the relay's log alone ----

// The index from which a receiver counts A's stream (RFC 3550 A.1 with MIN_SEQUENTIAL 2): the
// second of the first two packets that arrive one after the other in sequence.
uint32_t CountingBase(const std::vector<UdpRelay::Forwarded>& forwarded) {
  for (size_t i = 1; i < forwarded.size(); ++i) {
    if (forwarded[i].index == forwarded[i - 1].index + 1) return forwarded[i].index;
  }
  return 0;
}

uint32_t DropsBetween(const std::vector<uint32_t>& dropped, uint32_t from, uint32_t to) {
  return static_cast<uint32_t>(std::count_if(dropped.begin(), dropped.end(),
                                             [&](uint32_t i) { return i >= from && i <= to; }));
}

// Packets below `highest` that the relay sent on after `highest` itself: a report written once
// `highest` had arrived may or may not have seen them.
uint32_t StragglersBehind(const std::vector<UdpRelay::Forwarded>& forwarded, uint32_t highest) {
  uint32_t count = 0;
  bool after = false;
  for (const UdpRelay::Forwarded& f : forwarded) {
    if (f.index == highest) after = true;
    if (after && f.index < highest) ++count;
  }
  return count;
}

// RFC 3550 A.8's interarrival jitter, in milliseconds, over the packets in the order the relay
// sent them to B, with B's arrival time taken as the relay's send time.
double JitterFromLogMs(const std::vector<UdpRelay::Forwarded>& forwarded) {
  double jitter = 0;
  for (size_t i = 1; i < forwarded.size(); ++i) {
    const auto transit = [](const UdpRelay::Forwarded& f) {
      return Ms(f.sentAt.time_since_epoch()) * 8.0 - static_cast<double>(f.rtpTimestamp);
    };
    const double d = transit(forwarded[i]) - transit(forwarded[i - 1]);
    jitter += (std::abs(d) - jitter) / 16.0;
  }
  return jitter / 8.0;
}

RtcpReport ReportOf(RTPInterfaceEx* ex) {
  RtcpReport r{};
  r.size = sizeof r;
  EXPECT_EQ(ex->GetRtcpReport(&r), 0);
  return r;
}

TEST(RtcpRelay, LossJitterAndRoundTripMatchTheRelaysOwnLog) {
  TempRegistry registry;
  TempDir dir;
  RecordingHostLog log;
  // A steady tone for longer than the call: every 20 ms of it is a packet.
  std::vector<int16_t> tone(8000 * 30);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<int16_t>(
        8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 8000));
  }
  const std::string mic =
      dir.Write("mic.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(tone)));
  std::string error;
  AudioBackendSelector::Install(AudioBackendSelector::Create("file:capture=" + mic, &error));
  ASSERT_TRUE(error.empty()) << error;

  UdpRelay relay(
      {kDropEvery, kDropOffset, kMediaBaseDelay, kMediaJitterMaxUs, kJitterSeed, kRtcpDelay});
  ASSERT_TRUE(relay.Open());
  const uint16_t portA = UdpRelay::FreePortPair();
  uint16_t portB = UdpRelay::FreePortPair(portA);
  ASSERT_NE(portA, 0);
  ASSERT_NE(portB, 0);

  RTPInterface* a = GetRTPInterface(&log);
  RTPInterface* b = GetRTPInterface(&log);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  struct Cleanup {
    RTPInterface* a;
    RTPInterface* b;
    UdpRelay* relay;
    ~Cleanup() {
      for (RTPInterface* t : {a, b}) {
        t->StopTX();
        t->StopRX();
      }
      relay->Stop();
      DestroyTerminal(a);
      DestroyTerminal(b);
      HostLogWriter::SetCurrent(nullptr);
      AudioBackendSelector::Install(nullptr);
    }
  } cleanup{a, b, &relay};
  RTPInterfaceEx* exA = GetRTPInterfaceEx(a);
  RTPInterfaceEx* exB = GetRTPInterfaceEx(b);
  for (RTPInterface* t : {a, b}) {
    // The low-latency receiver reads each datagram as it comes, so the arrival times the
    // statistics use are the relay's send times plus the loopback.
    static_cast<COrbeMediaTerm*>(t)->SetReceiveModeOverride(COrbeMediaTerm::kReceiveModeLowLatency);
  }
  ASSERT_EQ(a->SetDestination("127.0.0.1", relay.PortFacingA(), portA, -1), 0);
  ASSERT_EQ(b->SetDestination("127.0.0.1", relay.PortFacingB(), portB, -1), 0);
  ASSERT_EQ(exA->SetRtcp(kRtcpOwnPort, "alice@example.net"), 0);
  ASSERT_EQ(exB->SetRtcp(kRtcpOwnPort, "bob@example.net"), 0);
  relay.Start(NetworkAddress::IPv4(kLoopback, portA), NetworkAddress::IPv4(kLoopback, portB));
  // Both receive before either sends, so that every arrival is stamped as it comes.
  for (RTPInterface* t : {a, b}) ASSERT_EQ(t->StartRX(-1, 60), 0);
  for (RTPInterface* t : {a, b}) {
    t->SetMicrophoneVolume(-1, 100);
    ASSERT_EQ(t->StartTX(-1), 0);
  }
  const TimePoint started = SteadyClock::now();

  // At 64 kbit/s the reports come 1 to 3 s after the start, then every 2 to 6 s (RFC 3550 6.2's
  // 5 s floor, spread by 0.5..1.5 and divided by e - 3/2): ten seconds hold at least two of B's,
  // and one of them answers a sender report of A's.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const RtcpReport r = ReportOf(exA);
        return SteadyClock::now() - started >= 10s && r.reportsReceived >= 2 &&
               r.roundTripMs >= 0 && r.haveRemoteReport == 1;
      },
      16s))
      << "B's reports did not reach A";

  // ---- A's stream as B reports it, and the round trip, at A ----
  const RtcpReport ra = ReportOf(exA);
  UdpRelay::Log seen = relay.Snapshot();
  ASSERT_GE(seen.rtcpFromB.size(), ra.reportsReceived);
  EXPECT_EQ(ra.reportsMalformed, 0u);
  const uint32_t base = CountingBase(seen.forwardedToB);
  ASSERT_GE(base, 1u) << "no two of A's packets reached B in sequence";
  ASSERT_LT(base, kDropOffset) << "the relay's first packets came out of order for too long";
  // B's reports in the order A took them; the last one A took made its figures.
  std::vector<ParsedRtcp> fromB;
  for (size_t i = 0; i < ra.reportsReceived; ++i) {
    fromB.push_back(ParseRtcp(seen.rtcpFromB[i].bytes, seen.ssrcA));
  }
  const ParsedRtcp& last = fromB.back();
  ASSERT_TRUE(last.block.has_value()) << "B's last report says nothing of A's stream";
  // A shows what B's report carried.
  EXPECT_EQ(ra.remoteCumulativeLost, last.block->cumulativeLost);
  EXPECT_DOUBLE_EQ(ra.remoteFractionLost, last.block->fractionLost / 256.0);
  // What B's report carried is what the relay did to the packets up to its highest sequence:
  // those it dropped are lost, and so, perhaps, are those still behind that packet.
  const auto indexOf = [&](uint32_t extendedSequence) {
    return static_cast<uint32_t>(static_cast<uint16_t>(extendedSequence - seen.firstSequence));
  };
  const uint32_t highest = indexOf(last.block->highestSequence);
  const uint32_t dropsSoFar = DropsBetween(seen.dropped, base, highest);
  const uint32_t behind = StragglersBehind(seen.forwardedToB, highest);
  EXPECT_GE(last.block->cumulativeLost, static_cast<int32_t>(dropsSoFar));
  EXPECT_LE(last.block->cumulativeLost, static_cast<int32_t>(dropsSoFar + behind));
  const double trueRatio =
      static_cast<double>(seen.dropped.size()) / static_cast<double>(seen.receivedFromA);
  EXPECT_NEAR(last.block->cumulativeLost / static_cast<double>(highest - base + 1), trueRatio,
              0.01);
  // The fraction lost covers the packets since B's report before (or since the start): the
  // drops among them, give or take the stragglers at either end, over the sequence numbers.
  uint32_t previousHighest = base - 1;
  uint32_t previousBehind = 0;
  for (size_t i = fromB.size() - 1; i-- > 0;) {
    if (fromB[i].block) {
      previousHighest = indexOf(fromB[i].block->highestSequence);
      previousBehind = StragglersBehind(seen.forwardedToB, previousHighest);
      break;
    }
  }
  ASSERT_GT(highest, previousHighest);
  const uint32_t interval = highest - previousHighest;
  const uint32_t intervalDrops = DropsBetween(seen.dropped, previousHighest + 1, highest);
  const auto fraction = [interval](int64_t lost) {
    return lost <= 0 ? 0 : static_cast<int>(std::min<int64_t>(lost * 256 / interval, 255));
  };
  EXPECT_GE(last.block->fractionLost, fraction(int64_t{intervalDrops} - previousBehind));
  EXPECT_LE(last.block->fractionLost, fraction(int64_t{intervalDrops} + behind));

  // The round trip: A's sender report, held by the relay on its way to B, answered by B's report
  // (its hold at B taken out through DLSR), held again on its way back.
  size_t answer = fromB.size();
  for (size_t i = fromB.size(); i-- > 0;) {
    if (fromB[i].block && fromB[i].block->lastSenderReport != 0) {
      answer = i;
      break;
    }
  }
  ASSERT_LT(answer, fromB.size());
  const uint32_t lsr = fromB[answer].block->lastSenderReport;
  const auto question = std::find_if(seen.rtcpFromA.begin(), seen.rtcpFromA.end(), [&](auto& e) {
    const ParsedRtcp parsed = ParseRtcp(e.bytes, 0);
    return parsed.senderReport && parsed.compactNtp == lsr;
  });
  ASSERT_NE(question, seen.rtcpFromA.end()) << "B answered a sender report A never sent";
  const double held = Ms(question->sentAt - question->receivedAt) +
                      Ms(seen.rtcpFromB[answer].sentAt - seen.rtcpFromB[answer].receivedAt);
  // The relay holds each report 2 x 25 ms, and later only when a busy machine wakes its
  // scheduler late: the true round trip is what it held, which the log knows to the microsecond.
  EXPECT_GE(held, 2 * Ms(kRtcpDelay));
  EXPECT_LT(held, 2 * Ms(kRtcpDelay) + 30.0) << "the relay's scheduler ran far behind";
  // The terminals' clocks tick in whole milliseconds, DLSR comes in 1/65536 s, and the reports
  // pass a socket and a thread at each end: within 5 ms of what the relay held.
  EXPECT_NEAR(ra.roundTripMs, held, 5.0);

  // ---- A's stream as B received it, once A stops and the relay has sent everything on ----
  ASSERT_EQ(a->StopTX(), 0);
  std::this_thread::sleep_for(kMediaBaseDelay + 20ms + 200ms);
  const UdpRelay::Log all = relay.Snapshot();
  const RtcpReport rb = ReportOf(exB);
  ASSERT_GE(all.forwardedToB.size(), 100u);
  EXPECT_EQ(rb.packetsReceived, all.forwardedToB.size()) << "the loopback lost a packet";
  uint32_t top = 0;
  for (const UdpRelay::Forwarded& f : all.forwardedToB) top = std::max(top, f.index);
  const uint32_t drops = DropsBetween(all.dropped, base, top);
  const uint32_t expected = top - base + 1;
  const double ratio =
      static_cast<double>(all.dropped.size()) / static_cast<double>(all.receivedFromA);
  EXPECT_EQ(rb.cumulativeLost, int64_t{drops});
  // Lost over expected (RFC 3550 A.3), not over received: 5 % of the expected packets is 5.3 % of
  // the received ones.
  EXPECT_NEAR(rb.callFractionLost, static_cast<double>(drops) / expected, 1e-9);
  EXPECT_NEAR(rb.callFractionLost, ratio, 0.01);
  // B's jitter against A.8's estimate from the relay's send times: the loopback and B's receive
  // thread add a little of their own, and B's clock ticks in milliseconds.
  const double jitter = JitterFromLogMs(all.forwardedToB);
  EXPECT_GT(jitter, 4.0) << "the relay's 0..20 ms spread gives about 6.7 ms";
  EXPECT_LT(jitter, 10.0);
  EXPECT_NEAR(rb.jitterMs, jitter, 0.2 * jitter);

  std::printf(
      "relay: A sent %u, dropped %zu (%.2f %%), forwarded %zu (highest index %u, counted from %u); "
      "late by up to %.2f ms\n"
      "B: received %llu, lost %lld, call fraction %.4f %%, jitter %.3f ms (log: %.3f ms)\n"
      "A: B's report %u: lost %d (log: %u..%u), fraction %.4f (interval %u, drops %u), "
      "round trip %.3f ms (relay held %.3f ms, 2D %.1f ms)\n",
      all.receivedFromA, all.dropped.size(), 100 * ratio, all.forwardedToB.size(), top, base,
      all.latestMs, static_cast<unsigned long long>(rb.packetsReceived),
      static_cast<long long>(rb.cumulativeLost), 100 * rb.callFractionLost, rb.jitterMs, jitter,
      static_cast<unsigned>(ra.reportsReceived), ra.remoteCumulativeLost, dropsSoFar,
      dropsSoFar + behind, ra.remoteFractionLost, interval, intervalDrops, ra.roundTripMs, held,
      2 * Ms(kRtcpDelay));
}

}  // namespace
}  // namespace tarsio::testing
