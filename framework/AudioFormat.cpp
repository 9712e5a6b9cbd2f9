#include "framework/AudioFormat.h"

#include "framework/Tracer.h"

namespace tarsio {

namespace {

struct FormatRow {
  uint16_t tag;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
};

// Indexed by the codec index of the codec table (µ-law, A-law, G.729, G.723 5.3k, G.723 6.3k,
// PCM).
constexpr FormatRow kFormats[] = {
    {kWaveFormatMuLaw, 8000, 1, 8},  {kWaveFormatALaw, 8000, 1, 8},
    {kWaveFormatG729, 1000, 1, 8},   {kWaveFormatG723_53, 800, 1, 8},
    {kWaveFormatG723_63, 800, 1, 8}, {kWaveFormatPcm, 16000, 2, 16},
};
constexpr int kFormatCount = static_cast<int>(sizeof kFormats / sizeof kFormats[0]);
constexpr int kPcmIndex = 5;

}  // namespace

WAVEFORMATEX MakeAudioFormat(int codecIndex) {
  const FormatRow& row =
      kFormats[codecIndex >= 0 && codecIndex < kFormatCount ? codecIndex : kPcmIndex];
  WAVEFORMATEX format;
  format.wFormatTag = row.tag;
  format.nChannels = 1;
  format.nSamplesPerSec = 8000;
  format.nAvgBytesPerSec = row.avgBytesPerSec;
  format.nBlockAlign = row.blockAlign;
  format.wBitsPerSample = row.bitsPerSample;
  format.cbSize = 0;
  return format;
}

void TraceAudioFormat(const Tracer& tracer, uint32_t level, const WAVEFORMATEX& format) {
  TRACE(tracer, level,
        "WAVEFORMATEX wFormatTag=%u, nAvgBytesPerSec=%u, nSamplesPerSec=%u, wBitsPerSample=%u, "
        "nChannels=%u, nBlockAlign=%u, cbSize=%u\n",
        static_cast<unsigned>(format.wFormatTag), static_cast<unsigned>(format.nAvgBytesPerSec),
        static_cast<unsigned>(format.nSamplesPerSec), static_cast<unsigned>(format.wBitsPerSample),
        static_cast<unsigned>(format.nChannels), static_cast<unsigned>(format.nBlockAlign),
        static_cast<unsigned>(format.cbSize));
}

}  // namespace tarsio
