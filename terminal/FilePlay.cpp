#include "terminal/FilePlay.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "devices/WaveFileSource.h"
#include "dsp/ACMTransformer.h"
#include "dsp/PCMVolumeTransformer.h"
#include "framework/AudioTransformer.h"
#include "framework/Registry.h"
#include "terminal/COrbeMediaTerm.h"
#include "terminal/EndOfFileRegistry.h"

namespace tarsio {

namespace {
// Ids of file plays: every new play takes the counter plus one, so the first id is 1.
std::atomic<uint32_t> filePlayIdCounter{0};
}  // namespace

FilePlay::FilePlay(AudioSink* destination, uint32_t frameTimeMs, bool isTransmit)
    : bIsTransmit(isTransmit) {
  tracer.SetInstanceName("FilePlay", this);
  ReadTraceLevel();
  waveFileSource = std::make_unique<WaveFileSource>();
  waveFileSource->AddListener(this);
  acmTransformer = std::make_unique<ACMTransformer>();
  acmTransformer->SetFrameTime(frameTimeMs);
  pcmVolumeTransformer = std::make_unique<PCMVolumeTransformer>();
  audioSink = nullptr;
  currentState = STATE_STOPPED;
  ::tarsio::Connect(waveFileSource.get(), acmTransformer.get());
  ::tarsio::Connect(acmTransformer.get(), pcmVolumeTransformer.get());
  Connect(destination);
  id = filePlayIdCounter.fetch_add(1) + 1;
}

FilePlay::~FilePlay() {
  StopImmediately();
  Disconnect();
  waveFileSource.reset();
  acmTransformer.reset();
  pcmVolumeTransformer.reset();
}

int32_t FilePlay::ReadTraceLevel() {
  // "FilePlay" is read once before "AllComponents" so that the value exists in any case.
  RegGetDWORD(RegistryRoot::kCurrentUser, kTracingKey, "FilePlay", 0x100000);
  return ReadTraceLevelFor("FilePlay");
}

int32_t FilePlay::LoadFile(const char* fileName) { return waveFileSource->OpenWaveFile(fileName); }

int32_t FilePlay::PlayInLoop() { return waveFileSource->PlayInLoop(); }

int32_t FilePlay::SetVolume(int32_t volumePercent) {
  return pcmVolumeTransformer->SetVolume(volumePercent);
}

void FilePlay::SetStopWaitMs(uint32_t ms) {
  stopWaitMs = ms;
  waveFileSource->SetSourceStopWaitMs(ms);
}

int32_t FilePlay::SetDestinationFormat(const WAVEFORMATEX& format) {
  return acmTransformer->SetDestinationFormat(format);
}

int32_t FilePlay::Connect(AudioSink* sink) {
  Disconnect();
  if (sink != nullptr) ::tarsio::Connect(pcmVolumeTransformer.get(), sink);
  audioSink = sink;
  return 0;
}

int32_t FilePlay::Disconnect() {
  if (audioSink != nullptr) ::tarsio::Disconnect(pcmVolumeTransformer.get(), audioSink);
  audioSink = nullptr;
  return 0;
}

bool FilePlay::IsRunning() {
  CriticalSectionLock lock(stateMutex);
  return currentState != STATE_STOPPED;
}

int32_t FilePlay::GetState() {
  CriticalSectionLock lock(stateMutex);
  return currentState;
}

void FilePlay::SetState(State state) {
  CriticalSectionLock lock(stateMutex);
  currentState = state;
  stateChangedEvent.Set();
}

int32_t FilePlay::Start(std::shared_ptr<void> keepAlive) {
  {
    CriticalSectionUniqueLock lock(stateMutex);
    switch (currentState) {
      case STATE_STOPPED:
        currentState = STATE_STARTING;
        stateChangedEvent.Set();
        break;
      case STATE_STARTING:
        while (currentState != STATE_RUNNING && currentState != STATE_STOPPED) {
          stateChangedEvent.ResetEvent();
          lock.unlock();
          stateChangedEvent.Wait(kInfinite);
          lock.lock();
        }
        if (currentState == STATE_STOPPED) {
          TRACE(tracer, trace::kError,
                "Start STATE_STARTING: went to STATE_STOPPED ! Returning error");
          return -10;
        }
        return 0;
      case STATE_RUNNING:
        return 0;
      case STATE_STOPPING:
        TRACE(tracer, trace::kError, "Start STATE_STOPPING: invalid state to call Start");
        return -20;
      default:
        TRACE(tracer, trace::kError, "Start default: Error : invalid current state %d",
              static_cast<int>(currentState));
        return -30;
    }
  }

  WAVEFORMATEX format;
  int32_t code = 0;
  if (waveFileSource->GetFormat(&format) != 0) {
    code = -35;
  } else if (acmTransformer->SetSourceFormat(format) != 0) {
    code = -40;
  } else if (pcmVolumeTransformer->StartTransform() != 0) {
    code = -50;
  } else if (acmTransformer->StartTransform() != 0) {
    pcmVolumeTransformer->StopTransform();
    code = -60;
  }
  if (code != 0) {
    TRACE(tracer, trace::kError, "Start : unsuccessful start. Going to STOPPED state");
    SetState(STATE_STOPPED);
    return code;
  }

  // The source reports FILE_STARTED from its start hook, on this thread, before its thread runs.
  waveFileSource->SetSourceThreadKeepAlive(std::move(keepAlive));
  const int32_t threadResult = waveFileSource->StartSourceThread();
  if (threadResult < 0) {
    CriticalSectionLock lock(stateMutex);
    if (currentState == STATE_STARTING) {
      // No thread was made, so no notification will ever come: undo the start here.
      TRACE(tracer, trace::kError, "Start : e-StartSourceThread %d. Going to STOPPED state\n",
            threadResult);
      acmTransformer->StopTransform();
      pcmVolumeTransformer->StopTransform();
      currentState = STATE_STOPPED;
      stateChangedEvent.Set();
      return -70;
    }
  }
  return 0;
}

void FilePlay::FilePlayStarted(WaveFileSource* /*source*/, const char* /*fileName*/) {
  CriticalSectionLock lock(stateMutex);
  if (currentState != STATE_STARTING) {
    TRACE(tracer, trace::kState, "FilePlayStarted : invalid current state %d",
          static_cast<int>(currentState));
  }
  currentState = STATE_RUNNING;
  stateChangedEvent.Set();
}

void FilePlay::FilePlayStopped(WaveFileSource* /*source*/, const char* /*fileName*/) {
  {
    CriticalSectionLock lock(stateMutex);
    if (currentState != STATE_RUNNING) {
      if (currentState != STATE_STOPPING) {
        TRACE(tracer, trace::kState, "FilePlayStopped : invalid current state %d",
              static_cast<int>(currentState));
      }
      return;
    }
    currentState = STATE_STOPPING;
    stateChangedEvent.Set();
  }
  Cleanup();
}

int32_t FilePlay::Cleanup() {
  {
    CriticalSectionLock lock(stateMutex);
    if (currentState != STATE_STOPPING) {
      TRACE(tracer, trace::kError, "Cleanup : invalid state %d to call Cleanup",
            static_cast<int>(currentState));
    }
  }
  ::tarsio::Disconnect(waveFileSource.get(), acmTransformer.get());
  acmTransformer->StopTransform();
  pcmVolumeTransformer->StopTransform();
  ::tarsio::Disconnect(acmTransformer.get(), pcmVolumeTransformer.get());
  Disconnect();
  if (owner != nullptr) {
    EndOfFileRegistry::Notify(owner, id, !bIsTransmit);
  } else {
    EndOfFileRegistry::Notify(id, !bIsTransmit);
  }
  SetState(STATE_STOPPED);
  return 0;
}

int32_t FilePlay::CleanupImmediately() {
  {
    CriticalSectionLock lock(stateMutex);
    if (currentState != STATE_STOPPING) {
      TRACE(tracer, trace::kError,
            "CleanupImmediately : invalid state %d to call CleanupImmediately",
            static_cast<int>(currentState));
    }
  }
  acmTransformer->StopTransform();
  pcmVolumeTransformer->StopTransform();
  ::tarsio::Disconnect(waveFileSource.get(), acmTransformer.get());
  ::tarsio::Disconnect(acmTransformer.get(), pcmVolumeTransformer.get());
  Disconnect();
  if (COrbeMediaTerm* term = owner != nullptr ? owner : COrbeMediaTerm::Current()) {
    if (bIsTransmit) {
      term->FireEndOfFileTX(id);
    } else {
      term->FireEndOfFileRX(id);
    }
  }
  SetState(STATE_STOPPED);
  return 0;
}

int32_t FilePlay::StopImmediately() {
  CriticalSectionUniqueLock lock(stateMutex);
  switch (currentState) {
    case STATE_STOPPED:
      TRACE(tracer, trace::kState, "StopImmediately STATE_STOPPED: already stopped");
      return 0;
    case STATE_STARTING:
      TRACE(tracer, trace::kError,
            "StopImmediately STATE_STARTING: invalid state to call StopImmediately");
      return -10;
    case STATE_RUNNING:
      currentState = STATE_STOPPING;
      stateChangedEvent.Set();
      lock.unlock();
      // Emptying the converter's queue frees a conversion waiting for room, so the file source's
      // thread can see its stop flag.
      acmTransformer->FlushBuffer();
      acmTransformer->StopTransform();
      waveFileSource->StopSourceThread();
      CleanupImmediately();
      SetState(STATE_STOPPED);
      return 0;
    case STATE_STOPPING: {
      // Another stop, or the play's own thread at its end, is on its way to STATE_STOPPED.
      uint32_t waited = 0;
      constexpr uint32_t kWaitStepMs = 20;
      const uint32_t bound = stopWaitMs.load();
      while (currentState != STATE_STOPPED && waited < bound) {
        stateChangedEvent.ResetEvent();
        acmTransformer->FlushBuffer();
        lock.unlock();
        stateChangedEvent.Wait(kWaitStepMs);
        waited += kWaitStepMs;
        lock.lock();
      }
      if (currentState != STATE_STOPPED) {
        TRACE(tracer, trace::kError, "StopImmediately STATE_STOPPING: gave up after %u ms", waited);
      }
      return 0;
    }
    default:
      TRACE(tracer, trace::kError, "StopImmediately default : invalid state %d",
            static_cast<int>(currentState));
      return 0;
  }
}

}  // namespace tarsio
