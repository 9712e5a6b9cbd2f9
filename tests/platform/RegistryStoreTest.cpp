// The settings file and the store over it: the export text format, corrupt and missing files, the
// background writer, its stop, processes that exit with writes pending, and many threads and
// processes writing at once, under the writers' file lock of each system.
#include "platform/RegistryStore.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/RegistryFile.h"
#include "support/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/TempRegistry.h"

namespace tarsio {
namespace {

using Value = RegistryFile::Value;
constexpr const char* kKey = "HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0";

TEST(RegistryStoreTest, MissingUnreadableOrCorruptFiles) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  // Missing, in a directory not made yet: an empty registry; the first write makes both.
  {
    const std::string deeper = registry.Dir() + "/sub/registry.reg";
    testing::ScopedEnv elsewhere("TARSIO_REGISTRY", deeper.c_str());
    store.ReloadPathFromEnvironment();
    EXPECT_EQ(store.Read(kKey, "Keep"), std::nullopt);
    EXPECT_TRUE(store.CanWrite());
    EXPECT_TRUE(store.Write(kKey, "Keep", Value::Dword(1)) && store.Flush());
    EXPECT_TRUE(std::filesystem::is_regular_file(deeper));
  }
  store.ReloadPathFromEnvironment();
  // A directory in its place: nothing to read, writes refused, written behind or not.
  ASSERT_TRUE(std::filesystem::create_directory(registry.Path()));
  EXPECT_EQ(store.Read(kKey, "Keep"), std::nullopt);
  EXPECT_FALSE(store.CanWrite());
  EXPECT_FALSE(store.Write(kKey, "Keep", Value::Dword(1)));
  store.SetWriteBehind(false);
  EXPECT_FALSE(store.Write(kKey, "Keep", Value::Dword(1)));
  store.SetWriteBehind(true);
  ASSERT_TRUE(std::filesystem::remove(registry.Path()));
  // Corrupt: the lines that do not parse, and values of other types with their continuation
  // lines, are kept byte for byte when values are written; a CRLF file stays CRLF.
  const std::string junk = "\x01\x02 binary junk\r\n[unterminated section\r\n\"x\"=\"open\r\n";
  const std::string section = "[" + std::string(kKey) + "]\r\n\"Keep\"=dword:00000005\r\n" +
                              "\"Blob\"=hex:01,02,\\\r\n  03,04\r\n";
  std::ofstream(registry.Path(), std::ios::binary) << junk + section + "=== more junk ===";
  EXPECT_EQ(store.Read(kKey, "keep"), Value::Dword(5));
  ASSERT_TRUE(store.Write(kKey, "TxFIRFilter", Value::Dword(2)));
  EXPECT_EQ(registry.FileText(), "Windows Registry Editor Version 5.00\r\n\r\n" + junk + section +
                                     "\"TxFIRFilter\"=dword:00000002\r\n=== more junk ===\r\n");
}

TEST(RegistryStoreTest, BackgroundWriterIsSeenAtOnceAndLeavesTheExportFormatOnDisk) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  ASSERT_TRUE(store.WriteBehind());
  ASSERT_TRUE(store.Write(kKey, "Codec", Value::Dword(0x1F)));
  ASSERT_TRUE(store.Write(kKey, "Device", Value::String("file:C:\\in \"a\".wav")));
  EXPECT_TRUE(store.WriterRunning());
  EXPECT_EQ(store.Read(kKey, "codec"), Value::Dword(0x1F));
  // A default never replaces a value of its own type.
  ASSERT_TRUE(store.WriteDefault(kKey, "Codec", Value::Dword(0), 0));
  EXPECT_EQ(store.Read(kKey, "Codec"), Value::Dword(0x1F));
  ASSERT_TRUE(store.Flush());
  EXPECT_EQ(registry.FileText(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
            "\"Codec\"=dword:0000001f\n"
            "\"Device\"=\"file:C:\\\\in \\\"a\\\".wav\"\n");
  EXPECT_TRUE(std::filesystem::exists(registry.Path() + ".lock"));
  // A hand edit is picked up by the next read, escaped texts parsed back as they were written.
  std::string text = registry.FileText();
  std::ofstream(registry.Path(), std::ios::binary) << text.replace(text.find("1f"), 2, "2e");
  EXPECT_EQ(store.Read(kKey, "Codec"), Value::Dword(0x2E));
  EXPECT_EQ(store.Read(kKey, "Device"), Value::String("file:C:\\in \"a\".wav"));
}

// The file's bytes, read as the store reads them: on Windows with every sharing right, so that
// the reader never keeps a writer from replacing the file. Empty when the file cannot be opened.
std::string ReadText(const std::string& path) {
#ifdef _WIN32
  const HANDLE h = ::CreateFileW(std::filesystem::path(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string text;
  char chunk[4096];
  DWORD n = 0;
  while (h != INVALID_HANDLE_VALUE && ::ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    text.append(chunk, n);
  }
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  return text;
#else
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
#endif
}

// What the last terminal does when it is destroyed: StopWriter persists the pending writes and
// joins the writer. Writes made while a stop runs are persisted at once, so none is lost to a
// stop; the next write-behind write starts a new writer.
TEST(RegistryStoreTest, StopWriterPersistsJoinsAndTheNextWriteStartsAnother) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  ASSERT_TRUE(store.StopWriter());
  EXPECT_FALSE(store.WriterRunning());
  ASSERT_TRUE(store.Write(kKey, "First", Value::Dword(1)));
  EXPECT_TRUE(store.WriterRunning());
  ASSERT_TRUE(store.StopWriter());
  EXPECT_FALSE(store.WriterRunning());
  EXPECT_NE(ReadText(registry.Path()).find("\"First\"=dword:00000001"), std::string::npos);
  ASSERT_TRUE(store.Write(kKey, "Second", Value::Dword(2)));
  EXPECT_TRUE(store.WriterRunning());

  constexpr int kThreads = 3, kWrites = 20;
  std::atomic<bool> writing{true};
  std::thread stopper([&] {
    while (writing) store.StopWriter();
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&store, t] {
      for (int i = 0; i < kWrites; ++i) {
        store.Write(kKey, "W" + std::to_string(t) + "_" + std::to_string(i), Value::Dword(i));
      }
    });
  }
  for (auto& w : writers) w.join();
  writing = false;
  stopper.join();
  ASSERT_TRUE(store.StopWriter());
  const RegistryFile file = RegistryFile::Parse(ReadText(registry.Path()));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i) {
      const Value* v = file.Find(kKey, "W" + std::to_string(t) + "_" + std::to_string(i));
      EXPECT_TRUE(v != nullptr && v->dword == static_cast<uint32_t>(i)) << t << " " << i;
    }
  }
  EXPECT_FALSE(store.WriterRunning());
}

