#include "dsp/ACMTransformer.h"

#include <algorithm>
#include <cstring>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/Tracer.h"
#include "platform/Clock.h"

namespace tarsio {

ACMTransformer::ACMTransformer()
    : sourceFormat(PcmFormat()),
      destinationFormat(PcmFormat()),
      srcBuffer(std::make_unique<uint8_t[]>(kBufferSize)),
      dstBuffer(std::make_unique<uint8_t[]>(kBufferSize)),
      outputQueue(std::make_unique<uint8_t[]>(kBufferSize)),
      convertedCopy(std::make_unique<uint8_t[]>(kBufferSize)) {
  tracer.SetInstanceName("ACMTransformer", this);
  ACMTransformer::ReadTraceLevel();
  freeBuffers.reserve(2);
}

ACMTransformer::~ACMTransformer() {
  // Closes the stream if the owner forgot to stop the transform.
  CriticalSectionLock lock(acmMutex);
  stream.Close();
}

int32_t ACMTransformer::ReadTraceLevel() { return ReadTraceLevelFor("ACMTransformer"); }

int32_t ACMTransformer::SetSourceFormat(const WAVEFORMATEX& format) {
  CriticalSectionLock lock(stateMutex);
  sourceFormat = format;
  sourceFormat.cbSize = 0;
  return 0;
}

int32_t ACMTransformer::SetDestinationFormat(const WAVEFORMATEX& format) {
  CriticalSectionLock lock(stateMutex);
  // The play's chain is already connected to the call when its format is set, so a pull may be
  // reading the format at this very moment: formatMutex guards it against that.
  CriticalSectionLock formatLock(formatMutex);
  destinationFormat = format;
  destinationFormat.cbSize = 0;
  return 0;
}

int32_t ACMTransformer::SetFrameTime(uint32_t ms) {
  frameTime = ms;
  return 0;
}

AcmFormat ACMTransformer::ToAcmFormat(const WAVEFORMATEX& f) {
  return AcmFormat{f.wFormatTag,      f.nChannels,   f.nSamplesPerSec,
                   f.nAvgBytesPerSec, f.nBlockAlign, f.wBitsPerSample};
}

uint32_t ACMTransformer::FrameBytes(const AudioSample& sample) const {
  const int64_t blockSize = sample.GetBlockSize();
  const int64_t blockDuration = sample.GetBlockDuration();  // microseconds
  if (blockSize <= 0 || blockDuration <= 0) return 0;
  return static_cast<uint32_t>(blockSize * frameTime.load() * 1000 / blockDuration);
}

int32_t ACMTransformer::FlushBuffer() {
  {
    CriticalSectionLock lock(outputQueueMutex);
    queueHead = 0;
    queueLength = 0;
  }
  outputDequeueEvent.Set();
  return 0;
}

uint32_t ACMTransformer::QueuedBytes() {
  CriticalSectionLock lock(outputQueueMutex);
  return queueLength;
}

AcmStreamHeader* ACMTransformer::GetBuffer() {
  if (!bRunning) return nullptr;
  for (;;) {
    {
      CriticalSectionLock lock(freeBuffersMutex);
      if (!freeBuffers.empty()) {
        AcmStreamHeader* h = freeBuffers.front();
        freeBuffers.erase(freeBuffers.begin());
        return h;
      }
    }
    freeBuffersEvent.Wait(kInfinite);
    if (!bRunning) return nullptr;
  }
}

void ACMTransformer::ReleaseBuffer(AcmStreamHeader* h) {
  {
    CriticalSectionLock lock(freeBuffersMutex);
    // A conversion that outlived a stop hands its header back after the restart put it there.
    if (std::find(freeBuffers.begin(), freeBuffers.end(), h) == freeBuffers.end()) {
      freeBuffers.push_back(h);
    }
  }
  freeBuffersEvent.Set();
}

int32_t ACMTransformer::AddConvertedData(const uint8_t* data, uint32_t length) {
  for (;;) {
    if (!bRunning) {
      CriticalSectionLock lock(outputQueueMutex);
      outputEnqueueEvent.Set();
      return 0;  // dropped
    }
    outputQueueMutex.Enter();
    if (kBufferSize - queueLength >= length) break;  // keeps the mutex
    outputQueueMutex.Leave();
    outputDequeueEvent.Wait(kInfinite);
  }
  if (length >= 1) {
    const uint32_t tail = (queueHead + queueLength) % kBufferSize;
    const uint32_t first = std::min(length, kBufferSize - tail);
    std::memcpy(outputQueue.get() + tail, data, first);
    std::memcpy(outputQueue.get(), data + first, length - first);
    queueLength += length;
  }
  outputEnqueueEvent.Set();
  outputQueueMutex.Leave();
  return 0;
}

int32_t ACMTransformer::TransformStarted() {
  TRACE(tracer, trace::kEntry, "TransformStarted\n");
  CriticalSectionLock state(stateMutex);
  if (bRunning) {
    TRACE(tracer, trace::kNotable, "TransformStarted : Already running\n");
    return 0;
  }
  int32_t result = 0;
  CriticalSectionLock acm(acmMutex);
  if (stream.Open(ToAcmFormat(sourceFormat), ToAcmFormat(destinationFormat),
                  AcmStream::kOpenNonRealtime) != AcmStream::kOk) {
    TRACE(tracer, trace::kError, "TransformStarted : e-acmStreamOpen\n");
    TraceAudioFormat(tracer, trace::kError, sourceFormat);
    TraceAudioFormat(tracer, trace::kError, destinationFormat);
    return kErrOpen;
  }
  header = AcmStreamHeader{};
  header.cbStruct = sizeof(AcmStreamHeader);
  header.pbSrc = srcBuffer.get();
  header.cbSrcLength = kBufferSize;
  header.pbDst = dstBuffer.get();
  header.cbDstLength = kBufferSize;
  result = stream.PrepareHeader(&header);
  header.cbSrcLength = 0;
  header.cbSrcLengthUsed = 0;
  if (result == AcmStream::kOk) {
    ReleaseBuffer(&header);
    CriticalSectionLock running(runningMutex);
    bRunning = true;
  } else {
    TRACE(tracer, trace::kError, "TransformStarted : e-acmStreamPrepareHeader %d\n", result);
    stream.Close();
  }
  return result;
}

int32_t ACMTransformer::TransformStopped() {
  TRACE(tracer, trace::kEntry, "TransformStopped\n");
  CriticalSectionLock state(stateMutex);
  if (!bRunning) return 0;

  bool inputGone;
  {
    CriticalSectionLock lock(audioSourcesMutex);
    inputGone = audioSources.empty();
  }
  bool outputThere;
  {
    CriticalSectionLock lock(audioSinksMutex);
    outputThere = !audioSinks.empty();
  }
  if (inputGone && outputThere) {
    // Drain: the consumer takes the queued frames; less than one frame is left behind.
    AudioSample* probe = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&probe, this);
    if (probe != nullptr) {
      probe->SetFormat(destinationFormat);
      const uint32_t frame = FrameBytes(*probe);
      probe->Release(this);
      for (;;) {
        {
          CriticalSectionLock lock(outputQueueMutex);
          if (frame == 0 || queueLength < frame) break;
        }
        outputDequeueEvent.Wait(kInfinite);
      }
    }
  }
  {
    CriticalSectionLock running(runningMutex);
    bRunning = false;
  }
  {
    CriticalSectionLock lock(freeBuffersMutex);
    freeBuffers.clear();
    freeBuffersEvent.Set();
  }
  {
    CriticalSectionLock lock(outputQueueMutex);
    outputEnqueueEvent.Set();
    outputDequeueEvent.Set();
  }
  CriticalSectionLock acm(acmMutex);
  header.cbSrcLength = kBufferSize;
  header.cbDstLength = kBufferSize;
  stream.UnprepareHeader(&header);
  const int32_t result = stream.Close();
  header.cbSrcLength = 0;
  header.cbSrcLengthUsed = 0;
  return result;
}

