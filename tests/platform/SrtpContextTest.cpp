// Secure RTP over libsrtp: packets protected by one side come out of the other unchanged; a
// tampered, replayed or wrongly keyed packet is refused; key parameters are checked without ever
// quoting the key.
#include "platform/SrtpContext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tarsio {
namespace {

// 30 bytes: 0x00..0x1d.
constexpr const char* kKey = "inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
constexpr const char* kOtherKey = "inline:HRwbGhkYFxYVFBMSERAPDg0MCwoJCAcGBQQDAgEA|2^31";

std::vector<uint8_t> RtpPacket(uint16_t sequence, size_t payload) {
  std::vector<uint8_t> p = {0x80,
                            0x00,
                            static_cast<uint8_t>(sequence >> 8),
                            static_cast<uint8_t>(sequence),
                            0,
                            0,
                            0x10,
                            0x00,
                            0xde,
                            0xad,
                            0xbe,
                            0xef};
  for (size_t i = 0; i < payload; ++i) p.push_back(static_cast<uint8_t>(i * 7 + sequence));
  return p;
}

using Result = SrtpContext::Result;

TEST(SrtpContextTest, BothSuitesCarryRtpAndRtcpAndRefuseTamperingAndReplay) {
  for (const auto suite :
       {SrtpContext::Suite::kAesCm128HmacSha1_80, SrtpContext::Suite::kAesCm128HmacSha1_32}) {
    SCOPED_TRACE(SrtpContext::SuiteName(suite));
    std::string error;
    auto sender = SrtpContext::Create(suite, SrtpContext::Direction::kOutbound, kKey, &error);
    ASSERT_NE(nullptr, sender) << error;
    auto receiver = SrtpContext::Create(suite, SrtpContext::Direction::kInbound, kKey, &error);
    ASSERT_NE(nullptr, receiver) << error;
    auto stranger = SrtpContext::Create(suite, SrtpContext::Direction::kInbound, kOtherKey, &error);
    ASSERT_NE(nullptr, stranger) << error;

    const size_t tag = suite == SrtpContext::Suite::kAesCm128HmacSha1_32 ? 4 : 10;
    std::vector<std::vector<uint8_t>> protectedPackets;
    for (uint16_t sequence = 65530; sequence != 6; ++sequence) {  // across the wrap
      const std::vector<uint8_t> plain = RtpPacket(sequence, 160);
      std::vector<uint8_t> buffer = plain;
      buffer.resize(plain.size() + SrtpContext::kMaxOverhead);
      size_t length = plain.size();
      ASSERT_EQ(Result::kOk, sender->ProtectRtp(buffer.data(), &length, buffer.size()));
      ASSERT_EQ(plain.size() + tag, length);
      EXPECT_NE(0, std::memcmp(plain.data() + 12, buffer.data() + 12, 160));  // encrypted
      buffer.resize(length);
      protectedPackets.push_back(buffer);

      std::vector<uint8_t> copy = buffer;
      ASSERT_EQ(Result::kOk, receiver->UnprotectRtp(copy.data(), &length));
      copy.resize(length);
      EXPECT_EQ(plain, copy);
    }
    // Replayed, tampered, wrongly keyed: all refused, and the context still works afterwards.
    std::vector<uint8_t> replay = protectedPackets[3];
    size_t length = replay.size();
    EXPECT_EQ(Result::kReplayed, receiver->UnprotectRtp(replay.data(), &length));
    // A fresh packet with one bit flipped is refused, and that refusal does not burn its index.
    std::vector<uint8_t> fresh = RtpPacket(100, 160);
    fresh.resize(fresh.size() + SrtpContext::kMaxOverhead);
    length = 172;
    ASSERT_EQ(Result::kOk, sender->ProtectRtp(fresh.data(), &length, fresh.size()));
    fresh.resize(length);
    std::vector<uint8_t> tampered = fresh;
    tampered[20] ^= 1;
    EXPECT_EQ(Result::kAuthenticationFailed, receiver->UnprotectRtp(tampered.data(), &length));
    length = fresh.size();
    EXPECT_EQ(Result::kOk, receiver->UnprotectRtp(fresh.data(), &length));
    std::vector<uint8_t> foreign = protectedPackets[0];
    length = foreign.size();
    EXPECT_EQ(Result::kAuthenticationFailed, stranger->UnprotectRtp(foreign.data(), &length));
    std::vector<uint8_t> runt = {0x80, 0, 0, 1};
    length = runt.size();
    EXPECT_EQ(Result::kMalformed, receiver->UnprotectRtp(runt.data(), &length));

    // RTCP: an empty receiver report; SRTCP adds the index and an 80-bit tag in both suites.
    const std::vector<uint8_t> report = {0x80, 201, 0, 1, 0xde, 0xad, 0xbe, 0xef};
    std::vector<uint8_t> rtcp = report;
    rtcp.resize(report.size() + SrtpContext::kMaxOverhead);
    length = report.size();
    ASSERT_EQ(Result::kOk, sender->ProtectRtcp(rtcp.data(), &length, rtcp.size()));
    EXPECT_EQ(report.size() + 14, length);
    rtcp.resize(length);
    std::vector<uint8_t> rtcpCopy = rtcp;
    ASSERT_EQ(Result::kOk, receiver->UnprotectRtcp(rtcpCopy.data(), &length));
    rtcpCopy.resize(length);
    EXPECT_EQ(report, rtcpCopy);
    length = rtcp.size();
    EXPECT_EQ(Result::kReplayed, receiver->UnprotectRtcp(rtcp.data(), &length));

    // No room for the tag; the wrong direction.
    std::vector<uint8_t> small = RtpPacket(1, 10);
    length = small.size();
    EXPECT_EQ(Result::kNoRoom, sender->ProtectRtp(small.data(), &length, small.size()));
    EXPECT_EQ(Result::kFailed, receiver->ProtectRtp(small.data(), &length, 1000));
  }
}

TEST(SrtpContextTest, KeyParametersAreCheckedWithoutQuotingTheKey) {
  const char* secret = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
  struct Case {
    std::string parameters;
    const char* error;
  };
  const Case cases[] = {
      {"inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxw", "SRTP key is not 30 bytes"},
      {std::string("inline:") + secret + "AAAA", "SRTP key is not 30 bytes"},  // 33 bytes
      {std::string("inline:") + secret + "|2^20|1:4", "SRTP key parameters with an MKI"},
      {"inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGx!d", "SRTP key is not valid base64"},
      {"", "SRTP key is not 30 bytes"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(nullptr, SrtpContext::Create(SrtpContext::Suite::kAesCm128HmacSha1_80,
                                           SrtpContext::Direction::kInbound, c.parameters, &error))
        << c.parameters;
    EXPECT_EQ(0u, error.find(c.error)) << error;
    EXPECT_EQ(std::string::npos, error.find("AAEC")) << error;
  }
  // The bare base64 (no "inline:") is accepted too, and so are RFC 4568 suite names.
  std::string error;
  EXPECT_NE(nullptr, SrtpContext::Create(SrtpContext::Suite::kAesCm128HmacSha1_80,
                                         SrtpContext::Direction::kOutbound, secret, &error));
  SrtpContext::Suite suite;
  EXPECT_TRUE(SrtpContext::ParseSuite("AES_CM_128_HMAC_SHA1_32", &suite));
  EXPECT_EQ(SrtpContext::Suite::kAesCm128HmacSha1_32, suite);
  EXPECT_FALSE(SrtpContext::ParseSuite("AES_256_CM_HMAC_SHA1_80", &suite));

  uint8_t out[8];
  size_t length = 0;
  ASSERT_TRUE(SrtpContext::DecodeBase64("TWFu", out, sizeof out, &length));
  EXPECT_EQ(3u, length);
  EXPECT_EQ('M', out[0]);
  ASSERT_TRUE(SrtpContext::DecodeBase64("TWE=", out, sizeof out, &length));
  EXPECT_EQ(2u, length);
  EXPECT_FALSE(SrtpContext::DecodeBase64("TWFuT", out, sizeof out, &length));
  EXPECT_FALSE(SrtpContext::DecodeBase64("TWFuTWFuTWFu", out, sizeof out, &length));  // 9 > 8
}

}  // namespace
}  // namespace tarsio
