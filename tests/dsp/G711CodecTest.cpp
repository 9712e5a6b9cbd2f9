// G.711 against a reference built here from the segment rules: decision intervals given by their
// end points and step sizes, codes found by searching the intervals, decoded values as the
// interval midpoints. Nothing here uses bit tricks or the codec's tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dsp/AudioCodec.h"
#include "dsp/G711Codec.h"

namespace tarsio {
namespace {

// µ-law on the 14-bit magnitude scale: segment k holds magnitudes from kULawEnd[k-1] (-1 before
// segment 0) up to, not including, kULawEnd[k], in steps of 2^(k+1).
constexpr int kULawEnd[8] = {31, 95, 223, 479, 991, 2015, 4063, 8159};
constexpr int kULawStep[8] = {2, 4, 8, 16, 32, 64, 128, 256};
// A-law on the 12-bit magnitude scale: segment k holds [kALawStart[k], kALawStart[k+1]).
constexpr int kALawStart[9] = {0, 32, 64, 128, 256, 512, 1024, 2048, 4096};
constexpr int kALawStep[8] = {2, 2, 4, 8, 16, 32, 64, 128};

int Quarter(int s) { return s >= 0 ? s / 4 : -((-s) / 4); }  // truncation toward zero, spelled out

uint8_t ReferenceULaw(int16_t s) {
  const int i = Quarter(s);
  const bool negative = i < 0;
  const int magnitude = negative ? -i : i;
  int segment = 7;
  int interval = 15;
  int start = -1;
  for (int k = 0; k < 8; ++k) {
    if (magnitude < kULawEnd[k]) {
      segment = k;
      interval = (magnitude - start) / kULawStep[k];
      break;
    }
    start = kULawEnd[k];
  }
  const int code = (negative ? 0x80 : 0) + segment * 16 + interval;
  return static_cast<uint8_t>(255 - code);
}

uint8_t ReferenceALaw(int16_t s) {
  const int i = Quarter(s);
  const bool negative = i < 0;
  const int magnitude = (negative ? -i : i) / 2;
  int code = 0x7F;
  for (int k = 0; k < 8; ++k) {
    if (magnitude >= kALawStart[k] && magnitude < kALawStart[k + 1]) {
      code = k * 16 + (magnitude - kALawStart[k]) / kALawStep[k];
      break;
    }
  }
  return static_cast<uint8_t>(code ^ (negative ? 0x55 : 0xD5));
}

int ReferenceULawValue(uint8_t c) {
  const int code = 255 - c;
  const bool negative = code >= 0x80;
  const int segment = (code / 16) % 8;
  const int interval = code % 16;
  const int start = segment == 0 ? -1 : kULawEnd[segment - 1];
  const int midpoint = start + interval * kULawStep[segment] + kULawStep[segment] / 2;
  return (negative ? -4 : 4) * midpoint;
}

int ReferenceALawValue(uint8_t c) {
  const int code = c ^ 0x55;
  const bool positive = code >= 0x80;
  const int segment = (code / 16) % 8;
  const int interval = code % 16;
  const int midpoint = kALawStart[segment] + interval * kALawStep[segment] + kALawStep[segment] / 2;
  return (positive ? 8 : -8) * midpoint;
}

std::vector<uint8_t> Pcm(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) & 0xFF));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  return bytes;
}

TEST(G711CodecTest, EveryLinearInputEncodesAsTheSegmentRulesSay) {
  std::vector<int16_t> all;
  for (int s = -32768; s <= 32767; ++s) all.push_back(static_cast<int16_t>(s));
  const std::vector<uint8_t> input = Pcm(all);
  for (int law : {G711Codec::kULaw, G711Codec::kALaw}) {
    G711Codec codec;
    codec.SetLaw(law);
    std::vector<uint8_t> codes(all.size());
    int32_t count = static_cast<int32_t>(codes.size());
    ASSERT_EQ(codec.Encode(input.data(), static_cast<int32_t>(input.size()), codes.data(), &count),
              0);
    ASSERT_EQ(count, 65536);
    int mismatches = 0;
    for (size_t n = 0; n < all.size(); ++n) {
      const uint8_t expected =
          law == G711Codec::kALaw ? ReferenceALaw(all[n]) : ReferenceULaw(all[n]);
      const uint8_t single =
          law == G711Codec::kALaw ? G711Codec::EncodeALaw(all[n]) : G711Codec::EncodeULaw(all[n]);
      if (codes[n] != expected || single != expected) {
        if (++mismatches < 5) {
          ADD_FAILURE() << "law " << law << " sample " << all[n] << ": got " << int(codes[n])
                        << ", expected " << int(expected);
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << "law " << law;
  }
}

TEST(G711CodecTest, EveryCodeDecodesToItsIntervalMidpointAndEncodesBack) {
  std::vector<uint8_t> codes(256);
  for (int c = 0; c < 256; ++c) codes[c] = static_cast<uint8_t>(c);
  for (int law : {G711Codec::kULaw, G711Codec::kALaw}) {
    G711Codec codec;
    codec.SetLaw(law);
    std::vector<uint8_t> pcm(512);
    int32_t count = 512;
    ASSERT_EQ(codec.Decode(codes.data(), 256, pcm.data(), &count), 0);
    ASSERT_EQ(count, 512);
    for (int c = 0; c < 256; ++c) {
      const auto value =
          static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * c] | (pcm[2 * c + 1] << 8)));
      const int expected = law == G711Codec::kALaw ? ReferenceALawValue(static_cast<uint8_t>(c))
                                                   : ReferenceULawValue(static_cast<uint8_t>(c));
      EXPECT_EQ(value, expected) << "law " << law << " code " << c;
      // Re-encoding the reconstruction gives the code back; µ-law's negative zero (0x7F) is the
      // one code that comes back as the positive zero.
      const uint8_t again =
          law == G711Codec::kALaw ? G711Codec::EncodeALaw(value) : G711Codec::EncodeULaw(value);
      const int expectedAgain = (law == G711Codec::kULaw && c == 0x7F) ? 0xFF : c;
      EXPECT_EQ(again, expectedAgain) << "law " << law << " code " << c;
    }
  }
}

