// Media files: the RIFF reader on well-formed and broken files, the format converter fed from it,
// and the file audio backend's real-time pacing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
#include "support/FakeClock.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using testing::BuildRiff;
using testing::BuildWav;
using testing::Bytes;
using testing::FakeClock;
using testing::LinearFormat;

// Polls cond in real time; false after a generous cap.
template <typename Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 10000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

Bytes Iota(size_t n, uint8_t first = 1) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

std::vector<int16_t> AsPcm(const Bytes& b) {
  const auto* p = reinterpret_cast<const int16_t*>(b.data());
  return {p, p + b.size() / 2};
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Enters the RIFF WAVE form, then the chunk: the chunk's bytes present in the file, or -1 when
// the form or the chunk is not found.
int64_t ChunkBytes(MmioFile& f, const char* id) {
  MMCKINFO riff, ck;
  riff.fccType = MakeFourCC('W', 'A', 'V', 'E');
  if (f.Seek(0, SEEK_SET) != 0 || f.Descend(&riff, nullptr, MmioFile::kFindRiff) != 0) return -1;
  ck.ckid = MakeFourCC(id[0], id[1], id[2], id[3]);
  if (f.Descend(&ck, &riff, MmioFile::kFindChunk) != MmioFile::kOk) return -1;
  return static_cast<int64_t>(f.BytesLeftInChunk(ck));
}

TEST(MmioFileTest, FindsChunksAndRefusesMalformedFiles) {
  const testing::WavFormat pcm;
  const Bytes fmt = testing::FmtPayload(pcm);
  Bytes notRiff = BuildWav(pcm, Iota(4));
  notRiff[3] = 'X';
  const struct {
    const char* name;
    Bytes bytes;
    int64_t fmtBytes, dataBytes;
  } cases[] = {
      {"fmt and data", BuildWav(pcm, Iota(20)), 16, 20},
      {"any order, odd chunks padded",
       BuildRiff({{"LIST", Iota(7)}, {"junk", Iota(3)}, {"data", Iota(7)}, {"fmt ", fmt}}), 16, 7},
      {"empty file", {}, -1, -1},
      {"not RIFF", notRiff, -1, -1},
      {"RIFF but not WAVE", BuildRiff({{"fmt ", fmt}}, "AVI "), -1, -1},
      {"no fmt", BuildRiff({{"data", Iota(4)}}), -1, 4},
      {"no data", BuildRiff({{"fmt ", fmt}}), 16, -1},
      {"chunk claims 1 GB", BuildRiff({{"fmt ", fmt}, {"junk", {}, 1 << 30}, {"data", Iota(4)}}),
       16, -1},
      {"data beyond the end",
       BuildRiff({{"fmt ", fmt}, {"data", Iota(10), 0xFFFFFFFF}}, "WAVE", 0xFFFFFFFF), 16, 10},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    for (const bool memory : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (memory ? " (memory)" : " (file)"));
      MmioFile f;
      ASSERT_TRUE(memory ? f.OpenMemory(c.bytes.data(), c.bytes.size())
                         : f.Open(dir.Write("f.wav", c.bytes).c_str()));
      EXPECT_EQ(ChunkBytes(f, "fmt "), c.fmtBytes);
      EXPECT_EQ(ChunkBytes(f, "data"), c.dataBytes);
      Bytes got(std::max<int64_t>(c.dataBytes, 0));
      EXPECT_EQ(f.Read(got.data(), got.size()), static_cast<int64_t>(got.size()));
      EXPECT_EQ(got, Iota(got.size()));
    }
  }
  // Every prefix of a valid file (short headers, no form type, empty data...): the data chunk is
  // found only once its header is whole.
  const Bytes full = BuildWav(pcm, Iota(20));
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    MmioFile f;
    ASSERT_TRUE(f.OpenMemory(full.data(), cut));
    EXPECT_EQ(ChunkBytes(f, "data"), cut < 44 ? -1 : static_cast<int64_t>(cut - 44)) << cut;
  }
  MmioFile missing;
  EXPECT_FALSE(missing.Open((dir.Path() + "/missing.wav").c_str()));
  EXPECT_FALSE(missing.Open(dir.Path().c_str()));
  uint8_t byte = 0;
  EXPECT_EQ(missing.Read(&byte, 1), -1);
}

