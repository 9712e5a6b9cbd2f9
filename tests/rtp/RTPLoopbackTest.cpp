// The transmitter and the receiver over real loopback UDP: bytes on the wire, two phones on one
// socket each, reordering, duplicates, loss, the sequence wrap, garbage and oversize datagrams,
// the depths measured from the first datagram and grown by discards, the wake-up on stop and a
// socket rebuilt under a running receiver.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioTransformer.h"
#include "platform/HostEvent.h"
#include "platform/WinsockErrors.h"
#include "rtp/MediaExtensions.h"
#include "rtp/RTPAudioSink.h"
#include "rtp/RTPAudioSource.h"
#include "rtp/RTPPacket.h"
#include "rtp/RTPRandom.h"
#include "support/FakeClock.h"
#include "support/RecordingHostLog.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// A clock for the receiver, current while it lives: sleeps return at once and move the clock on
// by their length, and in between the clock runs at ten times real time. The receiver's 50 ms
// fill sleeps cost nothing, while its 500 ms socket waits (real time) still end.
class SteppingClock final : public Clock {
 public:
  uint64_t NowMs() override {
    const auto real = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start_);
    return offset_.load() + static_cast<uint64_t>(real.count()) * 10;
  }
  void SleepMs(uint32_t ms) override { offset_.fetch_add(ms); }
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override {
    return ms == kInfinite ? (cv.wait(lk, pred), true) : cv.wait_for(lk, milliseconds(ms), pred);
  }

 private:
  const steady_clock::time_point start_ = steady_clock::now();
  std::atomic<uint64_t> offset_{5000000};
  ScopedClock scoped_{*this};
};

// Polls cond in real time; false after a generous cap.
template <typename Cond>
bool WaitUntil(Cond cond) {
  for (int i = 0; i < 10000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

/// An RTP datagram with payloadLength zero bytes.
Bytes MakeRtp(uint16_t seq, uint32_t ts, uint8_t pt = 0, size_t payloadLength = 160) {
  Bytes d(12 + payloadLength);
  WriteRTPHeader(d.data(), pt, false, seq, ts, 0x1234);
  return d;
}

/// What the receiver delivered, copied out before the samples went back to the pool.
struct Received {
  uint16_t seq, formatTag;
  int32_t silenceMs;
  Bytes data;
};

class RecordingSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [s, source] : samples) {
      received_.push_back({s->GetRTPHeader() ? s->GetRTPHeader()->sequenceNumber : uint16_t{0},
                           s->Format().wFormatTag, s->GetSilenceDuration(),
                           Bytes(s->GetData(), s->GetData() + s->GetDataSize())});
    }
    return 0;
  }
  /// What came so far, once at least n samples came (or after 5 s of real time).
  std::vector<Received> Got(size_t n = 0) {
    for (const auto end = steady_clock::now() + 5s;; std::this_thread::sleep_for(2ms)) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (received_.size() >= n || steady_clock::now() > end) return received_;
    }
  }

 private:
  std::mutex mutex_;
  std::vector<Received> received_;
};

/// One phone: a transmitter and a receiver sharing the transmitter's socket.
struct Phone {
  explicit Phone(uint16_t peerPort) {
    sink.SetDestination("127.0.0.1", peerPort);
    source.SetReceivePort(sink.GetRtpSocket());
    sink.GetRtpSocket()->GetLocalPort(&port);
    Connect(&source, &speaker);
  }
  ~Phone() {
    source.StopSourceThread();
    Disconnect(&source, &speaker);
    sink.StopSink();
  }
  /// Renders one frame of the codec (empty bytes: a silent 20 ms frame).
  void Render(int codec, const Bytes& bytes) {
    AudioSample* s = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
    s->SetFormat(MakeAudioFormat(codec));
    std::copy(bytes.begin(), bytes.end(), s->GetData());
    s->SetDataSize(static_cast<int32_t>(bytes.size()));
    if (bytes.empty()) s->SetSilenceDuration(20);
    AudioSampleList list{{s, nullptr}};
    EXPECT_EQ(sink.RenderAudioSamples(list), 0);
    s->Release(nullptr);
    HostLogWriter::WritePending(1000);  // the transmitter defers its host-log entries
  }

