#include "framework/AudioTransformer.h"

#include "framework/AudioSample.h"
#include "framework/HostLogWriter.h"
#include "framework/ScopedSampleList.h"

namespace tarsio {

namespace {

void ReleaseAll(AudioSampleList& samples, const TracedObject* requester) {
  for (auto& [sample, source] : samples) {
    if (sample != nullptr) sample->Release(requester);
  }
  samples.clear();
}

}  // namespace

int32_t AudioTransformer::StartTransform() {
  TRACE(tracer, trace::kEntry, "StartTransform\n");
  ReadTraceLevel();
  const int32_t result = TransformStarted();
  if (result != 0) {
    TRACE(tracer, trace::kError, "StartTransform : TransformStarted returned error %d\n", result);
  }
  TRACE(tracer, trace::kEntry, "~StartTransform\n");
  return result;
}

int32_t AudioTransformer::StopTransform() {
  TRACE(tracer, trace::kEntry, "StopTransform\n");
  const int32_t result = TransformStopped();
  if (result != 0) {
    TRACE(tracer, trace::kError, "StopTransform : TransformStopped returned error %d\n", result);
  }
  TRACE(tracer, trace::kEntry, "~StopTransform\n");
  return result;
}

int32_t AudioTransformer::RenderAudioSamples(AudioSampleList& inputs) {
  TRACE(tracer, trace::kEntry, "RenderAudioSamples\n");
  AudioSample* output = nullptr;
  int32_t result = 0;
  try {
    result = TransformAudioSamples(inputs, &output);
    if (result != 0 && output != nullptr) {
      output->Release(this);
      output = nullptr;
    }
  } catch (...) {
    HostLogWriter::DeferPlain("AudioTransformer::RenderAudioSamples: exception 1");
  }

  {
    CriticalSectionLock lock(audioSinksMutex);
    for (AudioSinkInterface* sink : audioSinks) {
      try {
        TRACE(tracer, trace::kDetail, "RenderAudioSamples : sending sample 0x%lx to 0x%lx\n",
              static_cast<unsigned long>(reinterpret_cast<uintptr_t>(output)),
              static_cast<unsigned long>(reinterpret_cast<uintptr_t>(sink)));
        SendAudioSample(output, sink);
      } catch (...) {
        HostLogWriter::DeferPlain("AudioTransformer::RenderAudioSamples: exception 2");
      }
    }
  }

  if (output != nullptr) output->Release(this);
  return result;
}

int32_t AudioTransformer::GenerateData(AudioSample** out) {
  // The cycle's inputs are the pulling thread's own (a list borrowed per nesting level, so a
  // pull allocates nothing), so pulls from several sink threads and pushes through the sink side
  // never share them.
  ScopedSampleList cycle;
  AudioSampleList& inputs = cycle.Get();
  *out = nullptr;
  try {
    {
      CriticalSectionLock lock(audioSourcesMutex);
      for (AudioSource* source : audioSources) {
        AudioSample* pulled = nullptr;
        const int32_t pull = source->GiveNextAudioSample(&pulled, this);
        if (pull == 0) {
          if (pulled != nullptr) inputs.emplace_back(pulled, source);
        } else {
          TRACE(tracer, trace::kError,
                "GenerateData : GiveNextAudioSample from %s returned error %d\n",
                source->GetInstanceName(), pull);
          if (pulled != nullptr) pulled->Release(this);
        }
      }
    }
    const int32_t result = TransformAudioSamples(inputs, out);
    if (result != 0 && *out != nullptr) {
      TRACE(tracer, trace::kError, "GenerateData : TransformAudioSamples returned error %d\n",
            result);
      (*out)->Release(this);
      *out = nullptr;
    }
    ReleaseAll(inputs, this);
    return result;
  } catch (...) {
    HostLogWriter::DeferPlain("AudioTransformer::GenerateData: exception 1");
    if (*out != nullptr) {
      (*out)->Release(this);
      *out = nullptr;
    }
    ReleaseAll(inputs, this);
    return -1;
  }
}

int32_t Connect(AudioSource* source, AudioSink* sink) {
  source->AddAudioSink(sink);
  sink->AddAudioSource(source);
  return 0;
}

int32_t Disconnect(AudioSource* source, AudioSink* sink) {
  source->RemoveAudioSink(sink);
  sink->RemoveAudioSource(source);
  return 0;
}

}  // namespace tarsio
