// The terminal through its public interface, as a host uses it: calls over real loopback UDP (the
// terminal sends to its own port) with the file sound backend, so that what the loudspeaker
// records must be what the microphone played, delayed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "devices/WaveFileSource.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/Registry.h"
#include "framework/TrafficTotals.h"
#include "platform/AudioBackendSelector.h"
#include "platform/Thread.h"
#include "platform/WavFile.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"
#include "terminal/FilePlay.h"

namespace tarsio::testing {
namespace {

void RunFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

/// A UDP port that was free a moment ago.
int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

/// A speech-like 8 kHz signal: low-passed noise and a 310 Hz tone under a syllable envelope that
/// never reaches silence (silent frames would go out as comfort noise and change the timing).
std::vector<int16_t> SpeechLike(double seconds, uint32_t seed = 12345) {
  std::vector<int16_t> out(static_cast<size_t>(seconds * 8000));
  double low = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    low = 0.7 * low + 0.3 * ((static_cast<double>(seed >> 8) / 16777216.0) * 2.0 - 1.0);
    const double t = static_cast<double>(i) / 8000.0;
    const double envelope = 0.35 + 0.65 * std::max(0.0, std::sin(2 * M_PI * 3.0 * t));
    out[i] = static_cast<int16_t>(
        std::lround(envelope * (12000.0 * low + 4000.0 * std::sin(2 * M_PI * 310 * t))));
  }
  return out;
}

void WriteWav16(const std::string& path, const std::vector<int16_t>& samples) {
  const Bytes bytes = BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(samples));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::vector<int16_t> ReadWav16(const std::string& path) {
  WavFile wav;
  std::string error;
  std::vector<int16_t> out;
  uint8_t buffer[4096];
  if (!wav.OpenRead(path, &error)) return out;
  for (uint32_t n; (n = wav.Read(buffer, sizeof buffer)) > 0;) {
    for (uint32_t i = 0; i + 1 < n; i += 2)
      out.push_back(static_cast<int16_t>(buffer[i] | (buffer[i + 1] << 8)));
  }
  return out;
}

/// 20 ms frames of the signal whose RMS is above 1000.
size_t LoudFrames(const std::vector<int16_t>& s) {
  size_t loud = 0;
  for (size_t i = 0; i + 160 <= s.size(); i += 160) {
    double sum = 0;
    for (size_t k = i; k < i + 160; ++k) sum += static_cast<double>(s[k]) * s[k];
    loud += std::sqrt(sum / 160) > 1000 ? 1 : 0;
  }
  return loud;
}

/// The lag (0..maxLag samples) at which output best matches half a second of input from its
/// half-second mark (the start of a call may be cut or concealed), and its normalised correlation.
std::pair<int, double> BestMatch(const std::vector<int16_t>& input,
                                 const std::vector<int16_t>& output, int maxLag) {
  std::pair<int, double> best{-1, 0.0};
  const size_t from = std::min<size_t>(input.size(), 4000);
  const size_t to = std::min<size_t>(input.size(), from + 4000);
  for (int lag = 0; lag <= maxLag && lag + to <= output.size(); ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = from; i < to; i += 2) {
      xy += static_cast<double>(input[i]) * output[i + lag];
      xx += static_cast<double>(input[i]) * input[i];
      yy += static_cast<double>(output[i + lag]) * output[i + lag];
    }
    const double c = (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0;
    if (c > best.second) best = {lag, c};
  }
  return best;
}

/// Settings that keep the received waveform close to the sent one (no FIR shaping, no limiter,
/// no extra gain), so that a correlation can tell whether the right audio arrived.
void PlainAudioPath() {
  for (const char* name : {"MicrophonePreprocess", "SpeakerPostprocess", "LimitVolume"}) {
    RegSetString(HKEY_CURRENT_USER, kTerminalKey, name, "false");
  }
  RegSetString(HKEY_CURRENT_USER, kTerminalKey, "VolumeMaximizeMaxGain", "1.0");
}

int ThreadCount() {
  return static_cast<int>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

/// The thread count once the process-lifetime helpers exist (the settings store's background
/// writer starts with the first write): a terminal is made and destroyed first.
int ThreadsAfterWarmUp() {
  delete new COrbeMediaTerm();
  RegSetDWORD(HKEY_CURRENT_USER, kTerminalKey, "WarmUp", 1);
  return ThreadCount();
}

/// Waits a moment for threads that end by themselves, then checks none is left over.
void ExpectThreadsEnded(int before) {
  for (int i = 0; i < 100 && ThreadCount() > before; ++i) RunFor(20);
  EXPECT_LE(ThreadCount(), before) << "threads left behind";
}

/// A terminal on the file backend: its microphone plays in.wav, its loudspeaker records out.wav,
/// and it sends to its own port.
class TerminalCall : public ::testing::Test {
 protected:
  /// Installs the file backend with mic as in.wav (empty: a capture device without a file).
  void Files(const std::vector<int16_t>& mic, const std::string& capture = "") {
    if (!mic.empty()) WriteWav16(in, mic);
    std::string error;
    AudioBackendSelector::Install(AudioBackendSelector::Create(
        "file:capture=" + (mic.empty() ? capture : in) + ",playback=" + out, &error));
  }
  void Open(int32_t tx = 4, int32_t rx = 4, HostLog* log = nullptr) {
    term = GetRTPInterface(log);
    ASSERT_NE(term, nullptr);
    terminal = static_cast<COrbeMediaTerm*>(term);
    port = FreeUdpPort();
    ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
    ASSERT_EQ(term->SetTransmitCodec(tx, 20, 0, 0, 0, 0), 0);
    ASSERT_EQ(term->SetReceiveCodec(rx, 20, 0, 0), 0);
    term->SetMicrophoneVolume(-1, 100);
  }
  void Start() {
    ASSERT_EQ(term->StartRX(-1, 60), 0);
    ASSERT_EQ(term->StartTX(-1), 0);
  }
  void Stop() {
    EXPECT_EQ(term->StopTX(), 0);
    EXPECT_EQ(term->StopRX(), 0);
  }
  void TearDown() override {
    delete term;
    AudioBackendSelector::Install(nullptr);
  }

  TempDir dir;
  const std::string in = dir.Path() + "/in.wav";
  const std::string out = dir.Path() + "/out.wav";
  RTPInterface* term = nullptr;
  COrbeMediaTerm* terminal = nullptr;
  int port = 0;
};

struct CodecCase {
  const char* name;
  int32_t txCodec;
  int32_t rxCodec;  // 0: the generic decoder, which follows the payload type
};

class TerminalCodecs : public TerminalCall, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(TerminalCodecs, ReceivedAudioMatchesSentAudioAfterTheDelay) {
  const std::vector<int16_t> signal = SpeechLike(2.5);
  RecordingHostLog log;
  PlainAudioPath();
  Files(signal);
  Open(GetParam().txCodec, GetParam().rxCodec, &log);
  Start();
  RunFor(3000);
  Stop();
  const int64_t sent = TrafficTotals::sentBytes.load();
  const int64_t played = TrafficTotals::playedBytes.load();
  delete term;
  term = nullptr;

  EXPECT_GT(sent, 100 * 172);  // 2.5 s in 20 ms packets of 172 bytes: about 125 packets
  EXPECT_GT(played, 16000);
  const std::vector<int16_t> heard = ReadWav16(out);
  ASSERT_GT(heard.size(), signal.size());
  // The receiver's first fill waits for a full ring: about 1.4 s of delay, more on a busy machine.
  const auto [lag, correlation] = BestMatch(signal, heard, 16000);
  EXPECT_GT(correlation, 0.9) << "lag " << lag;
  EXPECT_GT(lag, 0);
  EXPECT_LT(lag, 16000);
  EXPECT_TRUE(log.Contains("*** estadisticas RTP ***"));
}

INSTANTIATE_TEST_SUITE_P(Codecs, TerminalCodecs,
                         ::testing::Values(CodecCase{"ulaw", 4, 4}, CodecCase{"alaw", 2, 2},
                                           CodecCase{"generic_ulaw", 4, 0},
                                           CodecCase{"generic_alaw", 2, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TerminalCall, CodecChangesWhileRunningAndStopStartCyclesLeaveNothingBehind) {
  Files(SpeechLike(3.0));
  const int threadsBefore = ThreadsAfterWarmUp();
  Open();
  // Only G.711 is sent, and only G.711 or the generic decoder received.
  EXPECT_EQ(term->SetTransmitCodec(0, 20, 0, 0, 0, 0), -30);
  EXPECT_EQ(term->SetTransmitCodec(9, 20, 0, 0, 0, 0), -30);
  EXPECT_EQ(term->SetReceiveCodec(9, 20, 0, 0), -30);
  EXPECT_EQ(term->SetReceiveCodec(7, 20, 0, 0), -30);
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    Start();
    RunFor(200);
    // Same codec, other frame time: no restart while receiving.
    EXPECT_EQ(term->SetReceiveCodec(4, 30, 0, 0), 0);
    // A real change restarts the running direction.
    EXPECT_EQ(term->SetReceiveCodec(cycle % 2 == 0 ? 2 : 0, 20, 0, 0), 0);
    EXPECT_TRUE(terminal->IsReceiving());
    EXPECT_EQ(term->SetTransmitCodec(2, 20, 0, 0, 0, 0), 0);
    EXPECT_TRUE(terminal->IsTransmitting());
    RunFor(200);
    Stop();
    EXPECT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
    EXPECT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
  }
  EXPECT_LT(AudioSampleManager::Instance()->CreatedCount(), 400) << "the pool grew without bound";
  EXPECT_EQ(AudioSampleManager::Instance()->InUseCount(), 0);
  delete term;
  term = nullptr;
  ExpectThreadsEnded(threadsBefore);
}

TEST_F(TerminalCall, RegistryValuesAreCreatedWithDefaultsAndRead) {
  TempRegistry registry;  // empty: every value the terminal reads is created with its default
  Files({});
  Open(4, 0);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 1, 0, 0), 0);  // VAD wanted
  Start();
  const char* key = kTerminalKey;
  // The transmitter records where it sends while it runs, and clears it when it stops.
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "DestinationPort", 0), static_cast<uint32_t>(port));
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "DestinationAddress", ""), "127.0.0.1");
  Stop();
  delete term;
  term = nullptr;
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "DestinationPort", 7), 0u);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "TxFIRFilter", 77), 1u);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "TransmitTOS", 77), 184u);
  const std::pair<const char*, const char*> strings[] = {{"ForceVADOff", "false"},
                                                         {"MicrophonePreprocess", "true"},
                                                         {"LimiterThreshold", "-8.0"},
                                                         {"VolumeMaximizePercentile", "95.00"},
                                                         {"UseDynamicJitterBuffer", "true"}};
  for (const auto& [name, value] : strings) {
    EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, name, "x"), value) << name;
  }
}

