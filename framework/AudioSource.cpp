#include "framework/AudioSource.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/AudioSink.h"
#include "framework/HostLogWriter.h"
#include "platform/Clock.h"

namespace tarsio {

namespace {

// Pause between retries of a GenerateData that had nothing to give.
constexpr uint32_t kRetryMs = 10;

uint32_t HandleValueOf(const std::unique_ptr<Thread>& handle) {
  return handle ? handle->HandleValue() : 0u;
}

// Error code of a failed event operation, as traced. Events here do not report a cause.
constexpr uint32_t kEventError = 0;

}  // namespace

AudioSource::AudioSource() = default;

AudioSource::~AudioSource() {
  // An owner that stopped the thread (or shares the source with its thread) finds nothing
  // pending. Anything else is a source destroyed under its running thread: stop it, bounded,
  // rather than free the object under it silently.
  if (!bStopSignalPending.load()) return;
  StopAndWait("AudioSource::~AudioSource: source thread still running, ms=");
}

int32_t AudioSource::SourceThreadStarted(Thread* /*threadHandle*/, uint32_t /*threadID*/) {
  return 0;
}
int32_t AudioSource::SourceThreadStopped(Thread* /*threadHandle*/, uint32_t /*threadID*/) {
  return 0;
}
int32_t AudioSource::SourceStarted() { return 0; }
int32_t AudioSource::SourceStopped() { return 0; }

int32_t AudioSource::AddAudioSink(AudioSinkInterface* sink) {
  CriticalSectionLock lock(audioSinksMutex);
  if (std::find(audioSinks.begin(), audioSinks.end(), sink) == audioSinks.end()) {
    audioSinks.push_back(sink);
  }
  return 0;
}

int32_t AudioSource::RemoveAudioSink(AudioSinkInterface* sink) {
  CriticalSectionLock lock(audioSinksMutex);
  auto it = std::find(audioSinks.begin(), audioSinks.end(), sink);
  if (it != audioSinks.end()) audioSinks.erase(it);
  return 0;
}

int32_t AudioSource::SendAudioSample(AudioSample* sample, AudioSinkInterface* sink) {
  try {
    return sink->TakeNextAudioSample(sample, this);
  } catch (...) {
    HostLogWriter::DeferPlain("AudioSource::SendAudioSample: exception");
    return 0;
  }
}

int32_t AudioSource::GiveNextAudioSample(AudioSample** out, AudioSink* requester) {
  *out = nullptr;
  const int32_t result = GenerateData(out);
  if (result != 0 || *out == nullptr) {
    TRACE(tracer, trace::kDetail,
          "GiveNextAudioSample : GenerateData returned error %d, audioSample 0x%lx\n", result,
          static_cast<unsigned long>(reinterpret_cast<uintptr_t>(*out)));
    if (result != 0 && *out != nullptr) {
      (*out)->Release(this);
      *out = nullptr;
    }
  }
  const AudioSinkInterface* requesterSide = requester;
  CriticalSectionLock lock(audioSinksMutex);
  for (AudioSinkInterface* sink : audioSinks) {
    if (sink != requesterSide) SendAudioSample(*out, sink);
  }
  return result;
}

void AudioSource::SetSourceThreadKeepAlive(std::shared_ptr<void> token) {
  CriticalSectionLock lock(sourceStateMutex);
  nextThreadKeepAlive = std::move(token);
}

int32_t AudioSource::StartSourceThread() {
  TRACE(tracer, trace::kEntry, "StartSourceThread\n");
  ReadTraceLevel();
  // Starts are serialised with stops: a stop waiting for the old thread's stop event must not
  // have that event cleared under it by a new start.
  CriticalSectionLock startStopLock(sourceStartStopMutex);
  int32_t result = 0;
  bool refusedThreadRuns = false;
  {
    TRACE(tracer, trace::kState, "StartSourceThread : entering  sourceStateMutex\n");
    CriticalSectionLock stateLock(sourceStateMutex);
    // Taken whatever happens, so that a token never stays behind in the object (it pins the
    // object: kept here it would keep it alive for ever).
    std::shared_ptr<void> keepAlive = std::move(nextThreadKeepAlive);
    if (bSourceRunning || bSourceThreadRunning) {
      TRACE(tracer, trace::kError,
            "StartSourceThread : e-error : bSourceRunning = %d, bSourceThreadRunning = %d\n",
            static_cast<int>(bSourceRunning.load()), static_cast<int>(bSourceThreadRunning.load()));
      result = -10;
    } else if (sourceThreadHandle || sourceThreadID != 0 ||
               WaitForSourceThreadEnd(0) != WaitResult::kSignaled) {
      // Also a thread a stop gave up on that has left its loop but not yet given its final
      // signal: a new thread must not have that signal taken for its own.
      TRACE(tracer, trace::kError,
            "StartSourceThread : e-error : sourceThreadHandle = 0x%x, sourceThreadID = 0x%x\n",
            HandleValueOf(sourceThreadHandle), sourceThreadID);
      result = -20;
    } else {
      TRACE(tracer, trace::kState,
            "StartSourceThread : resetting sourceThreadStartEvent and sourceThreadStopEvent\n");
      if (!sourceThreadStartEvent.ResetEvent()) {
        TRACE(tracer, trace::kError,
              "StartSourceThread : e-ResetEvent(sourceThreadStartedEvent) : 0x%x\n", kEventError);
      }
      if (!sourceThreadStopEvent.ResetEvent()) {
        TRACE(tracer, trace::kError,
              "StartSourceThread : e-ResetEvent(sourceThreadStopEvent) : 0x%x\n", kEventError);
      }
      bStopSourceThread = true;
      // The token lives in the procedure's captures, which die on the new thread after the
      // procedure returned: after its final signal, the thread's very last act.
      sourceThreadHandle = Thread::CreateSuspended(
          [this, keepAlive = std::move(keepAlive)] { return SourceThreadEntry(this); });
      if (!sourceThreadHandle) {
        sourceThreadID = 0;
        result = -20;
      } else {
        sourceThreadID = sourceThreadHandle->Id();
        lastThreadId = sourceThreadID;
        if (SourceThreadStarted(sourceThreadHandle.get(), sourceThreadID) != 0) {
          // The stop flag stays set: once resumed the thread leaves at once and cleans up.
          result = -30;
        } else {
          bStopSourceThread = false;
        }
        if (sourceThreadHandle->Resume() == -1) {
          sourceThreadHandle->Terminate();
          sourceThreadHandle.reset();
          sourceThreadID = 0;
        } else {
          bStopSignalPending = true;
          TRACE(tracer, trace::kState,
                "StartSourceThread : before WaitForSingleObject(sourceThreadStartEvent, "
                "INFINITE)\n");
          const WaitResult waited = sourceThreadStartEvent.Wait(kInfinite);
          TRACE(tracer, trace::kState, "StartSourceThread : waitResult = 0x%x\n",
                static_cast<uint32_t>(waited));
          if (waited == WaitResult::kFailed) {
            TRACE(tracer, trace::kError, "StartSourceThread : e-WaitForSingleObject : %d 0x%x\n",
                  static_cast<int>(kEventError), kEventError);
          }
        }
      }
    }
    refusedThreadRuns = result == -30 && sourceThreadHandle != nullptr;
  }
  TRACE(tracer, trace::kState, "StartSourceThread : left  sourceStateMutex\n");
  if (refusedThreadRuns) {
    // The refused thread is on its way out; let it finish so that the caller may destroy or
    // restart the source as soon as this returns.
    WaitForSourceThreadEnd(SourceStopWaitMs());
  }
  TRACE(tracer, trace::kEntry, "~StartSourceThread : returning %d\n", result);
  return result;
}

uint32_t AudioSource::SourceThreadEntry(AudioSource* source) {
  if (source == nullptr) {
    HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: !params");
    return 0;
  }
  return source->SourceThreadProc();
}

uint32_t AudioSource::SourceThreadProc() {
  try {
    TRACE(tracer, trace::kEntry, "SourceThreadProc : begin\n");
    bSourceThreadRunning = true;
    sourceThreadStartEvent.Set();
  } catch (...) {
    HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 3");
  }

  // Every way out of the loop (a stop, a failed GenerateData, an exception) goes through the
  // common end below, so the thread always gives its final signal.
  while (!bStopSourceThread) {
    AudioSample* sample = nullptr;
    try {
      int32_t result = GenerateData(&sample);
      while (result < 0 && !bStopSourceThread) {
        if (sample != nullptr) {
          sample->Release(this);
          sample = nullptr;
        }
        SleepMs(kRetryMs);
        result = GenerateData(&sample);
      }
      if (result < 0 || bStopSourceThread) {
        if (sample != nullptr) sample->Release(this);
        break;
      }
    } catch (...) {
      HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 4");
      break;
    }

    try {
      if (sample == nullptr) {
        HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: !pAudioSample");
      } else if (sample->GetDataSize() == 0) {
        HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: sample size=0");
      }
    } catch (...) {
      HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 5");
      if (sample != nullptr) sample->Release(this);
      break;
    }

    bool deliveryFailed = false;
    {
      CriticalSectionLock lock(audioSinksMutex);
      for (AudioSinkInterface* sink : audioSinks) {
        try {
          SendAudioSample(sample, sink);
        } catch (...) {
          deliveryFailed = true;
        }
      }
    }
    // Logged outside audioSinksMutex: a host that holds its log lock while it links or unlinks
    // filters would otherwise deadlock with this thread.
    if (deliveryFailed) HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 6");

    try {
      if (sample != nullptr) sample->Release(this);
    } catch (...) {
      HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 7");
      break;
    }
  }

  // The hook runs without sourceStateMutex: it may wait for a device (whose own thread may wait
  // for the host), and a stop on a host thread must never be held up behind it. The handle stays
  // set until the hook returned, so no start begins meanwhile.
  Thread* handle = nullptr;
  uint32_t threadId = 0;
  {
    CriticalSectionLock lock(sourceStateMutex);
    bSourceThreadRunning = false;
    handle = sourceThreadHandle.get();
    threadId = sourceThreadID;
  }
  bool hookFailed = false;
  TRACE(tracer, trace::kState, "SourceThreadProc : calling SourceThreadStopped\n");
  try {
    SourceThreadStopped(handle, threadId);
  } catch (...) {
    hookFailed = true;
  }
  {
    CriticalSectionLock lock(sourceStateMutex);
    sourceThreadHandle.reset();  // closes this thread's own handle; the thread runs on
    sourceThreadID = 0;
  }
  // Logged outside every lock of this class.
  if (hookFailed) HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 8");
  // The last touch of this object: the owner may destroy it as soon as the stop wait returns.
  // The caller's keep-alive token, if any, is dropped after this returns.
  sourceThreadStopEvent.Set();
  return 0;
}

WaitResult AudioSource::WaitForSourceThreadEnd(uint32_t ms) {
  if (!bStopSignalPending.load()) return WaitResult::kSignaled;
  const WaitResult waited = sourceThreadStopEvent.Wait(ms);
  if (waited == WaitResult::kSignaled) bStopSignalPending = false;
  return waited;
}

WaitResult AudioSource::StopAndWait(const char* hostLogLabel) {
  // No lock here: the thread's ending may be held up in its stopped hook, and the flag is an
  // atomic that only ever goes to true while a thread runs (a start sets it itself).
  if (!bSourceThreadRunning) {
    TRACE(tracer, trace::kNotable, "StopSourceThread : bSourceThreadRunning = false\n");
  } else {
    bStopSourceThread = true;
  }
  // Also a thread that has already left its loop is waited for: it still touches the object
  // until its stop signal. Never on that thread itself: it cannot end while it waits here.
  if (!bStopSignalPending.load()) return WaitResult::kSignaled;
  if (CurrentThreadId() != 0 && CurrentThreadId() == lastThreadId.load()) {
    return WaitResult::kTimeout;
  }
  const uint32_t bound = SourceStopWaitMs();
  TRACE(tracer, trace::kState,
        "StopSourceThread : before WaitForSingleObject(sourceThreadStopEvent, %u)\n", bound);
  const WaitResult waited = WaitForSourceThreadEnd(bound);
  TRACE(tracer, trace::kState, "StopSourceThread : waitResult = 0x%x\n",
        static_cast<uint32_t>(waited));
  if (waited == WaitResult::kFailed) {
    TRACE(tracer, trace::kError, "StopSourceThread : e-WaitForSingleObject : %d 0x%x\n",
          static_cast<int>(kEventError), kEventError);
  } else if (waited == WaitResult::kTimeout && hostLogLabel != nullptr) {
    HostLogWriter::WithNumber(hostLogLabel, bound);
  } else if (waited == WaitResult::kTimeout) {
    // A stop reports this through SourceThreadEnded(); its caller may hold locks (the
    // terminal's) under which a host-log write could wait for a host that waits for them.
    TRACE(tracer, trace::kError, "StopSourceThread : thread still running after %u ms\n", bound);
  }
  return waited;
}

int32_t AudioSource::StopSourceThread() {
  TRACE(tracer, trace::kEntry, "StopSourceThread\n");
  {
    CriticalSectionLock startStopLock(sourceStartStopMutex);
    TRACE(tracer, trace::kState, "StopSourceThread : entered  sourceStartStopMutex\n");
    StopAndWait(nullptr);
  }
  TRACE(tracer, trace::kState, "StopSourceThread : left  sourceStartStopMutex\n");
  TRACE(tracer, trace::kEntry, "~StopSourceThread : returning %d\n", 0);
  return 0;
}

}  // namespace tarsio
