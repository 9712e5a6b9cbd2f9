// The receiver's ring through its datagram seam (no sockets): depth measurement, filling, ordered
// delivery with reordering, duplicates, loss and wrap-around, discards growing the depth, payload
// types, garbage, and the throttled host-log entries of a failing socket.
#include "rtp/RTPAudioSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "platform/HostEvent.h"
#include "platform/WinsockErrors.h"
#include "rtp/RtpTestUtil.h"
#include "rtp/SteppingClock.h"
#include "support/RecordingHostLog.h"

namespace tarsio {
namespace {

using testing::Describe;
using testing::MakeRtp;
using testing::ReceivedSample;

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { source->SourceStopped(); }

  void Reset() {
    if (source) source->SourceStopped();
    script.clear();
    source = std::make_unique<RTPAudioSource>();
    source->SetDatagramReaderForTest([this](uint8_t* buffer, int32_t capacity) -> int32_t {
      if (script.empty()) return RTPAudioSource::kNoData;
      std::vector<uint8_t> d = std::move(script.front());
      script.pop_front();
      if (d.size() > static_cast<size_t>(capacity)) return -WSAEMSGSIZE;
      std::copy(d.begin(), d.end(), buffer);
      return static_cast<int32_t>(d.size());
    });
    ASSERT_EQ(source->SourceStarted(), 0);
  }

  void Push(uint16_t seq, uint8_t pt = 0, size_t payload = 160) {
    script.push_back(MakeRtp(seq, 0xFFFFF000u + seq * 160u, pt, payload));
  }

  /// Calls GenerateData until the script is used up and `idleCalls` calls in a row delivered
  /// nothing (or maxCalls calls were made); returns what was delivered.
  std::vector<ReceivedSample> Drain(int idleCalls = 3, int maxCalls = 2000) {
    std::vector<ReceivedSample> out;
    int idle = 0;
    for (int call = 0; call < maxCalls && (idle < idleCalls || !script.empty()); ++call) {
      AudioSample* s = nullptr;
      EXPECT_EQ(source->GenerateData(&s), 0);
      if (s == nullptr) {
        ++idle;
        continue;
      }
      idle = 0;
      out.push_back(Describe(s));
      s->Release(nullptr);
    }
    return out;
  }

  /// One GenerateData call.
  std::vector<ReceivedSample> Once() {
    AudioSample* s = nullptr;
    EXPECT_EQ(source->GenerateData(&s), 0);
    if (s == nullptr) return {};
    std::vector<ReceivedSample> out{Describe(s)};
    s->Release(nullptr);
    return out;
  }

  static std::vector<uint16_t> Seqs(const std::vector<ReceivedSample>& v) {
    std::vector<uint16_t> seqs;
    for (const auto& r : v) seqs.push_back(r.sequenceNumber);
    return seqs;
  }

  /// Feeds an in-order run and calls until the ring is primed.
  std::vector<uint16_t> Prime(uint16_t first, int count) {
    for (int k = 0; k < count; ++k) Push(static_cast<uint16_t>(first + k));
    std::vector<uint16_t> delivered;
    for (int call = 0; call < 100 && !source->IsPrimedForTest(); ++call) {
      for (uint16_t s : Seqs(Once())) delivered.push_back(s);
    }
    EXPECT_TRUE(source->IsPrimedForTest());
    return delivered;
  }

  testing::SteppingClock clock{5000000, 1};
  ScopedClock scopedClock{clock};
  testing::RecordingHostLog log;
  testing::ScopedHostLog scopedLog{&log};
  std::deque<std::vector<uint8_t>> script;
  std::unique_ptr<RTPAudioSource> source;
};

TEST_F(RingTest, DepthsAreMeasuredFromTheFirstDatagram) {
  const struct {
    uint8_t pt;
    size_t datagram;
    uint16_t minDepth;
    uint16_t depth;
  } rows[] = {
      {0, 92, 17, 23}, {0, 172, 15, 20}, {0, 252, 13, 18},  {8, 332, 11, 15},
      {18, 72, 7, 10}, {18, 92, 3, 5},   {96, 172, 11, 15}, {13, 16, 11, 15},
      {0, 20, 17, 23}, {0, 1000, 3, 5},  {8, 12, 17, 23},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "pt " << int(row.pt) << " bytes " << row.datagram);
    Reset();
    log.Clear();
    Push(7, row.pt, row.datagram - 12);
    const auto got = Once();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].sequenceNumber, 7);
    EXPECT_EQ(source->minDepth.load(), row.minDepth);
    EXPECT_EQ(source->depth.load(), row.depth);
    EXPECT_TRUE(log.Contains("RTPAudioSource::GenerateData: buffer recepcion minimo=" +
                             std::to_string(row.minDepth)));
    EXPECT_TRUE(log.Contains("RTPAudioSource::GenerateData: buffer recepcion inicial=" +
                             std::to_string(row.depth)));
  }
}