  RTPAudioSink sink;
  RTPAudioSource source;
  RecordingSink speaker;
  uint16_t port = 0;
};

/// Reads one datagram within timeoutMs of real time; empty when none came.
Bytes ReadDatagram(UdpSocket& socket, int timeoutMs = 1000) {
  pollfd p{static_cast<int>(socket.Handle()), POLLIN, 0};
  Bytes buffer(2048);
  const int n = poll(&p, 1, timeoutMs) == 1 ? socket.RecvFrom(buffer.data(), 2048) : -1;
  buffer.resize(static_cast<size_t>(std::max(n, 0)));
  return buffer;
}

class LoopbackTest : public ::testing::Test {
 protected:
  void Send(uint16_t port, const Bytes& d) {
    sender->SendTo(d.data(), static_cast<int>(d.size()), htonl(INADDR_LOOPBACK), htons(port));
  }

  testing::RecordingHostLog log;
  testing::ScopedHostLog scopedLog{&log};
  std::shared_ptr<UdpSocket> sender = UdpSocket::Create();
};

TEST_F(LoopbackTest, TransmittedBytesFollowTheStreamRules) {
  testing::FakeClock clock{0x1234567};
  ScopedClock scopedClock{clock};
  Phone far(9);  // its socket receives; its receiver is not started
  UdpSocket& receiver = *far.sink.GetRtpSocket();
  Phone phone(far.port);
  // The stream starts from the generator seeded with the tick count at start.
  RTPRandom random(TickCount());
  const uint32_t ssrc = random.Next();
  const uint32_t t0 = random.Next();
  const auto s0 = static_cast<uint16_t>(random.Next());
  ASSERT_EQ(phone.sink.StartSink(), 0);
  auto expect = [&](uint8_t pt, bool marker, int seqStep, uint32_t tsStep, Bytes payload) {
    payload.insert(payload.begin(), 12, 0);
    WriteRTPHeader(payload.data(), pt, marker, uint16_t(s0 + seqStep), t0 + tsStep, ssrc);
    EXPECT_EQ(ReadDatagram(receiver), payload) << "sequence step " << seqStep;
  };
  // µ-law 20 ms frames: marker only on the first.
  for (int k = 0; k < 3; ++k) phone.Render(0, Bytes(160, 0x10 + k));
  for (int k = 0; k < 3; ++k) expect(0, k == 0, 1 + k, 160 * (k + 1), Bytes(160, 0x10 + k));
  // Three silent frames: one comfort-noise packet (level 100), then nothing; the clock runs on.
  for (int k = 0; k < 3; ++k) phone.Render(0, {});
  expect(13, false, 4, 640, {0x64, 0, 0, 0});
  EXPECT_TRUE(ReadDatagram(receiver, 30).empty());
  // Voice again: marker set. Then a G.723 high-rate frame (30 ms) and an A-law frame; a null
  // sample in between changes nothing.
  phone.Render(0, Bytes(160, 0x33));
  expect(0, true, 7, 1120, Bytes(160, 0x33));
  phone.Render(4, Bytes(24, 0x44));
  expect(4, false, 8, 1360, Bytes(24, 0x44));
  AudioSampleList nullSample{{nullptr, nullptr}};
  EXPECT_EQ(phone.sink.RenderAudioSamples(nullSample), 0);
  phone.Render(1, Bytes(160, 0x55));
  expect(8, false, 9, 1520, Bytes(160, 0x55));
  // A refused send is reported once per run, with the address.
  log.Clear();
  phone.sink.SetDestination("no.such.address", far.port);  // 255.255.255.255: refused
  for (int k = 0; k < 2; ++k) phone.Render(0, Bytes(160, 1));
  EXPECT_EQ(log.Entries(),
            (std::vector<std::string>{"RTPAudioSink::RenderAudioSamples: !sendto",
                                      "\tWSAGetLastError =10013", "\tip =255.255.255.255",
                                      "\tport =" + std::to_string(far.port)}));
  // Stopping closes the socket: nothing is sent any more.
  ASSERT_EQ(phone.sink.StopSink(), 0);
  EXPECT_EQ(phone.sink.GetRtpSocket(), nullptr);
  phone.Render(0, Bytes(160, 0x66));
  EXPECT_TRUE(ReadDatagram(receiver, 30).empty());
}

