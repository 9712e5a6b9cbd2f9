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

AudioSource::~AudioSource() = default;

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
          reinterpret_cast<unsigned long>(*out));
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

int32_t AudioSource::StartSourceThread() {
  TRACE(tracer, trace::kEntry, "StartSourceThread\n");
  ReadTraceLevel();
  // Starts are serialised with stops: a stop waiting for the old thread's stop event must not
  // have that event cleared under it by a new start.
  CriticalSectionLock startStopLock(sourceStartStopMutex);
  TRACE(tracer, trace::kState, "StartSourceThread : entering  sourceStateMutex\n");
  sourceStateMutex.Enter();
  int32_t result = 0;
  if (bSourceRunning || bSourceThreadRunning) {
    TRACE(tracer, trace::kError,
          "StartSourceThread : e-error : bSourceRunning = %d, bSourceThreadRunning = %d\n",
          static_cast<int>(bSourceRunning.load()), static_cast<int>(bSourceThreadRunning.load()));
    result = -10;
  } else if (sourceThreadHandle || sourceThreadID != 0) {
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
    sourceThreadHandle = Thread::CreateSuspended([this] { return SourceThreadEntry(this); });
    if (!sourceThreadHandle) {
      sourceThreadID = 0;
      result = -20;
    } else {
      sourceThreadID = sourceThreadHandle->Id();
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
  const bool refusedThreadRuns = result == -30 && sourceThreadHandle != nullptr;
  sourceStateMutex.Leave();
  TRACE(tracer, trace::kState, "StartSourceThread : left  sourceStateMutex\n");
  if (refusedThreadRuns) {
    // The refused thread is on its way out; let it finish so that the caller may destroy or
    // restart the source as soon as this returns.
    WaitForSourceThreadEnd(kStopWaitMs);
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
    return 0;
  }

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
      return 0;
    }

    try {
      if (sample == nullptr) {
        HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: !pAudioSample");
      } else if (sample->GetDataSize() == 0) {
        HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: sample size=0");
      }
    } catch (...) {
      HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 5");
      return 0;
    }

    {
      CriticalSectionLock lock(audioSinksMutex);
      for (AudioSinkInterface* sink : audioSinks) {
        try {
          SendAudioSample(sample, sink);
        } catch (...) {
          HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 6");
        }
      }
    }

    try {
      if (sample != nullptr) sample->Release(this);
    } catch (...) {
      HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 7");
      return 0;
    }
  }

  try {
    CriticalSectionLock lock(sourceStateMutex);
    bSourceThreadRunning = false;
    TRACE(tracer, trace::kState, "SourceThreadProc : calling SourceThreadStopped\n");
    SourceThreadStopped(sourceThreadHandle.get(), sourceThreadID);
    sourceThreadHandle.reset();  // closes this thread's own handle; the thread runs on
    sourceThreadID = 0;
  } catch (...) {
    HostLogWriter::DeferPlain("AudioSource::SourceThreadProc: exception 8");
    return 0;
  }
  // The last touch of this object: the owner may destroy it as soon as the stop wait returns.
  sourceThreadStopEvent.Set();
  return 0;
}

WaitResult AudioSource::WaitForSourceThreadEnd(uint32_t ms) {
  if (!bStopSignalPending.load()) return WaitResult::kSignaled;
  const WaitResult waited = sourceThreadStopEvent.Wait(ms);
  if (waited == WaitResult::kSignaled) bStopSignalPending = false;
  return waited;
}

int32_t AudioSource::StopSourceThread() {
  TRACE(tracer, trace::kEntry, "StopSourceThread\n");
  sourceStartStopMutex.Enter();
  TRACE(tracer, trace::kState, "StopSourceThread : entered  sourceStartStopMutex\n");
  sourceStateMutex.Enter();
  TRACE(tracer, trace::kState, "StopSourceThread : entered  sourceStateMutex\n");
  if (!bSourceThreadRunning) {
    TRACE(tracer, trace::kNotable, "StopSourceThread : bSourceThreadRunning = false\n");
  } else {
    bStopSourceThread = true;
  }
  // Also a thread that has already left its loop is waited for: it still touches the object
  // until its stop signal.
  const bool wait = bStopSignalPending.load();
  sourceStateMutex.Leave();
  TRACE(tracer, trace::kState, "StopSourceThread : left  sourceStateMutex\n");
  if (wait) {
    TRACE(tracer, trace::kState,
          "StopSourceThread : before WaitForSingleObject(sourceThreadStopEvent, INFINITE)\n");
    const WaitResult waited = WaitForSourceThreadEnd(kStopWaitMs);
    TRACE(tracer, trace::kState, "StopSourceThread : waitResult = 0x%x\n",
          static_cast<uint32_t>(waited));
    if (waited == WaitResult::kFailed) {
      TRACE(tracer, trace::kError, "StopSourceThread : e-WaitForSingleObject : %d 0x%x\n",
            static_cast<int>(kEventError), kEventError);
    }
  }
  sourceStartStopMutex.Leave();
  TRACE(tracer, trace::kState, "StopSourceThread : left  sourceStartStopMutex\n");
  TRACE(tracer, trace::kEntry, "~StopSourceThread : returning %d\n", 0);
  return 0;
}

}  // namespace tarsio
