// The loudspeaker filter over the file and scripted sound backends: the bytes that reach the WAV
// file for samples and silence markers, frame cutting, the open/reset/close retries and their log
// lines (on the fake clock), a failed write leaving the rotation, volume levels, the closing
// guard, and how long a stop takes with a device that never finishes a buffer.
#include "devices/WaveAudioSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSource.h"
#include "framework/AudioTransformer.h"
#include "framework/TrafficTotals.h"
#include "platform/FileAudioBackend.h"
#include "support/FakeClock.h"
#include "support/RecordingHostLog.h"
#include "support/ScriptedAudioBackend.h"

namespace tarsio {
namespace {

using testing::FakeClock;
using testing::RecordingHostLog;
using testing::ScopedHostLog;
using testing::ScriptedAudioBackend;

const WAVEFORMATEX kPcm{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

AudioSample* MakeSample(const std::vector<uint8_t>& bytes, int32_t silenceMs = 0) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr);
  sample->SetFormat(kPcm);
  std::copy(bytes.begin(), bytes.end(), sample->GetData());
  sample->SetDataSize(static_cast<int32_t>(bytes.size()));
  if (bytes.empty()) sample->SetSilenceDuration(silenceMs);
  return sample;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 3);
  return v;
}

// Pushes one sample (or none) through the passive sink.
int32_t Push(WaveAudioSink& sink, AudioSample* sample) {
  const int32_t r = sink.TakeNextAudioSample(sample, nullptr);
  if (sample != nullptr) sample->Release(nullptr);
  return r;
}

