#include "dsp/PCM2G711Transformer.h"

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "rtp/RTPCodecTable.h"

namespace tarsio {

PCM2G711Transformer::PCM2G711Transformer() {
  tracer.SetInstanceName("PCM2G711Transformer", this);
  ReadTraceLevel();
}

int32_t PCM2G711Transformer::ReadTraceLevel() { return ReadTraceLevelFor("PCM2G711Transformer"); }

int32_t PCM2G711Transformer::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* input = inputs.front().first;

  AudioSample* output = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&output, static_cast<AudioSource*>(this));
  if (output == nullptr) return kErrNoSample;
  output->SetFormat(MakeAudioFormat(codec.IsALaw() ? kCodecALaw : kCodecULaw));

  int32_t result = 0;
  if (input->GetDataSize() > 0) {
    int32_t count = static_cast<int32_t>(output->GetCapacity());
    result = codec.Encode(input->GetData(), input->GetDataSize(), output->GetData(), &count);
    output->SetDataSize(count);
  } else {
    output->SetSilenceDuration(input->GetSilenceDuration());
  }
  *out = output;
  return result;
}

}  // namespace tarsio
