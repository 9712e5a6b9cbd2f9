#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/RealClock.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using testing::FakeClock;

TEST(ClockTest, InstallAndScopedClockRestoreTheRealClock) {
  EXPECT_EQ(&Clock::Current(), &RealClock::Instance());
  FakeClock outer(5);
  {
    ScopedClock a(outer);
    EXPECT_EQ(&Clock::Current(), &outer);
    EXPECT_EQ(TickCount(), 5u);
    FakeClock inner(7);
    {
      ScopedClock b(inner);
      EXPECT_EQ(TickCount(), 7u);
    }
    EXPECT_EQ(&Clock::Current(), &outer);
  }
  EXPECT_EQ(&Clock::Current(), &RealClock::Instance());
  EXPECT_EQ(Clock::Install(nullptr), &RealClock::Instance());
}

TEST(ClockTest, TickCountWrapsAt32BitsAndDifferencesStayRight) {
  FakeClock clock((uint64_t{1} << 32) - 10);
  ScopedClock scoped(clock);
  const uint32_t before = TickCount();
  EXPECT_EQ(before, 0xFFFFFFF6u);
  clock.AdvanceMs(9);
  EXPECT_EQ(TickCount(), 0xFFFFFFFFu);
  clock.AdvanceMs(1);
  EXPECT_EQ(TickCount(), 0u);
  clock.AdvanceMs(10);
  const uint32_t after = TickCount();
  EXPECT_EQ(after, 10u);
  EXPECT_EQ(static_cast<uint32_t>(after - before), 20u);  // unsigned elapsed time survives the wrap
  EXPECT_EQ(clock.NowMs(), (uint64_t{1} << 32) + 10);     // the 64-bit time never goes back
}

TEST(ClockTest, FakeSleepAcrossTheWrapEndsAtItsDeadline) {
  FakeClock clock((uint64_t{1} << 32) - 50);
  ScopedClock scoped(clock);
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    SleepMs(100);
    done.store(true);
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(99);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  EXPECT_EQ(clock.Sleepers(), 1);
  clock.AdvanceMs(1);
  sleeper.join();
  EXPECT_EQ(clock.Sleepers(), 0);
  EXPECT_EQ(TickCount(), 50u);
}

TEST(ClockTest, WaitForSleepersGivesUpAfterItsRealTimeCap) {
  FakeClock clock;
  EXPECT_FALSE(clock.WaitForSleepers(1, 20));
  EXPECT_TRUE(clock.WaitForSleepers(0, 20));
}

TEST(ClockTest, RealClockSleepsAndIsMonotonic) {
  RealClock& clock = RealClock::Instance();
  const uint64_t start = clock.NowMs();
  clock.SleepMs(20);
  const uint64_t end = clock.NowMs();
  EXPECT_GE(end - start, 19u);
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lk(m);
  EXPECT_FALSE(clock.WaitFor(cv, lk, 10, [] { return false; }));
  EXPECT_TRUE(clock.WaitFor(cv, lk, kInfinite, [] { return true; }));
  EXPECT_TRUE(lk.owns_lock());
}

}  // namespace
}  // namespace tarsio
