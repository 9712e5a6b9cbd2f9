// The transmitter's pseudo-random generator: linear congruential, seeded with the tick count, so
// two transmitters prepared in the same millisecond draw the same SSRC, timestamp and sequence.
#pragma once

#include <cstdint>

namespace tarsio {

class RTPRandom {
 public:
  explicit RTPRandom(uint32_t seed) : state_(seed) {}
  /// state = state * 214013 + 2531011 (mod 2^32); yields bits 16..30, 0..32767.
  uint32_t Next() {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFFu;
  }

 private:
  uint32_t state_;
};

}  // namespace tarsio