TEST(G711CodecTest, BoundaryValues) {
  struct Row {
    int16_t sample;
    uint8_t ulaw;
    uint8_t alaw;
  };
  const Row rows[] = {{0, 0xFF, 0xD5},     {-1, 0xFF, 0xD5},     {-2, 0xFF, 0xD5},
                      {-3, 0xFF, 0xD5},    {-4, 0x7E, 0x55},     {-32768, 0x00, 0x2A},
                      {32767, 0x80, 0xAA}, {-32767, 0x00, 0x2A}, {32764, 0x80, 0xAA}};
  for (const Row& row : rows) {
    EXPECT_EQ(G711Codec::EncodeULaw(row.sample), row.ulaw) << row.sample;
    EXPECT_EQ(G711Codec::EncodeALaw(row.sample), row.alaw) << row.sample;
  }
  EXPECT_EQ(G711Codec::DecodeULaw(0x00), -32124);
  EXPECT_EQ(G711Codec::DecodeULaw(0x80), 32124);
  EXPECT_EQ(G711Codec::DecodeULaw(0xFF), 0);
  EXPECT_EQ(G711Codec::DecodeULaw(0x7F), 0);
  EXPECT_EQ(G711Codec::DecodeALaw(0x2A), -32256);
  EXPECT_EQ(G711Codec::DecodeALaw(0xAA), 32256);
  EXPECT_EQ(G711Codec::DecodeALaw(0xD5), 8);
  EXPECT_EQ(G711Codec::DecodeALaw(0x55), -8);
}

TEST(G711CodecTest, BufferSizesAndCounts) {
  G711Codec codec;
  std::vector<uint8_t> pcm = Pcm(std::vector<int16_t>(160, 1000));
  std::vector<uint8_t> out(400, 0xEE);

  // A 20 ms frame: 320 bytes in, 160 codes out; and back to 320 bytes.
  int32_t count = 160;
  ASSERT_EQ(codec.Encode(pcm.data(), 320, out.data(), &count), 0);
  EXPECT_EQ(count, 160);
  std::vector<uint8_t> back(320);
  count = 320;
  ASSERT_EQ(codec.Decode(out.data(), 160, back.data(), &count), 0);
  EXPECT_EQ(count, 320);

  // Capacity one short: -10, count 0, nothing written past the end.
  count = 159;
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(codec.Encode(pcm.data(), 320, out.data(), &count), G711Codec::kErrOutputTooSmall);
  EXPECT_EQ(count, 0);
  count = 319;
  EXPECT_EQ(codec.Decode(out.data(), 160, back.data(), &count), G711Codec::kErrOutputTooSmall);
  EXPECT_EQ(count, 0);

  // An odd byte count: the trailing byte is ignored.
  count = 10;
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(codec.Encode(pcm.data(), 7, out.data(), &count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(out[3], 0xEE);

  // Empty input.
  count = 0;
  EXPECT_EQ(codec.Encode(pcm.data(), 0, out.data(), &count), 0);
  EXPECT_EQ(count, 0);

  // Unaligned input and output buffers.
  std::vector<uint8_t> shifted(1, 0);
  const std::vector<uint8_t> frame = Pcm({-4, 32767, -32768});
  shifted.insert(shifted.end(), frame.begin(), frame.end());
  count = 3;
  ASSERT_EQ(codec.Encode(shifted.data() + 1, 6, out.data() + 1, &count), 0);
  EXPECT_EQ(out[1], 0x7E);
  EXPECT_EQ(out[2], 0x80);
  EXPECT_EQ(out[3], 0x00);
}

TEST(G711CodecTest, LawFlagOtherThanOneMeansULaw) {
  G711Codec codec;
  const std::vector<uint8_t> pcm = Pcm({-4});
  for (int32_t law : {0, 2, -1, 7}) {
    codec.SetLaw(law);
    uint8_t code = 0;
    int32_t count = 1;
    ASSERT_EQ(codec.Encode(pcm.data(), 2, &code, &count), 0);
    EXPECT_EQ(code, 0x7E) << law;
  }
}

TEST(G711CodecTest, BaseCodecDoesNoWork) {
  AudioCodec base;
  uint8_t in[4] = {1, 2, 3, 4};
  uint8_t out[4] = {9, 9, 9, 9};
  int32_t count = 4;
  EXPECT_EQ(base.Encode(in, 4, out, &count), 0);
  EXPECT_EQ(base.Decode(in, 4, out, &count), 0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(out[0], 9);
}

}  // namespace
}  // namespace tarsio
