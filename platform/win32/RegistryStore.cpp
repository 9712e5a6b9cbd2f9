// The settings store's system side on Windows. The settings live in the current user's registry
// (SystemHiveFromEnvironment, through RegistryHive) unless $TARSIO_REGISTRY names a file; then the
// store keeps them in the export-format file the Linux version uses, with the same text, the same
// lock and change-counter files beside it and the same write-behind writer
// (platform/RegistryStore.cpp). Tests name a file of their own this way.
//
// What differs from the Linux version's file:
// - Paths are UTF-8 inside the store and UTF-16 at the system calls, so any user name works.
// - The writers' lock is a LockFileEx lock on "<file>.lock". Windows locks are mandatory: a locked
//   range cannot be read through other handles. So the lock covers byte 8, just past the 8-byte
//   change counter at the start of the file, and readers in other processes read the counter
//   while a writer holds the lock, as they do on Linux.
// - The file is replaced with MoveFileEx(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) after
//   FlushFileBuffers: the rename is on disk when it returns (Linux needs an fsync of the
//   directory for that). Files are opened with FILE_SHARE_DELETE, so a reader in another process
//   does not stop the rename. A rename refused because another program holds the file or the new
//   copy open for a moment (a virus scanner, an indexer) is retried for a short while.
// - The new file gets no permission bits from the old one: it takes its directory's access rules,
//   as the old one did.
// - No fork: nothing to repair in a child process.
// The file's identity (for noticing changes) is the volume serial number and file index instead
// of device and inode, with the size and the last-write time.
#include "platform/RegistryStore.h"
#include "platform/win32/RegistryHive.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1  // the C++ library may have defined it already
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

namespace tarsio {

namespace {

constexpr size_t kMaxFileSize = 64u << 20;  // larger files are treated as unreadable
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The byte of the lock file that writers lock: just past the change counter (bytes 0-7).
constexpr DWORD kLockOffset = 8;
// A replace refused by another program's open handle is tried this often, this far apart.
constexpr int kReplaceAttempts = 20;
constexpr DWORD kReplaceRetryMs = 10;

std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
  return text;
}

// An environment variable as UTF-8; empty when unset.
std::string GetEnv(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};
    if (n < value.size()) {
      value.resize(n);
      return Narrow(value);
    }
    value.resize(n);  // n counts the terminating zero when the buffer was too small
  }
}

