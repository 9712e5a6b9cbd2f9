// The devices: the loudspeaker (WaveAudioSink) and microphone (WaveAudioSource) filters over three
// backends, and the WAV file player (WaveFileSource).
// - file backend: known WAV bytes in, exact WAV bytes out, paced by the clock (a fake one here);
// - scripted backend: refused opens, resets, closes and writes, and volume levels, on the fake
//   clock;
// - alsa backend: the product's ALSA code against a private, paced PulseAudio daemon started by
//   scripts/pulse-test-server.sh; those tests skip, with the reason, when it is not running;
// - WaveFileSource: the formats it opens and the result codes of malformed files and names, the
//   frame sizes it cuts, single and looped plays, and the notifications of its thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devices/FileSourceListener.h"
#include "devices/WaveAudioSink.h"
#include "devices/WaveAudioSource.h"
#include "devices/WaveFileSource.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioTransformer.h"
#include "framework/TrafficTotals.h"
#include "platform/AlsaAudioBackend.h"
#include "platform/FileAudioBackend.h"
#include "platform/Thread.h"
#include "support/FakeClock.h"
#include "support/ScopedEnv.h"
#include "support/ScriptedAudioBackend.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::BuildRiff;
using testing::BuildWav;
using testing::Bytes;
using testing::FakeClock;
using testing::FmtPayload;
using ::testing::HasSubstr;
using testing::LinearFormat;
using testing::ScriptedAudioBackend;

const WAVEFORMATEX kPcm{kWaveFormatPcm, 1, 8000, 16000, 2, 16, 0};

Bytes Pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + i / 256);
  return b;
}

/// A pooled 8 kHz sample holding bytes, or a silence marker of silenceMs when bytes is empty.
AudioSample* MakeSample(const Bytes& bytes, int32_t silenceMs = 0) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr);
  sample->SetFormat(kPcm);
  std::copy(bytes.begin(), bytes.end(), sample->GetData());
  sample->SetDataSize(static_cast<int32_t>(bytes.size()));
  if (bytes.empty()) sample->SetSilenceDuration(silenceMs);
  return sample;
}

/// One pulled sample: dataSize -1 when there was none, 0 with silence > 0 for a silence marker.
struct Got {
  int32_t result = 0, dataSize = -1, silence = -1;
  Bytes bytes;
};

Got Pull(AudioSource& source) {
  AudioSample* s = nullptr;
  Got got{source.GenerateData(&s), -1, -1, {}};
  if (s != nullptr) {
    got = {got.result, s->GetDataSize(), s->GetSilenceDuration(),
           Bytes(s->GetData(), s->GetData() + std::max(0, s->GetDataSize()))};
    s->Release(nullptr);
  }
  return got;
}

/// Collects the bytes rendered to it, from any thread.
struct CollectingSink : AudioSink {
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> l(m);
    for (auto& [s, from] : samples)
      bytes.insert(bytes.end(), s->GetData(), s->GetData() + s->GetDataSize());
    return 0;
  }
  Bytes Got() {
    std::lock_guard<std::mutex> l(m);
    return bytes;
  }
  std::mutex m;
  Bytes bytes;
};

/// Moves a fake clock 10 ms every 0.2 ms of real time until destroyed, so retry sleeps pass fast.
std::jthread ClockPump(FakeClock& clock) {
  return std::jthread([&clock](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(200us)) clock.AdvanceMs(10);
  });
}

// Moves a fake clock to the next deadline of a parked thread whenever every thread that can use
// it is parked: the test's own thread and the engine threads live beyond base (Thread::LiveCount
// at the start). Time then passes only while everything waits, so the clock's reading follows
// from the code alone, not from the machine's speed.
std::jthread IdlePump(FakeClock& clock, int base) {
  return std::jthread([&clock, base](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(200us)) {
      if (clock.Sleepers() == 1 + Thread::LiveCount() - base) clock.AdvanceToNextDeadline();
    }
  });
}

// Starts a ClockPump when the test leaves (also by a failed assertion) unless one runs, so that
// the filters declared before it stop on a moving clock.
struct PumpOnExit {
  ~PumpOnExit() {
    if (!pump.joinable()) pump = ClockPump(clock);
  }
  std::jthread& pump;
  FakeClock& clock;
};

template <typename Pred>
bool WaitUntil(Pred pred, int ms = 5000) {
  for (int i = 0; i < ms && !pred(); ++i) std::this_thread::sleep_for(1ms);
  return pred();
}

Bytes Wav(const Bytes& data) { return BuildWav(LinearFormat(1, 1, 8000, 16), data); }

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

long MsSince(steady_clock::time_point start) { return (steady_clock::now() - start) / 1ms; }

// Plays the given bytes in 320-byte frames, then has nothing more.
struct BytesSource : AudioSource {
  explicit BytesSource(Bytes b) : bytes(std::move(b)) {}
  int32_t GenerateData(AudioSample** out) override {
    *out = at < bytes.size() ? MakeSample(Bytes(&bytes[at], &bytes[at] + 320)) : nullptr;
    at += 320;
    return 0;
  }
  const Bytes bytes;
  size_t at = 0;
};

