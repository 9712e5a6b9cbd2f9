// A host log that records every call, for assertions on the engine's log entries.
//
// Entries() gives the completed entries as the host would print them: the Write texts of each
// line joined, one string per EndLine. Calls() gives the raw call sequence ("Lock", "Write:text",
// "MarkEntry", "EndLine", "Unlock"). Install it with ScopedHostLog.
//
// Threading: every member may be called from any thread (one internal mutex).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "framework/HostLogWriter.h"
#include "tarsio/HostLog.h"

namespace tarsio::testing {

class RecordingHostLog final : public HostLog {
 public:
  int32_t Lock() override;
  int32_t Unlock() override;
  int32_t MarkEntry() override;
  int32_t EndLine() override;
  int32_t Write(const char* text) override;

  std::vector<std::string> Entries();
  std::vector<std::string> Calls();
  bool Contains(const std::string& line);
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<std::string> lines_;
  std::string pending_;
};

/// Makes a host log current for the life of the object, restoring the previous one after.
class ScopedHostLog {
 public:
  explicit ScopedHostLog(HostLog* log) : previous_(HostLogWriter::Current()) {
    HostLogWriter::SetCurrent(log);
  }
  ~ScopedHostLog() { HostLogWriter::SetCurrent(previous_); }

 private:
  HostLog* previous_;
};

}  // namespace tarsio::testing
