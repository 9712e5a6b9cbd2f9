// The transmitter over real loopback UDP: bytes on the wire, stream clock and marker rules,
// comfort noise, settings written for other programs, socket rebuilding and the send-failure
// report.
#include "rtp/RTPAudioSink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "framework/Registry.h"
#include "framework/TrafficTotals.h"
#include "rtp/RTPRandom.h"
#include "rtp/RtpTestUtil.h"
#include "support/FakeClock.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"

namespace tarsio {
namespace {

using testing::MakeSample;
using testing::ReadDatagram;

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

std::string RegString(const char* name) {
  return RegGetString(HKEY_CURRENT_USER, kKey, name, "<missing>");
}
uint32_t RegDword(const char* name) { return RegGetDWORD(HKEY_CURRENT_USER, kKey, name, 77777); }

uint16_t Seq(const std::vector<uint8_t>& d) { return static_cast<uint16_t>(d[2] << 8 | d[3]); }
uint32_t Ts(const std::vector<uint8_t>& d) {
  return static_cast<uint32_t>(d[4]) << 24 | d[5] << 16 | d[6] << 8 | d[7];
}

class RTPAudioSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver = UdpSocket::Create();
    ASSERT_EQ(receiver->Bind(INADDR_LOOPBACK, 0), 0);
    ASSERT_EQ(receiver->GetLocalPort(&receiverPort), 0);
  }

  /// Renders one sample and releases the test's reference.
  void Render(AudioSample* sample) {
    AudioSampleList list{{sample, nullptr}};
    EXPECT_EQ(sink.RenderAudioSamples(list), 0);
    sample->Release(nullptr);
  }

  testing::TempRegistry registry;
  testing::RecordingHostLog log;
  testing::ScopedHostLog scopedLog{&log};
  testing::FakeClock clock{0x1234567};
  ScopedClock scopedClock{clock};
  std::shared_ptr<UdpSocket> receiver;
  uint16_t receiverPort = 0;
  RTPAudioSink sink;
};

