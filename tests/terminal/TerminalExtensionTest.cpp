// The extension interface through a real terminal: a call over IPv6 loopback (the terminal sends
// to its own port), encrypted with SRTP, carrying DTMF digits that come back as events and never
// as sound; a wrong key; RTCP reports both ways and the RTP timeout. (ClassicWireTest checks the
// bytes of a host that never turns an extension on.)
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "framework/HostLogWriter.h"
#include "platform/AudioBackendSelector.h"
#include "platform/HostEvent.h"
#include "platform/NetworkAddress.h"
#include "platform/UdpSocket.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSuite = "AES_CM_128_HMAC_SHA1_80";
constexpr const char* kKey = "inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";

// A port nobody uses now, on both families.
int FreePort() {
  auto probe = UdpSocket::Create(NetworkAddress::Family::kIPv6);
  uint16_t port = 0;
  if (!probe || probe->Bind(NetworkAddress::AnyIPv6(0)) != 0 || probe->GetLocalPort(&port) != 0) {
    return 0;
  }
  return port;
}

template <typename Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = 10s) {
  for (const auto end = std::chrono::steady_clock::now() + limit; !cond();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class TerminalExtension : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<int16_t> tone(8000 * 10);
    for (size_t i = 0; i < tone.size(); ++i) {
      tone[i] = static_cast<int16_t>(
          8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 8000));
    }
    const std::string mic =
        dir.Write("mic.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(tone)));
    std::string error;
    AudioBackendSelector::Install(AudioBackendSelector::Create(
        "file:capture=" + mic + ",playback=" + dir.Path() + "/out.wav", &error));
    ASSERT_TRUE(error.empty()) << error;
  }
  void TearDown() override {
    DestroyTerminal(term);
    HostLogWriter::SetCurrent(nullptr);
    AudioBackendSelector::Install(nullptr);
  }

  TempRegistry registry;
  TempDir dir;
  RecordingHostLog log;
  RTPInterface* term = nullptr;
};

TEST_F(TerminalExtension, AnSrtpCallOverIpv6CarriesSpeechAndDigits) {
  term = GetRTPInterface(&log);
  ASSERT_NE(term, nullptr);
  // The low-latency receive mode counts the packets that reach its jitter buffer.
  static_cast<COrbeMediaTerm*>(term)->SetReceiveModeOverride(
      COrbeMediaTerm::kReceiveModeLowLatency);
  RTPInterfaceEx* ex = GetRTPInterfaceEx(term);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(GetRTPInterfaceEx(nullptr), nullptr);
  const int port = FreePort();
  ASSERT_NE(port, 0);

  EXPECT_EQ(ex->SetDestinationEx("no.such.host.invalid", port, "::", port, -1), -10);
  EXPECT_EQ(ex->SetDestinationEx("::1", port, "not-an-address", port, -1), -20);
  ASSERT_EQ(ex->SetDestinationEx("::1", port, "::", port, -1), 0);
  // The terminal talks to itself, so one key serves both directions.
  EXPECT_EQ(ex->SetSrtp("AES_CM_128_HMAC_SHA1_99", kKey, kKey), -10);
  ASSERT_EQ(ex->SetSrtp(kSuite, kKey, kKey), 0);
  EXPECT_EQ(ex->SetTelephoneEventPayloadType(13), -10);
  ASSERT_EQ(ex->SetTelephoneEventPayloadType(101), 0);
  EXPECT_EQ(ex->SendDigits("1", 100), -20) << "nothing is transmitted yet";
  term->SetMicrophoneVolume(-1, 100);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);

  auto* terminal = static_cast<COrbeMediaTerm*>(term);
  ASSERT_TRUE(WaitUntil([&] { return terminal->ReceivedPacketCount() >= 25; }))
      << "speech over ::1 with SRTP";
  EXPECT_EQ(ex->SendDigits("9x", 100), -10);
  ASSERT_EQ(ex->SendDigits("7#", 100), 0);
  std::string digits;
  char digit = 0;
  uint32_t durationMs = 0;
  ASSERT_TRUE(WaitUntil([&] {
    while (ex->GetTelephoneEvent(&digit, &durationMs) == 1) {
      digits += digit;
      EXPECT_EQ(durationMs, 100u);
    }
    return digits.size() >= 2;
  }));
  EXPECT_EQ(digits, "7#");
  EXPECT_EQ(ex->GetTelephoneEvent(&digit, nullptr), -10);
  EXPECT_EQ(ex->GetTelephoneEvent(&digit, &durationMs), 0);
  const uint64_t before = terminal->ReceivedPacketCount();
  ASSERT_TRUE(WaitUntil([&] { return terminal->ReceivedPacketCount() >= before + 10; }))
      << "speech resumes after the digits";
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
  HostLogWriter::WritePending(1000);
  EXPECT_TRUE(log.Contains("MediaExtensions::OnReceived: telephone event 7, ms=100"));
  for (const std::string& entry : log.Entries()) {
    EXPECT_EQ(entry.find("AAECAwQF"), std::string::npos) << "key material in the log: " << entry;
  }
}

