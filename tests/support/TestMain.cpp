// The main of every test executable.
//
// - Points the settings store at a fresh temporary file for the whole run, so no test reads or
//   writes the user's real settings.
// - After every test, checks that every pooled audio sample came back to the pool, then destroys
//   the pool so that the next test starts with a fresh one.
// - With TARSIO_TEST_CHILD set, runs that child body (support/ChildProcess.h) instead of tests.
// - Before the process ends, waits (bounded) for every engine thread to end and joins it, as a
//   host does when its last terminal goes: nothing joins at exit, and ThreadSanitizer reports an
//   ended thread nobody joined as a leak. A thread a timed-out stop left behind still holds its
//   own handle (its filter dies on it) until its last moment, so waiting only for threads whose
//   handles are closed could miss it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "framework/AudioSampleManager.h"
#include "platform/Thread.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/WavTestFiles.h"

namespace {

constexpr uint32_t kReapWaitMs = 10000;

class SampleLeakCheck : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (!tarsio::AudioSampleManager::Exists()) return;
    const int32_t inUse = tarsio::AudioSampleManager::Instance()->InUseCount();
    if (inUse != 0 && !info.result()->Skipped()) {
      ADD_FAILURE() << info.test_suite_name() << "." << info.name() << " left " << inUse
                    << " audio sample(s) out of the pool";
    }
    tarsio::AudioSampleManager::DestroyInstance();
  }
};

void JoinEngineThreads() {
  // Every engine thread of a finished test ends soon; one still running after the wait is left to
  // the exit (and to ThreadSanitizer's report).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReapWaitMs);
  while (tarsio::Thread::LiveCount() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  tarsio::Thread::ReapFinished(kReapWaitMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* child = std::getenv("TARSIO_TEST_CHILD")) {
    const int code = tarsio::testing::RunChildBody(child);
    JoinEngineThreads();
    return code;
  }
  ::testing::InitGoogleTest(&argc, argv);
  if (std::getenv("TARSIO_REGISTRY") == nullptr) {
    const std::string dir = tarsio::testing::MakeTempDirectory("tarsio-test-");
    if (!dir.empty()) {
      const std::string path = dir + "/registry.reg";
      tarsio::testing::ScopedEnv::Set("TARSIO_REGISTRY", path.c_str());
    }
  }
  tarsio::testing::ScopedEnv::Set("TARSIO_NO_REALTIME", "1", false);
  ::testing::UnitTest::GetInstance()->listeners().Append(new SampleLeakCheck);
  const int result = RUN_ALL_TESTS();
  JoinEngineThreads();
  return result;
}
