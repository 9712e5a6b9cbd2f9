// The receive-path decoder that picks the law per packet from its RTP payload type: µ-law (0) and
// A-law (8) are decoded to 16-bit PCM at 8000 Hz, comfort noise (13) is passed on as a 4-byte
// marker, and silence-only samples stay silence markers. Every output carries its own copy of the
// input's RTP header.
//
// The name of the codec being received is written to the settings value "RTPReceiveCodec"
// ("G.711 ULaw", "G.711 ALaw", "Unknown Type %u (ERROR)") on the first packet of each new payload
// type (comfort noise never changes it); the value is emptied at construction and at stop.
//
// Results of TransformAudioSamples: 0; -10 unknown payload type; -20 input without RTP header;
// -30 no sample from the pool. With a non-zero result the transformer base discards the output.
//
// Threading: runs on the thread that pushes into it (the RTP receiver's thread); TransformStopped
// runs on the host's thread once that thread has stopped. No locks: the codec and the last payload
// type are touched only by the driving thread.
#pragma once

#include <cstdint>

#include "dsp/G711Codec.h"
#include "framework/AudioTransformer.h"

namespace tarsio {

class GenericRTP2PCMDecoder : public AudioTransformer {
 public:
  static constexpr int32_t kErrUnknownPayloadType = -10;
  static constexpr int32_t kErrNoRTPHeader = -20;
  static constexpr int32_t kErrNoSample = -30;

  GenericRTP2PCMDecoder();
  ~GenericRTP2PCMDecoder() override = default;

  int32_t ReadTraceLevel() override;
  int32_t TransformStopped() override;
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

 private:
  void RecordReceiveCodec(const char* name);

  G711Codec codec;
  int32_t lastPayloadType = -1;
};

}  // namespace tarsio
