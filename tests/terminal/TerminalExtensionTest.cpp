// The extension interface through a real terminal: a call over IPv6 loopback (the terminal sends
// to its own port), encrypted with SRTP, carrying DTMF digits that come back as events and never
// as sound; and a host that never touches the extension sending the classic bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "framework/HostLogWriter.h"
#include "platform/AudioBackendSelector.h"
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

}  // namespace
}  // namespace tarsio::testing
