// The RIFF reader and the converter on the system's mmio and ACM (platform/win32/MmioFile.cpp,
// AcmStream.cpp), under Wine in the cross build. MediaFilesTest's portable cases run beside these;
// here are the Windows side's own risks: what mmio does not do the portable reader's way (long
// and '+' paths, positions past a memory file's end, sizes that wrap its 32-bit offsets) and the
// chain of the system's converters. Wine's ACM sums stereo channels and resamples without a
// filter, so conversions are checked by output length and tone frequency, not by level or
// sample values; the lengths are those the portable converter gives for the same input.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/AcmStream.h"
#include "platform/MmioFile.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using testing::BuildRiff;
using testing::BuildWav;
using testing::Bytes;
using testing::LinearFormat;

Bytes Iota(size_t n) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), uint8_t{1});
  return b;
}

std::vector<int16_t> AsPcm(const Bytes& b) {
  std::vector<int16_t> pcm(b.size() / 2);
  std::memcpy(pcm.data(), b.data(), pcm.size() * 2);
  return pcm;
}

// Whether another handle holds the file: an open that shares nothing fails while one does.
bool HeldOpen(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;
  ::CloseHandle(h);
  return false;
}

TEST(MmioWin32Test, WalksAFileAndAMemoryFileWithThePortablePositions) {
  const Bytes fmt = testing::FmtPayload(LinearFormat(1, 1, 8000, 16));
  const Bytes data = Iota(20000);  // reads cross the 8 KB buffer
  const Bytes riff = BuildRiff({{"fmt ", fmt}, {"junk", Iota(3)}, {"data", data}});
  testing::TempDir dir;
  // Over 128 characters and with a '+': mmio's own open would refuse or misread such a name.
  const std::string path = dir.Write(std::string(120, 'n') + "+1.wav", riff);
  ASSERT_GT(path.size(), 128u);
  for (const bool memory : {false, true}) {
    SCOPED_TRACE(memory ? "memory" : "file");
    MmioFile f;
    ASSERT_TRUE(memory ? f.OpenMemory(riff.data(), riff.size()) : f.Open(path.c_str()));
    EXPECT_EQ(HeldOpen(path), !memory);
    EXPECT_EQ(f.Size(), riff.size());
    MMCKINFO form, ck;
    form.fccType = MakeFourCC('W', 'A', 'V', 'E');
    ASSERT_EQ(f.Descend(&form, nullptr, MmioFile::kFindRiff), MmioFile::kOk);
    EXPECT_EQ(form.cksize, riff.size() - 8);
    EXPECT_EQ(f.Position(), 12u);
    ck.ckid = MakeFourCC('f', 'm', 't', ' ');
    ASSERT_EQ(f.Descend(&ck, &form, MmioFile::kFindChunk), MmioFile::kOk);
    EXPECT_EQ(ck.dwDataOffset, 20u);
    Bytes got(16);
    EXPECT_EQ(f.Read(got.data(), 4), 4);
    EXPECT_EQ(f.Ascend(&ck), MmioFile::kOk);
    EXPECT_EQ(f.Position(), 36u);
    ASSERT_EQ(f.Descend(&ck, &form, 0), MmioFile::kOk);  // the chunk where we stand: junk
    EXPECT_EQ(ck.ckid, MakeFourCC('j', 'u', 'n', 'k'));
    EXPECT_EQ(ck.cksize, 3u);
    EXPECT_EQ(f.Ascend(&ck), MmioFile::kOk);
    EXPECT_EQ(f.Position(), 48u);  // after the pad byte
    ck.ckid = MakeFourCC('d', 'a', 't', 'a');
    ASSERT_EQ(f.Descend(&ck, &form, MmioFile::kFindChunk), MmioFile::kOk);
    EXPECT_EQ(f.BytesLeftInChunk(ck), data.size());
    got.assign(data.size() + 10, 0);
    for (size_t at = 0; at < data.size(); at += 3001) {
      EXPECT_EQ(f.Read(&got[at], 3001),
                static_cast<int64_t>(std::min<size_t>(3001, data.size() - at)));
    }
    got.resize(data.size());
    EXPECT_EQ(got, data);
    EXPECT_EQ(f.Ascend(&ck), MmioFile::kOk);
    EXPECT_EQ(f.Position(), riff.size());
    EXPECT_EQ(f.Descend(&ck, &form, 0), MmioFile::kErrChunkNotFound);

    // Seeks: past the end (where mmio cannot put a memory file), back, and refused ones.
    const auto size = static_cast<int64_t>(riff.size());
    EXPECT_EQ(f.Seek(10, SEEK_END), size + 10);
    uint8_t byte = 0;
    EXPECT_EQ(f.Read(&byte, 1), 0);
    EXPECT_EQ(f.Seek(-11, SEEK_CUR), size - 1);
    EXPECT_EQ(f.Read(&byte, 1), 1);
    EXPECT_EQ(byte, data.back());
    EXPECT_EQ(f.Seek(-1, SEEK_SET), -1);
    EXPECT_EQ(f.Seek(0, 7), -1);
    EXPECT_EQ(f.Position(), riff.size());
    EXPECT_EQ(f.Seek(8, SEEK_SET), 8);
    EXPECT_EQ(f.Read(got.data(), 4), 4);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 4), "WAVE");
    f.Close();
    EXPECT_FALSE(HeldOpen(path));  // mmioClose closed the handle mmio was given
    EXPECT_EQ(f.Read(&byte, 1), -1);
  }
}

