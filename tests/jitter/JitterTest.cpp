// The receive side's jitter subsystem: the per-SSRC streams (playing order across the wraps, late
// packets versus a sender restart, concealment, comfort noise, adaptation), the jitter buffer (the
// choice of stream, the bounds under a flood, the two media threads at once) and the re-framer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioSampleManager.h"
#include "jitter/FixedSizeAudioBuffer.h"
#include "jitter/RTPAudioStream.h"
#include "jitter/RTPJitterBuffer.h"
#include "rtp/RTPPacket.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

/// 16-bit PCM of `bytes` bytes counting up from `first`; with no bytes, a silence marker.
AudioSample* MakePcm(const TracedObject* owner, int32_t bytes, int32_t silenceMs = 0,
                     uint8_t first = 0) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, owner);
  s->SetFormat(MakeAudioFormat(5));
  for (int32_t n = 0; n < bytes; ++n) s->GetData()[n] = static_cast<uint8_t>(first + n);
  s->SetDataSize(bytes);
  if (bytes == 0) s->SetSilenceDuration(silenceMs);
  return s;
}

class RTPJitterBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(buffer.StartTransform(), 0); }
  void TearDown() override { buffer.StopTransform(); }
  /// A packet of PCM (320 bytes = 20 ms) with an RTP header; one reference for owner.
  AudioSample* Packet(uint16_t seq, uint32_t ts, uint32_t ssrc, uint8_t pt, int32_t bytes) {
    AudioSample* s = MakePcm(&owner, bytes);
    s->SetRTPHeader(
        RTPPacket{.sequenceNumber = seq, .payloadType = pt, .timestamp = ts, .ssrc = ssrc});
    return s;
  }
  void Insert(RTPAudioStream& stream, uint16_t seq, uint32_t ts, uint8_t pt = 0,
              int32_t bytes = 320) {
    AudioSample* packet = Packet(seq, ts, stream.GetSSRC(), pt, bytes);
    stream.InsertRTPPacket(packet);
    packet->Release(&owner);
  }
  /// A 20 ms packet whose timestamp follows its sequence number.
  void Feed(RTPAudioStream& stream, uint16_t seq) { Insert(stream, seq, 160u * seq); }
  /// The sequence number of what was handed out (then released), or -1 for no packet.
  int Take(AudioSample* out) {
    const int seq = out && out->GetRTPHeader() ? out->GetRTPHeader()->sequenceNumber : -1;
    if (out != nullptr) out->Release(&owner);
    return seq;
  }
  int Give(RTPAudioStream& stream) {
    AudioSample* out = nullptr;
    stream.GiveNextRTPPacket(&out);
    return Take(out);
  }
  std::vector<int> Gives(RTPAudioStream& stream, int n) {
    std::vector<int> seqs;
    while (n-- > 0) seqs.push_back(Give(stream));
    return seqs;
  }
  void Push(uint16_t seq, uint32_t ts, uint32_t ssrc, int32_t bytes = 320) {
    AudioSampleList inputs{{Packet(seq, ts, ssrc, 0, bytes), nullptr}};
    EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
    inputs[0].first->Release(&owner);
  }
  /// One pull: the sequence number, or -1 for the 20 ms silence marker of no stream.
  int Pull() {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    EXPECT_TRUE(!out || out->GetRTPHeader() || out->GetSilenceDuration() == 20);
    return Take(out);
  }
  uint32_t Active() {
    uint32_t ssrc = 0;
    return buffer.GetActiveSSRC(&ssrc) ? ssrc : 0xFFFFFFFFu;
  }

  testing::FakeClock clock;
  ScopedClock scopedClock{clock};
  TracedObject owner;
  RTPJitterBuffer buffer;
};

using RTPAudioStreamTest = RTPJitterBufferTest;

