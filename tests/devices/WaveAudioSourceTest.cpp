// The microphone filter over the file and scripted sound backends: recorded samples and silence
// markers, the open/reset/close retry counts (on the fake clock), the capture mixer walk, the
// recorded-byte total and a bounded stop with a device that delivers nothing.
#include "devices/WaveAudioSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSink.h"
#include "framework/AudioTransformer.h"
#include "framework/TrafficTotals.h"
#include "platform/FileAudioBackend.h"
#include "platform/WavFile.h"
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

std::vector<uint8_t> Pcm(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    bytes.push_back(static_cast<uint8_t>(s));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  return bytes;
}

// 160 samples, all v, except sample 17 which is odd.
std::vector<uint8_t> Frame(int16_t v, int16_t odd) {
  std::vector<int16_t> s(160, v);
  s[17] = odd;
  return Pcm(s);
}

struct Got {
  int32_t dataSize;
  int32_t silence;
  std::vector<uint8_t> bytes;
};

// Takes one sample from the source and releases it.
Got Take(WaveAudioSource& source) {
  AudioSample* sample = nullptr;
  EXPECT_EQ(source.GenerateData(&sample), 0);
  if (sample == nullptr) return {-1, -1, {}};
  Got got{sample->GetDataSize(),
          sample->GetSilenceDuration(),
          {sample->GetData(), sample->GetData() + std::max(0, sample->GetDataSize())}};
  EXPECT_EQ(sample->Format(), kPcm);
  sample->Release(nullptr);
  return got;
}

// Moves a fake clock forward while a test runs, so retry sleeps pass quickly.
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

class CollectingSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> lk(mutex);
    for (auto& [sample, from] : samples) {
      got.push_back({sample->GetDataSize(), sample->GetSilenceDuration(), {}});
    }
    return 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lk(mutex);
    return got.size();
  }
  std::mutex mutex;
  std::vector<Got> got;
};

TEST(WaveAudioSourceTest, CapturesAKnownWavAsSamplesAndSilenceMarkers) {
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  const auto dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / ("tarsio-mic-" + std::to_string(getpid()) + ".wav")).string();
  const auto loud = Frame(1000, -2000);
  const auto quiet = Frame(4, -4);   // every sample within -4..4
  const auto five = Frame(0, 5);     // one sample of magnitude 5
  const auto minus = Frame(-3, -5);  // negative magnitude 5 counts as well
  {
    WavFile file;
    std::string error;
    ASSERT_TRUE(file.OpenWrite(path, kPcm, &error));
    for (const auto* f : {&loud, &quiet, &five, &minus}) {
      file.Append(f->data(), static_cast<uint32_t>(f->size()));
    }
  }
  auto backend = std::make_shared<FileAudioBackend>(path, "");
  struct Case {
    uint32_t volume;
    std::vector<bool> isAudio;  // per frame: a sample with data, or a 20 ms silence marker
  };
  for (const Case& c :
       {Case{0, {false, false, false, false}}, Case{100, {true, false, true, true}}}) {
    log.Clear();
    TrafficTotals::Reset();
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    source.SetVolume(c.volume);
    ASSERT_EQ(source.SourceStarted(), 0);
    EXPECT_EQ(source.SourceStarted(), -10);
    const std::vector<uint8_t>* frames[] = {&loud, &quiet, &five, &minus};
    for (size_t i = 0; i < 4; ++i) {
      const Got got = Take(source);
      if (c.isAudio[i]) {
        EXPECT_EQ(got.dataSize, 320) << "volume " << c.volume << " frame " << i;
        EXPECT_EQ(got.bytes, *frames[i]) << "frame " << i;
      } else {
        EXPECT_EQ(got.dataSize, 0) << "volume " << c.volume << " frame " << i;
        EXPECT_EQ(got.silence, 20) << "frame " << i;
      }
    }
    EXPECT_GE(TrafficTotals::capturedBytes.load(), 4 * 320);
    const auto entries = log.Entries();
    const auto canEncodeEntries =
        std::count(entries.begin(), entries.end(), "WaveAudioSource::GenerateData: !canEncode");
    EXPECT_EQ(canEncodeEntries, 1) << "only the quiet frame cannot be encoded";
    EXPECT_EQ(source.SourceStopped(), 0);
    EXPECT_EQ(source.SourceStopped(), -10);
    // After the device closed: no sample, at once.
    AudioSample* sample = nullptr;
    EXPECT_EQ(source.GenerateData(&sample), 0);
    EXPECT_EQ(sample, nullptr);
  }
}

