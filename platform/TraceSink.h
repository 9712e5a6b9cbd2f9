// Where trace statements go.
//
// Off by default: statements are dropped after one test of an atomic flag. With the environment
// variable TARSIO_TRACE set to a file path (appended to) or to "stderr", every enabled statement is
// written as one line: wall-clock time with milliseconds, the thread id, the component's instance
// name and the text. Tests can install a recording callback instead.
//
// Threading: Write may be called from any thread; lines are written whole under an internal mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace tarsio {

class TraceSink {
 public:
  using Recorder =
      std::function<void(const char* instanceName, uint32_t levelBit, const std::string& text)>;

  static bool Enabled() { return enabled_.load(std::memory_order_relaxed); }

  /// Reads TARSIO_TRACE once (called on first use of the engine; cheap to call again).
  static void ConfigureFromEnvironment();
  /// Sends statements to a file path or "stderr"; an empty target turns the sink off.
  static bool Open(const std::string& target);
  /// Sends statements to a callback (tests), with the raw text. Null removes the callback; the
  /// sink then stays on only while a file target is open.
  static void SetRecorder(Recorder recorder);
  static void Close();

  /// Writes one formatted statement.
  static void Write(const char* instanceName, uint32_t levelBit, const char* text);

 private:
  static std::atomic<bool> enabled_;
};

}  // namespace tarsio
