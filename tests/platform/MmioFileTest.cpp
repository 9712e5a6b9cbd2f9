#include "platform/MmioFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>

#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using testing::BuildRiff;
using testing::Bytes;
using testing::Chunk;

constexpr uint32_t kWave = MakeFourCC('W', 'A', 'V', 'E');
constexpr uint32_t kFmt = MakeFourCC('f', 'm', 't', ' ');
constexpr uint32_t kData = MakeFourCC('d', 'a', 't', 'a');

Bytes Iota(size_t n, uint8_t start = 0) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), start);
  return b;
}

// Every case runs on the same bytes opened from a real file and from memory.
class MmioFileTest : public ::testing::TestWithParam<bool> {
 protected:
  bool OpenBytes(MmioFile& f, const Bytes& bytes) {
    if (GetParam()) return f.OpenMemory(bytes.data(), bytes.size());
    return f.Open(dir_.Write("f" + std::to_string(counter_++) + ".wav", bytes).c_str());
  }
  testing::TempDir dir_;
  int counter_ = 0;
};

TEST_P(MmioFileTest, FindsChunksInAnyOrderSkippingOddChunksWithPad) {
  const Bytes data = Iota(7, 100);
  const Bytes bytes = BuildRiff({{"LIST", Bytes{'I', 'N', 'F', 'O', 1, 2, 3}},
                                 {"junk", Iota(3)},
                                 {"data", data},
                                 {"fmt ", testing::FmtPayload(testing::WavFormat{})}});
  MmioFile f;
  ASSERT_TRUE(OpenBytes(f, bytes));
  EXPECT_EQ(f.Size(), bytes.size());
  MMCKINFO riff;
  riff.fccType = kWave;
  ASSERT_EQ(f.Descend(&riff, nullptr, MmioFile::kFindRiff), MmioFile::kOk);
  EXPECT_EQ(riff.cksize, bytes.size() - 8);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  EXPECT_EQ(f.Position(), 12u);

  // fmt comes last: the search passes LIST (odd, padded), junk (odd, padded) and data.
  MMCKINFO sub;
  sub.ckid = kFmt;
  ASSERT_EQ(f.Descend(&sub, &riff, MmioFile::kFindChunk), MmioFile::kOk);
  EXPECT_EQ(sub.cksize, 16u);
  const uint64_t fmtAt = 12 + (8 + 8) + (8 + 4) + (8 + 8);
  EXPECT_EQ(sub.dwDataOffset, fmtAt + 8);
  uint8_t fmt[16];
  EXPECT_EQ(f.Read(fmt, 16), 16);
  EXPECT_EQ(fmt[0], 1);
  ASSERT_EQ(f.Ascend(&sub), MmioFile::kOk);
  EXPECT_EQ(f.Position(), bytes.size());

  // data lies before the current position: nothing found from here, found from the start.
  sub.ckid = kData;
  EXPECT_EQ(f.Descend(&sub, &riff, MmioFile::kFindChunk), MmioFile::kErrChunkNotFound);
  ASSERT_EQ(f.Seek(12, SEEK_SET), 12);
  ASSERT_EQ(f.Descend(&sub, &riff, MmioFile::kFindChunk), MmioFile::kOk);
  EXPECT_EQ(sub.cksize, 7u);
  EXPECT_EQ(f.BytesLeftInChunk(sub), 7u);
  Bytes got(16);
  EXPECT_EQ(f.Read(got.data(), 7), 7);
  got.resize(7);
  EXPECT_EQ(got, data);
  EXPECT_EQ(f.BytesLeftInChunk(sub), 0u);
  // Ascend skips the pad byte of the odd chunk.
  ASSERT_EQ(f.Ascend(&sub), MmioFile::kOk);
  EXPECT_EQ(f.Position(), sub.dwDataOffset + 8);
}

TEST_P(MmioFileTest, RefusesWhatIsNotTheWantedForm) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes notRiff = BuildRiff({{"data", Iota(4)}});
  notRiff[0] = 'R';
  notRiff[3] = 'X';
  const Case cases[] = {
      {"empty", {}},
      {"short header", Bytes{'R', 'I', 'F', 'F', 4, 0}},
      {"not RIFF", notRiff},
      {"RIFF AVI", BuildRiff({{"data", Iota(4)}}, "AVI ")},
      {"RIFF without form type", Bytes{'R', 'I', 'F', 'F', 2, 0, 0, 0, 'W', 'A'}},
  };
  for (const Case& c : cases) {
    MmioFile f;
    ASSERT_TRUE(OpenBytes(f, c.bytes)) << c.name;
    MMCKINFO riff;
    riff.fccType = kWave;
    EXPECT_EQ(f.Descend(&riff, nullptr, MmioFile::kFindRiff), MmioFile::kErrChunkNotFound)
        << c.name;
  }
}

