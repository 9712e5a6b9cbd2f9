#include "platform/AcmStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using testing::Bytes;

constexpr uint32_t kBuf = 16000;

AcmFormat Fmt(const testing::WavFormat& w) {
  return AcmFormat{w.tag, w.channels, w.rate, w.avgBytesPerSec, w.blockAlign, w.bitsPerSample};
}

AcmFormat Pcm8k() { return Fmt(testing::LinearFormat(1, 1, 8000, 16)); }

// Feeds the bytes in pieces the way a transformer does (unconverted leftovers kept in front of
// the next piece) and collects the output.
struct Converter {
  AcmStream stream;
  Bytes src = Bytes(kBuf);
  Bytes dst = Bytes(kBuf);
  AcmStreamHeader header;

  int32_t Open(const AcmFormat& from, const AcmFormat& to, uint32_t dstLength = kBuf) {
    const int32_t r = stream.Open(from, to, AcmStream::kOpenNonRealtime);
    if (r != AcmStream::kOk) return r;
    header.cbStruct = sizeof header;
    header.pbSrc = src.data();
    header.cbSrcLength = kBuf;
    header.pbDst = dst.data();
    header.cbDstLength = dstLength;
    const int32_t p = stream.PrepareHeader(&header);
    header.cbSrcLength = 0;
    header.cbSrcLengthUsed = 0;
    return p;
  }

  // One conversion of the leftover plus n new bytes.
  Bytes Step(const uint8_t* in, size_t n, uint32_t flags = AcmStream::kConvertBlockAlign) {
    const uint32_t left = header.cbSrcLength - header.cbSrcLengthUsed;
    std::memmove(src.data(), src.data() + header.cbSrcLengthUsed, left);
    if (n > 0) std::memcpy(src.data() + left, in, n);
    header.cbSrcLength = static_cast<uint32_t>(left + n);
    EXPECT_EQ(stream.Convert(&header, flags), AcmStream::kOk);
    EXPECT_LE(header.cbSrcLengthUsed, header.cbSrcLength);
    return Bytes(dst.begin(), dst.begin() + header.cbDstLengthUsed);
  }

  Bytes Feed(const Bytes& in, size_t piece) {
    Bytes out;
    for (size_t at = 0; at < in.size(); at += piece) {
      const Bytes got = Step(in.data() + at, std::min(piece, in.size() - at));
      out.insert(out.end(), got.begin(), got.end());
    }
    return out;
  }

  // Ends the stream: the resampler's held-back audio comes out over one or more calls.
  Bytes Finish() {
    Bytes out = Step(nullptr, 0, AcmStream::kConvertBlockAlign | AcmStream::kConvertEnd);
    for (;;) {
      const Bytes got = Step(nullptr, 0);
      if (got.empty()) return out;
      out.insert(out.end(), got.begin(), got.end());
    }
  }
};

std::vector<int16_t> AsPcm(const Bytes& b) {
  std::vector<int16_t> s(b.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<int16_t>(static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
  }
  return s;
}

TEST(AcmStreamTest, RefusesWhatItCannotConvert) {
  using testing::LinearFormat;
  struct Case {
    const char* name;
    AcmFormat src;
    AcmFormat dst;
  };
  AcmFormat badAlign = Fmt(LinearFormat(1, 2, 44100, 16));
  badAlign.nBlockAlign = 2;
  AcmFormat stereoDst = Fmt(LinearFormat(1, 2, 8000, 16));
  AcmFormat zeroRate = Pcm8k();
  zeroRate.nSamplesPerSec = 0;
  const Case cases[] = {
      {"12-bit PCM", Fmt(LinearFormat(1, 1, 8000, 12)), Pcm8k()},
      {"16-bit float", Fmt(LinearFormat(3, 1, 8000, 16)), Pcm8k()},
      {"block align", badAlign, Pcm8k()},
      {"9 channels", Fmt(LinearFormat(1, 9, 8000, 16)), Pcm8k()},
      {"rate 0", zeroRate, Pcm8k()},
      {"MPEG layer 3", AcmFormat{0x55, 1, 8000, 1000, 1, 0}, Pcm8k()},
      {"G.729", AcmFormat{0xFE01, 1, 8000, 1000, 10, 0}, Pcm8k()},
      {"IMA 3 channels", AcmFormat{0x11, 3, 8000, 4000, 12 * 10, 4}, Pcm8k()},
      {"IMA block 6", AcmFormat{0x11, 1, 8000, 4000, 6, 4}, Pcm8k()},
      {"IMA stereo block 12", AcmFormat{0x11, 2, 8000, 4000, 12, 4}, Pcm8k()},
      {"stereo destination", Pcm8k(), stereoDst},
      {"8-bit PCM destination", Pcm8k(), Fmt(LinearFormat(1, 1, 8000, 8))},
      {"float destination", Pcm8k(), Fmt(LinearFormat(3, 1, 8000, 32))},
  };
  for (const Case& c : cases) {
    AcmStream s;
    EXPECT_EQ(s.Open(c.src, c.dst, 0), AcmStream::kErrNotPossible) << c.name;
    EXPECT_FALSE(s.IsOpen()) << c.name;
  }
  // Calls on a closed stream or with an unprepared header.
  AcmStream s;
  AcmStreamHeader h;
  h.cbStruct = sizeof h;
  EXPECT_EQ(s.Convert(&h, 0), AcmStream::kErrInvalidHandle);
  ASSERT_EQ(s.Open(Pcm8k(), Pcm8k(), 0), AcmStream::kOk);
  EXPECT_EQ(s.Convert(&h, 0), AcmStream::kErrUnprepared);
  EXPECT_EQ(s.PrepareHeader(&h), AcmStream::kErrInvalidParam);  // no buffers
}

TEST(AcmStreamTest, SameRatePcmPassesThroughExactlyKeepingPartialBlocks) {
  Converter c;
  ASSERT_EQ(c.Open(Pcm8k(), Pcm8k()), AcmStream::kOk);
  Bytes in(4001);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 31 + 7);
  // Odd pieces: every call leaves half a sample behind for the next one.
  const Bytes out = c.Feed(in, 333);
  EXPECT_EQ(out, Bytes(in.begin(), in.end() - 1));
  EXPECT_EQ(c.header.cbSrcLength - c.header.cbSrcLengthUsed, 1u);
}

