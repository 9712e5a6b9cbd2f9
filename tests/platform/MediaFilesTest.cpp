// Media files: the RIFF reader on well-formed and broken files, the format converter fed from it,
// and the file audio backend's real-time pacing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numeric>
#include <thread>

#include "platform/AcmStream.h"
#include "platform/FileAudioBackend.h"
#include "platform/MmioFile.h"
#include "platform/WaveAudioTypes.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using testing::BuildRiff;
using testing::Bytes;
using testing::LinearFormat;

Bytes Iota(size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), uint8_t{1});
  return b;
}

std::vector<int16_t> AsPcm(const Bytes& b) {
  std::vector<int16_t> s(b.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<int16_t>(static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
  }
  return s;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Enters the RIFF WAVE form and then the chunk id, searching from the form's start. The bytes of
// the chunk present in the file, or -1 when the form or the chunk is not found.
int64_t ChunkBytes(MmioFile& f, const char* id, MMCKINFO* ck) {
  MMCKINFO riff;
  riff.fccType = MakeFourCC('W', 'A', 'V', 'E');
  if (f.Seek(0, SEEK_SET) != 0 || f.Descend(&riff, nullptr, MmioFile::kFindRiff) != 0) return -1;
  ck->ckid = MakeFourCC(id[0], id[1], id[2], id[3]);
  if (f.Descend(ck, &riff, MmioFile::kFindChunk) != MmioFile::kOk) return -1;
  return static_cast<int64_t>(f.BytesLeftInChunk(*ck));
}

TEST(MmioFileTest, FindsChunksAndRefusesMalformedFiles) {
  const Bytes fmt = testing::FmtPayload(testing::WavFormat{});
  Bytes notRiff = testing::BuildWav(testing::WavFormat{}, Iota(4));
  notRiff[3] = 'X';
  const struct {
    const char* name;
    Bytes bytes;
    int64_t fmtBytes, dataBytes;
  } cases[] = {
      {"fmt and data", testing::BuildWav(testing::WavFormat{}, Iota(20)), 16, 20},
      {"any order, odd chunks padded",
       BuildRiff({{"LIST", Iota(7)}, {"junk", Iota(3)}, {"data", Iota(7)}, {"fmt ", fmt}}), 16, 7},
      {"empty data", testing::BuildWav(testing::WavFormat{}, {}), 16, 0},
      {"empty file", {}, -1, -1},
      {"short header", Bytes{'R', 'I', 'F', 'F', 4, 0}, -1, -1},
      {"not RIFF", notRiff, -1, -1},
      {"RIFF but not WAVE", BuildRiff({{"fmt ", fmt}}, "AVI "), -1, -1},
      {"RIFF without form type", Bytes{'R', 'I', 'F', 'F', 2, 0, 0, 0, 'W', 'A'}, -1, -1},
      {"no fmt", BuildRiff({{"data", Iota(4)}}), -1, 4},
      {"no data", BuildRiff({{"fmt ", fmt}}), 16, -1},
      {"chunk before data claims 1 GB",
       BuildRiff({{"fmt ", fmt}, {"junk", Iota(4), 0x40000000}, {"data", Iota(4)}}), 16, -1},
      {"data size beyond the end",
       BuildRiff({{"fmt ", fmt}, {"data", Iota(10), 0xFFFFFFFF}}, "WAVE", 0xFFFFFFFF), 16, 10},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    for (const bool memory : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (memory ? " (memory)" : " (file)"));
      MmioFile f;
      ASSERT_TRUE(memory ? f.OpenMemory(c.bytes.data(), c.bytes.size())
                         : f.Open(dir.Write("f.wav", c.bytes).c_str()));
      MMCKINFO ck;
      EXPECT_EQ(ChunkBytes(f, "fmt ", &ck), c.fmtBytes);
      EXPECT_EQ(ChunkBytes(f, "data", &ck), c.dataBytes);
      if (c.dataBytes <= 0) continue;
      Bytes got(c.dataBytes);
      ASSERT_EQ(f.Read(got.data(), c.dataBytes), c.dataBytes);
      EXPECT_EQ(got, Iota(c.dataBytes));
    }
  }
  // Every prefix of a valid file: the data chunk is found only once its header is whole.
  const Bytes full = testing::BuildWav(testing::WavFormat{}, Iota(20));
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    MmioFile f;
    ASSERT_TRUE(f.OpenMemory(full.data(), cut));
    MMCKINFO ck;
    EXPECT_EQ(ChunkBytes(f, "data", &ck), cut < 44 ? -1 : static_cast<int64_t>(cut - 44)) << cut;
  }
  MmioFile missing;
  EXPECT_FALSE(missing.Open((dir.Path() + "/missing.wav").c_str()));
  EXPECT_FALSE(missing.Open(dir.Path().c_str()));
  uint8_t byte = 0;
  EXPECT_EQ(missing.Read(&byte, 1), -1);
}

