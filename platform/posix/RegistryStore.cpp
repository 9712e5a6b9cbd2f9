#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

namespace tarsio {

namespace {

constexpr size_t kMaxFileSize = 64u << 20;  // larger files are treated as unreadable

std::atomic<RegistryStore*> gStore{nullptr};

std::string_view NormalizeKey(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

int RetryOpen(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads a whole file. Returns false when it exists but cannot be read; a missing file gives true
// with *exists false.
bool ReadWholeFile(const std::string& path, std::string* text, bool* exists, struct stat* st) {
  text->clear();
  *exists = false;
  const int fd = RetryOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  *exists = true;
  bool ok = ::fstat(fd, st) == 0 && S_ISREG(st->st_mode) &&
            static_cast<uint64_t>(st->st_size) <= kMaxFileSize;
  if (ok) {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      text->append(buffer, static_cast<size_t>(n));
      if (text->size() > kMaxFileSize) {
        ok = false;
        break;
      }
    }
  }
  ::close(fd);
  return ok;
}

bool MakeParentDirectories(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  return std::filesystem::is_directory(parent, ec);
}

// Holds an exclusive flock on the lock file for the life of the object.
class FileLock {
 public:
  explicit FileLock(const std::string& lockPath)
      : fd_(RetryOpen(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) return;
    int rc;
    do {
      rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~FileLock() {
    if (fd_ < 0) return;
    // Unlock explicitly: a child process may hold a copy of this descriptor.
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Locked() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

 private:
  int fd_;
};

uint64_t ReadGeneration(int fd) {
  uint64_t generation = 0;
  if (fd < 0 || ::pread(fd, &generation, sizeof generation, 0) != sizeof generation) return 0;
  return generation;
}

}  // namespace

RegistryStore& RegistryStore::Instance() {
  static RegistryStore* const store = [] {
    auto* created = new RegistryStore();
    gStore.store(created);
    ::pthread_atfork(&RegistryStore::AtForkPrepare, &RegistryStore::AtForkParent,
                     &RegistryStore::AtForkChild);
    return created;
  }();
  return *store;
}

RegistryStore::RegistryStore() {
  path_ = PathFromEnvironment();
  lockPath_ = path_.empty() ? std::string() : path_ + ".lock";
}

std::string RegistryStore::PathFromEnvironment() {
  const char* explicitPath = std::getenv("TARSIO_REGISTRY");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tarsio/registry.reg";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    const struct passwd* pw = ::getpwuid(::getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] == '\0') return {};
  return std::string(home) + "/.config/tarsio/registry.reg";
}

void RegistryStore::ReloadPathFromEnvironment() {
  std::lock_guard disk(diskMutex_);
  PersistPendingLocked();
  std::lock_guard lock(mutex_);
  path_ = PathFromEnvironment();
  lockPath_ = path_.empty() ? std::string() : path_ + ".lock";
  if (generationFd_ >= 0) ::close(generationFd_);
  generationFd_ = -1;
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
  return path_;
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

RegistryStore::FileIdentity RegistryStore::CurrentIdentityLocked() {
  FileIdentity identity;
  if (generationFd_ < 0 && !lockPath_.empty()) {
    generationFd_ = RetryOpen(lockPath_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  // The generation first: a write completing after this read changes it again.
  identity.generation = ReadGeneration(generationFd_);
  struct stat st;
  if (!path_.empty() && ::stat(path_.c_str(), &st) == 0) {
    identity.exists = true;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = static_cast<uint64_t>(st.st_size);
    identity.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  }
  return identity;
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
  struct stat st;
  if (ReadWholeFile(path_, &text, &exists, &st) && exists) {
    // Identify what was actually read (the file may have been replaced since the stat).
    identity.exists = true;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = static_cast<uint64_t>(st.st_size);
    identity.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
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
  std::lock_guard lock(mutex_);
  RefreshLocked();
  const auto it = view_.find(OpId(key, name));
  if (it == view_.end()) return std::nullopt;
  return it->second;
}

bool RegistryStore::KeyExists(std::string_view key) {
  std::lock_guard lock(mutex_);
  RefreshLocked();
  return viewKeys_.count(RegistryFile::Fold(NormalizeKey(key))) != 0;
}

bool RegistryStore::ProbeWritableLocked() {
  // Checked at every write (a few system calls): the file may be replaced or its directory removed
  // at any time.
  if (path_.empty()) return false;
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    // An existing file that cannot be read is never replaced.
    if (!S_ISREG(st.st_mode) || ::access(path_.c_str(), R_OK) != 0) return false;
  } else if (!MakeParentDirectories(path_)) {
    return false;
  }
  if (::stat(lockPath_.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || ::access(lockPath_.c_str(), R_OK | W_OK) != 0) return false;
  } else {
    const int fd = RetryOpen(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
  }
  return true;
}

bool RegistryStore::CanWrite() {
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
  if (path.empty() || !MakeParentDirectories(path)) return false;
  FileLock fileLock(path + ".lock");
  if (!fileLock.Locked()) return false;

  std::string text;
  bool exists = false;
  struct stat st;
  if (!ReadWholeFile(path, &text, &exists, &st)) return false;  // never replace what we can't read
  RegistryFile file = RegistryFile::Parse(text);
  for (const Op* op : InOrder(ops)) ApplyToFile(*op, &file);
  const std::string output = file.Serialize();

  std::string temp = path + ".tmp.XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, output) && ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644) == 0 &&
            ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  const std::string dir = std::filesystem::path(path).parent_path().string();
  const int dirFd = RetryOpen(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  // Tell readers in other processes that the file changed, even if a new file happens to reuse
  // the old one's inode, size and modification time.
  const uint64_t generation = ReadGeneration(fileLock.Fd()) + 1;
  (void)!::pwrite(fileLock.Fd(), &generation, sizeof generation, 0);

  *identity = FileIdentity();
  identity->generation = generation;
  struct stat now;
  if (::stat(path.c_str(), &now) == 0) {
    identity->exists = true;
    identity->device = now.st_dev;
    identity->inode = now.st_ino;
    identity->size = static_cast<uint64_t>(now.st_size);
    identity->mtimeNs = static_cast<int64_t>(now.st_mtim.tv_sec) * 1000000000 + now.st_mtim.tv_nsec;
  }
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

void RegistryStore::AtForkPrepare() {
  RegistryStore* store = gStore.load();
  store->diskMutex_.lock();
  store->mutex_.lock();
}

void RegistryStore::AtForkParent() {
  RegistryStore* store = gStore.load();
  store->mutex_.unlock();
  store->diskMutex_.unlock();
}

void RegistryStore::AtForkChild() {
  // Only the forking thread exists in the child: the writer thread and any waiter on the
  // condition variable are gone, so the synchronisation objects start afresh.
  RegistryStore* store = gStore.load();
  new (&store->diskMutex_) std::mutex();
  new (&store->mutex_) std::mutex();
  new (&store->wakeWriter_) std::condition_variable();
  // The thread does not exist here: its object is kept, never joined or destroyed.
  store->abandonedWriter_ = store->writer_.release();
  store->stoppers_ = 0;     // a StopWriter of the parent does not go on here
  store->pending_.clear();  // the parent persists its own pending writes
  // A child of a multi-threaded process should not start threads: its writes are persisted
  // synchronously unless it turns the background writer on again (SetWriteBehind).
  store->writeBehind_ = false;
  store->RebuildViewLocked();
}

}  // namespace tarsio
