// The settings store's logic, the same on every system: the in-process view, the write queue and
// its background writer, and the read-default-write-back rule. The file's system side (where it
// is, reading it, noticing changes, the writers' lock and the replacement) is in
// platform/posix/RegistryStore.cpp and platform/win32/RegistryStore.cpp.
#include "platform/RegistryStore.h"

#include <algorithm>
#include <chrono>

namespace tarsio {

namespace {

std::string_view NormalizeKey(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

}  // namespace

RegistryStore::RegistryStore() {
  hive_ = SystemHiveFromEnvironment();
  path_ = PathFromEnvironment();
  lockPath_ = path_.empty() ? std::string() : path_ + ".lock";
}

void RegistryStore::ReloadPathFromEnvironment() {
  std::lock_guard disk(diskMutex_);
  PersistPendingLocked();
  std::lock_guard lock(mutex_);
  hive_ = SystemHiveFromEnvironment();
  path_ = PathFromEnvironment();
  lockPath_ = path_.empty() ? std::string() : path_ + ".lock";
  CloseGenerationHandleLocked();
  disk_ = RegistryFile();
  diskIdentity_ = FileIdentity();
  diskLoaded_ = false;
  pending_.clear();  // writes that could not reach the old file are given up
  lastPersistOk_ = true;
  view_.clear();
  viewKeys_.clear();
}

std::string RegistryStore::Path() const {
  std::lock_guard lock(mutex_);
  return hive_ != nullptr ? hive_->Name() : path_;
}

RegistryStore::SystemHive* RegistryStore::Hive() const {
  std::lock_guard lock(mutex_);
  return hive_;
}

std::string RegistryStore::OpId(std::string_view key, std::string_view name) {
  std::string id = RegistryFile::Fold(NormalizeKey(key));
  id.push_back('\n');
  id += RegistryFile::Fold(name);
  return id;
}

std::vector<const RegistryStore::Op*> RegistryStore::InOrder(const OpMap& ops) {
  std::vector<const Op*> ordered;
  ordered.reserve(ops.size());
  for (const auto& entry : ops) ordered.push_back(&entry.second);
  std::sort(ordered.begin(), ordered.end(),
            [](const Op* a, const Op* b) { return a->sequence < b->sequence; });
  return ordered;
}

bool RegistryStore::Acceptable(const std::optional<Value>& stored, Value::Type type,
                               size_t maxTextLength) {
  // A reader takes the stored bytes whatever the value's type; only a text too long for the
  // reader's buffer cannot be read.
  if (!stored.has_value()) return false;
  const std::optional<std::string> bytes = stored->QueryBytes();
  return bytes.has_value() && (type != Value::Type::kString || bytes->size() <= maxTextLength);
}

void RegistryStore::ApplyToFile(const Op& op, RegistryFile* file) {
  if (op.onlyIfNotAcceptable) {
    const Value* stored = file->Find(op.key, op.name);
    const std::optional<Value> current =
        stored != nullptr ? std::optional<Value>(*stored) : std::nullopt;
    if (Acceptable(current, op.value.type, op.maxTextLength)) return;
  }
  file->Set(op.key, op.name, op.value);
}

void RegistryStore::ApplyToView(const Op& op) {
  const std::string id = OpId(op.key, op.name);
  if (op.onlyIfNotAcceptable) {
    const auto it = view_.find(id);
    const std::optional<Value> current =
        it != view_.end() ? std::optional<Value>(it->second) : std::nullopt;
    if (Acceptable(current, op.value.type, op.maxTextLength)) return;
  }
  view_[id] = op.value;
  const std::string key = RegistryFile::Fold(NormalizeKey(op.key));
  viewKeys_.insert(key);
  for (size_t i = 0; i < key.size(); ++i) {
    if (key[i] == '\\') viewKeys_.insert(key.substr(0, i));
  }
}

void RegistryStore::RebuildViewLocked() {
  view_.clear();
  viewKeys_.clear();
  disk_.ForEachValue([this](const std::string& key, const std::string& name, const Value& value) {
    view_[OpId(key, name)] = value;
  });
  disk_.ForEachKey([this](const std::string& keyText) {
    const std::string key = RegistryFile::Fold(NormalizeKey(keyText));
    viewKeys_.insert(key);
    for (size_t i = 0; i < key.size(); ++i) {
      if (key[i] == '\\') viewKeys_.insert(key.substr(0, i));
    }
  });
  for (const Op* op : InOrder(inFlight_)) ApplyToView(*op);
  for (const Op* op : InOrder(pending_)) ApplyToView(*op);
}

void RegistryStore::RefreshLocked() {
  if (path_.empty()) {
    if (!diskLoaded_) {
      diskLoaded_ = true;
      RebuildViewLocked();
    }
    return;
  }
  FileIdentity identity = CurrentIdentityLocked();
  if (diskLoaded_ && identity == diskIdentity_) return;
  std::string text;
  bool exists = false;
  FileIdentity read;
  if (ReadWholeFile(path_, &text, &exists, &read) && exists) {
    // Identify what was actually read (the file may have been replaced since the look above); the
    // generation is the one read before it.
    read.generation = identity.generation;
    identity = read;
    disk_ = RegistryFile::Parse(text);
  } else {
    disk_ = RegistryFile();  // missing or unreadable: an empty registry
  }
  diskIdentity_ = identity;
  diskLoaded_ = true;
  RebuildViewLocked();
}

std::optional<RegistryStore::Value> RegistryStore::Read(std::string_view key,
                                                        std::string_view name) {
  if (SystemHive* hive = Hive()) return hive->Read(NormalizeKey(key), name);
  std::lock_guard lock(mutex_);
  RefreshLocked();
  const auto it = view_.find(OpId(key, name));
  if (it == view_.end()) return std::nullopt;
  return it->second;
}

bool RegistryStore::KeyExists(std::string_view key) {
  if (SystemHive* hive = Hive()) return hive->KeyExists(NormalizeKey(key));
  std::lock_guard lock(mutex_);
  RefreshLocked();
  return viewKeys_.count(RegistryFile::Fold(NormalizeKey(key))) != 0;
}

bool RegistryStore::CanWrite() {
  if (SystemHive* hive = Hive()) return hive->CanWrite();
  std::lock_guard lock(mutex_);
  return ProbeWritableLocked();
}

bool RegistryStore::Write(std::string_view key, std::string_view name, const Value& value) {
  return Enqueue(Op{std::string(key), std::string(name), value, false, 0});
}

bool RegistryStore::WriteDefault(std::string_view key, std::string_view name, const Value& value,
                                 size_t maxTextLength) {
  return Enqueue(Op{std::string(key), std::string(name), value, true, maxTextLength});
}

bool RegistryStore::Enqueue(Op op) {
  const std::string_view key = NormalizeKey(op.key);
  if (key.empty() || key[0] == '-' || !RegistryFile::IsStorableString(key) ||
      !RegistryFile::IsStorableString(op.name) || op.value.type == Value::Type::kOther ||
      (op.value.type == Value::Type::kString && !RegistryFile::IsStorableString(op.value.text))) {
    return false;
  }
  if (SystemHive* hive = Hive()) {
    // The hive is the one copy: the default is read and written there. Another process may store
    // the value between the two calls; the registry offers no transaction to prevent that, and
    // either value is one a reader takes.
    if (op.onlyIfNotAcceptable &&
        Acceptable(hive->Read(key, op.name), op.value.type, op.maxTextLength)) {
      return true;
    }
    return hive->Write(key, op.name, op.value);
  }
  {
    std::lock_guard lock(mutex_);
    if (!ProbeWritableLocked()) return false;
    RefreshLocked();
    const std::string id = OpId(op.key, op.name);
    if (op.onlyIfNotAcceptable) {
      const auto current = view_.find(id);
      if (current != view_.end() && Acceptable(current->second, op.value.type, op.maxTextLength)) {
        return true;  // a value is there (on disk or on its way): the default is not needed
      }
      const auto previous = pending_.find(id);
      if (previous != pending_.end() && !previous->second.onlyIfNotAcceptable) {
        // The pending write stored an unacceptable value: the default must replace it.
        op.onlyIfNotAcceptable = false;
      }
    }
    op.sequence = nextSequence_++;
    ApplyToView(op);
    pending_[id] = std::move(op);
    if (writeBehind_ && stoppers_ == 0) {
      StartWriterLocked();
      wakeWriter_.notify_one();
      return true;
    }
  }
  return PersistPending();
}

bool RegistryStore::PersistPending() {
  std::lock_guard disk(diskMutex_);
  return PersistPendingLocked();
}

bool RegistryStore::PersistPendingLocked() {
  std::string path;
  std::string lockPath;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return lastPersistOk_;
    inFlight_.swap(pending_);
    path = path_;
    lockPath = lockPath_;
  }
  RegistryFile written;
  FileIdentity identity;
  // inFlight_ is only changed by the holder of diskMutex_, so it may be read without mutex_.
  const bool ok = PersistOps(path, inFlight_, &written, &identity);
  std::lock_guard lock(mutex_);
  lastPersistOk_ = ok;
  if (ok) {
    inFlight_.clear();
    if (path == path_) {
      disk_ = std::move(written);
      diskIdentity_ = identity;
      diskLoaded_ = true;
      RebuildViewLocked();
    }
  } else {
    // Keep the writes for the next attempt; newer pending writes of the same value win.
    for (auto& [id, op] : inFlight_) {
      const auto newer = pending_.find(id);
      if (newer == pending_.end()) {
        pending_.emplace(id, std::move(op));
      } else if (!op.onlyIfNotAcceptable) {
        newer->second.onlyIfNotAcceptable = false;
      }
    }
    inFlight_.clear();
  }
  return ok;
}

bool RegistryStore::PersistOps(const std::string& path, const OpMap& ops, RegistryFile* written,
                               FileIdentity* identity) {
  if (path.empty()) return false;
  RegistryFile file;
  const auto rewrite = [&](std::string_view text) {
    file = RegistryFile::Parse(text);
    for (const Op* op : InOrder(ops)) ApplyToFile(*op, &file);
    return file.Serialize();
  };
  if (!RewriteFile(path, rewrite, identity)) return false;
  *written = std::move(file);
  return true;
}

bool RegistryStore::Flush() { return PersistPending(); }

void RegistryStore::SetWriteBehind(bool on) {
  Flush();
  std::lock_guard lock(mutex_);
  writeBehind_ = on;
}

bool RegistryStore::WriteBehind() const {
  std::lock_guard lock(mutex_);
  return writeBehind_;
}

bool RegistryStore::WriterRunning() const {
  std::lock_guard lock(mutex_);
  return writer_ != nullptr;
}

void RegistryStore::StartWriterLocked() {
  if (writer_ || stoppers_ != 0) return;
  const uint64_t generation = ++writerGeneration_;
  writer_ = std::make_unique<std::thread>([this, generation] { WriterLoop(generation); });
}

void RegistryStore::WriterLoop(uint64_t generation) {
  std::chrono::milliseconds backoff(0);
  std::unique_lock lock(mutex_);
  const auto stopped = [this, generation] { return writerGeneration_ != generation; };
  for (;;) {
    wakeWriter_.wait(lock, [&] { return stopped() || !pending_.empty(); });
    if (stopped()) return;
    lock.unlock();
    const bool ok = PersistPending();
    lock.lock();
    if (ok) {
      backoff = std::chrono::milliseconds(0);
    } else {
      // The disk refuses: retry later rather than spin (a Flush or a new write retries now).
      backoff = std::min(std::chrono::milliseconds(30000),
                         std::max(std::chrono::milliseconds(100), backoff * 2));
      wakeWriter_.wait_for(lock, backoff, stopped);
    }
  }
}

bool RegistryStore::StopWriter() {
  std::unique_ptr<std::thread> writer;
  {
    std::lock_guard lock(mutex_);
    ++stoppers_;
    ++writerGeneration_;  // the running writer leaves at its next look
    writer = std::move(writer_);
  }
  wakeWriter_.notify_all();
  if (writer && writer->joinable()) writer->join();
  const bool ok = PersistPending();  // what the writer had not taken, and writes made meanwhile
  std::lock_guard lock(mutex_);
  --stoppers_;
  return ok;
}

}  // namespace tarsio
