#include "terminal/EndOfFileRegistry.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Thread.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio {

struct EndOfFileRegistry::State {
  struct Owner {
    const void* key = nullptr;
    Hook hook;
    int opens = 0;
    bool terminal = false;  // opened with Open(COrbeMediaTerm*)
  };
  struct Pending {
    const void* key = nullptr;
    uint32_t filePlayId = 0;
    bool isReceive = false;
  };

  std::mutex mutex;
  std::condition_variable changed;  // a notification queued, a hook returned, the notifier told
  // Guarded by mutex.
  std::vector<Owner> owners;  // in the order of their first Open
  std::deque<Pending> queue;
  const void* delivering = nullptr;  // the owner whose hook runs now
  std::unique_ptr<Thread> notifier;
  uint32_t notifierId = 0;
  uint64_t generation = 0;  // a notifier whose generation is no longer current leaves

  Owner* Find(const void* key) {
    const auto it =
        std::find_if(owners.begin(), owners.end(), [key](const Owner& o) { return o.key == key; });
    return it != owners.end() ? &*it : nullptr;
  }
};

EndOfFileRegistry::State& EndOfFileRegistry::TheState() {
  // Never destroyed: a notifier still running at process exit must not meet a destroyed queue.
  static State* const state = new State();
  return *state;
}

bool EndOfFileRegistry::StartNotifierLocked(State& state) {
  if (state.notifier) return true;
  const uint64_t generation = ++state.generation;
  State* const s = &state;
  std::unique_ptr<Thread> thread = Thread::CreateSuspended([s, generation]() -> uint32_t {
    NotifierLoop(s, generation);
    return 0;
  });
  if (!thread) return false;
  if (thread->Resume() < 0) {
    thread->Terminate();
    return false;
  }
  state.notifierId = thread->Id();
  state.notifier = std::move(thread);
  return true;
}

void EndOfFileRegistry::NotifierLoop(State* state, uint64_t generation) {
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    state->changed.wait(lock,
                        [&] { return state->generation != generation || !state->queue.empty(); });
    if (state->generation != generation) return;
    const State::Pending next = state->queue.front();
    state->queue.pop_front();
    const State::Owner* owner = state->Find(next.key);
    if (owner == nullptr) continue;
    const Hook hook = owner->hook;
    state->delivering = next.key;
    lock.unlock();
    hook(next.filePlayId, next.isReceive);
    lock.lock();
    state->delivering = nullptr;
    state->changed.notify_all();
  }
}

bool EndOfFileRegistry::Open(COrbeMediaTerm* terminal) {
  return OpenOwner(
      terminal,
      [terminal](uint32_t filePlayId, bool isReceive) {
        if (isReceive) {
          terminal->FireEndOfFileRX(filePlayId);
        } else {
          terminal->FireEndOfFileTX(filePlayId);
        }
      },
      true);
}

bool EndOfFileRegistry::Open(const void* owner, Hook hook) {
  return OpenOwner(owner, std::move(hook), false);
}

bool EndOfFileRegistry::OpenOwner(const void* owner, Hook hook, bool terminal) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (State::Owner* existing = state.Find(owner)) {
    ++existing->opens;
  } else {
    state.owners.push_back(State::Owner{owner, std::move(hook), 1, terminal});
  }
  return StartNotifierLocked(state);
}

int EndOfFileRegistry::Close(const void* owner) {
  State& state = TheState();
  std::unique_ptr<Thread> stopped;
  bool onNotifier = false;
  int left = 0;
  {
    std::unique_lock<std::mutex> lock(state.mutex);
    State::Owner* found = state.Find(owner);
    if (found == nullptr) return static_cast<int>(state.owners.size());
    if (--found->opens > 0) return static_cast<int>(state.owners.size());
    state.owners.erase(state.owners.begin() + (found - state.owners.data()));
    state.queue.erase(std::remove_if(state.queue.begin(), state.queue.end(),
                                     [owner](const State::Pending& p) { return p.key == owner; }),
                      state.queue.end());
    onNotifier = state.notifier != nullptr && CurrentThreadId() == state.notifierId;
    // A hook running for this owner finishes before the owner may go away (unless this is that
    // hook's own thread).
    if (!onNotifier) state.changed.wait(lock, [&] { return state.delivering != owner; });
    if (state.owners.empty() && state.notifier) {
      ++state.generation;  // the notifier leaves at its next look at the queue
      state.queue.clear();
      state.changed.notify_all();
      stopped = std::move(state.notifier);
      state.notifierId = 0;
    }
    left = static_cast<int>(state.owners.size());
  }
  // A notifier left behind by the bound is reaped later (Thread::ReapFinished).
  if (stopped && !onNotifier) stopped->Join(kStopWaitMs);
  return left;
}

void EndOfFileRegistry::Close() {
  State& state = TheState();
  std::vector<const void*> terminals;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    for (State::Owner& owner : state.owners) {
      if (!owner.terminal) continue;
      owner.opens = 1;
      terminals.push_back(owner.key);
    }
  }
  for (const void* terminal : terminals) Close(terminal);
}

bool EndOfFileRegistry::Notify(const void* owner, uint32_t filePlayId, bool isReceive) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.Find(owner) == nullptr || !StartNotifierLocked(state)) return false;
  state.queue.push_back(State::Pending{owner, filePlayId, isReceive});
  state.changed.notify_all();
  return true;
}

bool EndOfFileRegistry::Notify(uint32_t filePlayId, bool isReceive) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const auto last = std::find_if(state.owners.rbegin(), state.owners.rend(),
                                 [](const State::Owner& o) { return o.terminal; });
  if (last == state.owners.rend() || !StartNotifierLocked(state)) return false;
  state.queue.push_back(State::Pending{last->key, filePlayId, isReceive});
  state.changed.notify_all();
  return true;
}

int EndOfFileRegistry::OwnerCount() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int>(state.owners.size());
}

int32_t EndOfFileRegistry::RunningCount() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return static_cast<int32_t>(state.queue.size()) + (state.delivering != nullptr ? 1 : 0);
}

}  // namespace tarsio
