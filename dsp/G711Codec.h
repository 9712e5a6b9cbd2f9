// ITU-T G.711 µ-law and A-law coding by table look-up.
//
// Encoding divides each 16-bit sample by 4 (truncating toward zero) and looks the low 14 bits of
// the result up in a 16384-entry byte table of the chosen law, so no segment search runs per
// sample. Decoding looks each byte up in a 256-entry table of 16-bit reconstruction values. The
// four tables are computed at compile time from the G.711 segment rules (see G711Codec.cpp) and
// shared, read-only, by every instance.
//
// The law flag is 0 for µ-law and 1 for A-law; any value other than 1 means µ-law.
//
// Threading: no locks. The tables are constant; the law flag is set by the owner before use and
// read without a lock afterwards.
#pragma once

#include <cstdint>

#include "dsp/AudioCodec.h"

namespace tarsio {

class G711Codec : public AudioCodec {
 public:
  static constexpr int32_t kULaw = 0;
  static constexpr int32_t kALaw = 1;
  static constexpr int32_t kErrOutputTooSmall = -10;

  G711Codec() = default;

  /// Writes inputCount / 2 code bytes; -10 with *outputCount = 0 when the capacity is smaller.
  /// An odd trailing input byte is ignored.
  int32_t Encode(const uint8_t* input, int32_t inputCount, uint8_t* output,
                 int32_t* outputCount) override;
  /// Writes 2 * inputCount bytes of PCM; -10 with *outputCount = 0 when they do not fit.
  int32_t Decode(const uint8_t* input, int32_t inputCount, uint8_t* output,
                 int32_t* outputCount) override;

  void SetLaw(int32_t law) { law_ = law; }
  int32_t GetLaw() const { return law_; }
  bool IsALaw() const { return law_ == kALaw; }

  /// One sample each way, by the same tables.
  static uint8_t EncodeULaw(int16_t sample);
  static uint8_t EncodeALaw(int16_t sample);
  static int16_t DecodeULaw(uint8_t code);
  static int16_t DecodeALaw(uint8_t code);

 private:
  int32_t law_ = kULaw;
};

}  // namespace tarsio