AcmFormat Fmt(const testing::WavFormat& w) {
  return {w.tag, w.channels, w.rate, w.avgBytesPerSec, w.blockAlign, w.bitsPerSample};
}

const AcmFormat kPcm8k = Fmt(LinearFormat(1, 1, 8000, 16));

// Converts as a transformer does: piece by piece, the unconverted source kept in front of the next
// piece, into a destination of one 20 ms frame emptied until a call gives nothing; the last call
// is flagged as the end, so the audio the resampler holds back comes out too.
struct Converter {
  AcmStream stream;
  Bytes src = Bytes(64000), dst = Bytes(320);
  AcmStreamHeader h;

  int32_t Open(const AcmFormat& from, const AcmFormat& to) {
    if (const int32_t r = stream.Open(from, to, AcmStream::kOpenNonRealtime)) return r;
    h = {sizeof h, 0, src.data(), static_cast<uint32_t>(src.size()), 0, dst.data(), 320, 0};
    src.clear();  // the prepared length stays the limit
    return stream.PrepareHeader(&h);
  }
  Bytes Convert(const Bytes& in, size_t piece) {
    Bytes out;
    for (size_t at = 0; at < in.size() + piece; at += piece) {
      const size_t from = std::min(at, in.size()), n = std::min(piece, in.size() - from);
      src.insert(src.end(), in.begin() + from, in.begin() + from + n);
      uint32_t flags = AcmStream::kConvertBlockAlign | (n == 0 ? AcmStream::kConvertEnd : 0);
      do {
        h.pbSrc = src.data();
        h.cbSrcLength = static_cast<uint32_t>(src.size());
        EXPECT_EQ(stream.Convert(&h, flags), AcmStream::kOk);
        src.erase(src.begin(), src.begin() + h.cbSrcLengthUsed);
        out.insert(out.end(), dst.begin(), dst.begin() + h.cbDstLengthUsed);
        flags = AcmStream::kConvertBlockAlign;
      } while (h.cbDstLengthUsed > 0);
    }
    return out;
  }
};

TEST(AcmStreamTest, DecodesG711AndImaExactlyAndRefusesWhatItCannotConvert) {
  const Bytes codes = Iota(256, 0);
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
    const std::vector<int16_t> pcm = AsPcm(toPcm.Convert(codes, 100));
    ASSERT_EQ(pcm.size(), 256u);
    for (const auto& [code, value] : law.anchors) EXPECT_EQ(pcm[code], value) << +code;
    // Back in odd pieces that split samples: every code returns, mu-law's negative zero as +0.
    ASSERT_EQ(back.Open(kPcm8k, format), AcmStream::kOk);
    Bytes expected = codes;
    if (law.tag == 7) expected[0x7F] = 0xFF;
    EXPECT_EQ(back.Convert(testing::Pcm16Bytes(pcm), 63), expected) << law.tag;
  }
  // An IMA ADPCM block: predictor 0, index 0, nibbles 7 7 7 7 8 0 0 8. By the step and index
  // tables: step 7 -> +11 (index 8); 16 -> +30 (16); 34 -> +63 (24); 73 -> +136 (32);
  // 157, sign -> -19 (31); 143 -> +17 (30); 130 -> +16 (29); 118, sign -> -14.
  Converter ima;
  ASSERT_EQ(ima.Open(AcmFormat{0x11, 1, 8000, 7111, 8, 4}, kPcm8k), AcmStream::kOk);
  EXPECT_EQ(AsPcm(ima.Convert({0, 0, 0, 0, 0x77, 0x77, 0x08, 0x80}, 8)),
            (std::vector<int16_t>{0, 11, 41, 104, 240, 221, 238, 254, 240}));

  const std::pair<AcmFormat, AcmFormat> refused[] = {
      {Fmt(LinearFormat(1, 1, 8000, 12)), kPcm8k},
      {AcmFormat{1, 2, 44100, 176400, 2, 16}, kPcm8k},  // block align
      {AcmFormat{0x11, 1, 8000, 4000, 6, 4}, kPcm8k},
      {kPcm8k, Fmt(LinearFormat(1, 2, 8000, 16))},
      {kPcm8k, Fmt(LinearFormat(3, 1, 8000, 32))}};
  for (const auto& [src, dst] : refused) {
    EXPECT_EQ(AcmStream().Open(src, dst, 0), AcmStream::kErrNotPossible) << src.wFormatTag;
  }
  AcmStream s;
  AcmStreamHeader h{sizeof h};
  EXPECT_EQ(s.Convert(&h, 0), AcmStream::kErrInvalidHandle);
  ASSERT_EQ(s.Open(kPcm8k, kPcm8k, 0), AcmStream::kOk);
  EXPECT_EQ(s.Convert(&h, 0), AcmStream::kErrUnprepared);
  EXPECT_EQ(s.PrepareHeader(&h), AcmStream::kErrInvalidParam);  // no buffers
}

