// Small helpers shared by the PCM filters: little-endian sample access and saturation.
//
// Audio buffers hold signed little-endian samples at arbitrary byte offsets, so every access goes
// through memcpy (no alignment assumption) and a byte swap on big-endian hosts.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarsio::dsp {

/// The bytes of v in reverse order (std::byteswap, which C++23 brings, in portable C++20).
constexpr uint32_t ByteSwap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000ff00u) | ((v << 8) & 0x00ff0000u) | (v << 24);
}

/// Sample i of a buffer of signed 16-bit little-endian samples.
inline int16_t LoadPcm16(const uint8_t* data, int32_t i) {
  uint16_t v;
  std::memcpy(&v, data + 2 * static_cast<std::ptrdiff_t>(i), sizeof v);
  if constexpr (std::endian::native == std::endian::big)
    v = static_cast<uint16_t>((v >> 8) | (v << 8));
  return static_cast<int16_t>(v);
}

/// Writes sample i of a buffer of signed 16-bit little-endian samples.
inline void StorePcm16(uint8_t* data, int32_t i, int16_t value) {
  uint16_t v = static_cast<uint16_t>(value);
  if constexpr (std::endian::native == std::endian::big)
    v = static_cast<uint16_t>((v >> 8) | (v << 8));
  std::memcpy(data + 2 * static_cast<std::ptrdiff_t>(i), &v, sizeof v);
}

/// Sample i of a buffer of signed 32-bit little-endian samples.
inline int32_t LoadPcm32(const uint8_t* data, int32_t i) {
  uint32_t v;
  std::memcpy(&v, data + 4 * static_cast<std::ptrdiff_t>(i), sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = ByteSwap32(v);
  return static_cast<int32_t>(v);
}

/// Writes sample i of a buffer of signed 32-bit little-endian samples.
inline void StorePcm32(uint8_t* data, int32_t i, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  if constexpr (std::endian::native == std::endian::big) v = ByteSwap32(v);
  std::memcpy(data + 4 * static_cast<std::ptrdiff_t>(i), &v, sizeof v);
}

/// v limited to [lo, hi] (upper bound tested first), then truncated toward zero. lo and hi must
/// be representable in the result type. A NaN (only from nonsensical parameters) gives lo.
inline int32_t ClampTruncate(double v, double lo, double hi) {
  if (v > hi) v = hi;
  if (!(v >= lo)) v = lo;
  return static_cast<int32_t>(v);
}

/// v limited to the 16-bit range and truncated toward zero.
inline int16_t SaturateTruncate16(double v) {
  return static_cast<int16_t>(ClampTruncate(v, -32768.0, 32767.0));
}

}  // namespace tarsio::dsp
