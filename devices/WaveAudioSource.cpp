#include "devices/WaveAudioSource.h"

#include <cstring>

#include "devices/DeviceCallRetry.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/HostLogWriter.h"
#include "framework/TrafficTotals.h"
#include "platform/AudioBackendSelector.h"
#include "platform/Clock.h"
#include "platform/WaveAudioMixer.h"

namespace tarsio {

namespace {

constexpr uint32_t kOpenRetrySleepMs = 1000;
constexpr uint32_t kDataWaitMs = 5000;
constexpr int kStopWakeups = 39;

}  // namespace

WaveAudioSource::WaveAudioSource() {
  tracer.SetInstanceName("WaveAudioSource", this);
  ReadTraceLevel();
  SetFormat(5);
}

WaveAudioSource::~WaveAudioSource() {
  // A stop that gave up left the thread running source code: give it one more bounded chance.
  if (!lastStopCompleted && WaitForSourceThreadEnd(kCloseLimitMs) != WaitResult::kSignaled) {
    HostLogWriter::DeferWithNumber("WaveAudioSource::StopSourceThread: device still closing, ms=",
                                   kCloseLimitMs);
  }
  EndAudioCapture();  // drops the device: no callback reaches the source after this
  CriticalSectionLock lock(bufferListMutex);
  buffersToAdd.clear();
  buffersToAddCount = 0;
}

int32_t WaveAudioSource::ReadTraceLevel() { return ReadTraceLevelFor("WaveAudioSource"); }

int32_t WaveAudioSource::SetFormat(int formatIndex) {
  if (!bRunning) format = MakeAudioFormat(formatIndex);
  return 0;
}

int32_t WaveAudioSource::SetDeviceID(int32_t id) {
  deviceID = id;
  return 0;
}

int32_t WaveAudioSource::SetBufferSize(uint32_t bytes) {
  if (!bRunning) bufferSize = bytes;
  return 0;
}

void WaveAudioSource::SetAudioBackend(std::shared_ptr<AudioBackend> b) { backend = std::move(b); }

int32_t WaveAudioSource::BeginAudioCapture() {
  {
    CriticalSectionLock lock(bufferListMutex);
    buffersToAdd.clear();
    buffersToAddCount = 0;
  }
  sampleManager = AudioSampleManager::Instance();
  std::shared_ptr<AudioBackend> device = backend ? backend : AudioBackendSelector::Current();
  std::unique_ptr<WaveAudioIn> handle;
  uint32_t mr = WaveAudioIn::Open(*device, &handle, deviceID, &format, &WaveInCallback,
                                  reinterpret_cast<uintptr_t>(this));
  if (mr != mmsys::kNoError) {
    SleepMs(kOpenRetrySleepMs);
    mr = WaveAudioIn::Open(*device, &handle, deviceID, &format, &WaveInCallback,
                           reinterpret_cast<uintptr_t>(this));
    if (mr != mmsys::kNoError) {
      HostLogWriter::WithNumber("WaveAudioSource::BeginAudioCapture: !waveInOpen, mr =", mr);
      return -10;
    }
  }
  CriticalSectionLock lock(waveInMutex);
  waveIn = std::move(handle);
  bEnabled = true;
  const uint32_t size = bufferSize < kMaxBufferSize ? bufferSize : kMaxBufferSize;
  for (uint32_t i = 0; i < numBuffers; ++i) {
    WAVEHDR& header = headers[i];
    header.lpData = data[i];
    header.dwBufferLength = size;
    header.dwFlags = 0;
    header.dwUser = i;
    if (waveIn->PrepareHeader(&header, kWaveHdrSize) == mmsys::kNoError) {
      AddBuffer(i);
    }
  }
  const uint32_t started = waveIn->Start();
  if (started != mmsys::kNoError) {
    HostLogWriter::WithNumber("WaveAudioSource::BeginAudioCapture: !waveInPrepareHeader, result =",
                              started);
    return -20;
  }
  return 0;
}

int32_t WaveAudioSource::EndAudioCapture() {
  std::shared_ptr<WaveAudioIn> device;
  {
    CriticalSectionLock lock(waveInMutex);
    if (!waveIn) return 0;
    bEnabled = false;
    device = std::move(waveIn);
  }
  // The device calls run outside waveInMutex: GenerateData needs it every frame.
  const auto stalled = [&] { return device->IsStalled(); };
  if (RetryDeviceCall([&] { return device->Reset(); }, stalled) == mmsys::kNoError) {
    for (uint32_t i = 0; i < numBuffers; ++i) {
      RetryDeviceCall([&] { return device->UnprepareHeader(&headers[i], kWaveHdrSize); }, stalled);
    }
    RetryDeviceCall([&] { return device->Close(); }, stalled);
  }
  // Without a reset the buffers are still at the device, so neither unprepare nor close could
  // succeed: the device is dropped at once (its destructor resets and closes once more, and
  // abandons a thread stuck in the backend).
  device.reset();
  return 0;
}

int32_t WaveAudioSource::AddBuffer(uint32_t index) {
  {
    CriticalSectionLock lock(waveInMutex);
    if (bEnabled) {
      const uint32_t mr = waveIn->AddBuffer(&headers[index], kWaveHdrSize);
      if (mr != mmsys::kNoError) {
        TRACE(tracer, trace::kError, "AddBuffer : e-waveInAddBuffer : 0x%x\n", mr);
        return -10;
      }
      return 0;
    }
  }
  {
    CriticalSectionLock lock(bufferListMutex);
    buffersToAdd.push_back(&headers[index]);
    ++buffersToAddCount;
  }
  dataEvent.Set();
  return 0;
}

void WaveAudioSource::WaveInCallback(WaveAudioDevice*, uint32_t message, uintptr_t instance,
                                     uintptr_t param1, uintptr_t) {
  auto* self = reinterpret_cast<WaveAudioSource*>(instance);
  switch (message) {
    case wave::kInClose:
      self->dataEvent.Set();
      break;
    case wave::kInData: {
      auto* header = reinterpret_cast<WAVEHDR*>(param1);
      TrafficTotals::Add(TrafficTotals::capturedBytes, header->dwBytesRecorded);
      if (header->dwBytesRecorded == 0) {
        HostLogWriter::DeferPlain("WaveAudioSource::WaveInCallback: dwBytesRecorded == 0");
      }
      {
        CriticalSectionLock lock(self->bufferListMutex);
        self->buffersToAdd.push_back(header);
        ++self->buffersToAddCount;
      }
      self->dataEvent.Set();
      break;
    }
    default:
      break;
  }
}

int32_t WaveAudioSource::GenerateData(AudioSample** out) {
  try {
    *out = nullptr;
    bool waited = false;
    WAVEHDR* header = nullptr;
    for (;;) {
      bool enabled = false;
      {
        CriticalSectionLock lock(waveInMutex);
        enabled = bEnabled;
      }
      if (!enabled) {
        if (waited) dataEvent.Set();
        return 0;
      }
      {
        CriticalSectionLock lock(bufferListMutex);
        if (!buffersToAdd.empty()) {
          header = buffersToAdd.front();
          buffersToAdd.pop_front();
          --buffersToAddCount;
          if (header->dwBytesRecorded == 0) {
            HostLogWriter::DeferPlain("WaveAudioSource::GenerateData: dwBytesRecorded == 0");
          }
          break;
        }
      }
      dataEvent.Wait(kDataWaitMs);
      waited = true;
      // A device that stopped delivering must not keep a stopping thread here for ever.
      if (bStopSourceThread && bSourceThreadRunning) return 0;
    }

    AudioSample* sample = nullptr;
    sampleManager->GetAudioSample(&sample, this);
    *out = sample;
    sample->SetFormat(format);

    uint32_t bytesToFill = header->dwBytesRecorded;
    if (bytesToFill > sample->GetCapacity()) bytesToFill = sample->GetCapacity();
    if (bytesToFill == 0)
      HostLogWriter::DeferPlain("WaveAudioSource::GenerateData: bytesToFill == 0");
    sample->SetDataSize(static_cast<int32_t>(bytesToFill));

    bool canEncode = false;
    const uint32_t step = format.wBitsPerSample / 8;
    if (step == 1 || step == 2 || step == 4) {
      for (uint32_t i = 0; i + step <= bytesToFill && !canEncode; i += step) {
        const uint8_t* p = header->lpData + i;
        int64_t value = 0;
        if (step == 1) {
          value = static_cast<int8_t>(p[0]);
        } else if (step == 2) {
          value = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
        } else {
          value = static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                       uint32_t{p[3]} << 24);
        }
        canEncode = value > 4 || value < -4;
      }
    }
    if (!canEncode) HostLogWriter::DeferPlain("WaveAudioSource::GenerateData: !canEncode");

    if (volume > 0 && canEncode) {
      std::memcpy(sample->GetData(), header->lpData, bytesToFill);
    } else {
      sample->SetSilenceDuration(sample->GetDuration());
      sample->SetDataSize(0);
    }
    AddBuffer(static_cast<uint32_t>(header->dwUser));
    return 0;
  } catch (...) {
    HostLogWriter::DeferPlain("WaveAudioSource::GenerateData: exception 1");
    return -1;
  }
}

