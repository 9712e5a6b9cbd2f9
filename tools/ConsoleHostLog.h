// The host log of the tarsio program: the engine's error lines and its statistics report, each
// line stamped with the local time, written to stderr or to a file (--log FILE).
//
// The engine writes an entry as Lock, Write..., [MarkEntry,] EndLine..., Unlock; the pieces of a
// line are joined without separators ("RTP sendto:" "1234" -> "RTP sendto:1234"). Besides writing
// them, the log keeps every completed line (with its wall-clock time) so that commands can pick
// out the statistics report and the moment the receiver took its first datagram, and tells an
// optional listener about each line (the status line clears itself before a line goes to the
// terminal).
//
// Threading: the engine calls it from host and media threads. One re-entrant mutex (mutex_)
// guards the line being assembled, the kept lines and the output; Lock takes it for the whole
// entry, so entries never interleave. The listener is called with mutex_ held and must not call
// back into the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tarsio/HostLog.h"

namespace tarsio::host {

class ConsoleHostLog final : public HostLog {
 public:
  struct Line {
    int64_t epochMs = 0;
    std::string text;
  };

  /// Writes to stderr.
  ConsoleHostLog();
  ~ConsoleHostLog();
  ConsoleHostLog(const ConsoleHostLog&) = delete;
  ConsoleHostLog& operator=(const ConsoleHostLog&) = delete;

  /// Appends to path instead of stderr; false with a reason in *error when it cannot be opened.
  bool OpenFile(const std::string& path, std::string* error);
  /// Keeps the lines but writes nothing.
  void SetQuiet(bool quiet);
  /// Called before each completed line is written (it may clear a status line on the terminal).
  void SetBeforeWrite(std::function<void(bool toTerminal)> beforeWrite);

  int32_t Lock() override;
  int32_t Unlock() override;
  int32_t MarkEntry() override;
  int32_t EndLine() override;
  int32_t Write(const char* text) override;

  /// Every completed line so far.
  std::vector<Line> Lines() const;
  /// The time of the first line starting with prefix, or 0.
  int64_t FirstLineTime(const std::string& prefix) const;
  /// The statistics report: the lines from the last "*** estadisticas RTP ***" on, without the
  /// empty lines.
  std::vector<std::string> StatisticsReport() const;
  /// The number after label in the last statistics report (e.g. "RTP sendto:"), or -1.
  int64_t ReportValue(const std::string& label) const;

 private:
  void CompleteLineLocked();

  mutable std::recursive_mutex mutex_;
  std::FILE* out_ = stderr;
  bool ownsOut_ = false;
  bool quiet_ = false;
  bool toTerminal_ = false;
  std::function<void(bool)> beforeWrite_;
  std::string current_;
  std::vector<Line> lines_;
};

}  // namespace tarsio::host
