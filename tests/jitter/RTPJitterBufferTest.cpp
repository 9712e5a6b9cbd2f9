#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "JitterTestPackets.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSampleManager.h"
#include "jitter/RTPAudioStream.h"
#include "jitter/RTPJitterBuffer.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using testing::FakeClock;
using testing::MakePacket;
using testing::SeqOf;

class RTPJitterBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(buffer.StartTransform(), 0); }
  void TearDown() override { buffer.StopTransform(); }

  int32_t Push(uint16_t seq, uint32_t timestamp, uint32_t ssrc, int32_t bytes = 320,
               uint8_t pt = 0) {
    AudioSample* packet = MakePacket(&owner, seq, timestamp, ssrc, pt, bytes);
    AudioSampleList inputs{{packet, nullptr}};
    const int32_t result = buffer.RenderAudioSamples(inputs);
    packet->Release(&owner);
    return result;
  }

  // One pull: the sequence number handed out, -1 for a 20 ms silence marker, -2 for no sample.
  int Pull() {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    if (out == nullptr) return -2;
    int seq = SeqOf(out);
    if (seq < 0) {
      EXPECT_EQ(out->GetDataSize(), 0);
      EXPECT_EQ(out->GetSilenceDuration(), 20);
      EXPECT_EQ(out->Format(), MakeAudioFormat(5));
    }
    out->Release(&owner);
    return seq;
  }

  uint32_t Active() {
    uint32_t ssrc = 0;
    return buffer.GetActiveSSRC(&ssrc) ? ssrc : 0xFFFFFFFFu;
  }

  FakeClock clock;
  ScopedClock scopedClock{clock};
  TracedObject owner;
  RTPJitterBuffer buffer;
};

TEST_F(RTPJitterBufferTest, SilenceWithoutPacketsAndNothingWhileStopped) {
  for (int n = 0; n < 3; ++n) EXPECT_EQ(Pull(), -1);
  buffer.StopTransform();
  EXPECT_EQ(Pull(), -2);
}

TEST_F(RTPJitterBufferTest, ChoosesTheLowestQualifyingSSRCAndDeletesTheOthers) {
  for (uint16_t seq = 0; seq < 5; ++seq) {
    EXPECT_EQ(Push(seq, 160u * seq, 1000), 0);
    EXPECT_EQ(Push(seq, 160u * seq, 7), 0);
    if (seq < 4) {
      EXPECT_EQ(Pull(), -1);  // neither holds 100 ms yet
    }
  }
  EXPECT_EQ(buffer.GetStreamCount(), 2u);
  EXPECT_EQ(Pull(), 0);
  EXPECT_EQ(Active(), 7u);
  EXPECT_EQ(buffer.GetStreamCount(), 1u);
  EXPECT_EQ(buffer.GetQueuedPackets(), 4);
}

TEST_F(RTPJitterBufferTest, MinimumDepthDecidesWhenAStreamQualifies) {
  buffer.SetMinimumDepth(60);
  for (uint16_t seq = 0; seq < 3; ++seq) Push(seq, 160u * seq, 5);
  EXPECT_EQ(Pull(), -1);  // qualifies, but the stream itself buffers to its 100 ms target
  EXPECT_EQ(Active(), 5u);
  Push(3, 480, 5);
  Push(4, 640, 5);
  EXPECT_EQ(Pull(), 0);
}

TEST_F(RTPJitterBufferTest, DrainedActiveStreamIsDeletedAndMustBufferAgain) {
  for (uint16_t seq = 0; seq < 5; ++seq) Push(seq, 160u * seq, 9);
  for (int seq = 0; seq < 5; ++seq) EXPECT_EQ(Pull(), seq);
  EXPECT_EQ(Pull(), -1);  // found empty: deleted, nothing else qualifies
  EXPECT_EQ(buffer.GetStreamCount(), 0u);
  for (uint16_t seq = 5; seq < 9; ++seq) {
    Push(seq, 160u * seq, 9);
    EXPECT_EQ(Pull(), -1);
  }
  Push(9, 160u * 9, 9);
  EXPECT_EQ(Pull(), 5);
}