TEST(AcmStreamTest, G711DecodesExactlyAndRoundTrips) {
  Bytes codes(256);
  for (int i = 0; i < 256; ++i) codes[i] = static_cast<uint8_t>(i);
  struct Case {
    uint16_t tag;
    std::vector<std::pair<uint8_t, int16_t>> anchors;
  };
  const Case cases[] = {
      {7, {{0xFF, 0}, {0x7F, 0}, {0x80, 32124}, {0x00, -32124}, {0xFE, 8}, {0x7E, -8}}},
      {6, {{0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}, {0x80, 5504}}},
  };
  for (const Case& k : cases) {
    const AcmFormat law = Fmt(testing::LinearFormat(k.tag, 1, 8000, 8));
    Converter toPcm;
    ASSERT_EQ(toPcm.Open(law, Pcm8k()), AcmStream::kOk);
    const Bytes pcmBytes = toPcm.Feed(codes, 100);
    const std::vector<int16_t> pcm = AsPcm(pcmBytes);
    ASSERT_EQ(pcm.size(), 256u);
    for (const auto& [code, value] : k.anchors)
      EXPECT_EQ(pcm[code], value) << k.tag << " " << +code;
    Converter back;
    ASSERT_EQ(back.Open(Pcm8k(), law), AcmStream::kOk);
    const Bytes again = back.Feed(pcmBytes, 64);
    ASSERT_EQ(again.size(), 256u);
    for (int i = 0; i < 256; ++i) {
      // µ-law has two zeros; 0x7F comes back as 0xFF.
      const uint8_t expected = (k.tag == 7 && i == 0x7F) ? 0xFF : static_cast<uint8_t>(i);
      EXPECT_EQ(again[i], expected) << k.tag << " " << i;
    }
  }
}

