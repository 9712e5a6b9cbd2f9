// The settings store's system side on Linux: the file's place from the environment, whole-file
// reads, the file's identity (device, inode, size, modification time), the writers' flock on
// "<file>.lock" with the change counter in its first 8 bytes, the replacement through a temporary
// file that is fsync'ed and renamed (the directory fsync'ed after), and the fork handlers.
#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>

namespace tarsio {

namespace {

constexpr size_t kMaxFileSize = 64u << 20;  // larger files are treated as unreadable

std::atomic<RegistryStore*> gStore{nullptr};

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
bool ReadFileAt(const std::string& path, std::string* text, bool* exists, struct stat* st) {
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

// The identity fields of a file: device, inode, size, last modification.
void FillIdentity(const struct stat& st, bool* exists, uint64_t* device, uint64_t* inode,
                  uint64_t* size, int64_t* mtimeNs) {
  *exists = true;
  *device = st.st_dev;
  *inode = st.st_ino;
  *size = static_cast<uint64_t>(st.st_size);
  *mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

// Linux keeps no registry of its own: the settings are always the file's.
RegistryStore::SystemHive* RegistryStore::SystemHiveFromEnvironment() { return nullptr; }

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

void RegistryStore::CloseGenerationHandleLocked() {
  if (generationFd_ >= 0) ::close(generationFd_);
  generationFd_ = -1;
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
    FillIdentity(st, &identity.exists, &identity.device, &identity.inode, &identity.size,
                 &identity.mtimeNs);
  }
  return identity;
}

bool RegistryStore::ReadWholeFile(const std::string& path, std::string* text, bool* exists,
                                  FileIdentity* identity) {
  struct stat st;
  if (!ReadFileAt(path, text, exists, &st)) return false;
  if (*exists) {
    FillIdentity(st, &identity->exists, &identity->device, &identity->inode, &identity->size,
                 &identity->mtimeNs);
  }
  return true;
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

bool RegistryStore::RewriteFile(const std::string& path,
                                const std::function<std::string(std::string_view)>& rewrite,
                                FileIdentity* identity) {
  if (!MakeParentDirectories(path)) return false;
  FileLock fileLock(path + ".lock");
  if (!fileLock.Locked()) return false;

  std::string text;
  bool exists = false;
  struct stat st;
  if (!ReadFileAt(path, &text, &exists, &st)) return false;  // never replace what we can't read
  const std::string output = rewrite(text);

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
    FillIdentity(now, &identity->exists, &identity->device, &identity->inode, &identity->size,
                 &identity->mtimeNs);
  }
  return true;
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