TEST_F(TerminalCall, PlayFileOnceIsHeardAtTheFarEndAndStopFileAndSweepRemoveIt) {
  const std::string once = dir.Path() + "/once.wav";
  const std::string junk = dir.Path() + "/junk.wav";
  WriteWav16(once, SpeechLike(0.6, 1));
  std::ofstream(junk) << "not a wave file at all";
  PlainAudioPath();
  Files(std::vector<int16_t>(8000 * 4, 0));  // a silent microphone
  Open();
  uint32_t id = 777;
  // Without a running transmitter nothing plays and no id is given.
  EXPECT_EQ(term->PlayFile(once.c_str(), 1, 100, &id), 0);
  EXPECT_EQ(id, 777u);
  EXPECT_EQ(terminal->FilePlayCount(), 0u);
  Start();
  EXPECT_EQ(term->PlayFile((dir.Path() + "/missing.wav").c_str(), 1, 100, &id), -10);
  EXPECT_EQ(term->PlayFile(junk.c_str(), 1, 100, &id), -10);
  EXPECT_EQ(id, 777u);
  EXPECT_FALSE(term->StopFile(12345));  // unknown id: nothing happens

  // The single play delivers its file but stays until stopped; stopping runs the end-of-file hook.
  ASSERT_EQ(term->PlayFile(once.c_str(), 1, 100, &id), 0);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  RunFor(1500);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  const uint32_t endsBefore = terminal->EndOfFileCount();
  EXPECT_FALSE(term->StopFile(id));
  EXPECT_EQ(terminal->EndOfFileCount(), endsBefore + 1);
  // The next PlayFile sweeps the stopped play away and adds its own.
  uint32_t second = 0;
  ASSERT_EQ(term->PlayFile(once.c_str(), 1, 100, &second), 0);
  EXPECT_NE(second, id);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  Stop();
  EXPECT_GT(LoudFrames(ReadWav16(out)), 5u) << "the file did not reach the far end";
}

