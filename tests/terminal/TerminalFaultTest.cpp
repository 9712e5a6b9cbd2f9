// The terminal when things go wrong around it: two terminals in one process created and destroyed
// in either order, a host that holds its log lock around every call while several threads drive
// the terminal, and sound devices that stop answering in the middle of a call. Every call must
// return (a watchdog fails the test instead of hanging), and ASan/TSan runs find no touch of
// freed memory.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <future>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "framework/AudioSampleManager.h"
#include "framework/AudioSource.h"
#include "platform/AudioBackendSelector.h"
#include "platform/WaveAudioDevice.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/WavTestFiles.h"
#include "support/WedgedAudioBackend.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"
#include "terminal/EndOfFileRegistry.h"

namespace tarsio::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void RunFor(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

bool Eventually(const std::function<bool()>& pred, std::chrono::seconds cap = 20s) {
  for (const auto end = Clock::now() + cap; Clock::now() < end && !pred();) RunFor(5ms);
  return pred();
}

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

/// A 400 Hz tone at 8 kHz, loud enough never to count as silence.
std::vector<int16_t> Tone(double seconds) {
  std::vector<int16_t> out(static_cast<size_t>(seconds * 8000));
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<int16_t>(
        8000.0 * std::sin(2 * std::numbers::pi * 400 * static_cast<double>(i) / 8000));
  }
  return out;
}

std::string Wav(const TempDir& dir, const char* name, const std::vector<int16_t>& samples) {
  return dir.Write(name, BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(samples)));
}

/// Runs f on a thread of its own and waits at most limit for it; a call that does not return
/// fails the test and ends the process (a hung terminal cannot be cleaned up).
template <typename F>
std::chrono::milliseconds Returns(const char* what, std::chrono::seconds limit, F f) {
  const auto began = Clock::now();
  auto done = std::async(std::launch::async, f);
  if (done.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within " << limit.count() << " s";
    std::_Exit(1);
  }
  done.get();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
}

/// A terminal set up to call itself on a free port.
RTPInterface* OpenTerminal(HostLog* log, int* port = nullptr) {
  RTPInterface* term = GetRTPInterface(log);
  const int p = FreeUdpPort();
  EXPECT_EQ(term->SetDestination("127.0.0.1", p, p, -1), 0);
  EXPECT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
  EXPECT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
  if (port != nullptr) *port = p;
  return term;
}

class TerminalFault : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    AudioBackendSelector::Install(
        AudioBackendSelector::Create("file:capture=" + Wav(dir, "in.wav", Tone(3.0)), &error));
  }
  void TearDown() override {
    AudioBackendSelector::Install(nullptr);
    HostLogWriter::SetCurrent(nullptr);
  }
  TempDir dir;
  // Outlives TearDown, which takes it out of use: the log writer and abandoned device threads may
  // still write deferred entries until then.
  RecordingHostLog log;
};

TEST_F(TerminalFault, TwoTerminalsLiveAndDieInEitherOrder) {
  const std::string tone = Wav(dir, "short.wav", Tone(0.1));
  for (const bool olderFirst : {true, false}) {
    SCOPED_TRACE(olderFirst ? "older destroyed first" : "newer destroyed first");
    RTPInterface* older = OpenTerminal(nullptr);
    RTPInterface* newer = OpenTerminal(nullptr);
    EXPECT_EQ(COrbeMediaTerm::LiveCount(), 2);
    for (RTPInterface* term : {older, newer}) {
      ASSERT_EQ(term->StartRX(-1, 60), 0);
      ASSERT_EQ(term->StartTX(-1), 0);
    }
    RunFor(300ms);
    RTPInterface* first = olderFirst ? older : newer;
    RTPInterface* second = olderFirst ? newer : older;
    Returns("the first terminal's destruction", 60s, [&] { delete first; });

    // The survivor keeps the shared sample pool and the end-of-file notifications (a play's stop
    // and the registry's notification thread both reach it), and its call goes on.
    EXPECT_EQ(COrbeMediaTerm::LiveCount(), 1);
    EXPECT_TRUE(AudioSampleManager::Exists());
    auto* survivor = static_cast<COrbeMediaTerm*>(second);
    uint32_t id = 0;
    ASSERT_EQ(second->PlayFile(tone.c_str(), 1, 100, &id), 0);
    uint32_t ends = survivor->EndOfFileCount();
    second->StopFile(id);
    EXPECT_EQ(survivor->EndOfFileCount(), ends + 1);
    ends = survivor->EndOfFileCount();
    ASSERT_TRUE(EndOfFileRegistry::Notify(id, false));
    EXPECT_TRUE(Eventually([&] { return survivor->EndOfFileCount() > ends; }));
    EXPECT_EQ(second->StopRX(), 0);
    EXPECT_EQ(second->StopTX(), 0);
    ASSERT_EQ(second->StartRX(-1, 60), 0);
    ASSERT_EQ(second->StartTX(-1), 0);
    RunFor(200ms);
    Returns("the second terminal's destruction", 60s, [&] { delete second; });
    EXPECT_EQ(COrbeMediaTerm::LiveCount(), 0);
    EXPECT_FALSE(AudioSampleManager::Exists());
    EXPECT_EQ(COrbeMediaTerm::AbandonedChainCount(), 0);
  }
}