// The bodies of the processes started by SettingsOfAnExitingProcess: each writes through the
// background writer (a fresh process writes behind) and returns from main.
TARSIO_CHILD_BODY(WriteThenStopWriter) {
  RegistryStore& store = RegistryStore::Instance();
  if (store.Read(kKey, "FromParent") != Value::Dword(6)) return 4;
  if (!store.WriteBehind() || !store.Write(kKey, "Stopped", Value::Dword(7))) return 1;
  if (!store.WriterRunning()) return 2;
  return store.StopWriter() && !store.WriterRunning() ? 0 : 3;
}

TARSIO_CHILD_BODY(WriteAndLeaveItToTheWriter) {
  RegistryStore& store = RegistryStore::Instance();
  if (!store.Write(kKey, "Prompt", Value::Dword(8))) return 1;
  // Nobody flushes: the writer persists the write by itself, soon.
  for (int i = 0; i < 20000; ++i) {
    if (ReadText(store.Path()).find("\"Prompt\"=dword:00000008") != std::string::npos) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 2;
}

TARSIO_CHILD_BODY(WriteThenExitWhileTheFileIsLocked) {
  RegistryStore& store = RegistryStore::Instance();
  if (!store.Write(kKey, "Late", Value::Dword(9))) return 1;
  return store.Read(kKey, "Late") == Value::Dword(9) ? 0 : 2;  // seen at once in the process
}

// Holds the lock that the stores of all processes take to write the file: flock on Linux; on
// Windows a LockFileEx lock of byte 8, past the change counter that readers read meanwhile.
class WritersLock {
 public:
  explicit WritersLock(const std::string& lockPath) {
#ifdef _WIN32
    handle_ = ::CreateFileW(std::filesystem::path(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED at{};
    at.Offset = 8;
    locked_ = handle_ != INVALID_HANDLE_VALUE &&
              ::LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
#else
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX) == 0;
#endif
  }
  ~WritersLock() {
    Release();
#ifdef _WIN32
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
#else
    if (fd_ >= 0) ::close(fd_);
#endif
  }
  WritersLock(const WritersLock&) = delete;
  WritersLock& operator=(const WritersLock&) = delete;

  bool Locked() const { return locked_; }
  void Release() {
    if (!locked_.exchange(false)) return;
#ifdef _WIN32
    OVERLAPPED at{};
    at.Offset = 8;
    ::UnlockFileEx(handle_, 0, 1, 0, &at);
#else
    ::flock(fd_, LOCK_UN);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  int fd_ = -1;
#endif
  std::atomic<bool> locked_{false};
};

// Nothing of the store runs at process exit: the writes reach the file because the writer
// persists them promptly, or because the last terminal stopped the writer. A process whose writer
// is blocked (the file locked by another process) exits at once, leaving the write unwritten and
// the file whole, where an exit handler that joined or flushed would wait for the lock (on Windows
// under the loader lock, for ever).
TEST(RegistryStoreTest, SettingsOfAnExitingProcess) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  ASSERT_TRUE(store.Write(kKey, "FromParent", Value::Dword(6)) && store.Flush());
  const std::string env = "TARSIO_REGISTRY=" + registry.Path();
  ASSERT_EQ(testing::RunChildProcess("WriteThenStopWriter", env), 0);
  ASSERT_EQ(testing::RunChildProcess("WriteAndLeaveItToTheWriter", env), 0);
  EXPECT_EQ(store.Read(kKey, "Stopped"), Value::Dword(7));  // another process's write is seen
  const std::string before = ReadText(registry.Path());
  EXPECT_NE(before.find("\"Stopped\"=dword:00000007"), std::string::npos) << before;
  EXPECT_NE(before.find("\"Prompt\"=dword:00000008"), std::string::npos) << before;

  WritersLock lock(registry.Path() + ".lock");
  ASSERT_TRUE(lock.Locked());
  // Should the child wait for the lock after all, a generous real-time limit lets it go so that
  // the test fails instead of hanging.
  std::mutex m;
  std::condition_variable cv;
  bool childDone = false;
  std::atomic<bool> releasedByTimer{false};
  std::thread timer([&] {
    std::unique_lock<std::mutex> lk(m);
    if (!cv.wait_for(lk, std::chrono::seconds(30), [&] { return childDone; })) {
      releasedByTimer = true;
      lock.Release();
    }
  });
  const int code = testing::RunChildProcess("WriteThenExitWhileTheFileIsLocked", env);
  {
    std::lock_guard<std::mutex> lk(m);
    childDone = true;
  }
  cv.notify_all();
  timer.join();
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(releasedByTimer.load()) << "the exit waited for the blocked writer";
  EXPECT_EQ(ReadText(registry.Path()), before);
}

std::string Name(int thread, int value) {
  return "T" + std::to_string(thread) + "V" + std::to_string(value);
}

// Counts a value up by reading it and writing it back, kIncrements times. A write that cannot
// reach the disk at once (on Windows a file open in another process cannot be replaced for the
// moment) stays pending, seen by the next read and persisted with the next write: only the final
// Flush must succeed.
constexpr int kIncrements = 15;
bool CountUp(const std::string& name) {
  RegistryStore& store = RegistryStore::Instance();
  for (int i = 0; i < kIncrements; ++i) {
    const auto now = store.Read(kKey, name);
    store.Write(kKey, name, Value::Dword((now ? now->dword : 0) + 1));
  }
  return store.Flush();
}

TARSIO_CHILD_BODY(CountUpSynchronously) {
  RegistryStore::Instance().SetWriteBehind(false);
  const char* name = std::getenv("TARSIO_TEST_COUNTER");
  return name != nullptr && CountUp(name) ? 0 : 1;
}

// Starts CountUp(name) in another process whose writes are synchronous, and gives the wait for
// its exit code: a forked child on Linux (this process's writer thread may be busy at the fork),
// a fresh process on Windows.
std::function<int()> CountUpInAChild(const std::string& name) {
#ifdef _WIN32
  auto code =
      std::async(std::launch::async, [name] {
        return testing::RunChildProcess("CountUpSynchronously", "TARSIO_TEST_COUNTER=" + name);
      }).share();
  return [code] { return code.get(); };
#else
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(CountUp(name) ? 0 : 1);
  return [pid] {
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                             : -1;
  };
#endif
}

TEST(RegistryStoreTest, ProcessesAndThreadsWritingAtOnceLoseNoUpdate) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  ASSERT_TRUE(store.Write(kKey, "Start", Value::Dword(1)));
  ASSERT_TRUE(store.Flush());
  constexpr int kChildren = 3, kThreads = 3, kWrites = 200;
  // Child processes each count up a value of their own; a lost update shows as a count short of
  // kIncrements.
  std::vector<std::function<int()>> children;
  for (int c = 0; c < kChildren; ++c)
    children.push_back(CountUpInAChild("Counter" + std::to_string(c)));
  // Meanwhile threads of this process write through the background writer, and a reader checks
  // that the file on disk is always whole.
  std::atomic<bool> writing{true};
  std::atomic<int> tornReads{0};
  std::thread reader([&] {
    while (writing) {
      const std::string text = ReadText(registry.Path());
      if (text.empty() || text.back() != '\n' || RegistryFile::Parse(text).UnparsedLineCount() != 0)
        ++tornReads;
#ifdef _WIN32
      // A file open anywhere cannot be replaced (the writer retries for a while): leave it closed
      // most of the time.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
#endif
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < kWrites; ++i) store.Write(kKey, Name(t, i % 50), Value::Dword(i));
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& child : children) EXPECT_EQ(child(), 0);
  ASSERT_TRUE(store.Flush());
  writing = false;
  reader.join();
  EXPECT_EQ(tornReads.load(), 0);

  const RegistryFile file = RegistryFile::Parse(registry.FileText());
  auto onDisk = [&](const std::string& name) {
    const Value* value = file.Find(kKey, name);
    return value != nullptr ? int64_t{value->dword} : -1;
  };
  for (int c = 0; c < kChildren; ++c) EXPECT_EQ(onDisk("Counter" + std::to_string(c)), kIncrements);
  for (int t = 0; t < kThreads; ++t) {
    for (int v = 0; v < 50; ++v) EXPECT_EQ(onDisk(Name(t, v)), kWrites - 50 + v);
  }
  // Only the file and its lock file remain: no temporary file left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(registry.Dir()), {}), 2);
}

}  // namespace
}  // namespace tarsio
