// Symmetric RTP through a NAT, with two real terminals.
//
// Terminal A reaches terminal B only through a relay (support/UdpRelay) that forwards A's packets
// to B from a port of its own, as a NAT rewrites the source port, and forwards to A whatever
// reaches that port. B was given a destination where A is not (a port the test holds: the
// address the signalling got wrong) and has symmetric RTP on, so B's speech reaches A only once
// B has latched onto the relay's port. A is a classic terminal that never touches the extension.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "framework/HostLogWriter.h"
#include "platform/AudioBackendSelector.h"
#include "platform/NetworkAddress.h"
#include "rtp/SymmetricRtpLatch.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/UdpCapture.h"
#include "support/UdpRelay.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio::testing {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kLoopback = 0x7f000001;
// Frames of 20 ms each end must hear in a stretch of the call (a second holds 50).
constexpr uint64_t kFramesPerStretch = 25;

template <typename Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = 10s) {
  for (const auto end = std::chrono::steady_clock::now() + limit; !cond();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A µ-law RTP packet of 20 ms of silence.
std::vector<uint8_t> RtpPacket(uint32_t ssrc, uint16_t sequence, uint32_t timestamp) {
  std::vector<uint8_t> p(12 + 160, 0xFF);
  p[0] = 0x80;
  p[1] = 0;
  p[2] = static_cast<uint8_t>(sequence >> 8);
  p[3] = static_cast<uint8_t>(sequence);
  for (int i = 0; i < 4; ++i) {
    p[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    p[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  }
  return p;
}

// Frames the terminal's jitter buffer played as received audio (the low-latency receiver).
uint64_t FramesHeard(RTPInterface* t) {
  return static_cast<COrbeMediaTerm*>(t)->GetReceiveReport().framesPlayed;
}

TEST(SymmetricRtpNat, BLatchesOntoTheNatsPortAndASpoofedPacketDoesNotMoveIt) {
  TempRegistry registry;
  TempDir dir;
  RecordingHostLog log;
  std::vector<int16_t> tone(8000 * 20);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<int16_t>(
        8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 8000));
  }
  const std::string mic =
      dir.Write("mic.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(tone)));
  std::string error;
  AudioBackendSelector::Install(AudioBackendSelector::Create("file:capture=" + mic, &error));
  ASSERT_TRUE(error.empty()) << error;

  UdpRelay relay;
  ASSERT_TRUE(relay.Open());
  UdpCapture signalled;  // where B was told A is
  UdpCapture spoofer;
  ASSERT_NE(signalled.Port(), 0);
  ASSERT_NE(spoofer.Port(), 0);
  const uint16_t portA = UdpRelay::FreePortPair();
  const uint16_t portB = UdpRelay::FreePortPair(portA);
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
  for (RTPInterface* t : {a, b}) {
    // The low-latency receiver counts the frames it plays.
    static_cast<COrbeMediaTerm*>(t)->SetReceiveModeOverride(COrbeMediaTerm::kReceiveModeLowLatency);
  }
  ASSERT_EQ(a->SetDestination("127.0.0.1", relay.PortFacingA(), portA, -1), 0);
  ASSERT_EQ(b->SetDestination("127.0.0.1", signalled.Port(), portB, -1), 0);
  ASSERT_EQ(GetRTPInterfaceEx(b)->SetSymmetricRtp(1), 0);
  relay.Start(NetworkAddress::IPv4(kLoopback, portA), NetworkAddress::IPv4(kLoopback, portB));
  for (RTPInterface* t : {a, b}) {
    t->SetMicrophoneVolume(-1, 100);
    ASSERT_EQ(t->StartRX(-1, 60), 0);
  }

  // B speaks first: having heard nothing, it sends where it was told.
  ASSERT_EQ(b->StartTX(-1), 0);
  const std::vector<UdpCapture::Datagram> early = signalled.Receive(5, 10s);
  ASSERT_GE(early.size(), 5u) << "B sends nothing to its signalled destination";
  for (const UdpCapture::Datagram& d : early) EXPECT_EQ(d.from.Port(), portB);
  EXPECT_EQ(relay.Snapshot().forwardedToA, 0u);

  // A speaks through the NAT: B hears it from the relay's port and answers there.
  ASSERT_EQ(a->StartTX(-1), 0);
  ASSERT_TRUE(WaitUntil([&] { return relay.Snapshot().forwardedToA >= 1; }))
      << "B never sent to the relay's port";
  // Loopback delivers as it sends: whatever B sent before it latched is here now.
  const size_t beforeLatch = early.size() + signalled.Drain().size();

  // What each end has heard so far, and how many of B's packets the relay passed to A.
  struct Heard {
    uint64_t byA;
    uint64_t byB;
    uint32_t relayedToA;
    std::chrono::steady_clock::time_point at;
  };
  const auto heard = [&] {
    return Heard{FramesHeard(a), FramesHeard(b), relay.Snapshot().forwardedToA,
                 std::chrono::steady_clock::now()};
  };
  // A second of the call, and as long after it as both ends take to hear kFramesPerStretch more
  // frames with B sending as many through the relay (false when that takes over 10 s).
  const auto stretch = [&](const Heard& from) {
    return WaitUntil([&] {
      const Heard now = heard();
      return now.at - from.at >= 1s && now.byA >= from.byA + kFramesPerStretch &&
             now.byB >= from.byB + kFramesPerStretch &&
             now.relayedToA >= from.relayedToA + kFramesPerStretch;
    });
  };
  const auto describe = [](const Heard& from, const Heard& to) {
    char text[160];
    std::snprintf(
        text, sizeof text, "in %.2f s A heard %llu frames, B %llu; B sent %u via the relay",
        std::chrono::duration<double>(to.at - from.at).count(),
        static_cast<unsigned long long>(to.byA - from.byA),
        static_cast<unsigned long long>(to.byB - from.byB), to.relayedToA - from.relayedToA);
    return std::string(text);
  };

  // Speech both ways.
  const Heard latched = heard();
  EXPECT_TRUE(stretch(latched)) << describe(latched, heard());
  EXPECT_TRUE(signalled.Drain().empty()) << "B went back to the signalled destination";

  // One packet from another port, as plausible as it gets: A's SSRC, the next sequence number
  // and timestamp. B keeps sending to the relay, and speech keeps flowing both ways.
  const Heard beforeSpoof = heard();
  const UdpRelay::Log seen = relay.Snapshot();
  ASSERT_FALSE(seen.forwardedToB.empty());
  const UdpRelay::Forwarded& last = seen.forwardedToB.back();
  const uint16_t nextSequence = static_cast<uint16_t>(seen.firstSequence + last.index + 1);
  const uint32_t nextTimestamp = last.rtpTimestamp + 160;
  ASSERT_GT(spoofer.SendTo(RtpPacket(seen.ssrcA, nextSequence, nextTimestamp), portB), 0);
  EXPECT_TRUE(stretch(beforeSpoof)) << describe(beforeSpoof, heard());
  EXPECT_TRUE(spoofer.Drain().empty()) << "a single spoofed packet moved B's latch";
  EXPECT_TRUE(signalled.Drain().empty());
  const Heard afterSpoof = heard();

  // The spoofer's packets do reach B's latch: once A falls silent, as many in a row as a source
  // needs to prove itself take B's stream away from the relay.
  ASSERT_EQ(a->StopTX(), 0);
  std::this_thread::sleep_for(100ms);
  for (int i = 1; i <= SymmetricRtpLatch::kPacketsToLatch; ++i) {
    spoofer.SendTo(RtpPacket(seen.ssrcA, static_cast<uint16_t>(nextSequence + 100 + i),
                             nextTimestamp + 160u * (100 + i)),
                   portB);
    std::this_thread::sleep_for(20ms);
  }
  const std::vector<UdpCapture::Datagram> taken = spoofer.Receive(5, 10s);
  EXPECT_GE(taken.size(), 5u) << "B did not follow a source that proved itself";
  for (const UdpCapture::Datagram& d : taken) EXPECT_EQ(d.from.Port(), portB);
  const uint32_t relayedWhenMoved = relay.Snapshot().forwardedToA;
  EXPECT_GE(spoofer.Receive(5, 10s).size(), 5u);
  EXPECT_EQ(relay.Snapshot().forwardedToA, relayedWhenMoved) << "B still sends to the relay too";

  std::printf(
      "B sent %zu packets to its signalled destination before it latched. Latched: %s. After the "
      "spoofed packet: %s. %zu of B's packets reached the spoofer once it proved itself.\n",
      beforeLatch, describe(latched, beforeSpoof).c_str(),
      describe(beforeSpoof, afterSpoof).c_str(), taken.size());
}

}  // namespace
}  // namespace tarsio::testing
