#include "jitter/FixedSizeAudioBuffer.h"

#include <algorithm>
#include <cstring>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/ScopedSampleList.h"
#include "platform/Clock.h"
#include "rtp/RTPCodecTable.h"

namespace tarsio {

FixedSizeAudioBuffer::FixedSizeAudioBuffer() {
  tracer.SetInstanceName("FixedSizeAudioBuffer", this);
  ReadTraceLevel();
  // One output plus one input at most (see the header): the queue never grows while it runs.
  audioBuffer.reserve(kQueueReserve);
}

int32_t FixedSizeAudioBuffer::ReadTraceLevel() { return ReadTraceLevelFor("FixedSizeAudioBuffer"); }

int32_t FixedSizeAudioBuffer::TransformAudioSamples(AudioSampleList&, AudioSample** out) {
  if (out != nullptr) *out = nullptr;
  return 0;
}

int32_t FixedSizeAudioBuffer::SetOutputDuration(int32_t ms) {
  outputDuration.store(std::max(ms, 1));
  CriticalSectionLock guard(bufferMutex);
  ComputeOutputSize();
  return 0;
}

void FixedSizeAudioBuffer::ComputeOutputSize() {
  const int64_t size =
      static_cast<int64_t>(outputDuration.load()) * blockSize * 1000 / blockDuration;
  outputSize = static_cast<int32_t>(
      std::clamp<int64_t>(size, 1, static_cast<int64_t>(AudioSample::kCapacity)));
}

int32_t FixedSizeAudioBuffer::TransformStarted() {
  {
    CriticalSectionLock guard(bufferMutex);
    audioBuffer.clear();
    format = MakeAudioFormat(kCodecPCM);
  }
  bRunning.store(true);
  return 0;
}

int32_t FixedSizeAudioBuffer::TransformStopped() {
  bRunning.store(false);
  return 0;
}

int32_t FixedSizeAudioBuffer::EnquePacket(AudioSampleList& inputs) {
  if (inputs.empty() || inputs.front().first == nullptr) {
    TRACE(tracer, trace::kDetail, "EnquePacket : asked to enqueue NULL packet\n");
    SleepMs(kEmptyPullSleepMs);
    return 0;
  }
  AudioSample* sample = inputs.front().first;
  CriticalSectionLock guard(bufferMutex);
  if (sample->GetBlockDuration() > 0 && sample->GetBlockSize() > 0) {
    blockDuration = sample->GetBlockDuration();
    blockSize = sample->GetBlockSize();
  }
  format = sample->Format();
  ComputeOutputSize();
  if (sample->GetDataSize() <= 0) {
    if (sample->GetSilenceDuration() < 1) return 0;
    const int32_t silenceBytes = sample->GetSilenceDataSize();
    if (silenceBytes > 0) audioBuffer.insert(audioBuffer.end(), silenceBytes, 0);
    return 0;
  }
  const uint8_t* data = sample->GetData();
  audioBuffer.insert(audioBuffer.end(), data, data + sample->GetDataSize());
  return 0;
}

AudioSample* FixedSizeAudioBuffer::CutOutput() {
  AudioSample* output = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&output, static_cast<AudioSource*>(this));
  if (output == nullptr) return nullptr;
  output->SetFormat(format);
  std::memcpy(output->GetData(), audioBuffer.data(), outputSize);
  audioBuffer.erase(audioBuffer.begin(), audioBuffer.begin() + outputSize);
  output->SetDataSize(outputSize);
  return output;
}

int32_t FixedSizeAudioBuffer::RenderAudioSamples(AudioSampleList& inputs) {
  if (!bRunning.load()) return 0;
  EnquePacket(inputs);
  CriticalSectionLock guard(bufferMutex);
  ComputeOutputSize();
  while (static_cast<int32_t>(audioBuffer.size()) >= outputSize) {
    AudioSample* output = CutOutput();
    if (output == nullptr) break;
    {
      CriticalSectionLock sinks(audioSinksMutex);
      for (AudioSinkInterface* sink : audioSinks) SendAudioSample(output, sink);
    }
    output->Release(static_cast<AudioSource*>(this));
  }
  return 0;
}

int32_t FixedSizeAudioBuffer::GenerateData(AudioSample** out) {
  TRACE(tracer, trace::kEntry, "GenerateData\n");
  TRACE(tracer, trace::kDetail, "GenerateData : filling data\n");
  *out = nullptr;
  for (;;) {
    {
      CriticalSectionLock guard(bufferMutex);
      TRACE(tracer, trace::kDetail, "GenerateData : audioBuffer.size = %d, outputSize = %d\n",
            static_cast<int32_t>(audioBuffer.size()), outputSize);
      if (static_cast<int32_t>(audioBuffer.size()) >= outputSize) break;
    }
    if (!bRunning.load()) break;
    ScopedSampleList cycle;
    AudioSampleList& pulled = cycle.Get();
    {
      CriticalSectionLock sources(audioSourcesMutex);
      for (AudioSource* source : audioSources) {
        AudioSample* sample = nullptr;
        const int32_t result = source->GiveNextAudioSample(&sample, static_cast<AudioSink*>(this));
        if (result == 0) {
          if (sample != nullptr) pulled.emplace_back(sample, source);
        } else {
          TRACE(tracer, trace::kError,
                "GenerateData : GiveNextAudioSample from %s returned error %d\n",
                source->GetInstanceName(), result);
          if (sample != nullptr) sample->Release(static_cast<AudioSink*>(this));
        }
      }
    }
    EnquePacket(pulled);
    for (auto& entry : pulled) entry.first->Release(static_cast<AudioSink*>(this));
  }

  TRACE(tracer, trace::kDetail, "GenerateData : transmitting data\n");
  {
    CriticalSectionLock guard(bufferMutex);
    if (bRunning.load() && static_cast<int32_t>(audioBuffer.size()) >= outputSize) {
      *out = CutOutput();
    } else {
      AudioSample* silence = nullptr;
      AudioSampleManager::Instance()->GetAudioSample(&silence, static_cast<AudioSource*>(this));
      if (silence != nullptr) {
        silence->SetFormat(format);
        silence->SetSilenceDuration(outputDuration.load());
      }
      *out = silence;
    }
  }
  TRACE(tracer, trace::kEntry, "~GenerateData\n");
  return 0;
}

int32_t FixedSizeAudioBuffer::GetQueuedBytes() {
  CriticalSectionLock guard(bufferMutex);
  return static_cast<int32_t>(audioBuffer.size());
}

int32_t FixedSizeAudioBuffer::GetOutputSize() {
  CriticalSectionLock guard(bufferMutex);
  return outputSize;
}

}  // namespace tarsio