TEST_F(RingTest, FirstFillStopsAfterThirteenPacketsAndSilentFillsTimeOut) {
  // A silent source: the very first fill waits at least 3000 ms, later fills at least 500 ms.
  uint64_t t = clock.NowMs();
  EXPECT_TRUE(Once().empty());
  EXPECT_GE(clock.NowMs() - t, 3000u);
  EXPECT_LT(clock.NowMs() - t, 3200u);
  t = clock.NowMs();
  EXPECT_TRUE(Once().empty());
  EXPECT_GE(clock.NowMs() - t, 500u);
  EXPECT_LT(clock.NowMs() - t, 700u);

  for (uint16_t s = 100; s < 120; ++s) Push(s);
  const auto got = Once();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].sequenceNumber, 100);
  EXPECT_EQ(source->UsedSlotsForTest(), 12);
  EXPECT_EQ(script.size(), 7u);
  EXPECT_FALSE(source->IsPrimedForTest());
}

TEST_F(RingTest, DeliversInSequenceOrder) {
  // Each scenario follows a primed, in-order warm-up of 40 packets starting at `first`; the
  // arrivals are given as offsets from first + 40.
  const struct {
    const char* name;
    uint16_t first;
    std::vector<int> arrivals;
    std::vector<int> expected;
  } scenarios[] = {
      {"in order", 1000, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}},
      {"swapped pairs", 1000, {1, 0, 3, 2, 5, 4, 7, 6, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"100 102 101", 60, {0, 2, 1, 3, 4, 5}, {0, 1, 2, 3, 4, 5}},
      {"duplicates", 2000, {0, 0, 1, 1, 2, 3, 3, 4, 5, 5}, {0, 1, 2, 3, 4, 5}},
      {"loss", 3000, {0, 1, 3, 4, 7, 8, 9, 10, 11}, {0, 1, 3, 4, 7, 8, 9, 10, 11}},
      {"wrap", 65480, {0, 1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"wrap reordered", 65490, {3, 5, 4, 6, 8, 7, 9, 10}, {3, 4, 5, 6, 7, 8, 9, 10}},
      {"far ahead dropped", 500, {0, 1, 400, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}},
  };
  for (const auto& sc : scenarios) {
    SCOPED_TRACE(sc.name);
    Reset();
    std::vector<uint16_t> delivered = Prime(sc.first, 40);
    // A trailing in-order run keeps the ring primed while the scenario passes through it (a
    // draining ring falls back to filling, which does not screen duplicates).
    std::vector<int> arrivals = sc.arrivals;
    std::vector<int> want = sc.expected;
    const int tail = *std::max_element(want.begin(), want.end()) + 1;
    for (int k = 0; k < 25; ++k) {
      arrivals.push_back(tail + k);
      want.push_back(tail + k);
    }
    for (int a : arrivals) Push(static_cast<uint16_t>(sc.first + 40 + a));
    for (uint16_t s : Seqs(Drain())) delivered.push_back(s);
    std::vector<uint16_t> expected;
    for (int k = 0; k < 40; ++k) expected.push_back(static_cast<uint16_t>(sc.first + k));
    for (int e : want) expected.push_back(static_cast<uint16_t>(sc.first + 40 + e));
    EXPECT_EQ(delivered, expected);
  }
}

TEST_F(RingTest, WrapOfSequenceAndTimestampNeedsNoRefill) {
  std::vector<uint16_t> delivered = Prime(65500, 30);
  std::vector<ReceivedSample> got;
  for (int k = 30; k < 60; ++k) {
    Push(static_cast<uint16_t>(65500 + k));
    for (const auto& r : Once()) {
      got.push_back(r);
      // The ring never falls back to filling while packets keep coming in order.
      EXPECT_TRUE(source->IsPrimedForTest()) << r.sequenceNumber;
    }
  }
  for (const auto& r : got) delivered.push_back(r.sequenceNumber);
  for (size_t k = 1; k < delivered.size(); ++k) {
    EXPECT_EQ(delivered[k], static_cast<uint16_t>(delivered[k - 1] + 1));
  }
  EXPECT_NE(std::find(delivered.begin(), delivered.end(), 0), delivered.end());
  // Timestamps cross 2^32 in step with the sequence numbers.
  for (const auto& r : got) {
    EXPECT_EQ(r.timestamp, 0xFFFFF000u + r.sequenceNumber * 160u);
    EXPECT_EQ(r.data.size(), 160u);
    EXPECT_EQ(r.data[0], static_cast<uint8_t>(r.sequenceNumber));
  }
}

TEST_F(RingTest, ThreeDiscardsGrowTheDepthAndSignalTheHost) {
  HostEvent changed;
  source->depthChangeEvent = &changed;
  const std::vector<uint16_t> delivered = Prime(4000, 40);
  changed.ResetEvent();  // measuring does not signal; only changes after it
  const uint16_t before = source->depth.load();
  // Copies of a packet already delivered: each discard earns 2, each delivery costs 1, and more
  // than 5 grows the ring by one slot.
  Drain();
  const uint16_t last = source->LastSequenceNumberForTest();
  for (int k = 0; k < 40; ++k) Push(static_cast<uint16_t>(last + 1 + k));
  for (int k = 0; k < 30 && !source->IsPrimedForTest(); ++k) Once();
  ASSERT_TRUE(source->IsPrimedForTest());
  script.clear();  // the ring holds the rest of the run; only the copies arrive now
  for (int k = 0; k < 6; ++k) Push(delivered.front());
  for (int k = 0; k < 6; ++k) Once();
  EXPECT_GT(source->depth.load(), before);
  EXPECT_TRUE(changed.IsSet());
  source->depthChangeEvent = nullptr;
  Drain();
}

TEST_F(RingTest, PayloadTypesChooseTheSampleFormat) {
  const struct {
    uint8_t pt;
    size_t payload;
    uint16_t tag;
    size_t dataSize;
    int32_t silenceMs;
  } rows[] = {
      {0, 160, 7, 160, 0},    {8, 160, 6, 160, 0},    {18, 20, 0xFE01, 20, 0},
      {4, 40, 0xFE02, 40, 0}, {4, 48, 0xFE03, 48, 0}, {4, 120, 0xFE02, 120, 0},
      {13, 4, 1, 0, 20},      {96, 10, 1, 10, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "pt " << int(row.pt) << " payload " << row.payload);
    Reset();
    Push(9, row.pt, row.payload);
    const auto got = Once();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payloadType, row.pt);
    EXPECT_EQ(got[0].formatTag, row.tag);
    EXPECT_EQ(got[0].data.size(), row.dataSize);
    EXPECT_EQ(got[0].silenceMs, row.silenceMs);
  }
}

