#include "platform/RegistryStore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/RegistryFile.h"
#include "support/TempRegistry.h"

namespace tarsio {
namespace {

using Value = RegistryFile::Value;
constexpr const char* kKey = "HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0";

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

constexpr const char* kChildVariable = "TARSIO_STORE_CHILD";
constexpr int kSyncIncrements = 15;  // each a full locked read-modify-write with fsync
constexpr int kBehindWrites = 200;   // batched by the child's writer thread, stored at exit

// Starts this test program again as a separate process that runs only the child test below.
pid_t SpawnChild(int index) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back(std::string(kChildVariable) + "=" + std::to_string(index));
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string exe = "/proc/self/exe";
  std::string filter = "--gtest_filter=RegistryStoreTest.DISABLED_ChildProcessWrites";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {exe.data(), filter.data(), disabled.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(RegistryFileTest, ParsesExportTextAndWritesBackUnchangedLinesByteForByte) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\r\n"
      "\"ForceVADOff\"=\"false\"\r\n"
      "\"TxFIRFilter\"=dword:0000000A\r\n"
      "\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"
      "@=\"unnamed\"\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "this line is garbage\r\n"
      "\"Bad\"=dword:123456789\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Almagre\\Vela\\Tracing]\r\n"
      "\"AllComponents\"=dword:00000000\r\n";
  RegistryFile file = RegistryFile::Parse(text);
  EXPECT_EQ(file.Serialize(), text);
  EXPECT_EQ(file.UnparsedLineCount(), 2u);

  // Lookups ignore letter case in key and name.
  const Value* fir =
      file.Find("hkey_current_user\\SOFTWARE\\almagre\\orbemediaterm\\1.0", "txfirfilter");
  ASSERT_NE(fir, nullptr);
  EXPECT_EQ(*fir, Value::Dword(10));
  EXPECT_EQ(*file.Find(kKey, "Path"), Value::String("C:\\dir\\\"q\""));
  EXPECT_EQ(*file.Find(kKey, ""), Value::String("unnamed"));
  EXPECT_EQ(file.Find(kKey, "Blob")->type, Value::Type::kOther);
  EXPECT_EQ(file.Find(kKey, "Bad"), nullptr);
  EXPECT_TRUE(file.HasKey("HKEY_CURRENT_USER\\Software\\Almagre"));
  EXPECT_FALSE(file.HasKey("HKEY_CURRENT_USER\\Software\\Alm"));

  // Replacing the opaque value drops its continuation line; a new value goes after the section's
  // last value; everything else stays as it was.
  ASSERT_TRUE(file.Set(kKey, "BLOB", Value::Dword(7)));
  ASSERT_TRUE(file.Set(kKey, "New", Value::String("a\"b")));
  ASSERT_TRUE(file.Set("HKEY_CURRENT_USER\\Other", "X", Value::Dword(0xFFFFFFFFu)));
  EXPECT_FALSE(file.Set(kKey, "Broken", Value::String("two\nlines")));
  const std::string expected =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\r\n"
      "\"ForceVADOff\"=\"false\"\r\n"
      "\"TxFIRFilter\"=dword:0000000A\r\n"
      "\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"
      "@=\"unnamed\"\r\n"
      "\"Blob\"=dword:00000007\r\n"
      "\"New\"=\"a\\\"b\"\r\n"
      "this line is garbage\r\n"
      "\"Bad\"=dword:123456789\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Almagre\\Vela\\Tracing]\r\n"
      "\"AllComponents\"=dword:00000000\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Other]\r\n"
      "\"X\"=dword:ffffffff\r\n";
  EXPECT_EQ(file.Serialize(), expected);
  EXPECT_EQ(RegistryFile::Parse(expected).Serialize(), expected);
}

TEST(RegistryFileTest, EmptyTextGetsHeaderAndLastDuplicateWins) {
  RegistryFile file = RegistryFile::Parse("");
  ASSERT_TRUE(file.Set(kKey, "A", Value::Dword(1)));
  EXPECT_EQ(file.Serialize(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
            "\"A\"=dword:00000001\n");

  RegistryFile dup = RegistryFile::Parse(
      "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:1\n[hkey_current_user\\k]\n\"V\"=dword:2\n");
  EXPECT_EQ(*dup.Find("HKEY_CURRENT_USER\\K", "v"), Value::Dword(2));
  ASSERT_TRUE(dup.Set("HKEY_CURRENT_USER\\K", "v", Value::Dword(3)));
  EXPECT_EQ(
      dup.Serialize(),
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:1\n[hkey_current_user\\k]\n\"V\"=dword:00000003\n");
  // Values after a deletion section belong to no key.
  RegistryFile deleted = RegistryFile::Parse("[-HKEY_CURRENT_USER\\K]\n\"v\"=dword:1\n");
  EXPECT_EQ(deleted.Find("HKEY_CURRENT_USER\\K", "v"), nullptr);
  EXPECT_EQ(deleted.UnparsedLineCount(), 2u);
}

TEST(RegistryStoreTest, CorruptFileKeepsItsUnparsedLinesWhenValuesAreWritten) {
  testing::TempRegistry registry;
  const std::string garbage =
      "\x01\x02 binary junk\n"
      "[unterminated section\n"
      "\"x\"=\"unterminated\n"
      "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
      "\"Keep\"=dword:00000005\n"
      "=== more junk ===";
  WriteText(registry.Path(), garbage);
  RegistryStore& store = RegistryStore::Instance();
  EXPECT_EQ(store.Read(kKey, "keep"), Value::Dword(5));
  ASSERT_TRUE(store.Write(kKey, "TxFIRFilter", Value::Dword(2)));
  ASSERT_TRUE(store.Flush());
  const std::string text = registry.FileText();
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n\n"
            "\x01\x02 binary junk\n"
            "[unterminated section\n"
            "\"x\"=\"unterminated\n"
            "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
            "\"Keep\"=dword:00000005\n"
            "\"TxFIRFilter\"=dword:00000002\n"
            "=== more junk ===\n");
}

TEST(RegistryStoreTest, MissingUnreadableOrUnwritableFilesNeverCrash) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  // Missing file: empty registry, writable (the file is created on first write).
  EXPECT_EQ(store.Read(kKey, "A"), std::nullopt);
  EXPECT_TRUE(store.CanWrite());