/// A host that holds its log's lock around every call it makes into the terminal, as a host that
/// serialises its own work on that lock would.
class LockingHost {
 public:
  explicit LockingHost(RecordingHostLog& log) : log_(log) {}
  template <typename F>
  void Call(F f) {
    log_.Lock();
    f();
    log_.Unlock();
  }

 private:
  RecordingHostLog& log_;
};

TEST_F(TerminalFault, HostHoldingItsLogLockAroundEveryCallNeverDeadlocks) {
  LockingHost host(log);
  const std::string tone = Wav(dir, "tone.wav", Tone(0.3));
  int port = 0;
  RTPInterface* term = OpenTerminal(&log, &port);
  auto* terminal = static_cast<COrbeMediaTerm*>(term);
  // A media thread that wants to log waits for the host's lock, so a stop made under that lock
  // waits for it in vain until the stop's bound: short bounds keep the test fast, and each give-up
  // leaves a chain to a thread that ends once the lock is free.
  terminal->SetThreadStopWaitMs(200);

  // Eight host threads, every call made with the log lock held: host-log writes made inside the
  // terminal meet a lock held by another host thread that may be waiting for the terminal.
  const auto job = [&](int w, std::mt19937& rng) {
    switch (w) {
      case 0:
        host.Call([&] { term->StartTX(-1); });
        RunFor(std::chrono::milliseconds(rng() % 60));
        host.Call([&] { term->StopTX(); });
        break;
      case 1:
        host.Call([&] { term->StartRX(-1, 60); });
        RunFor(std::chrono::milliseconds(rng() % 60));
        host.Call([&] { term->StopRX(); });
        break;
      case 2: {
        uint32_t id = 0;
        host.Call([&] { term->PlayFile(tone.c_str(), static_cast<int32_t>(rng() % 2), 70, &id); });
        RunFor(std::chrono::milliseconds(rng() % 40));
        host.Call([&] { term->StopFile(id); });
        break;
      }
      case 3:
        host.Call([&] { term->SetSpeakerVolume(-1, rng() % 101); });
        host.Call([&] { term->SetMicrophoneVolume(-1, rng() % 101); });
        break;
      case 4:
        host.Call([&] { term->SetDestination("127.0.0.1", port, port, -1); });
        break;
      case 5:
        host.Call([&] {
          (void)terminal->GetReceiveReport();
          (void)term->GetReceiveBufferRatio();
          (void)terminal->ReceivedPacketCount();
        });
        break;
      case 6:  // a frame of 0 ms is logged from inside the codec operation
        host.Call([&] { term->SetTransmitCodec(rng() % 2 ? 2 : 4, 0, 0, 0, 0, 0); });
        break;
      default:  // a receive-codec change restarts the receive direction
        host.Call([&] { term->SetReceiveCodec(rng() % 2 ? 2 : 4, rng() % 2 ? 0 : 20, 0, 0); });
        host.Call([&] { term->StartTX(-1); });
        break;
    }
    RunFor(std::chrono::milliseconds(1 + rng() % 10));
  };
  constexpr int kWorkers = 8;
  std::atomic<bool> stop{false};
  std::atomic<int> progress{0};  // rounds done
  std::atomic<int> finished{0};  // workers gone
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 rng(static_cast<uint32_t>(w + 7));
      for (; !stop; ++progress) job(w, rng);
      ++finished;
    });
  }
  // A stop made under the host's lock may wait out its bounds (a media thread that wants to log
  // waits for that lock), so single calls can be slow; a deadlock is no call returning at all.
  const auto watch = [&](const std::function<bool()>& done) {
    int seen = progress.load() + finished.load();
    for (auto last = Clock::now(); !done(); RunFor(50ms)) {
      if (const int now = progress.load() + finished.load(); now != seen) {
        seen = now;
        last = Clock::now();
      } else if (Clock::now() - last > 60s) {
        ADD_FAILURE() << "no host call returned for 60 s: deadlock";
        std::_Exit(1);
      }
    }
  };
  const auto hammerEnd = Clock::now() + 2s;
  watch([&] { return Clock::now() >= hammerEnd; });
  stop = true;
  watch([&] { return finished.load() == kWorkers; });
  for (auto& worker : workers) worker.join();
  Returns("the destruction", 60s, [&] { host.Call([&] { delete term; }); });
  EXPECT_TRUE(log.Contains("COrbeMediaTerm::SetTransmitCodec: frame time 0, using=20"));
  EXPECT_TRUE(log.Contains("*** estadisticas RTP ***"));
  EXPECT_TRUE(Eventually([] { return COrbeMediaTerm::AbandonedChainCount() == 0; }));
}

