#include "platform/ThreadList.h"

#include <new>

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace tarsio {

ThreadList::ThreadList(JoinFunction joinEnded) : joinEnded_(joinEnded) {}

void ThreadList::MarkEnded(Record& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  record.ended = true;
  changed_.notify_all();
}

void ThreadList::MarkHandleClosed(Record& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  record.handleClosed = true;
}

void ThreadList::Reap() {
  std::unique_lock<std::mutex> lk(mutex_);
  ReapLocked(lk);
}

void ThreadList::ReapLocked(std::unique_lock<std::mutex>& lk) {
  std::vector<std::shared_ptr<Record>> taken;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if ((*it)->ended) {
      (*it)->reaping = true;
      taken.push_back(std::move(*it));
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  if (taken.empty()) return;
  joining_ += static_cast<int>(taken.size());
  lk.unlock();
  for (const std::shared_ptr<Record>& record : taken) joinEnded_(*record);  // each has ended
  lk.lock();
  joining_ -= static_cast<int>(taken.size());
  for (const std::shared_ptr<Record>& record : taken) record->joined = true;
  changed_.notify_all();
}

int ThreadList::OrphansRunningLocked() const {
  const uint32_t self = CurrentThreadId();
  int running = 0;
  for (const std::shared_ptr<Record>& record : entries_) {
    if (record->handleClosed && !record->ended && record->id != self) ++running;
  }
  return running;
}

bool ThreadList::AnyEndedLocked() const {
  for (const std::shared_ptr<Record>& record : entries_) {
    if (record->ended) return true;
  }
  return false;
}

bool ThreadList::Join(Record& record, uint32_t waitMs) {
  if (CurrentThreadId() == record.id) return false;
  Clock& clock = Clock::Current();
  const uint64_t start = clock.NowMs();
  std::unique_lock<std::mutex> lk(mutex_);
  // Ended and still listed: this call reaps it; ended and taken by another reaper: wait for it.
  const auto reapableOrJoined = [&] { return record.joined || (record.ended && !record.reaping); };
  if (!clock.WaitFor(changed_, lk, waitMs, reapableOrJoined)) return false;
  if (!record.joined) ReapLocked(lk);
  // One limit for both waits: what the first one and the reaping left of waitMs.
  uint32_t left = waitMs;
  if (waitMs != kInfinite) {
    const uint64_t spent = clock.NowMs() - start;
    left = spent >= waitMs ? 0 : static_cast<uint32_t>(waitMs - spent);
  }
  return clock.WaitFor(changed_, lk, left, [&] { return record.joined; });
}

int ThreadList::ReapFinished(uint32_t waitMs) {
  Clock& clock = Clock::Current();
  const uint64_t start = clock.NowMs();
  std::unique_lock<std::mutex> lk(mutex_);
  for (;;) {
    ReapLocked(lk);
    const int running = OrphansRunningLocked();
    if (running == 0 && joining_ == 0) return 0;
    uint32_t remaining = kInfinite;
    if (waitMs != kInfinite) {
      const uint64_t elapsed = clock.NowMs() - start;
      if (elapsed >= waitMs) return running;
      remaining = static_cast<uint32_t>(waitMs - elapsed);
    }
    clock.WaitFor(changed_, lk, remaining, [&] {
      return AnyEndedLocked() || (OrphansRunningLocked() == 0 && joining_ == 0);
    });
  }
}

int ThreadList::LiveCount() {
  std::unique_lock<std::mutex> lk(mutex_);
  ReapLocked(lk);
  return static_cast<int>(entries_.size()) + joining_;
}

void ThreadList::LockForFork() { mutex_.lock(); }

void ThreadList::UnlockAfterFork() { mutex_.unlock(); }

void ThreadList::ForgetAllInChild() {
  new (&mutex_) std::mutex();
  new (&changed_) std::condition_variable();
  auto* abandoned = new std::vector<std::shared_ptr<Record>>(std::move(entries_));
  for (const std::shared_ptr<Record>& record : *abandoned) {
    record->ended = true;
    record->joined = true;
  }
  entries_.clear();
  joining_ = 0;
}

}  // namespace tarsio
