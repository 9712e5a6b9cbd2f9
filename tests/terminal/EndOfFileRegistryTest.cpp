// End-of-file notifications: one owned notifier thread serves the queue of every registered owner
// in order, owners close in any order, no hook runs on an owner once its Close returned, and the
// notifier is joined when the last owner leaves.
#include "terminal/EndOfFileRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;

template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 10000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

// Records the notifications one owner's hook receives and the threads it runs on.
struct Recorder {
  void Add(uint32_t id, bool isReceive) {
    std::lock_guard<std::mutex> lock(mutex);
    got.emplace_back(id, isReceive);
    threads.insert(CurrentThreadId());
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return got.size();
  }
  EndOfFileRegistry::Hook AsHook() {
    return [this](uint32_t id, bool isReceive) { Add(id, isReceive); };
  }
  std::mutex mutex;
  std::vector<std::pair<uint32_t, bool>> got;
  std::set<uint32_t> threads;
};

TEST(EndOfFileRegistryTest, TwoOwnersGetTheirOwnNotificationsInOrderFromOneOwnedThread) {
  ASSERT_EQ(Thread::ReapFinished(10000), 0);
  const int base = Thread::LiveCount();
  Recorder a, b;
  ASSERT_TRUE(EndOfFileRegistry::Open(&a, a.AsHook()));
  ASSERT_TRUE(EndOfFileRegistry::Open(&b, b.AsHook()));
  EXPECT_EQ(EndOfFileRegistry::OwnerCount(), 2);
  EXPECT_EQ(Thread::LiveCount(), base + 1);  // the notifier

  // Producers on several threads; ids of producer p are p * kEach + i, odd i to a, even to b.
  constexpr int kProducers = 4, kEach = 500;
  std::atomic<int> maxLive{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        Recorder* owner = i % 2 != 0 ? &a : &b;
        EXPECT_TRUE(EndOfFileRegistry::Notify(owner, uint32_t(p * kEach + i), i % 3 == 0));
        if (i % 25 == 0) {
          const int live = Thread::LiveCount();
          for (int seen = maxLive.load();
               live > seen && !maxLive.compare_exchange_weak(seen, live);) {
          }
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(Eventually([&] { return a.Count() + b.Count() == size_t{kProducers * kEach}; }));
  EXPECT_LE(maxLive.load(), base + 1) << "notifications started threads";
  EXPECT_EQ(EndOfFileRegistry::RunningCount(), 0);
  for (Recorder* owner : {&a, &b}) {
    const bool odd = owner == &a;
    std::vector<int> last(kProducers, -1);
    for (const auto& [id, isReceive] : owner->got) {
      const int p = int(id) / kEach, i = int(id) % kEach;
      EXPECT_EQ(i % 2 != 0, odd) << id << " went to the wrong owner";
      EXPECT_EQ(isReceive, i % 3 == 0) << id;
      EXPECT_GT(i, last[p]) << "out of order: " << id;
      last[p] = i;
    }
    EXPECT_EQ(owner->got.size(), size_t{kProducers * kEach / 2});
    ASSERT_EQ(owner->threads.size(), 1u);
    EXPECT_NE(*owner->threads.begin(), 0u);
  }
  EXPECT_EQ(a.threads, b.threads) << "one notifier serves both";

  // The first owner leaves; the other still gets its notifications. The last Close stops the
  // notifier and joins it.
  EXPECT_EQ(EndOfFileRegistry::Close(&a), 1);
  EXPECT_FALSE(EndOfFileRegistry::Notify(&a, 1, true));
  ASSERT_TRUE(EndOfFileRegistry::Notify(&b, 7777, false));
  ASSERT_TRUE(Eventually([&] { return b.Count() == size_t{kProducers * kEach / 2 + 1}; }));
  EXPECT_EQ(EndOfFileRegistry::Close(&b), 0);
  EXPECT_EQ(EndOfFileRegistry::OwnerCount(), 0);
  EXPECT_EQ(Thread::LiveCount(), base);
  EXPECT_EQ(a.Count(), size_t{kProducers * kEach / 2});
}

TEST(EndOfFileRegistryTest, CloseWaitsForTheRunningHookDropsTheQueueAndMayRunInAHook) {
  ASSERT_EQ(Thread::ReapFinished(10000), 0);
  const int base = Thread::LiveCount();
  // Opens count: an owner opened twice stays until closed twice.
  int owner = 0;
  std::promise<void> inHook, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> calls{0};
  std::atomic<bool> hookDone{false};
  const auto hook = [&](uint32_t, bool) {
    if (calls.fetch_add(1) == 0) {
      inHook.set_value();
      released.wait();
    }
    hookDone = true;
  };
  ASSERT_TRUE(EndOfFileRegistry::Open(&owner, hook));
  ASSERT_TRUE(EndOfFileRegistry::Open(&owner, hook));
  EXPECT_EQ(EndOfFileRegistry::Close(&owner), 1);
  EXPECT_EQ(EndOfFileRegistry::OwnerCount(), 1);
  // The first notification's hook blocks; three more wait in the queue.
  for (uint32_t id = 1; id <= 4; ++id) ASSERT_TRUE(EndOfFileRegistry::Notify(&owner, id, true));
  inHook.get_future().wait();
  EXPECT_EQ(EndOfFileRegistry::RunningCount(), 4);
  std::atomic<bool> closed{false};
  std::atomic<bool> hookDoneAtClose{false};
  std::thread closer([&] {
    EndOfFileRegistry::Close(&owner);
    hookDoneAtClose = hookDone.load();
    closed = true;
  });
  std::this_thread::sleep_for(20ms);  // time to reach the wait; were it late, the checks still hold
  EXPECT_FALSE(closed.load()) << "Close returned while the owner's hook ran";
  release.set_value();
  closer.join();
  EXPECT_TRUE(hookDoneAtClose.load());
  EXPECT_EQ(calls.load(), 1) << "queued notifications of a closed owner were delivered";
  EXPECT_EQ(EndOfFileRegistry::OwnerCount(), 0);
  EXPECT_EQ(Thread::LiveCount(), base);

  // A hook that closes its own owner neither waits for itself nor joins its own thread; the
  // notifier ends and is reaped.
  int selfOwner = 0;
  std::promise<int> left;
  ASSERT_TRUE(EndOfFileRegistry::Open(
      &selfOwner, [&](uint32_t, bool) { left.set_value(EndOfFileRegistry::Close(&selfOwner)); }));
  ASSERT_TRUE(EndOfFileRegistry::Notify(&selfOwner, 5, false));
  EXPECT_EQ(left.get_future().get(), 0);
  EXPECT_EQ(Thread::ReapFinished(10000), 0);
  EXPECT_EQ(Thread::LiveCount(), base);

  // The notifier cannot be started at Open: Notify starts it.
  Recorder late;
  Thread::FailNextCreates(1);
  EXPECT_FALSE(EndOfFileRegistry::Open(&late, late.AsHook()));
  EXPECT_EQ(Thread::LiveCount(), base);
  ASSERT_TRUE(EndOfFileRegistry::Notify(&late, 6, true));
  ASSERT_TRUE(Eventually([&] { return late.Count() == 1; }));
  EXPECT_EQ(EndOfFileRegistry::Close(&late), 0);
  EXPECT_EQ(Thread::LiveCount(), base);
}

// The forms a single terminal uses: Open(terminal) in its constructor makes its FireEndOfFile
// hooks the target of Notify(id) and of Notify(terminal, id); Close() in its destructor removes it.
TEST(EndOfFileRegistryTest, ATerminalRegistersItselfForItsLifetime) {
  ASSERT_EQ(Thread::ReapFinished(10000), 0);
  const int base = Thread::LiveCount();
  auto* terminal = new COrbeMediaTerm();
  EXPECT_EQ(EndOfFileRegistry::OwnerCount(), 1);
  const uint32_t before = terminal->EndOfFileCount();
  ASSERT_TRUE(EndOfFileRegistry::Notify(11, true));
  ASSERT_TRUE(EndOfFileRegistry::Notify(terminal, 12, false));
  EXPECT_TRUE(Eventually([&] { return terminal->EndOfFileCount() == before + 2; }));
  delete terminal;
  EXPECT_EQ(EndOfFileRegistry::OwnerCount(), 0);
  EXPECT_FALSE(EndOfFileRegistry::Notify(13, true));
  EXPECT_EQ(Thread::ReapFinished(10000), 0);
  EXPECT_EQ(Thread::LiveCount(), base);
}

}  // namespace
}  // namespace tarsio