  // The path is a directory: reads as empty, writes refused.
  ASSERT_EQ(::mkdir(registry.Path().c_str(), 0755), 0);
  EXPECT_EQ(store.Read(kKey, "A"), std::nullopt);
  EXPECT_FALSE(store.KeyExists(kKey));
  EXPECT_FALSE(store.Write(kKey, "A", Value::Dword(1)));
  ASSERT_EQ(::rmdir(registry.Path().c_str()), 0);

  // The directory cannot be made (its parent is a file).
  const std::string file = registry.Dir() + "/plainfile";
  WriteText(file, "x");
  ::setenv("TARSIO_REGISTRY", (file + "/sub/registry.reg").c_str(), 1);
  store.ReloadPathFromEnvironment();
  EXPECT_FALSE(store.CanWrite());
  EXPECT_FALSE(store.Write(kKey, "A", Value::Dword(1)));
  EXPECT_EQ(store.Read(kKey, "A"), std::nullopt);
  ::setenv("TARSIO_REGISTRY", registry.Path().c_str(), 1);
  store.ReloadPathFromEnvironment();
  EXPECT_TRUE(store.Write(kKey, "A", Value::Dword(1)));
  EXPECT_TRUE(store.Flush());
}

TEST(RegistryStoreTest, WriteBehindIsVisibleAtOnceAndHandEditsAreSeen) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  ASSERT_TRUE(store.WriteBehind());
  ASSERT_TRUE(store.Write(kKey, "Codec", Value::Dword(8)));
  EXPECT_EQ(store.Read(kKey, "codec"), Value::Dword(8));
  // A default never replaces a value of its type; it replaces one of another type.
  ASSERT_TRUE(store.WriteDefault(kKey, "Codec", Value::Dword(0), 0));
  EXPECT_EQ(store.Read(kKey, "Codec"), Value::Dword(8));
  ASSERT_TRUE(store.WriteDefault(kKey, "Codec", Value::String("x"), 1000));
  EXPECT_EQ(store.Read(kKey, "Codec"), Value::String("x"));
  ASSERT_TRUE(store.Flush());
  EXPECT_NE(registry.FileText().find("\"Codec\"=\"x\"\n"), std::string::npos);

