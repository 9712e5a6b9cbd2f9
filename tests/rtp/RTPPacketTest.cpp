// The RTP header parser's refusals and accepted layouts, the transmit header and the header-only
// copy.
#include "rtp/RTPPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "framework/Tracer.h"
#include "platform/TraceSink.h"

namespace tarsio {
namespace {

/// A datagram of `length` bytes (at least one) of `fill` but the first, `first`; the last byte is
/// the padding count when the padding flag is set.
std::vector<uint8_t> Datagram(uint8_t first, int length, uint8_t fill) {
  std::vector<uint8_t> d(static_cast<size_t>(std::max(length, 1)), fill);
  d[0] = first;
  return d;
}

TEST(RTPPacketTest, EveryRefusalTracesItsCodeAndReason) {
  std::vector<std::string> lines;
  TraceSink::SetRecorder([&](const char*, uint32_t, const std::string& t) { lines.push_back(t); });
  Tracer tracer;
  tracer.SetLevel(trace::kError);
  const std::tuple<uint8_t, int32_t, uint8_t, const char*> cases[] = {
      {0x80, 11, 0, "-10 : invalid RTP packet : len = 11 bytes"},
      {0x80, 0, 0, "-10 : invalid RTP packet : len = 0 bytes"},
      {0x80, -1, 0, "-10 : invalid RTP packet : len = -1 bytes"},
      {0x90, 40, 0, "-20 : header extension not supported"},
      {0x50, 40, 0, "-20 : header extension not supported"},  // checked before the version
      {0x40, 40, 0, "-30 : invalid RTP version 1"},
      {0x00, 12, 0, "-30 : invalid RTP version 0"},
      {0x82, 19, 0, "-40 : totalLength (19) < headerLength (20) ! contributor count = 2"},
      {0x8F, 71, 0, "-40 : totalLength (71) < headerLength (72) ! contributor count = 15"},
      {0xA0, 20, 9, "-50 : totalLength (20) < headerLength (12) + numPadding (9)"},
      {0xA0, 20, 0x80, "-50 : totalLength (20) < headerLength (12) + numPadding (128)"},
      {0xA1, 20, 5, "-50 : totalLength (20) < headerLength (16) + numPadding (5)"},
  };
  for (const auto& [first, length, fill, text] : cases) {
    const auto d = Datagram(first, length, fill);
    EXPECT_EQ(RTPPacket::CreateRTPPacket(d.data(), length, &tracer), nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"RTPPacket::CreateRTPPacket : error " +
                                              std::string(text) + "\n"});
    lines.clear();
  }
  // Without a tracer, or with its error level off, a refusal is silent.
  const auto d = Datagram(0x80, 11, 0);
  EXPECT_EQ(RTPPacket::CreateRTPPacket(d.data(), 11, nullptr), nullptr);
  tracer.SetLevel(trace::kEntry);
  EXPECT_EQ(RTPPacket::CreateRTPPacket(d.data(), 11, &tracer), nullptr);
  EXPECT_TRUE(lines.empty());
  TraceSink::SetRecorder(nullptr);
}

TEST(RTPPacketTest, AcceptedLayoutsTransmitHeaderAndHeaderCopy) {
  // First byte, length, fill, header length, padding; a padding flag with a zero count cuts
  // nothing.
  const std::tuple<uint8_t, int32_t, uint8_t, uint32_t, int32_t> cases[] = {
      {0x80, 12, 0, 12, 0}, {0x80, 172, 0, 12, 0}, {0x82, 20, 0, 20, 0}, {0x8F, 232, 0, 72, 0},
      {0xA0, 20, 8, 12, 8}, {0xA1, 180, 4, 16, 4}, {0xA0, 13, 0, 12, 0}};
  for (const auto& [first, length, fill, headerLength, padding] : cases) {
    const auto d = Datagram(first, length, fill);
    std::unique_ptr<RTPPacket> p(RTPPacket::CreateRTPPacket(d.data(), length, nullptr));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(
        std::tie(p->contributorCount, p->headerLength, p->numPadding, p->payload),
        std::make_tuple(uint8_t(first & 0x0F), headerLength, padding, d.data() + headerLength));
    EXPECT_EQ(p->payloadLength, length - static_cast<int32_t>(headerLength) - padding);
  }

  // The transmit header: version 2, marker bit over the payload type, then big-endian fields.
  std::vector<uint8_t> d(14, 0xD5);
  WriteRTPHeader(d.data(), 8, true, 0xFFFE, 0xFFFFFF01u, 42);
  EXPECT_EQ(d, (std::vector<uint8_t>{0x80, 0x88, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 42,
                                     0xD5, 0xD5}));
  std::unique_ptr<RTPPacket> p(RTPPacket::CreateRTPPacket(d.data(), 14, nullptr));
  ASSERT_NE(p, nullptr);
  std::unique_ptr<RTPPacket> copy(p->CopyHeader());
  ASSERT_NE(copy, nullptr);
  for (const RTPPacket* r : {p.get(), copy.get()}) {
    EXPECT_EQ(std::make_tuple(r->version, r->marker, r->payloadType, r->sequenceNumber,
                              r->timestamp, r->ssrc, r->headerLength),
              std::make_tuple(2, 1, 8, 0xFFFE, 0xFFFFFF01u, 42u, 12u));
  }
  EXPECT_EQ(p->payloadLength, 2);
  // The copy owns no datagram: no buffer, no payload.
  EXPECT_TRUE(copy->buffer == nullptr && copy->payload == nullptr);
  EXPECT_EQ(std::make_pair(copy->totalLength, copy->payloadLength), std::make_pair(12, 0));
}

}  // namespace
}  // namespace tarsio