TEST(WaveAudioSourceTest, RecordedBytesAndDiagnosticsOfShortBuffers) {
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSource source;
  source.SetAudioBackend(backend);
  source.SetVolume(100);
  source.SetBufferSize(480);  // 30 ms
  ASSERT_EQ(source.SourceStarted(), 0);
  source.SetBufferSize(320);  // ignored while running
  EXPECT_EQ(source.GetBufferSize(), 480u);
  TrafficTotals::Reset();
  backend->PushCapture(Frame(300, 301));
  backend->PushCapture(std::vector<uint8_t>(100, 0));
  backend->PushCapture({});
  Got a = Take(source);
  EXPECT_EQ(a.dataSize, 320);
  Got b = Take(source);  // 100 bytes of zeros: a 6 ms silence marker
  EXPECT_EQ(b.dataSize, 0);
  EXPECT_EQ(b.silence, 6);
  Got c = Take(source);  // nothing recorded
  EXPECT_EQ(c.dataSize, 0);
  EXPECT_EQ(c.silence, 0);
  EXPECT_EQ(TrafficTotals::capturedBytes.load(), 420);
  for (const char* line : {"WaveAudioSource::WaveInCallback: dwBytesRecorded == 0",
                           "WaveAudioSource::GenerateData: dwBytesRecorded == 0",
                           "WaveAudioSource::GenerateData: bytesToFill == 0"}) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }
  EXPECT_EQ(source.SourceStopped(), 0);
}

