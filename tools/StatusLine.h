// The one line of call status that `tarsio call` keeps up to date while a call runs:
//   00:12  buffer 0.23  tx PCMU  rx PCMU  sent 41.3 kB  played 38.4 kB  classic
//   00:12  delay 62 ms (net 3 + jb 24 + queue 20 + dev 0)  tx PCMU  rx PCMU  sent 41.3 kB
//          played 38.4 kB  low-latency
// The low-latency line shows the receive delay by stage (medians so far) instead of the classic
// receive-buffer ratio.
// On a terminal it is redrawn in place (carriage return, erase to end of line); when the output
// is not a terminal (a pipe, a log file) a full line is printed at most every plainIntervalMs, so
// logs stay readable.
//
// Threading: Show, Clear and Finish may be called from any thread (the host log clears the line
// from media threads before it writes to the same terminal); mutex_ guards the output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace tarsio::host {

struct CallStatus {
  double elapsedSeconds = 0.0;
  double bufferRatio = 0.0;
  std::string transmitCodec;  // as the terminal recorded it; empty: not sending yet
  std::string receiveCodec;
  int64_t sentBytes = 0;
  int64_t playedBytes = 0;
  bool lowLatency = false;
  int networkMs = -1;  // stage medians so far (low-latency), -1: not measured yet
  int jitterBufferMs = -1;
  int queueMs = -1;
  int deviceMs = -1;
  // RTCP (--rtcp): the far end's view of our stream and the round-trip time; rtcp false: none.
  bool rtcp = false;
  double roundTripMs = -1;        // -1: not measured yet
  double remoteLossPercent = -1;  // -1: no report from the far end yet
  double jitterMs = 0;            // of the far end's stream as we receive it
};

class StatusLine {
 public:
  /// interactive: redraw in place; otherwise one line per plainIntervalMs.
  StatusLine(std::FILE* out, bool interactive, int64_t plainIntervalMs = 5000);

  static std::string Format(const CallStatus& status);
  /// "1.2 kB", "3.4 MB", "512 B".
  static std::string FormatBytes(int64_t bytes);

  void Show(const CallStatus& status, int64_t nowMs);
  /// Erases the line (interactive only) so that another line can be written; the next Show
  /// draws it again.
  void Clear();
  /// Leaves the last status on its own line.
  void Finish();

 private:
  std::mutex mutex_;
  std::FILE* out_;
  const bool interactive_;
  const int64_t plainIntervalMs_;
  int64_t lastPlainMs_ = -1;
  bool drawn_ = false;
  std::string last_;
};

}  // namespace tarsio::host
