// Samples and their pool: reuse order, reference-count misuse, format arithmetic, RTP ordering
// across counter wraps, and the pool's counts under concurrent use.
#include <gtest/gtest.h>

#include <future>
#include <random>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "rtp/RTPPacket.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using testing::FakeClock;

AudioSample* Get() {
  AudioSample* sample = nullptr;
  EXPECT_EQ(0, AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr));
  return sample;
}

WAVEFORMATEX Format(uint16_t tag, uint32_t rate = 8000, uint16_t bits = 16, uint16_t channels = 1) {
  WAVEFORMATEX format;
  format.wFormatTag = tag;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nChannels = channels;
  return format;
}

TEST(AudioSamplePool, HandsOutReleasedSamplesFirstInFirstOutWithFormatKept) {
  AudioSampleManager* pool = AudioSampleManager::Instance();
  AudioSample* a = Get();
  AudioSample* b = Get();
  ASSERT_NE(a, b);
  EXPECT_EQ(2, pool->CreatedCount());
  EXPECT_EQ(2, pool->InUseCount());

  a->SetFormat(MakeAudioFormat(0));
  a->SetDataSize(160);
  a->SetSilenceDuration(20);
  a->SetRTPHeader(new RTPPacket);
  EXPECT_EQ(2, a->AddRef(nullptr));
  EXPECT_EQ(1, a->Release(nullptr));
  EXPECT_EQ(0, a->Release(nullptr));
  EXPECT_EQ(0, b->Release(nullptr));
  EXPECT_EQ(0, pool->InUseCount());
  EXPECT_EQ(2, pool->FreeCount());

  AudioSample* first = Get();
  AudioSample* second = Get();
  EXPECT_EQ(a, first);
  EXPECT_EQ(b, second);
  EXPECT_EQ(1, first->GetRefCount());
  EXPECT_EQ(0, first->GetDataSize());
  EXPECT_EQ(0, first->GetSilenceDuration());
  EXPECT_EQ(nullptr, first->GetRTPHeader());
  EXPECT_EQ(MakeAudioFormat(0), first->Format());
  EXPECT_EQ(125, first->GetBlockDuration());
  EXPECT_EQ(2, pool->CreatedCount());
  first->Release(nullptr);
  second->Release(nullptr);
}

TEST(AudioSamplePool, ReferenceCountMisusePoisonsTheSampleForGood) {
  FakeClock clock;
  ScopedClock useClock(clock);
  AudioSampleManager* pool = AudioSampleManager::Instance();

  // A misuse returns -10 only after the culprit slept 500 ms of (fake) time.
  auto misuse = [&](auto&& call) {
    const uint64_t before = clock.NowMs();
    auto result = std::async(std::launch::async, call);
    EXPECT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(20)));
    clock.AdvanceMs(500);
    EXPECT_EQ(-10, result.get());
    EXPECT_EQ(before + 500, clock.NowMs());
  };

  AudioSample* twice = Get();
  EXPECT_EQ(0, twice->Release(nullptr));
  misuse([&] { return twice->Release(nullptr); });
  EXPECT_EQ(AudioSample::kPoisonedCount, twice->GetRefCount());

  AudioSample* revived = Get();
  EXPECT_EQ(0, revived->Release(nullptr));
  misuse([&] { return revived->AddRef(nullptr); });

  // Neither poisoned sample is handed out again; new ones are made instead.
  AudioSample* next = Get();
  AudioSample* after = Get();
  EXPECT_NE(twice, next);
  EXPECT_NE(revived, next);
  EXPECT_NE(twice, after);
  EXPECT_NE(revived, after);
  EXPECT_EQ(1, next->GetRefCount());
  next->Release(nullptr);
  after->Release(nullptr);
  EXPECT_EQ(2, pool->InUseCount());  // the poisoned two never come back

  // The pool still owns them and deletes them with itself (checked by the leak sanitizer).
  AudioSampleManager::DestroyInstance();
  EXPECT_FALSE(AudioSampleManager::Exists());
}