// Runs the source's thread until n bytes arrived; returns them and the time that took.
std::pair<Bytes, long> Capture(WaveAudioSource& source, size_t n) {
  CollectingSink sink;
  EXPECT_EQ(Connect(&source, &sink), 0);
  const auto start = steady_clock::now();
  EXPECT_EQ(source.StartSourceThread(), 0);
  EXPECT_TRUE(WaitUntil([&] { return sink.Got().size() >= n; }, 10000));
  const long ms = MsSince(start);
  EXPECT_EQ(source.StopSourceThread(), 0);
  Disconnect(&source, &sink);
  return {sink.Got(), ms};
}

// The fake clock, installed for the test's life.
struct FakeTime {
  FakeClock clock;
  ScopedClock use{clock};
};

// Either filter on the scripted backend, started and stopped through the same calls.
struct Device {
  Device(bool isSink, const std::shared_ptr<AudioBackend>& backend) {
    if (isSink) {
      sink.emplace().SetAudioBackend(backend);
      sink->SetNumFrames(2);
    } else {
      source.emplace().SetAudioBackend(backend);
    }
  }
  int32_t Start() { return sink ? sink->SinkStarted() : source->SourceStarted(); }
  int32_t Stop() { return sink ? sink->SinkStopped() : source->SourceStopped(); }
  bool Running() { return sink ? sink->IsRunning() : source->IsRunning(); }
  std::optional<WaveAudioSink> sink;
  std::optional<WaveAudioSource> source;
};

TEST(WaveAudioSourceTest, CapturesAKnownWavAsSamplesAndSilenceMarkers) {
  testing::TempDir dir;
  // Frames of 160 samples: loud; all within -4..4 (near-silence); one sample of 5; one of -5.
  std::vector<int16_t> samples;
  for (auto [v, odd] : {std::pair<int16_t, int16_t>{1000, -2000}, {4, -4}, {0, 5}, {-3, -5}}) {
    for (int i = 0; i < 160; ++i) samples.push_back(i == 17 ? odd : v);
  }
  const Bytes data = testing::Pcm16Bytes(samples);
  auto backend = std::make_shared<FileAudioBackend>(dir.Write("mic.wav", Wav(data)), "");
  for (uint32_t volume : {0u, 100u}) {
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    source.SetVolume(volume);
    ASSERT_EQ(source.SourceStarted(), 0);
    EXPECT_EQ(source.SourceStarted(), -10);
    for (size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(::testing::Message() << "volume " << volume << " frame " << i);
      const bool audio = volume != 0 && i != 1;  // else a 20 ms silence marker
      const Got got = Pull(source);
      EXPECT_EQ(got.bytes, audio ? Bytes(&data[320 * i], &data[320 * i] + 320) : Bytes{});
      EXPECT_EQ(got.silence, audio ? 0 : 20);
    }
    EXPECT_EQ(source.SourceStopped(), 0);
    EXPECT_EQ(Pull(source).dataSize, -1) << "no sample once the device is closed";
  }
}

TEST(WaveAudioSourceTest, FileBackendCaptureKeepsTheDevicePace) {
  // On a fake clock moved in 20 ms steps: after k steps exactly k frames came, none early.
  testing::TempDir dir;
  const Bytes data = Pattern(100 * 320, 3);  // two seconds
  FakeTime t;
  std::jthread pump;  // runs only while the source is stopped or destroyed
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<FileAudioBackend>(dir.Write("mic.wav", Wav(data)), ""));
  source.SetVolume(100);
  CollectingSink sink;
  ASSERT_EQ(Connect(&source, &sink), 0);
  PumpOnExit pumpOnExit{pump, t.clock};
  const uint64_t start = t.clock.NowMs();
  ASSERT_EQ(source.StartSourceThread(), 0);
  // The source thread waits for data, the device thread for its first buffer's time.
  ASSERT_TRUE(t.clock.WaitForSleepers(2));
  for (size_t k = 1; k <= 100; ++k) {
    if (k == 50) {
      t.clock.AdvanceMs(19);
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(sink.Got().size(), 49 * 320u) << "a frame came early";
      t.clock.AdvanceMs(1);
    } else {
      t.clock.AdvanceMs(20);
    }
    ASSERT_TRUE(WaitUntil([&] { return sink.Got().size() >= k * 320; }, 10000)) << k;
    ASSERT_EQ(sink.Got().size(), k * 320) << "more than one frame per step";
  }
  EXPECT_EQ(t.clock.NowMs() - start, 2000u);
  EXPECT_EQ(sink.Got(), data);
  pump = ClockPump(t.clock);
  EXPECT_EQ(source.StopSourceThread(), 0);
  Disconnect(&source, &sink);
}

