// The ALSA backend and both device filters against a real, paced sound server: a private
// PulseAudio daemon started by scripts/pulse-test-server.sh, reached through ALSA's pulse plugin.
// ALSA file-plugin devices layered on the paced default feed known samples to capture and record
// exactly what was played. Every test here skips, with the reason, when the daemon is not running.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/WaveAudioSink.h"
#include "devices/WaveAudioSource.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioTransformer.h"
#include "platform/AlsaAudioBackend.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {
namespace {

const WAVEFORMATEX kPcm{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
// Scheduling jitter of a busy machine, plus ALSA's 100 ms of buffering where it applies.
constexpr long kJitterMs = 60;

// Reads the settings file of the test server (TARSIO_PULSE_ENV, else /tmp/tarsio-pulse/env.sh)
// into the environment unless they are set already. Returns the server's folder or "" with a
// reason.
std::string PulseDir(std::string* reason) {
  if (std::getenv("TARSIO_PULSE_DIR") == nullptr) {
    const char* envFile = std::getenv("TARSIO_PULSE_ENV");
    const std::string path = envFile != nullptr ? envFile : "/tmp/tarsio-pulse/env.sh";
    std::ifstream in(path);
    if (!in) {
      *reason = "private PulseAudio not running: no " + path +
                " (run scripts/pulse-test-server.sh start)";
      return "";
    }
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("export ", 0) != 0) continue;
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      ::setenv(line.substr(7, eq - 7).c_str(), line.substr(eq + 1).c_str(), 1);
    }
  }
  const char* dir = std::getenv("TARSIO_PULSE_DIR");
  if (dir == nullptr || std::getenv("ALSA_CONFIG_PATH") == nullptr) {
    *reason = "the test server's settings lack TARSIO_PULSE_DIR or ALSA_CONFIG_PATH";
    return "";
  }
  // The daemon must answer: open and close the default playback PCM.
  AlsaAudioBackend probe;
  std::unique_ptr<AudioBackend::Stream> stream;
  const uint32_t r = probe.Open(AudioDirection::kPlayback, WAVE_MAPPER, kPcm, &stream);
  if (r != MMSYSERR_NOERROR) {
    *reason = "ALSA default PCM (pulse) does not open: result " + std::to_string(r) +
              " (is the test daemon of " + dir + " still running?)";
    return "";
  }
  stream->Close();
  return dir;
}

// Under ThreadSanitizer these tests are skipped: the PulseAudio client library they run through
// is not instrumented, and the slowed-down process cannot hold the real-time pacing they check.
// The optimised and AddressSanitizer builds run them.
#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

#define REQUIRE_PULSE(dir)                                                    \
  std::string reason;                                                         \
  if (kUnderThreadSanitizer) {                                                \
    GTEST_SKIP() << "real-time sound tests do not run under ThreadSanitizer"; \
  }                                                                           \
  const std::string dir = PulseDir(&reason);                                  \
  if (dir.empty()) {                                                          \
    GTEST_SKIP() << reason;                                                   \
  }                                                                           \
  static_assert(true)

int16_t Tone(size_t n) { return static_cast<int16_t>(static_cast<int>((n * 37) % 20000) - 10000); }

std::vector<uint8_t> ToneBytes(size_t first, size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t n = first; n < first + count; ++n) {
    const auto v = static_cast<uint16_t>(Tone(n));
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  return bytes;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
    ::pclose(p);
  }
  return out;
}

long MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

// Plays frames of the tone, frame k holding samples 160k .. 160k+159, then nothing.
class ToneSource : public AudioSource {
 public:
  explicit ToneSource(int frames) : frames_(frames) {}
  int32_t GenerateData(AudioSample** out) override {
    *out = nullptr;
    if (next_ >= frames_) {
      done_ = true;
      return 0;
    }
    AudioSample* sample = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&sample, this);
    sample->SetFormat(kPcm);
    const auto bytes = ToneBytes(static_cast<size_t>(next_) * 160, 160);
    std::copy(bytes.begin(), bytes.end(), sample->GetData());
    sample->SetDataSize(320);
    ++next_;
    *out = sample;
    return 0;
  }
  std::atomic<bool> done_{false};

 private:
  int frames_;
  int next_ = 0;
};

class ByteSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> lk(mutex);
    for (auto& [sample, from] : samples) {
      if (sample->GetDataSize() == 0) {
        ++markers;
        continue;
      }
      bytes.insert(bytes.end(), sample->GetData(), sample->GetData() + sample->GetDataSize());
    }
    return 0;
  }
  size_t Size() {
    std::lock_guard<std::mutex> lk(mutex);
    return bytes.size();
  }
  std::mutex mutex;
  std::vector<uint8_t> bytes;
  int markers = 0;
};