TEST(MmioWin32Test, HostileSizesAndCutFilesEndTheSearch) {
  const Bytes fmt = testing::FmtPayload(LinearFormat(1, 1, 8000, 16));
  testing::TempDir dir;
  // Sizes that bring a 32-bit offset back to the chunk's own header or before it: mmioDescend's
  // search would read the same headers for ever.
  for (const int64_t size : {0xFFFFFFF8LL, 0xFFFFFFF7LL, 0xFFFFFFFFLL}) {
    const Bytes riff =
        BuildRiff({{"junk", {}, size}, {"fmt ", fmt}, {"data", Iota(4)}}, "WAVE", 0xFFFFFFFF);
    for (const bool memory : {false, true}) {
      MmioFile f;
      ASSERT_TRUE(memory ? f.OpenMemory(riff.data(), riff.size())
                         : f.Open(dir.Write("wrap.wav", riff).c_str()));
      MMCKINFO form, ck;
      form.fccType = MakeFourCC('W', 'A', 'V', 'E');
      ASSERT_EQ(f.Descend(&form, nullptr, MmioFile::kFindRiff), MmioFile::kOk);
      ck.ckid = MakeFourCC('d', 'a', 't', 'a');
      EXPECT_EQ(f.Descend(&ck, &form, MmioFile::kFindChunk), MmioFile::kErrChunkNotFound) << size;
    }
  }
  // Every cut of a WAV file's header, as a file on disk: the data chunk is found only whole.
  const Bytes full = BuildWav(LinearFormat(1, 1, 8000, 16), Iota(8));
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    MmioFile f;
    ASSERT_TRUE(f.Open(dir.Write("cut.wav", Bytes(full.begin(), full.begin() + cut)).c_str()));
    MMCKINFO form, ck;
    form.fccType = MakeFourCC('W', 'A', 'V', 'E');
    ck.ckid = MakeFourCC('d', 'a', 't', 'a');
    const bool found = f.Descend(&form, nullptr, MmioFile::kFindRiff) == MmioFile::kOk &&
                       f.Descend(&ck, &form, MmioFile::kFindChunk) == MmioFile::kOk;
    EXPECT_EQ(found, cut >= 44) << cut;
    if (found) {
      EXPECT_EQ(f.BytesLeftInChunk(ck), cut - 44);
    }
  }
}

AcmFormat Fmt(const testing::WavFormat& w) {
  return {w.tag, w.channels, w.rate, w.avgBytesPerSec, w.blockAlign, w.bitsPerSample};
}

const AcmFormat kPcm8k = Fmt(LinearFormat(1, 1, 8000, 16));

// Converts as the transformer does (MediaFilesTest's converter): piece by piece, the unused
// source kept in front of the next piece, a 20 ms destination emptied until a call gives nothing,
// the last call flagged as the end.
struct Converter {
  AcmStream stream;
  Bytes src = Bytes(64000), dst = Bytes(320);
  AcmStreamHeader h;

