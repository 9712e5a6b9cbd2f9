// The WAV file player: the result codes of malformed files and names, the formats it opens and
// the frame sizes it cuts, single and looped plays of the data chunk, and the start/stop
// notifications of its thread.
#include "devices/WaveFileSource.h"

#include <gtest/gtest.h>

#include <string>

#include "DeviceTestUtil.h"
#include "devices/FileSourceListener.h"
#include "framework/AudioTransformer.h"
#include "platform/Thread.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using namespace devtest;
using testing::BuildRiff;
using testing::BuildWav;
using testing::FmtPayload;
using testing::LinearFormat;

TEST(WaveFileSourceTest, OpenRefusesMalformedFilesAndNamesWithTheirCodes) {
  testing::TempDir dir;
  const testing::WavFormat pcm = LinearFormat(1, 1, 8000, 16);
  const Bytes fmt = FmtPayload(pcm);
  const Bytes good = BuildWav(pcm, Pattern(640));
  testing::WavFormat zeroRate = pcm;
  zeroRate.avgBytesPerSec = 0;
  Bytes notRiff = good;
  notRiff[0] = 'X';
  const Bytes cutInFmt(good.begin(), good.begin() + 12 + 8 + 10);
  // File names whose full path is 127 characters (the most accepted) and 128.
  auto name = [&](size_t length) {
    return std::string(length - dir.Path().size() - 5, 'n') + ".wav";
  };
  const std::string n127 = name(127), n128 = name(128);
  static constexpr const char* kPlain = "x.wav";
  struct Case {
    const char* what;
    Bytes bytes;
    int32_t expected;
    const char* name = kPlain;  // nullptr: opened as a null name
    bool write = true;
  };
  const Case cases[] = {
      {"empty file", {}, WaveFileSource::kErrNotWave},
      {"not RIFF", notRiff, WaveFileSource::kErrNotWave},
      {"RIFF but AVI", BuildRiff({{"fmt ", fmt}, {"data", Pattern(8)}}, "AVI "),
       WaveFileSource::kErrNotWave},
      {"no fmt", BuildRiff({{"data", Pattern(8)}}), WaveFileSource::kErrNoFormat},
      {"fmt cut short by the end of the file", cutInFmt, WaveFileSource::kErrBadFormat},
      {"fmt size beyond the file", BuildRiff({{"fmt ", fmt, 0x7FFFFFF0}}),
       WaveFileSource::kErrBadFormat},
      {"fmt of 6 bytes (no byte rate)",
       BuildRiff({{"fmt ", Bytes(fmt.begin(), fmt.begin() + 6)}, {"data", Pattern(8)}}),
       WaveFileSource::kErrBadFormat},
      {"average byte rate 0", BuildRiff({{"fmt ", FmtPayload(zeroRate)}, {"data", Pattern(8)}}),
       WaveFileSource::kErrBadFormat},
      {"no data", BuildRiff({{"fmt ", fmt}, {"LIST", Pattern(9)}}), WaveFileSource::kErrNoData},
      {"empty data", BuildRiff({{"fmt ", fmt}, {"data", {}}}), WaveFileSource::kErrEmptyData},
      {"data of half a block", BuildRiff({{"fmt ", fmt}, {"data", Pattern(1)}}),
       WaveFileSource::kErrEmptyData},
      {"data size beyond the file", BuildRiff({{"fmt ", fmt}, {"data", {}, 5000}}),
       WaveFileSource::kErrEmptyData},
      {"missing file", good, WaveFileSource::kErrCannotOpen, kPlain, false},
      {"empty name", good, WaveFileSource::kErrCannotOpen, ""},
      {"null name", good, WaveFileSource::kErrNameLength, nullptr},
      {"path of 127 characters", good, 0, n127.c_str()},
      {"path of 128 characters", good, WaveFileSource::kErrNameLength, n128.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove((dir.Path() + "/" + kPlain).c_str());
    const bool named = c.name != nullptr && *c.name != 0;
    const std::string path = named ? dir.Path() + "/" + c.name : "";
    if (named && c.write) dir.Write(c.name, c.bytes);
    WaveFileSource source;
    EXPECT_EQ(source.OpenWaveFile(c.name == nullptr ? nullptr : path.c_str()), c.expected);
    EXPECT_EQ(source.FrameBytes() == 0, c.expected != 0) << "nothing is left open on failure";
    if (c.name == kPlain && c.write) {
      EXPECT_EQ(source.OpenWaveMemory(c.bytes.data(), c.bytes.size(), "mem"), c.expected);
    }
  }
}

TEST(WaveFileSourceTest, OpensFormatsAndCutsFramesToWholeBlocks) {
  auto wav = [](const testing::WavFormat& f) { return BuildWav(f, Pattern(f.blockAlign * 2000u)); };
  const Bytes alaw = FmtPayload(LinearFormat(6, 1, 8000, 8));
  // Extensible (40-byte fmt) with the float sub-format.
  const Bytes extensible = FmtPayload(
      LinearFormat(0xFFFE, 2, 48000, 32),
      {22, 0, 32, 0, 3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
  struct Case {
    const char* what;
    Bytes bytes;
    int tag, channels, bits;  // as handed out by GetFormat (cbSize always 0)
    uint32_t frame;           // 20 ms, at most 3200 bytes, in whole blocks
  };
  const Case cases[] = {
      {"44.1 kHz stereo 16-bit: 800 blocks of 4", wav(LinearFormat(1, 2, 44100, 16)), 1, 2, 16,
       3200},
      {"48 kHz stereo 24-bit: 533 blocks of 6", wav(LinearFormat(1, 2, 48000, 24)), 1, 2, 24, 3198},
      {"48 kHz stereo float", wav(LinearFormat(3, 2, 48000, 32)), 3, 2, 32, 3200},
      {"8 kHz 16-bit", wav(LinearFormat(1, 1, 8000, 16)), 1, 1, 16, 320},
      {"IMA ADPCM", wav(testing::ImaFormat(1, 8000, 256)), 0x11, 1, 4, 81},
      {"14-byte fmt: zero-filled",
       BuildRiff({{"fmt ", Bytes(alaw.begin(), alaw.begin() + 14)}, {"data", Pattern(4000)}}), 6, 1,
       0, 160},
      {"extensible float: tag 3", BuildRiff({{"fmt ", extensible}, {"data", Pattern(16000)}}), 3, 2,
       32, 3200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WaveFileSource source;
    ASSERT_EQ(source.OpenWaveMemory(c.bytes.data(), c.bytes.size(), c.what), 0);
    WAVEFORMATEX f;
    EXPECT_EQ(source.GetFormat(&f), 0);
    EXPECT_EQ(std::vector<int>({f.wFormatTag, f.nChannels, f.wBitsPerSample, f.cbSize}),
              std::vector<int>({c.tag, c.channels, c.bits, 0}));
    EXPECT_EQ(source.FrameBytes(), c.frame);
    ASSERT_EQ(source.SourceStarted(), 0);
    EXPECT_EQ(Pull(source).dataSize, static_cast<int32_t>(c.frame));
    EXPECT_EQ(source.SourceStopped(), 0);
  }
}

TEST(WaveFileSourceTest, PlaysTheDataChunkOnceOrInALoop) {
  testing::TempDir dir;
  // 8-bit mono (160-byte frames): odd data (a pad byte follows), a LIST chunk, fmt after data.
  const Bytes odd = Pattern(1001);
  const Bytes file = BuildRiff({{"data", odd},
                                {"LIST", Bytes{'I', 'N', 'F', 'O', 0xEE, 0xEE, 0xEE}},
                                {"fmt ", FmtPayload(LinearFormat(1, 1, 8000, 8))}});
  WaveFileSource source;
  ASSERT_EQ(source.OpenWaveFile(dir.Write("a.wav", file).c_str()), 0);
  const Got before = Pull(source);  // not running yet: 20 ms silence markers
  EXPECT_EQ(before.dataSize, 0);
  EXPECT_EQ(before.silence, 20);
  // Plays all frames, appending their bytes; returns their sizes and the ending result.
  auto playOut = [&](Bytes* got) {
    std::vector<int32_t> sizes;
    for (Got g = Pull(source); g.result == 0 && sizes.size() < 100; g = Pull(source)) {
      sizes.push_back(g.dataSize);
      got->insert(got->end(), g.bytes.begin(), g.bytes.end());
    }
    return sizes;
  };
  ASSERT_EQ(source.SourceStarted(), 0);
  Bytes got;
  EXPECT_EQ(playOut(&got), (std::vector<int32_t>{160, 160, 160, 160, 160, 160, 41}));
  EXPECT_EQ(got, odd);
  EXPECT_EQ(Pull(source).result, WaveFileSource::kErrEndOfData);
  EXPECT_EQ(source.SourceStopped(), 0);

  // Cut short inside its data: what is there is played, then the play ends.
  Bytes cut = BuildWav(LinearFormat(1, 1, 8000, 16), Pattern(1000));
  cut.resize(44 + 700);
  ASSERT_EQ(source.OpenWaveMemory(cut.data(), cut.size(), "cut"), 0);
  ASSERT_EQ(source.SourceStarted(), 0);
  got.clear();
  playOut(&got);
  EXPECT_EQ(got, Bytes(cut.begin() + 44, cut.end()));
  EXPECT_EQ(source.SourceStopped(), 0);

  // In a loop, frames stay whole across the end of the data (1000 bytes, 320-byte frames).
  const Bytes data = Pattern(1000, 7);
  const Bytes looped = BuildRiff(
      {{"fmt ", FmtPayload(LinearFormat(1, 1, 8000, 16))}, {"data", data}, {"LIST", Pattern(33)}});
  ASSERT_EQ(source.OpenWaveMemory(looped.data(), looped.size(), "loop"), 0);
  ASSERT_EQ(source.PlayInLoop(), 0);
  ASSERT_EQ(source.SourceStarted(), 0);
  got.clear();
  for (int i = 0; i < 25; ++i) {
    const Got g = Pull(source);
    ASSERT_EQ(g.result, 0);
    ASSERT_EQ(g.dataSize, 320);
    got.insert(got.end(), g.bytes.begin(), g.bytes.end());
  }
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], data[i % data.size()]) << i;
  EXPECT_EQ(source.OpenWaveMemory(looped.data(), looped.size(), "x"), WaveFileSource::kErrRunning);
  EXPECT_EQ(source.SourceStopped(), 0);
  EXPECT_EQ(source.FrameBytes(), 0u);  // the stop closed the file
  EXPECT_EQ(source.SourceStopped(), -10);
  // A new open clears the loop flag.
  ASSERT_EQ(source.OpenWaveMemory(looped.data(), looped.size(), "again"), 0);
  ASSERT_EQ(source.SourceStarted(), 0);
  got.clear();
  playOut(&got);
  EXPECT_EQ(got, data);
  EXPECT_EQ(source.SourceStopped(), 0);
}

// Records notifications and whether they came on the thread that created the listener.
class RecordingListener : public FileSourceListener {
 public:
  void FilePlayStarted(WaveFileSource*, const char* name) override { Add("started:", name); }
  void FilePlayStopped(WaveFileSource*, const char* name) override { Add("stopped:", name); }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> l(m_);
    return events_;
  }

 private:
  void Add(const char* what, const char* name) {
    std::lock_guard<std::mutex> l(m_);
    events_.push_back(what + std::string(name) + (CurrentThreadId() == caller_ ? "" : "@thread"));
  }
  const uint32_t caller_ = CurrentThreadId();
  std::mutex m_;
  std::vector<std::string> events_;
};

TEST(WaveFileSourceTest, ThreadNotifiesListenersAndClosesTheFile) {
  const Bytes data = Pattern(3000);
  const Bytes bytes = BuildWav(LinearFormat(1, 1, 8000, 16), data);
  WaveFileSource source;
  RecordingListener listener;
  EXPECT_EQ(source.AddListener(&listener), 0);
  EXPECT_EQ(source.AddListener(&listener), 0);  // once only
  CollectingSink sink;
  ASSERT_EQ(sink.StartSink(), 0);
  ASSERT_EQ(Connect(&source, &sink), 0);
  ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "tone.wav"), 0);

  ASSERT_EQ(source.StartSourceThread(), 0);
  // "started" came on this thread, before the start returned; "stopped" on the source's thread.
  EXPECT_EQ(listener.Events(), std::vector<std::string>{"started:tone.wav"});
  ASSERT_TRUE(sink.WaitForBytes(data.size()));
  EXPECT_EQ(sink.Got(), data);
  EXPECT_EQ(source.StopSourceThread(), 0);
  ASSERT_TRUE(WaitUntil([&] { return listener.Events().size() == 2; }));
  EXPECT_EQ(listener.Events()[1], "stopped:tone.wav@thread");
  EXPECT_FALSE(source.IsRunning());
  EXPECT_EQ(source.FrameBytes(), 0u);  // the thread's end closed the file

  // No file open: the thread is refused, yet both notifications come.
  EXPECT_EQ(source.StartSourceThread(), -30);
  ASSERT_TRUE(WaitUntil([&] { return listener.Events().size() == 4; }));
  EXPECT_EQ(listener.Events(),
            (std::vector<std::string>{"started:tone.wav", "stopped:tone.wav@thread",
                                      "started:tone.wav", "stopped:tone.wav@thread"}));
  EXPECT_TRUE(WaitUntil([&] { return !source.IsSourceThreadRunning(); }));
  Disconnect(&source, &sink);
  sink.StopSink();
}

}  // namespace
}  // namespace tarsio
