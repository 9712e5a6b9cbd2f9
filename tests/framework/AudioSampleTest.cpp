// Samples and their pool: first-in-first-out reuse, reference-count misuse, duration arithmetic
// and RTP ordering across counter wraps. (The pool under concurrent use: AudioFilterGraph.)
#include <gtest/gtest.h>

#include <future>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "rtp/RTPPacket.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

AudioSample* Get() {
  AudioSample* sample = nullptr;
  EXPECT_EQ(0, AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr));
  return sample;
}

TEST(AudioSamplePool, ReusesFirstInFirstOutAndPoisonsMisusedSamplesForGood) {
  testing::FakeClock clock;
  ScopedClock useClock(clock);
  AudioSampleManager* pool = AudioSampleManager::Instance();
  AudioSample* a = Get();
  AudioSample* b = Get();
  a->SetFormat(MakeAudioFormat(0));
  a->SetDataSize(160);
  a->SetRTPHeader(new RTPPacket);
  EXPECT_EQ(0, a->Release(nullptr));
  EXPECT_EQ(0, b->Release(nullptr));

  // Handed out again in release order, reset but with the format kept.
  EXPECT_EQ(a, Get());
  EXPECT_EQ(b, Get());
  EXPECT_EQ(1, a->GetRefCount());
  EXPECT_EQ(0, a->GetDataSize());
  EXPECT_EQ(nullptr, a->GetRTPHeader());
  EXPECT_EQ(MakeAudioFormat(0), a->Format());
  EXPECT_EQ(2, pool->CreatedCount());

  // A release below one or an AddRef on a pooled sample returns -10 only after the culprit slept
  // 500 ms (of fake time), and the sample is never handed out again.
  auto misuse = [&](auto&& call) {
    auto result = std::async(std::launch::async, call);
    EXPECT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(20)));
    clock.AdvanceMs(500);
    EXPECT_EQ(-10, result.get());
  };
  EXPECT_EQ(0, a->Release(nullptr));
  misuse([&] { return a->Release(nullptr); });
  EXPECT_EQ(AudioSample::kPoisonedCount, a->GetRefCount());
  EXPECT_EQ(0, b->Release(nullptr));
  misuse([&] { return b->AddRef(nullptr); });
  AudioSample* fresh[] = {Get(), Get()};
  for (AudioSample* sample : fresh) {
    EXPECT_TRUE(sample != a && sample != b);
    sample->Release(nullptr);
  }
  EXPECT_EQ(2, pool->InUseCount());
  // The pool deletes the poisoned two with itself (checked by the leak sanitizer).
  AudioSampleManager::DestroyInstance();
}

TEST(AudioSample, DurationsAndSilenceSizesOfEveryFormat) {
  WAVEFORMATEX stereo16k = PcmFormat(), stereo44k = PcmFormat();
  stereo16k.nChannels = stereo44k.nChannels = 2;
  stereo16k.nSamplesPerSec = 16000;
  stereo44k.nSamplesPerSec = 44100;
  // clang-format off
  struct Row { WAVEFORMATEX format; int32_t dataSize, durationMs, silenceMs, silenceBytes; };
  const Row rows[] = {
      {PcmFormat(), 320, 20, 20, 320},        {stereo16k, 640, 9, 10, 645},
      {stereo44k, 4, 0, 1, 181},              {MakeAudioFormat(0), 160, 20, 20, 160},
      {MakeAudioFormat(1), 80, 10, 30, 240},  {MakeAudioFormat(2), 20, 20, 20, 20},
      {MakeAudioFormat(3), 60, 90, 30, 20},   {MakeAudioFormat(4), 48, 60, 60, 48}};
  // clang-format on
  AudioSample* sample = Get();
  for (const Row& row : rows) {
    sample->SetFormat(row.format);
    sample->SetDataSize(row.dataSize);
    sample->SetSilenceDuration(row.silenceMs);
    EXPECT_EQ(row.durationMs, sample->GetDuration()) << row.format.wFormatTag;
    EXPECT_EQ(row.silenceBytes, sample->GetSilenceDataSize()) << row.format.wFormatTag;
  }
  sample->SetDataSize(1);  // real data ends a silence marker
  EXPECT_EQ(0, sample->GetSilenceDuration());
  // A shared sample's format cannot change under the other holder.
  sample->AddRef(nullptr);
  sample->SetFormat(PcmFormat());
  EXPECT_EQ(MakeAudioFormat(4), sample->Format());
  sample->Release(nullptr);
  sample->Release(nullptr);
}

TEST(AudioSample, OrderByTimestampThenSequenceNumberAcrossWraps) {
  // clang-format off
  struct Row { uint32_t tsA; uint16_t seqA; uint32_t tsB; uint16_t seqB; bool aEarlier, bEarlier; };
  const Row rows[] = {
      {100, 0, 200, 0, true, false},
      {0xFFFFFF00u, 0, 0x100u, 0, true, false},  // 256 below and above the wrap
      {0x8FFFFFFFu, 0, 0, 0, true, false},       // distance at the threshold: wrapped
      {0x8FFFFFFEu, 0, 0, 0, false, true},       // just under it: plain order
      {0xFFFFFFFFu, 0, 0, 0, true, false},
      {500, 65535, 500, 2, true, false},  // sequence wrap
      {500, 36863, 500, 0, true, false},  // 16-bit threshold
      {500, 36862, 500, 0, false, true},
      {500, 7, 500, 7, false, false}};  // the same packet
  // clang-format on
  AudioSample* a = Get();
  AudioSample* b = Get();
  auto header = [](uint32_t timestamp, uint16_t sequenceNumber) {
    auto* packet = new RTPPacket;
    packet->timestamp = timestamp;
    packet->sequenceNumber = sequenceNumber;
    return packet;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.tsA << "/" << row.seqA << " vs " << row.tsB);
    a->SetRTPHeader(header(row.tsA, row.seqA));
    b->SetRTPHeader(header(row.tsB, row.seqB));
    EXPECT_EQ(row.aEarlier, a->IsEarlierThan(b));
    EXPECT_EQ(row.bEarlier, b->IsEarlierThan(a));
    EXPECT_EQ(!row.aEarlier, a->IsNotEarlierThan(b));
  }
  b->SetRTPHeader(nullptr);  // no header: never earlier
  EXPECT_FALSE(a->IsEarlierThan(b) || b->IsEarlierThan(a));
  a->Release(nullptr);
  b->Release(nullptr);
}

}  // namespace
}  // namespace tarsio
