#include "platform/TraceSink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace tarsio {
namespace {

class TraceSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarsio-trace-XXXXXX").string();
    const int fd = mkstemp(tmpl.data());
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override {
    TraceSink::Close();
    std::filesystem::remove(path_);
  }
  std::string FileText() {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string path_;
};

TEST_F(TraceSinkTest, FileLinesAreFormattedAndNothingIsWrittenWhenOff) {
  TraceSink::Close();
  EXPECT_FALSE(TraceSink::Enabled());
  TraceSink::Write("AudioSink:1", 1, "dropped while off\n");

  ASSERT_TRUE(TraceSink::Open(path_));
  EXPECT_TRUE(TraceSink::Enabled());
  TraceSink::Write("AudioSink:1f2e", 0x4, "StartSinkThread\n");
  TraceSink::Write("X:0", 0x4, "no newline");
  uint32_t threadId = 0;
  Event done;
  auto thread = Thread::CreateSuspended([&] {
    TraceSink::Write("T:1", 0x1, "from a thread\n");
    done.Set();
    return 0u;
  });
  ASSERT_NE(thread, nullptr);
  threadId = thread->Id();
  thread->Resume();
  ASSERT_EQ(done.Wait(5000), WaitResult::kSignaled);
  TraceSink::Close();
  EXPECT_FALSE(TraceSink::Enabled());
  TraceSink::Write("AudioSink:1", 1, "dropped after close\n");

  const std::string text = FileText();
  const std::regex line(R"(\d\d:\d\d:\d\d\.\d\d\d \[(\d+)\] (\S+) (.*))");
  std::vector<std::tuple<std::string, std::string>> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    lines.emplace_back(m[2], m[3]);
    if (m[2] == "T:1") {
      EXPECT_EQ(std::stoul(m[1]), threadId);
    }
  }
  EXPECT_EQ(
      lines,
      (std::vector<std::tuple<std::string, std::string>>{
          {"AudioSink:1f2e", "StartSinkThread"}, {"X:0", "no newline"}, {"T:1", "from a thread"}}));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);  // newlines are never doubled
}

TEST_F(TraceSinkTest, RecorderGetsEveryStatementFromConcurrentThreads) {
  std::mutex m;
  std::vector<std::string> got;
  TraceSink::SetRecorder([&](const char* name, uint32_t bit, const std::string& text) {
    std::lock_guard<std::mutex> lock(m);
    got.push_back(std::string(name) + "|" + std::to_string(bit) + "|" + text);
  });
  EXPECT_TRUE(TraceSink::Enabled());
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([] {
      for (int i = 0; i < 100; ++i) TraceSink::Write("W:1", 0x8, "tick\n");
    });
  }
  for (auto& t : writers) t.join();
  TraceSink::SetRecorder(nullptr);
  EXPECT_FALSE(TraceSink::Enabled());
  TraceSink::Write("W:1", 0x8, "after\n");
  ASSERT_EQ(got.size(), 200u);
  for (const std::string& g : got) EXPECT_EQ(g, "W:1|8|tick\n");
}

TEST_F(TraceSinkTest, OpenTargets) {
  EXPECT_FALSE(TraceSink::Open("/nonexistent-dir/trace.txt"));
  EXPECT_FALSE(TraceSink::Enabled());
  EXPECT_TRUE(TraceSink::Open(""));
  EXPECT_FALSE(TraceSink::Enabled());
  EXPECT_TRUE(TraceSink::Open("stderr"));
  EXPECT_TRUE(TraceSink::Enabled());
  TraceSink::Close();
  EXPECT_FALSE(TraceSink::Enabled());
}

}  // namespace
}  // namespace tarsio
