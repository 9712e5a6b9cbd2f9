#include "dsp/ACMTransformer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using testing::Bytes;
using testing::LinearFormat;
using namespace std::chrono_literals;

WAVEFORMATEX ToWave(const testing::WavFormat& w) {
  WAVEFORMATEX f;
  f.wFormatTag = w.tag;
  f.nChannels = w.channels;
  f.nSamplesPerSec = w.rate;
  f.nAvgBytesPerSec = w.avgBytesPerSec;
  f.nBlockAlign = w.blockAlign;
  f.wBitsPerSample = w.bitsPerSample;
  return f;
}

// Pushes bytes as one sample in the given format.
int32_t Push(ACMTransformer& acm, const WAVEFORMATEX& format, const uint8_t* data, size_t n,
             int32_t silenceMs = 0) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(format);
  if (n > 0) std::memcpy(s->GetData(), data, n);
  s->SetDataSize(static_cast<int32_t>(n));
  if (n == 0) s->SetSilenceDuration(silenceMs);
  AudioSampleList list{{s, nullptr}};
  const int32_t r = acm.RenderAudioSamples(list);
  s->Release(nullptr);
  return r;
}

// Pulls every whole frame that is queued; returns how many.
int PullAll(ACMTransformer& acm, Bytes* into, std::vector<int32_t>* sizes = nullptr) {
  int frames = 0;
  for (;;) {
    AudioSample* s = nullptr;
    if (acm.GenerateData(&s) != 0) {
      EXPECT_EQ(s, nullptr);
      return frames;
    }
    ++frames;
    if (sizes != nullptr) sizes->push_back(s->GetDataSize());
    into->insert(into->end(), s->GetData(), s->GetData() + s->GetDataSize());
    s->Release(nullptr);
  }
}

TEST(ACMTransformerTest, PcmPassesThroughInFrames) {
  ACMTransformer acm;
  const WAVEFORMATEX pcm = PcmFormat();
  // Not started: pushes and pulls are refused.
  const uint8_t byte = 0;
  EXPECT_EQ(Push(acm, pcm, &byte, 1), ACMTransformer::kErrNotRunning);
  AudioSample* s = nullptr;
  EXPECT_EQ(acm.GenerateData(&s), ACMTransformer::kErrStopped);
  EXPECT_EQ(s, nullptr);

  ASSERT_EQ(acm.StartTransform(), 0);
  EXPECT_EQ(acm.StartTransform(), 0);  // already running
  Bytes in(5000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 1);
  Bytes out;
  std::vector<int32_t> sizes;
  for (size_t at = 0; at < in.size(); at += 333) {
    ASSERT_EQ(Push(acm, pcm, in.data() + at, std::min<size_t>(333, in.size() - at)), 0);
    PullAll(acm, &out, &sizes);
  }
  // 5000 bytes: 15 frames of 320, 200 bytes stay queued.
  EXPECT_EQ(sizes, std::vector<int32_t>(15, 320));
  EXPECT_EQ(out, Bytes(in.begin(), in.begin() + 4800));
  EXPECT_EQ(acm.QueuedBytes(), 200u);
  EXPECT_EQ(acm.GenerateData(&s), ACMTransformer::kErrNotEnoughData);
  // A silence marker is refused after sleeping its duration.
  EXPECT_EQ(Push(acm, pcm, nullptr, 0, 1), ACMTransformer::kErrSilence);
  EXPECT_EQ(acm.StopTransform(), 0);
  EXPECT_EQ(acm.QueuedBytes(), 200u);  // survives the stop
  EXPECT_EQ(acm.FlushBuffer(), 0);
  EXPECT_EQ(acm.QueuedBytes(), 0u);
}

TEST(ACMTransformerTest, RefusesUnconvertibleFormatsAndOversizedInput) {
  ACMTransformer acm;
  WAVEFORMATEX mp3 = PcmFormat();
  mp3.wFormatTag = 0x55;
  acm.SetSourceFormat(mp3);
  EXPECT_EQ(acm.StartTransform(), ACMTransformer::kErrOpen);
  EXPECT_FALSE(acm.IsRunning());

  // IMA ADPCM with 16 KB blocks: no block ever fits, the leftover grows until it is refused.
  const testing::WavFormat ima = testing::ImaFormat(1, 8000, 16384);
  acm.SetSourceFormat(ToWave(ima));
  ASSERT_EQ(acm.StartTransform(), 0);
  const Bytes chunk(3200, 0x11);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Push(acm, ToWave(ima), chunk.data(), chunk.size()), 0);
  EXPECT_EQ(Push(acm, ToWave(ima), chunk.data(), chunk.size()), ACMTransformer::kErrInputSize);
  EXPECT_EQ(acm.StopTransform(), 0);
}

class NullSource : public AudioSource {
 public:
  int32_t GenerateData(AudioSample** out) override {
    *out = nullptr;
    return -1;
  }
};

class NullSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList&) override { return 0; }
};

bool StaysFalse(const std::atomic<bool>& flag) {
  std::this_thread::sleep_for(50ms);
  return !flag.load();
}

bool BecomesTrue(const std::atomic<bool>& flag) {
  for (int i = 0; i < 2500 && !flag.load(); ++i) std::this_thread::sleep_for(2ms);
  return flag.load();
}