  // A hand edit (same size, in place) is picked up by the next read.
  std::string text = registry.FileText();
  text.replace(text.find("\"x\""), 3, "\"y\"");
  WriteText(registry.Path(), text);
  EXPECT_EQ(store.Read(kKey, "Codec"), Value::String("y"));
  EXPECT_TRUE(store.KeyExists("HKEY_CURRENT_USER\\software\\ALMAGRE"));
}

TEST(RegistryStoreTest, ThreadsWritingDistinctValuesLoseNothing) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  constexpr int kThreads = 4;
  constexpr int kWrites = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = "T" + std::to_string(t) + "V" + std::to_string(i % 50);
        store.Write(kKey, name, Value::Dword(static_cast<uint32_t>(i)));
        store.Read(kKey, name);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(store.Flush());
  const RegistryFile file = RegistryFile::Parse(registry.FileText());
  for (int t = 0; t < kThreads; ++t) {
    for (int v = 0; v < 50; ++v) {
      const Value* value = file.Find(kKey, "T" + std::to_string(t) + "V" + std::to_string(v));
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(*value, Value::Dword(static_cast<uint32_t>(kWrites - 50 + v)));
    }
  }
}

TEST(RegistryStoreTest, ProcessesWritingAtOnceLoseNoUpdate) {
  testing::TempRegistry registry;
  RegistryStore& store = RegistryStore::Instance();
  ASSERT_TRUE(store.Write(kKey, "Shared", Value::Dword(0)));
  ASSERT_TRUE(store.Flush());

  constexpr int kChildren = 4;
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) children.push_back(SpawnChild(c));
  // Meanwhile this process keeps writing too.
  for (int i = 1; i <= 100; ++i)
    store.Write(kKey, "Shared", Value::Dword(static_cast<uint32_t>(i)));
  for (pid_t pid : children) EXPECT_EQ(WaitExit(pid), 0);
  ASSERT_TRUE(store.Flush());

  // Another process's writes are seen by this process's reads.
  for (int c = 0; c < kChildren; ++c) {
    EXPECT_EQ(store.Read(kKey, "Counter" + std::to_string(c)), Value::Dword(kSyncIncrements));
  }
  const RegistryFile file = RegistryFile::Parse(registry.FileText());
  EXPECT_EQ(file.UnparsedLineCount(), 0u);
  EXPECT_EQ(*file.Find(kKey, "Shared"), Value::Dword(100));
  for (int c = 0; c < kChildren; ++c) {
    EXPECT_EQ(*file.Find(kKey, "Counter" + std::to_string(c)), Value::Dword(kSyncIncrements));
    for (int i = 0; i < kBehindWrites; ++i) {
      const Value* value = file.Find(kKey, "C" + std::to_string(c) + "N" + std::to_string(i));
      ASSERT_NE(value, nullptr) << c << " " << i;
      EXPECT_EQ(*value, Value::Dword(static_cast<uint32_t>(i)));
    }
  }
  // No temporary file is left behind.
  struct stat st;
  EXPECT_EQ(::stat((registry.Path() + ".lock").c_str(), &st), 0);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(registry.Dir())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2);  // registry.reg and registry.reg.lock
}

// The body of the processes started by ProcessesWritingAtOnceLoseNoUpdate (run only there).
TEST(RegistryStoreTest, DISABLED_ChildProcessWrites) {
  const char* role = std::getenv(kChildVariable);
  if (role == nullptr) GTEST_SKIP() << "runs as a child process of another test";
  const int c = std::atoi(role);
  RegistryStore& child = RegistryStore::Instance();
  const std::string counter = "Counter" + std::to_string(c);
  child.SetWriteBehind(false);
  for (int i = 0; i < kSyncIncrements; ++i) {
    const std::optional<Value> now = child.Read(kKey, counter);
    const uint32_t next = (now ? now->dword : 0) + 1;
    ASSERT_TRUE(child.Write(kKey, counter, Value::Dword(next)));
  }
  child.SetWriteBehind(true);
  for (int i = 0; i < kBehindWrites; ++i) {
    const std::string name = "C" + std::to_string(c) + "N" + std::to_string(i);
    ASSERT_TRUE(child.Write(kKey, name, Value::Dword(static_cast<uint32_t>(i))));
  }
  // No Flush: the exit path stores the pending writes.
}

}  // namespace
}  // namespace tarsio
