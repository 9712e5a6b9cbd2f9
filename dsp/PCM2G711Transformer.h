// The G.711 encoder filter of the transmit path: 16-bit linear PCM in, one G.711 byte per sample
// out, in the law chosen with SetALaw/SetULaw (µ-law by default). The input's format is not
// looked at; a silence marker becomes a silence marker of the same duration in G.711 format.
//
// Results of TransformAudioSamples: 0; -10 when the pool gives no sample (no output) or when the
// PCM does not fit one output sample (more than 6400 bytes; the output is handed on with data
// size 0).
//
// Threading: runs on the thread that pushes into or pulls from it (the capture thread). The law
// flag is set before the chain starts and read without a lock afterwards; no other state.
#pragma once

#include <cstdint>

#include "dsp/G711LawTransformer.h"

namespace tarsio {

class PCM2G711Transformer : public G711LawTransformer {
 public:
  PCM2G711Transformer();
  ~PCM2G711Transformer() override = default;

  int32_t ReadTraceLevel() override;
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;
};

}  // namespace tarsio
