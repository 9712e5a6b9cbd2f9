#include "dsp/ACMTransformer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;

// Pushes bytes as one 8 kHz PCM sample.
int32_t Push(ACMTransformer& acm, const std::vector<uint8_t>& data) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(PcmFormat());
  std::memcpy(s->GetData(), data.data(), data.size());
  s->SetDataSize(static_cast<int32_t>(data.size()));
  AudioSampleList list{{s, nullptr}};
  const int32_t result = acm.RenderAudioSamples(list);
  s->Release(nullptr);
  return result;
}

// Pulls one frame; returns its bytes, or nothing when the pull is refused.
std::vector<uint8_t> Pull(ACMTransformer& acm) {
  AudioSample* s = nullptr;
  if (acm.GenerateData(&s) != 0) return {};
  std::vector<uint8_t> bytes(s->GetData(), s->GetData() + s->GetDataSize());
  s->Release(nullptr);
  return bytes;
}

// Waits (up to 5 s) for the count to reach `target`, then checks it stays there for 50 ms.
bool Settles(const std::atomic<int>& count, int target) {
  for (int i = 0; i < 2500 && count.load() < target; ++i) std::this_thread::sleep_for(2ms);
  std::this_thread::sleep_for(50ms);
  return count.load() == target;
}

TEST(ACMTransformerTest, FullQueueBlocksTheProducerUntilPullFlushOrStop) {
  ACMTransformer acm;
  EXPECT_EQ(Push(acm, {1, 2}), ACMTransformer::kErrNotRunning);  // not started
  ASSERT_EQ(acm.StartTransform(), 0);
  std::atomic<int> pushed{0};
  std::atomic<int32_t> lastResult{0};
  std::thread producer([&] {
    for (int i = 0; i < 100; ++i) {
      lastResult = Push(acm, std::vector<uint8_t>(3200, 0x5A));
      if (lastResult.load() != 0) break;
      ++pushed;
    }
  });
  // Five pushes fill the 16000-byte queue; the sixth waits for room. Taking one frame is not
  // room enough for 3200 bytes; taking ten is.
  EXPECT_TRUE(Settles(pushed, 5));
  EXPECT_EQ(acm.QueuedBytes(), 16000u);
  EXPECT_EQ(Pull(acm), std::vector<uint8_t>(320, 0x5A));
  EXPECT_TRUE(Settles(pushed, 5));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Pull(acm).size(), 320u);
  EXPECT_TRUE(Settles(pushed, 6));
  // A flush empties the queue and releases the producer for five more.
  EXPECT_EQ(acm.FlushBuffer(), 0);
  EXPECT_TRUE(Settles(pushed, 11));
  // A stop releases it for good: its data is dropped and the next push is refused.
  EXPECT_EQ(acm.StopTransform(), 0);
  producer.join();
  EXPECT_EQ(lastResult.load(), ACMTransformer::kErrNotRunning);
  acm.FlushBuffer();
}

}  // namespace
}  // namespace tarsio
