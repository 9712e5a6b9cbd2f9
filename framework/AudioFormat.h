// The audio format record that filters exchange (the WAVEFORMATEX layout) and its builders.
#pragma once

#include <cstdint>

namespace tarsio {

class Tracer;

inline constexpr uint16_t kWaveFormatPcm = 1;
inline constexpr uint16_t kWaveFormatALaw = 6;
inline constexpr uint16_t kWaveFormatMuLaw = 7;
/// Private tags of the compressed codecs the codec table knows but the engine cannot code.
inline constexpr uint16_t kWaveFormatG729 = 0xFE01;
inline constexpr uint16_t kWaveFormatG723_53 = 0xFE02;
inline constexpr uint16_t kWaveFormatG723_63 = 0xFE03;

/// The 18 meaningful bytes of a format; cbSize is always 0 and no extra bytes are ever copied.
struct WAVEFORMATEX {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;

  friend bool operator==(const WAVEFORMATEX&, const WAVEFORMATEX&) = default;
};

/// The format of codec index 0..5 (µ-law, A-law, G.729, G.723 5.3k, G.723 6.3k, PCM), all mono
/// 8000 Hz. A larger index yields the PCM format.
WAVEFORMATEX MakeAudioFormat(int codecIndex);

/// 8 kHz 16-bit mono PCM, the engine's linear format.
inline WAVEFORMATEX PcmFormat() { return MakeAudioFormat(5); }

/// Traces "WAVEFORMATEX wFormatTag=%u, ..." at the given level.
void TraceAudioFormat(const Tracer& tracer, uint32_t level, const WAVEFORMATEX& format);

}  // namespace tarsio
