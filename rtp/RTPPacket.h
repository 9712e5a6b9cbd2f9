// The parsed RTP header that travels with every received sample, its parser, and the transmit
// header builder.
//
// A record made by Parse or CreateRTPPacket points into the receiver's datagram buffer: buffer and
// payload are valid only until the receiver reads into that slot again. Header fields stay valid.
// Samples keep a copy of the record (AudioSample::SetRTPHeader). Parse and HeaderOnly never
// allocate (the receive path runs them per datagram); CreateRTPPacket and CopyHeader return heap
// records for callers that want one.
#pragma once

#include <cstdint>

namespace tarsio {

class Tracer;

struct RTPPacket {
  static constexpr int32_t kFixedHeaderLength = 12;

  uint16_t sequenceNumber = 0;
  const uint8_t* buffer = nullptr;
  int32_t totalLength = 0;
  uint8_t extension = 0;
  uint8_t contributorCount = 0;
  uint8_t marker = 0;
  uint8_t payloadType = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  int32_t payloadLength = 0;
  const uint8_t* payload = nullptr;
  uint8_t version = 0;
  uint32_t headerLength = 0;
  int32_t numPadding = 0;

  /// Parses one whole datagram into *out. False when the datagram is refused (*out is then left
  /// as it was; the reason goes to tracer's error trace:
  /// "RTPPacket::CreateRTPPacket : error %d : %s\n").
  static bool Parse(const uint8_t* buffer, int32_t totalLength, const Tracer* tracer,
                    RTPPacket* out);
  /// Parse into a new record, or null when the datagram is refused.
  static RTPPacket* CreateRTPPacket(const uint8_t* buffer, int32_t totalLength,
                                    const Tracer* tracer);
  /// A header-only copy: no buffer, no payload, totalLength = headerLength.
  RTPPacket HeaderOnly() const;
  /// HeaderOnly in a new record, or null.
  RTPPacket* CopyHeader() const;
};

/// Writes the 12-byte transmit header (V=2, no padding, extension or CSRC) into out.
void WriteRTPHeader(uint8_t* out, uint8_t payloadType, bool marker, uint16_t sequenceNumber,
                    uint32_t timestamp, uint32_t ssrc);

}  // namespace tarsio
