#include "rtp/RTPPacket.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "framework/Tracer.h"
#include "platform/CompilerAttributes.h"

namespace tarsio {

namespace {

constexpr int32_t kErrTooShort = -10;
constexpr int32_t kErrExtension = -20;
constexpr int32_t kErrVersion = -30;
constexpr int32_t kErrContributors = -40;
constexpr int32_t kErrPadding = -50;

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t ReadU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
void WriteU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void WriteU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Traces why a datagram was refused (when the tracer's error level is on) and returns false. The
// reason is formatted on the stack: a flood of garbage datagrams costs no allocation.
TARSIO_PRINTF_FORMAT(3, 4)
bool Refuse(const Tracer* tracer, int32_t code, const char* format, ...) {
  if (tracer == nullptr || !TraceSink::Enabled() || (tracer->Level() & trace::kError) == 0) {
    return false;
  }
  char reason[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  TRACE(*tracer, trace::kError, "RTPPacket::CreateRTPPacket : error %d : %s\n", code, reason);
  return false;
}

}  // namespace

bool RTPPacket::Parse(const uint8_t* buffer, int32_t totalLength, const Tracer* tracer,
                      RTPPacket* out) {
  if (totalLength < kFixedHeaderLength) {
    return Refuse(tracer, kErrTooShort, "invalid RTP packet : len = %d bytes", totalLength);
  }
  const uint8_t first = buffer[0];
  const bool padding = (first & 0x20) != 0;
  const uint32_t numPadding = padding ? buffer[totalLength - 1] : 0u;
  if ((first & 0x10) != 0) return Refuse(tracer, kErrExtension, "header extension not supported");
  const uint8_t version = static_cast<uint8_t>(first >> 6);
  if (version != 2) return Refuse(tracer, kErrVersion, "invalid RTP version %d", version);
  const uint8_t contributorCount = first & 0x0F;
  const uint32_t headerLength = kFixedHeaderLength + 4u * contributorCount;
  const uint32_t length = static_cast<uint32_t>(totalLength);
  if (length < headerLength) {
    return Refuse(tracer, kErrContributors,
                  "totalLength (%d) < headerLength (%d) ! contributor count = %d", totalLength,
                  static_cast<int>(headerLength), contributorCount);
  }
  if (length < headerLength + numPadding) {
    return Refuse(tracer, kErrPadding, "totalLength (%d) < headerLength (%d) + numPadding (%d)",
                  totalLength, static_cast<int>(headerLength), static_cast<int>(numPadding));
  }

  RTPPacket& packet = *out;
  packet.version = version;
  packet.extension = 0;
  packet.contributorCount = contributorCount;
  packet.marker = static_cast<uint8_t>(buffer[1] >> 7);
  packet.payloadType = buffer[1] & 0x7F;
  packet.sequenceNumber = ReadU16(buffer + 2);
  packet.timestamp = ReadU32(buffer + 4);
  packet.ssrc = ReadU32(buffer + 8);
  packet.buffer = buffer;
  packet.totalLength = totalLength;
  packet.headerLength = headerLength;
  packet.numPadding = static_cast<int32_t>(numPadding);
  packet.payload = buffer + headerLength;
  packet.payloadLength =
      totalLength - static_cast<int32_t>(headerLength) - static_cast<int32_t>(numPadding);
  return true;
}

RTPPacket* RTPPacket::CreateRTPPacket(const uint8_t* buffer, int32_t totalLength,
                                      const Tracer* tracer) {
  RTPPacket parsed;
  if (!Parse(buffer, totalLength, tracer, &parsed)) return nullptr;
  return new (std::nothrow) RTPPacket(parsed);
}

RTPPacket RTPPacket::HeaderOnly() const {
  RTPPacket copy;
  copy.sequenceNumber = sequenceNumber;
  copy.timestamp = timestamp;
  copy.ssrc = ssrc;
  copy.marker = marker;
  copy.payloadType = payloadType;
  copy.extension = extension;
  copy.contributorCount = contributorCount;
  copy.version = version;
  copy.headerLength = headerLength;
  copy.buffer = nullptr;
  copy.payload = nullptr;
  copy.totalLength = static_cast<int32_t>(headerLength);
  copy.payloadLength = 0;
  copy.numPadding = 0;
  return copy;
}

RTPPacket* RTPPacket::CopyHeader() const { return new (std::nothrow) RTPPacket(HeaderOnly()); }

void WriteRTPHeader(uint8_t* out, uint8_t payloadType, bool marker, uint16_t sequenceNumber,
                    uint32_t timestamp, uint32_t ssrc) {
  out[0] = 0x80;
  out[1] = static_cast<uint8_t>(payloadType + (marker ? 0x80 : 0x00));
  WriteU16(out + 2, sequenceNumber);
  WriteU32(out + 4, timestamp);
  WriteU32(out + 8, ssrc);
}

}  // namespace tarsio
