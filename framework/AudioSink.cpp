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

AudioSink::~AudioSink() = default;

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
  CriticalSectionLock lock(sinkStateMutex);
  if (bSinkRunning || bSinkThreadRunning) {
    HostLogWriter::Plain("AudioSink::StartSink (1)");
    return -10;
  }
  const int32_t hook = SinkStarted();
  if (hook != 0) {
    TRACE(tracer, trace::kError, "StartSink : SinkStarted returned %d\n", hook);
    HostLogWriter::Plain("AudioSink::StartSink (2)");
    return -20;
  }
  bSinkRunning = true;
  return 0;
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

int32_t AudioSink::StartSinkThread() {
  TRACE(tracer, trace::kEntry, "StartSinkThread\n");
  ReadTraceLevel();
  // Starts are serialised with stops: a stop waiting for the old thread's stop event must not
  // have that event cleared under it by a new start.
  CriticalSectionLock startStopLock(sinkStartStopMutex);
  int32_t result = 0;
  sinkStateMutex.Enter();
  TRACE(tracer, trace::kState, "StartSinkThread : entered sinkStateMutex\n");
  if (bSinkRunning || bSinkThreadRunning) {
    TRACE(tracer, trace::kError,
          "StartSinkThread : e-error : bSinkRunning = %d, bSinkThreadRunning = %d\n",
          static_cast<int>(bSinkRunning.load()), static_cast<int>(bSinkThreadRunning.load()));
    result = -10;
  } else if (sinkThreadHandle || sinkThreadID != 0) {
    TRACE(tracer, trace::kError,
          "StartSinkThread : e-error : sinkThreadHandle = 0x%x, sinkThreadID = 0x%x\n",
          HandleValueOf(sinkThreadHandle), sinkThreadID);
    result = -20;
  } else {
    sinkThreadStartEvent.ResetEvent();
    sinkThreadStopEvent.ResetEvent();
    bStopSinkThread = true;
    sinkThreadHandle = Thread::CreateSuspended([this] { return SinkThreadProc(); });
    sinkThreadID = sinkThreadHandle ? sinkThreadHandle->Id() : 0;
    if (!sinkThreadHandle) {
      sinkThreadID = 0;
      TRACE(tracer, trace::kError, "StartSinkThread : e-CreateThread\n");
      result = -30;
    } else {
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
  sinkStateMutex.Leave();
  TRACE(tracer, trace::kState, "StartSinkThread : left  sinkStateMutex\n");
  if (result == -40) {
    // The refused thread is on its way out; let it finish so that the caller may destroy or
    // restart the sink as soon as this returns.
    WaitForSinkThreadEnd(kInfinite);
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
  {
    CriticalSectionLock lock(sinkStateMutex);
    bSinkThreadRunning = false;
    TRACE(tracer, trace::kState, "SinkThreadProc : calling SinkThreadStopped\n");
    try {
      SinkThreadStopped(sinkThreadHandle.get(), sinkThreadID);
    } catch (...) {
      HostLogWriter::DeferPlain("AudioSink::SinkThreadProc: exception");
    }
    sinkThreadHandle.reset();  // closes this thread's own handle; the thread runs on
    sinkThreadID = 0;
  }
  TRACE(tracer, trace::kState, "SinkThreadProc : left sinkStateMutex\n");
  TRACE(tracer, trace::kState, "SinkThreadProc : setting sinkThreadStopEvent and exiting\n");
  // The last touch of this object: the owner may destroy it as soon as the stop wait returns.
  sinkThreadStopEvent.Set();
  return 0;
}

WaitResult AudioSink::WaitForSinkThreadEnd(uint32_t ms) {
  if (!bStopSignalPending.load()) return WaitResult::kSignaled;
  const WaitResult waited = sinkThreadStopEvent.Wait(ms);
  if (waited == WaitResult::kSignaled) bStopSignalPending = false;
  return waited;
}

int32_t AudioSink::StopSinkThread() {
  TRACE(tracer, trace::kEntry, "StopSinkThread\n");
  sinkStartStopMutex.Enter();
  TRACE(tracer, trace::kState, "StopSinkThread : entered sinkStartStopMutex\n");
  sinkStateMutex.Enter();
  TRACE(tracer, trace::kState, "StopSinkThread : entered sinkStateMutex\n");
  if (!bSinkThreadRunning) {
    TRACE(tracer, trace::kNotable, "StopSinkThread : bSinkThreadRunning = false\n");
  } else {
    bStopSinkThread = true;
  }
  // Also a thread that has already left its loop is waited for: it still touches the object
  // until its stop signal.
  const bool wait = bStopSignalPending.load();
  sinkStateMutex.Leave();
  TRACE(tracer, trace::kState, "StopSinkThread : left  sinkStateMutex\n");
  if (wait) {
    TRACE(tracer, trace::kState, "StopSinkThread : before WaitForSingleObject\n");
    WaitForSinkThreadEnd(kInfinite);
  }
  sinkStartStopMutex.Leave();
  TRACE(tracer, trace::kState, "StopSinkThread : left  sinkStartStopMutex\n");
  TRACE(tracer, trace::kEntry, "~StopSinkThread : returning %d\n", 0);
  return 0;
}

}  // namespace tarsio
