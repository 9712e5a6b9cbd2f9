// A host log that records every call, for assertions on the engine's log entries.
//
// Entries() gives the completed entries as the host would print them: the Write texts of each
// line joined, one string per EndLine. Calls() gives the raw call sequence ("Lock", "Write:text",
// "MarkEntry", "EndLine", "Unlock"). Install it with ScopedHostLog.
//
// Threading: every member may be called from any thread. Like a real host, Lock/Unlock hold an
// entry lock (re-entrant for its owner) so that entries written by several threads at once come
// out whole instead of interleaved; an Unlock from a thread that does not hold it (the current
// log was swapped in the middle of an entry) is ignored. A second mutex guards the records.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/HostLogWriter.h"
#include "tarsio/HostLog.h"

namespace tarsio::testing {

class RecordingHostLog final : public HostLog {
 public:
  RecordingHostLog() = default;
  /// Releases an entry the destroying thread left open (a log cleared in mid-entry never gets
  /// its Unlock).
  ~RecordingHostLog();
  RecordingHostLog(const RecordingHostLog&) = delete;
  RecordingHostLog& operator=(const RecordingHostLog&) = delete;

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
  std::recursive_mutex entryMutex_;
  std::atomic<std::thread::id> entryOwner_{};
  int entryDepth_ = 0;  // guarded by entryMutex_
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
