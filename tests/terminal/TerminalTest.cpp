// The terminal through its public interface, as a host uses it: calls over real loopback UDP (the
// terminal sends to its own port) with the file sound backend, so that what the loudspeaker
// records must be what the microphone played, delayed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
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
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
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
    const double envelope = 0.35 + 0.65 * std::max(0.0, std::sin(2 * std::numbers::pi * 3.0 * t));
    out[i] = static_cast<int16_t>(std::lround(
        envelope * (12000.0 * low + 4000.0 * std::sin(2 * std::numbers::pi * 310 * t))));
  }
  return out;
}

std::string Wav(const TempDir& dir, const char* name, const std::vector<int16_t>& samples) {
  return dir.Write(name, BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(samples)));
}

std::vector<int16_t> ReadWav16(const std::string& path) {
  WavFile wav;
  std::string error;
  if (!wav.OpenRead(path, &error)) return {};
  std::vector<int16_t> out(wav.DataSize() / 2);
  out.resize(wav.Read(reinterpret_cast<uint8_t*>(out.data()), wav.DataSize() & ~1u) / 2);
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
  for (int lag = 0; lag <= maxLag && lag + 8000u <= output.size(); ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = 4000; i < 8000; i += 2) {
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
  for (const char* name : {"MicrophonePreprocess", "SpeakerPostprocess", "LimitVolume"})
    RegSetString(RegistryRoot::kCurrentUser, kTerminalKey, name, "false");
  RegSetString(RegistryRoot::kCurrentUser, kTerminalKey, "VolumeMaximizeMaxGain", "1.0");
}

int ThreadCount() {
  return static_cast<int>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

/// The thread count once the process-lifetime helpers exist (the settings store's background
/// writer starts with the first write): a terminal is made and destroyed first.
int ThreadsAfterWarmUp() {
  delete new COrbeMediaTerm();
  RegSetDWORD(RegistryRoot::kCurrentUser, kTerminalKey, "WarmUp", 1);
  return ThreadCount();
}

/// A terminal on the file backend: its microphone plays mic (or the capture file when mic is
/// empty), its loudspeaker records out.wav, and it sends to its own port.
class TerminalCall : public ::testing::Test {
 protected:
  void Open(const std::vector<int16_t>& mic, int32_t tx = 4, int32_t rx = 4,
            const std::string& capture = "") {
    std::string error;
    AudioBackendSelector::Install(AudioBackendSelector::Create(
        "file:capture=" + (mic.empty() ? capture : Wav(dir, "in.wav", mic)) + ",playback=" + out,
        &error));
    term = GetRTPInterface(nullptr);
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
  /// Destroys the terminal (in under 5 s) and waits a moment for threads that end by themselves.
  void ExpectThreadsEnded(int before) {
    const auto destroyStart = std::chrono::steady_clock::now();
    delete std::exchange(term, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - destroyStart, std::chrono::seconds(5));
    for (int i = 0; i < 100 && ThreadCount() > before; ++i) RunFor(20);
    EXPECT_LE(ThreadCount(), before) << "threads left behind";
  }
  void TearDown() override {
    delete term;
    AudioBackendSelector::Install(nullptr);
  }

  TempDir dir;
  const std::string out = dir.Path() + "/out.wav";
  RTPInterface* term = nullptr;
  COrbeMediaTerm* terminal = nullptr;
  int port = 0;
};

// name, transmit codec, receive codec (0: the generic decoder, which follows the payload type)
using CodecCase = std::tuple<const char*, int32_t, int32_t>;
class TerminalCodecs : public TerminalCall, public ::testing::WithParamInterface<CodecCase> {};

TEST_P(TerminalCodecs, ReceivedAudioMatchesSentAudioAfterTheDelay) {
  const std::vector<int16_t> signal = SpeechLike(2.5);
  PlainAudioPath();
  Open(signal, std::get<1>(GetParam()), std::get<2>(GetParam()));
  Start();
  RunFor(3000);
  Stop();
  EXPECT_GT(TrafficTotals::sentBytes.load(), 100 * 172);  // about 125 packets of 172 bytes
  EXPECT_GT(TrafficTotals::playedBytes.load(), 16000);
  delete std::exchange(term, nullptr);

  const std::vector<int16_t> heard = ReadWav16(out);
  ASSERT_GT(heard.size(), signal.size());
  // The receiver's first fill waits for a full ring: about 1.4 s of delay, more on a busy machine.
  const auto [lag, correlation] = BestMatch(signal, heard, 16000);
  EXPECT_GT(correlation, 0.9) << "lag " << lag;
  EXPECT_GT(lag, 0);
}

TEST_F(TerminalCall, LowLatencyReceivePlaysTheSentAudioSoonAndReportsItsStages) {
  const std::vector<int16_t> signal = SpeechLike(2.5);
  TempRegistry registry;  // the mode setting stays with this test
  PlainAudioPath();
  RegSetString(RegistryRoot::kCurrentUser, kTerminalKey, "LowLatencyReceive", "true");
  Open(signal);
  Start();
  EXPECT_TRUE(terminal->IsLowLatencyReceive());
  RunFor(3000);
  Stop();
  const COrbeMediaTerm::ReceiveReport report = terminal->GetReceiveReport();
  delete std::exchange(term, nullptr);

  EXPECT_TRUE(report.lowLatency);
  EXPECT_GT(report.packetsReceived, 100u);
  EXPECT_GT(report.framesPlayed, 100u);
  EXPECT_EQ(report.latePackets, 0u);
  EXPECT_EQ(report.reanchors, 0u);
  for (const COrbeMediaTerm::StageDelay& stage :
       {report.network, report.jitterBuffer, report.playbackQueue, report.device}) {
    EXPECT_GE(stage.medianMs, 0);
    EXPECT_GE(stage.p95Ms, stage.medianMs);
  }
  const std::vector<int16_t> heard = ReadWav16(out);
  ASSERT_GT(heard.size(), signal.size());
  // Without the ring's fill the speech comes out within a few frames (generous for slow builds).
  const auto [lag, correlation] = BestMatch(signal, heard, 16000);
  EXPECT_GT(correlation, 0.9) << "lag " << lag;
  EXPECT_GT(lag, 0);
  EXPECT_LT(lag, 8000) << "more than a second late";
}

INSTANTIATE_TEST_SUITE_P(Codecs, TerminalCodecs,
                         ::testing::Values(CodecCase{"ulaw", 4, 4}, CodecCase{"alaw", 2, 2},
                                           CodecCase{"generic_ulaw", 4, 0},
                                           CodecCase{"generic_alaw", 2, 0}),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST_F(TerminalCall, CodecChangesWhileRunningAndStopStartCyclesLeaveNothingBehind) {
  const int threadsBefore = ThreadsAfterWarmUp();
  Open(SpeechLike(3.0));
  // Only G.711 is sent, and only G.711 or the generic decoder received.
  for (int32_t codec : {0, 9}) EXPECT_EQ(term->SetTransmitCodec(codec, 20, 0, 0, 0, 0), -30);
  for (int32_t codec : {9, 7}) EXPECT_EQ(term->SetReceiveCodec(codec, 20, 0, 0), -30);
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
  ExpectThreadsEnded(threadsBefore);
}

TEST_F(TerminalCall, RegistryValuesAreCreatedWithDefaultsAndRead) {
  TempRegistry registry;  // empty: every value the terminal reads is created with its default
  Open({}, 4, 0);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 1, 0, 0), 0);  // VAD wanted
  Start();
  EXPECT_FALSE(terminal->IsLowLatencyReceive());
  const char* key = kTerminalKey;
  // The transmitter records where it sends while it runs, and clears it when it stops.
  EXPECT_EQ(RegGetDWORD(RegistryRoot::kCurrentUser, key, "DestinationPort", 0),
            static_cast<uint32_t>(port));
  EXPECT_EQ(RegGetString(RegistryRoot::kCurrentUser, key, "DestinationAddress", ""), "127.0.0.1");
  Stop();
  delete std::exchange(term, nullptr);
  EXPECT_EQ(RegGetDWORD(RegistryRoot::kCurrentUser, key, "DestinationPort", 7), 0u);
  EXPECT_EQ(RegGetDWORD(RegistryRoot::kCurrentUser, key, "TxFIRFilter", 77), 1u);
  EXPECT_EQ(RegGetDWORD(RegistryRoot::kCurrentUser, key, "TransmitTOS", 77), 184u);
  const std::pair<const char*, const char*> strings[] = {
      {"ForceVADOff", "false"},           {"MicrophonePreprocess", "true"},
      {"LimiterThreshold", "-8.0"},       {"VolumeMaximizePercentile", "95.00"},
      {"UseDynamicJitterBuffer", "true"}, {"LowLatencyReceive", "false"}};
  for (const auto& [name, value] : strings)
    EXPECT_EQ(RegGetString(RegistryRoot::kCurrentUser, key, name, "x"), value) << name;
}

TEST_F(TerminalCall, PlayFileOnceIsHeardAtTheFarEndAndStopFileAndSweepRemoveIt) {
  const std::string once = Wav(dir, "once.wav", SpeechLike(0.6, 1));
  PlainAudioPath();
  Open(std::vector<int16_t>(8000 * 4, 0));  // a silent microphone
  uint32_t id = 777;
  // Without a running transmitter nothing plays and no id is given; nor for a bad file.
  EXPECT_EQ(term->PlayFile(once.c_str(), 1, 100, &id), 0);
  EXPECT_EQ(terminal->FilePlayCount(), 0u);
  Start();
  for (const std::string& bad :
       {dir.Path() + "/missing.wav", dir.Write("junk.wav", Bytes(64, 'x'))})
    EXPECT_EQ(term->PlayFile(bad.c_str(), 1, 100, &id), -10);
  EXPECT_EQ(id, 777u);
  EXPECT_FALSE(term->StopFile(12345));  // unknown id: nothing happens

  // The single play delivers its file but stays until stopped; stopping runs the end-of-file hook.
  ASSERT_EQ(term->PlayFile(once.c_str(), 1, 100, &id), 0);
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
  // Not a whole number of frames: the loop wraps inside a frame.
  const std::string loop = Wav(dir, "loop.wav", SpeechLike(0.13, 2));
  PlainAudioPath();
  Open(std::vector<int16_t>(8000 * 4, 0));
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
  Open({}, 4, 4, dir.Path() + "/missing.wav");
  EXPECT_FALSE(term->TestCaptureDevice());
  delete term;
  Open({});
  EXPECT_TRUE(term->TestCaptureDevice());
  EXPECT_TRUE(term->TestPlaybackDevice());
}

TEST(TerminalLog, StatisticsReportIsTheLastEntryWithTheExactCallSequence) {
  RecordingHostLog log;
  delete GetRTPInterface(&log);
  std::vector<std::string> expected = {"Lock", "Write:*** estadisticas RTP ***", "MarkEntry",
                                       "EndLine"};
  const char* totals[] = {"recvfrom", "sendto",      "WaveOut",  "WaveIn",
                          "WaveIn",   "G729 Decomp", "G729 Comp"};
  for (int i = 0; i < 7; ++i) {
    expected.insert(expected.end(),
                    {std::string("Write:RTP ") + totals[i] + ":", "Write:0", "EndLine"});
    if (i >= 3) expected.push_back("EndLine");  // from the second WaveIn on, an empty line follows
  }
  expected.push_back("Unlock");
  const std::vector<std::string> calls = log.Calls();
  ASSERT_GE(calls.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(calls.end() - expected.size(), calls.end()), expected);
}

TEST(TerminalLog, NullHostLogWritesNothingAndTheCurrentLogTakesTheReport) {
  delete GetRTPInterface(nullptr);  // writes nothing anywhere
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
    EXPECT_TRUE(notice.started && notice.stopped);
  }
  // A thread that cannot be created leaves the play stopped, and a later start works.
  TempDir dir;
  const std::string file = Wav(dir, "tone.wav", SpeechLike(0.2));
  const std::unique_ptr<RTPInterface> term(GetRTPInterface(nullptr));
  DropSink sink;
  tarsio::FilePlay play(&sink, 20, true);
  ASSERT_EQ(play.LoadFile(file.c_str()), 0);
  play.SetDestinationFormat(MakeAudioFormat(5));
  Thread::FailNextCreates(1);
  EXPECT_EQ(play.Start(), -70);
  EXPECT_EQ(play.GetState(), tarsio::FilePlay::STATE_STOPPED);
  EXPECT_EQ(play.LoadFile(file.c_str()), 0);
  EXPECT_EQ(play.Start(), 0);
  EXPECT_TRUE(play.IsRunning());
  EXPECT_EQ(play.StopImmediately(), 0);
  EXPECT_FALSE(play.IsRunning());
}

// Several host threads drive one terminal at once (both directions' starts and stops, codec
// changes, destinations, file plays, volumes and the ratio query), then destroy it. No round may
// take longer than 5 s (a deadlock or a hung stop). Runs TARSIO_STRESS_SECONDS (default 5) s.
TEST_F(TerminalCall, ConcurrentHostThreadsNeitherDeadlockNorLeak) {
  const char* env = std::getenv("TARSIO_STRESS_SECONDS");
  const std::string tone = Wav(dir, "tone.wav", SpeechLike(0.3, 99));
  const int threadsBefore = ThreadsAfterWarmUp();
  Open(SpeechLike(2.0), 4, 0);
  // The host's buffer-change event: SetDestination hands the receiver a new event over it while
  // the receiver may be signalling the old one.
  const int hostEventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ASSERT_GE(hostEventFd, 0);
  using namespace std::chrono;
  const auto nowMs = [] {
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  };
  const auto job = [&](int w, std::mt19937& rng) {
    if (w == 0) {
      term->StartTX(-1);
      RunFor(rng() % 80);
      term->SetTransmitCodec(rng() % 2 ? 2 : 4, 20, 0, 0, 0, 0);
      term->StopTX();
    } else if (w == 1) {
      term->StartRX(-1, 60);
      RunFor(rng() % 80);
      term->SetReceiveCodec(static_cast<int32_t>(rng() % 3) * 2, 20, 0, 0);
      term->StopRX();
    } else if (w == 2) {
      uint32_t id = 0;
      term->PlayFile(tone.c_str(), static_cast<int32_t>(rng() % 2), 70, &id);
      RunFor(rng() % 60);
      term->StopFile(id);
    } else if (w == 3) {
      term->SetSpeakerVolume(-1, rng() % 120);
      term->SetMicrophoneVolume(-1, 50 + rng() % 50);
      (void)term->GetReceiveBufferRatio();
      RunFor(5);
    } else {  // same port, so the call goes on; each call replaces the receiver's host event
      term->SetDestination("127.0.0.1", port, port, rng() % 4 != 0 ? hostEventFd : -1);
      RunFor(static_cast<int>(rng() % 40));
    }
  };
  constexpr int kWorkers = 5;
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::atomic<int64_t> since[kWorkers];  // when the worker's current round began, 0: none
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 rng(static_cast<uint32_t>(w + 1));
      for (; !stop; ++rounds, since[w] = 0) {
        since[w] = nowMs();
        job(w, rng);
      }
    });
  }
  for (const auto end = nowMs() + 1000 * (env != nullptr ? std::atoi(env) : 5); nowMs() < end;) {
    RunFor(100);
    for (int w = 0; w < kWorkers; ++w) {
      if (const int64_t began = since[w]; began != 0 && nowMs() - began > 5000) {
        // A deadlocked terminal cannot be cleaned up: fail loudly instead of hanging.
        ADD_FAILURE() << "a round of job " << w << " took longer than 5 s";
        std::_Exit(1);
      }
    }
  }
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_GT(rounds.load(), 50);
  ExpectThreadsEnded(threadsBefore);
  ::close(hostEventFd);
}

}  // namespace
}  // namespace tarsio::testing
