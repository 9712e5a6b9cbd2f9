#include "dsp/G7112PCMTransformer.h"

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"

namespace tarsio {

G7112PCMTransformer::G7112PCMTransformer() {
  tracer.SetInstanceName("G7112PCMTransformer", this);
  ReadTraceLevel();
}

int32_t G7112PCMTransformer::ReadTraceLevel() { return ReadTraceLevelFor("G7112PCMTransformer"); }

int32_t G7112PCMTransformer::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* input = inputs.front().first;

  AudioSample* output = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&output, static_cast<AudioSource*>(this));
  if (output == nullptr) return kErrNoSample;
  output->SetFormat(MakeAudioFormat(kCodecPCM));
  if (const RTPPacket* header = input->GetRTPHeader()) {
    output->SetRTPHeader(header->HeaderOnly());
  }

  int32_t result = 0;
  if (input->GetDataSize() > 0) {
    int32_t count = static_cast<int32_t>(output->GetCapacity());
    result = codec.Decode(input->GetData(), input->GetDataSize(), output->GetData(), &count);
    output->SetDataSize(count);
  } else {
    output->SetSilenceDuration(input->GetSilenceDuration());
  }
  *out = output;
  return result;
}

}  // namespace tarsio