TEST_F(RTPAudioSinkTest, PacketsOnTheWireFollowTheStreamRules) {
  // The expected stream start: the generator seeded with the tick count at start.
  RTPRandom random(TickCount());
  const uint32_t ssrc = random.Next();
  const uint32_t t0 = random.Next();
  const uint16_t s0 = static_cast<uint16_t>(random.Next());

  ASSERT_EQ(sink.SetDestination("127.0.0.1", receiverPort), 0);
  ASSERT_EQ(sink.StartSink(), 0);
  const int64_t sentBefore = TrafficTotals::sentBytes.load();
  EXPECT_EQ(RegString("DestinationAddress"), "127.0.0.1");
  EXPECT_EQ(RegDword("DestinationPort"), receiverPort);
  uint16_t transmitPort = 0;
  ASSERT_EQ(sink.GetRtpSocket()->GetLocalPort(&transmitPort), 0);
  EXPECT_EQ(RegDword("TransmitPort"), transmitPort);

  // Three 20 ms µ-law frames: 172-byte packets, marker only on the first.
  for (int k = 0; k < 3; ++k) {
    Render(MakeSample(0, std::vector<uint8_t>(160, static_cast<uint8_t>(0x10 + k))));
  }
  std::vector<std::vector<uint8_t>> voice;
  for (int k = 0; k < 3; ++k) voice.push_back(ReadDatagram(*receiver));
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    std::vector<uint8_t> expected(172, static_cast<uint8_t>(0x10 + k));
    WriteRTPHeader(expected.data(), 0, k == 0, static_cast<uint16_t>(s0 + 1 + k),
                   t0 + 160u * (k + 1), ssrc);
    EXPECT_EQ(voice[k], expected);
  }
  EXPECT_EQ(voice[0][1], 0x80);  // marker, payload type 0
  EXPECT_EQ(RegString("RTPTransmitCodec"), "G.711 ULaw");

  // Three silent frames: one comfort-noise packet, then nothing (and one log entry each).
  for (int k = 0; k < 3; ++k) Render(MakeSample(0, {}, 20));
  const std::vector<uint8_t> cn = ReadDatagram(*receiver);
  const std::vector<uint8_t> expectedCn = {0x80,
                                           13,
                                           static_cast<uint8_t>((s0 + 4) >> 8),
                                           static_cast<uint8_t>(s0 + 4),
                                           static_cast<uint8_t>((t0 + 640) >> 24),
                                           static_cast<uint8_t>((t0 + 640) >> 16),
                                           static_cast<uint8_t>((t0 + 640) >> 8),
                                           static_cast<uint8_t>(t0 + 640),
                                           static_cast<uint8_t>(ssrc >> 24),
                                           static_cast<uint8_t>(ssrc >> 16),
                                           static_cast<uint8_t>(ssrc >> 8),
                                           static_cast<uint8_t>(ssrc),
                                           0x64,
                                           0x00,
                                           0x00,
                                           0x00};
  EXPECT_EQ(cn, expectedCn);
  EXPECT_TRUE(ReadDatagram(*receiver, 30).empty());

  // Voice again: marker set, sequence 3 above the comfort noise, timestamp 640 above the last
  // voice packet.
  Render(MakeSample(0, std::vector<uint8_t>(160, 0x33)));
  const std::vector<uint8_t> back = ReadDatagram(*receiver);
  ASSERT_EQ(back.size(), 172u);
  EXPECT_EQ(back[1], 0x80);
  EXPECT_EQ(Seq(back), static_cast<uint16_t>(Seq(cn) + 3));
  EXPECT_EQ(Ts(back), Ts(voice[2]) + 640);

  // A G.723 high-rate frame of 24 bytes: payload type 4, 30 ms step, its name recorded.
  Render(MakeSample(4, std::vector<uint8_t>(24, 0x44)));
  const std::vector<uint8_t> g723 = ReadDatagram(*receiver);
  ASSERT_EQ(g723.size(), 36u);
  EXPECT_EQ(g723[1], 4);
  EXPECT_EQ(Ts(g723), Ts(back) + 240);
  EXPECT_EQ(RegString("RTPTransmitCodec"), "G.723 6.4kbps");

  // An empty cycle or a null sample changes nothing.
  AudioSampleList empty;
  EXPECT_EQ(sink.RenderAudioSamples(empty), 0);
  AudioSampleList nullSample{{nullptr, nullptr}};
  EXPECT_EQ(sink.RenderAudioSamples(nullSample), 0);
  Render(MakeSample(1, std::vector<uint8_t>(160, 0x55)));
  const std::vector<uint8_t> alaw = ReadDatagram(*receiver);
  ASSERT_EQ(alaw.size(), 172u);
  EXPECT_EQ(alaw[1], 8);
  EXPECT_EQ(Seq(alaw), static_cast<uint16_t>(Seq(g723) + 1));
  EXPECT_EQ(Ts(alaw), Ts(g723) + 160);
  EXPECT_TRUE(log.Contains("RTPAudioSink::RenderAudioSamples: !sample"));

  EXPECT_EQ(TrafficTotals::sentBytes.load() - sentBefore, 3 * 172 + 16 + 172 + 36 + 172);
  int transmitPacketEntries = 0;
  for (const std::string& e : log.Entries()) {
    transmitPacketEntries += e == "RTPAudioSink::RenderAudioSamples: !transmitPacket" ? 1 : 0;
  }
  EXPECT_EQ(transmitPacketEntries, 2);

  // Stopping clears the published values and closes the socket: nothing is sent any more.
  ASSERT_EQ(sink.StopSink(), 0);
  EXPECT_EQ(RegString("DestinationAddress"), "");
  EXPECT_EQ(RegDword("DestinationPort"), 0u);
  EXPECT_EQ(RegString("RTPTransmitCodec"), "");
  EXPECT_EQ(sink.GetRtpSocket(), nullptr);
  Render(MakeSample(0, std::vector<uint8_t>(160, 0x66)));
  EXPECT_TRUE(ReadDatagram(*receiver, 30).empty());
}

TEST_F(RTPAudioSinkTest, SilenceRightAfterStartSendsNothingAndSameTickGivesSameStream) {
  ASSERT_EQ(sink.SetDestination("127.0.0.1", receiverPort), 0);
  ASSERT_EQ(sink.StartSink(), 0);
  Render(MakeSample(0, {}, 20));
  Render(MakeSample(0, {}, 20));
  EXPECT_TRUE(ReadDatagram(*receiver, 30).empty());
  EXPECT_EQ(log.Entries(),
            (std::vector<std::string>{"RTPAudioSink::RenderAudioSamples: !transmitPacket",
                                      "RTPAudioSink::RenderAudioSamples: !transmitPacket"}));

  // A second transmitter started in the same millisecond draws the same SSRC and start values.
  RTPAudioSink other;
  other.SetDestination("127.0.0.1", receiverPort);
  ASSERT_EQ(other.StartSink(), 0);
  Render(MakeSample(0, std::vector<uint8_t>(160, 1)));
  AudioSample* s = MakeSample(0, std::vector<uint8_t>(160, 1));
  AudioSampleList list{{s, nullptr}};
  other.RenderAudioSamples(list);
  s->Release(nullptr);
  std::vector<uint8_t> a = ReadDatagram(*receiver);
  std::vector<uint8_t> b = ReadDatagram(*receiver);
  ASSERT_EQ(a.size(), 172u);
  // The first transmitter has advanced by the two silent frames.
  EXPECT_EQ(std::vector<uint8_t>(a.begin() + 8, a.begin() + 12),
            std::vector<uint8_t>(b.begin() + 8, b.begin() + 12));
  EXPECT_EQ(Seq(a), static_cast<uint16_t>(Seq(b) + 2));
  EXPECT_EQ(Ts(a), Ts(b) + 320);
  EXPECT_EQ(other.StopSink(), 0);
  EXPECT_EQ(sink.StopSink(), 0);
  EXPECT_EQ(sink.StopSink(), 0);  // idle: no hook, 0
}

