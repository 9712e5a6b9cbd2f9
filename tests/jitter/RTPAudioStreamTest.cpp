#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "JitterTestPackets.h"
#include "framework/Registry.h"
#include "jitter/RTPAudioStream.h"

namespace tarsio {
namespace {

using testing::MakePacket;
using testing::SeqOf;

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

class RTPAudioStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDynamic(true); }
  void TearDown() override { SetDynamic(true); }

  static void SetDynamic(bool on) {
    RegSetString(HKEY_CURRENT_USER, kKey, "UseDynamicJitterBuffer", on ? "true" : "false");
  }

  // Inserts one 20 ms packet (timestamp 160 per sequence step from base).
  void Insert(RTPAudioStream& stream, uint16_t seq, uint32_t timestamp, uint8_t pt = 0,
              int32_t bytes = 320) {
    AudioSample* packet = MakePacket(&owner, seq, timestamp, 1, pt, bytes);
    stream.InsertRTPPacket(packet);
    packet->Release(&owner);
  }

  // One playout tick: the sequence number handed out, or -1 for nothing.
  int Give(RTPAudioStream& stream) {
    AudioSample* out = nullptr;
    stream.GiveNextRTPPacket(&out);
    const int seq = SeqOf(out);
    if (out != nullptr) out->Release(&owner);
    return seq;
  }

  TracedObject owner;
};

TEST_F(RTPAudioStreamTest, BuffersToTheThresholdThenPlaysInTimestampOrder) {
  RTPAudioStream stream(1);
  const uint16_t arrival[] = {3, 1, 4, 0, 2};
  for (int n = 0; n < 4; ++n) {
    Insert(stream, arrival[n], 160u * arrival[n]);
    EXPECT_EQ(Give(stream), -1) << "buffering after " << n + 1 << " packets";
  }
  Insert(stream, 2, 320);
  EXPECT_EQ(stream.GetDepth(), 100);
  for (int expected = 0; expected < 5; ++expected) EXPECT_EQ(Give(stream), expected);
  EXPECT_EQ(stream.GetDepth(), 0);
}

TEST_F(RTPAudioStreamTest, OrdersAcrossTimestampAndSequenceWrap) {
  // Twelve packets whose timestamps cross 2^32 and whose sequence numbers cross 65536, inserted
  // in a scrambled order; plus two packets with equal timestamps ordered by sequence number.
  struct Row {
    uint16_t seq;
    uint32_t timestamp;
  };
  std::vector<Row> rows;
  for (int n = 0; n < 12; ++n) {
    rows.push_back(
        {static_cast<uint16_t>(65530 + n), static_cast<uint32_t>(0xFFFFFC00u + 160u * n)});
  }
  const int order[] = {7, 2, 11, 0, 5, 9, 1, 10, 3, 6, 8, 4};
  RTPAudioStream stream(1);
  for (int index : order) Insert(stream, rows[index].seq, rows[index].timestamp);
  for (int n = 0; n < 12; ++n) EXPECT_EQ(Give(stream), rows[n].seq) << n;

  RTPAudioStream sameTime(2);
  sameTime.SetRestartThreshold(40);
  Insert(sameTime, 2, 5000);
  Insert(sameTime, 65535, 5000);
  EXPECT_EQ(Give(sameTime), 65535);
  EXPECT_EQ(Give(sameTime), 2);
}

TEST_F(RTPAudioStreamTest, ConcealsALossByRepeatingThePreviousPacket) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(40);
  Insert(stream, 10, 1600);
  Insert(stream, 12, 1920);
  EXPECT_EQ(Give(stream), 10);
  EXPECT_EQ(Give(stream), 10);  // gap 40 ms: 40 - 20 x 1 is not below 20
  EXPECT_EQ(Give(stream), 12);  // 40 - 20 x 2 is below 20
}