TEST_F(TerminalCall, PlayFileInALoopRunsUntilDestructionStopsIt) {
  const std::string loop = dir.Path() + "/loop.wav";
  WriteWav16(loop, SpeechLike(0.13, 2));  // not a whole number of frames: the loop wraps
  PlainAudioPath();
  Files(std::vector<int16_t>(8000 * 4, 0));
  Open();
  Start();
  uint32_t id = 0;
  ASSERT_EQ(term->PlayFile(loop.c_str(), 0, 80, &id), 0);
  // The receiver's first fill waits for a full ring, and a silent microphone sends only comfort
  // noise until the file starts: allow for that before listening.
  RunFor(2800);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  // Far more than the file's 0.13 s (7 frames) has been heard: the play loops.
  EXPECT_GT(LoudFrames(ReadWav16(out)), 15u);
  // TearDown destroys the terminal with the play running.
}

TEST_F(TerminalCall, DeviceTestsFailWithoutADeviceAndPassWithOne) {
  Files({}, dir.Path() + "/missing.wav");
  term = GetRTPInterface(nullptr);
  EXPECT_FALSE(term->TestCaptureDevice());
  delete term;
  Files({});
  Open();
  EXPECT_TRUE(term->TestCaptureDevice());
  EXPECT_TRUE(term->TestPlaybackDevice());
}

