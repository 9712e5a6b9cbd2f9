// The byte-codec interface: Encode turns 16-bit linear PCM into code bytes, Decode turns code
// bytes back into PCM. G711Codec is the one implementation.
//
// The base versions do no work: they report the missing override on the debugger output
// ("AudioCodec::Encode : ERROR : pure virtual function call !!!") and return 0 without touching
// their out-parameter.
//
// Threading: a codec has no locks; an instance is used by one thread at a time (its owner's).
#pragma once

#include <cstdint>

namespace tarsio {

class AudioCodec {
 public:
  AudioCodec() = default;
  virtual ~AudioCodec() = default;

  /// input: inputCount bytes of signed 16-bit little-endian samples. *outputCount holds the
  /// output capacity on entry and the bytes written on return.
  virtual int32_t Encode(const uint8_t* input, int32_t inputCount, uint8_t* output,
                         int32_t* outputCount);
  /// input: inputCount code bytes. *outputCount as for Encode.
  virtual int32_t Decode(const uint8_t* input, int32_t inputCount, uint8_t* output,
                         int32_t* outputCount);
};

}  // namespace tarsio
