// Feeds arbitrary datagrams to the RTP header parser. Checks that a record is only made for a
// datagram whose header, CSRC list and padding fit, that its fields add up, and that the header
// copy keeps the header fields.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "framework/Tracer.h"
#include "fuzz/FuzzCheck.h"
#include "platform/TraceSink.h"
#include "rtp/RTPPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tarsio::Tracer* tracer = [] {
    // Error traces are formatted (into a recorder that drops them) so that path runs too.
    tarsio::TraceSink::SetRecorder([](const char*, uint32_t, const std::string&) {});
    auto* t = new tarsio::Tracer();
    t->SetInstanceName("RTPAudioSource", t);
    t->SetLevel(tarsio::trace::kError);
    return t;
  }();
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
  // An exact-size copy, so that any read past the datagram is caught.
  const std::vector<uint8_t> datagram(data, data + size);
  const int32_t length = static_cast<int32_t>(size);
  std::unique_ptr<tarsio::RTPPacket> packet(
      tarsio::RTPPacket::CreateRTPPacket(datagram.data(), length, tracer));
  if (!packet) return 0;

  Check(size >= 12);
  Check((datagram[0] >> 6) == 2 && (datagram[0] & 0x10) == 0);
  Check(packet->version == 2 && packet->extension == 0);
  Check(packet->headerLength == 12u + 4u * packet->contributorCount);
  Check(packet->numPadding >= 0 && packet->numPadding <= 255);
  Check(packet->payloadLength >= 0);
  Check(static_cast<int64_t>(packet->headerLength) + packet->numPadding + packet->payloadLength ==
        packet->totalLength);
  Check(packet->payload == datagram.data() + packet->headerLength);
  Check(packet->payloadType == (datagram[1] & 0x7F) && packet->marker == (datagram[1] >> 7));

  std::unique_ptr<tarsio::RTPPacket> copy(packet->CopyHeader());
  Check(copy != nullptr);
  Check(copy->sequenceNumber == packet->sequenceNumber && copy->timestamp == packet->timestamp &&
        copy->ssrc == packet->ssrc && copy->payloadType == packet->payloadType &&
        copy->marker == packet->marker && copy->payloadLength == 0 && copy->payload == nullptr &&
        copy->totalLength == static_cast<int32_t>(packet->headerLength));

  // The transmit header of the same fields parses back to them.
  uint8_t header[12];
  tarsio::WriteRTPHeader(header, packet->payloadType, packet->marker != 0, packet->sequenceNumber,
                         packet->timestamp, packet->ssrc);
  std::unique_ptr<tarsio::RTPPacket> again(
      tarsio::RTPPacket::CreateRTPPacket(header, sizeof header, tracer));
  Check(again && again->sequenceNumber == packet->sequenceNumber &&
        again->timestamp == packet->timestamp && again->ssrc == packet->ssrc &&
        again->payloadType == packet->payloadType && again->marker == packet->marker);
  return 0;
}
