// The codec table: which audio format travels under which RTP payload type, its framing and the
// names recorded in the settings store for other programs.
//
// A plain constant table with look-up functions; shared by the transmitter (format tag -> payload
// type and name), the receiver (payload type -> codec index) and the generic decoder (payload
// type -> name). The codec index is the argument of MakeAudioFormat.
//
// Threading: read-only data, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tarsio {

/// The codec indices (MakeAudioFormat's argument).
inline constexpr int kCodecULaw = 0;
inline constexpr int kCodecALaw = 1;
inline constexpr int kCodecG729 = 2;
inline constexpr int kCodecG723Low = 3;
inline constexpr int kCodecG723High = 4;
inline constexpr int kCodecPCM = 5;
inline constexpr int kCodecCount = 6;

/// RTP payload types the engine knows.
inline constexpr uint8_t kPayloadTypeULaw = 0;
inline constexpr uint8_t kPayloadTypeG723 = 4;
inline constexpr uint8_t kPayloadTypeALaw = 8;
inline constexpr uint8_t kPayloadTypeComfortNoise = 13;
inline constexpr uint8_t kPayloadTypeG729 = 18;
/// "No payload type" in the table (linear PCM is never sent).
inline constexpr int kNoPayloadType = -1;

struct RTPCodecEntry {
  int codecIndex;
  uint16_t formatTag;
  int32_t blockDurationUs;
  int32_t blockSize;
  int payloadType;           // kNoPayloadType for linear PCM
  const char* transmitName;  // name the transmitter records; null for PCM
};

/// The table row of a codec index, or null outside 0..5.
const RTPCodecEntry* CodecEntryForIndex(int codecIndex);
/// The table row of a format tag, or null for a tag the table does not hold.
const RTPCodecEntry* CodecEntryForFormatTag(uint16_t formatTag);

/// The codec index of a received payload type: 0 -> 0, 8 -> 1, 18 -> 2, 4 -> 3 when the payload
/// length is a multiple of 20 bytes and 4 otherwise, 13 -> 5; -1 for any other type.
int CodecIndexForPayloadType(int payloadType, int32_t payloadLength);

/// The name the transmitter records for a format tag: the table's name, or
/// "WAVE_FORMAT %u (ERROR)" for a tag it does not know (PCM included).
std::string TransmitCodecName(uint16_t formatTag);

/// The name the generic decoder records for a payload type: "G.711 ULaw" (0), "G.711 ALaw" (8),
/// "Unknown Type %u (ERROR)" for every other type. (Comfort noise never reaches this.)
std::string ReceiveCodecName(int payloadType);

}  // namespace tarsio