TEST_F(RTPAudioStreamTest, RepeatsAtMostFivePlaysThenBuffersAgain) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(20);
  Insert(stream, 1, 160);
  EXPECT_EQ(Give(stream), 1);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(Give(stream), 1) << "repeat " << n + 1;
  EXPECT_EQ(Give(stream), -1);
  EXPECT_TRUE(stream.IsRestarting());
  // A loss longer than five plays with a packet waiting: buffering again too.
  RTPAudioStream gap(2);
  gap.SetRestartThreshold(20);
  Insert(gap, 1, 160);
  Insert(gap, 20, 160 * 20);
  EXPECT_EQ(Give(gap), 1);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(Give(gap), 1);
  EXPECT_EQ(Give(gap), -1);
  EXPECT_TRUE(gap.IsRestarting());
  EXPECT_EQ(gap.GetNumPackets(), 1);
  EXPECT_EQ(Give(gap), 20);  // 20 ms queued reach the threshold of 20
}

TEST_F(RTPAudioStreamTest, LatePacketIsDroppedFarBehindMeansSenderRestart) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(20);
  Insert(stream, 100, 16000);
  ASSERT_EQ(Give(stream), 100);

  Insert(stream, 97, 16000 - 480);  // 3 behind: late
  EXPECT_EQ(stream.GetNumPackets(), 0);
  Insert(stream, 75, 16000 - 160 * 25);  // 25 behind: still late
  EXPECT_EQ(stream.GetNumPackets(), 0);

  Insert(stream, 70, 200);  // 30 behind: the sender restarted
  EXPECT_EQ(stream.GetNumPackets(), 1);
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(Give(stream), 70);

  // A duplicate of the packet played last (same timestamp) is not late: queued and played again.
  Insert(stream, 70, 200);
  EXPECT_EQ(stream.GetNumPackets(), 1);
  EXPECT_EQ(Give(stream), 70);
}

TEST_F(RTPAudioStreamTest, ComfortNoiseEndsPlayoutAndStaysOutOfDepth) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(40);
  Insert(stream, 1, 160);
  Insert(stream, 2, 320);
  Insert(stream, 3, 480, 13, 320);  // comfort noise, even one that carries 20 ms of bytes
  EXPECT_EQ(stream.GetDepth(), 40);
  EXPECT_EQ(Give(stream), 1);
  EXPECT_EQ(Give(stream), 2);
  EXPECT_EQ(Give(stream), -1);  // the comfort-noise packet reached the top
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(stream.GetNumPackets(), 0);
  EXPECT_EQ(stream.GetDepth(), 0);

  // A queued comfort-noise packet ends buffering at once: the speech before it plays without
  // waiting for the threshold, then the marker puts the stream back into buffering.
  Insert(stream, 5, 800);
  EXPECT_EQ(Give(stream), -1);  // 20 ms queued, target 40
  Insert(stream, 6, 960, 13, 4);
  EXPECT_EQ(Give(stream), 5);
  EXPECT_EQ(Give(stream), -1);
  EXPECT_TRUE(stream.IsRestarting());
  EXPECT_EQ(stream.GetNumPackets(), 0);
}

TEST_F(RTPAudioStreamTest, BoundedByDepthAndByPacketCount) {
  RTPAudioStream stream(1);
  for (int n = 0; n < 80; ++n) Insert(stream, static_cast<uint16_t>(n), 160u * n);
  EXPECT_EQ(stream.GetDepth(), 1000);  // ten times the target of 100 ms
  EXPECT_EQ(stream.GetNumPackets(), 50);

  RTPAudioStream empty(2);  // header-only packets of 0 ms never reach the depth bound
  for (int n = 0; n < 1000; ++n) Insert(empty, static_cast<uint16_t>(n), 160u * n, 0, 0);
  EXPECT_EQ(empty.GetNumPackets(), static_cast<int32_t>(RTPAudioStream::kMaxQueuedPackets));
  EXPECT_EQ(empty.GetDepth(), 0);
}

