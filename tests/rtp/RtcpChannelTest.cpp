// The RTCP channel over real loopback sockets (IPv4 and IPv6) under a fake clock: two calls
// exchanging reports and a BYE, refused datagrams of every kind, SRTCP with tampering and replay,
// the silence timeout and its re-arming, the RTCP-on-the-RTP-port mode beside a running receiver,
// and stops: prompt while waiting, from the thread's own handler, and repeated without a thread
// left behind.
#include "rtp/RtcpChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/SocketEvent.h"
#include "platform/SrtpContext.h"
#include "platform/Thread.h"
#include "platform/UdpSocket.h"
#include "rtp/RtcpSession.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Family = NetworkAddress::Family;

constexpr const char* kKeyAToB = "inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
constexpr const char* kKeyBToA = "inline:HRwbGhkYFxYVFBMSERAPDg0MCwoJCAcGBQQDAgEA";

NetworkAddress Loopback(Family family, uint16_t port) {
  return family == Family::kIPv4 ? NetworkAddress::IPv4(0x7f000001, port)
                                 : NetworkAddress::LoopbackIPv6(port);
}

// Polls cond in real time; false after a generous cap.
template <typename Cond>
bool WaitUntil(Cond cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

std::shared_ptr<SrtpContext> Srtp(SrtpContext::Direction direction, const char* key) {
  std::string error;
  return SrtpContext::Create(SrtpContext::Suite::kAesCm128HmacSha1_80, direction, key, &error);
}

// Stops the channel on a helper thread. Its join waits on the fake clock, which stands still: a
// stop that does not end the thread by its wake-up returns false after seconds of real time
// (the clock is then moved on so that the join gives up) instead of hanging the test.
bool StopPromptly(testing::FakeClock& clock, RtcpChannel& channel, bool sendBye) {
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    channel.Stop(sendBye);
    stopped = true;
  });
  const bool prompt = WaitUntil([&] { return stopped.load(); });
  while (!stopped) {
    clock.AdvanceMs(100);
    std::this_thread::sleep_for(1ms);
  }
  stopper.join();
  return prompt;
}

// One end of a call: its session, its channel and where the channel sends.
struct End {
  End(testing::FakeClock& clock, uint32_t ssrc, std::string cname,
      std::shared_ptr<SrtpContext> out = nullptr, std::shared_ptr<SrtpContext> in = nullptr)
      : clock(clock),
        ssrc(ssrc),
        session(std::make_shared<RtcpSession>(ssrc, std::move(cname), 8000, 8000)),
        channel(
            session, [this] { return Destination(); }, std::move(out), std::move(in)) {}
  ~End() { EXPECT_TRUE(Stop(false)) << "the channel thread stayed in its wait"; }
  bool Stop(bool sendBye) { return StopPromptly(clock, channel, sendBye); }
  NetworkAddress Destination() {
    std::lock_guard<std::mutex> lock(mutex);
    return destination;
  }
  void SendTo(const NetworkAddress& to) {
    std::lock_guard<std::mutex> lock(mutex);
    destination = to;
  }
  // One RTP packet of this end's stream, as the call's transmitter and the far receiver report it.
  void RtpTo(End& far) {
    session->OnRtpSent(timestamp, 160, channel.NtpNow());
    far.session->OnRtpReceived(ssrc, sequence++, timestamp, 160, far.channel.NtpNow());
    timestamp += 160;
  }
  RtcpSession::Statistics Stats() { return session->GetStatistics(); }

  testing::FakeClock& clock;
  const uint32_t ssrc;
  std::mutex mutex;
  NetworkAddress destination;
  uint16_t sequence = 65500;  // the stream wraps during the longer tests
  uint32_t timestamp = 0;
  std::shared_ptr<RtcpSession> session;
  RtcpChannel channel;
};

