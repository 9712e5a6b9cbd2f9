// Thread's members that do not call the system, the same on every system: ids, the failures tests
// inject, the real-time refusal, the suspend state's rules (ThreadState) and the waits on the list
// of threads (ThreadList).
#include "platform/Thread.h"

#include <atomic>
#include <cstdlib>
#include <utility>

#include "platform/ThreadList.h"
#include "platform/ThreadState.h"

namespace tarsio {

namespace {

std::atomic<uint32_t> nextThreadId{1};
std::atomic<int> failCreates{0};
std::atomic<int> failResumes{0};
// Set once the system refused a real-time level; cleared again by a later success.
std::atomic<bool> realtimeRefused{false};

// The engine's own numbering, not the system's thread id: Windows reuses a thread id once the
// thread's last handle is closed, and a Thread object may outlive the join that closes it, so a new
// thread could otherwise take the id of an old one and be taken for it by Join.
thread_local uint32_t currentThreadId = 0;

// Takes one injected failure from counter, if any is pending.
bool TakeInjectedFailure(std::atomic<int>& counter) {
  int pending = counter.load();
  while (pending > 0) {
    if (counter.compare_exchange_weak(pending, pending - 1)) return true;
  }
  return false;
}

}  // namespace

uint32_t Thread::AllocateId() {
  uint32_t id = nextThreadId.fetch_add(1);
  while (id == 0) id = nextThreadId.fetch_add(1);  // after 2^32 threads: skip 0
  return id;
}

bool Thread::TakeCreateFailure() { return TakeInjectedFailure(failCreates); }

bool Thread::TakeResumeFailure() { return TakeInjectedFailure(failResumes); }

void Thread::SetRealtimeRefused(bool refused) { realtimeRefused.store(refused); }

Thread::Thread(std::shared_ptr<ThreadState> shared, uint32_t id)
    : shared_(std::move(shared)), id_(id) {}

Thread::~Thread() {
  // Without a handle a suspended thread could never be resumed: let it go instead of leaking it.
  Terminate();
  TheList().MarkHandleClosed(*shared_);
}

void Thread::Run(const std::shared_ptr<ThreadState>& shared) {
  currentThreadId = shared->id;
  shared->RunProcedure();
  TheList().MarkEnded(*shared);
}

int Thread::Resume() { return shared_->Resume(&TakeResumeFailure); }

bool Thread::Terminate() { return shared_->Terminate(); }

bool Thread::Join(uint32_t waitMs) { return TheList().Join(*shared_, waitMs); }

int Thread::ReapFinished(uint32_t waitMs) { return TheList().ReapFinished(waitMs); }

int Thread::LiveCount() { return TheList().LiveCount(); }

void Thread::FailNextCreates(int n) { failCreates.store(n); }

void Thread::FailNextResumes(int n) { failResumes.store(n); }

bool Thread::RealtimeAllowed() {
  return std::getenv("TARSIO_NO_REALTIME") == nullptr && !realtimeRefused.load();
}

uint32_t CurrentThreadId() { return currentThreadId; }

}  // namespace tarsio
