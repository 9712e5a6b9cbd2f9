#include "framework/AudioSink.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/AudioSource.h"
#include "framework/HostLogWriter.h"
#include "framework/ScopedSampleList.h"

namespace tarsio {

namespace {

uint32_t HandleValueOf(const std::unique_ptr<Thread>& handle) {
  return handle ? handle->HandleValue() : 0u;
}

}  // namespace

AudioSink::AudioSink() = default;

AudioSink::~AudioSink() {
  // An owner that stopped the thread (or shares the sink with its thread) finds nothing pending.
  // Anything else is a sink destroyed under its running thread: stop it, bounded, rather than
  // free the object under it silently.
  if (!bStopSignalPending.load()) return;
  StopAndWait("AudioSink::~AudioSink: sink thread still running, ms=");
}

int32_t AudioSink::SinkThreadStarted(Thread* /*threadHandle*/, uint32_t /*threadID*/) { return 0; }
int32_t AudioSink::SinkThreadStopped(Thread* /*threadHandle*/, uint32_t /*threadID*/) { return 0; }
int32_t AudioSink::SinkStarted() { return 0; }
int32_t AudioSink::SinkStopped() { return 0; }

int32_t AudioSink::AddAudioSource(AudioSource* source) {
  CriticalSectionLock lock(audioSourcesMutex);
  if (std::find(audioSources.begin(), audioSources.end(), source) == audioSources.end()) {
    audioSources.push_back(source);
  }
  return 0;
}

int32_t AudioSink::RemoveAudioSource(AudioSource* source) {
  CriticalSectionLock lock(audioSourcesMutex);
  auto it = std::find(audioSources.begin(), audioSources.end(), source);
  if (it != audioSources.end()) audioSources.erase(it);
  return 0;
}

int32_t AudioSink::StartSink() {
  ReadTraceLevel();
  int32_t result = 0;
  {
    CriticalSectionLock lock(sinkStateMutex);
    if (bSinkRunning || bSinkThreadRunning) {
      result = -10;
    } else if (const int32_t hook = SinkStarted(); hook != 0) {
      TRACE(tracer, trace::kError, "StartSink : SinkStarted returned %d\n", hook);
      result = -20;
    } else {
      bSinkRunning = true;
    }
  }
  // Host-log writes happen outside sinkStateMutex, which the sink thread takes at its end.
  if (result == -10) HostLogWriter::Plain("AudioSink::StartSink (1)");
  if (result == -20) HostLogWriter::Plain("AudioSink::StartSink (2)");
  return result;
}

int32_t AudioSink::StopSink() {
  CriticalSectionLock lock(sinkStateMutex);
  if (bSinkThreadRunning) {
    TRACE(tracer, trace::kNotable, "StopSink : bSinkThreadRunning = %d\n",
          static_cast<int>(bSinkThreadRunning.load()));
    return -10;
  }
  if (!bSinkRunning) {
    TRACE(tracer, trace::kNotable, "StopSink : bSinkRunning = false\n");
    return 0;
  }
  if (SinkStopped() != 0) return -20;
  bSinkRunning = false;
  return 0;
}

void AudioSink::ReleaseAudioSamples() {
  for (auto& [sample, source] : audioSamples) {
    if (sample != nullptr) sample->Release(this);
  }
  audioSamples.clear();
}

int32_t AudioSink::TakeNextAudioSample(AudioSample* sample, AudioSource* fromSource) {
  // The cycle's set is the pushing thread's own (borrowed per nesting level, so a push allocates
  // nothing), so pushes from different source threads never share it.
  ScopedSampleList cycle;
  AudioSampleList& samples = cycle.Get();
  int32_t lastPull = 0;
  try {
    if (sample != nullptr) {
      sample->AddRef(this);
      samples.emplace_back(sample, fromSource);
    }
    {
      CriticalSectionLock lock(audioSourcesMutex);
      for (AudioSource* source : audioSources) {
        if (source == fromSource) continue;
        AudioSample* pulled = nullptr;
        lastPull = source->GiveNextAudioSample(&pulled, this);
        if (lastPull == 0) {
          if (pulled != nullptr) samples.emplace_back(pulled, source);
        } else {
          TRACE(tracer, trace::kError,
                "TakeNextAudioSample : GiveNextAudioSample from %s returned error %d\n",
                source->GetInstanceName(), lastPull);
          if (pulled != nullptr) pulled->Release(this);
        }
      }
    }
    const int32_t result = RenderAudioSamples(samples);
    for (auto& [s, from] : samples) s->Release(this);
    return result;
  } catch (...) {
    HostLogWriter::DeferPlain("AudioSink::TakeNextAudioSample: exception");
    for (auto& [s, from] : samples) s->Release(this);
    return lastPull;
  }
}

void AudioSink::SetSinkThreadKeepAlive(std::shared_ptr<void> token) {
  CriticalSectionLock lock(sinkStateMutex);
  nextThreadKeepAlive = std::move(token);
}

int32_t AudioSink::StartSinkThread() {
  TRACE(tracer, trace::kEntry, "StartSinkThread\n");
  ReadTraceLevel();
  // Starts are serialised with stops: a stop waiting for the old thread's stop event must not
  // have that event cleared under it by a new start.
  CriticalSectionLock startStopLock(sinkStartStopMutex);
  int32_t result = 0;
  {
    CriticalSectionLock stateLock(sinkStateMutex);
    TRACE(tracer, trace::kState, "StartSinkThread : entered sinkStateMutex\n");
    // Taken whatever happens, so that a token never stays behind in the object (it pins the
    // object: kept here it would keep it alive for ever).
    std::shared_ptr<void> keepAlive = std::move(nextThreadKeepAlive);
    if (bSinkRunning || bSinkThreadRunning) {
      TRACE(tracer, trace::kError,
            "StartSinkThread : e-error : bSinkRunning = %d, bSinkThreadRunning = %d\n",
            static_cast<int>(bSinkRunning.load()), static_cast<int>(bSinkThreadRunning.load()));
      result = -10;
    } else if (sinkThreadHandle || sinkThreadID != 0 ||
               WaitForSinkThreadEnd(0) != WaitResult::kSignaled) {
      // Also a thread a stop gave up on that has left its loop but not yet given its final
      // signal: a new thread must not have that signal taken for its own.
      TRACE(tracer, trace::kError,
            "StartSinkThread : e-error : sinkThreadHandle = 0x%x, sinkThreadID = 0x%x\n",
            HandleValueOf(sinkThreadHandle), sinkThreadID);
      result = -20;
    } else {
      sinkThreadStartEvent.ResetEvent();
      sinkThreadStopEvent.ResetEvent();
      bStopSinkThread = true;
      // The token lives in the procedure's captures, which die on the new thread after the
      // procedure returned: after its final signal, the thread's very last act.
      sinkThreadHandle = Thread::CreateSuspended(
          [this, keepAlive = std::move(keepAlive)] { return SinkThreadProc(); });
      sinkThreadID = sinkThreadHandle ? sinkThreadHandle->Id() : 0;
      if (!sinkThreadHandle) {
        sinkThreadID = 0;
        TRACE(tracer, trace::kError, "StartSinkThread : e-CreateThread\n");
        result = -30;
      } else {
        lastThreadId = sinkThreadID;
        const int32_t hook = SinkThreadStarted(sinkThreadHandle.get(), sinkThreadID);
        if (hook != 0) {
          // The stop flag stays set: once resumed the thread leaves at once and cleans up.
          TRACE(tracer, trace::kError, "StartSinkThread : e-SinkThreadStarted : %d 0x%x\n", hook,
                static_cast<uint32_t>(hook));
          result = -40;
        } else {
          bStopSinkThread = false;
        }
        const int resumed = sinkThreadHandle->Resume();
        if (resumed == -1) {
          sinkThreadHandle->Terminate();
          sinkThreadHandle.reset();
          sinkThreadID = 0;
          TRACE(tracer, trace::kError, "StartSinkThread : e-ResumeThread : %d 0x%x\n", resumed,
                static_cast<uint32_t>(resumed));
          result = -50;
        } else {
          bStopSignalPending = true;
          // The thread takes sinkStateMutex only at its end, after setting this event.
          sinkThreadStartEvent.Wait(kInfinite);
        }
      }
    }
  }
  TRACE(tracer, trace::kState, "StartSinkThread : left  sinkStateMutex\n");
  if (result == -40) {
    // The refused thread is on its way out; let it finish so that the caller may destroy or
    // restart the sink as soon as this returns.
    WaitForSinkThreadEnd(SinkStopWaitMs());
  }
  TRACE(tracer, trace::kEntry, "~StartSinkThread : returning %d\n", result);
  return result;
}

void AudioSink::SinkCycle() {
  audioSamples.clear();
  if (!ReadyToRender()) return;
  {
    TRACE(tracer, trace::kState, "SinkThreadProc : Entering audioSourcesMutex\n");
    CriticalSectionLock lock(audioSourcesMutex);
    for (AudioSource* source : audioSources) {
      AudioSample* pulled = nullptr;
      const int32_t result = source->GiveNextAudioSample(&pulled, this);
      if (result == 0) {
        if (pulled != nullptr) audioSamples.emplace_back(pulled, source);
      } else if (pulled != nullptr) {
        pulled->Release(this);
      }
    }
  }
  TRACE(tracer, trace::kState, "SinkThreadProc : Left audioSourcesMutex\n");
  TRACE(tracer, trace::kDetail, "SinkThreadProc : Rendering audioSamples\n");
  RenderAudioSamples(audioSamples);
  ReleaseAudioSamples();
}

uint32_t AudioSink::SinkThreadProc() {
  TRACE(tracer, trace::kEntry, "SinkThreadProc : begin\n");
  bSinkThreadRunning = true;
  TRACE(tracer, trace::kState, "SinkThreadProc : setting sinkThreadStartEvent\n");
  sinkThreadStartEvent.Set();

  while (!bStopSinkThread) {
    try {
      SinkCycle();
    } catch (...) {
      // A cycle that throws ends the thread the normal way, so that a stop never waits for ever.
      HostLogWriter::DeferPlain("AudioSink::SinkThreadProc: exception");
      ReleaseAudioSamples();
      break;
    }
  }

  TRACE(tracer, trace::kState, "SinkThreadProc : broke out of while loop\n");
  TRACE(tracer, trace::kState, "SinkThreadProc : entering sinkStateMutex\n");
  // The hook runs without sinkStateMutex: it may wait for a device (whose own thread may wait for
  // the host), and a stop on a host thread must never be held up behind it. The handle stays set
  // until the hook returned, so no start begins meanwhile.
  Thread* handle = nullptr;
  uint32_t threadId = 0;
  {
    CriticalSectionLock lock(sinkStateMutex);
    bSinkThreadRunning = false;
    handle = sinkThreadHandle.get();
    threadId = sinkThreadID;
  }
  bool hookFailed = false;
  TRACE(tracer, trace::kState, "SinkThreadProc : calling SinkThreadStopped\n");
  try {
    SinkThreadStopped(handle, threadId);
  } catch (...) {
    hookFailed = true;
  }
  {
    CriticalSectionLock lock(sinkStateMutex);
    sinkThreadHandle.reset();  // closes this thread's own handle; the thread runs on
    sinkThreadID = 0;
  }
  TRACE(tracer, trace::kState, "SinkThreadProc : left sinkStateMutex\n");
  // Logged outside every lock of this class.
  if (hookFailed) HostLogWriter::DeferPlain("AudioSink::SinkThreadProc: exception");
  TRACE(tracer, trace::kState, "SinkThreadProc : setting sinkThreadStopEvent and exiting\n");
  // The last touch of this object: the owner may destroy it as soon as the stop wait returns.
  // The caller's keep-alive token, if any, is dropped after this returns.
  sinkThreadStopEvent.Set();
  return 0;
}

WaitResult AudioSink::WaitForSinkThreadEnd(uint32_t ms) {
  if (!bStopSignalPending.load()) return WaitResult::kSignaled;
  const WaitResult waited = sinkThreadStopEvent.Wait(ms);
  if (waited == WaitResult::kSignaled) bStopSignalPending = false;
  return waited;
}

WaitResult AudioSink::StopAndWait(const char* hostLogLabel) {
  // No lock here: the thread's ending may be held up in its stopped hook, and the flag is an
  // atomic that a start sets itself.
  if (!bSinkThreadRunning) {
    TRACE(tracer, trace::kNotable, "StopSinkThread : bSinkThreadRunning = false\n");
  } else {
    bStopSinkThread = true;
  }
  // Also a thread that has already left its loop is waited for: it still touches the object
  // until its stop signal. Never on that thread itself: it cannot end while it waits here.
  if (!bStopSignalPending.load()) return WaitResult::kSignaled;
  if (CurrentThreadId() != 0 && CurrentThreadId() == lastThreadId.load()) {
    return WaitResult::kTimeout;
  }
  const uint32_t bound = SinkStopWaitMs();
  TRACE(tracer, trace::kState, "StopSinkThread : before WaitForSingleObject (%u ms)\n", bound);
  const WaitResult waited = WaitForSinkThreadEnd(bound);
  if (waited == WaitResult::kTimeout && hostLogLabel != nullptr) {
    HostLogWriter::WithNumber(hostLogLabel, bound);
  } else if (waited != WaitResult::kSignaled) {
    // A stop reports this through SinkThreadEnded(); its caller may hold locks (the terminal's)
    // under which a host-log write could wait for a host that waits for them.
    TRACE(tracer, trace::kError, "StopSinkThread : thread still running after %u ms\n", bound);
  }
  return waited;
}

int32_t AudioSink::StopSinkThread() {
  TRACE(tracer, trace::kEntry, "StopSinkThread\n");
  {
    CriticalSectionLock startStopLock(sinkStartStopMutex);
    TRACE(tracer, trace::kState, "StopSinkThread : entered sinkStartStopMutex\n");
    StopAndWait(nullptr);
  }
  TRACE(tracer, trace::kState, "StopSinkThread : left  sinkStartStopMutex\n");
  TRACE(tracer, trace::kEntry, "~StopSinkThread : returning %d\n", 0);
  return 0;
}

}  // namespace tarsio
