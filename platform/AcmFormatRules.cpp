#include "platform/AcmFormatRules.h"

namespace tarsio {

namespace {

bool ValidRate(uint32_t rate) { return rate >= AcmStream::kMinRate && rate <= AcmStream::kMaxRate; }

}  // namespace

uint32_t AcmFormatRules::SampleBytes(const AcmFormat& f) {
  switch (f.wFormatTag) {
    case AcmStream::kTagPcm:
      if (f.wBitsPerSample == 8 || f.wBitsPerSample == 16 || f.wBitsPerSample == 24 ||
          f.wBitsPerSample == 32) {
        return f.wBitsPerSample / 8u;
      }
      return 0;
    case AcmStream::kTagFloat:
      return f.wBitsPerSample == 32 || f.wBitsPerSample == 64 ? f.wBitsPerSample / 8u : 0;
    case AcmStream::kTagAlaw:
    case AcmStream::kTagMulaw:
      return f.wBitsPerSample == 8 ? 1 : 0;
    default:
      return 0;
  }
}

uint32_t AcmFormatRules::ImaSamplesPerBlock(uint16_t blockAlign, uint16_t channels) {
  if (channels < 1 || channels > 2) return 0;
  const uint32_t header = 4u * channels;
  if (blockAlign <= header || (blockAlign - header) % header != 0) return 0;
  return (blockAlign - header) * 8u / header + 1u;
}

bool AcmFormatRules::IsValidSource(const AcmFormat& f) {
  if (f.nChannels < 1 || !ValidRate(f.nSamplesPerSec) ||
      f.nBlockAlign > AcmStream::kMaxBlockAlign) {
    return false;
  }
  if (f.wFormatTag == AcmStream::kTagImaAdpcm) {
    return f.wBitsPerSample == 4 && f.nChannels <= 2 &&
           ImaSamplesPerBlock(f.nBlockAlign, f.nChannels) != 0;
  }
  const uint32_t bytes = SampleBytes(f);
  return bytes != 0 && f.nChannels <= AcmStream::kMaxChannels &&
         f.nBlockAlign == bytes * f.nChannels;
}

bool AcmFormatRules::IsValidDestination(const AcmFormat& f) {
  if (f.nChannels != 1 || !ValidRate(f.nSamplesPerSec)) {
    return false;
  }
  if (f.wFormatTag == AcmStream::kTagPcm) return f.wBitsPerSample == 16 && f.nBlockAlign == 2;
  if (f.wFormatTag == AcmStream::kTagAlaw || f.wFormatTag == AcmStream::kTagMulaw) {
    return f.wBitsPerSample == 8 && f.nBlockAlign == 1;
  }
  return false;
}

}  // namespace tarsio
