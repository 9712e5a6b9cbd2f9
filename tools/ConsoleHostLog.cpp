#include "tools/ConsoleHostLog.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tools/EpochClock.h"

namespace tarsio::host {

namespace {

constexpr const char* kReportTitle = "*** estadisticas RTP ***";
// A long call logs a bounded number of lines; beyond this the oldest half is dropped.
constexpr size_t kMaxKeptLines = 20000;

std::string LocalTime(int64_t epochMs) {
  const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(epochMs % 1000));
  return text;
}

}  // namespace

ConsoleHostLog::ConsoleHostLog() : toTerminal_(::isatty(STDERR_FILENO) == 1) {}

ConsoleHostLog::~ConsoleHostLog() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (ownsOut_) std::fclose(out_);
}

bool ConsoleHostLog::OpenFile(const std::string& path, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (f == nullptr) {
    *error = "cannot open log file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  if (ownsOut_) std::fclose(out_);
  out_ = f;
  ownsOut_ = true;
  toTerminal_ = false;
  return true;
}

void ConsoleHostLog::SetQuiet(bool quiet) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  quiet_ = quiet;
}

void ConsoleHostLog::SetBeforeWrite(std::function<void(bool)> beforeWrite) {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  beforeWrite_ = std::move(beforeWrite);
}

int32_t ConsoleHostLog::Lock() {
  mutex_.lock();
  return 0;
}

int32_t ConsoleHostLog::Unlock() {
  // An entry left without its EndLine still becomes a line of its own.
  if (!current_.empty()) CompleteLineLocked();
  mutex_.unlock();
  return 0;
}

int32_t ConsoleHostLog::MarkEntry() { return 0; }

int32_t ConsoleHostLog::EndLine() {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  CompleteLineLocked();
  return 0;
}

int32_t ConsoleHostLog::Write(const char* text) {
  if (text == nullptr) return 0;
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  current_ += text;
  return 0;
}

void ConsoleHostLog::CompleteLineLocked() {
  Line line{EpochMs(), std::move(current_)};
  current_.clear();
  if (!quiet_) {
    if (beforeWrite_) beforeWrite_(toTerminal_);
    std::fprintf(out_, "%s %s\n", LocalTime(line.epochMs).c_str(), line.text.c_str());
    std::fflush(out_);
  }
  if (lines_.size() >= kMaxKeptLines) {
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(kMaxKeptLines / 2));
  }
  lines_.push_back(std::move(line));
}

std::vector<ConsoleHostLog::Line> ConsoleHostLog::Lines() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  return lines_;
}

int64_t ConsoleHostLog::FirstLineTime(const std::string& prefix) const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  for (const Line& line : lines_) {
    if (line.text.rfind(prefix, 0) == 0) return line.epochMs;
  }
  return 0;
}

std::vector<std::string> ConsoleHostLog::StatisticsReport() const {
  std::lock_guard<std::recursive_mutex> lk(mutex_);
  std::vector<std::string> report;
  for (size_t i = lines_.size(); i-- > 0;) {
    if (lines_[i].text != kReportTitle) continue;
    for (size_t j = i; j < lines_.size(); ++j) {
      if (!lines_[j].text.empty()) report.push_back(lines_[j].text);
    }
    break;
  }
  return report;
}

int64_t ConsoleHostLog::ReportValue(const std::string& label) const {
  int64_t value = -1;
  for (const std::string& line : StatisticsReport()) {
    if (line.rfind(label, 0) == 0) {
      value = std::strtoll(line.c_str() + label.size(), nullptr, 10);
      break;
    }
  }
  return value;
}

}  // namespace tarsio::host
