// Where trace statements go.
//
// Off by default on Linux: statements are dropped after one test of an atomic flag. On Windows the
// default is the debugger channel (OutputDebugStringA), where Windows components trace and where a
// debugger or a debug-output viewer shows them. The environment variable TARSIO_TRACE chooses: a
// file path (appended to), "stderr", "debugger" or "off". Every enabled statement is written as
// one line: wall-clock time with milliseconds, the thread id, the component's instance name and
// the text. Which statements are enabled is each component's trace level (the settings under
// "Software\Almagre\Vela\Tracing"). Tests can install a recording callback instead.
//
// The sink itself (targets, the recorder, the line format) is the same on every system, in
// platform/TraceSink.cpp; platform/posix and platform/win32 supply the time of day, the system's
// thread id and, on Windows, the debugger channel that stands in for a missing standard error.
//
// Threading: Write may be called from any thread; lines are written whole under an internal mutex.
// The system's side is called with that mutex held and takes no lock of its own.
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
  /// Sends statements to a file path, "stderr" or "debugger"; an empty target or "off" turns the
  /// sink off.
  static bool Open(const std::string& target);
  /// Sends statements to a callback (tests), with the raw text. Null removes the callback; the
  /// sink then stays on only while a file target is open.
  static void SetRecorder(Recorder recorder);
  static void Close();

  /// Writes one formatted statement.
  static void Write(const char* instanceName, uint32_t levelBit, const char* text);

 private:
  /// A wall-clock time of day in the local time zone.
  struct LocalTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
  };

  /// One trace line: the time, the thread id, the instance name and the text, which ends in
  /// exactly one newline.
  static std::string FormatLine(const LocalTime& time, uint32_t threadId, const char* instanceName,
                                const char* text);

  // The system's side.
  /// The local time of day now.
  static LocalTime LocalTimeOfDay();
  /// The system's id of the calling thread (for threads Thread did not make).
  static uint32_t SystemThreadId();
  /// Whether the "stderr" target can write to the standard error stream; without it the lines go
  /// to WriteToDebugger.
  static bool HasStandardError();
  /// Hands one line to the system's debugger channel.
  static void WriteToDebugger(const std::string& line);
  /// The target without TARSIO_TRACE: "debugger" on Windows, "" (off) elsewhere.
  static std::string DefaultTarget();

  static std::atomic<bool> enabled_;
};

}  // namespace tarsio
