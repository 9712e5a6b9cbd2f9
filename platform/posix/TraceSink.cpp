#include "platform/TraceSink.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/Thread.h"

namespace tarsio {

std::atomic<bool> TraceSink::enabled_{false};

namespace {

struct SinkState {
  std::mutex mutex;
  FILE* file = nullptr;
  bool ownsFile = false;
  TraceSink::Recorder recorder;
};

SinkState& State() {
  static SinkState* state = new SinkState;  // never destroyed: threads may trace during exit
  return *state;
}

void CloseFileLocked(SinkState& state) {
  if (state.file != nullptr && state.ownsFile) std::fclose(state.file);
  state.file = nullptr;
  state.ownsFile = false;
}

void UpdateEnabledLocked(SinkState& state, std::atomic<bool>& enabled) {
  enabled.store(state.file != nullptr || static_cast<bool>(state.recorder));
}

// Picks up TARSIO_TRACE when the engine is loaded.
[[maybe_unused]] const bool configuredAtStart = [] {
  TraceSink::ConfigureFromEnvironment();
  return true;
}();

}  // namespace

void TraceSink::ConfigureFromEnvironment() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* target = std::getenv("TARSIO_TRACE");
    if (target != nullptr && target[0] != '\0') Open(target);
  });
}

bool TraceSink::Open(const std::string& target) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CloseFileLocked(state);
  if (target == "stderr") {
    state.file = stderr;
  } else if (!target.empty()) {
    state.file = std::fopen(target.c_str(), "a");
    state.ownsFile = state.file != nullptr;
  }
  UpdateEnabledLocked(state, enabled_);
  return target.empty() || state.file != nullptr;
}

void TraceSink::SetRecorder(Recorder recorder) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.recorder = std::move(recorder);
  UpdateEnabledLocked(state, enabled_);
}

void TraceSink::Close() {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CloseFileLocked(state);
  state.recorder = nullptr;
  enabled_.store(false);
}

void TraceSink::Write(const char* instanceName, uint32_t levelBit, const char* text) {
  if (!Enabled()) return;
  if (instanceName == nullptr) instanceName = "";
  if (text == nullptr) text = "";
  SinkState& state = State();

  Recorder recorder;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    recorder = state.recorder;
    if (state.file != nullptr) {
      const auto now = std::chrono::system_clock::now();
      const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
          1000;
      std::tm local{};
      ::localtime_r(&seconds, &local);
      uint32_t tid = CurrentThreadId();
      if (tid == 0) tid = static_cast<uint32_t>(::syscall(SYS_gettid));
      size_t length = std::strlen(text);
      if (length > 0 && text[length - 1] == '\n') --length;  // the line gets exactly one newline
      std::fprintf(state.file, "%02d:%02d:%02d.%03d [%u] %s %.*s\n", local.tm_hour, local.tm_min,
                   local.tm_sec, static_cast<int>(ms), tid, instanceName, static_cast<int>(length),
                   text);
      std::fflush(state.file);
    }
  }
  // Outside the lock, so a recorder may itself trace or take its own locks.
  if (recorder) recorder(instanceName, levelBit, std::string(text));
}

}  // namespace tarsio