TEST_F(RTPJitterBufferTest, MoreThanFiveEmptyHandOutsMakeItChooseAgain) {
  for (uint16_t seq = 0; seq < 5; ++seq) Push(seq, 160u * seq, 3);
  Push(40, 160u * 40, 3);  // far ahead: the stream will give up repeating and buffer
  for (int seq = 0; seq < 5; ++seq) EXPECT_EQ(Pull(), seq);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(Pull(), 4);        // concealment
  for (int n = 0; n < 6; ++n) EXPECT_EQ(Pull(), -1) << n;  // empty hand-outs 1..6
  EXPECT_EQ(Active(), 3u);
  EXPECT_EQ(Pull(), -1);  // the seventh pull chooses anew: stream 3 is deleted
  EXPECT_EQ(Active(), 0xFFFFFFFFu);
  EXPECT_EQ(buffer.GetStreamCount(), 0u);
}

TEST_F(RTPJitterBufferTest, PushRefusalsAndOnlyTheFirstInputIsFiled) {
  AudioSample* bare = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&bare, &owner);
  AudioSampleList noHeader{{bare, nullptr}};
  EXPECT_EQ(buffer.RenderAudioSamples(noHeader), RTPJitterBuffer::kErrNoRTPHeader);
  bare->Release(&owner);

  AudioSampleList empty;
  EXPECT_EQ(buffer.RenderAudioSamples(empty), 0);

  AudioSample* first = MakePacket(&owner, 1, 160, 11);
  AudioSample* second = MakePacket(&owner, 1, 160, 12);
  AudioSampleList two{{first, nullptr}, {second, nullptr}};
  EXPECT_EQ(buffer.RenderAudioSamples(two), 0);
  first->Release(&owner);
  second->Release(&owner);
  EXPECT_EQ(buffer.GetStreamCount(), 1u);
}