TEST_F(RingTest, GarbageIsDroppedWithoutReadingPastTheDatagram) {
  std::vector<std::vector<uint8_t>> garbage = {
      {},                              // empty datagram
      {0x80},                          // too short for the payload type
      {0x80, 0x00, 0x12},              // too short for the sequence number
      std::vector<uint8_t>(11, 0x80),  // shorter than a header
      MakeRtp(1, 1, 0, 20),            // then made invalid below
      MakeRtp(2, 2, 0, 20),
      MakeRtp(3, 3, 0, 4),
      std::vector<uint8_t>(1500, 0x80),  // longer than a slot
  };
  garbage[4][0] = 0x40;  // version 1
  garbage[5][0] = 0x90;  // header extension
  garbage[6][0] = 0x8F;  // 15 contributors in a 16-byte datagram
  for (int round = 0; round < 3; ++round) {
    for (const auto& g : garbage) {
      script.push_back(g);
      Push(static_cast<uint16_t>(700 + script.size()));
    }
  }
  const auto got = Drain(5);
  ASSERT_FALSE(got.empty());
  for (size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].payloadType, 0);
    EXPECT_EQ(got[k].data.size(), 160u);
    if (k > 0) {
      EXPECT_GT(got[k].sequenceNumber, got[k - 1].sequenceNumber);
    }
  }
  EXPECT_TRUE(log.Contains("RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), WSAGetLastError==" +
                           std::to_string(WSAEMSGSIZE)));
}

TEST_F(RingTest, AFloodOfFailingReadsIsThrottledInTheHostLog) {
  source->SetDatagramReaderForTest([](uint8_t*, int32_t) { return -WSAECONNRESET; });
  const uint64_t start = clock.NowMs();
  int reads = 0;
  for (int call = 0; call < 20; ++call) Once();
  const uint64_t seconds = (clock.NowMs() - start) / 1000 + 1;
  const std::string line = "RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), WSAGetLastError==" +
                           std::to_string(WSAECONNRESET);
  int entries = 0;
  int summaries = 0;
  int64_t heldBack = 0;
  const std::string summary = "RTPAudioSource::ReceiveUDPPacket: !recvfrom, entries held back=";
  for (const std::string& e : log.Entries()) {
    if (e == line) ++entries;
    if (e.rfind(summary, 0) == 0) {
      ++summaries;
      heldBack += std::stoll(e.substr(summary.size()));
    }
  }
  reads = entries + static_cast<int>(heldBack);
  EXPECT_GT(entries, 0);
  EXPECT_LE(entries, static_cast<int>(3 * seconds));
  EXPECT_GT(summaries, 0);
  // Every failed read is either logged or counted (the last window is flushed at stop).
  source->SourceStopped();
  heldBack = 0;
  for (const std::string& e : log.Entries()) {
    if (e.rfind(summary, 0) == 0) heldBack += std::stoll(e.substr(summary.size()));
  }
  EXPECT_GE(entries + heldBack, reads);
  EXPECT_GT(entries + heldBack, 100);
  ASSERT_EQ(source->SourceStarted(), 0);
}

}  // namespace
}  // namespace tarsio