TEST_F(LoopbackTest, TwoPhonesExchangeOnOneSocketEach) {
  SteppingClock clock;
  Phone a(1);  // its peer port is set once b's is known
  Phone b(a.port);
  a.sink.SetDestination("127.0.0.1", b.port);
  for (Phone* p : {&a, &b}) ASSERT_EQ(p->sink.StartSink() + p->source.StartSourceThread(), 0);
  constexpr int kPackets = 30;  // checked; ten more keep the receivers from running dry
  for (int k = 0; k < kPackets + 10; ++k) {
    for (Phone* p : {&a, &b}) p->Render(0, Bytes(160, uint8_t(k)));
    std::this_thread::sleep_for(1ms);
  }
  for (Phone* p : {&a, &b}) {
    const auto got = p->speaker.Got(kPackets);
    ASSERT_GE(got.size(), size_t{kPackets});
    for (int k = 0; k < kPackets; ++k)
      EXPECT_TRUE(got[k].data == Bytes(160, k) && got[k].seq == uint16_t(got[0].seq + k)) << k;
  }
  // The depth is measured from the first datagram (172 bytes: 20 ms).
  HostLogWriter::WritePending(1000);
  EXPECT_TRUE(log.Contains("RTPAudioSource::GenerateData: buffer recepcion minimo=15"));
  EXPECT_TRUE(log.Contains("RTPAudioSource::GenerateData: buffer recepcion inicial=20"));
}