class ClockPump {
 public:
  explicit ClockPump(FakeClock& clock)
      : clock_(clock), thread_([this] {
          while (!stop_) {
            clock_.AdvanceMs(10);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  ~ClockPump() {
    stop_ = true;
    thread_.join();
  }

 private:
  FakeClock& clock_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A source that always has a 20 ms frame.
class ToneSource : public AudioSource {
 public:
  int32_t GenerateData(AudioSample** out) override {
    *out = MakeSample(Pattern(320, 9));
    return 0;
  }
};

template <typename Pred>
bool WaitUntil(Pred pred) {
  for (int i = 0; i < 3000 && !pred(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

TEST(WaveAudioSinkTest, SamplesAndSilenceMarkersLandInTheWavFile) {
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  const std::string path =
      (std::filesystem::temp_directory_path() / ("tarsio-spk-" + std::to_string(getpid()) + ".wav"))
          .string();
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<FileAudioBackend>("", path));
  sink.SetNumFrames(4);
  TrafficTotals::Reset();
  ASSERT_EQ(sink.StartSink(), 0);
  EXPECT_EQ(sink.SinkStarted(), -10);
  const auto a = Pattern(320, 1);
  const auto b = Pattern(480, 77);  // cut to the 320-byte frame
  EXPECT_EQ(Push(sink, MakeSample(a)), 0);
  EXPECT_EQ(Push(sink, MakeSample(b)), 0);
  EXPECT_EQ(Push(sink, MakeSample({}, 40)), 0);  // 40 ms of silence: one frame of zeros
  EXPECT_EQ(Push(sink, MakeSample({}, 10)), 0);  // 10 ms: 160 zero bytes
  EXPECT_EQ(Push(sink, nullptr), 0);             // nothing to play: logged, not written
  EXPECT_EQ(log.Entries(), std::vector<std::string>{"WaveAudioSink::RenderAudioSamples: !sample"});
  ASSERT_EQ(sink.StopSink(), 0);  // drains: every written frame is played before the close
  EXPECT_FALSE(sink.IsRunning());
  EXPECT_EQ(TrafficTotals::playedBytes.load(), 320 + 320 + 320 + 160);

  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  std::vector<uint8_t> expected(a);
  expected.insert(expected.end(), b.begin(), b.begin() + 320);
  expected.insert(expected.end(), 320 + 160, 0);
  ASSERT_EQ(bytes.size(), 44 + expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + 44));
  EXPECT_EQ(bytes[40] | bytes[41] << 8, static_cast<int>(expected.size()));
}

TEST(WaveAudioSinkTest, SettersClampAndVolumeReachesOnlyAnOpenDevice) {
  // Buffers never written are not done: the stop's drain spends its budget on them (fake time).
  FakeClock clock;
  ScopedClock useClock(clock);
  ClockPump pump(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetFrameSize(5000);
  EXPECT_EQ(sink.GetFrameSize(), 3200u);
  sink.SetNumFrames(64);
  EXPECT_EQ(sink.GetNumFrames(), 50u);
  sink.SetFrameSize(320);
  sink.SetNumFrames(3);
  sink.SetVolume(80);  // closed: dropped, not remembered
  ASSERT_EQ(sink.StartSink(), 0);
  struct Case {
    uint32_t percent;
    uint32_t level;
  };
  for (const Case& c : {Case{100, 0xFFFFFFFF}, Case{150, 0xFFFFFFFF}, Case{50, 0x7FFF7FFF},
                        Case{0, 0}, Case{1, 0x028F028F}}) {
    EXPECT_EQ(sink.SetVolume(c.percent), 0);
    ASSERT_FALSE(backend->OutputVolumes().empty());
    EXPECT_EQ(backend->OutputVolumes().back(), c.level) << c.percent;
  }
  EXPECT_EQ(backend->OutputVolumes().size(), 5u);
  EXPECT_EQ(sink.StopSink(), 0);
  sink.SetVolume(30);
  EXPECT_EQ(backend->OutputVolumes().size(), 5u);
}

TEST(WaveAudioSinkTest, OpenIsRetriedOnceAfterOneSecondWithBothEntries) {
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  FakeClock clock;
  ScopedClock useClock(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  for (int refusals : {1, 2}) {
    log.Clear();
    WaveAudioSink sink;
    sink.SetAudioBackend(backend);
    sink.SetNumFrames(2);
    backend->RefuseOpens(refusals, MMSYSERR_ALLOCATED);
    const int before = backend->Opens();
    int32_t result = 99;
    std::thread starter([&] { result = sink.SinkStarted(); });
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(backend->Opens() - before, 1);
    clock.AdvanceMs(1000);
    starter.join();
    EXPECT_EQ(backend->Opens() - before, 2);
    std::vector<std::string> expected{"WaveAudioSink::BeginAudioRender: !waveOutOpen (1), mr=4"};
    if (refusals == 2) {
      expected.push_back("WaveAudioSink::BeginAudioRender: !waveOutOpen (2), mr=4");
      EXPECT_EQ(result, -20);
    } else {
      EXPECT_EQ(result, 0);
      ClockPump pump(clock);
      EXPECT_EQ(sink.SinkStopped(), 0);
    }
    EXPECT_EQ(log.Entries(), expected);
  }
}

TEST(WaveAudioSinkTest, ResetAndCloseRetriesAndTheirResults) {
  FakeClock clock;
  ScopedClock useClock(clock);
  ClockPump pump(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(2);

  // Reset refused 40 times: the stop fails (-20), the device stays open and the sink running.
  ASSERT_EQ(sink.SinkStarted(), 0);
  int resets = backend->Resets();
  backend->RefuseResets(40, MMSYSERR_ERROR);
  EXPECT_EQ(sink.SinkStopped(), -20);
  EXPECT_EQ(backend->Resets() - resets, 40);
  EXPECT_TRUE(sink.IsRunning());
  EXPECT_EQ(backend->OpenStreams(), 1);
  AudioSampleList none;
  EXPECT_EQ(sink.RenderAudioSamples(none), 5) << "still closing";
  // The next stop succeeds on the first reset.
  resets = backend->Resets();
  EXPECT_EQ(sink.SinkStopped(), 0);
  EXPECT_EQ(backend->Resets() - resets, 1);
  EXPECT_EQ(backend->OpenStreams(), 0);

  // Reset refused 39 times: the 40th call succeeds.
  ASSERT_EQ(sink.SinkStarted(), 0);
  resets = backend->Resets();
  backend->RefuseResets(39, MMSYSERR_ERROR);
  EXPECT_EQ(sink.SinkStopped(), 0);
  EXPECT_EQ(backend->Resets() - resets, 40);

  // Close refused 40 times: -30 from EndAudioRender, so the stop fails, but the handle is gone and
  // the next stop finds nothing to close.
  ASSERT_EQ(sink.SinkStarted(), 0);
  const int closes = backend->Closes();
  backend->RefuseCloses(40, MMSYSERR_ERROR);
  EXPECT_EQ(sink.SinkStopped(), -20);
  EXPECT_GE(backend->Closes() - closes, 40);
  EXPECT_TRUE(sink.IsRunning());
  EXPECT_EQ(sink.SinkStopped(), 0);
  EXPECT_FALSE(sink.IsRunning());
  EXPECT_EQ(sink.SinkStopped(), -10);
}

TEST(WaveAudioSinkTest, FailedWriteTakesTheBufferOutOfTheRotation) {
  FakeClock clock;
  ScopedClock useClock(clock);
  ClockPump pump(clock);
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(3);
  ASSERT_EQ(sink.StartSink(), 0);
  EXPECT_EQ(sink.FreeBufferCount(), 3u);
  backend->RefuseQueues(1, MMSYSERR_NOMEM);
  EXPECT_EQ(Push(sink, MakeSample(Pattern(320, 5))), 0);
  EXPECT_EQ(log.Entries(),
            (std::vector<std::string>{"WaveAudioSink::RenderAudioSamples: !waveOutWrite, mmr=7",
                                      "WaveAudioSink::RenderAudioSamples: !waveOutWrite"}));
  EXPECT_EQ(sink.FreeBufferCount(), 2u);
  // The other two keep circulating.
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Push(sink, MakeSample(Pattern(320, static_cast<uint8_t>(i)))), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return backend->Written().size() == 6; }));
  ASSERT_TRUE(WaitUntil([&] { return sink.FreeBufferCount() == 2; }));
  EXPECT_EQ(sink.FreeBufferCount(), 2u);
  // An invalid-handle refusal names the handle.
  log.Clear();
  backend->RefuseQueues(1, MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Push(sink, MakeSample(Pattern(320, 5))), 0);
  const auto entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(
      entries[0].rfind(
          "WaveAudioSink::RenderAudioSamples: !waveOutWrite (MMSYSERR_INVALHANDLE), hWaveOut=", 0),
      0u);
  EXPECT_EQ(entries[1], "WaveAudioSink::RenderAudioSamples: !waveOutWrite");
  EXPECT_EQ(sink.StopSink(), 0);
  // The next start rebuilds the full rotation.
  ASSERT_EQ(sink.StartSink(), 0);
  EXPECT_EQ(sink.FreeBufferCount(), 3u);
  EXPECT_EQ(sink.StopSink(), 0);
}

TEST(WaveAudioSinkTest, RenderDuringCloseReturnsFiveWithoutTouchingTheDevice) {
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(1);
  ASSERT_EQ(sink.StartSink(), 0);
  backend->HoldWrites(true);  // the one buffer stays at the device
  EXPECT_EQ(Push(sink, MakeSample(Pattern(320, 1))), 0);
  std::thread stopper([&] { EXPECT_EQ(sink.StopSink(), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the stop is draining now
  const int queues = backend->Queues();
  AudioSample* sample = MakeSample(Pattern(320, 2));
  EXPECT_EQ(sink.TakeNextAudioSample(sample, nullptr), 5);
  sample->Release(nullptr);
  EXPECT_EQ(backend->Queues(), queues);
  backend->HoldWrites(false);  // the device finishes the buffer; the drain ends
  stopper.join();
  EXPECT_EQ(backend->Written().size(), 1u);
}

TEST(WaveAudioSinkTest, SinkThreadStopIsBoundedWithADeadDevice) {
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  FakeClock clock;
  ScopedClock useClock(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(3);
  ToneSource source;
  ASSERT_EQ(Connect(&source, &sink), 0);
  backend->HoldWrites(true);  // the device takes buffers and never finishes one
  ASSERT_EQ(sink.StartSinkThread(), 0);
  ASSERT_TRUE(WaitUntil([&] { return backend->Queues() == 3; }));
  ClockPump pump(clock);
  const uint64_t start = clock.NowMs();
  EXPECT_EQ(sink.StopSinkThread(), 0);
  const uint64_t took = clock.NowMs() - start;
  // Up to 1 s for the wait for a free buffer, the 5 s drain budget, then reset and close (the
  // pump also moves the clock while threads merely run, so the upper bound is loose).
  EXPECT_GE(took, 5000u);
  EXPECT_LE(took, 15000u);
  EXPECT_FALSE(sink.IsSinkThreadRunning());
  EXPECT_FALSE(sink.IsRunning());
  EXPECT_EQ(backend->OpenStreams(), 0);
  EXPECT_TRUE(log.Entries().empty());
  Disconnect(&source, &sink);
}

}  // namespace
}  // namespace tarsio