TEST(ACMTransformerTest, FullQueueBlocksTheProducerUntilFlushOrStop) {
  ACMTransformer acm;
  ASSERT_EQ(acm.StartTransform(), 0);
  const Bytes chunk(3200, 0x5A);
  std::atomic<int> pushed{0};
  std::atomic<bool> done{false};
  std::atomic<int32_t> lastResult{0};
  std::thread producer([&] {
    for (int i = 0; i < 100; ++i) {
      const int32_t r = Push(acm, PcmFormat(), chunk.data(), chunk.size());
      lastResult = r;
      if (r != 0) break;
      ++pushed;
    }
    done = true;
  });
  // Five pushes fill the 16000-byte queue; the sixth waits for room.
  for (int i = 0; i < 2500 && pushed.load() < 5; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(StaysFalse(done));
  EXPECT_EQ(pushed.load(), 5);
  EXPECT_EQ(acm.QueuedBytes(), 16000u);

  // Taking one frame is not room enough for 3200 bytes; taking ten is.
  Bytes out;
  AudioSample* s = nullptr;
  ASSERT_EQ(acm.GenerateData(&s), 0);
  s->Release(nullptr);
  EXPECT_TRUE(StaysFalse(done));
  EXPECT_EQ(pushed.load(), 5);
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(acm.GenerateData(&s), 0);
    s->Release(nullptr);
  }
  for (int i = 0; i < 2500 && pushed.load() < 6; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(pushed.load(), 6);

  // A flush empties the queue and releases the producer for five more.
  acm.FlushBuffer();
  for (int i = 0; i < 2500 && pushed.load() < 11; ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(pushed.load(), 11);
  EXPECT_FALSE(done.load());

  // Stopping releases it for good: its data is dropped and the next push is refused.
  EXPECT_EQ(acm.StopTransform(), 0);
  EXPECT_TRUE(BecomesTrue(done));
  producer.join();
  EXPECT_EQ(lastResult.load(), ACMTransformer::kErrNotRunning);
  acm.FlushBuffer();
}

TEST(ACMTransformerTest, StopDrainsQueuedFramesOnlyWhenTheInputIsDisconnected) {
  NullSource upstream;
  NullSink downstream;
  ACMTransformer acm;
  Connect(&upstream, &acm);
  Connect(&acm, &downstream);
  const Bytes data(3 * 320 + 100, 0x33);

  // Input still connected: the stop does not wait.
  ASSERT_EQ(acm.StartTransform(), 0);
  ASSERT_EQ(Push(acm, PcmFormat(), data.data(), data.size()), 0);
  EXPECT_EQ(acm.StopTransform(), 0);
  EXPECT_EQ(acm.QueuedBytes(), data.size());
  acm.FlushBuffer();

  // Input disconnected: the stop returns once the consumer has taken every whole frame.
  ASSERT_EQ(acm.StartTransform(), 0);
  ASSERT_EQ(Push(acm, PcmFormat(), data.data(), data.size()), 0);
  Disconnect(&upstream, &acm);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    acm.StopTransform();
    stopped = true;
  });
  for (int frame = 0; frame < 3; ++frame) {
    EXPECT_TRUE(StaysFalse(stopped)) << frame;
    AudioSample* s = nullptr;
    ASSERT_EQ(acm.GenerateData(&s), 0);
    s->Release(nullptr);
  }
  EXPECT_TRUE(BecomesTrue(stopped));
  stopper.join();
  EXPECT_EQ(acm.QueuedBytes(), 100u);
  EXPECT_FALSE(acm.IsRunning());

  // A flush releases a stop that drains with nobody pulling.
  ASSERT_EQ(acm.StartTransform(), 0);
  ASSERT_EQ(Push(acm, PcmFormat(), data.data(), data.size()), 0);
  stopped = false;
  std::thread stopper2([&] {
    acm.StopTransform();
    stopped = true;
  });
  EXPECT_TRUE(StaysFalse(stopped));
  acm.FlushBuffer();
  EXPECT_TRUE(BecomesTrue(stopped));
  stopper2.join();
  Disconnect(&acm, &downstream);
}

TEST(ACMTransformerTest, StopReleasesAProducerWaitingForTheHeader) {
  ACMTransformer acm;
  ASSERT_EQ(acm.StartTransform(), 0);
  AcmStreamHeader* held = acm.GetBuffer();  // the one header is now in use
  ASSERT_NE(held, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int32_t> result{0};
  std::thread producer([&] {
    const uint8_t two[2] = {1, 2};
    result = Push(acm, PcmFormat(), two, 2);
    done = true;
  });
  EXPECT_TRUE(StaysFalse(done));
  EXPECT_EQ(acm.StopTransform(), 0);
  EXPECT_TRUE(BecomesTrue(done));
  producer.join();
  EXPECT_EQ(result.load(), ACMTransformer::kErrNoBuffer);
  EXPECT_EQ(acm.GetBuffer(), nullptr);
  acm.ReleaseBuffer(held);
  // A restart works with the header handed back late.
  ASSERT_EQ(acm.StartTransform(), 0);
  const Bytes frame(320, 9);
  EXPECT_EQ(Push(acm, PcmFormat(), frame.data(), frame.size()), 0);
  EXPECT_EQ(acm.QueuedBytes(), 320u);
  EXPECT_EQ(acm.StopTransform(), 0);
  acm.FlushBuffer();
}

}  // namespace
}  // namespace tarsio
