// The allocation-free plumbing of the per-frame paths: the sample pool's intrusive lists under
// concurrent use and its reserve, the per-thread sample lists of nested pushes, and the ring
// queue that carries buffer headers (wrap-around while growing).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/ScopedSampleList.h"
#include "platform/RingQueue.h"

namespace tarsio {
namespace {

AudioSample* Get() {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr);
  return sample;
}

TEST(SamplePoolLists, ReserveKeepsFifoOrderAndConcurrentUseLosesNoSample) {
  AudioSampleManager* pool = AudioSampleManager::Instance();
  EXPECT_EQ(pool->Reserve(6), 6);
  EXPECT_EQ(pool->Reserve(4), 0);  // enough exist
  EXPECT_EQ(pool->CreatedCount(), 6);
  EXPECT_EQ(pool->FreeCount(), 6);
  // Reserved samples are handed out first, then released ones in release order.
  std::vector<AudioSample*> taken;
  for (int i = 0; i < 6; ++i) taken.push_back(Get());
  EXPECT_EQ(pool->FreeCount(), 0);
  for (int i : {3, 0, 5}) taken[i]->Release(nullptr);
  EXPECT_EQ(Get(), taken[3]);
  EXPECT_EQ(Get(), taken[0]);
  EXPECT_EQ(Get(), taken[5]);
  for (AudioSample* s : taken) s->Release(nullptr);
  EXPECT_EQ(pool->InUseCount(), 0);

  // Four threads each keep a window of samples and cycle through the pool; each sample they hold
  // is theirs alone (its data carries the owner's mark), and every sample comes back.
  constexpr int kThreads = 4, kWindow = 5, kRounds = 20000;
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &clashes] {
      std::vector<AudioSample*> held(kWindow, nullptr);
      for (int round = 0; round < kRounds; ++round) {
        AudioSample*& slot = held[static_cast<size_t>(round % kWindow)];
        if (slot != nullptr) {
          if (slot->GetData()[0] != t || slot->GetRefCount() != 1) clashes.fetch_add(1);
          slot->Release(nullptr);
        }
        slot = Get();
        slot->GetData()[0] = static_cast<uint8_t>(t);
      }
      for (AudioSample* s : held) s->Release(nullptr);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(pool->InUseCount(), 0);
  EXPECT_LE(pool->CreatedCount(), 6 + kThreads * kWindow);
  // Every created sample is in the free list exactly once.
  std::set<AudioSample*> distinct;
  std::vector<AudioSample*> all;
  for (int i = 0; i < pool->CreatedCount(); ++i) all.push_back(Get());
  distinct.insert(all.begin(), all.end());
  EXPECT_EQ(distinct.size(), all.size());
  EXPECT_EQ(pool->CreatedCount(), static_cast<int32_t>(all.size()));
  for (AudioSample* s : all) s->Release(nullptr);
}

TEST(ScopedSampleList, NestedUsesGetTheirOwnListsWhichKeepTheirStorage) {
  AudioSample* a = Get();
  const AudioSampleList* outerList = nullptr;
  const AudioSample* const* outerStorage = nullptr;
  for (int round = 0; round < 2; ++round) {
    ScopedSampleList outer;
    outer.Get().emplace_back(a, nullptr);
    {
      ScopedSampleList inner;  // a push that runs a further push on the same thread
      EXPECT_NE(&inner.Get(), &outer.Get());
      EXPECT_TRUE(inner.Get().empty());
      inner.Get().emplace_back(a, nullptr);
    }
    EXPECT_EQ(outer.Get().size(), 1u);
    // The next cycle at this level gets the same list with the same storage: no allocation.
    if (round == 0) {
      outerList = &outer.Get();
      outerStorage = &outer.Get().front().first;
    } else {
      EXPECT_EQ(&outer.Get(), outerList);
      EXPECT_EQ(&outer.Get().front().first, outerStorage);
    }
  }
  // Nesting deeper than the levels kept still works, with lists of their own.
  std::vector<std::unique_ptr<ScopedSampleList>> deep;
  std::set<AudioSampleList*> lists;
  for (int i = 0; i < ScopedSampleList::kLevels + 3; ++i) {
    deep.push_back(std::make_unique<ScopedSampleList>());
    lists.insert(&deep.back()->Get());
  }
  EXPECT_EQ(lists.size(), deep.size());
  while (!deep.empty()) deep.pop_back();
  // Another thread has lists of its own.
  const AudioSampleList* mine = nullptr;
  {
    ScopedSampleList here;
    mine = &here.Get();
  }
  std::thread([mine] {
    ScopedSampleList there;
    EXPECT_NE(&there.Get(), mine);
  }).join();
  a->Release(nullptr);
}

TEST(RingQueue, KeepsOrderWhileWrappingAndGrowingAndClearKeepsItsStorage) {
  RingQueue<int> queue;
  EXPECT_TRUE(queue.empty());
  int next = 0, expected = 0;
  // Push more than are popped, so the queue grows while its contents wrap around the ring.
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 3; ++i) queue.push_back(next++);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(queue.front(), expected++);
      queue.pop_front();
    }
    int walk = expected;
    for (int value : queue) ASSERT_EQ(value, walk++);
    ASSERT_EQ(walk, next);
  }
  EXPECT_EQ(queue.size(), 200u);
  const size_t capacity = queue.capacity();
  queue.clear();
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.capacity(), capacity);
  for (int i = 0; i < static_cast<int>(capacity); ++i) queue.push_back(i);
  EXPECT_EQ(queue.capacity(), capacity);  // filled to the brim without growing
  EXPECT_EQ(queue.front(), 0);
}

}  // namespace
}  // namespace tarsio
