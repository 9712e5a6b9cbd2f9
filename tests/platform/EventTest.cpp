#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/FakeClock.h"

namespace tarsio {
namespace {

using testing::FakeClock;

// Polls cond in real time; true once it holds, false after a generous cap.
template <typename Cond>
bool Eventually(Cond cond, int capMs = 5000) {
  const auto cap = std::chrono::steady_clock::now() + std::chrono::milliseconds(capMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= cap) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
  FakeClock clock;
  ScopedClock scoped(clock);
  Event event(Event::Reset::kAuto);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(event.Wait(kInfinite), WaitResult::kSignaled);
      woken.fetch_add(1);
    });
  }
  ASSERT_TRUE(clock.WaitForSleepers(4));
  for (int round = 1; round <= 4; ++round) {
    event.Set();
    ASSERT_TRUE(Eventually([&] { return woken.load() == round; })) << "round " << round;
    // The one released waiter consumed the signal, so nobody else can wake on it.
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(clock.Sleepers(), 4 - round);
    EXPECT_EQ(woken.load(), round);
  }
  for (auto& t : waiters) t.join();
}

TEST(EventTest, ManualResetReleasesAllWaitersAndStaysSignalled) {
  FakeClock clock;
  ScopedClock scoped(clock);
  Event event(Event::Reset::kManual);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(event.Wait(15000), WaitResult::kSignaled);
      woken.fetch_add(1);
    });
  }
  ASSERT_TRUE(clock.WaitForSleepers(4));
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  event.ResetEvent();
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

TEST(EventTest, InitialStateAndZeroWait) {
  struct Case {
    Event::Reset mode;
    bool initial;
    WaitResult first, second;
  };
  const Case cases[] = {
      {Event::Reset::kAuto, false, WaitResult::kTimeout, WaitResult::kTimeout},
      {Event::Reset::kAuto, true, WaitResult::kSignaled, WaitResult::kTimeout},
      {Event::Reset::kManual, false, WaitResult::kTimeout, WaitResult::kTimeout},
      {Event::Reset::kManual, true, WaitResult::kSignaled, WaitResult::kSignaled},
  };
  for (const Case& c : cases) {
    Event event(c.mode, c.initial);
    EXPECT_EQ(event.Wait(0), c.first);
    EXPECT_EQ(event.Wait(0), c.second);
  }
  // Setting twice before anyone waits still gives one signal (events do not count).
  Event event(Event::Reset::kAuto);
  event.Set();
  event.Set();
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

TEST(EventTest, TimedWaitEndsOnlyWhenFakeTimePassesTheDeadline) {
  FakeClock clock;
  ScopedClock scoped(clock);
  Event event;
  std::atomic<bool> done{false};
  WaitResult result = WaitResult::kFailed;
  std::thread waiter([&] {
    result = event.Wait(15000);
    done.store(true);
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(14999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // several polls of the waiter
  EXPECT_FALSE(done.load());
  clock.AdvanceMs(1);
  waiter.join();
  EXPECT_EQ(result, WaitResult::kTimeout);

  // A signal before the deadline wins, and the time-out leaves the event untouched.
  std::thread signalled([&] { result = event.Wait(15000); });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(10000);
  event.Set();
  signalled.join();
  EXPECT_EQ(result, WaitResult::kSignaled);
  EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, InfiniteWaitIgnoresTimeAndEndsOnSignal) {
  FakeClock clock(0xFFFFFFFFull - 10);
  ScopedClock scoped(clock);
  Event event;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_EQ(event.Wait(kInfinite), WaitResult::kSignaled);
    done.store(true);
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.AdvanceMs(uint64_t{1} << 40);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  event.Set();
  waiter.join();
}

TEST(EventTest, RealClockTimeoutAndCrossThreadSignal) {
  Event event;
  const uint64_t start = Clock::Current().NowMs();
  EXPECT_EQ(event.Wait(30), WaitResult::kTimeout);
  EXPECT_GE(Clock::Current().NowMs() - start, 29u);

  std::thread setter([&] { event.Set(); });
  EXPECT_EQ(event.Wait(kInfinite), WaitResult::kSignaled);
  setter.join();
}

}  // namespace
}  // namespace tarsio
