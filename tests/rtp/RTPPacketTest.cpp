#include "rtp/RTPPacket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/Tracer.h"
#include "platform/TraceSink.h"

namespace tarsio {
namespace {

// Records the error traces of one tracer while alive.
class TraceCapture {
 public:
  TraceCapture() {
    tracer.SetInstanceName("RTPAudioSource:1");
    tracer.SetLevel(trace::kError);
    TraceSink::SetRecorder([this](const char*, uint32_t levelBit, const std::string& text) {
      lines.push_back(std::to_string(levelBit) + " " + text);
    });
  }
  ~TraceCapture() { TraceSink::SetRecorder(nullptr); }

  Tracer tracer;
  std::vector<std::string> lines;
};

std::vector<uint8_t> Datagram(std::vector<uint8_t> head, size_t length) {
  head.resize(length, 0);
  return head;
}

TEST(RTPPacketTest, RefusalsCarryTheirCodeAndTextInTheErrorTrace) {
  const std::string error = std::to_string(trace::kError) + " RTPPacket::CreateRTPPacket : error ";
  const struct {
    std::vector<uint8_t> datagram;
    int32_t length;  // may differ from the vector's size (negative lengths)
    std::string trace;
  } cases[] = {
      {Datagram({0x80}, 11), 11, "-10 : invalid RTP packet : len = 11 bytes\n"},
      {Datagram({0x80}, 0), 0, "-10 : invalid RTP packet : len = 0 bytes\n"},
      {Datagram({0x80}, 12), -1, "-10 : invalid RTP packet : len = -1 bytes\n"},
      {Datagram({0x90}, 40), 40, "-20 : header extension not supported\n"},
      // The extension check comes before the version check.
      {Datagram({0x50}, 40), 40, "-20 : header extension not supported\n"},
      {Datagram({0x40}, 40), 40, "-30 : invalid RTP version 1\n"},
      {Datagram({0xC0}, 40), 40, "-30 : invalid RTP version 3\n"},
      {Datagram({0x00}, 12), 12, "-30 : invalid RTP version 0\n"},
      {Datagram({0x82}, 19), 19,
       "-40 : totalLength (19) < headerLength (20) ! contributor count = 2\n"},
      {Datagram({0x8F}, 71), 71,
       "-40 : totalLength (71) < headerLength (72) ! contributor count = 15\n"},
      {[] {
         auto d = Datagram({0xA0}, 20);
         d[19] = 9;
         return d;
       }(),
       20, "-50 : totalLength (20) < headerLength (12) + numPadding (9)\n"},
      {[] {
         auto d = Datagram({0xA0}, 20);
         d[19] = 0x80;
         return d;
       }(),
       20, "-50 : totalLength (20) < headerLength (12) + numPadding (128)\n"},
      {[] {
         auto d = Datagram({0xA1}, 20);
         d[19] = 5;
         return d;
       }(),
       20, "-50 : totalLength (20) < headerLength (16) + numPadding (5)\n"},
  };
  for (const auto& c : cases) {
    TraceCapture capture;
    EXPECT_EQ(RTPPacket::CreateRTPPacket(c.datagram.data(), c.length, &capture.tracer), nullptr);
    ASSERT_EQ(capture.lines.size(), 1u) << c.trace;
    EXPECT_EQ(capture.lines[0], error + c.trace);
  }
  // Without a tracer, or with the error level off, a refusal is silent.
  TraceCapture capture;
  const auto shortPacket = Datagram({0x80}, 11);
  EXPECT_EQ(RTPPacket::CreateRTPPacket(shortPacket.data(), 11, nullptr), nullptr);
  capture.tracer.SetLevel(trace::kEntry);
  EXPECT_EQ(RTPPacket::CreateRTPPacket(shortPacket.data(), 11, &capture.tracer), nullptr);
  EXPECT_TRUE(capture.lines.empty());
}

TEST(RTPPacketTest, AcceptedDatagramsAreParsed) {
  TraceCapture capture;
  const struct {
    std::vector<uint8_t> datagram;
    uint32_t headerLength;
    int32_t numPadding;
    int32_t payloadLength;
  } cases[] = {
      {Datagram({0x80}, 12), 12, 0, 0},
      {Datagram({0x80}, 172), 12, 0, 160},
      {Datagram({0x82}, 20), 20, 0, 0},
      {Datagram({0x8F}, 232), 72, 0, 160},
      {[] {
         auto d = Datagram({0xA0}, 20);
         d[19] = 8;
         return d;
       }(),
       12, 8, 0},
      {[] {
         auto d = Datagram({0xA1}, 180);
         d[179] = 4;
         return d;
       }(),
       16, 4, 160},
      // P set with a zero count: nothing is cut off.
      {Datagram({0xA0}, 13), 12, 0, 1},
  };
  for (const auto& c : cases) {
    std::unique_ptr<RTPPacket> packet(RTPPacket::CreateRTPPacket(
        c.datagram.data(), static_cast<int32_t>(c.datagram.size()), &capture.tracer));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->version, 2);
    EXPECT_EQ(packet->extension, 0);
    EXPECT_EQ(packet->contributorCount, c.datagram[0] & 0x0F);
    EXPECT_EQ(packet->headerLength, c.headerLength);
    EXPECT_EQ(packet->numPadding, c.numPadding);
    EXPECT_EQ(packet->payloadLength, c.payloadLength);
    EXPECT_EQ(packet->totalLength, static_cast<int32_t>(c.datagram.size()));
    EXPECT_EQ(packet->buffer, c.datagram.data());
    EXPECT_EQ(packet->payload, c.datagram.data() + c.headerLength);
  }
  EXPECT_TRUE(capture.lines.empty());
}

TEST(RTPPacketTest, HeaderFieldsAndCopy) {
  const std::vector<uint8_t> datagram = {0x80, 0x88, 0x12, 0x34, 0x00, 0x00, 0x01,
                                         0x00, 0x00, 0x00, 0x00, 0x2A, 0xD5, 0xD5};
  std::unique_ptr<RTPPacket> packet(
      RTPPacket::CreateRTPPacket(datagram.data(), static_cast<int32_t>(datagram.size()), nullptr));
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->marker, 1);
  EXPECT_EQ(packet->payloadType, 8);
  EXPECT_EQ(packet->sequenceNumber, 0x1234);
  EXPECT_EQ(packet->timestamp, 256u);
  EXPECT_EQ(packet->ssrc, 42u);
  EXPECT_EQ(packet->payloadLength, 2);