// WAV files of many formats, read through the RIFF reader 20 ms at a time and converted, become
// 8 kHz PCM of the file's duration with the tone's frequency and level.
TEST(AcmStreamTest, WavFilesOfEveryFormatBecome8kHzPcmKeepingTheTone) {
  const std::pair<const char*, testing::WavFormat> cases[] = {
      {"44.1 kHz stereo 16-bit", LinearFormat(1, 2, 44100, 16)},
      {"48 kHz stereo 32-bit float", LinearFormat(3, 2, 48000, 32)},
      {"11.025 kHz 8-bit unsigned", LinearFormat(1, 1, 11025, 8)},
      {"96 kHz 24-bit", LinearFormat(1, 1, 96000, 24)},
      {"6 kHz 16-bit (upsampled)", LinearFormat(1, 1, 6000, 16)},
      {"8 kHz A-law", LinearFormat(6, 1, 8000, 8)},
      {"8 kHz mu-law", LinearFormat(7, 1, 8000, 8)},
      {"22.05 kHz stereo IMA ADPCM", testing::ImaFormat(2, 22050, 1024)},
  };
  // The Windows build has no resampler: there only the 8 kHz files are converted.
  const bool resamples =
      AcmStream().Open({AcmStream::kTagPcm, 1, 16000, 32000, 2, 16}, kPcm8k, 0) == AcmStream::kOk;
  testing::TempDir dir;
  for (const auto& [name, f] : cases) {
    SCOPED_TRACE(name);
    if (f.rate != 8000 && !resamples) continue;
    const std::vector<float> tone = testing::Sine(1000.0, 0.5, f.rate, f.rate, f.channels);
    const Bytes pcm16 = testing::EncodeLinear(tone, 1, 16);
    Bytes data = testing::EncodeLinear(tone, f.tag, f.bitsPerSample);
    if (f.tag == 6 || f.tag == 7) {  // encoded by the converter itself, at the same rate
      Converter encoder;
      ASSERT_EQ(encoder.Open(kPcm8k, Fmt(f)), AcmStream::kOk);
      data = encoder.Convert(pcm16, 3200);
    } else if (f.tag == 0x11) {
      data = testing::EncodeIma(AsPcm(pcm16), f.channels, f.blockAlign);
    }
    MmioFile file;
    ASSERT_TRUE(file.Open(dir.Write("tone.wav", BuildWav(f, data)).c_str()));
    AcmFormat format;
    static_assert(sizeof format == 16);
    ASSERT_EQ(ChunkBytes(file, "fmt "), 16);
    ASSERT_EQ(file.Read(&format, 16), 16);
    ASSERT_EQ(ChunkBytes(file, "data"), static_cast<int64_t>(data.size()));
    Bytes read(data.size());  // across the refills of the read buffer
    for (size_t at = 0, n = f.avgBytesPerSec / 50; at < read.size(); at += n) {
      file.Read(&read[at], static_cast<int64_t>(std::min(n, read.size() - at)));
    }
    EXPECT_EQ(read, data);

    Converter converter;
    ASSERT_EQ(converter.Open(format, kPcm8k), AcmStream::kOk);
    const std::vector<int16_t> pcm = AsPcm(converter.Convert(read, f.avgBytesPerSec / 50));
    EXPECT_NEAR(static_cast<double>(pcm.size()), data.size() * 8000.0 / f.avgBytesPerSec, 2.0);
    const testing::ToneMeasure m = testing::MeasureTone({pcm.begin() + 200, pcm.end() - 200}, 8000);
    EXPECT_NEAR(m.frequency, 1000.0, 2.0);
    EXPECT_NEAR(m.rms, 0.5 / std::sqrt(2.0), 0.01);
  }
}