// A plain socket in the test's hands: sends anything, captures what reaches it.
struct Raw {
  explicit Raw(Family family = Family::kIPv4) : socket(UdpSocket::Create(family)) {
    EXPECT_EQ(0, socket->Bind(Loopback(family, 0)));
    EXPECT_EQ(0, socket->EventSelect(&event));  // non-blocking reads
    socket->GetLocalPort(&port);
  }
  ~Raw() { socket->Close(); }
  void Send(const Bytes& bytes, uint16_t to, Family family = Family::kIPv4) {
    socket->SendTo(bytes.data(), static_cast<int>(bytes.size()), Loopback(family, to));
  }
  Bytes TryReceive() {  // empty when nothing waits
    Bytes buffer(4096);
    const int n = socket->RecvFrom(buffer.data(), 4096);
    buffer.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buffer;
  }
  Bytes Receive() {  // empty when nothing came within the cap
    Bytes datagram;
    for (int i = 0; i < 5000 && (datagram = TryReceive()).empty(); ++i) {
      std::this_thread::sleep_for(1ms);
    }
    return datagram;
  }
  std::shared_ptr<UdpSocket> socket;
  SocketEvent event;
  uint16_t port = 0;
};

// A report written by a session of its own (SSRC 0x5eed).
Bytes ForeignReport() {
  RtcpSession other(0x5eed, "x@tarsio.test", 8000, 8000);
  Bytes report(512);
  report.resize(other.WriteReport(report.data(), report.size(), false, uint64_t{1} << 60, 0.5));
  return report;
}

bool SaysBye(const Bytes& datagram) {
  RtcpCompound parsed;
  const char* why = nullptr;
  return parsed.Parse(datagram.data(), datagram.size(), &why) && parsed.bye;
}

class RtcpChannelTest : public ::testing::Test {
 protected:
  // Moves the fake clock on in 20 ms steps, each followed by 2 ms of real time for the channel
  // threads, with 20 ms of media both ways per step, until done() or maxMs of fake time passed.
  template <typename Done>
  bool Drive(End* a, End* b, Done done, uint64_t maxMs = 60000) {
    for (uint64_t moved = 0; moved < maxMs && !done(); moved += 20) Step(a, b);
    return WaitUntil(done);
  }
  void Advance(uint64_t ms) {
    for (uint64_t moved = 0; moved < ms; moved += 20) Step(nullptr, nullptr);
  }
  void Step(End* a, End* b) {
    if (a && b) {
      a->RtpTo(*b);
      b->RtpTo(*a);
    }
    clock.AdvanceMs(20);
    std::this_thread::sleep_for(2ms);
  }

  testing::FakeClock clock;
  ScopedClock scopedClock{clock};
};

TEST_F(RtcpChannelTest, TwoCallsExchangeReportsOverBothFamiliesAndSeeTheBye) {
  for (const Family family : {Family::kIPv4, Family::kIPv6}) {
    SCOPED_TRACE(family == Family::kIPv4 ? "127.0.0.1" : "::1");
    End a(clock, 0xa1, "a@tarsio.test"), b(clock, 0xb2, "b@tarsio.test");
    ASSERT_TRUE(a.channel.StartOwnSocket(Loopback(family, 0)));
    ASSERT_TRUE(b.channel.StartOwnSocket(Loopback(family, 0)));
    EXPECT_FALSE(a.channel.StartOwnSocket(Loopback(family, 0)));  // already running
    a.SendTo(Loopback(family, b.channel.LocalPort()));
    b.SendTo(Loopback(family, a.channel.LocalPort()));
    // Each end hears the other's CNAME and, once its SR came back in a report block, the
    // round trip.
    const auto learned = [](End& e, const char* cname) {
      const RtcpSession::Statistics s = e.Stats();
      return s.reportsReceived > 0 && s.remoteCname == cname && s.roundTripMs >= 0;
    };
    ASSERT_TRUE(Drive(&a, &b, [&] { return learned(a, "b@tarsio.test"); }));
    ASSERT_TRUE(Drive(&a, &b, [&] { return learned(b, "a@tarsio.test"); }));
    EXPECT_TRUE(a.Stats().haveRemoteReport);
    EXPECT_EQ(0u, a.channel.RefusedDatagrams() + b.channel.RefusedDatagrams());
    EXPECT_EQ(0u, a.channel.FailedSends() + b.channel.FailedSends());
    EXPECT_GT(b.channel.ReceivedDatagrams(), 0u);

    // A report due at the last step may still be on its way out; the BYE comes after it.
    const uint64_t sent = a.channel.SentDatagrams();
    EXPECT_TRUE(a.Stop(true));
    const uint64_t sentAtStop = a.channel.SentDatagrams();
    EXPECT_GE(sentAtStop, sent + 1);
    EXPECT_FALSE(a.channel.IsRunning());
    EXPECT_EQ(0, a.channel.LocalPort());
    EXPECT_TRUE(WaitUntil([&] { return b.Stats().byeReceived; }));
    EXPECT_TRUE(a.Stop(true));  // idempotent: no second BYE
    EXPECT_EQ(sentAtStop, a.channel.SentDatagrams());
  }
}

