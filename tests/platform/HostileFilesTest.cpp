// Hostile sound formats and files at the platform level: the converter refuses formats no file
// has and works per call in proportion to the output asked for; the WAV reader never reports more
// data than the file holds; a sample's block size of an absurd format is 0, not an overflow.
// (Whole file plays of hostile files, in a child process with bounded time and memory, are in
// tests/tools/HostileInputsTest.cpp, whose executable links the whole engine.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "platform/AcmStream.h"
#include "platform/WavFile.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using testing::BuildRiff;
using testing::Bytes;
using testing::FmtPayload;
using testing::WavFormat;

constexpr AcmFormat kPcm8k{AcmStream::kTagPcm, 1, 8000, 16000, 2, 16};

WavFormat Ima(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
  WavFormat f;
  f.tag = AcmStream::kTagImaAdpcm;
  f.channels = channels;
  f.rate = rate;
  f.blockAlign = blockAlign;
  f.bitsPerSample = 4;
  const uint32_t frames = AcmStream::ImaSamplesPerBlock(blockAlign, channels);
  f.avgBytesPerSec = frames == 0 ? rate * blockAlign : rate * blockAlign / frames;
  return f;
}

AcmFormat ToAcm(const WavFormat& f) {
  return {f.tag, f.channels, f.rate, f.avgBytesPerSec, f.blockAlign, f.bitsPerSample};
}

// IMA ADPCM blocks of noise-like nibbles (each block's header: predictor 0, step index 0).
Bytes ImaBlocks(uint16_t blockAlign, uint16_t channels, size_t blocks) {
  Bytes b;
  uint32_t x = 12345;
  for (size_t n = 0; n < blocks; ++n) {
    for (uint16_t c = 0; c < channels; ++c) b.insert(b.end(), {0, 0, 0, 0});
    for (uint32_t i = 4u * channels; i < blockAlign; ++i) {
      x = x * 1103515245u + 12345u;
      b.push_back(static_cast<uint8_t>(x >> 16));
    }
  }
  return b;
}

TEST(HostileFormatsTest, ConverterRefusesFormatsNoFileHasAndWorksPerCallAsAskedFor) {
  const struct {
    const char* name;
    AcmFormat format;
  } refused[] = {
      {"IMA ADPCM at 1 Hz", ToAcm(Ima(1, 1, 256))},
      {"PCM at 999 Hz", {1, 1, 999, 1998, 2, 16}},
      {"PCM at 768001 Hz", {1, 1, 768001, 1536002, 2, 16}},
      {"IMA ADPCM blocks above 8192 bytes", ToAcm(Ima(1, 8000, 8196))},
      {"IMA ADPCM blocks of 65532 bytes", ToAcm(Ima(2, 8000, 65528))},
      {"IMA ADPCM with 3 channels", {0x11, 3, 8000, 4000, 12 * 32, 4}},
      {"IMA ADPCM of 3 bits", {0x11, 1, 8000, 4000, 256, 3}},
      {"PCM block align against channels", {1, 2, 8000, 32000, 2, 16}},
      {"PCM of 12 bits", {1, 1, 8000, 16000, 2, 12}},
      {"float of 16 bits", {3, 1, 8000, 16000, 2, 16}},
      {"A-law of 16 bits", {6, 1, 8000, 16000, 2, 16}},
      {"9 channels", {1, 9, 8000, 144000, 18, 16}},
  };
  for (const auto& [name, format] : refused) {
    EXPECT_FALSE(AcmStream::CanConvert(format, kPcm8k)) << name;
    EXPECT_EQ(AcmStream().Open(format, kPcm8k, 0), AcmStream::kErrNotPossible) << name;
  }
  const AcmFormat slowOut{1, 1, 999, 1998, 2, 16};
  EXPECT_FALSE(AcmStream::CanConvert(kPcm8k, slowOut));
  if (AcmStream().Open({AcmStream::kTagPcm, 1, 16000, 32000, 2, 16}, kPcm8k, 0) != AcmStream::kOk)
    GTEST_SKIP() << "this build converts no sample rates (the Windows build has no resampler)";

  // The heaviest IMA ADPCM accepted: 8192-byte blocks (16377 frames each) at 1000 Hz, upsampled
  // eight times. A call decodes at most one block, and only when it has room for output; the
  // block's 131 000 output frames are delivered 160 per call, without touching the source again.
  const WavFormat heavy = Ima(1, 1000, 8192);
  const Bytes blocks = ImaBlocks(8192, 1, 2);
  AcmStream stream;
  ASSERT_EQ(stream.Open(ToAcm(heavy), kPcm8k, 0), AcmStream::kOk);
  Bytes src = blocks;
  Bytes dst(320);
  AcmStreamHeader h{sizeof h, 0,          src.data(), static_cast<uint32_t>(src.size()),
                    0,        dst.data(), 320,        0};
  ASSERT_EQ(stream.PrepareHeader(&h), AcmStream::kOk);
  h.cbDstLength = 0;  // no room: nothing is decoded
  ASSERT_EQ(stream.Convert(&h, 0), AcmStream::kOk);
  EXPECT_EQ(h.cbSrcLengthUsed, 0u);
  EXPECT_EQ(h.cbDstLengthUsed, 0u);
  h.cbDstLength = 320;
  ASSERT_EQ(stream.Convert(&h, 0), AcmStream::kOk);
  EXPECT_EQ(h.cbSrcLengthUsed, 8192u);
  EXPECT_EQ(h.cbDstLengthUsed, 320u);
  h.pbSrc = src.data() + 8192;
  h.cbSrcLength = 8192;
  int calls = 1;
  while (true) {
    ASSERT_EQ(stream.Convert(&h, 0), AcmStream::kOk);
    ASSERT_EQ(h.cbDstLengthUsed, 320u) << calls;
    ++calls;
    if (h.cbSrcLengthUsed != 0) break;
  }
  EXPECT_EQ(h.cbSrcLengthUsed, 8192u);
  // The first block's frames came out 160 at a time; the resampler's buffer (about a second at
  // 1000 Hz) had taken its end when the second block was needed.
  EXPECT_LE(calls * 160, 16377 * 8);
  EXPECT_GE(calls * 160, 16377 * 8 - 16000);
  h.pbSrc = src.data();
  h.cbSrcLength = static_cast<uint32_t>(src.size());
  EXPECT_EQ(stream.UnprepareHeader(&h), AcmStream::kOk);

  // The largest PCM frame at the largest rate accepted: 8 channels of 64-bit float at 384 kHz.
  // Calls that ask for 160 frames (20 ms) read 20 ms of source (7680 frames) on average: the
  // resampler takes its input in pieces of a few tens of milliseconds and holds back its delay
  // (under 100 ms), but never takes the half second it is given.
  const AcmFormat wide{3, 8, 384000, 384000u * 64, 64, 64};
  AcmStream downsampler;
  ASSERT_EQ(downsampler.Open(wide, kPcm8k, 0), AcmStream::kOk);
  Bytes half(192000u * 64u);
  AcmStreamHeader w{sizeof w, 0,          half.data(), static_cast<uint32_t>(half.size()),
                    0,        dst.data(), 320,         0};
  ASSERT_EQ(downsampler.PrepareHeader(&w), AcmStream::kOk);
  uint64_t used = 0;
  for (int call = 0; call < 20; ++call) {
    w.pbSrc = half.data() + used;
    w.cbSrcLength = static_cast<uint32_t>(half.size() - used);
    ASSERT_EQ(downsampler.Convert(&w, 0), AcmStream::kOk);
    EXPECT_EQ(w.cbDstLengthUsed, 320u);
    EXPECT_EQ(w.cbSrcLengthUsed % 64, 0u);
    EXPECT_LE(w.cbSrcLengthUsed, 48000u * 64u) << call;  // 125 ms
    used += w.cbSrcLengthUsed;
  }
  EXPECT_LE(used / 64, 20u * 7680u + 48000u);
  EXPECT_GE(used / 64, 20u * 7680u);
}