TEST_F(LoopbackTest, ReceiverOrdersReorderedDuplicatedAndLostPacketsAcrossTheWrap) {
  SteppingClock clock;
  auto depthChanged = std::make_shared<HostEvent>();
  Phone b(9);
  // Everything is queued before the receiver starts, so it meets the same arrivals every run.
  const int rcvbuf = 1 << 20;
  setsockopt(b.sink.GetRtpSocket()->Handle(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  // Offsets from 65460: offset 76 is sequence number 0.
  auto rtp = [&](std::vector<int> offsets) {
    for (int o : offsets) Send(b.port, MakeRtp(uint16_t(65460 + o), 160u * o));
  };
  auto run = [&](int from, int to) {
    for (int o = from; o < to; ++o) rtp({o});
  };
  run(0, 40);
  rtp({41, 40, 43, 42, 44, 46, 45});  // reordered
  rtp({47, 47, 48, 48, 49});          // duplicated
  rtp({50, 52, 53, 56, 57});          // 51, 54 and 55 lost
  rtp({58, 400, 59});                 // far ahead: dropped
  run(60, 74);
  rtp({75, 74, 76, 78, 77, 76, 79});  // reordered and duplicated across 65535 -> 0
  run(80, 100);
  // Garbage: empty, shorter than a field or a header, oversize (logged), then refused by the
  // parser: version 1, a header extension, 15 contributors.
  for (Bytes g : {Bytes{}, Bytes{0x80}, Bytes{0x80, 0, 0x12}, Bytes(11, 0x80), Bytes(1500, 0x80),
                  Bytes(16, 0x40), Bytes(16, 0x90), Bytes(16, 0x8F)}) {
    Send(b.port, g);
  }
  run(100, 170);  // more than is checked: the receiver never runs dry while it is watched
  std::vector<uint16_t> expected;
  for (int o = 0; o < 140; ++o)
    if (o != 51 && o != 54 && o != 55) expected.push_back(uint16_t(65460 + o));
  b.source.SetDepthChangeEvent(depthChanged);
  ASSERT_EQ(b.source.StartSourceThread(), 0);
  std::vector<uint16_t> got;
  for (const auto& r : b.speaker.Got(expected.size())) got.push_back(r.seq);
  got.resize(expected.size());
  EXPECT_EQ(got, expected);
  // The copies and the far or stray sequence numbers were discarded: the ring grew (from 20, as
  // measured from the first datagram) and the host was told.
  EXPECT_GT(b.source.depth.load(), 20);
  EXPECT_TRUE(depthChanged->IsSet());
  HostLogWriter::WritePending(1000);
  EXPECT_TRUE(log.Contains("RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), WSAGetLastError==" +
                           std::to_string(wsa::kMsgSize)));
}

TEST_F(LoopbackTest, StopEndsTheReceiveWaitAtOnce) {
  // The receiver's socket wait (500 ms) and the stop's pauses (10 ms) run on a fake clock. The
  // clock moves only while the stop pauses, and then by less than the socket wait in all, so a
  // stop that returns has ended the wait by its signal, not by the wait's time-out.
  testing::FakeClock clock;
  ScopedClock scoped(clock);
  std::optional<Phone> b(std::in_place, 9);
  ASSERT_EQ(b->source.StartSourceThread(), 0);
  // The receiver pauses (fill sleep) before it reads; past that it sits in the socket wait.
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(50);  // the fill sleep
  ASSERT_TRUE(WaitUntil([&] { return clock.Sleepers() == 0; }));
  std::this_thread::sleep_for(20ms);  // into the wait; had it not got there, the stop still holds
  const uint64_t before = clock.NowMs();
  std::atomic<bool> stopped{false};
  int32_t result = -1;
  std::thread stopper([&] {
    result = b->source.StopSourceThread();
    stopped = true;
  });
  constexpr uint64_t kStopPausesMs = 19 * 10;  // at most 19 pauses of 10 ms before it waits
  uint64_t moved = 0;
  for (int i = 0; i < 10000 && !stopped; ++i) {  // a real-time cap of about 10 s
    if (moved < kStopPausesMs && clock.Sleepers() > 0) {
      clock.AdvanceMs(10);
      moved += 10;
    }
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(stopped.load()) << "the receiver stayed in its wait";
  stopper.join();
  EXPECT_EQ(result, 0);
  EXPECT_LT(clock.NowMs() - before, uint64_t{RTPAudioSource::kReceiveWaitMs});
  EXPECT_FALSE(b->source.IsSourceThreadRunning());
  b.reset();
}

TEST_F(LoopbackTest, SocketRebuiltOrClosedUnderARunningReceiver) {
  SteppingClock clock;
  Phone b(9);
  auto sendRun = [&](uint16_t port, int first) {
    for (int k = first; k < first + 25; ++k) Send(port, MakeRtp(uint16_t(k), 0));
  };
  ASSERT_EQ(b.source.StartSourceThread(), 0);
  sendRun(b.port, 100);
  ASSERT_GE(b.speaker.Got(20).size(), 20u);
  // The transmitter moves to another (free) port: the receiver's socket is closed under it; its
  // reads fail or time out without harm until it is handed the new socket.
  auto probe = UdpSocket::Create();
  uint16_t newPort = 0;
  probe->Bind(INADDR_LOOPBACK, 0);
  probe->GetLocalPort(&newPort);
  probe->Close();
  ASSERT_EQ(b.sink.SetLocalPort(newPort), 0);
  std::this_thread::sleep_for(60ms);
  b.source.SetReceivePort(b.sink.GetRtpSocket());
  EXPECT_EQ(b.source.BoundReceivePortForTest(), newPort);
  sendRun(newPort, 125);
  ASSERT_GE(b.speaker.Got(38).size(), 38u);
  // Closing the transmitter's socket while the receiver runs, then stopping: no hang.
  b.sink.StartSink();
  b.sink.StopSink();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(b.source.StopSourceThread(), 0);
}

TEST_F(LoopbackTest, TheFirstDatagramSetsTheDepthsAndThePayloadTypeTheFormat) {
  SteppingClock clock;
  // Payload type, payload bytes, depths, format tag.
  const std::tuple<uint8_t, size_t, uint16_t, uint16_t, uint16_t> rows[] = {
      {0, 80, 17, 23, 7},       // µ-law, a 92-byte datagram: 10 ms
      {0, 160, 15, 20, 7},      // 20 ms
      {8, 320, 11, 15, 6},      // A-law, 40 ms
      {0, 8, 17, 23, 7},        // below 10 ms: counted as 10
      {0, 988, 3, 5, 7},        // above 80 ms: counted as 80
      {18, 60, 7, 10, 0xFE01},  // G.729: one ms per byte
      {4, 24, 11, 15, 0xFE03},  // G.723 high rate by frame size; 40 ms for the depth
      {4, 20, 11, 15, 0xFE02},  // G.723 low rate
      {13, 4, 11, 15, 1},       // comfort noise: a 20 ms silence marker
      {96, 10, 11, 15, 1},      // a dynamic type
  };
  for (const auto& [pt, payload, minDepth, depth, tag] : rows) {
    SCOPED_TRACE(::testing::Message() << "pt " << int(pt) << " payload " << payload);
    Phone b(9);  // enough datagrams that the first fill ends without waiting for more
    for (uint16_t seq = 7; seq < 30; ++seq) Send(b.port, MakeRtp(seq, seq, pt, payload));
    ASSERT_EQ(b.source.StartSourceThread(), 0);
    const auto all = b.speaker.Got(1);
    ASSERT_FALSE(all.empty());
    const Received& got = all[0];
    const bool cn = pt == 13;
    EXPECT_EQ(std::make_tuple(got.seq, b.source.minDepth.load(), b.source.depth.load(),
                              got.formatTag, got.data.size(), got.silenceMs),
              std::make_tuple(uint16_t{7}, minDepth, depth, tag, cn ? 0 : payload, cn ? 20 : 0));
  }
}

// ---- The call's optional protocol features (MediaExtensions) over the same loopback ----

constexpr const char* kKeyA = "inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
constexpr const char* kKeyB = "inline:HRwbGhkYFxYVFBMSERAPDg0MCwoJCAcGBQQDAgEA";

TEST_F(LoopbackTest, TelephoneEventsReplaceTheAudioAndArriveAsDigitsNotSound) {
  SteppingClock clock;
  Phone a(1);
  Phone b(a.port);
  a.sink.SetDestination("127.0.0.1", b.port);
  auto extA = std::make_shared<MediaExtensions>();
  auto extB = std::make_shared<MediaExtensions>();
  a.sink.SetExtensions(extA);
  b.source.SetExtensions(extB);
  auto signal = std::make_shared<HostEvent>();
  extB->SetTelephoneEventSignal(signal);
  ASSERT_EQ(a.sink.StartSink() + b.source.StartSourceThread(), 0);
  // Two 100 ms digits with a gap between them, in place of the audio frames they coincide with.
  ASSERT_TRUE(extA->QueueDigits("1#", 100));
  ASSERT_FALSE(extA->QueueDigits("1x", 100));  // not DTMF: nothing queued
  for (int k = 0; k < 40; ++k) {
    a.Render(0, Bytes(160, uint8_t(0x20 + k)));
    std::this_thread::sleep_for(1ms);
  }
  // Per digit: five frames of event, the last of them the first end packet, and two more ends.
  EXPECT_EQ(extA->TelephoneEventPacketsSent(), 14u);
  ASSERT_TRUE(WaitUntil([&] { return extB->TelephoneEventPacketsReceived() == 14; }))
      << extB->TelephoneEventPacketsReceived() << " received";
  ASSERT_TRUE(WaitUntil([&] { return signal->IsSet(); }));
  TelephoneEventReceiver::Event event;
  std::string digits;
  while (extB->PopTelephoneEvent(&event)) {
    digits += event.digit;
    EXPECT_EQ(event.durationMs, 100u) << event.digit;
    EXPECT_TRUE(event.endSeen);
  }
  EXPECT_EQ(digits, "1#");
  // The speaker got audio only, in order: never an event payload (4 bytes).
  const auto got = b.speaker.Got(40 - static_cast<size_t>(extA->TelephoneEventPacketsSent()));
  ASSERT_FALSE(got.empty());
  for (const Received& r : got) EXPECT_EQ(r.data.size(), 160u);
  HostLogWriter::WritePending(1000);
  EXPECT_TRUE(log.Contains("MediaExtensions::OnReceived: telephone event 1, ms=100"));
  EXPECT_TRUE(log.Contains("MediaExtensions::OnReceived: telephone event #, ms=100"));
}

TEST_F(LoopbackTest, SrtpCarriesTheAudioAndRefusesTamperedAndReplayedPackets) {
  SteppingClock clock;
  Phone a(1);
  Phone b(a.port);
  auto extA = std::make_shared<MediaExtensions>();
  auto extB = std::make_shared<MediaExtensions>();
  std::string error;
  ASSERT_EQ(extA->SetSrtp("AES_CM_128_HMAC_SHA1_80", kKeyA, kKeyB, &error), 0) << error;
  ASSERT_EQ(extB->SetSrtp("AES_CM_128_HMAC_SHA1_80", kKeyB, kKeyA, &error), 0) << error;
  EXPECT_EQ(extB->SetSrtp("AES_CM_256", kKeyB, kKeyA, &error), -10);
  EXPECT_EQ(extB->SetSrtp("AES_CM_128_HMAC_SHA1_80", "inline:short", kKeyA, &error), -20);
  EXPECT_EQ(error.find("short"), std::string::npos) << "the key must not reach the message";
  ASSERT_EQ(extB->SetSrtp("AES_CM_128_HMAC_SHA1_80", kKeyB, kKeyA, &error), 0) << error;
  a.sink.SetExtensions(extA);
  b.source.SetExtensions(extB);

  // What goes on the wire: capture a's packets on a plain socket first.
  UdpSocket& tap = *b.sink.GetRtpSocket();
  a.sink.SetDestination("127.0.0.1", b.port);
  ASSERT_EQ(a.sink.StartSink(), 0);
  a.Render(0, Bytes(160, 0x5A));
  const Bytes wire = ReadDatagram(tap);
  ASSERT_EQ(wire.size(), 12u + 160u + 10u);  // the 80-bit tag
  EXPECT_LT(std::count(wire.begin() + 12, wire.begin() + 172, 0x5A), 8) << "not encrypted";

  ASSERT_EQ(b.source.StartSourceThread(), 0);
  Bytes tampered = wire;
  tampered[40] ^= 1;
  Send(b.port, tampered);  // fails authentication
  Send(b.port, wire);      // the captured packet: the first time it is new
  Send(b.port, wire);      // replayed
  for (int k = 1; k < 30; ++k) {
    a.Render(0, Bytes(160, uint8_t(k)));
    std::this_thread::sleep_for(1ms);
  }
  const auto got = b.speaker.Got(25);
  ASSERT_GE(got.size(), 25u);
  EXPECT_EQ(got[0].data, Bytes(160, 0x5A));
  for (size_t k = 1; k < got.size(); ++k) EXPECT_EQ(got[k].data, Bytes(160, uint8_t(k))) << k;
  EXPECT_EQ(extB->SrtpRefused(), 2u);
}

TEST_F(LoopbackTest, SymmetricRtpFollowsTheProvenSourceAndIgnoresASpoofedPacket) {
  testing::FakeClock clock{0x1234567};
  Phone a(1);  // signalled destination: port 1, where nobody listens
  auto extA = std::make_shared<MediaExtensions>();
  extA->EnableSymmetricRtp(true);
  a.sink.SetExtensions(extA);
  a.source.SetExtensions(extA);
  ASSERT_EQ(a.sink.StartSink(), 0);
  std::shared_ptr<UdpSocket> natted = UdpSocket::Create();  // the far end behind its NAT
  std::shared_ptr<UdpSocket> spoofer = UdpSocket::Create();
  const NetworkAddress loopback = NetworkAddress::FromIPv4Text("127.0.0.1", 0);
  ASSERT_EQ(natted->Bind(loopback) + spoofer->Bind(loopback), 0);
  const auto send = [&](UdpSocket& from, uint16_t seq) {
    const Bytes d = MakeRtp(seq, 160u * seq);
    from.SendTo(d.data(), static_cast<int>(d.size()), htonl(INADDR_LOOPBACK), htons(a.port));
  };
  // The receiver reads through its ring; feed it by hand, one datagram per call.
  ASSERT_EQ(a.source.StartSourceThread(), 0);
  send(*spoofer, 100);
  for (uint16_t seq = 1; seq <= 4; ++seq) send(*natted, seq);
  ASSERT_TRUE(WaitUntil([&] { return extA->Latch().Latched(); }));
  a.Render(0, Bytes(160, 0x11));
  EXPECT_EQ(ReadDatagram(*natted).size(), 172u) << "sent to where the media came from";
  send(*spoofer, 5);  // one packet from elsewhere: the latch stays
  std::this_thread::sleep_for(50ms);
  a.Render(0, Bytes(160, 0x12));
  EXPECT_EQ(ReadDatagram(*natted).size(), 172u);
  EXPECT_TRUE(ReadDatagram(*spoofer, 50).empty());
  EXPECT_EQ(extA->Latch().Moves(), 1u);
}

}  // namespace
}  // namespace tarsio