TEST_F(RTPAudioStreamTest, PlaysInTimestampOrderAcrossBothWraps) {
  RTPAudioStream stream(1);  // timestamps cross 2^32 and sequence numbers 65536
  for (int n : {7, 2, 11, 0, 5, 9, 1, 10, 3, 6, 8, 4}) {
    Insert(stream, static_cast<uint16_t>(65530 + n), 0xFFFFFC00u + 160u * n);
  }
  for (int n = 0; n < 12; ++n) EXPECT_EQ(Give(stream), (65530 + n) % 65536) << n;
}

TEST_F(RTPAudioStreamTest, LatePacketIsDroppedFarBehindMeansSenderRestart) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(20);
  Insert(stream, 100, 16000);
  ASSERT_EQ(Give(stream), 100);
  Insert(stream, 97, 16000 - 480);       // 3 behind: late
  Insert(stream, 75, 16000 - 160 * 25);  // 25 behind: still late
  EXPECT_EQ(stream.GetNumPackets(), 0);
  Insert(stream, 70, 200);  // 30 behind: the sender restarted
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(Give(stream), 70);
  Insert(stream, 70, 200);  // a copy of the packet played last is not late: it plays again
  EXPECT_EQ(Give(stream), 70);
}

TEST_F(RTPAudioStreamTest, ConcealsALossByRepetitionUpToFivePlays) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(20);
  Insert(stream, 1, 160);
  Insert(stream, 3, 480);
  Insert(stream, 20, 160 * 20);
  // 2 is missing: 1 plays again. 4 to 19 are missing: 3 plays five times in all, then the stream
  // buffers again until 20 ms are queued.
  EXPECT_EQ(Gives(stream, 9), (std::vector<int>{1, 1, 3, 3, 3, 3, 3, -1, 20}));
}

TEST_F(RTPAudioStreamTest, ComfortNoiseEndsPlayoutAndRestartsBuffering) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(40);
  Feed(stream, 1);
  Feed(stream, 2);
  Insert(stream, 3, 480, 13, 320);  // comfort noise, even one carrying 20 ms of bytes
  EXPECT_EQ(Gives(stream, 3), (std::vector<int>{1, 2, -1}));  // then the comfort noise
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(stream.GetDepth(), 0);
  // A queued comfort-noise packet ends buffering at once: the speech before it plays without
  // reaching the 40 ms target, then the stream buffers again.
  Feed(stream, 5);
  EXPECT_EQ(Give(stream), -1);
  Insert(stream, 6, 960, 13, 4);
  EXPECT_EQ(Gives(stream, 2), (std::vector<int>{5, -1}));
}

TEST_F(RTPAudioStreamTest, AdaptationGrowsAndShrinksTheTarget) {
  // Just in time with two late ticks in 99 hand-outs: the target grows by 20 ms.
  RTPAudioStream late(1);
  late.SetRestartThreshold(20);
  uint16_t seq = 0;
  for (int gives = 0; gives < 100; ++gives) {
    if (gives != 30 && gives != 60) Feed(late, seq++);
    ASSERT_NE(Give(late), -1) << gives;
  }
  EXPECT_EQ(late.GetRestartThreshold(), 40);
  // Steady and 100 ms deep: 20 ms less every 100 hand-outs, never below 40.
  RTPAudioStream steady(2);
  for (seq = 0; seq < 5; ++seq) Feed(steady, seq);
  for (int round = 1; round <= 4; ++round) {
    for (int n = 0; n < 100; ++n) {
      Feed(steady, seq++);
      ASSERT_NE(Give(steady), -1);
    }
    EXPECT_EQ(steady.GetRestartThreshold(), std::max(100 - 20 * round, 40)) << round;
  }
}

