#include "framework/HostLogWriter.h"

#include <array>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/ForkHandler.h"

namespace tarsio {

namespace {

constexpr char kOpWrite = 'W';
constexpr char kOpMark = 'M';
constexpr char kOpEndLine = 'E';
// Bytes kept free for the line ends and marks of an entry whose texts do not all fit.
constexpr int kTailReserve = 16;

// The deferred entries waiting for the writer, oldest at head. Made once, never destroyed (the
// writer may still run during static destruction).
struct DeferredQueue {
  std::mutex mutex;
  std::condition_variable changed;  // an entry came, or the writer finished one
  std::array<std::array<char, HostLogWriter::kDeferredEntryBytes>, HostLogWriter::kDeferredSlots>
      entries;
  std::array<int, HostLogWriter::kDeferredSlots> lengths{};
  int head = 0;
  int count = 0;
  bool writerRunning = false;
  // A thread (the writer or one in WritePending) took an entry and is writing it. Only one thread
  // writes at a time, so entries reach the log in the order they were deferred.
  bool replaying = false;
  std::atomic<uint64_t> dropped{0};
};

DeferredQueue& Queue();

// A forked child has only the forking thread: the writer and any waiter are gone.
void AtForkChild() {
  DeferredQueue& queue = Queue();
  new (&queue.mutex) std::mutex();
  new (&queue.changed) std::condition_variable();
  queue.writerRunning = false;
  queue.replaying = false;
}

DeferredQueue& Queue() {
  static DeferredQueue* const queue = [] {
    auto* made = new DeferredQueue;
    RunInChildAfterFork(&AtForkChild);
    return made;
  }();
  return *queue;
}

// Writes one recorded entry to the current log.
void Replay(const char* bytes, int length) {
  if (HostLogWriter::Current() == nullptr) return;
  HostLogWriter::Entry entry;
  for (int i = 0; i < length;) {
    const char op = bytes[i++];
    if (op == kOpWrite) {
      const char* text = bytes + i;
      entry.Write(text);
      i += static_cast<int>(std::strlen(text)) + 1;
    } else if (op == kOpMark) {
      entry.MarkEntry();
    } else {
      entry.EndLine();
    }
  }
}

// Takes the oldest queued entry into out (queue mutex held); its length, or -1 when none.
int TakeLocked(DeferredQueue& queue, char* out) {
  if (queue.count == 0) return -1;
  const int length = queue.lengths[static_cast<size_t>(queue.head)];
  std::memcpy(out, queue.entries[static_cast<size_t>(queue.head)].data(),
              static_cast<size_t>(length));
  queue.head = (queue.head + 1) % HostLogWriter::kDeferredSlots;
  --queue.count;
  return length;
}

void WriterLoop() {
  DeferredQueue& queue = Queue();
  char entry[HostLogWriter::kDeferredEntryBytes];
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    queue.changed.wait(lock, [&queue] { return queue.count > 0 && !queue.replaying; });
    const int length = TakeLocked(queue, entry);
    queue.replaying = true;
    lock.unlock();
    Replay(entry, length);
    lock.lock();
    queue.replaying = false;
    queue.changed.notify_all();
  }
}

// Starts the writer thread if it does not run (queue mutex held). A thread that cannot be made
// leaves the entries queued for WritePending and a later attempt.
void StartWriterLocked(DeferredQueue& queue) {
  if (queue.writerRunning) return;
  try {
    std::thread(WriterLoop).detach();
    queue.writerRunning = true;
  } catch (...) {
  }
}

}  // namespace

std::atomic<HostLog*> HostLogWriter::current_{nullptr};

void HostLogWriter::SetCurrent(HostLog* log) {
  WritePending(kSwitchWaitMs);
  current_.store(log);
  if (log != nullptr) {
    DeferredQueue& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    StartWriterLocked(queue);
  }
}

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

namespace tarsio {

void HostLogWriter::DeferredEntry::Append(char op, const char* text) {
  const int room = kDeferredEntryBytes - length_;
  if (op != kOpWrite) {
    if (room >= 1) bytes_[length_++] = op;
    return;
  }
  if (text == nullptr) text = "";
  const int textLength = static_cast<int>(std::strlen(text));
  const int fits = room - kTailReserve - 2;  // the op byte and the terminating zero
  if (fits <= 0) return;
  const int copied = textLength < fits ? textLength : fits;
  bytes_[length_++] = op;
  std::memcpy(bytes_ + length_, text, static_cast<size_t>(copied));
  length_ += copied;
  bytes_[length_++] = '\0';
}

void HostLogWriter::DeferredEntry::Write(const char* text) { Append(kOpWrite, text); }

void HostLogWriter::DeferredEntry::WriteNumber(int64_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "%" PRId64, number);
  Append(kOpWrite, text);
}

void HostLogWriter::DeferredEntry::MarkEntry() { Append(kOpMark, nullptr); }

void HostLogWriter::DeferredEntry::EndLine() { Append(kOpEndLine, nullptr); }

HostLogWriter::DeferredEntry::~DeferredEntry() {
  if (length_ == 0 || current_.load() == nullptr) return;
  DeferredQueue& queue = Queue();
  {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.count == kDeferredSlots) {
      queue.dropped.fetch_add(1);
      return;
    }
    const int tail = (queue.head + queue.count) % kDeferredSlots;
    std::memcpy(queue.entries[static_cast<size_t>(tail)].data(), bytes_,
                static_cast<size_t>(length_));
    queue.lengths[static_cast<size_t>(tail)] = length_;
    ++queue.count;
    StartWriterLocked(queue);
  }
  queue.changed.notify_all();
}

void HostLogWriter::DeferPlain(const char* text) {
  DeferredEntry entry;
  entry.Write(text);
  entry.EndLine();
}

void HostLogWriter::DeferWithNumber(const char* label, int64_t number) {
  DeferredEntry entry;
  entry.Write(label);
  entry.WriteNumber(number);
  entry.MarkEntry();
  entry.EndLine();
}

void HostLogWriter::WritePending(uint32_t waitMs) {
  DeferredQueue& queue = Queue();
  char entry[kDeferredEntryBytes];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock<std::mutex> lock(queue.mutex);
  for (;;) {
    if (queue.count == 0 && !queue.replaying) return;
    if (!queue.replaying) {
      // Nobody is writing: this thread writes the oldest entry.
      const int length = TakeLocked(queue, entry);
      queue.replaying = true;
      lock.unlock();
      Replay(entry, length);
      lock.lock();
      queue.replaying = false;
      queue.changed.notify_all();
      continue;
    }
    // The writer is writing (maybe held up in the host's Lock): wait for it, at most until the
    // deadline; what is left then stays queued for it.
    if (!queue.changed.wait_until(lock, deadline, [&queue] { return !queue.replaying; })) return;
  }
}

uint64_t HostLogWriter::DroppedDeferredEntries() { return Queue().dropped.load(); }

}  // namespace tarsio
