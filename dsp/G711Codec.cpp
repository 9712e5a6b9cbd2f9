#include "dsp/G711Codec.h"

#include <array>

namespace tarsio {
namespace {

constexpr int kEncodeTableSize = 1 << 14;

// µ-law code of a 14-bit value: magnitude clipped to 8159 plus the bias 33 lies in 33..8192; the
// segment is the position of its highest set bit counted from bit 5, the mantissa the four bits
// below it. 8192 (only the clipped extremes reach it) is segment 8, which saturates to segment 7,
// mantissa 15. The code is the complement of sign | segment | mantissa.
constexpr uint8_t ULawOf14Bit(int i) {
  const int sign = i < 0 ? 1 : 0;
  int magnitude = i < 0 ? -i : i;
  if (magnitude > 8159) magnitude = 8159;
  const int biased = magnitude + 33;
  int top = 13;
  while (top > 5 && (biased & (1 << top)) == 0) --top;
  int segment = top - 5;
  int mantissa = (biased >> (top - 4)) & 0x0F;
  if (segment > 7) {
    segment = 7;
    mantissa = 0x0F;
  }
  return static_cast<uint8_t>(~((sign << 7) | (segment << 4) | mantissa));
}

// A-law code of a 14-bit value: a 12-bit magnitude |i| >> 1 (4096, from -8192 only, is over
// range); segment 0 for 0..31, then one segment per doubling up to 7 for 2048..4095; the mantissa
// is (m >> 1) & 15 in segments 0 and 1 and (m >> segment) & 15 above. Even bits are inverted with
// the sign mask 0xD5 (positive) or 0x55 (negative).
constexpr uint8_t ALawOf14Bit(int i) {
  const int mask = i >= 0 ? 0xD5 : 0x55;
  const int magnitude = (i < 0 ? -i : i) >> 1;
  if (magnitude > 4095) return static_cast<uint8_t>(0x7F ^ mask);
  int segment = 0;
  if (magnitude >= 32) {
    segment = 1;
    while (segment < 7 && magnitude >= (32 << segment)) ++segment;
  }
  const int mantissa = (segment < 2 ? magnitude >> 1 : magnitude >> segment) & 0x0F;
  return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

// The 14-bit value an encode table index stands for (its low 14 bits, sign-extended).
constexpr int IndexValue(int index) { return index >= 8192 ? index - 16384 : index; }

constexpr int16_t ULawValue(uint8_t code) {
  const int c = static_cast<uint8_t>(~code);
  const int t = (((c & 0x0F) << 3) + 0x84) << ((c & 0x70) >> 4);
  return static_cast<int16_t>((c & 0x80) != 0 ? 0x84 - t : t - 0x84);
}

constexpr int16_t ALawValue(uint8_t code) {
  const int c = code ^ 0x55;
  int t = (c & 0x0F) << 4;
  const int segment = (c & 0x70) >> 4;
  if (segment == 0) {
    t += 8;
  } else {
    t += 0x108;
    t <<= segment - 1;
  }
  return static_cast<int16_t>((c & 0x80) != 0 ? t : -t);
}

template <typename F>
constexpr std::array<uint8_t, kEncodeTableSize> MakeEncodeTable(F codeOf) {
  std::array<uint8_t, kEncodeTableSize> table{};
  for (int index = 0; index < kEncodeTableSize; ++index) table[index] = codeOf(IndexValue(index));
  return table;
}

template <typename F>
constexpr std::array<int16_t, 256> MakeDecodeTable(F valueOf) {
  std::array<int16_t, 256> table{};
  for (int code = 0; code < 256; ++code) table[code] = valueOf(static_cast<uint8_t>(code));
  return table;
}

constexpr std::array<uint8_t, kEncodeTableSize> kULawEncode = MakeEncodeTable(ULawOf14Bit);
constexpr std::array<uint8_t, kEncodeTableSize> kALawEncode = MakeEncodeTable(ALawOf14Bit);
constexpr std::array<int16_t, 256> kULawDecode = MakeDecodeTable(ULawValue);
constexpr std::array<int16_t, 256> kALawDecode = MakeDecodeTable(ALawValue);

// i = s / 4 truncating toward zero; its low 14 bits are the table index.
inline int EncodeIndex(int16_t sample) { return (sample / 4) & (kEncodeTableSize - 1); }

}  // namespace

uint8_t G711Codec::EncodeULaw(int16_t sample) { return kULawEncode[EncodeIndex(sample)]; }
uint8_t G711Codec::EncodeALaw(int16_t sample) { return kALawEncode[EncodeIndex(sample)]; }
int16_t G711Codec::DecodeULaw(uint8_t code) { return kULawDecode[code]; }
int16_t G711Codec::DecodeALaw(uint8_t code) { return kALawDecode[code]; }

int32_t G711Codec::Encode(const uint8_t* input, int32_t inputCount, uint8_t* output,
                          int32_t* outputCount) {
  const int32_t samples = inputCount > 0 ? inputCount / 2 : 0;
  if (*outputCount < samples) {
    *outputCount = 0;
    return kErrOutputTooSmall;
  }
  const std::array<uint8_t, kEncodeTableSize>& table = IsALaw() ? kALawEncode : kULawEncode;
  for (int32_t n = 0; n < samples; ++n) {
    // Little-endian 16-bit sample, assembled byte-wise (the input need not be aligned).
    const auto sample = static_cast<int16_t>(static_cast<uint16_t>(input[2 * n]) |
                                             (static_cast<uint16_t>(input[2 * n + 1]) << 8));
    output[n] = table[EncodeIndex(sample)];
  }
  *outputCount = samples;
  return 0;
}

int32_t G711Codec::Decode(const uint8_t* input, int32_t inputCount, uint8_t* output,
                          int32_t* outputCount) {
  const int32_t codes = inputCount > 0 ? inputCount : 0;
  if (2 * static_cast<int64_t>(codes) > *outputCount) {
    *outputCount = 0;
    return kErrOutputTooSmall;
  }
  const std::array<int16_t, 256>& table = IsALaw() ? kALawDecode : kULawDecode;
  for (int32_t n = 0; n < codes; ++n) {
    const auto value = static_cast<uint16_t>(table[input[n]]);
    output[2 * n] = static_cast<uint8_t>(value & 0xFF);
    output[2 * n + 1] = static_cast<uint8_t>(value >> 8);
  }
  *outputCount = 2 * codes;
  return 0;
}

}  // namespace tarsio