AcmFormat Fmt(const testing::WavFormat& w) {
  return AcmFormat{w.tag, w.channels, w.rate, w.avgBytesPerSec, w.blockAlign, w.bitsPerSample};
}

const AcmFormat kPcm8k = Fmt(LinearFormat(1, 1, 8000, 16));

// Feeds a stream piece by piece as a transformer does (unconverted source kept in front of the
// next piece) into a destination of one 20 ms frame, and collects the output.
struct Converter {
  AcmStream stream;
  Bytes src = Bytes(64000);
  Bytes dst = Bytes(320);
  AcmStreamHeader header;

  int32_t Open(const AcmFormat& from, const AcmFormat& to) {
    if (const int32_t r = stream.Open(from, to, AcmStream::kOpenNonRealtime)) return r;
    header.cbStruct = sizeof header;
    header.pbSrc = src.data();
    header.cbSrcLength = static_cast<uint32_t>(src.size());
    header.pbDst = dst.data();
    header.cbDstLength = static_cast<uint32_t>(dst.size());
    const int32_t r = stream.PrepareHeader(&header);
    header.cbSrcLength = header.cbSrcLengthUsed = 0;
    return r;
  }
  Bytes Step(const uint8_t* in, size_t n, uint32_t flags = AcmStream::kConvertBlockAlign) {
    const uint32_t left = header.cbSrcLength - header.cbSrcLengthUsed;
    EXPECT_LE(left + n, src.size());
    std::memmove(src.data(), src.data() + header.cbSrcLengthUsed, left);
    if (n > 0) std::memcpy(src.data() + left, in, n);
    header.cbSrcLength = static_cast<uint32_t>(left + n);
    EXPECT_EQ(stream.Convert(&header, flags), AcmStream::kOk);
    return Bytes(dst.begin(), dst.begin() + header.cbDstLengthUsed);
  }
  // Converts in pieces, taking all the output after each piece as a transformer does; at the end
  // the audio the resampler holds back comes out too.
  Bytes Convert(const Bytes& in, size_t piece) {
    Bytes out;
    auto pull = [&](const uint8_t* p, size_t n, uint32_t flags) {
      for (Bytes got = Step(p, n, flags); !got.empty(); got = Step(nullptr, 0)) {
        out.insert(out.end(), got.begin(), got.end());
      }
    };
    for (size_t at = 0; at < in.size(); at += piece) {
      pull(in.data() + at, std::min(piece, in.size() - at), AcmStream::kConvertBlockAlign);
    }
    pull(nullptr, 0, AcmStream::kConvertBlockAlign | AcmStream::kConvertEnd);
    return out;
  }
};

TEST(AcmStreamTest, RefusesWhatItCannotConvert) {
  const struct {
    const char* name;
    AcmFormat src, dst;
  } cases[] = {
      {"12-bit PCM", Fmt(LinearFormat(1, 1, 8000, 12)), kPcm8k},
      {"block align", AcmFormat{1, 2, 44100, 176400, 2, 16}, kPcm8k},
      {"rate 0", AcmFormat{1, 1, 0, 16000, 2, 16}, kPcm8k},
      {"IMA block 6", AcmFormat{0x11, 1, 8000, 4000, 6, 4}, kPcm8k},
      {"stereo destination", kPcm8k, Fmt(LinearFormat(1, 2, 8000, 16))},
      {"float destination", kPcm8k, Fmt(LinearFormat(3, 1, 8000, 32))},
  };
  for (const auto& c : cases) {
    AcmStream s;
    EXPECT_EQ(s.Open(c.src, c.dst, 0), AcmStream::kErrNotPossible) << c.name;
  }
  AcmStream s;
  AcmStreamHeader h;
  h.cbStruct = sizeof h;
  EXPECT_EQ(s.Convert(&h, 0), AcmStream::kErrInvalidHandle);
  ASSERT_EQ(s.Open(kPcm8k, kPcm8k, 0), AcmStream::kOk);
  EXPECT_EQ(s.Convert(&h, 0), AcmStream::kErrUnprepared);
  EXPECT_EQ(s.PrepareHeader(&h), AcmStream::kErrInvalidParam);  // no buffers
}

