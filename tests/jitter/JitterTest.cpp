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
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/AudioSource.h"
#include "jitter/FixedSizeAudioBuffer.h"
#include "jitter/RTPAudioStream.h"
#include "jitter/RTPJitterBuffer.h"
#include "rtp/RTPPacket.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

/// A 16-bit PCM sample of `bytes` bytes counting up from `first` (a silence marker when bytes is
/// 0).
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

/// A packet: PCM of `bytes` bytes (320 = 20 ms) with an RTP header; one reference for owner.
AudioSample* MakePacket(const TracedObject* owner, uint16_t seq, uint32_t timestamp, uint32_t ssrc,
                        uint8_t payloadType = 0, int32_t bytes = 320) {
  AudioSample* sample = MakePcm(owner, bytes);
  auto* header = new RTPPacket;
  header->sequenceNumber = seq;
  header->timestamp = timestamp;
  header->ssrc = ssrc;
  header->payloadType = payloadType;
  sample->SetRTPHeader(header);
  return sample;
}

class JitterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(buffer.StartTransform(), 0); }
  void TearDown() override { buffer.StopTransform(); }
  void Insert(RTPAudioStream& stream, uint16_t seq, uint32_t timestamp, uint8_t pt = 0,
              int32_t bytes = 320) {
    AudioSample* packet = MakePacket(&owner, seq, timestamp, stream.GetSSRC(), pt, bytes);
    stream.InsertRTPPacket(packet);
    packet->Release(&owner);
  }
  /// A 20 ms packet whose timestamp follows its sequence number.
  void Feed(RTPAudioStream& stream, uint16_t seq) { Insert(stream, seq, 160u * seq); }
  /// The sequence number of what was handed out (released), or -1 for no packet.
  int Take(AudioSample* out) {
    const int seq =
        out != nullptr && out->GetRTPHeader() ? out->GetRTPHeader()->sequenceNumber : -1;
    if (out != nullptr) out->Release(&owner);
    return seq;
  }
  int Give(RTPAudioStream& stream) {
    AudioSample* out = nullptr;
    stream.GiveNextRTPPacket(&out);
    return Take(out);
  }

  void Push(uint16_t seq, uint32_t timestamp, uint32_t ssrc, int32_t bytes = 320) {
    AudioSample* packet = MakePacket(&owner, seq, timestamp, ssrc, 0, bytes);
    AudioSampleList inputs{{packet, nullptr}};
    EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
    packet->Release(&owner);
  }
  /// One pull: the sequence number, or -1 for the 20 ms silence marker of no stream.
  int Pull() {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    if (out != nullptr && out->GetRTPHeader() == nullptr) {
      EXPECT_EQ(out->GetSilenceDuration(), 20);
      EXPECT_EQ(out->Format(), MakeAudioFormat(5));
    }
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

using RTPAudioStreamTest = JitterTest;
using RTPJitterBufferTest = JitterTest;

TEST_F(RTPAudioStreamTest, PlaysInTimestampOrderAcrossBothWraps) {
  // Timestamps cross 2^32 and sequence numbers 65536; inserted scrambled, played in order.
  RTPAudioStream stream(1);
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
  EXPECT_EQ(stream.GetNumPackets(), 1);
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(Give(stream), 70);
  // A copy of the packet played last (same timestamp) is not late: it plays again.
  Insert(stream, 70, 200);
  EXPECT_EQ(Give(stream), 70);
}

TEST_F(RTPAudioStreamTest, ConcealsALossByRepetitionUpToFivePlays) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(40);
  Insert(stream, 10, 1600);
  Insert(stream, 12, 1920);
  EXPECT_EQ(Give(stream), 10);
  EXPECT_EQ(Give(stream), 10);  // 11 is missing: 10 plays again
  EXPECT_EQ(Give(stream), 12);
  // A longer gap: five plays in all, then buffering again until 20 ms are queued.
  RTPAudioStream gap(2);
  gap.SetRestartThreshold(20);
  Insert(gap, 1, 160);
  Insert(gap, 20, 160 * 20);
  for (int n = 0; n < 5; ++n) EXPECT_EQ(Give(gap), 1) << n;
  EXPECT_EQ(Give(gap), -1);
  EXPECT_TRUE(gap.IsRestarting());
  EXPECT_EQ(Give(gap), 20);
}

