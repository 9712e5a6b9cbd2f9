// Transmitter and receiver over real loopback UDP: two phones each sending from and receiving on
// one socket, an oversize datagram, the wake-up on stop, rebuilding the socket under a running
// receiver, and the RTCP port held at port + 1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <thread>
#include <vector>

#include "framework/AudioTransformer.h"
#include "platform/WinsockErrors.h"
#include "rtp/RTPAudioSink.h"
#include "rtp/RTPAudioSource.h"
#include "rtp/RtpTestUtil.h"
#include "rtp/SteppingClock.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"

namespace tarsio {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::MakeRtp;
using testing::MakeSample;
using testing::RecordingSink;

/// Waits (real time, bounded) until the sink holds n samples.
bool WaitForCount(RecordingSink& sink, size_t n, int capMs = 5000) {
  const auto end = steady_clock::now() + milliseconds(capMs);
  while (sink.Count() < n && steady_clock::now() < end)
    std::this_thread::sleep_for(milliseconds(2));
  return sink.Count() >= n;
}

/// One phone: a transmitter and a receiver sharing the transmitter's socket.
struct Phone {
  RTPAudioSink sink;
  RTPAudioSource source;
  RecordingSink speaker;
  uint16_t port = 0;

  void Open(const char* peer, uint16_t peerPort) {
    sink.SetDestination(peer, peerPort);
    source.SetReceivePort(sink.GetRtpSocket());
    sink.GetRtpSocket()->GetLocalPort(&port);
    Connect(&source, &speaker);
  }
  void Close() {
    source.StopSourceThread();
    Disconnect(&source, &speaker);
    sink.StopSink();
  }
};

class LoopbackTest : public ::testing::Test {
 protected:
  testing::TempRegistry registry;
  testing::RecordingHostLog log;
  testing::ScopedHostLog scopedLog{&log};
};

TEST_F(LoopbackTest, TwoPhonesExchangeOnOneSocketEach) {
  testing::SteppingClock clock(5000000, 10);
  ScopedClock scoped(clock);
  Phone a;
  Phone b;
  a.Open("127.0.0.1", 1);  // peer port fixed below, once b's port is known
  b.Open("127.0.0.1", a.port);
  a.sink.SetDestination("127.0.0.1", b.port);
  ASSERT_NE(a.port, b.port);

  // The next port up is held for RTCP.
  if (b.source.RtcpPortForTest() == static_cast<uint16_t>(b.port + 1)) {
    auto probe = UdpSocket::Create();
    EXPECT_EQ(probe->Bind(0, static_cast<uint16_t>(b.port + 1)), -1);
    EXPECT_EQ(UdpSocket::LastError(), WSAEADDRINUSE);
  }
  EXPECT_EQ(b.source.BoundReceivePortForTest(), b.port);

  ASSERT_EQ(a.sink.StartSink(), 0);
  ASSERT_EQ(b.sink.StartSink(), 0);
  ASSERT_EQ(a.source.StartSourceThread(), 0);
  ASSERT_EQ(b.source.StartSourceThread(), 0);

  constexpr int kPackets = 30;
  for (int k = 0; k < kPackets; ++k) {
    for (Phone* p : {&a, &b}) {
      AudioSample* s = MakeSample(0, std::vector<uint8_t>(160, static_cast<uint8_t>(k)));
      AudioSampleList list{{s, nullptr}};
      p->sink.RenderAudioSamples(list);
      s->Release(nullptr);
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  for (Phone* p : {&a, &b}) {
    ASSERT_TRUE(WaitForCount(p->speaker, kPackets));
    const auto got = p->speaker.Received();
    for (int k = 0; k < kPackets; ++k) {
      EXPECT_EQ(got[k].data, std::vector<uint8_t>(160, static_cast<uint8_t>(k)));
      EXPECT_EQ(got[k].formatTag, 7);
      if (k > 0) {
        EXPECT_EQ(got[k].sequenceNumber, static_cast<uint16_t>(got[k - 1].sequenceNumber + 1));
      }
    }
    EXPECT_EQ(p->source.minDepth.load(), 15);
  }
  EXPECT_TRUE(log.Contains("RTPAudioSource::GenerateData: buffer recepcion minimo=15"));
  EXPECT_TRUE(log.Contains("RTPAudioSource::GenerateData: buffer recepcion inicial=20"));
  a.Close();
  b.Close();
}

TEST_F(LoopbackTest, OversizeDatagramFailsTheReadAndReceptionGoesOn) {
  testing::SteppingClock clock(5000000, 10);
  ScopedClock scoped(clock);
  Phone b;
  b.Open("127.0.0.1", 9);
  auto sender = UdpSocket::Create();
  auto send = [&](const std::vector<uint8_t>& d) {
    sender->SendTo(d.data(), static_cast<int>(d.size()), htonl(INADDR_LOOPBACK), htons(b.port));
  };
  ASSERT_EQ(b.source.StartSourceThread(), 0);
  for (uint16_t s = 10; s < 25; ++s) send(MakeRtp(s, s * 160u, 0, 160));
  send(std::vector<uint8_t>(1500, 0x80));
  send({0x01, 0x02, 0x03});  // garbage
  for (uint16_t s = 25; s < 40; ++s) send(MakeRtp(s, s * 160u, 0, 160));
  ASSERT_TRUE(WaitForCount(b.speaker, 30));
  const auto got = b.speaker.Received();
  for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k].sequenceNumber, 10 + k);
  EXPECT_TRUE(log.Contains("RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), WSAGetLastError==" +
                           std::to_string(WSAEMSGSIZE)));
  b.Close();
}

TEST_F(LoopbackTest, StopEndsTheWaitAtOnce) {
  Phone b;  // real clock: the receiver really sits in its 500 ms wait
  b.Open("127.0.0.1", 9);
  ASSERT_EQ(b.source.StartSourceThread(), 0);
  std::this_thread::sleep_for(milliseconds(120));
  const auto start = steady_clock::now();
  EXPECT_EQ(b.source.StopSourceThread(), 0);
  const auto ms = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_LT(ms, 300);
  EXPECT_FALSE(b.source.IsSourceThreadRunning());
  b.Close();
}

TEST_F(LoopbackTest, SocketRebuiltUnderARunningReceiver) {
  testing::SteppingClock clock(5000000, 10);
  ScopedClock scoped(clock);
  Phone b;
  b.Open("127.0.0.1", 9);
  auto sender = UdpSocket::Create();
  auto sendRun = [&](uint16_t port, uint16_t first, int n) {
    for (int k = 0; k < n; ++k) {
      const auto d = MakeRtp(static_cast<uint16_t>(first + k), 0, 0, 160);
      sender->SendTo(d.data(), static_cast<int>(d.size()), htonl(INADDR_LOOPBACK), htons(port));
    }
  };
  ASSERT_EQ(b.source.StartSourceThread(), 0);
  sendRun(b.port, 100, 20);
  ASSERT_TRUE(WaitForCount(b.speaker, 20));

  // The transmitter moves to another port: the receiver's socket is closed under it; its reads
  // fail or time out without harm until it is handed the new socket.
  auto probe = UdpSocket::Create();
  probe->Bind(0, 0);
  uint16_t newPort = 0;
  probe->GetLocalPort(&newPort);
  probe->Close();
  ASSERT_EQ(b.sink.SetLocalPort(newPort), 0);
  std::this_thread::sleep_for(milliseconds(60));
  b.source.SetReceivePort(b.sink.GetRtpSocket());
  EXPECT_EQ(b.source.BoundReceivePortForTest(), newPort);
  sendRun(newPort, 120, 20);
  ASSERT_TRUE(WaitForCount(b.speaker, 38));

  // Closing the transmitter's socket while the receiver runs, then stopping: no hang.
  b.sink.StartSink();
  b.sink.StopSink();
  EXPECT_EQ(b.sink.GetRtpSocket(), nullptr);
  std::this_thread::sleep_for(milliseconds(30));
  b.Close();
  EXPECT_FALSE(b.source.IsSourceThreadRunning());
}

}  // namespace
}  // namespace tarsio