TEST(AcmStreamTest, G711AndImaAdpcmDecodeExactly) {
  Bytes codes(256);
  std::iota(codes.begin(), codes.end(), uint8_t{0});
  const struct {
    uint16_t tag;
    std::vector<std::pair<uint8_t, int16_t>> anchors;
  } laws[] = {
      {7, {{0xFF, 0}, {0x7F, 0}, {0x80, 32124}, {0x00, -32124}, {0xFE, 8}, {0x7E, -8}}},
      {6, {{0xD5, 8}, {0x55, -8}, {0xAA, 32256}, {0x2A, -32256}, {0x80, 5504}}},
  };
  for (const auto& law : laws) {
    const AcmFormat format = Fmt(LinearFormat(law.tag, 1, 8000, 8));
    Converter toPcm, back;
    ASSERT_EQ(toPcm.Open(format, kPcm8k), AcmStream::kOk);
    const Bytes pcm = toPcm.Convert(codes, 100);
    ASSERT_EQ(pcm.size(), 512u);
    for (const auto& [code, value] : law.anchors) EXPECT_EQ(AsPcm(pcm)[code], value) << +code;
    // Back at the same rate, in odd pieces that split samples: every code comes back (mu-law's
    // negative zero as the positive one).
    ASSERT_EQ(back.Open(kPcm8k, format), AcmStream::kOk);
    Bytes expected = codes;
    if (law.tag == 7) expected[0x7F] = 0xFF;
    EXPECT_EQ(back.Convert(pcm, 63), expected) << law.tag;
  }
  // An IMA ADPCM block: predictor 0, index 0, nibbles 7 7 7 7 8 0 0 8. By the step and index
  // tables: step 7 -> +11 (index 8); 16 -> +30 (16); 34 -> +63 (24); 73 -> +136 (32);
  // 157, sign -> -19 (31); 143 -> +17 (30); 130 -> +16 (29); 118, sign -> -14.
  Converter ima;
  ASSERT_EQ(ima.Open(AcmFormat{0x11, 1, 8000, 7111, 8, 4}, kPcm8k), AcmStream::kOk);
  EXPECT_EQ(AsPcm(ima.Convert({0, 0, 0, 0, 0x77, 0x77, 0x08, 0x80}, 8)),
            (std::vector<int16_t>{0, 11, 41, 104, 240, 221, 238, 254, 240}));
}

// WAV files of many formats, read through the RIFF reader and converted 20 ms at a time, become
// 8 kHz PCM of the file's duration with the tone's frequency and level.
TEST(AcmStreamTest, WavFilesOfEveryFormatBecome8kHzPcmKeepingTheTone) {
  const struct {
    const char* name;
    testing::WavFormat format;
  } cases[] = {
      {"44.1 kHz stereo 16-bit", LinearFormat(1, 2, 44100, 16)},
      {"48 kHz stereo 32-bit float", LinearFormat(3, 2, 48000, 32)},
      {"11.025 kHz 8-bit unsigned", LinearFormat(1, 1, 11025, 8)},
      {"96 kHz 24-bit", LinearFormat(1, 1, 96000, 24)},
      {"6 kHz 16-bit (upsampled)", LinearFormat(1, 1, 6000, 16)},
      {"8 kHz A-law", LinearFormat(6, 1, 8000, 8)},
      {"8 kHz mu-law", LinearFormat(7, 1, 8000, 8)},
      {"22.05 kHz stereo IMA ADPCM", testing::ImaFormat(2, 22050, 1024)},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::WavFormat& f = c.format;
    const std::vector<float> tone = testing::Sine(1000.0, 0.5, f.rate, f.rate, f.channels);
    Bytes data;
    if (f.tag == 6 || f.tag == 7) {  // encoded by the converter itself, at the same rate
      Converter encoder;
      ASSERT_EQ(encoder.Open(kPcm8k, Fmt(f)), AcmStream::kOk);
      data = encoder.Convert(testing::EncodeLinear(tone, 1, 16), 3200);
    } else if (f.tag == 0x11) {
      std::vector<int16_t> pcm(tone.size());
      for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(tone[i] * 32767);
      data = testing::EncodeIma(pcm, f.channels, f.blockAlign);  // whole blocks only
    } else {
      data = testing::EncodeLinear(tone, f.tag, f.bitsPerSample);
    }
    MmioFile file;
    ASSERT_TRUE(file.Open(dir.Write("tone.wav", testing::BuildWav(f, data)).c_str()));
    MMCKINFO ck;
    AcmFormat format;
    static_assert(sizeof format == 16);
    ASSERT_EQ(ChunkBytes(file, "fmt ", &ck), 16);
    ASSERT_EQ(file.Read(&format, 16), 16);
    ASSERT_EQ(ChunkBytes(file, "data", &ck), static_cast<int64_t>(data.size()));
    Bytes read(data.size());  // 20 ms at a time, across the refills of the read buffer
    for (size_t at = 0, n = f.avgBytesPerSec / 50; at < read.size(); at += n) {
      file.Read(&read[at], static_cast<int64_t>(std::min(n, read.size() - at)));
    }
    EXPECT_EQ(read, data);

    Converter converter;
    ASSERT_EQ(converter.Open(format, kPcm8k), AcmStream::kOk);
    const std::vector<int16_t> pcm = AsPcm(converter.Convert(read, f.avgBytesPerSec / 50));
    EXPECT_NEAR(static_cast<double>(pcm.size()), data.size() * 8000.0 / f.avgBytesPerSec, 2.0);
    const testing::ToneMeasure m =
        testing::MeasureTone(std::vector<int16_t>(pcm.begin() + 200, pcm.end() - 200), 8000);
    EXPECT_NEAR(m.frequency, 1000.0, 2.0);
    EXPECT_NEAR(m.rms, 0.5 / std::sqrt(2.0), 0.01);
  }
}