TEST_F(RtcpChannelTest, GarbageTruncatedAndOversizeDatagramsAreRefusedAndTheChannelGoesOn) {
  End a(clock, 0xa1, "a@tarsio.test");
  Raw far;
  a.SendTo(Loopback(Family::kIPv4, far.port));
  ASSERT_TRUE(a.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
  const uint16_t port = a.channel.LocalPort();
  const Bytes report = ForeignReport();
  ASSERT_GT(report.size(), 12u);

  far.Send({'n', 'o', 't', ' ', 'r', 't', 'c', 'p'}, port);
  far.Send(Bytes(report.begin(), report.end() - 4), port);  // the last part cut short
  far.Send(Bytes(3000, 0x80), port);                        // longer than any report read
  ASSERT_TRUE(WaitUntil([&] { return a.channel.RefusedDatagrams() == 3; }));
  EXPECT_EQ(3u, a.channel.ReceivedDatagrams());
  EXPECT_EQ(2u, a.Stats().reportsMalformed);  // the oversize one never reached the session

  far.Send(report, port);
  ASSERT_TRUE(WaitUntil([&] { return a.Stats().reportsReceived == 1; }));
  EXPECT_EQ("x@tarsio.test", a.Stats().remoteCname);
  EXPECT_EQ(3u, a.channel.RefusedDatagrams());
  // Its own reports still go out: an RR with its CNAME.
  ASSERT_TRUE(Drive(nullptr, nullptr, [&] { return a.channel.SentDatagrams() > 0; }));
  const Bytes sent = far.Receive();
  RtcpCompound parsed;
  const char* why = nullptr;
  ASSERT_TRUE(parsed.Parse(sent.data(), sent.size(), &why)) << why;
  EXPECT_EQ(0xa1u, parsed.reporterSsrc);
  EXPECT_EQ("a@tarsio.test", parsed.Cname());
}

TEST_F(RtcpChannelTest, SrtcpCarriesReportsAndRefusesTamperedReplayedAndPlainDatagrams) {
  using Direction = SrtpContext::Direction;
  End a(clock, 0xa1, "a@tarsio.test", Srtp(Direction::kOutbound, kKeyAToB),
        Srtp(Direction::kInbound, kKeyBToA));
  End b(clock, 0xb2, "b@tarsio.test", Srtp(Direction::kOutbound, kKeyBToA),
        Srtp(Direction::kInbound, kKeyAToB));
  Raw tap;
  a.SendTo(Loopback(Family::kIPv4, tap.port));  // a's first report is captured
  ASSERT_TRUE(a.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
  ASSERT_TRUE(b.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
  b.SendTo(Loopback(Family::kIPv4, a.channel.LocalPort()));
  const uint16_t bPort = b.channel.LocalPort();

  ASSERT_TRUE(Drive(nullptr, nullptr, [&] { return a.channel.SentDatagrams() > 0; }));
  const Bytes captured = tap.Receive();
  ASSERT_GT(captured.size(), 14u);
  const std::string wire(captured.begin(), captured.end());
  EXPECT_EQ(std::string::npos, wire.find("a@tarsio.test"));  // encrypted
  a.SendTo(Loopback(Family::kIPv4, bPort));

  Bytes tampered = captured;
  tampered[12] ^= 0x01;
  tap.Send(tampered, bPort);
  ASSERT_TRUE(WaitUntil([&] { return b.channel.RefusedDatagrams() == 1; }));
  tap.Send(captured, bPort);  // first delivery: accepted
  ASSERT_TRUE(WaitUntil([&] { return b.Stats().reportsReceived == 1; }));
  EXPECT_EQ("a@tarsio.test", b.Stats().remoteCname);
  tap.Send(captured, bPort);         // replayed
  tap.Send(ForeignReport(), bPort);  // plain RTCP
  ASSERT_TRUE(WaitUntil([&] { return b.channel.RefusedDatagrams() == 3; }));
  EXPECT_EQ(0u, b.Stats().reportsMalformed);  // nothing refused by SRTCP reached the session
  EXPECT_EQ(1u, b.Stats().reportsReceived);

  // From here the reports flow both ways, a's index going on from the captured one.
  ASSERT_TRUE(Drive(&a, &b, [&] {
    return a.Stats().reportsReceived > 0 && a.Stats().roundTripMs >= 0 &&
           b.Stats().reportsReceived > 1;
  }));
  EXPECT_EQ(3u, b.channel.RefusedDatagrams());
  EXPECT_EQ(0u, a.channel.RefusedDatagrams());
}

TEST_F(RtcpChannelTest, TheTimeoutFiresOnceAfterTheSilenceAndAgainOnlyAfterTheFarEndWasHeard) {
  struct Call {
    uint64_t at;
    uint32_t silentMs;
  };
  std::mutex mutex;
  std::vector<Call> calls;  // outlives the channel, whose handler fills it
  End a(clock, 0xa1, "a@tarsio.test");
  Raw far;
  a.SendTo(Loopback(Family::kIPv4, far.port));
  const auto callCount = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  };
  const auto call = [&](size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.at(i);
  };
  a.channel.SetTimeout(3000, [&](uint32_t silentMs) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({clock.NowMs(), silentMs});
  });
  const uint64_t start = clock.NowMs();
  ASSERT_TRUE(a.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
  ASSERT_TRUE(Drive(nullptr, nullptr, [&] { return callCount() == 1; }));
  Advance(5000);  // the silence goes on: no second call
  ASSERT_EQ(1u, callCount());
  EXPECT_GE(call(0).at - start, 3000u);
  EXPECT_GE(call(0).silentMs, 3000u);
  EXPECT_LE(call(0).silentMs, call(0).at - start);

  far.Send(ForeignReport(), a.channel.LocalPort());  // the far end is heard: armed again
  ASSERT_TRUE(WaitUntil([&] { return a.Stats().reportsReceived == 1; }));
  const uint64_t heard = clock.NowMs();
  ASSERT_TRUE(Drive(nullptr, nullptr, [&] { return callCount() == 2; }));
  EXPECT_GE(call(1).at - heard, 3000u);
  EXPECT_GE(call(1).silentMs, 3000u);
  EXPECT_LE(call(1).silentMs, call(1).at - heard);
}

TEST_F(RtcpChannelTest, MuxedChannelSharesTheRtpSocketWithARunningReceiver) {
  // RFC 5761 demultiplexing: RTP payload types never look like RTCP packet types.
  EXPECT_FALSE(RtcpChannel::IsRtcpPacket(Bytes{0x80, 0x00, 0, 1, 0, 0, 0, 0}.data(), 8));
  EXPECT_FALSE(RtcpChannel::IsRtcpPacket(Bytes{0x80, 0xe0, 0, 1, 0, 0, 0, 0}.data(), 8));
  EXPECT_FALSE(RtcpChannel::IsRtcpPacket(Bytes{0x80, 0xc9, 0, 1}.data(), 4));
  EXPECT_TRUE(RtcpChannel::IsRtcpPacket(Bytes{0x80, 0xc9, 0, 1, 0, 0, 0, 0}.data(), 8));

  End a(clock, 0xa1, "a@tarsio.test"), b(clock, 0xb2, "b@tarsio.test");
  // a's RTP socket, read by a receiver thread as RTPAudioSource reads its own, which hands the
  // RTCP datagrams over.
  struct Receiver {
    explicit Receiver(RtcpChannel& channel)
        : thread([this, &channel] {
            Bytes buffer(2048);
            while (!done) {
              NetworkAddress from;
              const int n = rtp.socket->RecvFrom(buffer.data(), 2048, &from);
              if (n < 0) {
                std::this_thread::sleep_for(1ms);
              } else if (RtcpChannel::IsRtcpPacket(buffer.data(), static_cast<size_t>(n))) {
                channel.OnMuxedDatagram(buffer.data(), static_cast<size_t>(n), from);
              } else {
                ++rtpPackets;
              }
            }
          }) {}
    ~Receiver() {
      done = true;
      thread.join();
    }
    Raw rtp;
    std::atomic<bool> done{false};
    std::atomic<int> rtpPackets{0};
    std::thread thread;
  } receiver(a.channel);
  Raw& rtp = receiver.rtp;
  ASSERT_TRUE(b.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
  a.SendTo(Loopback(Family::kIPv4, b.channel.LocalPort()));
  b.SendTo(Loopback(Family::kIPv4, rtp.port));
  // Restarts while the receiver hands datagrams over.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(a.channel.StartMuxed(rtp.socket));
    a.channel.OnMuxedDatagram(nullptr, 0, NetworkAddress());
    ASSERT_TRUE(a.Stop(false));
  }
  ASSERT_TRUE(a.channel.StartMuxed(rtp.socket));
  EXPECT_EQ(0, a.channel.LocalPort());
  Raw media;
  media.Send({0x80, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 9}, rtp.port);
  ASSERT_TRUE(Drive(&a, &b, [&] {
    return a.Stats().remoteCname == "b@tarsio.test" && b.Stats().remoteCname == "a@tarsio.test" &&
           a.Stats().roundTripMs >= 0;
  }));
  EXPECT_EQ(1, receiver.rtpPackets.load());  // RTP stayed with the receiver
  ASSERT_TRUE(a.Stop(true));
  EXPECT_TRUE(WaitUntil([&] { return b.Stats().byeReceived; }));
  const uint64_t received = a.channel.ReceivedDatagrams();
  const Bytes late = ForeignReport();
  a.channel.OnMuxedDatagram(late.data(), late.size(), NetworkAddress());
  EXPECT_EQ(received, a.channel.ReceivedDatagrams());  // stopped: ignored
  EXPECT_EQ(5u, a.channel.RefusedDatagrams());         // the five null hand-overs
  EXPECT_TRUE(rtp.socket->IsOpen());  // the RTP socket is not the channel's to close
}

TEST_F(RtcpChannelTest, StopsArePromptSafeFromTheHandlerAndLeaveNoThread) {
  const int threadsBefore = Thread::LiveCount();
  Raw far;
  {
    // The thread waits for the first report (at least a second of fake time away); the clock
    // stands still, so only Stop's wake-up can end that wait.
    End a(clock, 0xa1, "a@tarsio.test");
    a.SendTo(Loopback(Family::kIPv4, far.port));
    ASSERT_TRUE(a.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(a.Stop(true)) << "the channel thread stayed in its wait";
    EXPECT_EQ(1u, a.channel.SentDatagrams());
    EXPECT_TRUE(SaysBye(far.Receive()));

    // Start and stop 20 times, both modes, with and without a BYE.
    for (int i = 0; i < 20; ++i) {
      const uint64_t sent = a.channel.SentDatagrams();
      ASSERT_TRUE(i % 2 == 0 ? a.channel.StartOwnSocket(Loopback(Family::kIPv4, 0))
                             : a.channel.StartMuxed(far.socket));
      ASSERT_TRUE(a.Stop(i % 4 < 2));
      EXPECT_EQ(sent + (i % 4 < 2 ? 1 : 0), a.channel.SentDatagrams());
    }
    EXPECT_TRUE(far.socket->IsOpen());
  }
  {
    // A timeout handler that ends the call from the channel's own thread, BYE included.
    End a(clock, 0xa1, "a@tarsio.test");
    a.SendTo(Loopback(Family::kIPv4, far.port));
    a.channel.SetTimeout(500, [&](uint32_t) { a.channel.Stop(true); });
    ASSERT_TRUE(a.channel.StartOwnSocket(Loopback(Family::kIPv4, 0)));
    ASSERT_TRUE(Drive(nullptr, nullptr, [&] { return !a.channel.IsRunning(); }));
    // A report may have gone out before the BYE.
    bool bye = false;
    EXPECT_TRUE(WaitUntil([&] { return bye = bye || SaysBye(far.TryReceive()); }));
  }
  EXPECT_TRUE(WaitUntil([&] { return Thread::LiveCount() == threadsBefore; }));
}

}  // namespace
}  // namespace tarsio
