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
  if (HostLog* log = Next()) log->Lock();
}

HostLogWriter::Entry::~Entry() {
  if (HostLog* log = Next()) log->Unlock();
}

HostLog* HostLogWriter::Entry::Next() {
  if (dropped_) return nullptr;
  HostLog* log = current_.load();
  if (log == nullptr) dropped_ = true;
  return log;
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