TEST(AudioSampleFormat, BlockTableDrivesDurationsAndSilenceSizes) {
  struct Row {
    WAVEFORMATEX format;
    int32_t blockDuration, blockSize, dataSize, durationMs, silenceMs, silenceBytes;
  };
  const Row rows[] = {
      {MakeAudioFormat(5), 125, 2, 320, 20, 20, 320},
      {Format(WAVE_FORMAT_PCM, 16000, 16, 2), 62, 4, 640, 9, 10, 645},
      {Format(WAVE_FORMAT_PCM, 44100, 16, 2), 22, 4, 4, 0, 1, 181},
      {MakeAudioFormat(0), 125, 1, 160, 20, 20, 160},
      {MakeAudioFormat(1), 125, 1, 80, 10, 30, 240},
      {MakeAudioFormat(2), 10000, 10, 20, 20, 20, 20},
      {MakeAudioFormat(3), 30000, 20, 60, 90, 30, 20},
      {MakeAudioFormat(4), 30000, 24, 48, 60, 60, 48},
  };
  AudioSample* sample = Get();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.format.wFormatTag);
    sample->SetFormat(row.format);
    sample->SetDataSize(row.dataSize);
    sample->SetSilenceDuration(row.silenceMs);
    EXPECT_EQ(row.blockDuration, sample->GetBlockDuration());
    EXPECT_EQ(row.blockSize, sample->GetBlockSize());
    EXPECT_EQ(row.durationMs, sample->GetDuration());
    EXPECT_EQ(row.silenceBytes, sample->GetSilenceDataSize());
  }

  // An unknown tag keeps the block fields of the previous format.
  sample->SetFormat(Format(0x55));
  EXPECT_EQ(0x55, sample->Format().wFormatTag);
  EXPECT_EQ(30000, sample->GetBlockDuration());
  EXPECT_EQ(24, sample->GetBlockSize());

  // A silence marker keeps its duration through SetDataSize(0); real data clears it.
  sample->SetSilenceDuration(40);
  sample->SetDataSize(0);
  EXPECT_EQ(40, sample->GetSilenceDuration());
  sample->SetDataSize(-1);
  EXPECT_EQ(40, sample->GetSilenceDuration());
  sample->SetDataSize(160);
  EXPECT_EQ(0, sample->GetSilenceDuration());

  // A shared sample's format cannot change under the other holder.
  sample->SetFormat(MakeAudioFormat(5));
  sample->AddRef(nullptr);
  EXPECT_EQ(0, sample->SetFormat(MakeAudioFormat(0)));
  EXPECT_EQ(MakeAudioFormat(5), sample->Format());
  EXPECT_EQ(2, sample->GetBlockSize());
  sample->Release(nullptr);
  sample->Release(nullptr);
}

TEST(AudioSampleFormat, CodecIndexTable) {
  struct Row {
    int index;
    uint16_t tag;
    uint32_t avgBytes;
    uint16_t align, bits;
  };
  const Row rows[] = {{0, 7, 8000, 1, 8},     {1, 6, 8000, 1, 8},     {2, 0xFE01, 1000, 1, 8},
                      {3, 0xFE02, 800, 1, 8}, {4, 0xFE03, 800, 1, 8}, {5, 1, 16000, 2, 16}};
  for (const Row& row : rows) {
    const WAVEFORMATEX f = MakeAudioFormat(row.index);
    EXPECT_EQ(row.tag, f.wFormatTag) << row.index;
    EXPECT_EQ(1, f.nChannels);
    EXPECT_EQ(8000u, f.nSamplesPerSec);
    EXPECT_EQ(row.avgBytes, f.nAvgBytesPerSec) << row.index;
    EXPECT_EQ(row.align, f.nBlockAlign) << row.index;
    EXPECT_EQ(row.bits, f.wBitsPerSample) << row.index;
    EXPECT_EQ(0, f.cbSize);
  }
}

