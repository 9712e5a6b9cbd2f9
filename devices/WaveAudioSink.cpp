#include "devices/WaveAudioSink.h"

#include <algorithm>
#include <cstring>

#include "devices/DeviceCallRetry.h"
#include "framework/AudioSample.h"
#include "framework/HostLogWriter.h"
#include "framework/TrafficTotals.h"
#include "platform/AudioBackendSelector.h"
#include "platform/Clock.h"

namespace tarsio {

namespace {

constexpr uint32_t kOpenRetrySleepMs = 1000;
constexpr int kDrainWaits = 100;
constexpr uint32_t kDrainWaitMs = 50;
constexpr uint32_t kFreeBufferWaitMs = 1000;
constexpr uint32_t kStopPollMs = 10;

}  // namespace

WaveAudioSink::WaveAudioSink() : format(MakeAudioFormat(5)) {
  tracer.SetInstanceName("WaveAudioSink", this);
  ReadTraceLevel();
}

WaveAudioSink::~WaveAudioSink() {
  // A stop that gave up left the thread running sink code: give it one more bounded chance.
  if (!lastStopCompleted && WaitForSinkThreadEnd(kCloseLimitMs) != WaitResult::kSignaled) {
    HostLogWriter::DeferWithNumber("WaveAudioSink::StopSinkThread: device still closing, ms=",
                                   kCloseLimitMs);
  }
  CriticalSectionLock lock(filterMutex);
  EndAudioRender();
  // A device EndAudioRender kept (its reset failed) goes now, while every member its callback
  // touches is still alive; after this no callback reaches the sink.
  std::shared_ptr<WaveAudioOut> last;
  {
    CriticalSectionLock dataLock(dataMutex);
    last = std::move(waveOut);
  }
  last.reset();
  CriticalSectionLock listLock(freeBuffersMutex);
  freeBuffers.clear();
  freeBuffersCount = 0;
}

int32_t WaveAudioSink::ReadTraceLevel() { return ReadTraceLevelFor("WaveAudioSink"); }

int32_t WaveAudioSink::SetFrameSize(uint32_t bytes) {
  frameSize = std::min(bytes, kMaxFrameSize);
  return 0;
}

int32_t WaveAudioSink::SetNumFrames(uint32_t n) {
  numFrames = std::min(n, kMaxSlots);
  return 0;
}

int32_t WaveAudioSink::SetDeviceID(int32_t id) {
  deviceID = id;
  return 0;
}

void WaveAudioSink::SetAudioBackend(std::shared_ptr<AudioBackend> b) { backend = std::move(b); }

int32_t WaveAudioSink::SetVolume(uint32_t percent) {
  const uint32_t p = std::min(percent, 100u);
  const uint32_t level = p * 65535u / 100u;
  // One volume change at a time; the device call runs on a copy of the handle, outside dataMutex.
  CriticalSectionLock volumeLock(volumeMutex);
  std::shared_ptr<WaveAudioOut> out;
  {
    CriticalSectionLock lock(dataMutex);
    if (bRunning) out = waveOut;
  }
  if (out) out->SetVolume(level << 16 | level);
  return 0;
}

uint32_t WaveAudioSink::FreeBufferCount() {
  CriticalSectionLock lock(freeBuffersMutex);
  return freeBuffersCount;
}

int32_t WaveAudioSink::BeginAudioRender() {
  {
    CriticalSectionLock lock(freeBuffersMutex);
    freeBuffers.clear();
    freeBuffersCount = 0;
  }
  std::shared_ptr<AudioBackend> device = backend ? backend : AudioBackendSelector::Current();
  std::unique_ptr<WaveAudioOut> opened;
  const AudioBackend::StreamTiming timing{devicePeriodUs.load(), devicePeriods.load()};
  uint32_t mr = WaveAudioOut::Open(*device, &opened, deviceID, &format, &SpeakerCallback,
                                   reinterpret_cast<uintptr_t>(this), timing);
  if (mr != mmsys::kNoError) {
    HostLogWriter::WithNumber("WaveAudioSink::BeginAudioRender: !waveOutOpen (1), mr=", mr);
    SleepMs(kOpenRetrySleepMs);
    mr = WaveAudioOut::Open(*device, &opened, deviceID, &format, &SpeakerCallback,
                            reinterpret_cast<uintptr_t>(this), timing);
    if (mr != mmsys::kNoError) {
      HostLogWriter::WithNumber("WaveAudioSink::BeginAudioRender: !waveOutOpen (2), mr=", mr);
      return -10;
    }
  }
  std::shared_ptr<WaveAudioOut> out = std::move(opened);
  {
    CriticalSectionLock lock(dataMutex);
    waveOut = out;
  }
  bRenderClosing = false;
  int32_t result = 0;
  for (uint32_t i = 0; i < numFrames; ++i) {
    WAVEHDR& header = headers[i];
    header = WAVEHDR{};
    header.lpData = data[i];
    header.dwBufferLength = frameSize;
    header.dwFlags = 0;
    header.dwUser = i;
    const uint32_t prepared = out->PrepareHeader(&header, kWaveHdrSize);
    result = static_cast<int32_t>(prepared);
    if (prepared == mmsys::kNoError) {
      CriticalSectionLock lock(freeBuffersMutex);
      freeBuffers.push_back(&header);
      ++freeBuffersCount;
    } else {
      HostLogWriter::WithNumber("WaveAudioSink::BeginAudioRender: !waveOutPrepareHeader, result=",
                                prepared);
    }
  }
  return result;
}

int32_t WaveAudioSink::EndAudioRender() {
  std::shared_ptr<WaveAudioOut> out;
  {
    CriticalSectionLock lock(dataMutex);
    out = waveOut;
  }
  if (!out) return 0;
  bRenderClosing = true;
  SleepMs(0);

  // Let the buffers at the device play out, within one budget of 100 waits of 50 ms.
  int budget = kDrainWaits;
  for (uint32_t i = 0; i < numFrames && budget > 0 && !out->IsStalled(); ++i) {
    for (;;) {
      const uint32_t flags = out->HeaderFlags(&headers[i]);
      if ((flags & wave::kHdrPrepared) == 0 || (flags & wave::kHdrDone) != 0 || budget <= 0) break;
      freeBuffersEvent.Wait(kDrainWaitMs);
      --budget;
    }
  }

  // Forgets the handle; a device that is not closed goes with its last reference.
  const auto drop = [&] {
    {
      CriticalSectionLock lock(dataMutex);
      if (waveOut == out) waveOut.reset();
    }
    out.reset();
  };
  // Retrying a device whose backend call is stuck is pointless: it does not answer.
  const auto stalled = [&] { return out->IsStalled(); };
  if (RetryDeviceCall([&] { return out->Reset(); }, stalled) != mmsys::kNoError) {
    if (!out->IsStalled()) return -10;
    // Dropping it abandons its thread (bounded); no callback of it reaches the sink any more.
    drop();
    return -30;
  }
  for (uint32_t i = 0; i < numFrames; ++i) {
    RetryDeviceCall([&] { return out->UnprepareHeader(&headers[i], kWaveHdrSize); }, stalled);
  }
  const bool closed = RetryDeviceCall([&] { return out->Close(); }, stalled) == mmsys::kNoError;
  drop();
  return closed ? 0 : -30;
}

bool WaveAudioSink::ReadyToRender() {
  if (!bPullWhenReady.load()) return true;
  // Pull the next frame only once a device buffer can take it, so it does not wait a whole
  // buffer's time between the jitter buffer and the device.
  for (;;) {
    if (bStopSinkThread || bRenderClosing || !bRunning) return true;
    {
      CriticalSectionLock lock(freeBuffersMutex);
      if (!freeBuffers.empty()) return true;
      freeBuffersEvent.ResetEvent();
    }
    if (freeBuffersEvent.Wait(kFreeBufferWaitMs) != WaitResult::kSignaled) return true;
  }
}

WaveAudioSink::DelayReport WaveAudioSink::GetDelayReport() const {
  DelayReport report;
  report.queueMedianMs = queueDelay.Median();
  report.queueP95Ms = queueDelay.Quantile(0.95);
  report.deviceMedianMs = deviceDelay.Median();
  report.deviceP95Ms = deviceDelay.Quantile(0.95);
  return report;
}

WAVEHDR* WaveAudioSink::GetFreeBuffer() {
  if (bStopSinkThread) return nullptr;
  for (;;) {
    {
      CriticalSectionLock lock(dataMutex);
      if (!bRunning) return nullptr;
    }
    {
      CriticalSectionLock lock(freeBuffersMutex);
      if (!freeBuffers.empty()) {
        WAVEHDR* header = freeBuffers.front();
        freeBuffers.pop_front();
        --freeBuffersCount;
        return header;
      }
      freeBuffersEvent.ResetEvent();
    }
    freeBuffersEvent.Wait(kFreeBufferWaitMs);
    if (bStopSinkThread) return nullptr;
  }
}

void WaveAudioSink::SpeakerCallback(WaveAudioDevice*, uint32_t message, uintptr_t instance,
                                    uintptr_t param1, uintptr_t) {
  auto* self = reinterpret_cast<WaveAudioSink*>(instance);
  if (message == wave::kOutDone) {
    CriticalSectionLock lock(self->freeBuffersMutex);
    self->freeBuffers.push_back(reinterpret_cast<WAVEHDR*>(param1));
    ++self->freeBuffersCount;
    self->freeBuffersEvent.Set();
  } else if (message == wave::kOutClose) {
    self->freeBuffersEvent.Set();
  }
}

int32_t WaveAudioSink::RenderAudioSamples(AudioSampleList& audioSamples) {
  if (bRenderClosing) return 5;
  if (audioSamples.empty()) {
    SleepMs(5);
    HostLogWriter::DeferPlain("WaveAudioSink::RenderAudioSamples: !sample");
    return 0;
  }
  AudioSample* sample = audioSamples.front().first;
  if (sample == nullptr) {
    HostLogWriter::DeferPlain("WaveAudioSink::RenderAudioSamples: !sample");
    return 0;
  }
  const uint64_t arrivedMs = Clock::Current().NowMs();
  WAVEHDR* header = GetFreeBuffer();
  if (header == nullptr) return 0;

  {
    CriticalSectionLock lock(dataMutex);
    if (!waveOut || bStopSinkThread || bRenderClosing) {
      // Out of the rotation until the next BeginAudioRender; marked done so a drain skips it.
      if (waveOut) {
        waveOut->MarkDone(header);
      } else {
        header->dwFlags |= wave::kHdrDone;
      }
      return 0;
    }
  }

  const uint32_t limit = frameSize;
  uint32_t n = 0;
  if (sample->GetDataSize() > 0) {
    n = std::min(limit, static_cast<uint32_t>(sample->GetDataSize()));
    std::memcpy(header->lpData, sample->GetData(), n);
  } else {
    n = std::min(limit, static_cast<uint32_t>(std::max(0, sample->GetSilenceDataSize())));
    std::memset(header->lpData, 0, n);
  }
  header->dwBufferLength = n;

  uint32_t mr = mmsys::kInvalidHandle;
  uintptr_t handleValue = 0;
  std::shared_ptr<WaveAudioOut> out;
  {
    CriticalSectionLock lock(dataMutex);
    out = waveOut;
  }
  if (out) {
    // How long this frame waits before it is heard: since it reached the sink, plus the audio
    // queued ahead of it at the device, plus the device's own buffering.
    const uint64_t nowMs = Clock::Current().NowMs();
    const int64_t queueMs = static_cast<int64_t>(nowMs - arrivedMs + out->PlaybackQueueMs(nowMs));
    const int64_t deviceMs = out->OutputLatencyMs();
    {
      CriticalSectionLock lock(dataMutex);
      queueDelay.Add(queueMs);
      deviceDelay.Add(deviceMs);
    }
    handleValue = reinterpret_cast<uintptr_t>(out.get());
    mr = out->Write(header, kWaveHdrSize);
  }
  if (mr != mmsys::kNoError) {
    if (mr == mmsys::kInvalidHandle) {
      HostLogWriter::DeferWithNumber(
          "WaveAudioSink::RenderAudioSamples: !waveOutWrite (MMSYSERR_INVALHANDLE), hWaveOut=",
          static_cast<int64_t>(handleValue));
    } else {
      HostLogWriter::DeferWithNumber("WaveAudioSink::RenderAudioSamples: !waveOutWrite, mmr=", mr);
    }
    HostLogWriter::DeferPlain("WaveAudioSink::RenderAudioSamples: !waveOutWrite");
    return 0;
  }
  TrafficTotals::Add(TrafficTotals::playedBytes, n);
  return 0;
}

int32_t WaveAudioSink::SinkStarted() {
  CriticalSectionLock lock(filterMutex);
  if (bRunning) return -10;
  if (BeginAudioRender() != 0) return -20;
  bRunning = true;
  return 0;
}

int32_t WaveAudioSink::SinkThreadStarted(Thread* threadHandle, uint32_t) {
  CriticalSectionLock lock(filterMutex);
  ReadTraceLevel();
  queueDelay.Reset();  // the thread is still suspended: nothing writes them now
  deviceDelay.Reset();
  if (threadHandle != nullptr && !threadHandle->SetPriority(ThreadPriority::kTimeCritical)) {
    TRACE(tracer, trace::kError, "SinkThreadStarted : e-SetThreadPriority : %d\n",
          threadHandle->LastError());
  }
  if (BeginAudioRender() != 0) return -10;
  bRunning = true;
  return 0;
}

int32_t WaveAudioSink::SinkStopped() {
  CriticalSectionLock lock(filterMutex);
  if (!bRunning) return -10;
  if (EndAudioRender() != 0) return -20;
  bRunning = false;
  return 0;
}

int32_t WaveAudioSink::SinkThreadStopped(Thread*, uint32_t) { return SinkStopped(); }

int32_t WaveAudioSink::StopSinkThread() {
  if (bSinkThreadRunning) {
    bStopSinkThread = true;
    uint32_t waited = 0;
    while (bSinkThreadRunning && waited < kStopThreadLimitMs) {
      freeBuffersEvent.Set();  // out of a wait for a free buffer at once
      SleepMs(kStopPollMs);
      waited += kStopPollMs;
    }
    if (bSinkThreadRunning) {
      // The loop did not end (a pull or render that never returns): give up rather than hang.
      HostLogWriter::WithNumber("WaveAudioSink::StopSinkThread: sink thread still running, ms=",
                                waited);
      lastStopCompleted = false;
      return 0;
    }
  }
  // The thread closes the device after its loop (SinkThreadStopped); wait (bounded) for its last
  // act so the device is closed when the stop returns.
  if (WaitForSinkThreadEnd(kCloseLimitMs) != WaitResult::kSignaled) {
    HostLogWriter::WithNumber("WaveAudioSink::StopSinkThread: device still closing, ms=",
                              kCloseLimitMs);
    lastStopCompleted = false;
    return 0;
  }
  lastStopCompleted = true;
  return AudioSink::StopSinkThread();
}

}  // namespace tarsio
