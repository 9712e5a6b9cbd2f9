// The loudspeaker (WaveAudioSink) and microphone (WaveAudioSource) filters over three backends:
// - file: known WAV bytes in, exact WAV bytes out, paced in real time;
// - scripted: refused opens, resets, closes and writes, and volume levels, on the fake clock;
// - alsa: the product's ALSA code against a private, paced PulseAudio daemon started by
//   scripts/pulse-test-server.sh; those tests skip, with the reason, when it is not running.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "DeviceTestUtil.h"
#include "devices/WaveAudioSink.h"
#include "devices/WaveAudioSource.h"
#include "framework/AudioTransformer.h"
#include "framework/TrafficTotals.h"
#include "platform/AlsaAudioBackend.h"
#include "platform/FileAudioBackend.h"
#include "support/ScriptedAudioBackend.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace devtest;
using testing::FakeClock;
using testing::ScriptedAudioBackend;

Bytes Wav(const Bytes& data) {
  return testing::BuildWav(testing::LinearFormat(1, 1, 8000, 16), data);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

long MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

// Plays the given bytes in 320-byte frames, then has nothing more.
class BytesSource : public AudioSource {
 public:
  explicit BytesSource(Bytes bytes) : bytes_(std::move(bytes)) {}
  int32_t GenerateData(AudioSample** out) override {
    *out = at_ < bytes_.size() ? MakeSample(Bytes(&bytes_[at_], &bytes_[at_] + 320)) : nullptr;
    at_ += 320;
    return 0;
  }

 private:
  Bytes bytes_;
  size_t at_ = 0;
};

// Runs the source's thread until n bytes arrived; *ms is the time that took.
Bytes Capture(WaveAudioSource& source, size_t n, long* ms, int* markers) {
  CollectingSink sink;
  EXPECT_EQ(Connect(&source, &sink), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(source.StartSourceThread(), 0);
  EXPECT_TRUE(sink.WaitForBytes(n));
  *ms = MsSince(start);
  EXPECT_EQ(source.StopSourceThread(), 0);
  Disconnect(&source, &sink);
  *markers = sink.markers;
  return sink.Got();
}

// Either filter, started and stopped through the same calls.
struct Device {
  Device(bool isSink, const std::shared_ptr<AudioBackend>& backend) {
    if (isSink) {
      sink.emplace();
      sink->SetAudioBackend(backend);
      sink->SetNumFrames(2);
    } else {
      source.emplace();
      source->SetAudioBackend(backend);
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
  Bytes data;
  for (auto [v, odd] : {std::pair<int16_t, int16_t>{1000, -2000}, {4, -4}, {0, 5}, {-3, -5}}) {
    std::vector<int16_t> frame(160, v);
    frame[17] = odd;
    const Bytes bytes = testing::Pcm16Bytes(frame);
    data.insert(data.end(), bytes.begin(), bytes.end());
  }
  auto backend = std::make_shared<FileAudioBackend>(dir.Write("mic.wav", Wav(data)), "");
  for (uint32_t volume : {0u, 100u}) {
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    source.SetVolume(volume);
    ASSERT_EQ(source.SourceStarted(), 0);
    EXPECT_EQ(source.SourceStarted(), -10);
    for (size_t i = 0; i < 4; ++i) {
      const bool audio = volume != 0 && i != 1;  // else a 20 ms silence marker
      const Got got = Pull(source);
      const Bytes frame(data.begin() + 320 * i, data.begin() + 320 * (i + 1));
      EXPECT_EQ(got.bytes, audio ? frame : Bytes{}) << "volume " << volume << " frame " << i;
      EXPECT_EQ(got.silence, audio ? 0 : 20) << "volume " << volume << " frame " << i;
    }
    EXPECT_EQ(source.SourceStopped(), 0);
    EXPECT_EQ(Pull(source).dataSize, -1) << "no sample once the device is closed";
  }
}

TEST(WaveAudioSourceTest, FileBackendCaptureHoldsRealTime) {
  testing::TempDir dir;
  const Bytes data = Pattern(100 * 320, 3);  // two seconds
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<FileAudioBackend>(dir.Write("mic.wav", Wav(data)), ""));
  source.SetVolume(100);
  long ms = 0;
  int markers = 0;
  const Bytes got = Capture(source, data.size(), &ms, &markers);
  ASSERT_GE(got.size(), data.size());
  EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(data.size())), data);
  EXPECT_EQ(markers, 0);
  EXPECT_GE(ms, 2000 - 40);
  EXPECT_LE(ms, 2000 + 1000);
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
  FakeClock clock;
  ScopedClock useClock(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  for (bool isSink : {true, false}) {
    for (int refusals : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << (isSink ? "sink" : "source") << ", " << refusals);
      Device device(isSink, backend);
      backend->RefuseOpens(refusals, MMSYSERR_ALLOCATED);
      const int before = backend->Opens();
      int32_t result = 99;
      std::thread starter([&] { result = device.Start(); });
      ASSERT_TRUE(clock.WaitForSleepers(1));
      clock.AdvanceMs(999);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(backend->Opens() - before, 1) << "no second try before 1 s";
      clock.AdvanceMs(1);
      starter.join();
      EXPECT_EQ(backend->Opens() - before, 2);
      EXPECT_EQ(result, refusals == 1 ? 0 : -20);
      EXPECT_EQ(device.Running(), refusals == 1);
      ClockPump pump(clock);
      EXPECT_EQ(device.Stop(), refusals == 1 ? 0 : -10);
    }
  }
}

TEST(WaveAudioDeviceTest, ResetAndCloseAreRetriedFortyTimes) {
  FakeClock clock;
  ScopedClock useClock(clock);
  ClockPump pump(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  struct Case {
    bool isSink;
    int resetRefusals, closeRefusals;
    int32_t result;  // of the first stop; a failed stop leaves the filter running
    int resets, closes;
  };
  // The sink keeps a device whose reset failed 40 times open; a close given up after 40 calls
  // forgets the handle, and dropping the handle object resets and closes once more.
  const Case cases[] = {{true, 39, 0, 0, 40, 1},   {true, 40, 0, -20, 40, 0},
                        {true, 0, 40, -20, 2, 41}, {false, 39, 0, 0, 40, 1},
                        {false, 0, 39, 0, 1, 40},  {false, 0, 40, 0, 2, 41}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.isSink ? "sink" : "source") << " resets refused "
                                      << c.resetRefusals << ", closes " << c.closeRefusals);
    Device device(c.isSink, backend);
    ASSERT_EQ(device.Start(), 0);
    const int resets = backend->Resets(), closes = backend->Closes();
    backend->RefuseResets(c.resetRefusals, MMSYSERR_ERROR);
    backend->RefuseCloses(c.closeRefusals, MMSYSERR_ERROR);
    const uint64_t start = clock.NowMs();
    EXPECT_EQ(device.Stop(), c.result);
    EXPECT_EQ(backend->Resets() - resets, c.resets);
    EXPECT_EQ(backend->Closes() - closes, c.closes);
    EXPECT_GE(clock.NowMs() - start, 39u * 50u) << "39 sleeps of 50 ms between 40 calls";
    EXPECT_EQ(device.Running(), c.result != 0);
    EXPECT_TRUE(c.result == 0 || device.Stop() == 0);
    EXPECT_FALSE(device.Running());
    EXPECT_EQ(backend->OpenStreams(), 0);
  }
}