int32_t ACMTransformer::TransformAudioSamples(AudioSampleList& /*inputs*/, AudioSample** out) {
  if (out != nullptr) *out = nullptr;
  return 0;
}

int32_t ACMTransformer::RenderAudioSamples(AudioSampleList& inputs) {
  AudioSample* sample = inputs.empty() ? nullptr : inputs.front().first;
  if (sample == nullptr || !bRunning) {
    SleepMs(frameTime);
    return kErrNotRunning;
  }
  const int32_t size = sample->GetDataSize();
  if (size <= 0) {
    SleepMs(static_cast<uint32_t>(std::max(0, sample->GetSilenceDuration())));
    return kErrSilence;
  }
  AcmStreamHeader* h = GetBuffer();
  if (h == nullptr) {
    SleepMs(frameTime);
    return kErrNoBuffer;
  }
  acmMutex.Enter();
  const uint32_t leftover = h->cbSrcLength - h->cbSrcLengthUsed;
  const uint64_t total = static_cast<uint64_t>(size) + leftover;
  if (total < 1 || total > kBufferSize) {
    acmMutex.Leave();
    ReleaseBuffer(h);
    SleepMs(frameTime);
    return kErrInputSize;
  }
  std::memmove(h->pbSrc, h->pbSrc + h->cbSrcLengthUsed, leftover);
  std::memcpy(h->pbSrc + leftover, sample->GetData(), static_cast<size_t>(size));
  h->cbSrcLength = static_cast<uint32_t>(total);
  h->cbSrcLengthUsed = 0;
  if (stream.Convert(h, AcmStream::kConvertBlockAlign) != AcmStream::kOk) {
    TRACE(tracer, trace::kError, "RenderAudioSamples : e-acmStreamConvert\n");
    // The input is dropped, leftover included.
    h->cbSrcLength = 0;
    h->cbSrcLengthUsed = 0;
    acmMutex.Leave();
    ReleaseBuffer(h);
    SleepMs(frameTime);
    return kErrConvert;
  }
  const uint32_t produced = h->cbDstLengthUsed;
  if (produced > 0) std::memcpy(convertedCopy.get(), h->pbDst, produced);
  acmMutex.Leave();
  ReleaseBuffer(h);
  if (produced > 0) AddConvertedData(convertedCopy.get(), produced);
  return 0;
}