  std::unique_ptr<RTPPacket> copy(packet->CopyHeader());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->sequenceNumber, 0x1234);
  EXPECT_EQ(copy->timestamp, 256u);
  EXPECT_EQ(copy->ssrc, 42u);
  EXPECT_EQ(copy->marker, 1);
  EXPECT_EQ(copy->payloadType, 8);
  EXPECT_EQ(copy->version, 2);
  EXPECT_EQ(copy->headerLength, 12u);
  EXPECT_EQ(copy->totalLength, 12);
  EXPECT_EQ(copy->payloadLength, 0);
  EXPECT_EQ(copy->numPadding, 0);
  EXPECT_EQ(copy->buffer, nullptr);
  EXPECT_EQ(copy->payload, nullptr);
}

TEST(RTPPacketTest, TransmitHeaderRoundTripsThroughTheParser) {
  const struct {
    uint8_t payloadType;
    bool marker;
    uint16_t sequence;
    uint32_t timestamp;
    uint32_t ssrc;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {0,
       true,
       0xFFFF,
       0xFFFFFFFFu,
       0x7FFF,
       {0x80, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x7F, 0xFF}},
      {8,
       false,
       0x0102,
       0x03040506u,
       0x0708090Au,
       {0x80, 0x08, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A}},
      {13, false, 0, 0, 0, {0x80, 0x0D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out(12, 0xEE);
    WriteRTPHeader(out.data(), c.payloadType, c.marker, c.sequence, c.timestamp, c.ssrc);
    EXPECT_EQ(out, c.bytes);
    std::unique_ptr<RTPPacket> parsed(RTPPacket::CreateRTPPacket(out.data(), 12, nullptr));
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(parsed->payloadType, c.payloadType);
    EXPECT_EQ(parsed->marker, c.marker ? 1 : 0);
    EXPECT_EQ(parsed->sequenceNumber, c.sequence);
    EXPECT_EQ(parsed->timestamp, c.timestamp);
    EXPECT_EQ(parsed->ssrc, c.ssrc);
  }
}

}  // namespace
}  // namespace tarsio