TEST_F(RTPJitterBufferTest, ChoosesTheLowestQualifyingSSRC) {
  for (uint16_t seq = 0; seq < 5; ++seq) {
    EXPECT_EQ(Pull(), -1);  // no stream yet, then neither holds 100 ms
    Push(seq, 160u * seq, 1000);
    Push(seq, 160u * seq, 7);
  }
  EXPECT_EQ(Pull(), 0);
  EXPECT_EQ(Active(), 7u);
  EXPECT_EQ(buffer.GetStreamCount(), 1u);  // the others are deleted
}

// A sender spraying ever-new SSRCs and packets that decode to 0 ms while the call plays: streams
// and pooled samples stay bounded, the pool stops growing, and the call is not disturbed.
TEST_F(RTPJitterBufferTest, FloodOfSSRCsAndEmptyPacketsStaysBounded) {
  constexpr uint32_t kCall = 0x10;
  uint16_t callSeq = 0;
  for (; callSeq < 5; ++callSeq) Push(callSeq, 160u * callSeq, kCall);
  ASSERT_EQ(Pull(), 0);
  std::mt19937 random(7);
  AudioSampleManager* pool = AudioSampleManager::Instance();
  int previous = 0;
  int32_t createdAfterWarmUp = 0;
  for (int tick = 0; tick < 800; ++tick, ++callSeq) {
    Push(callSeq, 160u * callSeq, kCall);
    for (int n = 0; n < 20; ++n) {  // SSRCs above the call's (a lower one would rightly win)
      Push(static_cast<uint16_t>(random()), random(), 0x1000 + random() % 0x7FFFFFFF, n % 2 * 320);
      Push(static_cast<uint16_t>(tick * 20 + n), 160u * (tick * 20 + n), 0x20, 0);
    }
    // Each tick plays the call's next packet (adaptation may skip a few to trim the depth).
    const int step = (Pull() - previous + 65536) % 65536;
    ASSERT_TRUE(step > 0 && step < 5) << "tick " << tick;
    previous += step;
    ASSERT_EQ(Active(), kCall);
    ASSERT_LE(buffer.GetStreamCount(), 1 + RTPJitterBuffer::kMaxInactiveStreams);
    ASSERT_LE(pool->InUseCount(), 5 * 256 + 8) << "tick " << tick;  // five streams of 256
    if (tick == 300) createdAfterWarmUp = pool->CreatedCount();
    clock.AdvanceMs(20);
  }
  EXPECT_EQ(pool->CreatedCount(), createdAfterWarmUp);
}

// One thread pushes packets in real time with jitter and some reordering, one pulls every 20 ms:
// the packets come out in order (a packet may repeat to conceal a gap, never go backwards). Run
// under TSan for data races.
TEST_F(RTPJitterBufferTest, PushAndPullThreadsAtOnceKeepOrder) {
  buffer.SetMinimumDepth(60);
  std::atomic<bool> pushing{true};
  std::thread pusher([&] {
    std::mt19937 random(3);
    for (int k = 0; k < 60; ++k) {
      const int n = k % 7 == 0 ? k + 1 : k % 7 == 1 ? k - 1 : k;  // pairs swapped now and then
      Push(static_cast<uint16_t>(65500 + n), 0xFFFFF000u + 160u * n, 77);  // across both wraps
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 20));
    }
    pushing = false;
  });
  std::vector<int> played;
  for (int after = 0; pushing.load() || after < 10; after += pushing.load() ? 0 : 1) {
    const int seq = Pull();
    if (seq >= 0) played.push_back((seq - 65500 + 65536) % 65536);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pusher.join();
  ASSERT_FALSE(played.empty());
  EXPECT_TRUE(std::is_sorted(played.begin(), played.end()));
  EXPECT_LT(played.back(), 60);
}