TEST(AudioSampleOrder, TimestampsThenSequenceNumbersAcrossWraps) {
  struct Row {
    uint32_t tsA;
    uint16_t seqA;
    uint32_t tsB;
    uint16_t seqB;
    bool aEarlier, bEarlier;
  };
  const Row rows[] = {
      {100, 0, 200, 0, true, false},
      {0xFFFFFF00u, 0, 0x100u, 0, true, false},  // 256 below and above the wrap
      {0x8FFFFFFFu, 0, 0, 0, true, false},       // distance at the threshold: wrapped
      {0x8FFFFFFEu, 0, 0, 0, false, true},       // just under it: plain order
      {0xFFFFFFFFu, 0, 0, 0, true, false},
      {500, 65535, 500, 2, true, false},  // sequence wrap
      {500, 1, 500, 2, true, false},
      {500, 36863, 500, 0, true, false},  // 16-bit threshold
      {500, 36862, 500, 0, false, true},
      {500, 7, 500, 7, false, false},  // the same packet
  };
  AudioSample* a = Get();
  AudioSample* b = Get();
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << row.tsA << "/" << row.seqA << " vs " << row.tsB << "/" << row.seqB);
    auto* ha = new RTPPacket;
    ha->timestamp = row.tsA;
    ha->sequenceNumber = row.seqA;
    auto* hb = new RTPPacket;
    hb->timestamp = row.tsB;
    hb->sequenceNumber = row.seqB;
    a->SetRTPHeader(ha);
    b->SetRTPHeader(hb);
    EXPECT_EQ(row.aEarlier, a->IsEarlierThan(b));
    EXPECT_EQ(row.bEarlier, b->IsEarlierThan(a));
    EXPECT_EQ(!row.aEarlier, a->IsNotEarlierThan(b));
  }
  b->SetRTPHeader(nullptr);
  EXPECT_FALSE(a->IsEarlierThan(b));
  EXPECT_FALSE(b->IsEarlierThan(a));
  a->Release(nullptr);
  b->Release(nullptr);
}

TEST(AudioSamplePool, CountsStayExactUnderConcurrentUseAndCrossThreadRelease) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  constexpr int kMaxHeld = 5;
  AudioSampleManager* pool = AudioSampleManager::Instance();
  std::mutex handoffMutex;
  std::vector<AudioSample*> handoff;  // samples released by whichever thread picks them up

  auto worker = [&](int seed) {
    std::mt19937 random(seed);
    std::vector<AudioSample*> held;
    for (int round = 0; round < kRounds; ++round) {
      const int take = 1 + static_cast<int>(random() % kMaxHeld);
      for (int i = 0; i < take; ++i) {
        AudioSample* s = nullptr;
        pool->GetAudioSample(&s, nullptr);
        EXPECT_EQ(1, s->GetRefCount());
        s->SetDataSize(1 + static_cast<int32_t>(random() % 3200));
        held.push_back(s);
      }
      // Share one with the hand-off list (two holders), release the rest here.
      AudioSample* shared = held.back();
      shared->AddRef(nullptr);
      {
        std::lock_guard<std::mutex> lock(handoffMutex);
        handoff.push_back(shared);
        if (handoff.size() > 3) {
          handoff.front()->Release(nullptr);
          handoff.erase(handoff.begin());
        }
      }
      for (AudioSample* s : held) s->Release(nullptr);
      held.clear();
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i + 1);
  for (auto& t : threads) t.join();
  for (AudioSample* s : handoff) s->Release(nullptr);

  EXPECT_EQ(0, pool->InUseCount());
  EXPECT_EQ(pool->CreatedCount(), pool->FreeCount());
  // Never more samples than were ever held at once: per thread kMaxHeld, plus the hand-off list.
  EXPECT_LE(pool->CreatedCount(), kThreads * kMaxHeld + 4);
}

}  // namespace
}  // namespace tarsio
