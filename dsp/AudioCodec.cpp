#include "dsp/AudioCodec.h"

#include "platform/DebugOutput.h"

namespace tarsio {

int32_t AudioCodec::Encode(const uint8_t*, int32_t, uint8_t*, int32_t*) {
  OutputDebugString("AudioCodec::Encode : ERROR : pure virtual function call !!!\n");
  return 0;
}

int32_t AudioCodec::Decode(const uint8_t*, int32_t, uint8_t*, int32_t*) {
  OutputDebugString("AudioCodec::Decode : ERROR : pure virtual function call !!!\n");
  return 0;
}

}  // namespace tarsio
