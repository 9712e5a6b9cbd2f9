// The trace sink's system side on Windows: the local time and thread id from the system, and the
// debugger channel (OutputDebugStringA) for a process without a standard error handle (a GUI
// host), where the "stderr" target would otherwise write nowhere.
#include "platform/TraceSink.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>

namespace tarsio {

TraceSink::LocalTime TraceSink::LocalTimeOfDay() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  LocalTime time;
  time.hour = local.wHour;
  time.minute = local.wMinute;
  time.second = local.wSecond;
  time.millisecond = local.wMilliseconds;
  return time;
}

uint32_t TraceSink::SystemThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

bool TraceSink::HasStandardError() {
  const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

void TraceSink::WriteToDebugger(const std::string& line) { ::OutputDebugStringA(line.c_str()); }

// Windows components trace to the debugger channel; a debugger or a debug-output viewer shows it,
// and without one the lines cost a system call each.
std::string TraceSink::DefaultTarget() { return "debugger"; }

}  // namespace tarsio