TEST(AlsaPulseTest, BackendListsDevicesAndPacesBothDirections) {
  REQUIRE_PULSE(dir);
  AlsaAudioBackend backend;
  for (AudioDirection direction : {AudioDirection::kCapture, AudioDirection::kPlayback}) {
    const auto devices = backend.Devices(direction);
    ASSERT_FALSE(devices.empty());
    for (const auto& d : devices) {
      EXPECT_FALSE(d.name.empty());
      EXPECT_FALSE(d.description.empty());
    }
  }
  std::unique_ptr<AudioBackend::Stream> stream;
  EXPECT_EQ(backend.Open(AudioDirection::kPlayback, 100000, kPcm, &stream), MMSYSERR_BADDEVICEID);
  // 1 s of audio each way must take 1 s (less ALSA's 100 ms of buffering on playback).
  for (AudioDirection direction : {AudioDirection::kPlayback, AudioDirection::kCapture}) {
    ASSERT_EQ(backend.Open(direction, WAVE_MAPPER, kPcm, &stream), MMSYSERR_NOERROR);
    std::vector<uint8_t> buffer = ToneBytes(0, 160);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
      uint32_t got = 0;
      const uint32_t r = direction == AudioDirection::kCapture
                             ? stream->Read(buffer.data(), 320, &got)
                             : stream->Write(buffer.data(), 320);
      ASSERT_EQ(r, MMSYSERR_NOERROR);
      if (direction == AudioDirection::kCapture) {
        ASSERT_EQ(got, 320u);
      }
    }
    const long ms = MsSince(start);
    EXPECT_GE(ms, 1000 - 100 - kJitterMs) << (direction == AudioDirection::kCapture ? "in" : "out");
    EXPECT_LE(ms, 1000 + 5 * kJitterMs) << (direction == AudioDirection::kCapture ? "in" : "out");
    EXPECT_EQ(stream->Close(), MMSYSERR_NOERROR);
  }
}