TEST_F(TerminalFault, StopsAndDestructionReturnWhenASoundDeviceStopsAnswering) {
  // A capture device, then a playback device, stops answering: its device thread never returns
  // from a read or write. The stop of that direction gives up on the device within the device
  // layer's bounds, leaves the stuck thread to itself (counted as abandoned; it owns what it still
  // uses) and completes, so the terminal frees its filters; the destruction does not wait for the
  // device either. When the device answers again, the abandoned thread closes it and ends.
  for (const AudioDirection wedged : {AudioDirection::kCapture, AudioDirection::kPlayback}) {
    SCOPED_TRACE(wedged == AudioDirection::kCapture ? "capture" : "playback");
    auto backend = std::make_shared<WedgedAudioBackend>();
    AudioBackendSelector::Install(backend);
    RTPInterface* term = OpenTerminal(nullptr);
    auto* terminal = static_cast<COrbeMediaTerm*>(term);
    terminal->SetThreadStopWaitMs(2000);
    ASSERT_EQ(term->StartRX(-1, 60), 0);
    ASSERT_EQ(term->StartTX(-1), 0);
    RunFor(200ms);
    const uint64_t abandonedBefore = WaveAudioDevice::AbandonedThreadCount();
    backend->Wedge(wedged);
    ASSERT_TRUE(backend->WaitWedged(5000));
    // A file play started and stopped while the device does not answer.
    const std::string tone = Wav(dir, "tone.wav", Tone(0.5));
    uint32_t playId = 0;
    const auto played = Returns("PlayFile and StopFile", 60s, [&] {
      EXPECT_EQ(term->PlayFile(tone.c_str(), 0, 70, &playId), 0);
      RunFor(100ms);
      EXPECT_FALSE(term->StopFile(playId));
    });
    EXPECT_LE(played, 5s);

    // The sound filters' own bounds: a few seconds (see WaveAudioSink/WaveAudioSource).
    const auto took = Returns("the stop", 60s, [&] {
      EXPECT_EQ(wedged == AudioDirection::kCapture ? term->StopTX() : term->StopRX(), 0);
    });
    EXPECT_LE(took, 20s);
    EXPECT_EQ(WaveAudioDevice::AbandonedThreadCount(), abandonedBefore + 1);
    EXPECT_GE(WaveAudioDevice::AbandonedThreadsRunning(), 1u);

    const auto destroyed = Returns("the destruction", 60s, [&] { delete term; });
    EXPECT_LT(destroyed, 20s);
    EXPECT_EQ(COrbeMediaTerm::LiveCount(), 0);
    // The filters were freed: no chain waits for a thread, and the sample pool is gone.
    EXPECT_TRUE(Eventually([] { return COrbeMediaTerm::AbandonedChainCount() == 0; }));
    EXPECT_TRUE(Eventually([] { return !AudioSampleManager::Exists(); }, 10s));

    backend->Release();
    EXPECT_TRUE(Eventually([] { return WaveAudioDevice::AbandonedThreadsRunning() == 0; }, 30s));
    AudioBackendSelector::Install(nullptr);
  }
}

}  // namespace
}  // namespace tarsio::testing