int32_t WaveAudioSource::SetVolume(uint32_t v) {
  volume = v;
  if (!bRunning) {
    bVolumePending = true;
    return 0;
  }
  // One walk at a time, on a copy of the handle: the mixer calls run outside waveInMutex.
  CriticalSectionLock volumeLock(volumeMutex);
  std::shared_ptr<WaveAudioIn> device;
  {
    CriticalSectionLock lock(waveInMutex);
    device = waveIn;
  }
  if (device) ApplyVolume(*device, v);
  return 0;
}

// The microphone walk over the capture mixer: the first microphone or undefined source line with a
// volume control gets the level (and its mute, if any); without one, the destination line does.
void WaveAudioSource::ApplyVolume(WaveAudioIn& device, uint32_t v) {
  std::unique_ptr<WaveAudioMixer> mixer;
  uint32_t mr = WaveAudioMixer::Open(&mixer, &device);
  if (mr != mmsys::kNoError) {
    TRACE(tracer, trace::kError, "SetVolume : e-mixerOpen : %d\n", mr);
    return;
  }
  const uint32_t level = v * 65535u / 100u;
  auto traceLineInfo = [&](uint32_t r) {
    TRACE(tracer, trace::kError,
          "SetVolume : e-mixerGetLineInfo((HMIXEROBJ)hMixer, &mxl, "
          "MIXER_GETLINEINFOF_COMPONENTTYPE) : %d\n",
          r);
  };
  auto traceControls = [&](uint32_t r) {
    TRACE(tracer, trace::kError,
          "SetVolume : e-mixerGetLineControls((HMIXEROBJ)hMixer,&mxlc, "
          "MIXER_GETLINECONTROLSF_ONEBYTYPE) : %d. Could not get MIXERCONTROL_CONTROLTYPE_VOLUME\n",
          r);
  };
  auto traceGet = [&](uint32_t r) {
    TRACE(tracer, trace::kError,
          "SetVolume : e-mixerGetControlDetails((HMIXEROBJ)hMixer, &mxcd, "
          "MIXER_GETCONTROLDETAILSF_VALUE) : %d\n",
          r);
  };
  auto traceSet = [&](uint32_t r) {
    TRACE(tracer, trace::kError,
          "SetVolume : e-mixerSetControlDetails((HMIXEROBJ)hMixer, &mxcd, "
          "MIXER_SETCONTROLDETAILSF_VALUE) : %d\n",
          r);
  };
  // Reads a control and writes value: false (traced) on the first failing call.
  auto readWrite = [&](uint32_t controlID, uint32_t value) {
    uint32_t current = 0;
    uint32_t r = mixer->GetControlValue(controlID, &current);
    if (r != mmsys::kNoError) {
      traceGet(r);
      return false;
    }
    r = mixer->SetControlValue(controlID, value);
    if (r != mmsys::kNoError) {
      traceSet(r);
      return false;
    }
    return true;
  };

  MixerLine destination{};
  destination.dwComponentType = mixer::kDstWaveIn;
  mr = mixer->GetLineInfoByComponentType(&destination);
  if (mr == mmsys::kNoError) {
    bool volumeSet = false;
    for (uint32_t i = 0; i < destination.cConnections; ++i) {
      MixerLine line{};
      line.dwDestination = destination.dwDestination;
      line.dwSource = i;
      if (mixer->GetLineInfoBySource(&line) != mmsys::kNoError) continue;
      const bool microphone = line.dwComponentType == mixer::kSrcMicrophone;
      if (!microphone && line.dwComponentType != mixer::kSrcUndefined) continue;
      MixerControl control{};
      uint32_t r = mixer->GetLineControlByType(line.dwLineID, mixer::kControlVolume, &control);
      if (r != mmsys::kNoError) {
        traceControls(r);
        break;
      }
      if (!readWrite(control.dwControlID, level)) break;
      volumeSet = true;
      MixerControl mute{};
      r = mixer->GetLineControlByType(line.dwLineID, mixer::kControlMute, &mute);
      if (r == mmsys::kNoError) {
        readWrite(mute.dwControlID, v == 0 ? 1u : 0u);
        mixer->Close();
        return;
      }
      if (microphone) {
        mixer->Close();
        return;
      }
    }
    if (volumeSet) {
      mixer->Close();
      return;
    }
  } else {
    traceLineInfo(mr);
  }

  // Fall-back: the destination line itself.
  do {
    MixerLine line{};
    line.dwComponentType = mixer::kDstWaveIn;
    uint32_t r = mixer->GetLineInfoByComponentType(&line);
    if (r != mmsys::kNoError) {
      traceLineInfo(r);
      break;
    }
    MixerControl control{};
    r = mixer->GetLineControlByType(line.dwLineID, mixer::kControlVolume, &control);
    if (r != mmsys::kNoError) {
      traceControls(r);
      break;
    }
    if (!readWrite(control.dwControlID, level)) break;
    r = mixer->GetLineControlByType(line.dwLineID, mixer::kControlMute, &control);
    if (r != mmsys::kNoError) {
      traceControls(r);
      break;
    }
    readWrite(control.dwControlID, v == 0 ? 1u : 0u);
  } while (false);
  mixer->Close();
}