TEST(AlsaPulseTest, CaptureFilterDeliversTheFedSamplesBitExactAndPaced) {
  REQUIRE_PULSE(dir);
  const int kFrames = 50;
  {
    const auto bytes = ToneBytes(0, 160 * (kFrames + 50));
    std::ofstream(dir + "/capture-in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  }
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_capture_file"));
  source.SetVolume(100);
  ByteSink sink;
  ASSERT_EQ(Connect(&source, &sink), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(source.StartSourceThread(), 0);
  for (int i = 0; i < 5000 && sink.Size() < kFrames * 320u; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const long ms = MsSince(start);
  EXPECT_EQ(source.StopSourceThread(), 0);
  Disconnect(&source, &sink);
  ASSERT_GE(sink.bytes.size(), kFrames * 320u);
  const auto expected = ToneBytes(0, sink.bytes.size() / 2);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sink.bytes.begin()))
      << "captured audio differs from the fed file";
  EXPECT_EQ(sink.markers, 0);
  EXPECT_GE(ms, kFrames * 20 - 100 - kJitterMs);
  EXPECT_LE(ms, kFrames * 20 + 500);
}

TEST(AlsaPulseTest, PlaybackFilterWritesThePlayedSamplesBitExactAndPaced) {
  REQUIRE_PULSE(dir);
  const int kFrames = 50;
  const std::string out = dir + "/playback-out.raw";
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>("tarsio_playback_file"));
  ToneSource source(kFrames);
  ASSERT_EQ(Connect(&source, &sink), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(sink.StartSinkThread(), 0);
  // The file plugin copies what the device accepted, holding back one ALSA buffer (100 ms, 1600
  // bytes) until the close; wait until everything else arrived.
  const uintmax_t target = kFrames * 320u - 1600u;
  auto size = [&] {
    std::error_code ec;
    const auto n = std::filesystem::file_size(out, ec);
    return ec ? uintmax_t{0} : n;
  };
  for (int i = 0; i < 1000 && size() < target; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const long ms = MsSince(start);
  EXPECT_EQ(sink.StopSinkThread(), 0);
  Disconnect(&source, &sink);
  const auto bytes = ReadFile(out);
  ASSERT_EQ(bytes.size(), kFrames * 320u);
  EXPECT_EQ(bytes, ToneBytes(0, kFrames * 160)) << "recorded audio differs from what was played";
  // The device takes the frames at the playing rate once its 100 ms buffer is full: 45 frames
  // after the first 5 take 900 ms.
  EXPECT_GE(ms, (kFrames - 5) * 20 - 2 * kJitterMs);
  EXPECT_LE(ms, kFrames * 20 + 500);
}

TEST(AlsaPulseTest, VolumesReachTheServer) {
  REQUIRE_PULSE(dir);
  if (Shell("command -v pactl").empty())
    GTEST_SKIP() << "pactl (pulseaudio-utils) is not installed";
  // Capture: the pulse control device has only the "Capture" destination, so the walk falls back
  // to it; SetVolume(50) pending at start becomes 50 % on the default source, unmuted.
  Shell("pactl set-source-mute @DEFAULT_SOURCE@ 1");
  WaveAudioSource source;
  source.SetAudioBackend(std::make_shared<AlsaAudioBackend>());
  source.SetVolume(50);
  ASSERT_EQ(source.SourceStarted(), 0);
  EXPECT_NE(Shell("pactl get-source-volume @DEFAULT_SOURCE@").find("50%"), std::string::npos)
      << Shell("pactl get-source-volume @DEFAULT_SOURCE@");
  EXPECT_NE(Shell("pactl get-source-mute @DEFAULT_SOURCE@").find("no"), std::string::npos);
  source.SetVolume(0);
  EXPECT_NE(Shell("pactl get-source-mute @DEFAULT_SOURCE@").find("yes"), std::string::npos);
  source.SetVolume(100);
  EXPECT_NE(Shell("pactl get-source-volume @DEFAULT_SOURCE@").find("100%"), std::string::npos);
  EXPECT_EQ(source.SourceStopped(), 0);

  // Playback: the two 16-bit levels go to the server's "Master" (the default sink).
  WaveAudioSink sink;
  sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>());
  sink.SetNumFrames(2);
  ASSERT_EQ(sink.StartSink(), 0);
  for (int i = 0; i < 2; ++i) {  // play both buffers once, so the stop's drain has nothing to wait
    AudioSample* silence = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&silence, nullptr);
    silence->SetFormat(kPcm);
    silence->SetSilenceDuration(20);
    EXPECT_EQ(sink.TakeNextAudioSample(silence, nullptr), 0);
    silence->Release(nullptr);
  }
  sink.SetVolume(50);
  EXPECT_NE(Shell("pactl get-sink-volume @DEFAULT_SINK@").find("50%"), std::string::npos)
      << Shell("pactl get-sink-volume @DEFAULT_SINK@");
  sink.SetVolume(100);
  EXPECT_NE(Shell("pactl get-sink-volume @DEFAULT_SINK@").find("100%"), std::string::npos);
  EXPECT_EQ(sink.StopSink(), 0);
}

// Freezes the test daemon (SIGSTOP) for the life of the object: a sound server that stops
// answering. The destructor always lets it run again.
class FrozenServer {
 public:
  explicit FrozenServer(pid_t pid) : pid_(pid) { ::kill(pid_, SIGSTOP); }
  ~FrozenServer() { ::kill(pid_, SIGCONT); }

 private:
  pid_t pid_;
};

TEST(AlsaPulseTest, StopsAreBoundedWhenTheServerStopsAnswering) {
  REQUIRE_PULSE(dir);
  const std::string pidText = Shell("cat " + dir + "/pid");
  if (pidText.empty()) GTEST_SKIP() << "no daemon pid in " << dir;
  const pid_t pid = static_cast<pid_t>(std::stol(pidText));
  {
    WaveAudioSink sink;
    sink.SetAudioBackend(std::make_shared<AlsaAudioBackend>());
    ToneSource source(1000000);
    ASSERT_EQ(Connect(&source, &sink), 0);
    ASSERT_EQ(sink.StartSinkThread(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    FrozenServer frozen(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sink.StopSinkThread(), 0);
    // At most 1 s for a free buffer, the 5 s drain budget, 1 s for the abandoned drop/close.
    EXPECT_LE(MsSince(start), 8000);
    EXPECT_FALSE(sink.IsRunning());
    Disconnect(&source, &sink);
  }
  {
    WaveAudioSource source;
    source.SetAudioBackend(std::make_shared<AlsaAudioBackend>());
    ByteSink sink;
    ASSERT_EQ(Connect(&source, &sink), 0);
    ASSERT_EQ(source.StartSourceThread(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    FrozenServer frozen(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(source.StopSourceThread(), 0);
    EXPECT_LE(MsSince(start), 4000);
    EXPECT_FALSE(source.IsRunning());
    Disconnect(&source, &sink);
  }
  // The server answers again afterwards.
  std::string again;
  EXPECT_FALSE(PulseDir(&again).empty()) << again;
}

}  // namespace
}  // namespace tarsio