// The re-framer between an upstream handing out prepared samples (one per pull, then nothing)
// and a sink recording what it is sent.
class FixedSizeAudioBufferTest : public ::testing::Test, public AudioSource, public AudioSink {
 protected:
  void SetUp() override {
    Connect(this, &buffer);
    ASSERT_EQ(buffer.StartTransform(), 0);
  }
  void TearDown() override {
    buffer.StopTransform();
    Disconnect(this, &buffer);
  }
  int32_t GenerateData(AudioSample** out) override {
    ++pulls;
    *out = queue.empty() ? nullptr : queue.front();
    if (*out != nullptr) queue.pop_front();
    return 0;
  }
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    for (auto& [s, from] : samples) {
      sizes.push_back(s->GetDataSize());
      bytes.insert(bytes.end(), s->GetData(), s->GetData() + s->GetDataSize());
    }
    return 0;
  }
  void Add(int32_t bytes, int32_t silenceMs = 0, uint8_t first = 0) {
    queue.push_back(MakePcm(this, bytes, silenceMs, first));
  }
  /// One pull: the data size (the bytes go to `bytes`), or minus the duration of a silence marker.
  int32_t Pull() {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    if (out == nullptr) return 0;
    bytes.insert(bytes.end(), out->GetData(), out->GetData() + out->GetDataSize());
    const int32_t result = out->GetDataSize() > 0 ? out->GetDataSize() : -out->GetSilenceDuration();
    out->Release(this);
    return result;
  }

  std::deque<AudioSample*> queue;
  int pulls = 0;
  std::vector<int32_t> sizes;
  std::vector<uint8_t> bytes;  // sent downstream or pulled
  FixedSizeAudioBuffer buffer;
};

TEST_F(FixedSizeAudioBufferTest, PulledOutputsRunOnAcrossInputsAndSilence) {
  Add(480, 0, 0);  // two 30 ms inputs make three 20 ms outputs
  Add(480, 0, 100);
  Add(0, 0);   // neither data nor silence: nothing
  Add(0, 20);  // 20 ms of silence: 320 zero bytes
  EXPECT_EQ((std::vector<int32_t>{Pull(), Pull(), Pull()}), std::vector<int32_t>(3, 320));
  EXPECT_EQ(pulls, 2);  // the third came from the queue
  EXPECT_EQ(Pull(), 320);
  EXPECT_EQ(pulls, 4);
  std::vector<uint8_t> expected(1280, 0);  // the first input, the second, the silence
  for (int n = 0; n < 960; ++n) expected[n] = static_cast<uint8_t>(n < 480 ? n : n - 380);
  EXPECT_EQ(bytes, expected);
  // The output size stays within a sample's capacity and at least 1 ms.
  buffer.SetOutputDuration(500);
  Add(3200);
  EXPECT_EQ(Pull(), 3200);
  buffer.SetOutputDuration(0);
  Add(2);
  Add(14);
  EXPECT_EQ(Pull(), 16);
  buffer.SetOutputDuration(30);
  buffer.StopTransform();
  EXPECT_EQ(Pull(), -30);  // stopped: a marker of the output duration
}

TEST_F(FixedSizeAudioBufferTest, PushSendsEveryFullOutputAndKeepsTheRest) {
  Connect(&buffer, this);
  AudioSample* input = MakePcm(&buffer, 1000);
  AudioSampleList inputs{{input, nullptr}};
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
  EXPECT_EQ(sizes, (std::vector<int32_t>{320, 320, 320}));
  EXPECT_EQ(buffer.GetQueuedBytes(), 40);
  for (int n = 0; n < 960; ++n) ASSERT_EQ(bytes[n], static_cast<uint8_t>(n));
  input->SetFormat(MakeAudioFormat(0));  // G.711: 20 ms is 160 bytes
  input->SetDataSize(200);
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
  EXPECT_EQ(sizes.size(), 4u);
  EXPECT_EQ(buffer.GetQueuedBytes(), 80);
  buffer.StopTransform();
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);  // stopped: keeps nothing
  EXPECT_EQ(buffer.GetQueuedBytes(), 80);
  input->Release(&buffer);
  Disconnect(&buffer, this);
}

}  // namespace
}  // namespace tarsio
