#include "terminal/EndOfFileRegistry.h"

#include "platform/Thread.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio {

CriticalSection EndOfFileRegistry::registryMutex;
Event EndOfFileRegistry::registryEvent{Event::Reset::kAuto};
COrbeMediaTerm* EndOfFileRegistry::terminal = nullptr;
int32_t EndOfFileRegistry::runningCount = 0;
std::atomic<bool> EndOfFileRegistry::bClosing{false};

void EndOfFileRegistry::Open(COrbeMediaTerm* term) {
  CriticalSectionLock lock(registryMutex);
  terminal = term;
  runningCount = 0;
  bClosing = false;
  registryEvent.ResetEvent();
}

void EndOfFileRegistry::Close() {
  {
    CriticalSectionLock lock(registryMutex);
    bClosing = true;
  }
  for (;;) {
    registryMutex.Enter();
    if (runningCount < 1) {
      terminal = nullptr;
      registryMutex.Leave();
      return;
    }
    registryMutex.Leave();
    registryEvent.Wait(100);
  }
}

int32_t EndOfFileRegistry::RunningCount() {
  CriticalSectionLock lock(registryMutex);
  return runningCount;
}

bool EndOfFileRegistry::Notify(uint32_t filePlayId, bool isReceive) {
  std::unique_ptr<Thread> thread = Thread::CreateSuspended(
      [filePlayId, isReceive]() { return NotificationThreadProc(filePlayId, isReceive); });
  if (!thread) return false;
  if (thread->Resume() < 0) {
    thread->Terminate();
    return false;
  }
  return true;  // the handle is closed here; the thread runs on by itself
}

uint32_t EndOfFileRegistry::NotificationThreadProc(uint32_t filePlayId, bool isReceive) {
  COrbeMediaTerm* term;
  {
    // Counting happens under the lock together with the closing test, so that Close either sees
    // this thread in the count or this thread sees the closing flag.
    CriticalSectionLock lock(registryMutex);
    if (bClosing || terminal == nullptr) return 0;
    ++runningCount;
    term = terminal;
  }
  if (isReceive) {
    term->FireEndOfFileRX(filePlayId);
  } else {
    term->FireEndOfFileTX(filePlayId);
  }
  {
    CriticalSectionLock lock(registryMutex);
    --runningCount;
    registryEvent.Set();
  }
  return 0;
}

}  // namespace tarsio
