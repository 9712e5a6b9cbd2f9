#include "support/RecordingHostLog.h"

#include <algorithm>

namespace tarsio::testing {

RecordingHostLog::~RecordingHostLog() {
  if (entryOwner_.load() != std::this_thread::get_id()) return;
  for (; entryDepth_ > 0; --entryDepth_) entryMutex_.unlock();
}

int32_t RecordingHostLog::Lock() {
  entryMutex_.lock();
  entryOwner_.store(std::this_thread::get_id());
  ++entryDepth_;
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.emplace_back("Lock");
  return 0;
}

int32_t RecordingHostLog::Unlock() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.emplace_back("Unlock");
  }
  if (entryOwner_.load() != std::this_thread::get_id()) return 0;
  if (--entryDepth_ == 0) entryOwner_.store(std::thread::id{});
  entryMutex_.unlock();
  return 0;
}

int32_t RecordingHostLog::MarkEntry() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.emplace_back("MarkEntry");
  return 0;
}

int32_t RecordingHostLog::EndLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.emplace_back("EndLine");
  lines_.push_back(pending_);
  pending_.clear();
  return 0;
}

int32_t RecordingHostLog::Write(const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string copy = text != nullptr ? text : "";
  calls_.push_back("Write:" + copy);
  pending_ += copy;
  return 0;
}

std::vector<std::string> RecordingHostLog::Entries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> RecordingHostLog::Calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

bool RecordingHostLog::Contains(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void RecordingHostLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
  lines_.clear();
  pending_.clear();
}

}  // namespace tarsio::testing