TEST_F(TerminalExtension, AWrongFarEndKeyPlaysNothing) {
  term = GetRTPInterface(&log);
  static_cast<COrbeMediaTerm*>(term)->SetReceiveModeOverride(
      COrbeMediaTerm::kReceiveModeLowLatency);
  RTPInterfaceEx* ex = GetRTPInterfaceEx(term);
  const int port = FreePort();
  ASSERT_EQ(ex->SetDestinationEx("127.0.0.1", port, "0.0.0.0", port, -1), 0);
  // Our packets are protected with one key and checked with another: every one is refused.
  ASSERT_EQ(ex->SetSrtp(kSuite, kKey, "inline:HRwbGhkYFxYVFBMSERAPDg0MCwoJCAcGBQQDAgEA"), 0);
  term->SetMicrophoneVolume(-1, 100);
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(static_cast<COrbeMediaTerm*>(term)->ReceivedPacketCount(), 0u);
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
}

// Two terminals calling each other with RTCP, on its own port and multiplexed: each learns the
// other's CNAME and the round-trip time from the reports, a stopped far end says BYE, and its
// silence fires the RTP timeout.
TEST_F(TerminalExtension, RtcpReportsFlowBothWaysAndAStoppedFarEndTimesOut) {
  for (const int32_t mode : {kRtcpOwnPort, kRtcpMultiplexed}) {
    SCOPED_TRACE(mode == kRtcpOwnPort ? "own port" : "multiplexed");
    RTPInterface* a = GetRTPInterface(&log);
    RTPInterface* b = GetRTPInterface(&log);
    RTPInterfaceEx* exA = GetRTPInterfaceEx(a);
    RTPInterfaceEx* exB = GetRTPInterfaceEx(b);
    // Multiplexed RTCP waits in the RTP socket behind the packets the classic receiver holds back
    // for reordering; the low-latency receiver reads each datagram as it comes.
    for (RTPInterface* t : {a, b}) {
      static_cast<COrbeMediaTerm*>(t)->SetReceiveModeOverride(
          COrbeMediaTerm::kReceiveModeLowLatency);
    }
    int portA = FreePort();
    int portB = FreePort();
    while (portB == portA || portB == portA + 1 || portA == portB + 1) portB = FreePort();
    ASSERT_EQ(a->SetDestination("127.0.0.1", portB, portA, -1), 0);
    ASSERT_EQ(b->SetDestination("127.0.0.1", portA, portB, -1), 0);
    EXPECT_EQ(exA->SetRtcp(7, "x"), -10);
    ASSERT_EQ(exA->SetRtcp(mode, "alice@example.net"), 0);
    ASSERT_EQ(exB->SetRtcp(mode, "bob@example.net"), 0);
    HostEvent timeout;
    ASSERT_EQ(exB->SetRtpTimeout(1500, static_cast<EventHandle>(timeout.Handle())), 0);
    RtcpReport report{};
    report.size = sizeof report;
    EXPECT_EQ(exA->GetRtcpReport(&report), -20) << "no RTCP before the call";
    for (RTPInterface* t : {a, b}) {
      t->SetMicrophoneVolume(-1, 100);
      ASSERT_EQ(t->StartRX(-1, 60), 0);
      ASSERT_EQ(t->StartTX(-1), 0);
    }
    const auto reportOf = [](RTPInterfaceEx* ex) {
      RtcpReport r{};
      r.size = sizeof r;
      EXPECT_EQ(ex->GetRtcpReport(&r), 0);
      return r;
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
          const RtcpReport ra = reportOf(exA);
          const RtcpReport rb = reportOf(exB);
          return ra.reportsReceived >= 1 && rb.reportsReceived >= 1 && ra.roundTripMs >= 0 &&
                 rb.roundTripMs >= 0;
        },
        20s));
    const RtcpReport ra = reportOf(exA);
    EXPECT_STREQ(ra.remoteCname, "bob@example.net");
    EXPECT_EQ(reportOf(exB).remoteCname, std::string("alice@example.net"));
    EXPECT_GT(ra.packetsSent, 50u);
    EXPECT_GT(ra.packetsReceived, 50u);
    EXPECT_LT(ra.roundTripMs, 100.0) << "loopback";
    EXPECT_EQ(ra.haveRemoteReport, 1);
    EXPECT_EQ(ra.reportsMalformed, 0u);
    // A host built with a shorter report gets only what fits.
    RtcpReport shortReport{};
    std::memset(&shortReport, 0x55, sizeof shortReport);
    shortReport.size = 16;
    ASSERT_EQ(exA->GetRtcpReport(&shortReport), 0);
    EXPECT_EQ(shortReport.size, 16u);
    EXPECT_EQ(shortReport.octetsSent, 0x5555555555555555u) << "written beyond the given size";

    // A stops: B hears its BYE, then nothing, and B's timeout fires after 1.5 s of silence. (A
    // slow, sanitized machine can stall a start or a stop for longer than that, so the event is
    // cleared first and no order of the BYE and the timeout is required;
    // tests/rtp/RtcpChannelTest.cpp checks on a fake clock that the timeout stays quiet while the
    // far end is heard.)
    timeout.ResetEvent();
    EXPECT_EQ(a->StopTX(), 0);
    EXPECT_EQ(a->StopRX(), 0);
    ASSERT_TRUE(WaitUntil([&] { return reportOf(exB).byeReceived == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return timeout.IsSet(); }));
    EXPECT_EQ(reportOf(exB).timedOut, 1);
    EXPECT_EQ(b->StopTX(), 0);
    EXPECT_EQ(b->StopRX(), 0);
    HostLogWriter::WritePending(1000);
    bool logged = false;
    for (const std::string& e : log.Entries()) logged |= e.find("RTP timeout") != std::string::npos;
    EXPECT_TRUE(logged);
    DestroyTerminal(a);
    DestroyTerminal(b);
  }
}

}  // namespace
}  // namespace tarsio::testing