int32_t WaveAudioSource::SourceStarted() {
  CriticalSectionLock lock(filterMutex);
  if (bRunning) return -10;
  if (BeginAudioCapture() != 0) return -20;
  bRunning = true;
  if (bVolumePending) {
    SetVolume(volume);
    bVolumePending = false;
  }
  return 0;
}

int32_t WaveAudioSource::SourceThreadStarted(Thread* threadHandle, uint32_t) {
  CriticalSectionLock lock(filterMutex);
  ReadTraceLevel();
  if (threadHandle != nullptr && !threadHandle->SetPriority(ThreadPriority::kTimeCritical)) {
    HostLogWriter::WithNumber("WaveAudioSource::SourceThreadStarted (1), GetLastError=",
                              threadHandle->LastError());
  }
  const int32_t result = BeginAudioCapture();
  if (result != 0) {
    HostLogWriter::WithNumber("WaveAudioSource::SourceThreadStarted (2), returnCode=", result);
    return -10;
  }
  bRunning = true;
  if (bVolumePending) {
    SetVolume(volume);
    bVolumePending = false;
  }
  return 0;
}

int32_t WaveAudioSource::SourceStopped() {
  CriticalSectionLock lock(filterMutex);
  if (!bRunning) return -10;
  if (EndAudioCapture() != 0) return -20;
  bVolumePending = false;
  bRunning = false;
  return 0;
}

int32_t WaveAudioSource::SourceThreadStopped(Thread*, uint32_t) { return SourceStopped(); }

int32_t WaveAudioSource::StopSourceThread() {
  bool open = false;
  {
    CriticalSectionLock lock(waveInMutex);
    open = waveIn != nullptr;
  }
  if (bSourceThreadRunning && open && !bStopSourceThread) {
    bStopSourceThread = true;
    for (int i = 0; i < kStopWakeups && bSourceThreadRunning; ++i) {
      dataEvent.Set();
      SleepMs(kDeviceRetrySleepMs);
    }
    // After its loop the thread still closes the device (SourceThreadStopped) and then signals
    // its last act; wait (bounded) for that, so the device is closed and the object free when the
    // stop returns.
    if (WaitForSourceThreadEnd(kCloseLimitMs) != WaitResult::kSignaled) {
      HostLogWriter::WithNumber("WaveAudioSource::StopSourceThread: device still closing, ms=",
                                kCloseLimitMs);
      lastStopCompleted = false;
      return 0;
    }
  }
  const int32_t result = AudioSource::StopSourceThread();
  lastStopCompleted = !bStopSignalPending.load();
  return result;
}

}  // namespace tarsio