TEST_F(RTPAudioStreamTest, AdaptationGrowsTheTargetAfterRepeatedUnderruns) {
  RTPAudioStream stream(1);
  stream.SetRestartThreshold(20);
  uint16_t seq = 0;
  int gives = 0;
  // 99 hand-outs of a just-in-time stream, with two ticks where the packet is late.
  while (gives < 99) {
    if (gives != 30 && gives != 60) {
      Insert(stream, seq, 160u * seq);
      ++seq;
    }
    ASSERT_NE(Give(stream), -1) << gives;
    ++gives;
  }
  EXPECT_EQ(stream.GetNumRepeats(), 2);
  EXPECT_EQ(stream.GetRestartThreshold(), 20);
  Insert(stream, seq, 160u * seq);
  Give(stream);
  EXPECT_EQ(stream.GetRestartThreshold(), 40);
  EXPECT_EQ(stream.GetNumRepeats(), 0);
}

TEST_F(RTPAudioStreamTest, AdaptationShrinksTheTargetAndDropsSurplus) {
  // Steady stream 100 ms deep: after 99 hand-outs the target shrinks to 80 (and never below 40).
  RTPAudioStream steady(1);
  uint16_t seq = 0;
  for (; seq < 5; ++seq) Insert(steady, seq, 160u * seq);
  for (int round = 0; round < 6; ++round) {
    for (int n = 0; n < 99; ++n) {
      Insert(steady, seq, 160u * seq);
      ++seq;
      ASSERT_NE(Give(steady), -1);
    }
    Insert(steady, seq, 160u * seq);
    ++seq;
    Give(steady);
    EXPECT_EQ(steady.GetRestartThreshold(), std::max(100 - 20 * (round + 1), 40)) << round;
  }

  // 300 ms queued over a target of 100: the target stays and 60 ms of surplus are dropped.
  RTPAudioStream deep(2);
  seq = 0;
  for (; seq < 15; ++seq) Insert(deep, seq, 160u * seq);
  int last = -1;
  for (int n = 0; n < 99; ++n) {
    Insert(deep, seq, 160u * seq);
    ++seq;
    last = Give(deep);
  }
  EXPECT_EQ(last, 98);
  Insert(deep, seq, 160u * seq);
  ++seq;
  EXPECT_EQ(Give(deep), 102);  // 99, 100 and 101 dropped
  EXPECT_EQ(deep.GetRestartThreshold(), 100);
}

TEST_F(RTPAudioStreamTest, AdaptationCountersBelongToEachStream) {
  RTPAudioStream a(1);
  RTPAudioStream b(2);
  uint16_t seqA = 0;
  uint16_t seqB = 0;
  for (; seqA < 5; ++seqA) Insert(a, seqA, 160u * seqA);
  // b hands out 150 packets while a hands out 60: a's period is not shortened by b's hand-outs.
  for (int n = 0; n < 150; ++n) {
    Insert(b, seqB, 160u * seqB);
    ++seqB;
    Give(b);
    if (n < 60) {
      Insert(a, seqA, 160u * seqA);
      ++seqA;
      Give(a);
    }
  }
  EXPECT_EQ(a.GetRestartThreshold(), 100);
  for (int n = 60; n < 100; ++n) {
    Insert(a, seqA, 160u * seqA);
    ++seqA;
    Give(a);
  }
  EXPECT_EQ(a.GetRestartThreshold(), 80);
}

TEST_F(RTPAudioStreamTest, AdaptationOffKeepsTheTarget) {
  SetDynamic(false);
  RTPAudioStream stream(1);
  uint16_t seq = 0;
  for (; seq < 5; ++seq) Insert(stream, seq, 160u * seq);
  for (int n = 0; n < 300; ++n) {
    Insert(stream, seq, 160u * seq);
    ++seq;
    Give(stream);
  }
  EXPECT_EQ(stream.GetRestartThreshold(), 100);
}

TEST_F(RTPAudioStreamTest, TimestampDistances) {
  AudioSample* before = MakePacket(&owner, 1, 0xFFFFFF00u);
  AudioSample* after = MakePacket(&owner, 2, 0x00000100u);
  EXPECT_EQ(RTPAudioStream::TimestampDistance(before, after), 512);
  EXPECT_EQ(RTPAudioStream::TimestampDistance(after, before), -512);
  EXPECT_EQ(RTPAudioStream::TimestampDistanceMs(before, after), 64);
  before->Release(&owner);
  after->Release(&owner);
}

}  // namespace
}  // namespace tarsio
