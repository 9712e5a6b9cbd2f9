#include "dsp/G711LawTransformer.h"

namespace tarsio {

int32_t G711LawTransformer::SetALaw() {
  codec.SetLaw(G711Codec::kALaw);
  return 0;
}

int32_t G711LawTransformer::SetULaw() {
  codec.SetLaw(G711Codec::kULaw);
  return 0;
}

}  // namespace tarsio