TEST(FileAudioBackendTest, PacesInRealTimeAndMovesExactBytes) {
  testing::TempDir dir;
  const WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
  const Bytes audio = Iota(800);  // two and a half buffers, then silence
  const std::string playbackPath = dir.Path() + "/out.wav";
  FileAudioBackend backend(
      dir.Write("in.wav", testing::BuildWav(LinearFormat(1, 1, 8000, 16), audio)), playbackPath);
  std::unique_ptr<AudioBackend::Stream> capture, playback, refused;
  const WAVEFORMATEX stereo{WAVE_FORMAT_PCM, 2, 8000, 32000, 4, 16, 0};
  EXPECT_EQ(backend.Open(AudioDirection::kCapture, 0, stereo, &refused), WAVERR_BADFORMAT);
  ASSERT_EQ(backend.Open(AudioDirection::kCapture, 0, pcm, &capture), MMSYSERR_NOERROR);
  ASSERT_EQ(backend.Open(AudioDirection::kPlayback, -1, pcm, &playback), MMSYSERR_NOERROR);

  // One second each way at once, 20 ms per buffer: not faster, and not much slower.
  constexpr int kBuffers = 50;
  Bytes played, captured(kBuffers * 320), midway;
  auto paced = [&](bool play) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBuffers; ++i) {
      uint32_t got = 0;
      Bytes buffer(320, static_cast<uint8_t>(i + 1));
      if (!play) {
        EXPECT_EQ(capture->Read(&captured[i * 320u], 320, &got), MMSYSERR_NOERROR);
        continue;
      }
      EXPECT_EQ(playback->Write(buffer.data(), 320), MMSYSERR_NOERROR);
      played.insert(played.end(), buffer.begin(), buffer.end());
      if (i == 9) midway = ReadFile(playbackPath);  // the header is valid after every buffer
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 995ms) << play;
    EXPECT_LE(elapsed, 1400ms) << play;
  };
  std::thread player(paced, true);
  paced(false);
  player.join();
  EXPECT_EQ(Bytes(captured.begin(), captured.begin() + 800), audio);
  EXPECT_EQ(std::count(captured.begin() + 800, captured.end(), 0), kBuffers * 320 - 800);
  auto le32 = [](const Bytes& b, size_t at) {
    uint32_t v = 0;
    if (b.size() >= at + 4) std::memcpy(&v, b.data() + at, 4);
    return v;
  };
  EXPECT_EQ(midway.size(), 44u + 10 * 320);
  EXPECT_EQ(le32(midway, 40), 10 * 320u);
  const Bytes written = ReadFile(playbackPath);
  EXPECT_EQ(le32(written, 4), 36u + kBuffers * 320);
  EXPECT_EQ(le32(written, 40), kBuffers * 320u);
  EXPECT_EQ(Bytes(written.begin() + 44, written.end()), played);

  EXPECT_EQ(capture->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(playback->Close(), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace tarsio