// A handle that closes itself.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~OwnedHandle() {
    if (Valid()) ::CloseHandle(h_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE Get() const { return h_; }
  bool Close() {
    const bool ok = !Valid() || ::CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

HANDLE OpenShared(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
  return ::CreateFileW(Widen(path).c_str(), access, kShareAll, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

uint64_t Combine(DWORD high, DWORD low) { return uint64_t{high} << 32 | low; }

// The identity fields of a file: volume and index (device and inode), size, last write.
void FillIdentity(const BY_HANDLE_FILE_INFORMATION& info, bool* exists, uint64_t* device,
                  uint64_t* inode, uint64_t* size, int64_t* mtimeNs) {
  *exists = true;
  *device = info.dwVolumeSerialNumber;
  *inode = Combine(info.nFileIndexHigh, info.nFileIndexLow);
  *size = Combine(info.nFileSizeHigh, info.nFileSizeLow);
  // 100 ns units since 1601; only compared for equality.
  *mtimeNs = static_cast<int64_t>(
      Combine(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime) * 100);
}

// The information of the file at path without opening it for reading (directories included).
bool StatPath(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  OwnedHandle h(OpenShared(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  return h.Valid() && ::GetFileInformationByHandle(h.Get(), info) != 0;
}

bool WriteAll(HANDLE h, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(h, text.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// Reads a whole file. Returns false when it exists but cannot be read; a missing file gives true
// with *exists false.
bool ReadFileAt(const std::string& path, std::string* text, bool* exists,
                BY_HANDLE_FILE_INFORMATION* info) {
  text->clear();
  *exists = false;
  OwnedHandle h(OpenShared(path, GENERIC_READ, OPEN_EXISTING));
  if (!h.Valid()) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  *exists = true;
  if (!::GetFileInformationByHandle(h.Get(), info) ||
      (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      Combine(info->nFileSizeHigh, info->nFileSizeLow) > kMaxFileSize) {
    return false;
  }
  char buffer[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.Get(), buffer, sizeof buffer, &n, nullptr)) return false;
    if (n == 0) return true;
    text->append(buffer, n);
    if (text->size() > kMaxFileSize) return false;
  }
}

bool MakeParentDirectories(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(Widen(path)).parent_path();
  if (parent.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  return std::filesystem::is_directory(parent, ec);
}

// Holds the writers' exclusive lock on the lock file for the life of the object.
class FileLock {
 public:
  explicit FileLock(const std::string& lockPath)
      : h_(OpenShared(lockPath, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS)) {
    if (h_ == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at{};
    at.Offset = kLockOffset;
    if (!::LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
      ::CloseHandle(h_);
      h_ = INVALID_HANDLE_VALUE;
    }
  }
  ~FileLock() {
    if (h_ == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at{};
    at.Offset = kLockOffset;
    ::UnlockFileEx(h_, 0, 1, 0, &at);
    ::CloseHandle(h_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Locked() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }

 private:
  HANDLE h_;
};

uint64_t ReadGeneration(HANDLE h) {
  uint64_t generation = 0;
  OVERLAPPED at{};  // offset 0, whatever the handle's position
  DWORD n = 0;
  if (h == INVALID_HANDLE_VALUE || !::ReadFile(h, &generation, sizeof generation, &n, &at) ||
      n != sizeof generation) {
    return 0;
  }
  return generation;
}

// The store keeps the lock file's read handle as a NativeHandle (generationFd_); -1 is
// INVALID_HANDLE_VALUE, which OpenShared returns on failure.
NativeHandle HandleToInt(HANDLE h) { return reinterpret_cast<NativeHandle>(h); }
HANDLE IntToHandle(NativeHandle value) { return reinterpret_cast<HANDLE>(value); }

// A new, unique temporary file beside path ("<path>.tmp.XXXXXX").
HANDLE CreateTempFile(const std::string& path, std::string* temp) {
  static std::atomic<uint32_t> counter{0};
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t seed = ::GetTickCount64() * 0x9E3779B97F4A7C15ull ^
                    uint64_t { ::GetCurrentProcessId() } << 20 ^ counter.fetch_add(1);
    std::string name = path + ".tmp.";
    for (int i = 0; i < 6; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      name.push_back(kChars[(seed >> 33) % (sizeof kChars - 1)]);
    }
    const HANDLE h = ::CreateFileW(Widen(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *temp = std::move(name);
      return h;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

bool MoveIntoPlace(const std::string& from, const std::string& to) {
  const std::wstring source = Widen(from);
  const std::wstring target = Widen(to);
  for (int attempt = 1;; ++attempt) {
    if (::MoveFileExW(source.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        attempt == kReplaceAttempts) {
      return false;
    }
    ::Sleep(kReplaceRetryMs);  // real time: another program's handle, not the engine's clock
  }
}

}  // namespace

RegistryStore& RegistryStore::Instance() {
  static RegistryStore* const store = new RegistryStore();
  return *store;
}

// The settings file, used only when TARSIO_REGISTRY names one (tests, a portable install);
// otherwise the settings are in the registry.
std::string RegistryStore::PathFromEnvironment() { return GetEnv(L"TARSIO_REGISTRY"); }

RegistryStore::SystemHive* RegistryStore::SystemHiveFromEnvironment() {
  // The current user's hive through RegistryHive; one object for the process, never destroyed
  // (the store outlives static destruction).
  class CurrentUserHive final : public SystemHive {
   public:
    std::optional<Value> Read(std::string_view key, std::string_view name) override {
      return RegistryHive::Read(key, name);
    }
    bool KeyExists(std::string_view key) override { return RegistryHive::KeyExists(key); }
    bool CanWrite() override { return RegistryHive::CanWrite("HKEY_CURRENT_USER\\Software"); }
    bool Write(std::string_view key, std::string_view name, const Value& value) override {
      return RegistryHive::Write(key, name, value);
    }
    std::string Name() const override { return "HKEY_CURRENT_USER"; }
  };
  static CurrentUserHive* const hive = new CurrentUserHive();
  return GetEnv(L"TARSIO_REGISTRY").empty() ? hive : nullptr;
}

void RegistryStore::CloseGenerationHandleLocked() {
  if (generationFd_ != -1) ::CloseHandle(IntToHandle(generationFd_));
  generationFd_ = -1;
}

RegistryStore::FileIdentity RegistryStore::CurrentIdentityLocked() {
  FileIdentity identity;
  if (generationFd_ == -1 && !lockPath_.empty()) {
    generationFd_ = HandleToInt(OpenShared(lockPath_, GENERIC_READ, OPEN_EXISTING));
  }
  // The generation first: a write completing after this read changes it again.
  identity.generation = ReadGeneration(IntToHandle(generationFd_));
  BY_HANDLE_FILE_INFORMATION info;
  if (!path_.empty() && StatPath(path_, &info)) {
    FillIdentity(info, &identity.exists, &identity.device, &identity.inode, &identity.size,
                 &identity.mtimeNs);
  }
  return identity;
}

bool RegistryStore::ReadWholeFile(const std::string& path, std::string* text, bool* exists,
                                  FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!ReadFileAt(path, text, exists, &info)) return false;
  if (*exists) {
    FillIdentity(info, &identity->exists, &identity->device, &identity->inode, &identity->size,
                 &identity->mtimeNs);
  }
  return true;
}

bool RegistryStore::ProbeWritableLocked() {
  // Checked at every write (a few system calls): the file may be replaced or its directory removed
  // at any time.
  if (path_.empty()) return false;
  const DWORD fileAttributes = ::GetFileAttributesW(Widen(path_).c_str());
  if (fileAttributes != INVALID_FILE_ATTRIBUTES) {
    // An existing file that cannot be read is never replaced.
    if ((fileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    OwnedHandle readable(OpenShared(path_, GENERIC_READ, OPEN_EXISTING));
    if (!readable.Valid()) return false;
  } else if (!MakeParentDirectories(path_)) {
    return false;
  }
  const DWORD lockAttributes = ::GetFileAttributesW(Widen(lockPath_).c_str());
  if (lockAttributes != INVALID_FILE_ATTRIBUTES && (lockAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return false;
  }
  // Opening it for reading and writing is the access check (and creates it when missing).
  OwnedHandle lockFile(OpenShared(lockPath_, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
  return lockFile.Valid();
}

bool RegistryStore::RewriteFile(const std::string& path,
                                const std::function<std::string(std::string_view)>& rewrite,
                                FileIdentity* identity) {
  if (!MakeParentDirectories(path)) return false;
  FileLock fileLock(path + ".lock");
  if (!fileLock.Locked()) return false;

  std::string text;
  bool exists = false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!ReadFileAt(path, &text, &exists, &info)) return false;  // never replace what we can't read
  const std::string output = rewrite(text);

  std::string temp;
  OwnedHandle tempFile(CreateTempFile(path, &temp));
  if (!tempFile.Valid()) return false;
  bool ok = WriteAll(tempFile.Get(), output) && ::FlushFileBuffers(tempFile.Get()) != 0;
  ok = tempFile.Close() && ok;
  if (ok) ok = MoveIntoPlace(temp, path);
  if (!ok) {
    ::DeleteFileW(Widen(temp).c_str());
    return false;
  }
  // Tell readers in other processes that the file changed, even if a new file happens to get the
  // old one's index, size and modification time.
  const uint64_t generation = ReadGeneration(fileLock.Get()) + 1;
  OVERLAPPED at{};  // offset 0
  DWORD n = 0;
  ::WriteFile(fileLock.Get(), &generation, sizeof generation, &n, &at);

  *identity = FileIdentity();
  identity->generation = generation;
  BY_HANDLE_FILE_INFORMATION now;
  if (StatPath(path, &now)) {
    FillIdentity(now, &identity->exists, &identity->device, &identity->inode, &identity->size,
                 &identity->mtimeNs);
  }
  return true;
}

}  // namespace tarsio