TEST(WaveAudioSourceTest, OpenIsRetriedOnceAfterOneSecond) {
  RecordingHostLog log;
  ScopedHostLog scoped(&log);
  FakeClock clock;
  ScopedClock useClock(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  for (int refusals : {1, 2}) {
    log.Clear();
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    backend->RefuseOpens(refusals, MMSYSERR_ALLOCATED);
    const int opensBefore = backend->Opens();
    int32_t result = 99;
    std::thread starter([&] { result = source.SourceStarted(); });
    ASSERT_TRUE(clock.WaitForSleepers(1));
    EXPECT_EQ(backend->Opens() - opensBefore, 1);
    clock.AdvanceMs(999);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(backend->Opens() - opensBefore, 1) << "no second try before 1 s";
    clock.AdvanceMs(1);
    starter.join();
    EXPECT_EQ(backend->Opens() - opensBefore, 2);
    if (refusals == 1) {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(source.IsRunning());
      ClockPump pump(clock);
      EXPECT_EQ(source.SourceStopped(), 0);
    } else {
      EXPECT_EQ(result, -20);
      EXPECT_FALSE(source.IsRunning());
      EXPECT_EQ(log.Entries(),
                std::vector<std::string>{"WaveAudioSource::BeginAudioCapture: !waveInOpen, mr =4"});
    }
  }
  // The thread start reports the failure with its own entry and -10.
  log.Clear();
  WaveAudioSource source;
  source.SetAudioBackend(backend);
  backend->RefuseOpens(2, MMSYSERR_NODRIVER);
  ClockPump pump(clock);
  EXPECT_EQ(source.SourceThreadStarted(nullptr, 0), -10);
  EXPECT_TRUE(log.Contains("WaveAudioSource::SourceThreadStarted (2), returnCode=-10"));
}

TEST(WaveAudioSourceTest, ResetAndCloseAreRetriedFortyTimes) {
  FakeClock clock;
  ScopedClock useClock(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  struct Case {
    int resetRefusals;
    int closeRefusals;
    int resets;
    int closes;
    int streamsLeft;
    // A close given up after 40 calls forgets the handle; dropping the handle object then resets
    // and closes the device once more (one more call of each).
  };
  for (const Case& c : {Case{39, 0, 40, 1, 0}, Case{0, 39, 1, 40, 0}, Case{0, 40, 2, 41, 0}}) {
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    ASSERT_EQ(source.SourceStarted(), 0);
    const int resets = backend->Resets();
    const int closes = backend->Closes();
    backend->RefuseResets(c.resetRefusals, MMSYSERR_ERROR);
    backend->RefuseCloses(c.closeRefusals, MMSYSERR_ERROR);
    const uint64_t start = clock.NowMs();
    {
      ClockPump pump(clock);
      EXPECT_EQ(source.SourceStopped(), 0);
    }
    EXPECT_EQ(backend->Resets() - resets, c.resets);
    EXPECT_EQ(backend->Closes() - closes, c.closes);
    EXPECT_GE(clock.NowMs() - start, 39u * 50u) << "39 sleeps of 50 ms between 40 calls";
    EXPECT_EQ(backend->OpenStreams(), c.streamsLeft);
    EXPECT_FALSE(source.IsRunning());
  }
}

TEST(WaveAudioSourceTest, VolumeWalksTheCaptureMixer) {
  using Line = AudioMixerLine;
  constexpr uint32_t kDst = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  constexpr uint32_t kMic = MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
  constexpr uint32_t kUndef = MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED;
  constexpr uint32_t kLineIn = MIXERLINE_COMPONENTTYPE_SRC_LINE;
  constexpr uint32_t kVol = MIXERCONTROL_CONTROLTYPE_VOLUME;
  constexpr uint32_t kMute = MIXERCONTROL_CONTROLTYPE_MUTE;
  using W = ScriptedAudioBackend::MixerWrite;
  struct Case {
    const char* name;
    std::vector<Line> lines;
    bool failMicVolumeRead;
    std::vector<W> writes;  // for SetVolume(50) at start
  };
  const std::vector<Case> cases = {
      {"microphone with mute",
       {{kDst, true, true, ""}, {kMic, true, true, ""}},
       false,
       {{1, kVol, 32767}, {1, kMute, 0}}},
      {"microphone without mute",
       {{kDst, true, true, ""}, {kMic, true, false, ""}},
       false,
       {{1, kVol, 32767}}},
      {"undefined line without mute goes on",
       {{kDst, true, true, ""}, {kUndef, true, false, ""}, {kMic, true, true, ""}},
       false,
       {{1, kVol, 32767}, {2, kVol, 32767}, {2, kMute, 0}}},
      {"undefined line alone",
       {{kDst, true, true, ""}, {kUndef, true, false, ""}},
       false,
       {{1, kVol, 32767}}},
      {"only a line input: the destination",
       {{kDst, true, true, ""}, {kLineIn, true, true, ""}},
       false,
       {{0, kVol, 32767}, {0, kMute, 0}}},
      {"microphone read fails: the destination",
       {{kDst, true, true, ""}, {kMic, true, true, ""}},
       true,
       {{0, kVol, 32767}, {0, kMute, 0}}},
      {"no mixer", {}, false, {}},
  };
  for (const Case& c : cases) {
    auto backend = std::make_shared<ScriptedAudioBackend>();
    backend->SetMixerLines(c.lines);
    if (c.failMicVolumeRead) backend->FailMixerControl(1, kVol, true, MMSYSERR_ERROR);
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    EXPECT_EQ(source.SetVolume(50), 0);
    EXPECT_TRUE(backend->MixerWrites().empty()) << "nothing reaches the mixer while stopped";
    ASSERT_EQ(source.SourceStarted(), 0);
    const auto writes = backend->MixerWrites();
    ASSERT_EQ(writes.size(), c.writes.size()) << c.name;
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].line, c.writes[i].line) << c.name << " #" << i;
      EXPECT_EQ(writes[i].controlType, c.writes[i].controlType) << c.name << " #" << i;
      EXPECT_EQ(writes[i].value, c.writes[i].value) << c.name << " #" << i;
    }
    EXPECT_EQ(source.SetVolume(0), 0);
    EXPECT_EQ(source.GetVolume(), 0u);
    if (c.name == cases[0].name) {
      EXPECT_EQ(backend->MixerValue(1, kVol), 0u);
      EXPECT_EQ(backend->MixerValue(1, kMute), 1u);
      EXPECT_EQ(source.SetVolume(100), 0);
      EXPECT_EQ(backend->MixerValue(1, kVol), 65535u);
      EXPECT_EQ(backend->MixerValue(1, kMute), 0u);
    }
    EXPECT_EQ(source.SourceStopped(), 0);
  }
}

TEST(WaveAudioSourceTest, SourceThreadDeliversAndStopsFastWithASilentDevice) {
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSource source;
  source.SetAudioBackend(backend);
  source.SetVolume(100);
  CollectingSink sink;
  ASSERT_EQ(Connect(&source, &sink), 0);
  ASSERT_EQ(source.StartSourceThread(), 0);
  for (int i = 0; i < 3; ++i) backend->PushCapture(Frame(static_cast<int16_t>(100 * (i + 1)), 7));
  for (int i = 0; i < 2000 && sink.Count() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(sink.Count(), 3u);
  // The device now delivers nothing: the stop must not wait for data that never comes.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(source.StopSourceThread(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_FALSE(source.IsSourceThreadRunning());
  EXPECT_FALSE(source.IsRunning());
  EXPECT_EQ(backend->OpenStreams(), 0);
  Disconnect(&source, &sink);
  for (const Got& g : sink.got) EXPECT_EQ(g.dataSize, 320);
}

}  // namespace
}  // namespace tarsio
