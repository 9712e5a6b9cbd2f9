#include "framework/HostLogWriter.h"

#include <cinttypes>
#include <cstdio>

namespace tarsio {

std::atomic<HostLog*> HostLogWriter::current_{nullptr};

void HostLogWriter::SetCurrent(HostLog* log) { current_.store(log); }

HostLog* HostLogWriter::Current() { return current_.load(); }

void HostLogWriter::Plain(const char* text) {
  Entry entry;
  entry.Write(text);
  entry.EndLine();
}

void HostLogWriter::WithNumber(const char* label, int64_t number) {
  Entry entry;
  entry.Write(label);
  entry.WriteNumber(number);
  entry.MarkEntry();
  entry.EndLine();
}

HostLogWriter::Entry::Entry() {
  locked_ = current_.load();
  if (locked_ != nullptr) {
    locked_->Lock();
  } else {
    dropped_ = true;
  }
}

HostLogWriter::Entry::~Entry() {
  if (locked_ != nullptr) locked_->Unlock();
}

HostLog* HostLogWriter::Entry::Next() {
  if (dropped_) return nullptr;
  if (current_.load() != locked_) {
    dropped_ = true;
    return nullptr;
  }
  return locked_;
}

void HostLogWriter::Entry::Write(const char* text) {
  if (HostLog* log = Next()) log->Write(text != nullptr ? text : "");
}

void HostLogWriter::Entry::WriteNumber(int64_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRId64, number);
  Write(text);
}

void HostLogWriter::Entry::MarkEntry() {
  if (HostLog* log = Next()) log->MarkEntry();
}

void HostLogWriter::Entry::EndLine() {
  if (HostLog* log = Next()) log->EndLine();
}

}  // namespace tarsio
