#include "tools/StatusLine.h"

#include <cmath>

namespace tarsio::host {

StatusLine::StatusLine(std::FILE* out, bool interactive, int64_t plainIntervalMs)
    : out_(out), interactive_(interactive), plainIntervalMs_(plainIntervalMs) {}

std::string StatusLine::FormatBytes(int64_t bytes) {
  char text[32];
  if (bytes < 1000) {
    std::snprintf(text, sizeof(text), "%lld B", static_cast<long long>(bytes));
  } else if (bytes < 1000000) {
    std::snprintf(text, sizeof(text), "%.1f kB", static_cast<double>(bytes) / 1e3);
  } else {
    std::snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
  }
  return text;
}

std::string StatusLine::Format(const CallStatus& status) {
  const long total = std::lround(std::floor(std::max(0.0, status.elapsedSeconds)));
  char receive[120];
  if (!status.lowLatency) {
    std::snprintf(receive, sizeof(receive), "buffer %.2f", status.bufferRatio);
  } else if (status.jitterBufferMs < 0) {
    std::snprintf(receive, sizeof(receive), "delay -");
  } else {
    const int net = std::max(0, status.networkMs);
    const int queue = std::max(0, status.queueMs);
    const int device = std::max(0, status.deviceMs);
    std::snprintf(receive, sizeof(receive), "delay %d ms (net %d + jb %d + queue %d + dev %d)",
                  net + status.jitterBufferMs + queue + device, net, status.jitterBufferMs, queue,
                  device);
  }
  char text[300];
  std::snprintf(text, sizeof(text), "%02ld:%02ld  %s  tx %s  rx %s  sent %s  played %s  %s",
                total / 60, total % 60, receive,
                status.transmitCodec.empty() ? "-" : status.transmitCodec.c_str(),
                status.receiveCodec.empty() ? "-" : status.receiveCodec.c_str(),
                FormatBytes(status.sentBytes).c_str(), FormatBytes(status.playedBytes).c_str(),
                status.lowLatency ? "low-latency" : "classic");
  std::string line = text;
  if (status.rtcp) {
    char rtcp[120];
    char rtt[24] = "-";
    char loss[24] = "-";
    if (status.roundTripMs >= 0) std::snprintf(rtt, sizeof rtt, "%.0f ms", status.roundTripMs);
    if (status.remoteLossPercent >= 0) {
      std::snprintf(loss, sizeof loss, "%.1f %%", status.remoteLossPercent);
    }
    std::snprintf(rtcp, sizeof rtcp, "  rtt %s  loss %s  jitter %.1f ms", rtt, loss,
                  status.jitterMs);
    line += rtcp;
  }
  return line;
}

void StatusLine::Show(const CallStatus& status, int64_t nowMs) {
  std::lock_guard<std::mutex> lk(mutex_);
  last_ = Format(status);
  if (interactive_) {
    std::fprintf(out_, "\r%s\x1b[K", last_.c_str());
    drawn_ = true;
  } else if (lastPlainMs_ < 0 || nowMs - lastPlainMs_ >= plainIntervalMs_) {
    std::fprintf(out_, "%s\n", last_.c_str());
    lastPlainMs_ = nowMs;
  }
  std::fflush(out_);
}

void StatusLine::Clear() {
  std::lock_guard<std::mutex> lk(mutex_);
  if (interactive_ && drawn_) {
    std::fputs("\r\x1b[K", out_);
    std::fflush(out_);
    drawn_ = false;
  }
}

void StatusLine::Finish() {
  std::lock_guard<std::mutex> lk(mutex_);
  if (last_.empty()) return;
  if (interactive_) {
    std::fprintf(out_, "\r%s\x1b[K\n", last_.c_str());
  } else {
    std::fprintf(out_, "%s\n", last_.c_str());
  }
  std::fflush(out_);
  drawn_ = false;
}

}  // namespace tarsio::host