  int32_t Open(const AcmFormat& from, const AcmFormat& to) {
    if (const int32_t r = stream.Open(from, to, AcmStream::kOpenNonRealtime)) return r;
    h = {sizeof h, 0, src.data(), static_cast<uint32_t>(src.size()), 0, dst.data(), 320, 0};
    src.clear();
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

// One second of a 1 kHz tone in each source format, from a WAV file read through the system's
// mmio, converted to 8 kHz PCM and on to G.711 and other rates: one to three of the system's
// streams chained.
TEST(AcmWin32Test, ChainsTheSystemsConvertersWithThePortableOutputLengths) {
  const struct {
    const char* name;
    testing::WavFormat from;
    AcmFormat to;
  } cases[] = {
      {"44.1 kHz stereo 16-bit", LinearFormat(1, 2, 44100, 16), kPcm8k},
      {"16 kHz 16-bit", LinearFormat(1, 1, 16000, 16), kPcm8k},
      {"6 kHz 16-bit (upsampled)", LinearFormat(1, 1, 6000, 16), kPcm8k},
      {"11.025 kHz 8-bit unsigned", LinearFormat(1, 1, 11025, 8), kPcm8k},
      {"96 kHz 24-bit", LinearFormat(1, 1, 96000, 24), kPcm8k},
      {"8 kHz stereo A-law", LinearFormat(6, 2, 8000, 8), kPcm8k},
      {"8 kHz mu-law to A-law", LinearFormat(7, 1, 8000, 8), Fmt(LinearFormat(6, 1, 8000, 8))},
      {"8 kHz IMA ADPCM", testing::ImaFormat(1, 8000, 256), kPcm8k},
      {"22.05 kHz stereo IMA ADPCM to mu-law", testing::ImaFormat(2, 22050, 1024),
       Fmt(LinearFormat(7, 1, 8000, 8))},
      {"8 kHz to mu-law", LinearFormat(1, 1, 8000, 16), Fmt(LinearFormat(7, 1, 8000, 8))},
      {"8 kHz to 16 kHz", LinearFormat(1, 1, 8000, 16), Fmt(LinearFormat(1, 1, 16000, 16))},
      {"8 kHz to 11.025 kHz", LinearFormat(1, 1, 8000, 16), Fmt(LinearFormat(1, 1, 11025, 16))},
      // No converter of Wine's reads these; Windows may have one.
      {"48 kHz stereo float", LinearFormat(3, 2, 48000, 32), kPcm8k},
      {"48 kHz 32-bit", LinearFormat(1, 1, 48000, 32), kPcm8k},
  };
  testing::TempDir dir;
  for (const auto& [name, f, to] : cases) {
    SCOPED_TRACE(name);
    const std::vector<float> tone = testing::Sine(1000.0, 0.5, f.rate, f.rate, f.channels);
    Bytes data = testing::EncodeLinear(tone, f.tag, f.bitsPerSample);
    if (f.tag == 6 || f.tag == 7) {
      Converter encoder;
      const AcmFormat mono = Fmt(LinearFormat(f.tag, 1, 8000, 8));
      ASSERT_EQ(encoder.Open(kPcm8k, mono), AcmStream::kOk);
      data = encoder.Convert(
          testing::EncodeLinear(testing::Sine(1000.0, 0.5, 8000, 8000, 1), 1, 16), 3200);
      if (f.channels == 2) {  // both channels the same
        Bytes stereo;
        for (const uint8_t code : data) stereo.insert(stereo.end(), {code, code});
        data = stereo;
      }
    } else if (f.tag == 0x11) {
      data =
          testing::EncodeIma(AsPcm(testing::EncodeLinear(tone, 1, 16)), f.channels, f.blockAlign);
    }
    MmioFile file;
    ASSERT_TRUE(file.Open(dir.Write("tone.wav", BuildWav(f, data)).c_str()));
    MMCKINFO form, ck;
    form.fccType = MakeFourCC('W', 'A', 'V', 'E');
    ck.ckid = MakeFourCC('d', 'a', 't', 'a');
    ASSERT_EQ(file.Descend(&form, nullptr, MmioFile::kFindRiff), MmioFile::kOk);
    ASSERT_EQ(file.Descend(&ck, &form, MmioFile::kFindChunk), MmioFile::kOk);
    Bytes read(data.size());
    ASSERT_EQ(file.Read(read.data(), static_cast<int64_t>(read.size())),
              static_cast<int64_t>(read.size()));

    Converter converter;
    const bool possible = AcmStream::CanConvert(Fmt(f), to);
    if (f.tag == 3 || f.bitsPerSample == 32) {
      if (!possible) {  // the query and the open agree
        EXPECT_EQ(converter.Open(Fmt(f), to), AcmStream::kErrNotPossible);
        continue;
      }
    }
    ASSERT_TRUE(possible);
    ASSERT_EQ(converter.Open(Fmt(f), to), AcmStream::kOk);
    Bytes out = converter.Convert(read, f.avgBytesPerSec / 50);
    const double seconds = static_cast<double>(data.size()) / f.avgBytesPerSec;
    EXPECT_NEAR(static_cast<double>(out.size()), seconds * to.nAvgBytesPerSec,
                2.0 * to.nBlockAlign);
    if (to.wFormatTag != AcmStream::kTagPcm) {  // G.711 back to PCM, to measure it
      Converter decoder;
      ASSERT_EQ(decoder.Open(to, kPcm8k), AcmStream::kOk);
      out = decoder.Convert(out, 160);
    }
    const std::vector<int16_t> pcm = AsPcm(out);
    ASSERT_GT(pcm.size(), 400u);
    const testing::ToneMeasure m =
        testing::MeasureTone({pcm.begin() + 200, pcm.end() - 200}, to.nSamplesPerSec);
    EXPECT_NEAR(m.frequency, 1000.0, 2.0);
    EXPECT_GT(m.rms, 0.1);
  }
}

// A call takes source only while its destination has room, one IMA ADPCM block at a time, and
// delivers a block's output over the following calls; the header rules and results are the
// portable converter's.
TEST(AcmWin32Test, WorksPerCallAsAskedForAndKeepsTheHeaderRules) {
  const testing::WavFormat ima = testing::ImaFormat(1, 8000, 8192);  // 16377 frames a block
  const AcmFormat to48k = Fmt(LinearFormat(1, 1, 48000, 16));
  AcmStream stream;
  AcmStreamHeader h{sizeof h};
  EXPECT_EQ(stream.Convert(&h, 0), AcmStream::kErrInvalidHandle);
  ASSERT_EQ(stream.Open(Fmt(ima), to48k, 0), AcmStream::kOk);
  Bytes src(2 * 8192, 0x17), dst(320);
  h = {sizeof h, 0, src.data(), static_cast<uint32_t>(src.size()), 0, dst.data(), 320, 0};
  EXPECT_EQ(stream.Convert(&h, 0), AcmStream::kErrUnprepared);
  ASSERT_EQ(stream.PrepareHeader(&h), AcmStream::kOk);
  EXPECT_EQ(stream.PrepareHeader(&h), AcmStream::kErrBusy);
  h.cbDstLength = 0;  // no room: nothing is taken
  ASSERT_EQ(stream.Convert(&h, 0), AcmStream::kOk);
  EXPECT_EQ(h.cbSrcLengthUsed, 0u);
  h.cbDstLength = 321;
  EXPECT_EQ(stream.Convert(&h, 0), AcmStream::kErrInvalidParam);
  h.cbDstLength = 320;
  ASSERT_EQ(stream.Convert(&h, 0), AcmStream::kOk);
  EXPECT_EQ(h.cbSrcLengthUsed, 8192u);  // one block of the two
  EXPECT_EQ(h.cbDstLengthUsed, 320u);
  uint64_t frames = 160;
  h.pbSrc += 8192;
  h.cbSrcLength = 8192;
  do {
    ASSERT_EQ(stream.Convert(&h, 0), AcmStream::kOk);
    ASSERT_EQ(h.cbDstLengthUsed, 320u) << frames;
    frames += 160;
  } while (h.cbSrcLengthUsed == 0);
  EXPECT_EQ(h.cbSrcLengthUsed, 8192u);
  // The first block's 98 262 frames at 48 kHz came out 160 a call before the second was taken.
  EXPECT_NEAR(static_cast<double>(frames), 16377.0 * 6, 320.0);
  h.pbSrc = src.data();
  h.cbSrcLength = 100;
  EXPECT_EQ(stream.UnprepareHeader(&h), AcmStream::kErrInvalidParam);
  h.cbSrcLength = static_cast<uint32_t>(src.size());
  EXPECT_EQ(stream.UnprepareHeader(&h), AcmStream::kOk);
  EXPECT_EQ(stream.UnprepareHeader(&h), AcmStream::kErrUnprepared);
  EXPECT_EQ(stream.Convert(&h, 0), AcmStream::kErrUnprepared);
  // Closed with a header still prepared (as a transformer's destructor may): the system's streams
  // are released all the same, and the stream opens again.
  ASSERT_EQ(stream.PrepareHeader(&h), AcmStream::kOk);
  EXPECT_EQ(stream.Close(), AcmStream::kOk);
  EXPECT_FALSE(stream.IsOpen());
  EXPECT_EQ(stream.Open(kPcm8k, Fmt(LinearFormat(7, 1, 8000, 8)), 0), AcmStream::kOk);
}

}  // namespace
}  // namespace tarsio
