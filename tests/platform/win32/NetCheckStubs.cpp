// TEMPORARY stand-in for the Windows check program of the network and settings back ends
// (NetBackendsCheck.cpp): the trace sink's Windows version is not written yet, and the Linux one
// does not build for Windows. This keeps only the recording callback, so the check can read the
// trace lines the socket writes. Remove it once platform/win32 has its own TraceSink.cpp.
#include <mutex>

#include "platform/TraceSink.h"

namespace tarsio {

std::atomic<bool> TraceSink::enabled_{false};

namespace {

std::mutex& RecorderMutex() {
  static std::mutex mutex;
  return mutex;
}

TraceSink::Recorder& TheRecorder() {
  static TraceSink::Recorder recorder;
  return recorder;
}

}  // namespace

void TraceSink::ConfigureFromEnvironment() {}

bool TraceSink::Open(const std::string& target) { return target.empty(); }

void TraceSink::SetRecorder(Recorder recorder) {
  std::lock_guard lock(RecorderMutex());
  TheRecorder() = std::move(recorder);
  enabled_.store(static_cast<bool>(TheRecorder()));
}

void TraceSink::Close() { SetRecorder(nullptr); }

void TraceSink::Write(const char* instanceName, uint32_t levelBit, const char* text) {
  std::lock_guard lock(RecorderMutex());
  if (TheRecorder()) TheRecorder()(instanceName, levelBit, text);
}

}  // namespace tarsio