TEST(HostileFormatsTest, SampleBlockSizeOfAbsurdFormatsIsZeroNotAnOverflow) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, nullptr);
  ASSERT_NE(sample, nullptr);
  const struct {
    uint16_t channels, bits;
    int32_t blockSize;
  } cases[] = {
      {2, 16, 4},        {32, 32, 128},
      {65535, 65535, 0},  // 4 294 836 225 bits: an int product would overflow
      {65535, 16, 0},     // 131 070 bytes: more than a sample holds
      {1, 4, 0},          // less than a byte
      {800, 32, 3200},    // exactly a sample's capacity
  };
  for (const auto& c : cases) {
    const WAVEFORMATEX format{kWaveFormatPcm, c.channels, 8000, 8000u * c.channels * c.bits / 8u, 0,
                              c.bits,         0};
    sample->SetFormat(format);
    EXPECT_EQ(sample->GetBlockSize(), c.blockSize) << c.channels << " x " << c.bits;
    sample->SetDataSize(100);
    sample->SetSilenceDuration(20);
    EXPECT_GE(sample->GetDuration(), 0);
    EXPECT_GE(sample->GetSilenceDataSize(), 0);
  }
  sample->Release(nullptr);
}

TEST(HostileFormatsTest, WavFileDataIsCutToTheBytesTheFileHolds) {
  testing::TempDir dir;
  const Bytes fmt = FmtPayload(testing::LinearFormat(1, 1, 8000, 16));
  const struct {
    const char* name;
    Bytes bytes;
    uint32_t dataSize;
  } cases[] = {
      {"44 bytes claiming 4 GB", BuildRiff({{"fmt ", fmt}, {"data", {}, 0xFFFFFFFF}}), 0},
      {"100 bytes claiming 2 GB",
       BuildRiff({{"fmt ", fmt}, {"data", Bytes(100, 7), 0x7FFFFFFF}}, "WAVE", 0x7FFFFFFF), 100},
      {"as claimed", BuildRiff({{"fmt ", fmt}, {"data", Bytes(10, 7)}}), 10},
  };
  for (const auto& c : cases) {
    WavFile file;
    std::string error;
    ASSERT_TRUE(file.OpenRead(dir.Write("f.wav", c.bytes), &error)) << c.name << error;
    EXPECT_EQ(file.DataSize(), c.dataSize) << c.name;
    Bytes all(c.dataSize + 10);
    EXPECT_EQ(file.Read(all.data(), static_cast<uint32_t>(all.size())), c.dataSize) << c.name;
  }
}

}  // namespace
}  // namespace tarsio
