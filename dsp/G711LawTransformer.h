// What the two G.711 filters share: the law they code in, chosen with SetALaw/SetULaw (µ-law by
// default), and the result of a pool that gives no sample. PCM2G711Transformer encodes on the
// transmit path, G7112PCMTransformer decodes on the receive path.
//
// Threading: the law flag is set before the chain starts and read without a lock afterwards by
// the thread that runs the filter.
#pragma once

#include <cstdint>

#include "dsp/G711Codec.h"
#include "framework/AudioTransformer.h"

namespace tarsio {

class G711LawTransformer : public AudioTransformer {
 public:
  static constexpr int32_t kErrNoSample = -10;

  int32_t SetALaw();
  int32_t SetULaw();
  bool IsALaw() const { return codec.IsALaw(); }

 protected:
  G711LawTransformer() = default;

  G711Codec codec;
};

}  // namespace tarsio
