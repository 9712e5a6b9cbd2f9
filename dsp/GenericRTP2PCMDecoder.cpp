#include "dsp/GenericRTP2PCMDecoder.h"

#include <cstring>
#include <string>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/Registry.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

constexpr const char* kSettingsKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
constexpr const char* kReceiveCodecValue = "RTPReceiveCodec";
// Bytes of a comfort-noise payload handed on as the marker.
constexpr int32_t kComfortNoiseMarkerSize = 4;

}  // namespace

GenericRTP2PCMDecoder::GenericRTP2PCMDecoder() {
  tracer.SetInstanceName("GenericRTP2PCMDecoder", this);
  ReadTraceLevel();
  lastPayloadType = -1;
  RecordReceiveCodec("");
}

int32_t GenericRTP2PCMDecoder::ReadTraceLevel() {
  return ReadTraceLevelFor("GenericRTP2PCMDecoder");
}

void GenericRTP2PCMDecoder::RecordReceiveCodec(const char* name) {
  RegSetString(RegistryRoot::kCurrentUser, kSettingsKey, kReceiveCodecValue, name);
}

int32_t GenericRTP2PCMDecoder::TransformStopped() {
  RecordReceiveCodec("");
  lastPayloadType = -1;
  return 0;
}

int32_t GenericRTP2PCMDecoder::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* input = inputs.front().first;

  AudioSample* output = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&output, static_cast<AudioSource*>(this));
  if (output == nullptr) return kErrNoSample;
  output->SetFormat(MakeAudioFormat(kCodecPCM));
  *out = output;

  const RTPPacket* header = input->GetRTPHeader();
  if (header == nullptr) return kErrNoRTPHeader;
  output->SetRTPHeader(header->HeaderOnly());

  if (input->GetDataSize() <= 0) {
    output->SetSilenceDuration(input->GetSilenceDuration());
    return 0;
  }

  const int32_t n = input->GetDataSize();
  const int pt = header->payloadType;
  const bool recordName = pt != lastPayloadType && pt != kPayloadTypeComfortNoise;
  if (recordName) lastPayloadType = pt;

  switch (pt) {
    case kPayloadTypeULaw:
    case kPayloadTypeALaw: {
      if (pt == kPayloadTypeULaw) {
        TRACE(tracer, trace::kDetail, "TransformAudioSamples : %d byte G.711 ULAW packet\n", n);
        codec.SetLaw(G711Codec::kULaw);
      } else {
        TRACE(tracer, trace::kDetail, "TransformAudioSamples : %d byte G.711 ALAW packet\n", n);
        codec.SetLaw(G711Codec::kALaw);
      }
      int32_t count = static_cast<int32_t>(output->GetCapacity());
      const int32_t result = codec.Decode(input->GetData(), n, output->GetData(), &count);
      output->SetDataSize(count);
      if (recordName) RecordReceiveCodec(ReceiveCodecName(pt).c_str());
      return result;
    }
    case kPayloadTypeComfortNoise:
      TRACE(tracer, trace::kDetail, "TransformAudioSamples : %d byte SID packet\n", n);
      // The first four bytes of the buffer, whatever the payload's own length: the marker's
      // content is never read as audio downstream.
      std::memcpy(output->GetData(), input->GetData(), kComfortNoiseMarkerSize);
      output->SetDataSize(kComfortNoiseMarkerSize);
      return 0;
    default:
      if (recordName) RecordReceiveCodec(ReceiveCodecName(pt).c_str());
      return kErrUnknownPayloadType;
  }
}

}  // namespace tarsio
