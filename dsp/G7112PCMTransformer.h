// The G.711 decoder filter of the receive path: G.711 bytes in, 16-bit linear PCM (8000 Hz, mono)
// out, in the law chosen with SetALaw/SetULaw (µ-law by default) whatever the input's format
// says. The output gets its own copy of the input's RTP header (without payload pointer), since
// it outlives the input. A silence marker becomes a PCM silence marker of the same duration.
//
// Results of TransformAudioSamples: 0; -10 when the pool gives no sample (no output) or when the
// decoded PCM does not fit one output sample (more than 1600 input bytes; the output is handed on
// with data size 0).
//
// Threading: runs on the thread that pushes into or pulls from it (the RTP receiver's thread).
// The law flag is set before the chain starts and read without a lock afterwards.
#pragma once

#include <cstdint>

#include "dsp/G711LawTransformer.h"

namespace tarsio {

class G7112PCMTransformer : public G711LawTransformer {
 public:
  G7112PCMTransformer();
  ~G7112PCMTransformer() override = default;

  int32_t ReadTraceLevel() override;
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;
};

}  // namespace tarsio