TEST_P(MmioFileTest, SurvivesTruncationAndSizesBeyondTheFile) {
  // A chunk that claims 1 GB before the wanted one: nothing after it can be trusted.
  {
    const Bytes bytes = BuildRiff({{"junk", Iota(4), 0x40000000}, {"data", Iota(4)}});
    MmioFile f;
    ASSERT_TRUE(OpenBytes(f, bytes));
    MMCKINFO riff;
    riff.fccType = kWave;
    ASSERT_EQ(f.Descend(&riff, nullptr, MmioFile::kFindRiff), MmioFile::kOk);
    MMCKINFO sub;
    sub.ckid = kData;
    EXPECT_EQ(f.Descend(&sub, &riff, MmioFile::kFindChunk), MmioFile::kErrChunkNotFound);
  }
  // The wanted chunk itself is oversized (0xFFFFFFFF, as streaming writers leave it): it is
  // found with its declared size, and only the bytes present are reported and read.
  {
    const Bytes bytes = BuildRiff({{"data", Iota(10), 0xFFFFFFFF}}, "WAVE", 0xFFFFFFFF);
    MmioFile f;
    ASSERT_TRUE(OpenBytes(f, bytes));
    MMCKINFO riff;
    riff.fccType = kWave;
    ASSERT_EQ(f.Descend(&riff, nullptr, MmioFile::kFindRiff), MmioFile::kOk);
    MMCKINFO sub;
    sub.ckid = kData;
    ASSERT_EQ(f.Descend(&sub, &riff, MmioFile::kFindChunk), MmioFile::kOk);
    EXPECT_EQ(sub.cksize, 0xFFFFFFFFu);
    EXPECT_EQ(f.BytesLeftInChunk(sub), 10u);
    uint8_t buf[64];
    EXPECT_EQ(f.Read(buf, 64), 10);
    EXPECT_EQ(f.Read(buf, 64), 0);
    EXPECT_EQ(f.Ascend(&sub), MmioFile::kOk);  // far beyond the end; reads give 0
    EXPECT_EQ(f.Read(buf, 1), 0);
  }
  // Every prefix of a valid file: no crash, and data is found only when its header is whole.
  const Bytes full = testing::BuildWav(testing::WavFormat{}, Iota(20));
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    const Bytes bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
    MmioFile f;
    ASSERT_TRUE(f.OpenMemory(bytes.data(), bytes.size()));
    MMCKINFO riff;
    riff.fccType = kWave;
    if (f.Descend(&riff, nullptr, MmioFile::kFindRiff) != MmioFile::kOk) {
      EXPECT_LT(cut, 12u);
      continue;
    }
    MMCKINFO sub;
    sub.ckid = kData;
    const bool found = f.Descend(&sub, &riff, MmioFile::kFindChunk) == MmioFile::kOk;
    EXPECT_EQ(found, cut >= 12 + 8 + 16 + 8) << cut;
    if (found) {
      EXPECT_EQ(f.BytesLeftInChunk(sub), cut - 44) << cut;
    }
  }
}

TEST_P(MmioFileTest, ReadsAndSeeksAcrossTheBuffer) {
  // Larger than the read buffer, so that reads cross buffer refills and take the direct path.
  Bytes bytes(3 * MmioFile::kBufferSize + 123);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  MmioFile f;
  ASSERT_TRUE(OpenBytes(f, bytes));
  Bytes got(bytes.size() + 10);
  size_t pos = 0;
  const size_t steps[] = {1, 100, MmioFile::kBufferSize - 50, 2 * MmioFile::kBufferSize, 99999};
  for (size_t step : steps) {
    const int64_t n = f.Read(got.data() + pos, static_cast<int64_t>(step));
    ASSERT_GE(n, 0);
    pos += static_cast<size_t>(n);
    EXPECT_EQ(f.Position(), pos);
  }
  ASSERT_EQ(pos, bytes.size());
  got.resize(pos);
  EXPECT_EQ(got, bytes);
  // Seeks backwards into and out of the buffered range.
  const int64_t offsets[] = {5, static_cast<int64_t>(bytes.size()) - 3,
                             static_cast<int64_t>(MmioFile::kBufferSize) + 1, 0};
  for (int64_t off : offsets) {
    ASSERT_EQ(f.Seek(off, SEEK_SET), off);
    uint8_t b = 0;
    ASSERT_EQ(f.Read(&b, 1), 1);
    EXPECT_EQ(b, bytes[static_cast<size_t>(off)]);
  }
  EXPECT_EQ(f.Seek(-2, SEEK_END), static_cast<int64_t>(bytes.size()) - 2);
  EXPECT_EQ(f.Seek(1, SEEK_CUR), static_cast<int64_t>(bytes.size()) - 1);
  EXPECT_EQ(f.Seek(-1, SEEK_SET), -1);
  EXPECT_EQ(f.Seek(100, SEEK_END), static_cast<int64_t>(bytes.size()) + 100);
  uint8_t b;
  EXPECT_EQ(f.Read(&b, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(FileAndMemory, MmioFileTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Memory") : std::string("File");
                         });

TEST(MmioFileOpenTest, RefusesMissingFilesAndDirectories) {
  testing::TempDir dir;
  MmioFile f;
  EXPECT_FALSE(f.Open((dir.Path() + "/missing.wav").c_str()));
  EXPECT_FALSE(f.Open(dir.Path().c_str()));
  EXPECT_FALSE(f.Open(nullptr));
  EXPECT_FALSE(f.IsOpen());
  uint8_t b;
  EXPECT_EQ(f.Read(&b, 1), -1);
  EXPECT_EQ(f.Seek(0, SEEK_SET), -1);
}

}  // namespace
}  // namespace tarsio
