#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/AudioSource.h"
#include "jitter/FixedSizeAudioBuffer.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using testing::FakeClock;

// An upstream that hands out prepared samples, one per pull, and then nothing.
class ScriptedSource : public AudioSource {
 public:
  ~ScriptedSource() override {
    for (AudioSample* s : queue) s->Release(this);
  }
  int32_t GenerateData(AudioSample** out) override {
    ++pulls;
    *out = nullptr;
    if (queue.empty()) return 0;
    *out = queue.front();
    queue.pop_front();
    return 0;
  }
  // PCM bytes counting up from `first`, or a silence marker when bytes is 0.
  void Add(int32_t bytes, int32_t silenceMs = 0, uint8_t first = 1) {
    AudioSample* s = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&s, this);
    s->SetFormat(MakeAudioFormat(5));
    for (int32_t n = 0; n < bytes; ++n) s->GetData()[n] = static_cast<uint8_t>(first + n);
    s->SetDataSize(bytes);
    if (bytes == 0) s->SetSilenceDuration(silenceMs);
    queue.push_back(s);
  }
  std::deque<AudioSample*> queue;
  std::atomic<int> pulls{0};
};

class RecordingSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    for (auto& [s, from] : samples) {
      sizes.push_back(s->GetDataSize());
      bytes.insert(bytes.end(), s->GetData(), s->GetData() + s->GetDataSize());
    }
    return 0;
  }
  std::vector<int32_t> sizes;
  std::vector<uint8_t> bytes;
};

class FixedSizeAudioBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Connect(&source, static_cast<AudioSink*>(&buffer));
    ASSERT_EQ(buffer.StartTransform(), 0);
  }
  void TearDown() override {
    buffer.StopTransform();
    Disconnect(&source, static_cast<AudioSink*>(&buffer));
  }

  // One pull: data size, or -silence duration for a marker.
  int32_t Pull(std::vector<uint8_t>* data = nullptr) {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    EXPECT_NE(out, nullptr);
    if (out == nullptr) return 0;
    const int32_t size = out->GetDataSize();
    const int32_t result = size > 0 ? size : -out->GetSilenceDuration();
    if (data != nullptr) data->assign(out->GetData(), out->GetData() + size);
    out->Release(&owner);
    return result;
  }

  FakeClock clock;
  ScopedClock scopedClock{clock};
  TracedObject owner;
  ScriptedSource source;
  FixedSizeAudioBuffer buffer;
};

TEST_F(FixedSizeAudioBufferTest, PullCutsThirtyMillisecondInputsIntoTwentyMillisecondOutputs) {
  for (int n = 0; n < 2; ++n) source.Add(480, 0, static_cast<uint8_t>(n * 100));
  std::vector<uint8_t> data;
  EXPECT_EQ(Pull(&data), 320);
  EXPECT_EQ(source.pulls.load(), 1);
  EXPECT_EQ(buffer.GetQueuedBytes(), 160);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[319], static_cast<uint8_t>(319));
  EXPECT_EQ(Pull(&data), 320);
  EXPECT_EQ(source.pulls.load(), 2);
  EXPECT_EQ(buffer.GetQueuedBytes(), 320);
  EXPECT_EQ(data[0], static_cast<uint8_t>(320));  // the byte order runs on across inputs
  EXPECT_EQ(data[160], 100);
  EXPECT_EQ(Pull(), 320);
  EXPECT_EQ(source.pulls.load(), 2);  // served from the queue
  EXPECT_EQ(buffer.GetQueuedBytes(), 0);
}

TEST_F(FixedSizeAudioBufferTest, SilenceMarkersBecomeZeroBytesAndEmptyInputsAddNothing) {
  source.Add(0, 0);   // neither data nor silence: nothing
  source.Add(0, 20);  // 20 ms of silence: 320 zero bytes
  std::vector<uint8_t> data;
  EXPECT_EQ(Pull(&data), 320);
  EXPECT_EQ(source.pulls.load(), 2);
  EXPECT_EQ(data, std::vector<uint8_t>(320, 0));
}

TEST_F(FixedSizeAudioBufferTest, StoppedPullYieldsAMarkerOfTheOutputDuration) {
  buffer.SetOutputDuration(30);
  buffer.StopTransform();
  EXPECT_EQ(Pull(), -30);
  EXPECT_EQ(source.pulls.load(), 0);
}

TEST_F(FixedSizeAudioBufferTest, SilentUpstreamIsPolledEveryFiveMillisecondsUntilStopped) {
  std::atomic<int32_t> result{1};
  std::thread puller([&] { result = Pull(); });
  // Waits (at most 5 s of real time) until the puller has pulled `n` times and sleeps.
  auto parkedAfter = [&](int n) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(source.pulls.load() == n && clock.Sleepers() == 1)) {
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::yield();
    }
    return true;
  };
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(parkedAfter(attempt)) << attempt;
    clock.AdvanceMs(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(source.pulls.load(), attempt);  // 4 ms is not enough
    clock.AdvanceMs(1);
  }
  ASSERT_TRUE(parkedAfter(4));
  buffer.StopTransform();
  clock.AdvanceMs(5);
  puller.join();
  EXPECT_EQ(result.load(), -20);
}

TEST_F(FixedSizeAudioBufferTest, PushSendsEveryFullOutputAndKeepsTheRest) {
  RecordingSink sink;
  Connect(&buffer, &sink);
  AudioSample* input = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&input, &owner);
  input->SetFormat(MakeAudioFormat(5));
  for (int n = 0; n < 1000; ++n) input->GetData()[n] = static_cast<uint8_t>(n % 251);
  input->SetDataSize(1000);
  AudioSampleList inputs{{input, nullptr}};
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
  EXPECT_EQ(sink.sizes, (std::vector<int32_t>{320, 320, 320}));
  EXPECT_EQ(buffer.GetQueuedBytes(), 40);
  for (int n = 0; n < 960; ++n) ASSERT_EQ(sink.bytes[n], n % 251);

  // G.711 input: 20 ms is 160 bytes.
  input->SetFormat(MakeAudioFormat(0));
  input->SetDataSize(200);
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);
  EXPECT_EQ(buffer.GetOutputSize(), 160);
  EXPECT_EQ(sink.sizes.size(), 4u);
  EXPECT_EQ(buffer.GetQueuedBytes(), 80);

  buffer.StopTransform();
  EXPECT_EQ(buffer.RenderAudioSamples(inputs), 0);  // stopped: kept nothing
  EXPECT_EQ(buffer.GetQueuedBytes(), 80);
  input->Release(&owner);
  Disconnect(&buffer, &sink);
}

TEST_F(FixedSizeAudioBufferTest, OutputSizeStaysWithinASample) {
  buffer.SetOutputDuration(500);  // 8000 bytes of PCM would not fit
  source.Add(3200);
  EXPECT_EQ(Pull(), 3200);
  buffer.SetOutputDuration(0);  // at least 1 ms
  source.Add(2);
  source.Add(14);
  EXPECT_EQ(Pull(), 16);
}

}  // namespace
}  // namespace tarsio
