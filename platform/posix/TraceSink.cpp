// The trace sink's system side on Linux: the local time from the system clock and the kernel's
// thread id. Standard error is always there to write to (a closed one only loses the lines).
#include "platform/TraceSink.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tarsio {

TraceSink::LocalTime TraceSink::LocalTimeOfDay() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  LocalTime time;
  time.hour = local.tm_hour;
  time.minute = local.tm_min;
  time.second = local.tm_sec;
  time.millisecond = static_cast<int>(ms);
  return time;
}

uint32_t TraceSink::SystemThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

bool TraceSink::HasStandardError() { return true; }

// Linux has no debugger channel of its own; unused, since standard error is always taken.
void TraceSink::WriteToDebugger(const std::string& line) { std::fputs(line.c_str(), stderr); }

// Linux has no debugger channel every program writes to: tracing is off until asked for.
std::string TraceSink::DefaultTarget() { return {}; }

}  // namespace tarsio
