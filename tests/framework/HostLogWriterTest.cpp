// The host log entries' call sequences, a null or replaced host log, and the small helpers that
// format text: exception messages, instance names, trace statements.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/Exception.h"
#include "framework/HostLogWriter.h"
#include "framework/Tracer.h"
#include "support/RecordingHostLog.h"

namespace tarsio {
namespace {

using testing::RecordingHostLog;
using testing::ScopedHostLog;
using Calls = std::vector<std::string>;

TEST(HostLogWriter, EntriesAreBracketedCallSequences) {
  RecordingHostLog log;
  ScopedHostLog useLog(&log);

  HostLogWriter::Plain("AudioSink::StartSink (1)");
  EXPECT_EQ((Calls{"Lock", "Write:AudioSink::StartSink (1)", "EndLine", "Unlock"}), log.Calls());

  const std::pair<int64_t, std::string> numbers[] = {
      {-20, "-20"}, {0, "0"}, {10040, "10040"}, {INT64_MIN, "-9223372036854775808"}};
  for (const auto& [number, text] : numbers) {
    log.Clear();
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (2), result=", number);
    EXPECT_EQ((Calls{"Lock", "Write:COrbeMediaTerm::StartTX (2), result=", "Write:" + text,
                     "MarkEntry", "EndLine", "Unlock"}),
              log.Calls());
    EXPECT_EQ(Calls{"COrbeMediaTerm::StartTX (2), result=" + text}, log.Entries());
  }

  log.Clear();
  {
    HostLogWriter::Entry report;
    report.Write("bytes sent = ");
    report.WriteNumber(123);
    report.MarkEntry();
    report.EndLine();
    report.Write("second");
    report.EndLine();
  }
  EXPECT_EQ((Calls{"Lock", "Write:bytes sent = ", "Write:123", "MarkEntry", "EndLine",
                   "Write:second", "EndLine", "Unlock"}),
            log.Calls());
  EXPECT_EQ((Calls{"bytes sent = 123", "second"}), log.Entries());
}

TEST(HostLogWriter, NullLogDropsEverythingAndReplacementRedirects) {
  RecordingHostLog first, second;
  {
    ScopedHostLog none(nullptr);
    HostLogWriter::Plain("dropped");
    HostLogWriter::WithNumber("dropped=", 1);
  }
  {
    ScopedHostLog useFirst(&first);
    HostLogWriter::Plain("one");
    HostLogWriter::SetCurrent(&second);
    HostLogWriter::Plain("two");
    // Cleared in the middle of an entry: the rest of that entry is skipped, even if a log
    // comes back before it ends.
    HostLogWriter::Entry entry;
    entry.Write("a");
    HostLogWriter::SetCurrent(nullptr);
    entry.Write("b");
    HostLogWriter::SetCurrent(&second);
    entry.EndLine();
  }
  EXPECT_EQ(Calls{"one"}, first.Entries());
  EXPECT_EQ((Calls{"Lock", "Write:one", "EndLine", "Unlock"}), first.Calls());
  EXPECT_EQ((Calls{"Lock", "Write:two", "EndLine", "Unlock", "Lock", "Write:a"}), second.Calls());
  EXPECT_EQ(nullptr, HostLogWriter::Current());
}

TEST(TextHelpers, ExceptionsInstanceNamesAndTraceStatements) {
  const Exception e(-30, "RTPPacket: %s %d", "bad", 7);
  EXPECT_EQ(-30, e.GetCode());
  EXPECT_STREQ("RTPPacket: bad 7", e.what());
  const std::string longText(700, 'x');
  const Exception cut(-1, "%s", longText.c_str());
  EXPECT_EQ(std::string(511, 'x'), cut.GetMessage());

  Tracer tracer;
  EXPECT_EQ(0u, tracer.Level());
  tracer.SetInstanceName(std::string(80, 'n').c_str());
  EXPECT_EQ(std::string(63, 'n'), tracer.InstanceName());
  int object = 0;
  tracer.SetInstanceName("PCMMixer", &object);
  char expected[64];
  std::snprintf(expected, sizeof expected, "PCMMixer:%lx",
                reinterpret_cast<unsigned long>(&object));
  EXPECT_STREQ(expected, tracer.InstanceName());

  // Statements reach the sink only for the bits of the component's level.
  std::vector<std::string> seen;
  TraceSink::SetRecorder([&](const char* name, uint32_t bit, const std::string& text) {
    seen.push_back(std::string(name) + "|" + std::to_string(bit) + "|" + text);
  });
  tracer.SetLevel(trace::kEntry | trace::kError);
  TRACE(tracer, trace::kEntry, "~StartSinkThread : returning %d\n", -40);
  TRACE(tracer, trace::kDetail, "dropped\n");
  TraceAudioFormat(tracer, trace::kError, MakeAudioFormat(5));
  TraceSink::SetRecorder(nullptr);
  EXPECT_EQ((std::vector<std::string>{
                std::string(expected) + "|1048576|~StartSinkThread : returning -40\n",
                std::string(expected) +
                    "|65536|WAVEFORMATEX wFormatTag=1, nAvgBytesPerSec=16000, "
                    "nSamplesPerSec=8000, wBitsPerSample=16, nChannels=1, nBlockAlign=2, "
                    "cbSize=0\n"}),
            seen);
}

}  // namespace
}  // namespace tarsio