TEST_F(RTPAudioSinkTest, SendFailureIsReportedOncePerRun) {
  // Text that is no address gives 255.255.255.255; sending there without SO_BROADCAST is refused.
  ASSERT_EQ(sink.SetDestination("no.such.address", receiverPort), 0);
  ASSERT_EQ(sink.StartSink(), 0);
  for (int k = 0; k < 3; ++k) Render(MakeSample(0, std::vector<uint8_t>(160, 1)));
  const std::vector<std::string> report = {"RTPAudioSink::RenderAudioSamples: !sendto",
                                           "\tWSAGetLastError =10013", "\tip =255.255.255.255",
                                           "\tport =" + std::to_string(receiverPort)};
  EXPECT_EQ(log.Entries(), report);
  EXPECT_TRUE(RTPAudioSink::SendFailureReported());

  // A success clears the flag; the next failure is reported again.
  sink.SetDestination("127.0.0.1", receiverPort);
  Render(MakeSample(0, std::vector<uint8_t>(160, 2)));
  EXPECT_EQ(ReadDatagram(*receiver).size(), 172u);
  EXPECT_FALSE(RTPAudioSink::SendFailureReported());
  sink.SetDestination("999.1.1.1", receiverPort);
  Render(MakeSample(0, std::vector<uint8_t>(160, 3)));
  EXPECT_EQ(log.Entries().size(), 8u);
  sink.StopSink();
}

TEST_F(RTPAudioSinkTest, LocalPortAndTypeOfService) {
  // TOS before any socket: stored, 0, applied at creation as one byte.
  EXPECT_EQ(sink.SetTOS(0xB8), 0);
  EXPECT_EQ(sink.SetLocalPort(0), 0);  // same port: nothing happens
  sink.SetDestination("127.0.0.1", receiverPort);
  std::shared_ptr<UdpSocket> first = sink.GetRtpSocket();
  ASSERT_NE(first, nullptr);
  int tos = 0;
  socklen_t len = sizeof(tos);
  ASSERT_EQ(getsockopt(first->Fd(), IPPROTO_IP, IP_TOS, &tos, &len), 0);
  EXPECT_EQ(tos, 0xB8);
  EXPECT_EQ(sink.SetTOS(0x28), 0);
  ASSERT_EQ(getsockopt(first->Fd(), IPPROTO_IP, IP_TOS, &tos, &len), 0);
  EXPECT_EQ(tos, 0x28);

  // A new local port rebuilds the socket on that port and republishes it; the old one is closed.
  auto probe = UdpSocket::Create();
  ASSERT_EQ(probe->Bind(0, 0), 0);
  uint16_t freePort = 0;
  probe->GetLocalPort(&freePort);
  probe->Close();
  EXPECT_EQ(sink.SetLocalPort(freePort), 0);
  std::shared_ptr<UdpSocket> second = sink.GetRtpSocket();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_FALSE(first->IsOpen());
  uint16_t bound = 0;
  ASSERT_EQ(second->GetLocalPort(&bound), 0);
  EXPECT_EQ(bound, freePort);
  EXPECT_EQ(RegDword("TransmitPort"), freePort);
  EXPECT_EQ(sink.SetLocalPort(freePort), 0);
  EXPECT_EQ(sink.GetRtpSocket(), second);

  // The destination survives the rebuild.
  ASSERT_EQ(sink.StartSink(), 0);
  Render(MakeSample(0, std::vector<uint8_t>(160, 9)));
  EXPECT_EQ(ReadDatagram(*receiver).size(), 172u);
  sink.StopSink();
}

}  // namespace
}  // namespace tarsio