TEST_F(RTPJitterBufferTest, PushWhileStoppedSleepsTwentyMillisecondsAndKeepsNothing) {
  buffer.StopTransform();
  std::atomic<bool> done{false};
  std::thread pusher([&] {
    Push(1, 160, 4);
    done = true;
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(19);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  clock.AdvanceMs(1);
  pusher.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(buffer.GetStreamCount(), 0u);
  // A start deletes whatever streams there were.
  ASSERT_EQ(buffer.StartTransform(), 0);
  Push(1, 160, 4);
  buffer.StopTransform();
  ASSERT_EQ(buffer.StartTransform(), 0);
  EXPECT_EQ(buffer.GetStreamCount(), 0u);
}

TEST_F(RTPJitterBufferTest, IdleAndSurplusStreamsAreEvicted) {
  // SSRC 50 is active; 1..4 fill the non-active places at different times.
  for (uint16_t seq = 0; seq < 5; ++seq) Push(seq, 160u * seq, 50);
  EXPECT_EQ(Pull(), 0);
  for (uint32_t ssrc = 1; ssrc <= 4; ++ssrc) {
    Push(0, 0, ssrc);
    clock.AdvanceMs(100);
  }
  EXPECT_EQ(buffer.GetStreamCount(), 5u);
  Push(1, 160, 2);  // 2 fed again; 1 is now the one fed least recently
  Push(0, 0, 99);
  EXPECT_EQ(buffer.GetStreamCount(), 5u);
  Push(1, 160, 1);  // 1 was evicted: a fresh stream with one packet
  EXPECT_EQ(buffer.GetStreamCount(), 5u);
  EXPECT_EQ(Active(), 50u);

  // Nobody but the active stream fed for more than the idle time-out: the others go.
  clock.AdvanceMs(RTPJitterBuffer::kStreamIdleTimeoutMs + 1);
  Push(5, 800, 50);
  EXPECT_EQ(buffer.GetStreamCount(), 1u);
  EXPECT_EQ(Active(), 50u);
  EXPECT_EQ(Pull(), 1);
}

// A sender spraying packets with ever-new SSRCs and packets that decode to 0 ms, while the call's
// stream keeps playing: streams and pooled samples stay bounded and the call is not disturbed.
TEST_F(RTPJitterBufferTest, MemoryStaysFlatUnderSSRCAndEmptyPacketSpray) {
  constexpr uint32_t kCall = 0x10;
  uint16_t callSeq = 0;
  for (; callSeq < 5; ++callSeq) Push(callSeq, 160u * callSeq, kCall);
  ASSERT_EQ(Pull(), 0);
  std::mt19937 random(7);
  AudioSampleManager* pool = AudioSampleManager::Instance();
  const int32_t bound = static_cast<int32_t>((1 + RTPJitterBuffer::kMaxInactiveStreams) *
                                             RTPAudioStream::kMaxQueuedPackets) +
                        8;
  int previous = 0;
  int32_t createdAfterWarmUp = 0;
  for (int tick = 0; tick < 800; ++tick) {
    Push(callSeq, 160u * callSeq, kCall);
    ++callSeq;
    for (int n = 0; n < 20; ++n) {
      // New SSRCs above the call's (the lowest qualifying SSRC would legitimately win).
      const uint32_t ssrc = 0x1000 + random() % 0x7FFFFFFF;
      Push(static_cast<uint16_t>(random()), random(), ssrc, (n % 2) ? 320 : 0);
      // Header-only packets on one SSRC: they never add depth.
      Push(static_cast<uint16_t>(tick * 20 + n), 160u * (tick * 20 + n), 0x20, 0);
    }
    // Every tick plays the call's next packet (adaptation may skip a few to trim the depth).
    const int seq = Pull();
    ASSERT_GE(seq, 0) << "tick " << tick;
    ASSERT_GT((seq - previous + 65536) % 65536, 0) << "tick " << tick;
    ASSERT_LT((seq - previous + 65536) % 65536, 5) << "tick " << tick;
    previous = seq;
    EXPECT_EQ(Active(), kCall);
    ASSERT_LE(buffer.GetStreamCount(), 1 + RTPJitterBuffer::kMaxInactiveStreams);
    ASSERT_LE(pool->InUseCount(), bound) << "tick " << tick;
    if (tick == 300) createdAfterWarmUp = pool->CreatedCount();
    clock.AdvanceMs(20);
  }
  EXPECT_EQ(pool->CreatedCount(), createdAfterWarmUp);  // the pool stopped growing
  RecordProperty("PoolSamplesCreated", pool->CreatedCount());
  buffer.StopTransform();
  buffer.StartTransform();  // deletes every stream and gives their samples back
  EXPECT_EQ(pool->InUseCount(), 0);
}

// One thread pushes packets in real time with jitter and some reordering, one pulls every
// 20 ms. Whatever the timing, the packets come out in order (a packet may repeat to conceal a
// gap, never go backwards); run under TSan for data races.
TEST(RTPJitterBufferThreadsTest, PushAndPullAtOnceKeepOrder) {
  TracedObject owner;
  RTPJitterBuffer buffer;
  buffer.SetMinimumDepth(60);
  ASSERT_EQ(buffer.StartTransform(), 0);
  constexpr int kPackets = 60;
  std::atomic<bool> pushing{true};
  std::thread pusher([&] {
    std::mt19937 random(3);
    std::vector<int> order(kPackets);
    for (int n = 0; n < kPackets; ++n) order[n] = n;
    for (int n = 0; n + 1 < kPackets; n += 7) std::swap(order[n], order[n + 1]);
    for (int n : order) {
      const auto seq = static_cast<uint16_t>(65500 + n);  // crosses the sequence wrap
      AudioSample* packet = MakePacket(&owner, seq, 0xFFFFF000u + 160u * n, 77);
      AudioSampleList inputs{{packet, nullptr}};
      buffer.RenderAudioSamples(inputs);
      packet->Release(&owner);
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 20));
    }
    pushing = false;
  });
  std::vector<int> played;
  int pulls = 0;
  while (pushing.load() || pulls < 10) {
    AudioSample* out = nullptr;
    buffer.GenerateData(&out);
    if (out != nullptr) {
      if (SeqOf(out) >= 0) played.push_back((SeqOf(out) - 65500 + 65536) % 65536);
      out->Release(&owner);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!pushing.load()) ++pulls;
  }
  pusher.join();
  buffer.StopTransform();
  ASSERT_FALSE(played.empty());
  for (size_t n = 1; n < played.size(); ++n) {
    ASSERT_LE(played[n - 1], played[n]) << "at " << n;
  }
  EXPECT_LT(played.front(), kPackets);
}

}  // namespace
}  // namespace tarsio