TEST(WaveAudioSinkTest, FailedWriteLeavesTheRotationAndVolumeLevelsReachTheDevice) {
  FakeClock clock;
  ScopedClock useClock(clock);
  ClockPump pump(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(3);
  sink.SetVolume(80);  // closed: dropped, not remembered
  ASSERT_EQ(sink.StartSink(), 0);
  EXPECT_EQ(sink.FreeBufferCount(), 3u);
  backend->RefuseQueues(1, MMSYSERR_NOMEM);
  for (uint8_t i = 0; i <= 6; ++i) {  // the first write fails, the other two buffers circulate
    AudioSample* s = MakeSample(Pattern(320, i));
    EXPECT_EQ(sink.TakeNextAudioSample(s, nullptr), 0);
    s->Release(nullptr);
    if (i == 0) {
      EXPECT_EQ(sink.FreeBufferCount(), 2u);
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return backend->Written().size() == 6; }));
  ASSERT_TRUE(WaitUntil([&] { return sink.FreeBufferCount() == 2; }));
  EXPECT_EQ(backend->Written().front(), Pattern(320, 1));
  // Both channels' 16-bit levels: percent * 65535 / 100, truncated; above 100 % is full scale.
  for (uint32_t percent : {100, 150, 50, 0, 1}) EXPECT_EQ(sink.SetVolume(percent), 0);
  const std::vector<uint32_t> levels = {0xFFFFFFFF, 0xFFFFFFFF, 0x7FFF7FFF, 0, 0x028F028F};
  EXPECT_EQ(backend->OutputVolumes(), levels);
  EXPECT_EQ(sink.StopSink(), 0);
  sink.SetVolume(30);
  ASSERT_EQ(sink.StartSink(), 0);  // the next start rebuilds the full rotation
  EXPECT_EQ(sink.FreeBufferCount(), 3u);
  EXPECT_EQ(sink.StopSink(), 0);
  EXPECT_EQ(backend->OutputVolumes(), levels);
}

