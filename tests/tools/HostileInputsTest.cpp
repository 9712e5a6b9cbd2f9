// Hostile inputs of the host and of file play: whole file plays of hostile WAV files (file source
// and converter, linked as the terminal links them) run in a child process of their own, so that
// the parent bounds their time and reads their peak memory (wait4's resource usage of exactly that
// child); the host's WAV reader and its check of tuning numbers.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/WaveFileSource.h"
#include "dsp/ACMTransformer.h"
#include "framework/AudioSample.h"
#include "framework/NumberText.h"
#include "platform/AcmStream.h"
#include "platform/Clock.h"
#include "platform/RealClock.h"
#include "support/ChildProcess.h"
#include "support/WavTestFiles.h"
#include "tools/AudioClip.h"
#include "tools/SettingsCommand.h"

extern char** environ;

namespace tarsio {
namespace {

using testing::BuildRiff;
using testing::Bytes;
using testing::FmtPayload;
using testing::WavFormat;

WavFormat Ima(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
  WavFormat f;
  f.tag = AcmStream::kTagImaAdpcm;
  f.channels = channels;
  f.rate = rate;
  f.blockAlign = blockAlign;
  f.bitsPerSample = 4;
  const uint32_t frames = AcmStream::ImaSamplesPerBlock(blockAlign, channels);
  f.avgBytesPerSec = frames == 0 ? rate * blockAlign : rate * blockAlign / frames;
  return f;
}

// IMA ADPCM blocks of noise-like nibbles (each block's header: predictor 0, step index 0).
Bytes ImaBlocks(uint16_t blockAlign, uint16_t channels, size_t blocks) {
  Bytes b;
  uint32_t x = 12345;
  for (size_t n = 0; n < blocks; ++n) {
    for (uint16_t c = 0; c < channels; ++c) b.insert(b.end(), {0, 0, 0, 0});
    for (uint32_t i = 4u * channels; i < blockAlign; ++i) {
      x = x * 1103515245u + 12345u;
      b.push_back(static_cast<uint8_t>(x >> 16));
    }
  }
  return b;
}

class NoSleepClock final : public Clock {
 public:
  uint64_t NowMs() override { return RealClock::Instance().NowMs(); }
  void SleepMs(uint32_t) override {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override {
    return RealClock::Instance().WaitFor(cv, lk, ms, pred);
  }
};

constexpr int kPlayed = 0;
constexpr int kRefusedBySource = 3;
constexpr int kRefusedByConverter = 4;

// Plays the file named by TARSIO_HOSTILE_WAV to its end as fast as it goes (the converter's queue
// emptied after each frame) and writes the converted byte count to TARSIO_HOSTILE_OUT.
TARSIO_CHILD_BODY(hostile_file_play) {
  static NoSleepClock clock;
  Clock::Install(&clock);
  WaveFileSource source;
  if (source.OpenWaveFile(std::getenv("TARSIO_HOSTILE_WAV")) != 0) return kRefusedBySource;
  WAVEFORMATEX format{};
  source.GetFormat(&format);
  ACMTransformer acm;
  acm.SetSourceFormat(format);
  acm.SetDestinationFormat(PcmFormat());
  if (acm.StartTransform() != 0) return kRefusedByConverter;
  source.SourceStarted();
  uint64_t converted = 0;
  for (;;) {
    AudioSample* sample = nullptr;
    if (source.GenerateData(&sample) != 0 || sample == nullptr) break;
    AudioSampleList inputs{{sample, &source}};
    acm.RenderAudioSamples(inputs);
    sample->Release(nullptr);
    converted += acm.QueuedBytes();
    acm.FlushBuffer();
  }
  source.SourceStopped();
  acm.StopTransform();
  std::ofstream(std::getenv("TARSIO_HOSTILE_OUT")) << converted;
  return kPlayed;
}

struct ChildRun {
  int exitCode = -1;  // -1: killed or crashed
  double seconds = 0.0;
  long maxRssKb = 0;
};

ChildRun RunPlay(const std::string& wav, const std::string& out, int timeoutSeconds) {
  std::vector<std::string> env = {"TARSIO_TEST_CHILD=hostile_file_play",
                                  "TARSIO_HOSTILE_WAV=" + wav, "TARSIO_HOSTILE_OUT=" + out};
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  char* argv[] = {self.data(), nullptr};
  ChildRun run;
  pid_t pid = -1;
  if (::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return run;
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, WNOHANG, &usage) != pid) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(timeoutSeconds)) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.maxRssKb = usage.ru_maxrss;
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

TEST(HostileInputsTest, FilePlayRefusesOrFinishesHostileFilesInBoundedTimeAndMemory) {
  testing::TempDir dir;
  // A 304-byte IMA ADPCM file at 1 Hz with 256-byte blocks: converting it to 8 kHz once took
  // minutes and gigabytes.
  Bytes tiny = testing::BuildWav(Ima(1, 1, 256), ImaBlocks(256, 1, 1));
  tiny.resize(304, 0);
  const WavFormat pcm = testing::LinearFormat(1, 1, 8000, 16);
  const struct {
    const char* name;
    Bytes bytes;
    int outcome;
    uint64_t minBytes, maxBytes;  // converted 8 kHz PCM
  } cases[] = {
      {"IMA ADPCM at 1 Hz, 304 bytes", tiny, kRefusedBySource, 0, 0},
      {"IMA ADPCM with 65528-byte blocks",
       testing::BuildWav(Ima(2, 8000, 65528), ImaBlocks(65528, 2, 2)), kRefusedByConverter, 0, 0},
      {"IMA ADPCM with 32 channels",
       testing::BuildWav(WavFormat{0x11, 32, 8000, 128000, 4096, 4}, Bytes(8192)),
       kRefusedByConverter, 0, 0},
      // The heaviest accepted: 8192-byte blocks at 1000 Hz. The converter keeps a block's frames
      // that its 1 s destination cannot take, so the end of the last block stays behind.
      {"IMA ADPCM at 1000 Hz, 8192-byte blocks",
       testing::BuildWav(Ima(1, 1000, 8192), ImaBlocks(8192, 1, 3)), kPlayed, 2 * 16377 * 8 * 2,
       3 * 16377 * 8 * 2},
      {"data chunk claiming 2 GB, 1 s present",
       BuildRiff({{"fmt ", FmtPayload(pcm)}, {"data", Bytes(16000, 1), 0x7FFFFFF0}}), kPlayed,
       14000, 16000},
      {"8 channels of 64-bit float at 384 kHz, 0.1 s",
       testing::BuildWav(testing::LinearFormat(3, 8, 384000, 64), Bytes(38400 * 64, 0)), kPlayed,
       1000, 1600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.Path() + "/converted.txt";
    std::filesystem::remove(out);
    const ChildRun run = RunPlay(dir.Write("hostile.wav", c.bytes), out, 60);
    EXPECT_EQ(run.exitCode, c.outcome);
    EXPECT_LT(run.seconds, 30.0);
    // Generous (the sanitizer builds take several times the memory of the optimised one); the
    // 1 Hz file alone once took gigabytes.
    EXPECT_LT(run.maxRssKb, 512 * 1024);
    if (c.outcome == kPlayed) {
      uint64_t converted = 0;
      std::ifstream(out) >> converted;
      EXPECT_GE(converted, c.minBytes);
      EXPECT_LE(converted, c.maxBytes);
    }
  }
}

TEST(HostileInputsTest, HostWavReaderSizesItsMemoryByTheFileNotTheHeader) {
  testing::TempDir dir;
  const Bytes fmt = FmtPayload(testing::LinearFormat(1, 1, 8000, 16));
  const struct {
    const char* name;
    Bytes bytes;
    bool loads;
    size_t samples;
  } cases[] = {
      {"44 bytes claiming 4 GB", BuildRiff({{"fmt ", fmt}, {"data", {}, 0xFFFFFFFF}}), true, 0},
      {"100 bytes claiming 2 GB", BuildRiff({{"fmt ", fmt}, {"data", Bytes(100, 1), 0x7FFFFFFF}}),
       true, 50},
      {"stereo", testing::BuildWav(testing::LinearFormat(1, 2, 8000, 16), Bytes(40)), false, 0},
      {"A-law", testing::BuildWav(testing::LinearFormat(6, 1, 8000, 8), Bytes(40)), false, 0},
      {"cut inside the fmt chunk", Bytes{'R', 'I', 'F', 'F', 0,   0,  0, 0, 'W', 'A', 'V',
                                         'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,   1,   0},
       false, 0},
  };
  for (const auto& c : cases) {
    host::AudioClip clip;
    std::string error;
    EXPECT_EQ(host::AudioClip::Load(dir.Write("c.wav", c.bytes), &clip, &error), c.loads)
        << c.name << ": " << error;
    EXPECT_EQ(clip.Samples().size(), c.samples) << c.name;
    EXPECT_EQ(error.empty(), c.loads) << c.name;
  }
}

TEST(HostileInputsTest, TuningNumbersAreCheckedWithTheEnginesGrammar) {
  using Kind = host::SettingsCommand::Kind;
  const char* accepted[] = {"-8.0", "0.075", "-0.00075", "95",    "+.5",
                            "5.",   "75e-3", "1E+2",     "1e308", "-2.5e-300"};
  for (const char* text : accepted) {
    std::string value, error;
    EXPECT_TRUE(host::SettingsCommand::Normalise(Kind::kNumber, text, &value, &error))
        << text << ": " << error;
    EXPECT_EQ(value, text);
    EXPECT_TRUE(std::isfinite(ParseNumberText(value.c_str())));
  }
  // What strtod took but the engine reads as something else: 0.0 for hex, inf and nan, the
  // largest double for 1e999, 0.0 for 1e-400; and text around a number.
  const std::pair<const char*, const char*> refused[] = {
      {"0x1A", "not a decimal number"},      {"inf", "not a decimal number"},
      {"-infinity", "not a decimal number"}, {"nan", "not a decimal number"},
      {"1e999", "out of the range"},         {"-1e999", "out of the range"},
      {"1e-400", "out of the range"},        {" 5", "not a decimal number"},
      {"5 ", "not a decimal number"},        {"1,5", "not a decimal number"},
      {"", "not a decimal number"},          {"1e", "not a decimal number"},
      {"--1", "not a decimal number"},       {"1.2.3", "not a decimal number"},
  };
  for (const auto& [text, reason] : refused) {
    std::string value, error;
    EXPECT_FALSE(host::SettingsCommand::Normalise(Kind::kNumber, text, &value, &error)) << text;
    EXPECT_NE(error.find(reason), std::string::npos) << text << ": " << error;
  }
  EXPECT_FALSE(IsWholeNumberText(std::string("1\0", 2), nullptr));
}

}  // namespace
}  // namespace tarsio
