#include "platform/ThreadState.h"

#include <utility>

namespace tarsio {

ThreadState::ThreadState(Proc procedure) : proc(std::move(procedure)) {}

ThreadState::~ThreadState() = default;

int ThreadState::Resume(bool (*takeInjectedFailure)()) {
  std::lock_guard<std::mutex> lock(mutex);
  switch (state) {
    case State::kSuspended:
      if (takeInjectedFailure()) return -1;
      if (!ReleaseLocked()) return -1;
      state = State::kResumed;
      return 1;
    case State::kResumed:
      return 0;
    case State::kTerminated:
      break;
  }
  return -1;
}

bool ThreadState::Terminate() {
  std::lock_guard<std::mutex> lock(mutex);
  switch (state) {
    case State::kSuspended:
      // The thread goes on into RunProcedure, which sees the state, releases the procedure
      // without calling it and ends normally, so that it is joined like any other.
      state = State::kTerminated;
      ReleaseLocked();
      return true;
    case State::kTerminated:
      return true;
    case State::kResumed:
      break;
  }
  return false;
}

void ThreadState::RunProcedure() {
  Proc body;
  bool terminated = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    AwaitReleaseLocked(lock);
    body = std::move(proc);
    proc = nullptr;
    terminated = state == State::kTerminated;
  }
  if (!terminated) body();
  // The procedure's captures die on this thread, outside the lock, before it is marked exited (a
  // terminated thread's too).
  body = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  exited = true;
}

}  // namespace tarsio
