#include "rtp/RTPCodecTable.h"

#include <cstdio>

#include "framework/AudioFormat.h"

namespace tarsio {
namespace {

constexpr RTPCodecEntry kCodecTable[kCodecCount] = {
    {kCodecULaw, kWaveFormatMuLaw, 125, 1, kPayloadTypeULaw, "G.711 ULaw"},
    {kCodecALaw, kWaveFormatALaw, 125, 1, kPayloadTypeALaw, "G.711 ALaw"},
    {kCodecG729, kWaveFormatG729, 10000, 10, kPayloadTypeG729, "G.729"},
    {kCodecG723Low, kWaveFormatG723_53, 30000, 20, kPayloadTypeG723, "G.723 5.3kbps"},
    {kCodecG723High, kWaveFormatG723_63, 30000, 24, kPayloadTypeG723, "G.723 6.4kbps"},
    {kCodecPCM, kWaveFormatPcm, 125, 2, kNoPayloadType, nullptr},
};

}  // namespace

const RTPCodecEntry* CodecEntryForIndex(int codecIndex) {
  if (codecIndex < 0 || codecIndex >= kCodecCount) return nullptr;
  return &kCodecTable[codecIndex];
}

const RTPCodecEntry* CodecEntryForFormatTag(uint16_t formatTag) {
  for (const RTPCodecEntry& entry : kCodecTable) {
    if (entry.formatTag == formatTag) return &entry;
  }
  return nullptr;
}

int CodecIndexForPayloadType(int payloadType, int32_t payloadLength) {
  switch (payloadType) {
    case kPayloadTypeULaw:
      return kCodecULaw;
    case kPayloadTypeALaw:
      return kCodecALaw;
    case kPayloadTypeG729:
      return kCodecG729;
    case kPayloadTypeG723:
      return (payloadLength % 20 == 0) ? kCodecG723Low : kCodecG723High;
    case kPayloadTypeComfortNoise:
      return kCodecPCM;
    default:
      return -1;
  }
}

std::string TransmitCodecName(uint16_t formatTag) {
  const RTPCodecEntry* entry = CodecEntryForFormatTag(formatTag);
  if (entry != nullptr && entry->transmitName != nullptr) return entry->transmitName;
  char text[64];
  std::snprintf(text, sizeof text, "WAVE_FORMAT %u (ERROR)", static_cast<unsigned>(formatTag));
  return text;
}

std::string ReceiveCodecName(int payloadType) {
  if (payloadType == kPayloadTypeULaw) return kCodecTable[kCodecULaw].transmitName;
  if (payloadType == kPayloadTypeALaw) return kCodecTable[kCodecALaw].transmitName;
  char text[64];
  std::snprintf(text, sizeof text, "Unknown Type %u (ERROR)", static_cast<unsigned>(payloadType));
  return text;
}

}  // namespace tarsio