TEST(TerminalLog, StatisticsReportIsTheLastEntryWithTheExactCallSequence) {
  RecordingHostLog log;
  delete GetRTPInterface(&log);
  std::vector<std::string> expected = {"Lock", "Write:*** estadisticas RTP ***", "MarkEntry",
                                       "EndLine"};
  // Each total is a line of its own; from the second WaveIn on, each is followed by an empty line.
  const std::pair<const char*, bool> totals[] = {
      {"recvfrom", false}, {"sendto", false},     {"WaveOut", false}, {"WaveIn", true},
      {"WaveIn", true},    {"G729 Decomp", true}, {"G729 Comp", true}};
  for (const auto& [label, blank] : totals) {
    expected.insert(expected.end(),
                    {std::string("Write:RTP ") + label + ":", "Write:0", "EndLine"});
    if (blank) expected.push_back("EndLine");
  }
  expected.push_back("Unlock");
  const std::vector<std::string> calls = log.Calls();
  ASSERT_GE(calls.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(calls.end() - static_cast<long>(expected.size()), calls.end()),
            expected);
}

TEST(TerminalLog, NullHostLogWritesNothingAndTheCurrentLogTakesTheReport) {
  RTPInterface* quiet = GetRTPInterface(nullptr);
  ASSERT_NE(quiet, nullptr);
  delete quiet;  // writes nothing anywhere

  RecordingHostLog first, second;
  RTPInterface* term = GetRTPInterface(&first);
  HostLogWriter::SetCurrent(&second);  // as a later GetRTPInterface call would
  delete term;
  EXPECT_TRUE(first.Calls().empty());
  EXPECT_TRUE(second.Contains("*** estadisticas RTP ***"));
  HostLogWriter::SetCurrent(nullptr);
}

// Records the source's start and stop notifications.
class StopNotice final : public FileSourceListener {
 public:
  void FilePlayStarted(WaveFileSource*, const char*) override { started = true; }
  void FilePlayStopped(WaveFileSource*, const char*) override { stopped = true; }
  std::atomic<bool> started{false}, stopped{false};
};

class DropSink final : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList&) override { return 0; }
};

TEST(FilePlay, RefusedStartsLeaveNothingRunning) {
  // A source with no file reports started, refuses its thread, and that thread reports stopped
  // on its way out before StartSourceThread returns, so the sweep (under the terminal lock like
  // every start) may delete the play at once. ASan/TSan catch a thread still inside the source.
  for (int round = 0; round < 30; ++round) {
    StopNotice notice;
    auto source = std::make_unique<WaveFileSource>();
    source->AddListener(&notice);
    EXPECT_EQ(source->StartSourceThread(), -30);
    EXPECT_TRUE(notice.started);
    EXPECT_TRUE(notice.stopped);
  }
  // A thread that cannot be created leaves the play stopped, and a later start works.
  TempDir dir;
  const std::string file = dir.Path() + "/tone.wav";
  WriteWav16(file, SpeechLike(0.2));
  RTPInterface* term = GetRTPInterface(nullptr);
  {
    DropSink sink;
    tarsio::FilePlay play(&sink, 20, true);
    ASSERT_EQ(play.LoadFile(file.c_str()), 0);
    play.SetDestinationFormat(MakeAudioFormat(5));
    Thread::FailNextCreates(1);
    EXPECT_EQ(play.Start(), -70);
    EXPECT_EQ(play.GetState(), tarsio::FilePlay::STATE_STOPPED);
    EXPECT_FALSE(play.IsRunning());
    EXPECT_EQ(play.LoadFile(file.c_str()), 0);
    EXPECT_EQ(play.Start(), 0);
    EXPECT_TRUE(play.IsRunning());
    EXPECT_EQ(play.StopImmediately(), 0);
    EXPECT_FALSE(play.IsRunning());
  }
  delete term;
}