TEST(WaveAudioSinkTest, SamplesAndSilenceMarkersLandInTheWavFile) {
  testing::TempDir dir;
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<FileAudioBackend>("", dir.Path() + "/spk.wav"));
  sink.SetNumFrames(4);
  TrafficTotals::Reset();
  ASSERT_EQ(sink.StartSink(), 0);
  EXPECT_EQ(sink.SinkStarted(), -10);
  const Bytes a = Pattern(320, 1), b = Pattern(480, 77);  // b is cut to the 320-byte frame
  for (AudioSample* s : {MakeSample(a), MakeSample(b), MakeSample({}, 40), MakeSample({}, 10)}) {
    EXPECT_EQ(sink.TakeNextAudioSample(s, nullptr), 0);
    s->Release(nullptr);
  }
  EXPECT_EQ(sink.TakeNextAudioSample(nullptr, nullptr), 0);  // nothing to play: nothing written
  ASSERT_EQ(sink.StopSink(), 0);  // drains: every written frame is played before the close
  // 40 ms of silence plays as one frame of zeros, 10 ms as 160 zero bytes.
  Bytes expected(a);
  expected.insert(expected.end(), b.begin(), b.begin() + 320);
  expected.insert(expected.end(), 320 + 160, 0);
  EXPECT_EQ(TrafficTotals::playedBytes.load(), static_cast<int64_t>(expected.size()));
  const Bytes file = ReadFile(dir.Path() + "/spk.wav");
  ASSERT_EQ(file.size(), 44 + expected.size());
  EXPECT_EQ(Bytes(file.begin() + 44, file.end()), expected);
  EXPECT_EQ(file[40] | file[41] << 8, static_cast<int>(expected.size()));
}

TEST(WaveAudioDeviceTest, OpenIsRetriedOnceAfterOneSecond) {
  FakeTime t;
  auto backend = std::make_shared<ScriptedAudioBackend>();
  for (bool isSink : {true, false}) {
    for (int refusals : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << (isSink ? "sink" : "source") << ", " << refusals);
      Device device(isSink, backend);
      backend->opens.Refuse(refusals, mmsys::kAllocated);
      const int before = backend->opens.calls;
      int32_t result = 99;
      std::thread starter([&] { result = device.Start(); });
      ASSERT_TRUE(t.clock.WaitForSleepers(1));
      t.clock.AdvanceMs(999);
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(backend->opens.calls - before, 1) << "no second try before 1 s";
      t.clock.AdvanceMs(1);
      starter.join();
      EXPECT_EQ(backend->opens.calls - before, 2);
      EXPECT_EQ(result, refusals == 1 ? 0 : -20);
      EXPECT_EQ(device.Running(), refusals == 1);
      std::jthread pump = ClockPump(t.clock);
      EXPECT_EQ(device.Stop(), refusals == 1 ? 0 : -10);
    }
  }
}

