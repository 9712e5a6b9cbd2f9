// The formats a conversion stream (platform/AcmStream.h) accepts, shared by its two
// implementations: the portable converter (platform/AcmStream.cpp) and the Windows one, which
// hands the work to the system's Audio Compression Manager (platform/win32/AcmStream.cpp).
//
// Formats that no real file has are refused here, before any converter sees them: rates outside
// AcmStream::kMinRate..kMaxRate, a block size that does not match the sample size and channels
// (PCM, float, G.711), IMA ADPCM blocks that are not whole groups of the header size or larger
// than AcmStream::kMaxBlockAlign, destinations other than mono 16-bit PCM, A-law or µ-law. So both
// implementations refuse the same hostile formats with the same result, and the system's drivers
// only ever see formats these rules let through.
//
// Threading: no state; any thread.
#pragma once

#include <cstdint>

#include "platform/AcmStream.h"

namespace tarsio {

class AcmFormatRules {
 public:
  /// Bytes per sample of one channel for the PCM, float and G.711 sources; 0 when unsupported
  /// (IMA ADPCM included).
  static uint32_t SampleBytes(const AcmFormat& format);
  /// Samples per block of an IMA ADPCM format (0 if the block size is unusable).
  static uint32_t ImaSamplesPerBlock(uint16_t blockAlign, uint16_t channels);
  static bool IsValidSource(const AcmFormat& format);
  static bool IsValidDestination(const AcmFormat& format);
};

}  // namespace tarsio