// Several host threads drive one terminal at once (both directions' starts and stops, codec
// changes, destinations, file plays, volumes and the ratio query), then destroy it. No call may
// take longer than 5 s (a deadlock or a hung stop). Runs TARSIO_STRESS_SECONDS (default 5) s.
TEST_F(TerminalCall, ConcurrentHostThreadsNeitherDeadlockNorLeak) {
  const char* env = std::getenv("TARSIO_STRESS_SECONDS");
  const int seconds = env != nullptr ? std::atoi(env) : 5;
  const std::string tone = dir.Path() + "/tone.wav";
  WriteWav16(tone, SpeechLike(0.3, 99));
  Files(SpeechLike(2.0));
  const int threadsBefore = ThreadsAfterWarmUp();
  Open(4, 0);

  using Clock = std::chrono::steady_clock;
  constexpr int kWorkers = 5;
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0};
  std::atomic<Clock::rep> since[kWorkers];  // when the worker's current call began, 0: none
  std::atomic<const char*> doing[kWorkers];
  auto call = [&](int worker, const char* what, auto&& fn) {
    doing[worker] = what;
    since[worker] = Clock::now().time_since_epoch().count();
    fn();
    since[worker] = 0;
    ++calls;
  };
  const std::function<void(int, std::mt19937&)> jobs[kWorkers] = {
      [&](int w, std::mt19937& rng) {
        call(w, "StartTX", [&] { term->StartTX(-1); });
        RunFor(static_cast<int>(rng() % 80));
        call(w, "SetTransmitCodec",
             [&] { term->SetTransmitCodec(rng() % 2 ? 2 : 4, 20, 0, 0, 0, 0); });
        call(w, "StopTX", [&] { term->StopTX(); });
      },
      [&](int w, std::mt19937& rng) {
        call(w, "StartRX", [&] { term->StartRX(-1, 60); });
        RunFor(static_cast<int>(rng() % 80));
        call(w, "SetReceiveCodec",
             [&] { term->SetReceiveCodec(static_cast<int32_t>(rng() % 3) * 2, 20, 0, 0); });
        call(w, "StopRX", [&] { term->StopRX(); });
      },
      [&](int w, std::mt19937& rng) {
        uint32_t id = 0;
        call(w, "PlayFile",
             [&] { term->PlayFile(tone.c_str(), static_cast<int32_t>(rng() % 2), 70, &id); });
        RunFor(static_cast<int>(rng() % 60));
        call(w, "StopFile", [&] { term->StopFile(id); });
      },
      [&](int w, std::mt19937& rng) {
        call(w, "SetSpeakerVolume", [&] { term->SetSpeakerVolume(-1, rng() % 120); });
        call(w, "SetMicrophoneVolume", [&] { term->SetMicrophoneVolume(-1, 50 + rng() % 50); });
        call(w, "GetReceiveBufferRatio", [&] { (void)term->GetReceiveBufferRatio(); });
        RunFor(5);
      },
      [&](int w, std::mt19937&) {  // same port, so the call goes on
        call(w, "SetDestination", [&] { term->SetDestination("127.0.0.1", port, port, -1); });
        RunFor(150);
      }};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    since[w] = 0;
    workers.emplace_back([&, w] {
      std::mt19937 rng(static_cast<uint32_t>(w + 1));
      while (!stop) jobs[w](w, rng);
    });
  }
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    RunFor(100);
    for (int w = 0; w < kWorkers; ++w) {
      const Clock::rep began = since[w];
      if (began != 0 &&
          Clock::now() - Clock::time_point(Clock::duration(began)) > std::chrono::seconds(5)) {
        // A deadlocked terminal cannot be cleaned up: fail loudly instead of hanging.
        ADD_FAILURE() << "a call took longer than 5 s: " << doing[w].load();
        std::_Exit(1);
      }
    }
  }
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_GT(calls.load(), 100);
  const auto destroyStart = Clock::now();
  delete term;
  term = nullptr;
  EXPECT_LT(Clock::now() - destroyStart, std::chrono::seconds(5));
  ExpectThreadsEnded(threadsBefore);
}

}  // namespace
}  // namespace tarsio::testing