int32_t ACMTransformer::GenerateData(AudioSample** out) {
  if (out == nullptr) return -1;
  *out = nullptr;
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, this);
  if (sample == nullptr) return kErrNoSample;
  WAVEFORMATEX format;
  {
    CriticalSectionLock formatLock(formatMutex);
    format = destinationFormat;
  }
  sample->SetFormat(format);
  sample->SetDataSize(0);
  sample->SetSilenceDuration(static_cast<int32_t>(frameTime.load()));
  const uint32_t frame = FrameBytes(*sample);
  if (!bRunning) {
    {
      CriticalSectionLock lock(outputQueueMutex);
      outputDequeueEvent.Set();
    }
    sample->Release(this);
    return kErrStopped;
  }
  outputQueueMutex.Enter();
  if (frame == 0 || queueLength < frame) {
    outputQueueMutex.Leave();
    sample->Release(this);
    return kErrNotEnoughData;
  }
  const uint32_t take = std::min(frame, sample->GetCapacity());
  const uint32_t first = std::min(take, kBufferSize - queueHead);
  std::memcpy(sample->GetData(), outputQueue.get() + queueHead, first);
  std::memcpy(sample->GetData() + first, outputQueue.get(), take - first);
  queueHead = (queueHead + take) % kBufferSize;
  queueLength -= take;
  outputDequeueEvent.Set();
  outputQueueMutex.Leave();
  sample->SetDataSize(static_cast<int32_t>(take));
  *out = sample;
  return 0;
}

}  // namespace tarsio