TEST(WaveAudioDeviceTest, ResetAndCloseAreRetriedFortyTimes) {
  FakeTime t;
  std::jthread pump = ClockPump(t.clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  // result: of the first stop, after which a failed stop leaves the filter running. The sink keeps
  // a device whose reset failed 40 times open; a close given up after 40 calls forgets the handle,
  // and dropping the handle object resets and closes once more.
  struct Case {
    bool isSink;
    int resetRefusals, closeRefusals, result, resets, closes;
  };
  const Case cases[] = {
      {true, 39, 0, 0, 40, 1},  {true, 40, 0, -20, 40, 0}, {true, 0, 40, -20, 2, 41},
      {false, 39, 0, 0, 40, 1}, {false, 0, 39, 0, 1, 40},  {false, 0, 40, 0, 2, 41},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    Device device(c.isSink, backend);
    ASSERT_EQ(device.Start(), 0);
    const int resets = backend->resets.calls, closes = backend->closes.calls;
    backend->resets.Refuse(c.resetRefusals, mmsys::kError);
    backend->closes.Refuse(c.closeRefusals, mmsys::kError);
    const uint64_t start = t.clock.NowMs();
    EXPECT_EQ(device.Stop(), c.result);
    EXPECT_EQ(backend->resets.calls - resets, c.resets);
    EXPECT_EQ(backend->closes.calls - closes, c.closes);
    EXPECT_GE(t.clock.NowMs() - start, 39u * 50u) << "39 sleeps of 50 ms between 40 calls";
    EXPECT_EQ(device.Running(), c.result != 0);
    EXPECT_TRUE(c.result == 0 || device.Stop() == 0);
    EXPECT_FALSE(device.Running());
    EXPECT_EQ(backend->openStreams, 0);
  }
}

TEST(WaveAudioSinkTest, FailedWriteLeavesTheRotationAndVolumeLevelsReachTheDevice) {
  FakeTime t;
  std::jthread pump = ClockPump(t.clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(3);
  sink.SetVolume(80);  // closed: dropped, not remembered
  ASSERT_EQ(sink.StartSink(), 0);
  backend->queues.Refuse(1, mmsys::kNoMemory);
  for (uint8_t i = 0; i <= 6; ++i) {  // the first write fails, the other two buffers circulate
    AudioSample* s = MakeSample(Pattern(320, i));
    EXPECT_EQ(sink.TakeNextAudioSample(s, nullptr), 0);
    s->Release(nullptr);
  }
  ASSERT_TRUE(
      WaitUntil([&] { return backend->Written().size() == 6 && sink.FreeBufferCount() == 2; }));
  EXPECT_EQ(backend->Written().front(), Pattern(320, 1));
  // Both channels' 16-bit levels: percent * 65535 / 100, truncated; above 100 % is full scale.
  for (uint32_t percent : {100, 150, 50, 0, 1}) EXPECT_EQ(sink.SetVolume(percent), 0);
  const std::vector<uint32_t> levels = {0xFFFFFFFF, 0xFFFFFFFF, 0x7FFF7FFF, 0, 0x028F028F};
  EXPECT_EQ(backend->OutputVolumes(), levels);
  EXPECT_EQ(sink.StopSink(), 0);
  sink.SetVolume(30);
  ASSERT_EQ(sink.StartSink(), 0);
  EXPECT_EQ(sink.FreeBufferCount(), 3u) << "the next start rebuilds the full rotation";
  EXPECT_EQ(sink.StopSink(), 0);
  EXPECT_EQ(backend->OutputVolumes(), levels);
}

// A device that takes buffers and never finishes one must not hang the stop: the wait for a free
// buffer, the drain and the reset/close retries are all bounded.
TEST(WaveAudioSinkTest, StopIsBoundedWhenTheDeviceNeverFinishesABuffer) {
  FakeTime t;
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(3);
  BytesSource source(Pattern(320 * 50));
  ASSERT_EQ(Connect(&source, &sink), 0);
  ASSERT_EQ(Thread::ReapFinished(10000), 0);
  backend->HoldWrites(true);
  const uint64_t start = t.clock.NowMs();
  ASSERT_EQ(sink.StartSinkThread(), 0);
  ASSERT_TRUE(WaitUntil([&] { return backend->queues.calls == 3; }));
  // The device thread, held in the scripted write, never sleeps on the clock: it does not count
  // among the threads the pump waits for.
  const int base = Thread::LiveCount() - 1;
  std::jthread pump = IdlePump(t.clock, base);
  EXPECT_EQ(sink.StopSinkThread(), 0);
  // The 5 s drain budget (100 waits of 50 ms), plus the rest of the 1 s wait for a free buffer
  // when the sink thread was in it before the stop woke it, then reset and close, which take no
  // time; the stop polls every 10 ms, and the poll that coincides with the drain's end may still
  // see the thread closing the device. That takes about 6 s; the bound that must hold whatever
  // the interleaving (a slowed process lets the pump run the close wait out) is the sink's own.
  EXPECT_GE(t.clock.NowMs() - start, 5000u);
  EXPECT_LE(t.clock.NowMs() - start,
            WaveAudioSink::kStopThreadLimitMs + WaveAudioSink::kCloseLimitMs + 10u);
  // Whether or not the stop's close wait ran out first, the sink's thread closes the device. The
  // test thread no longer sleeps on the clock, so the idle pump would stall: let time run freely.
  pump = ClockPump(t.clock);
  EXPECT_TRUE(WaitUntil([&] { return backend->openStreams == 0; }, 30000));
  Disconnect(&source, &sink);
}

TEST(WaveAudioSourceTest, VolumeWalksTheCaptureMixer) {
  constexpr uint32_t kVol = mixer::kControlVolume;
  const AudioMixerLine dst{mixer::kDstWaveIn, true, true, ""};
  const AudioMixerLine mic{mixer::kSrcMicrophone, true, true, ""};    // volume, mute
  const AudioMixerLine undef{mixer::kSrcUndefined, true, false, ""};  // no mute
  struct Case {
    std::vector<AudioMixerLine> lines;
    bool failMicRead;
    std::vector<uint32_t> volumes;  // the first set while stopped, the others while running
    std::string writes;             // line, v(olume) or m(ute), value
  };
  const Case cases[] = {
      {{dst, mic}, false, {50, 0, 100}, "1v32767 1m0 1v0 1m1 1v65535 1m0 "},
      {{dst, undef, mic}, false, {50}, "1v32767 2v32767 2m0 "},
      {{dst, mic}, true, {50}, "0v32767 0m0 "},  // the destination
      {{}, false, {50}, ""},                     // no mixer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    auto backend = std::make_shared<ScriptedAudioBackend>();
    backend->lines = c.lines;
    if (c.failMicRead) backend->failingReads.insert({1, kVol});
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    EXPECT_EQ(source.SetVolume(c.volumes[0]), 0);
    EXPECT_TRUE(backend->MixerWrites().empty()) << "nothing reaches the mixer while stopped";
    ASSERT_EQ(source.SourceStarted(), 0);  // the pending volume is applied now
    for (size_t i = 1; i < c.volumes.size(); ++i) EXPECT_EQ(source.SetVolume(c.volumes[i]), 0);
    std::string writes;
    for (const auto& w : backend->MixerWrites()) {
      writes +=
          std::to_string(w.line) + (w.control == kVol ? "v" : "m") + std::to_string(w.value) + " ";
    }
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(source.SourceStopped(), 0);
  }
}

TEST(WaveFileSourceTest, OpenTakesWellFormedFilesAndRefusesMalformedOnesWithTheirCodes) {
  testing::TempDir dir;
  const testing::WavFormat pcm = LinearFormat(1, 1, 8000, 16);
  const Bytes fmt = FmtPayload(pcm), alaw = FmtPayload(LinearFormat(6, 1, 8000, 8));
  auto wav = [](const testing::WavFormat& f) { return BuildWav(f, Pattern(f.blockAlign * 2000u)); };
  auto riff = [](const Bytes& f, const Bytes& d) { return BuildRiff({{"fmt ", f}, {"data", d}}); };
  auto head = [](const Bytes& b, long n) { return Bytes(b.begin(), b.begin() + n); };
  const Bytes good = wav(pcm);
  testing::WavFormat zeroRate = pcm;
  zeroRate.avgBytesPerSec = 0;
  Bytes notRiff = good;
  notRiff[0] = 'X';
  // Extensible (40-byte fmt) with the float sub-format.
  const Bytes extensible = FmtPayload(
      LinearFormat(0xFFFE, 2, 48000, 32),
      {22, 0, 32, 0, 3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
  // File names whose full path is 127 characters (the most accepted) and 128.
  auto name = [&](size_t n) { return std::string(n - dir.Path().size() - 5, 'n') + ".wav"; };
  const std::string n127 = name(127), n128 = name(128);
  static constexpr const char* kPlain = "x.wav";
  using E = WaveFileSource;
  struct Case {
    const char* what;
    Bytes bytes;
    int32_t result;
    uint32_t frame = 0;                     // 20 ms, at most 3200 bytes, in whole blocks
    std::array<int, 3> format = {0, 0, 0};  // tag, channels, bits as handed out by GetFormat
    const char* name = kPlain;              // nullptr: opened as a null name
    bool write = true;
  };
  const Case cases[] = {
      {"44.1 kHz stereo 16-bit", wav(LinearFormat(1, 2, 44100, 16)), 0, 3200, {1, 2, 16}},
      {"48 kHz stereo 24-bit: 533 blocks", wav(LinearFormat(1, 2, 48000, 24)), 0, 3198, {1, 2, 24}},
      {"IMA ADPCM", wav(testing::ImaFormat(1, 8000, 256)), 0, 81, {0x11, 1, 4}},
      {"14-byte fmt: zero-filled", riff(head(alaw, 14), Pattern(4000)), 0, 160, {6, 1, 0}},
      {"extensible float: tag 3", riff(extensible, Pattern(16000)), 0, 3200, {3, 2, 32}},
      {"path of 127 characters", good, 0, 320, {1, 1, 16}, n127.c_str()},
      {"empty file", {}, E::kErrNotWave},
      {"not RIFF", notRiff, E::kErrNotWave},
      {"RIFF but AVI", BuildRiff({{"fmt ", fmt}, {"data", Pattern(8)}}, "AVI "), E::kErrNotWave},
      {"no fmt", BuildRiff({{"data", Pattern(8)}}), E::kErrNoFormat},
      {"fmt cut short by the end of the file", head(good, 30), E::kErrBadFormat},
      {"fmt size beyond the file", BuildRiff({{"fmt ", fmt, 0x7FFFFFF0}}), E::kErrBadFormat},
      {"fmt of 6 bytes (no byte rate)", riff(head(fmt, 6), Pattern(8)), E::kErrBadFormat},
      {"average byte rate 0", riff(FmtPayload(zeroRate), Pattern(8)), E::kErrBadFormat},
      {"fmt of 0 bytes", riff({}, Pattern(8)), E::kErrBadFormat},
      {"all-zero fmt", riff(Bytes(16, 0), Pattern(8)), E::kErrBadFormat},
      {"IMA ADPCM at 1 Hz", wav(testing::ImaFormat(1, 1, 256)), E::kErrBadFormat},
      {"PCM at 999 Hz", wav(LinearFormat(1, 1, 999, 16)), E::kErrBadFormat},
      {"PCM at 384001 Hz", wav(LinearFormat(1, 1, 384001, 16)), E::kErrBadFormat},
      {"40000 channels", riff(FmtPayload(LinearFormat(1, 40000, 8000, 16)), Pattern(8)),
       E::kErrBadFormat},
      {"no data", BuildRiff({{"fmt ", fmt}, {"LIST", Pattern(9)}}), E::kErrNoData},
      {"data before fmt", BuildRiff({{"data", Pattern(8)}, {"fmt ", fmt}}), E::kErrNoData},
      {"empty data", riff(fmt, {}), E::kErrEmptyData},
      {"data of half a block", riff(fmt, Pattern(1)), E::kErrEmptyData},
      {"data size past the end", BuildRiff({{"fmt ", fmt}, {"data", {}, 5000}}), E::kErrEmptyData},
      {"missing file", good, E::kErrCannotOpen, 0, {}, kPlain, false},
      {"empty name", good, E::kErrCannotOpen, 0, {}, ""},
      {"null name", good, E::kErrNameLength, 0, {}, nullptr},
      {"path of 128 characters", good, E::kErrNameLength, 0, {}, n128.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove((dir.Path() + "/" + kPlain).c_str());
    const bool named = c.name != nullptr && *c.name != 0;
    const std::string path = named ? dir.Path() + "/" + c.name : "";
    if (named && c.write) dir.Write(c.name, c.bytes);
    WaveFileSource source;
    EXPECT_EQ(source.OpenWaveFile(c.name == nullptr ? nullptr : path.c_str()), c.result);
    if (c.name == kPlain && c.write) {
      EXPECT_EQ(source.OpenWaveMemory(c.bytes.data(), c.bytes.size(), "mem"), c.result);
    }
    EXPECT_EQ(source.FrameBytes(), c.frame) << "nothing is left open on failure";
    if (c.result != 0) continue;
    WAVEFORMATEX f;
    EXPECT_EQ(source.GetFormat(&f), 0);
    EXPECT_EQ((std::array<int, 4>{f.wFormatTag, f.nChannels, f.wBitsPerSample, f.cbSize}),
              (std::array<int, 4>{c.format[0], c.format[1], c.format[2], 0}));
    ASSERT_EQ(source.SourceStarted(), 0);
    EXPECT_EQ(Pull(source).dataSize, static_cast<int32_t>(c.frame));
    EXPECT_EQ(source.SourceStopped(), 0);
  }
}

TEST(WaveFileSourceTest, PlaysTheDataChunkOnceOrInALoop) {
  testing::TempDir dir;
  // 8-bit mono (160-byte frames): a chunk between fmt and data, odd data (a pad byte follows),
  // a LIST chunk after it.
  const Bytes odd = Pattern(1001);
  const Bytes file = BuildRiff({{"fmt ", FmtPayload(LinearFormat(1, 1, 8000, 8))},
                                {"junk", Bytes{0xDD, 0xDD, 0xDD}},
                                {"data", odd},
                                {"LIST", Bytes{'I', 'N', 'F', 'O', 0xEE, 0xEE, 0xEE}}});
  WaveFileSource source;
  ASSERT_EQ(source.OpenWaveFile(dir.Write("a.wav", file).c_str()), 0);
  const Got before = Pull(source);  // not running yet: 20 ms silence markers
  EXPECT_EQ(std::pair(before.dataSize, before.silence), std::pair(0, 20));
  // Plays until the first failed pull; returns the bytes and the frame sizes.
  auto playOut = [&](std::vector<int32_t>* sizes = nullptr) {
    EXPECT_EQ(source.SourceStarted(), 0);
    Bytes got;
    for (Got g = Pull(source); g.result == 0 && got.size() < 100000; g = Pull(source)) {
      if (sizes != nullptr) sizes->push_back(g.dataSize);
      got.insert(got.end(), g.bytes.begin(), g.bytes.end());
    }
    return got;
  };
  std::vector<int32_t> sizes;
  EXPECT_EQ(playOut(&sizes), odd);
  EXPECT_EQ(sizes, (std::vector<int32_t>{160, 160, 160, 160, 160, 160, 41}));
  EXPECT_EQ(Pull(source).result, WaveFileSource::kErrEndOfData);
  EXPECT_EQ(source.SourceStopped(), 0);

  // Cut short inside its data: what is there is played, then the play ends.
  Bytes cut = Wav(Pattern(1000));
  cut.resize(44 + 700);
  ASSERT_EQ(source.OpenWaveMemory(cut.data(), cut.size(), "cut"), 0);
  EXPECT_EQ(playOut(), Bytes(cut.begin() + 44, cut.end()));
  EXPECT_EQ(source.SourceStopped(), 0);

  // In a loop, frames stay whole across the end of the data (1000 bytes, 320-byte frames).
  const Bytes data = Pattern(1000, 7);
  const Bytes looped = BuildRiff(
      {{"fmt ", FmtPayload(LinearFormat(1, 1, 8000, 16))}, {"data", data}, {"LIST", Pattern(33)}});
  ASSERT_EQ(source.OpenWaveMemory(looped.data(), looped.size(), "loop"), 0);
  ASSERT_EQ(source.PlayInLoop(), 0);
  ASSERT_EQ(source.SourceStarted(), 0);
  for (size_t i = 0; i < 25 * 320; i += 320) {
    const Got g = Pull(source);
    ASSERT_EQ(g.dataSize, 320);
    for (size_t k = 0; k < 320; ++k) ASSERT_EQ(g.bytes[k], data[(i + k) % data.size()]) << i + k;
  }
  EXPECT_EQ(source.OpenWaveMemory(looped.data(), looped.size(), "x"), WaveFileSource::kErrRunning);
  EXPECT_EQ(source.SourceStopped(), 0);
  EXPECT_EQ(source.FrameBytes(), 0u);  // the stop closed the file
  EXPECT_EQ(source.SourceStopped(), -10);
  // A new open clears the loop flag.
  ASSERT_EQ(source.OpenWaveMemory(looped.data(), looped.size(), "again"), 0);
  EXPECT_EQ(playOut(), data);
  EXPECT_EQ(source.SourceStopped(), 0);
}

// Records notifications, marked "@thread" when they do not come on the thread that created it.
struct RecordingListener : FileSourceListener {
  void FilePlayStarted(WaveFileSource*, const char* name) override { Add("started:", name); }
  void FilePlayStopped(WaveFileSource*, const char* name) override { Add("stopped:", name); }
  void Add(const char* what, const char* name) {
    std::lock_guard<std::mutex> l(m);
    events.push_back(what + std::string(name) + (CurrentThreadId() == caller ? "" : "@thread"));
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> l(m);
    return events;
  }
  const uint32_t caller = CurrentThreadId();
  std::mutex m;
  std::vector<std::string> events;
};

TEST(WaveFileSourceTest, ThreadNotifiesListenersAndClosesTheFile) {
  const Bytes data = Pattern(3000);
  const Bytes bytes = Wav(data);
  WaveFileSource source;
  RecordingListener listener;
  EXPECT_EQ(source.AddListener(&listener), 0);
  EXPECT_EQ(source.AddListener(&listener), 0);  // once only
  CollectingSink sink;
  ASSERT_EQ(sink.StartSink(), 0);
  ASSERT_EQ(Connect(&source, &sink), 0);
  ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "tone.wav"), 0);
  ASSERT_EQ(source.StartSourceThread(), 0);
  // "started" came on this thread, before the start returned; "stopped" on the source's thread.
  EXPECT_EQ(listener.Events(), std::vector<std::string>{"started:tone.wav"});
  ASSERT_TRUE(WaitUntil([&] { return sink.Got().size() >= data.size(); }));
  EXPECT_EQ(sink.Got(), data);
  EXPECT_EQ(source.StopSourceThread(), 0);
  ASSERT_TRUE(WaitUntil([&] { return listener.Events().size() == 2; }));
  EXPECT_FALSE(source.IsRunning());
  EXPECT_EQ(source.FrameBytes(), 0u);  // the thread's end closed the file
  // No file open: the thread is refused, yet both notifications come.
  EXPECT_EQ(source.StartSourceThread(), -30);
  ASSERT_TRUE(WaitUntil([&] { return listener.Events().size() == 4; }));
  EXPECT_EQ(listener.Events(),
            (std::vector<std::string>{"started:tone.wav", "stopped:tone.wav@thread",
                                      "started:tone.wav", "stopped:tone.wav@thread"}));
  EXPECT_TRUE(WaitUntil([&] { return !source.IsSourceThreadRunning(); }));
  Disconnect(&source, &sink);
  sink.StopSink();
}

// --- alsa backend against the private PulseAudio daemon ---

// Reads the test server's settings (TARSIO_PULSE_ENV, else /tmp/tarsio-pulse/env.sh) into the
// environment unless they are set already, and skips, with the reason, unless the daemon answers.
// Under ThreadSanitizer they skip: the PulseAudio client library is not instrumented, and the
// slowed-down process cannot hold the real-time pacing they check.
class AlsaPulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "real-time sound tests do not run under ThreadSanitizer";
#endif
    const char* envFile = std::getenv("TARSIO_PULSE_ENV");
    const std::string path = envFile != nullptr ? envFile : "/tmp/tarsio-pulse/env.sh";
    std::ifstream in(path);
    for (std::string line; std::getenv("TARSIO_PULSE_DIR") == nullptr && std::getline(in, line);) {
      const auto eq = line.find('=');
      if (line.rfind("export ", 0) == 0 && eq != std::string::npos) {
        env.push_back(std::make_unique<testing::ScopedEnv>(line.substr(7, eq - 7),
                                                           line.substr(eq + 1).c_str()));
      }
    }
    const char* pulseDir = std::getenv("TARSIO_PULSE_DIR");
    if (pulseDir == nullptr || std::getenv("ALSA_CONFIG_PATH") == nullptr) {
      GTEST_SKIP() << "private PulseAudio not running: no settings in " << path
                   << " (run scripts/pulse-test-server.sh start)";
    }
    dir = pulseDir;
    std::unique_ptr<AudioBackend::Stream> stream;
    const uint32_t r =
        AlsaAudioBackend().Open(AudioDirection::kPlayback, wave::kMapper, kPcm, &stream);
    if (r != mmsys::kNoError) {
      GTEST_SKIP() << "ALSA default PCM (pulse) does not open: result " << r
                   << " (is the test daemon of " << dir << " still running?)";
    }
    stream->Close();
  }
  std::string dir;
  std::vector<std::unique_ptr<testing::ScopedEnv>> env;  // the server's settings, for this test
};

constexpr long kJitterMs = 60;  // scheduling jitter of a busy machine

TEST_F(AlsaPulseTest, CaptureDeliversTheFedSamplesBitExactAndPaced) {
  // The "tarsio_capture_file" device reads this file in step with the paced default source.
  const Bytes fed = Pattern(100 * 320, 5);
  std::ofstream(dir + "/capture-in.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(fed.data()), static_cast<long>(fed.size()));
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_capture_file"));
  source.SetVolume(100);
  const auto [got, ms] = Capture(source, 50 * 320);
  ASSERT_GE(got.size(), 50 * 320u);
  EXPECT_EQ(got, Bytes(fed.begin(), fed.begin() + static_cast<long>(got.size())));
  EXPECT_GE(ms, 1000 - 100 - kJitterMs);  // less ALSA's 100 ms of buffering
  EXPECT_LE(ms, 1000 + 9000);             // generous: only a stall of the pacing fails it
}

TEST_F(AlsaPulseTest, PlaybackIsRecordedBitExactAndPaced) {
  const std::string out = dir + "/playback-out.raw";
  const Bytes played = Pattern(50 * 320, 9);
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_playback_file"));
  BytesSource source(played);
  ASSERT_EQ(Connect(&source, &sink), 0);
  const auto start = steady_clock::now();
  ASSERT_EQ(sink.StartSinkThread(), 0);
  // The file plugin copies what the device accepted, holding back one ALSA buffer (100 ms, 1600
  // bytes) until the close; wait until everything else arrived.
  EXPECT_TRUE(WaitUntil([&] {
    std::error_code ec;
    return std::filesystem::file_size(out, ec) >= played.size() - 1600 && !ec;
  }));
  const long ms = MsSince(start);
  EXPECT_EQ(sink.StopSinkThread(), 0);
  Disconnect(&source, &sink);
  EXPECT_EQ(ReadFile(out), played) << "recorded audio differs from what was played";
  // Once the device's 100 ms buffer is full it takes frames at the playing rate: 45 frames after
  // the first 5 take 900 ms.
  EXPECT_GE(ms, 45 * 20 - 2 * kJitterMs);
  EXPECT_LE(ms, 50 * 20 + 9000);  // generous: only a stall of the pacing fails it

  // In this test, not a test of its own: both write the same file device.
  // The low-latency receive mode: two one-frame buffers, pulled only when one is free, and the
  // device asked for two 20 ms periods. The audio is still recorded bit-exact, and the delay the
  // device reports is well below that of the default open (100 ms of ALSA buffering). Through
  // the pulse plugin the device keeps at least three periods plus the server's own latency, so
  // the bound is looser than a hardware device would need.
  const auto play = [&](bool lowLatency) {
    const std::string out = dir + "/playback-out.raw";
    std::filesystem::remove(out);
    const Bytes played = Pattern(50 * 320, lowLatency ? 3 : 4);
    WaveAudioSink sink;
    sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_playback_file"));
    if (lowLatency) {
      sink.SetDeviceTiming(20000, 2);
      sink.SetPullWhenReady(true);
      sink.SetNumFrames(2);
    } else {
      sink.SetNumFrames(6);  // as the classic receive chain
    }
    BytesSource source(played);
    EXPECT_EQ(Connect(&source, &sink), 0);
    EXPECT_EQ(sink.StartSinkThread(), 0);
    EXPECT_TRUE(WaitUntil([&] {
      std::error_code ec;
      return std::filesystem::file_size(out, ec) >= played.size() - 1600 && !ec;
    }));
    EXPECT_EQ(sink.StopSinkThread(), 0);
    Disconnect(&source, &sink);
    const Bytes recorded = ReadFile(out);
    EXPECT_EQ(Bytes(recorded.begin(), recorded.begin() + std::min(recorded.size(), played.size())),
              Bytes(played.begin(), played.begin() + std::min(recorded.size(), played.size())));
    return sink.GetDelayReport();
  };
  const WaveAudioSink::DelayReport low = play(true);
  const WaveAudioSink::DelayReport normal = play(false);
  EXPECT_GT(low.deviceMedianMs, 0);
  EXPECT_LE(low.deviceMedianMs, 100);
  EXPECT_GT(normal.deviceMedianMs, low.deviceMedianMs + 20);
  EXPECT_LE(low.queueMedianMs, 40);  // at most the one buffer ahead of it
}

TEST_F(AlsaPulseTest, VolumesReachTheServer) {
  auto pactl = [](const std::string& args) {
    std::string out;
    if (FILE* p = ::popen(("pactl " + args + " 2>&1").c_str(), "r")) {
      for (char buf[256]; std::fgets(buf, sizeof buf, p) != nullptr;) out += buf;
      ::pclose(p);
    }
    return out;
  };
  if (pactl("--version").find("libpulse") == std::string::npos) GTEST_SKIP() << "no pactl";
  // Capture: the pulse control device has only the "Capture" destination, so the walk falls back
  // to it; SetVolume(50) pending at start becomes 50 % on the default source, unmuted.
  pactl("set-source-mute @DEFAULT_SOURCE@ 1");
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<AlsaAudioBackend>());
  source.SetVolume(50);
  ASSERT_EQ(source.SourceStarted(), 0);
  EXPECT_THAT(pactl("get-source-volume @DEFAULT_SOURCE@"), HasSubstr("50%"));
  EXPECT_THAT(pactl("get-source-mute @DEFAULT_SOURCE@"), HasSubstr("no"));
  source.SetVolume(0);
  EXPECT_THAT(pactl("get-source-mute @DEFAULT_SOURCE@"), HasSubstr("yes"));
  EXPECT_EQ(source.SourceStopped(), 0);

  // Playback: the two 16-bit levels go to the server's "Master" (the default sink).
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>());
  sink.SetNumFrames(2);
  ASSERT_EQ(sink.StartSink(), 0);
  for (int i = 0; i < 2; ++i) {  // play both buffers once, so the stop's drain has nothing to wait
    AudioSample* silence = MakeSample({}, 20);
    EXPECT_EQ(sink.TakeNextAudioSample(silence, nullptr), 0);
    silence->Release(nullptr);
  }
  sink.SetVolume(50);
  EXPECT_THAT(pactl("get-sink-volume @DEFAULT_SINK@"), HasSubstr("50%"));
  EXPECT_EQ(sink.StopSink(), 0);
}

}  // namespace
}  // namespace tarsio