// A device that takes buffers and never finishes one must not hang the stop: the wait for a free
// buffer, the drain and the reset/close retries are all bounded.
TEST(WaveAudioSinkTest, StopIsBoundedWhenTheDeviceNeverFinishesABuffer) {
  FakeClock clock;
  ScopedClock useClock(clock);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(3);
  BytesSource source(Pattern(320 * 50));
  ASSERT_EQ(Connect(&source, &sink), 0);
  backend->HoldWrites(true);
  ASSERT_EQ(sink.StartSinkThread(), 0);
  ASSERT_TRUE(WaitUntil([&] { return backend->Queues() == 3; }));
  ClockPump pump(clock);
  const uint64_t start = clock.NowMs();
  EXPECT_EQ(sink.StopSinkThread(), 0);
  const uint64_t took = clock.NowMs() - start;
  // Up to 1 s waiting for a free buffer, the 5 s drain budget, then reset and close; the pump
  // also moves the clock while threads merely run, so the upper bound is loose.
  EXPECT_GE(took, 5000u);
  EXPECT_LE(took, 15000u);
  EXPECT_FALSE(sink.IsRunning());
  EXPECT_EQ(backend->OpenStreams(), 0);
  Disconnect(&source, &sink);
}

TEST(WaveAudioSourceTest, VolumeWalksTheCaptureMixer) {
  constexpr uint32_t kMic = MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE;
  constexpr uint32_t kVol = MIXERCONTROL_CONTROLTYPE_VOLUME, kMute = MIXERCONTROL_CONTROLTYPE_MUTE;
  const AudioMixerLine dst{MIXERLINE_COMPONENTTYPE_DST_WAVEIN, true, true, ""};
  const AudioMixerLine mic{kMic, true, true, ""};  // type, has volume, has mute
  struct Case {
    const char* name;
    std::vector<AudioMixerLine> lines;
    bool failMicVolumeRead;
    std::vector<std::array<uint32_t, 3>> writes;  // line, control, value for SetVolume(50)
  };
  const Case cases[] = {
      {"microphone", {dst, mic}, false, {{1, kVol, 32767}, {1, kMute, 0}}},
      {"undefined line without mute, then microphone",
       {dst, {MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED, true, false, ""}, mic},
       false,
       {{1, kVol, 32767}, {2, kVol, 32767}, {2, kMute, 0}}},
      {"microphone read fails: the destination",
       {dst, mic},
       true,
       {{0, kVol, 32767}, {0, kMute, 0}}},
      {"no mixer", {}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto backend = std::make_shared<ScriptedAudioBackend>();
    backend->SetMixerLines(c.lines);
    if (c.failMicVolumeRead) backend->FailMixerControl(1, kVol, true, MMSYSERR_ERROR);
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    EXPECT_EQ(source.SetVolume(50), 0);
    EXPECT_TRUE(backend->MixerWrites().empty()) << "nothing reaches the mixer while stopped";
    ASSERT_EQ(source.SourceStarted(), 0);  // the pending volume is applied now
    std::vector<std::array<uint32_t, 3>> writes;
    for (const auto& w : backend->MixerWrites()) writes.push_back({w.line, w.controlType, w.value});
    EXPECT_EQ(writes, c.writes);
    if (&c == &cases[0]) {  // 0 % mutes, 100 % is full scale, unmuted
      EXPECT_EQ(source.SetVolume(0), 0);
      EXPECT_EQ(backend->MixerValue(1, kVol), 0u);
      EXPECT_EQ(backend->MixerValue(1, kMute), 1u);
      EXPECT_EQ(source.SetVolume(100), 0);
      EXPECT_EQ(backend->MixerValue(1, kVol), 65535u);
      EXPECT_EQ(backend->MixerValue(1, kMute), 0u);
    }
    EXPECT_EQ(source.SourceStopped(), 0);
  }
}

// --- alsa backend against the private PulseAudio daemon ---

// Reads the test server's settings (TARSIO_PULSE_ENV, else /tmp/tarsio-pulse/env.sh) into the
// environment unless they are set already, and checks that the daemon answers. Returns the
// server's folder, or "" with a reason.
// Under ThreadSanitizer they skip: the PulseAudio client library is not instrumented, and the
// slowed-down process cannot hold the real-time pacing they check.
std::string PulseDir(std::string* reason) {
#if defined(__SANITIZE_THREAD__)
  *reason = "real-time sound tests do not run under ThreadSanitizer";
  return "";
#endif
  const char* envFile = std::getenv("TARSIO_PULSE_ENV");
  const std::string path = envFile != nullptr ? envFile : "/tmp/tarsio-pulse/env.sh";
  std::ifstream in(path);
  for (std::string line; std::getenv("TARSIO_PULSE_DIR") == nullptr && std::getline(in, line);) {
    const auto eq = line.find('=');
    if (line.rfind("export ", 0) == 0 && eq != std::string::npos) {
      ::setenv(line.substr(7, eq - 7).c_str(), line.substr(eq + 1).c_str(), 1);
    }
  }
  const char* dir = std::getenv("TARSIO_PULSE_DIR");
  if (dir == nullptr || std::getenv("ALSA_CONFIG_PATH") == nullptr) {
    *reason = "private PulseAudio not running: no settings in " + path +
              " (run scripts/pulse-test-server.sh start)";
    return "";
  }
  std::unique_ptr<AudioBackend::Stream> stream;
  const uint32_t r = AlsaAudioBackend().Open(AudioDirection::kPlayback, WAVE_MAPPER, kPcm, &stream);
  if (r != MMSYSERR_NOERROR) {
    *reason = "ALSA default PCM (pulse) does not open: result " + std::to_string(r) +
              " (is the test daemon of " + dir + " still running?)";
    return "";
  }
  stream->Close();
  return dir;
}

#define REQUIRE_PULSE(dir)                   \
  std::string reason;                        \
  const std::string dir = PulseDir(&reason); \
  if (dir.empty()) GTEST_SKIP() << reason

constexpr long kJitterMs = 60;  // scheduling jitter of a busy machine

TEST(AlsaPulseTest, CaptureDeliversTheFedSamplesBitExactAndPaced) {
  REQUIRE_PULSE(dir);
  // The "tarsio_capture_file" device reads this file in step with the paced default source.
  const Bytes fed = Pattern(100 * 320, 5);
  std::ofstream(dir + "/capture-in.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(fed.data()), static_cast<long>(fed.size()));
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_capture_file"));
  source.SetVolume(100);
  long ms = 0;
  int markers = 0;
  const Bytes got = Capture(source, 50 * 320, &ms, &markers);
  ASSERT_GE(got.size(), 50 * 320u);
  EXPECT_EQ(got, Bytes(fed.begin(), fed.begin() + static_cast<long>(got.size())));
  EXPECT_EQ(markers, 0);
  EXPECT_GE(ms, 1000 - 100 - kJitterMs);  // less ALSA's 100 ms of buffering
  EXPECT_LE(ms, 1000 + 500);
}

TEST(AlsaPulseTest, PlaybackIsRecordedBitExactAndPaced) {
  REQUIRE_PULSE(dir);
  const std::string out = dir + "/playback-out.raw";
  const Bytes played = Pattern(50 * 320, 9);
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_playback_file"));
  BytesSource source(played);
  ASSERT_EQ(Connect(&source, &sink), 0);
  const auto start = std::chrono::steady_clock::now();
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
  EXPECT_LE(ms, 50 * 20 + 500);
}

TEST(AlsaPulseTest, VolumesReachTheServer) {
  REQUIRE_PULSE(dir);
  auto pactl = [](const std::string& args) {
    std::string out;
    if (FILE* p = ::popen(("pactl " + args + " 2>&1").c_str(), "r")) {
      for (char buf[256]; std::fgets(buf, sizeof buf, p) != nullptr;) out += buf;
      ::pclose(p);
    }
    return out;
  };
  if (pactl("--version").find("libpulse") == std::string::npos) GTEST_SKIP() << "no pactl";
  using ::testing::HasSubstr;
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