TEST(AcmStreamTest, ImaAdpcmDecodesTheReferenceVector) {
  // Mono block of 8 bytes: predictor 0, index 0, nibbles 7 7 7 7 8 0 0 8. By the standard tables:
  // step 7 -> diff 0+7+3+1 = 11 (index 8); step 16 -> 30 (index 16); step 34 -> 63 (index 24);
  // step 73 -> 136 (index 32); step 157, sign -> -19 (index 31); step 143 -> +17 (index 30);
  // step 130 -> +16 (index 29); step 118, sign -> -14.
  const std::vector<int16_t> expected = {0, 11, 41, 104, 240, 221, 238, 254, 240};
  {
    Converter c;
    ASSERT_EQ(c.Open(AcmFormat{0x11, 1, 8000, 7111, 8, 4}, Pcm8k()), AcmStream::kOk);
    const Bytes block = {0, 0, 0, 0, 0x77, 0x77, 0x08, 0x80};
    EXPECT_EQ(AsPcm(c.Feed(block, 8)), expected);
  }
  // Stereo: left as above from 1000, right the mirror image from 1000 (nibbles with the sign bit
  // flipped, 4 bytes per channel interleaved); the mix-down is 1000 throughout.
  {
    Converter c;
    ASSERT_EQ(c.Open(AcmFormat{0x11, 2, 8000, 14222, 16, 4}, Pcm8k()), AcmStream::kOk);
    const Bytes block = {0xE8, 0x03, 0,    0,    0xE8, 0x03, 0,    0,  // headers: 1000, index 0
                         0x77, 0x77, 0x08, 0x80, 0xFF, 0xFF, 0x80, 0x08};
    EXPECT_EQ(AsPcm(c.Feed(block, 16)), std::vector<int16_t>(9, 1000));
  }
  // A block larger than the destination: converted once, handed out over several calls, and the
  // next block is taken only once the first one has gone out.
  {
    Converter c;
    ASSERT_EQ(c.Open(AcmFormat{0x11, 1, 8000, 4000, 4096, 4}, Pcm8k(), 1600), AcmStream::kOk);
    const std::vector<float> tone = testing::Sine(300.0, 0.5, 8000, 2 * 8185, 1);
    std::vector<int16_t> ref(tone.size());
    for (size_t i = 0; i < ref.size(); ++i)
      ref[i] = static_cast<int16_t>(std::lround(tone[i] * 32767));
    const Bytes blocks = testing::EncodeIma(ref, 1, 4096);
    ASSERT_EQ(blocks.size(), 2 * 4096u);
    Bytes out = c.Step(blocks.data(), blocks.size());
    EXPECT_EQ(c.header.cbSrcLengthUsed, 4096u);
    EXPECT_EQ(out.size(), 1600u);
    for (int i = 0; i < 40; ++i) {
      const Bytes more = c.Step(nullptr, 0);
      out.insert(out.end(), more.begin(), more.end());
    }
    const std::vector<int16_t> pcm = AsPcm(out);
    ASSERT_EQ(pcm.size(), 2 * 8185u);
    for (size_t i = 0; i < pcm.size(); i += 97) EXPECT_NEAR(pcm[i], ref[i], 600) << i;
  }
}

TEST(AcmStreamTest, ResamplesKeepingToneFrequencyLevelAndDuration) {
  using testing::LinearFormat;
  struct Case {
    const char* name;
    testing::WavFormat format;
    uint16_t destinationTag;
  };
  const Case cases[] = {
      {"44.1 kHz stereo 16-bit", LinearFormat(1, 2, 44100, 16), 1},
      {"48 kHz stereo float", LinearFormat(3, 2, 48000, 32), 1},
      {"11.025 kHz 8-bit unsigned", LinearFormat(1, 1, 11025, 8), 1},
      {"96 kHz mono 24-bit", LinearFormat(1, 1, 96000, 24), 1},
      {"16 kHz stereo 32-bit", LinearFormat(1, 2, 16000, 32), 1},
      {"22.05 kHz mono 64-bit float", LinearFormat(3, 1, 22050, 64), 1},
      {"6 kHz mono 16-bit (up)", LinearFormat(1, 1, 6000, 16), 1},
      {"44.1 kHz stereo to mu-law", LinearFormat(1, 2, 44100, 16), 7},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const testing::WavFormat& f = k.format;
    const uint32_t frames = f.rate;  // one second
    const std::vector<float> tone = testing::Sine(1000.0, 0.5, f.rate, frames, f.channels);
    const Bytes in = k.format.bitsPerSample == 64
                         ? Bytes{}
                         : testing::EncodeLinear(tone, f.tag, f.bitsPerSample);
    Bytes in64;
    if (k.format.bitsPerSample == 64) {
      for (float v : tone) {
        const double d = v;
        uint8_t b[8];
        std::memcpy(b, &d, 8);
        in64.insert(in64.end(), b, b + 8);
      }
    }
    AcmFormat dst = Pcm8k();
    if (k.destinationTag != 1) dst = Fmt(LinearFormat(k.destinationTag, 1, 8000, 8));
    Converter c;
    ASSERT_EQ(c.Open(Fmt(f), dst), AcmStream::kOk);
    // 20 ms pieces, as the file source delivers them.
    Bytes out = c.Feed(in64.empty() ? in : in64, f.avgBytesPerSec / 50);
    // Before the end the resampler holds back at most its delay (under 150 ms).
    EXPECT_GE(out.size(), (8000u - 1200u) * (k.destinationTag == 1 ? 2 : 1));
    const Bytes tail = c.Finish();
    out.insert(out.end(), tail.begin(), tail.end());
    if (k.destinationTag != 1) {
      Converter back;
      ASSERT_EQ(back.Open(dst, Pcm8k()), AcmStream::kOk);
      out = back.Feed(out, 160);
    }
    const std::vector<int16_t> pcm = AsPcm(out);
    // One second in, one second out: nothing made up or lost.
    EXPECT_NEAR(static_cast<double>(pcm.size()), 8000.0, 2.0);
    const std::vector<int16_t> steady(pcm.begin() + 200, pcm.end());
    const testing::ToneMeasure m = testing::MeasureTone(steady, 8000);
    EXPECT_NEAR(m.frequency, 1000.0, 2.0);
    EXPECT_NEAR(m.rms, 0.5 / std::sqrt(2.0), 0.01);
  }
}

}  // namespace
}  // namespace tarsio
