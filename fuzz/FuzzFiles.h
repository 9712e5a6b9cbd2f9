// Files for the fuzz targets that never touch the file system: a file held in memory (memfd) and
// opened by path through /proc/self/fd, and a settings store that reads as empty and refuses
// every write, so that the engine's settings reads (trace levels, recorded codec names) leave no
// file behind, in /tmp or anywhere else.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tarsio::fuzz {

/// A file that lives in memory only: it disappears with its descriptor (at the latest when the
/// process ends, however it ends).
class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  /// Replaces the contents with size bytes of data.
  void Assign(const uint8_t* data, size_t size) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }
  /// A path that opens the file (a fresh descriptor of the same memory file).
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

/// Points the settings store at a path whose directory cannot exist or be made: reads find
/// nothing, writes are refused, and nothing is created.
inline void UseNoSettingsFile() {
  ::setenv("TARSIO_REGISTRY", "/proc/self/fdinfo/tarsio-fuzz/none.reg", 1);
}

}  // namespace tarsio::fuzz
