// Several host threads drive one terminal at once: starts and stops of both directions, codec
// changes, destinations, file plays, volumes and the ratio query, then destruction. A watchdog
// fails the test if any single call takes longer than a few seconds (a deadlock or a hung stop).
// Runs for TARSIO_STRESS_SECONDS (default 20) seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "TerminalTestUtil.h"
#include "framework/AudioSampleManager.h"
#include "tarsio/Tarsio.h"

namespace tarsio::testing {
namespace {

using Clock = std::chrono::steady_clock;

/// Records when each worker entered its current call; the watchdog looks for old entries.
class Watchdog {
 public:
  explicit Watchdog(int workers) : started_(workers) {
    for (auto& s : started_) s.store(0);
  }
  void Enter(int worker, const char* what) {
    started_[worker].store(Now());
    std::lock_guard<std::mutex> lock(mutex_);
    what_.resize(started_.size());
    what_[worker] = what;
  }
  void Leave(int worker) { started_[worker].store(0); }
  /// The name of a call running longer than limitMs, or empty.
  std::string Stuck(int64_t limitMs) {
    const int64_t now = Now();
    for (size_t i = 0; i < started_.size(); ++i) {
      const int64_t t = started_[i].load();
      if (t != 0 && now - t > limitMs) {
        std::lock_guard<std::mutex> lock(mutex_);
        return what_[i];
      }
    }
    return {};
  }

 private:
  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  }
  std::vector<std::atomic<int64_t>> started_;
  std::mutex mutex_;
  std::vector<std::string> what_;
};

TEST(TerminalStress, ConcurrentHostThreadsNeitherDeadlockNorLeak) {
  const char* env = std::getenv("TARSIO_STRESS_SECONDS");
  const int seconds = env != nullptr ? std::atoi(env) : 20;
  TempDir dir;
  const std::string in = dir.Path() + "/in.wav";
  const std::string tone = dir.Path() + "/tone.wav";
  WriteWav16(in, SpeechLikeSignal(2.0));
  WriteWav16(tone, SpeechLikeSignal(0.3, 99));
  FileAudio audio(in, dir.Path() + "/out.wav");
  const int threadsBefore = ThreadsAfterWarmUp();

  RTPInterface* term = GetRTPInterface(nullptr);
  const int port = FreeUdpPort();
  ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(0, 20, 0, 0), 0);
  term->SetMicrophoneVolume(-1, 100);

  constexpr int kWorkers = 5;
  Watchdog watchdog(kWorkers);
  std::atomic<bool> stop{false};
  std::atomic<bool> stuck{false};
  std::string stuckCall;
  std::vector<std::thread> workers;
  std::atomic<int> calls{0};

  auto call = [&](int worker, const char* what, auto&& fn) {
    watchdog.Enter(worker, what);
    fn();
    watchdog.Leave(worker);
    calls.fetch_add(1);
  };
  // Worker 0: the transmit direction.
  workers.emplace_back([&] {
    std::mt19937 rng(1);
    while (!stop) {
      call(0, "StartTX", [&] { term->StartTX(-1); });
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 80));
      call(0, "SetTransmitCodec",
           [&] { term->SetTransmitCodec(rng() % 2 ? 2 : 4, 20, 0, 0, 0, 0); });
      call(0, "StopTX", [&] { term->StopTX(); });
    }
  });
  // Worker 1: the receive direction.
  workers.emplace_back([&] {
    std::mt19937 rng(2);
    while (!stop) {
      call(1, "StartRX", [&] { term->StartRX(-1, 60); });
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 80));
      call(1, "SetReceiveCodec",
           [&] { term->SetReceiveCodec(static_cast<int32_t>(rng() % 3) * 2, 20, 0, 0); });
      call(1, "StopRX", [&] { term->StopRX(); });
    }
  });
  // Worker 2: file plays.
  workers.emplace_back([&] {
    std::mt19937 rng(3);
    while (!stop) {
      uint32_t id = 0;
      call(2, "PlayFile",
           [&] { term->PlayFile(tone.c_str(), static_cast<int32_t>(rng() % 2), 70, &id); });
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 60));
      call(2, "StopFile", [&] { term->StopFile(id); });
    }
  });
  // Worker 3: volumes and the ratio query.
  workers.emplace_back([&] {
    std::mt19937 rng(4);
    while (!stop) {
      call(3, "SetSpeakerVolume", [&] { term->SetSpeakerVolume(-1, rng() % 120); });
      call(3, "SetMicrophoneVolume", [&] { term->SetMicrophoneVolume(-1, 50 + rng() % 50); });
      call(3, "GetReceiveBufferRatio", [&] { (void)term->GetReceiveBufferRatio(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // Worker 4: destination changes (same port, so the call goes on).
  workers.emplace_back([&] {
    while (!stop) {
      call(4, "SetDestination", [&] { term->SetDestination("127.0.0.1", port, port, -1); });
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  });

  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end && !stuck) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string s = watchdog.Stuck(5000);
    if (!s.empty()) {
      stuckCall = s;
      stuck = true;
    }
  }
  stop = true;
  if (stuck) {
    // A deadlocked terminal cannot be cleaned up; fail loudly instead of hanging.
    ADD_FAILURE() << "a call took longer than 5 s: " << stuckCall;
    std::_Exit(1);
  }
  for (auto& w : workers) w.join();
  EXPECT_GT(calls.load(), 100);

  const auto destroyStart = Clock::now();
  delete term;
  EXPECT_LT(Clock::now() - destroyStart, std::chrono::seconds(5));
  for (int i = 0; i < 100 && ThreadCount() > threadsBefore; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(ThreadCount(), threadsBefore) << "threads left behind";
}

}  // namespace
}  // namespace tarsio::testing
