// The flood guard of the receiver's host-log entries, on a clock that moves only when told.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Clock.h"
#include "rtp/HostLogThrottle.h"
#include "support/FakeClock.h"
#include "support/RecordingHostLog.h"

namespace tarsio {
namespace {

using Texts = std::vector<std::string>;

TEST(HostLogThrottle, EveryWindowStartsWithTheEntryAndSummariesNameTheirCodes) {
  testing::FakeClock clock;
  ScopedClock useClock(clock);
  testing::RecordingHostLog log;
  testing::ScopedHostLog useLog(&log);
  HostLogThrottle throttle("E: held back=", 2, ", code=");
  auto entry = [&throttle](int code) {
    throttle.Log([code] { HostLogWriter::WithNumber("E: code=", code); }, code);
  };
  // Window 1: two entries pass, three are held back under two codes.
  for (int code : {5, 5, 5, 7, 5}) entry(code);
  EXPECT_EQ(throttle.Suppressed(), 3);
  EXPECT_EQ((Texts{"E: code=5", "E: code=5"}), log.Entries());
  // Window 2: its first entry comes first, then one summary per code held back.
  clock.AdvanceMs(HostLogThrottle::kWindowMs);
  entry(9);
  EXPECT_EQ((Texts{"E: code=5", "E: code=5", "E: code=9", "E: held back=2, code=5",
                   "E: held back=1, code=7"}),
            log.Entries());
  // Flush writes what is owed and nothing when nothing is.
  entry(9);
  entry(9);
  log.Clear();
  throttle.Flush();
  throttle.Flush();
  EXPECT_EQ((Texts{"E: held back=1, code=9"}), log.Entries());
  EXPECT_EQ(throttle.Suppressed(), 0);

  // Without a code label the summary is the label and the count.
  HostLogThrottle plain("P: held back=", 1);
  log.Clear();
  for (int i = 0; i < 3; ++i) plain.Log([] { HostLogWriter::Plain("P"); });
  clock.AdvanceMs(HostLogThrottle::kWindowMs + 1);
  plain.Log([] { HostLogWriter::Plain("P"); });
  EXPECT_EQ((Texts{"P", "P", "P: held back=2"}), log.Entries());
}

}  // namespace
}  // namespace tarsio