TEST_F(RTPAudioStreamTest, ComfortNoiseEndsPlayoutAndRestartsBuffering) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(40);
  Feed(stream, 1);
  Feed(stream, 2);
  Insert(stream, 3, 480, 13, 320);  // comfort noise, even one carrying 20 ms of bytes
  EXPECT_EQ(stream.GetDepth(), 40);
  EXPECT_EQ(Give(stream), 1);
  EXPECT_EQ(Give(stream), 2);
  EXPECT_EQ(Give(stream), -1);  // the comfort-noise packet reached the top
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(stream.GetDepth(), 0);
  // A queued comfort-noise packet ends buffering at once: the speech before it plays without
  // reaching the target, then the stream buffers again.
  Feed(stream, 5);
  EXPECT_EQ(Give(stream), -1);  // 20 ms queued, target 40
  Insert(stream, 6, 960, 13, 4);
  EXPECT_EQ(Give(stream), 5);
  EXPECT_EQ(Give(stream), -1);
  EXPECT_TRUE(stream.IsRestarting());
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
  EXPECT_EQ(Pull(), -1);  // no stream: silence
  for (uint16_t seq = 0; seq < 5; ++seq) {
    Push(seq, 160u * seq, 1000);
    Push(seq, 160u * seq, 7);
    if (seq < 4) {
      EXPECT_EQ(Pull(), -1);  // neither holds 100 ms yet
    }
  }
  EXPECT_EQ(buffer.GetStreamCount(), 2u);
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
  for (int tick = 0; tick < 800; ++tick) {
    Push(callSeq, 160u * callSeq, kCall);
    ++callSeq;
    for (int n = 0; n < 20; ++n) {
      // SSRCs above the call's (a lower qualifying one would rightly win).
      Push(static_cast<uint16_t>(random()), random(), 0x1000 + random() % 0x7FFFFFFF,
           (n % 2) ? 320 : 0);
      Push(static_cast<uint16_t>(tick * 20 + n), 160u * (tick * 20 + n), 0x20, 0);
    }
    // Each tick plays the call's next packet (adaptation may skip a few to trim the depth).
    const int seq = Pull();
    ASSERT_GT((seq - previous + 65536) % 65536, 0) << "tick " << tick;
    ASSERT_LT((seq - previous + 65536) % 65536, 5) << "tick " << tick;
    previous = seq;
    ASSERT_EQ(Active(), kCall);
    ASSERT_LE(buffer.GetStreamCount(), 1 + RTPJitterBuffer::kMaxInactiveStreams);
    ASSERT_LE(pool->InUseCount(), 5 * 256 + 8) << "tick " << tick;  // five streams of 256
    if (tick == 300) createdAfterWarmUp = pool->CreatedCount();
    clock.AdvanceMs(20);
  }
  EXPECT_EQ(pool->CreatedCount(), createdAfterWarmUp);
  buffer.StopTransform();
  buffer.StartTransform();  // deletes every stream and gives their samples back
  EXPECT_EQ(pool->InUseCount(), 0);
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
      // Sequence numbers cross the wrap, timestamps cross 2^32.
      Push(static_cast<uint16_t>(65500 + n), 0xFFFFF000u + 160u * n, 77);
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
  buffer.StopTransform();
  ASSERT_FALSE(played.empty());
  EXPECT_TRUE(std::is_sorted(played.begin(), played.end()));
  EXPECT_LT(played.back(), 60);
}

// An upstream handing out prepared samples, one per pull, then nothing; a sink recording outputs.
class Ends : public AudioSource, public AudioSink {
 public:
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
    queue.push_back(MakePcm(static_cast<AudioSource*>(this), bytes, silenceMs, first));
  }
  std::deque<AudioSample*> queue;
  int pulls = 0;
  std::vector<int32_t> sizes;
  std::vector<uint8_t> bytes;
};

class FixedSizeAudioBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Connect(static_cast<AudioSource*>(&ends), static_cast<AudioSink*>(&buffer));
    ASSERT_EQ(buffer.StartTransform(), 0);
  }
  void TearDown() override {
    buffer.StopTransform();
    Disconnect(static_cast<AudioSource*>(&ends), static_cast<AudioSink*>(&buffer));
  }
  /// One pull: the data size, or minus the silence duration of a marker; data gets the bytes.
  int32_t Pull(std::vector<uint8_t>* data = nullptr) {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    if (out == nullptr) return 0;
    const int32_t size = out->GetDataSize();
    if (data != nullptr) data->assign(out->GetData(), out->GetData() + size);
    out->Release(&owner);
    return size > 0 ? size : -out->GetSilenceDuration();
  }

  TracedObject owner;
  Ends ends;
  FixedSizeAudioBuffer buffer;
};

TEST_F(FixedSizeAudioBufferTest, PulledOutputsRunOnAcrossInputsAndSilence) {
  ends.Add(480, 0, 0);  // two 30 ms inputs make three 20 ms outputs
  ends.Add(480, 0, 100);
  ends.Add(0, 0);   // neither data nor silence: nothing
  ends.Add(0, 20);  // 20 ms of silence: 320 zero bytes
  std::vector<uint8_t> data;
  EXPECT_EQ(Pull(&data), 320);
  EXPECT_EQ(data[319], static_cast<uint8_t>(319));
  EXPECT_EQ(buffer.GetQueuedBytes(), 160);
  EXPECT_EQ(Pull(&data), 320);
  EXPECT_EQ(data[0], static_cast<uint8_t>(320));  // the rest of the first input, then the second
  EXPECT_EQ(data[160], 100);
  EXPECT_EQ(Pull(), 320);
  EXPECT_EQ(ends.pulls, 2);  // the third came from the queue
  EXPECT_EQ(Pull(&data), 320);
  EXPECT_EQ(ends.pulls, 4);
  EXPECT_EQ(data, std::vector<uint8_t>(320, 0));
  // The output size stays within a sample's capacity and at least 1 ms.
  buffer.SetOutputDuration(500);
  ends.Add(3200);
  EXPECT_EQ(Pull(), 3200);
  buffer.SetOutputDuration(0);
  ends.Add(2);
  ends.Add(14);
  EXPECT_EQ(Pull(), 16);
  // Stopped: a marker of the output duration.
  buffer.SetOutputDuration(30);
  buffer.StopTransform();
  EXPECT_EQ(Pull(), -30);
}

TEST_F(FixedSizeAudioBufferTest, PushSendsEveryFullOutputAndKeepsTheRest) {
  Connect(&buffer, static_cast<AudioSink*>(&ends));
  AudioSample* input = MakePcm(&owner, 1000);
  AudioSampleList inputs{{input, nullptr}};
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
  EXPECT_EQ(ends.sizes, (std::vector<int32_t>{320, 320, 320}));
  EXPECT_EQ(buffer.GetQueuedBytes(), 40);
  for (int n = 0; n < 960; ++n) ASSERT_EQ(ends.bytes[n], static_cast<uint8_t>(n));
  // G.711 input: 20 ms is 160 bytes.
  input->SetFormat(MakeAudioFormat(0));
  input->SetDataSize(200);
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
  EXPECT_EQ(ends.sizes.size(), 4u);
  EXPECT_EQ(buffer.GetQueuedBytes(), 80);
  buffer.StopTransform();
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);  // stopped: keeps nothing
  EXPECT_EQ(buffer.GetQueuedBytes(), 80);
  input->Release(&owner);
  Disconnect(&buffer, static_cast<AudioSink*>(&ends));
}

}  // namespace
}  // namespace tarsio
