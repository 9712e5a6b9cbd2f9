// The RTP header parser's refusals and accepted layouts, the transmit header and the header-only
// copy.
#include "rtp/RTPPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "framework/Tracer.h"
#include "platform/TraceSink.h"

namespace tarsio {
namespace {

// Records the error traces of one tracer while alive.
struct TraceCapture {
  TraceCapture() {
    tracer.SetInstanceName("RTPAudioSource:1");
    tracer.SetLevel(trace::kError);
    TraceSink::SetRecorder(
        [this](const char*, uint32_t, const std::string& text) { lines.push_back(text); });
  }
  ~TraceCapture() { TraceSink::SetRecorder(nullptr); }
  Tracer tracer;
  std::vector<std::string> lines;
};

/// A datagram of `length` zero bytes with the first byte `first` and the last byte `last`.
std::vector<uint8_t> Datagram(uint8_t first, int length, uint8_t last = 0) {
  std::vector<uint8_t> d(static_cast<size_t>(std::max(length, 1)), 0);
  if (length > 1) d.back() = last;
  d[0] = first;
  return d;
}

TEST(RTPPacketTest, EveryRefusalTracesItsCodeAndReason) {
  const struct {
    uint8_t first;
    int32_t length;
    uint8_t last;
    const char* trace;
  } cases[] = {
      {0x80, 11, 0, "-10 : invalid RTP packet : len = 11 bytes"},
      {0x80, 0, 0, "-10 : invalid RTP packet : len = 0 bytes"},
      {0x80, -1, 0, "-10 : invalid RTP packet : len = -1 bytes"},
      {0x90, 40, 0, "-20 : header extension not supported"},
      {0x50, 40, 0, "-20 : header extension not supported"},  // checked before the version
      {0x40, 40, 0, "-30 : invalid RTP version 1"},
      {0xC0, 40, 0, "-30 : invalid RTP version 3"},
      {0x00, 12, 0, "-30 : invalid RTP version 0"},
      {0x82, 19, 0, "-40 : totalLength (19) < headerLength (20) ! contributor count = 2"},
      {0x8F, 71, 0, "-40 : totalLength (71) < headerLength (72) ! contributor count = 15"},
      {0xA0, 20, 9, "-50 : totalLength (20) < headerLength (12) + numPadding (9)"},
      {0xA0, 20, 0x80, "-50 : totalLength (20) < headerLength (12) + numPadding (128)"},
      {0xA1, 20, 5, "-50 : totalLength (20) < headerLength (16) + numPadding (5)"},
  };
  for (const auto& c : cases) {
    TraceCapture capture;
    const auto d = Datagram(c.first, c.length, c.last);
    EXPECT_EQ(RTPPacket::CreateRTPPacket(d.data(), c.length, &capture.tracer), nullptr);
    EXPECT_EQ(capture.lines,
              std::vector<std::string>{std::string("RTPPacket::CreateRTPPacket : error ") +
                                       c.trace + "\n"});
  }
  // Without a tracer, or with its error level off, a refusal is silent.
  TraceCapture capture;
  const auto d = Datagram(0x80, 11);
  EXPECT_EQ(RTPPacket::CreateRTPPacket(d.data(), 11, nullptr), nullptr);
  capture.tracer.SetLevel(trace::kEntry);
  EXPECT_EQ(RTPPacket::CreateRTPPacket(d.data(), 11, &capture.tracer), nullptr);
  EXPECT_TRUE(capture.lines.empty());
}

TEST(RTPPacketTest, AcceptedLayoutsTransmitHeaderAndHeaderCopy) {
  const struct {
    uint8_t first;
    int length;
    uint8_t last;
    uint32_t headerLength;
    int32_t numPadding;
  } cases[] = {
      {0x80, 12, 0, 12, 0}, {0x80, 172, 0, 12, 0}, {0x82, 20, 0, 20, 0}, {0x8F, 232, 0, 72, 0},
      {0xA0, 20, 8, 12, 8}, {0xA1, 180, 4, 16, 4}, {0xA0, 13, 0, 12, 0},  // padding flag with a
                                                                          // zero count: nothing is
                                                                          // cut off
  };
  for (const auto& c : cases) {
    const auto d = Datagram(c.first, c.length, c.last);
    std::unique_ptr<RTPPacket> p(RTPPacket::CreateRTPPacket(d.data(), c.length, nullptr));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->contributorCount, c.first & 0x0F);
    EXPECT_EQ(p->headerLength, c.headerLength);
    EXPECT_EQ(p->numPadding, c.numPadding);
    EXPECT_EQ(p->payloadLength, c.length - static_cast<int32_t>(c.headerLength) - c.numPadding);
    EXPECT_EQ(p->payload, d.data() + c.headerLength);
  }

  // The transmit header: version 2, marker bit over the payload type, then big-endian fields.
  std::vector<uint8_t> d(14, 0xD5);
  WriteRTPHeader(d.data(), 8, true, 0xFFFE, 0xFFFFFF01u, 42);
  EXPECT_EQ(d, (std::vector<uint8_t>{0x80, 0x88, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 42,
                                     0xD5, 0xD5}));
  std::unique_ptr<RTPPacket> p(RTPPacket::CreateRTPPacket(d.data(), 14, nullptr));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->payloadLength, 2);
  std::unique_ptr<RTPPacket> copy(p->CopyHeader());
  ASSERT_NE(copy, nullptr);
  for (const RTPPacket* r : {p.get(), copy.get()}) {
    EXPECT_EQ(r->version, 2);
    EXPECT_EQ(r->marker, 1);
    EXPECT_EQ(r->payloadType, 8);
    EXPECT_EQ(r->sequenceNumber, 0xFFFE);
    EXPECT_EQ(r->timestamp, 0xFFFFFF01u);
    EXPECT_EQ(r->ssrc, 42u);
    EXPECT_EQ(r->headerLength, 12u);
  }
  // The copy owns no datagram: no buffer, no payload.
  EXPECT_EQ(copy->buffer, nullptr);
  EXPECT_EQ(copy->payload, nullptr);
  EXPECT_EQ(copy->totalLength, 12);
  EXPECT_EQ(copy->payloadLength, 0);
}

}  // namespace
}  // namespace tarsio
