#include "platform/TraceSink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Thread.h"

namespace tarsio {

std::atomic<bool> TraceSink::enabled_{false};

namespace {

struct SinkState {
  std::mutex mutex;
  FILE* file = nullptr;
  bool ownsFile = false;
  // The "stderr" target in a process without a standard error stream (a GUI host on Windows): the
  // lines go to the debugger channel instead of nowhere.
  bool debugger = false;
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
  state.debugger = false;
}

void UpdateEnabledLocked(SinkState& state, std::atomic<bool>& enabled) {
  enabled.store(state.file != nullptr || state.debugger || static_cast<bool>(state.recorder));
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
    const std::string chosen = target != nullptr && target[0] != '\0' ? target : DefaultTarget();
    if (!chosen.empty()) Open(chosen);
  });
}

bool TraceSink::Open(const std::string& target) {
  SinkState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  CloseFileLocked(state);
  if (target == "debugger") {
    state.debugger = true;
  } else if (target == "stderr") {
    if (HasStandardError()) {
      state.file = stderr;
    } else {
      state.debugger = true;
    }
  } else if (!target.empty() && target != "off") {
    state.file = std::fopen(target.c_str(), "a");
    state.ownsFile = state.file != nullptr;
  }
  UpdateEnabledLocked(state, enabled_);
  return target.empty() || target == "off" || state.file != nullptr || state.debugger;
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

std::string TraceSink::FormatLine(const LocalTime& time, uint32_t threadId,
                                  const char* instanceName, const char* text) {
  size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == '\n') --length;
  char head[48];
  std::snprintf(head, sizeof(head), "%02d:%02d:%02d.%03d [%u] ", time.hour, time.minute,
                time.second, time.millisecond, threadId);
  std::string line(head);
  line.append(instanceName).append(1, ' ').append(text, length).append(1, '\n');
  return line;
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
    if (state.file != nullptr || state.debugger) {
      const LocalTime time = LocalTimeOfDay();
      uint32_t tid = CurrentThreadId();
      if (tid == 0) tid = SystemThreadId();
      const std::string line = FormatLine(time, tid, instanceName, text);
      if (state.file != nullptr) {
        std::fputs(line.c_str(), state.file);
        std::fflush(state.file);
      } else {
        WriteToDebugger(line);
      }
    }
  }
  // Outside the lock, so a recorder may itself trace or take its own locks.
  if (recorder) recorder(instanceName, levelBit, std::string(text));
}

}  // namespace tarsio