TEST(FileAudioBackendTest, PacesByTheClockAndMovesExactBytes) {
  testing::TempDir dir;
  const Bytes audio = Iota(800);  // two and a half buffers, then silence
  const std::string outPath = dir.Path() + "/out.wav";
  FileAudioBackend backend(dir.Write("in.wav", BuildWav(LinearFormat(1, 1, 8000, 16), audio)),
                           outPath);
  const WAVEFORMATEX pcm{kWaveFormatPcm, 1, 8000, 16000, 2, 16, 0};
  const WAVEFORMATEX stereo{kWaveFormatPcm, 2, 8000, 32000, 4, 16, 0};
  std::unique_ptr<AudioBackend::Stream> capture, playback;
  EXPECT_EQ(backend.Open(AudioDirection::kCapture, 0, stereo, &capture), mmsys::kWaveBadFormat);
  ASSERT_EQ(backend.Open(AudioDirection::kCapture, 0, pcm, &capture), mmsys::kNoError);
  ASSERT_EQ(backend.Open(AudioDirection::kPlayback, -1, pcm, &playback), mmsys::kNoError);

  // One second each way at once, 20 ms per buffer, on a fake clock that moves only in 20 ms steps:
  // after k steps each direction has moved exactly k buffers, and one millisecond short of the
  // next step it has not moved another.
  FakeClock clock;
  ScopedClock scoped(clock);
  const uint64_t start = clock.NowMs();
  constexpr uint32_t kBuffers = 50;
  Bytes played, captured(kBuffers * 320), midway;
  std::atomic<uint32_t> done[2] = {0, 0};  // buffers finished: capture, playback
  auto paced = [&](bool play) {
    for (uint32_t i = 0; i < kBuffers; ++i) {
      const Bytes buffer(320, static_cast<uint8_t>(i + 1));
      uint32_t got = 0;
      if (!play) {
        EXPECT_EQ(capture->Read(&captured[i * 320], 320, &got), mmsys::kNoError);
      } else {
        EXPECT_EQ(playback->Write(buffer.data(), 320), mmsys::kNoError);
        played.insert(played.end(), buffer.begin(), buffer.end());
        if (i == 9) midway = ReadFile(outPath);
      }
      done[play ? 1 : 0] = i + 1;
    }
  };
  std::thread player(paced, true);
  std::thread capturer(paced, false);
  // Both parked in their first buffer, k buffers done each: the next step may be taken.
  auto settled = [&](uint32_t k) {
    return Eventually([&] {
      return done[0].load() == k && done[1].load() == k && (k == kBuffers || clock.Sleepers() == 2);
    });
  };
  for (uint32_t k = 1; k <= kBuffers; ++k) {
    ASSERT_TRUE(settled(k - 1)) << "step " << k;
    if (k == 25) {
      clock.AdvanceMs(19);
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(done[0].load() + done[1].load(), 2 * (k - 1)) << "a buffer ended early";
      clock.AdvanceMs(1);
    } else {
      clock.AdvanceMs(20);
    }
  }
  ASSERT_TRUE(settled(kBuffers));
  player.join();
  capturer.join();
  EXPECT_EQ(clock.NowMs() - start, kBuffers * 20u);
  EXPECT_EQ(Bytes(captured.begin(), captured.begin() + 800), audio);
  EXPECT_EQ(Bytes(captured.begin() + 800, captured.end()), Bytes(kBuffers * 320 - 800, 0));
  // The header is whole after every buffer, and at the end the file holds what was played.
  EXPECT_EQ(midway,
            BuildWav(LinearFormat(1, 1, 8000, 16), Bytes(played.begin(), played.begin() + 3200)));
  EXPECT_EQ(ReadFile(outPath), BuildWav(LinearFormat(1, 1, 8000, 16), played));
  EXPECT_EQ(capture->Close(), mmsys::kNoError);
  EXPECT_EQ(playback->Close(), mmsys::kNoError);
}

}  // namespace
}  // namespace tarsio
