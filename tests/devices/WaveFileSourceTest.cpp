#include "devices/WaveFileSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "devices/FileSourceListener.h"
#include "dsp/ACMTransformer.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "framework/AudioTransformer.h"
#include "platform/Thread.h"
#include "support/WavTestFiles.h"

namespace tarsio {
namespace {

using testing::BuildRiff;
using testing::Bytes;
using testing::Chunk;
using testing::FmtPayload;
using testing::LinearFormat;

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + i / 256);
  return b;
}

// Pulls one frame; returns the result and appends the frame's bytes.
int32_t Pull(WaveFileSource& source, Bytes* into, int32_t* size = nullptr) {
  AudioSample* s = nullptr;
  const int32_t r = source.GenerateData(&s);
  if (s != nullptr) {
    if (size != nullptr) *size = s->GetDataSize();
    into->insert(into->end(), s->GetData(), s->GetData() + s->GetDataSize());
    s->Release(nullptr);
  }
  return r;
}

TEST(WaveFileSourceTest, OpenRefusesMalformedFilesWithTheirCodes) {
  testing::TempDir dir;
  const Bytes fmt = FmtPayload(LinearFormat(1, 1, 8000, 16));
  testing::WavFormat zeroRate = LinearFormat(1, 1, 8000, 16);
  zeroRate.avgBytesPerSec = 0;
  Bytes notRiff = testing::BuildWav(LinearFormat(1, 1, 8000, 16), Pattern(8));
  notRiff[0] = 'X';
  Bytes cutInFmt = testing::BuildWav(LinearFormat(1, 1, 8000, 16), Pattern(8));
  cutInFmt.resize(12 + 8 + 10);
  struct Case {
    const char* name;
    Bytes bytes;
    int32_t expected;
  };
  const Case cases[] = {
      {"empty file", {}, WaveFileSource::kErrNotWave},
      {"not RIFF", notRiff, WaveFileSource::kErrNotWave},
      {"RIFF but AVI", BuildRiff({{"fmt ", fmt}, {"data", Pattern(8)}}, "AVI "),
       WaveFileSource::kErrNotWave},
      {"no fmt", BuildRiff({{"data", Pattern(8)}}), WaveFileSource::kErrNoFormat},
      {"fmt cut short by the end of the file", cutInFmt, WaveFileSource::kErrBadFormat},
      {"fmt size 2 GB", BuildRiff({{"fmt ", fmt, 0x7FFFFFF0}}), WaveFileSource::kErrBadFormat},
      {"average byte rate 0", BuildRiff({{"fmt ", FmtPayload(zeroRate)}, {"data", Pattern(8)}}),
       WaveFileSource::kErrBadFormat},
      {"fmt of 6 bytes (no byte rate)",
       BuildRiff({{"fmt ", Bytes(fmt.begin(), fmt.begin() + 6)}, {"data", Pattern(8)}}),
       WaveFileSource::kErrBadFormat},
      {"no data", BuildRiff({{"fmt ", fmt}, {"LIST", Pattern(9)}}), WaveFileSource::kErrNoData},
      {"empty data", BuildRiff({{"fmt ", fmt}, {"data", {}}}), WaveFileSource::kErrEmptyData},
      {"data of half a block", BuildRiff({{"fmt ", fmt}, {"data", Pattern(1)}}),
       WaveFileSource::kErrEmptyData},
      {"data header only, size beyond the file", BuildRiff({{"fmt ", fmt}, {"data", {}, 5000}}),
       WaveFileSource::kErrEmptyData},
  };
  int n = 0;
  for (const Case& c : cases) {
    WaveFileSource source;
    const std::string path = dir.Write("case" + std::to_string(n++) + ".wav", c.bytes);
    EXPECT_EQ(source.OpenWaveFile(path.c_str()), c.expected) << c.name;
    EXPECT_EQ(source.OpenWaveMemory(c.bytes.data(), c.bytes.size(), "mem"), c.expected) << c.name;
    WAVEFORMATEX f{};
    f.wFormatTag = 0x4242;
    EXPECT_EQ(source.GetFormat(&f), 0);
    EXPECT_EQ(f.wFormatTag, 0x4242) << c.name << ": left open";
    EXPECT_EQ(source.FrameBytes(), 0u) << c.name;
  }

  WaveFileSource source;
  EXPECT_EQ(source.OpenWaveFile((dir.Path() + "/missing.wav").c_str()),
            WaveFileSource::kErrCannotOpen);
  EXPECT_EQ(source.OpenWaveFile(""), WaveFileSource::kErrCannotOpen);
  EXPECT_EQ(source.OpenWaveFile(nullptr), WaveFileSource::kErrNameLength);
  // Name length: 127 characters are accepted, 128 are not.
  const Bytes good = testing::BuildWav(LinearFormat(1, 1, 8000, 16), Pattern(640));
  std::string name = dir.Path() + "/";
  name += std::string(127 - name.size() - 4, 'n') + ".wav";
  ASSERT_EQ(name.size(), 127u);
  dir.Write(name.substr(dir.Path().size() + 1), good);
  EXPECT_EQ(source.OpenWaveFile(name.c_str()), 0);
  const std::string longer =
      dir.Path() + "/" + std::string(128 - dir.Path().size() - 5, 'n') + ".wav";
  ASSERT_EQ(longer.size(), 128u);
  EXPECT_EQ(source.OpenWaveFile(longer.c_str()), WaveFileSource::kErrNameLength);
  // Running: refused with -70 and the open file is kept.
  ASSERT_EQ(source.OpenWaveFile(name.c_str()), 0);
  ASSERT_EQ(source.SourceStarted(), 0);
  EXPECT_EQ(source.OpenWaveFile(name.c_str()), WaveFileSource::kErrRunning);
  EXPECT_EQ(source.FrameBytes(), 320u);
  EXPECT_EQ(source.SourceStopped(), 0);
  EXPECT_EQ(source.FrameBytes(), 0u);  // closed
  EXPECT_EQ(source.SourceStopped(), -10);
}

TEST(WaveFileSourceTest, FormatChunksAreNormalised) {
  // 14-byte fmt (no bits field): zero-filled to 18 bytes.
  {
    const Bytes fmt = FmtPayload(LinearFormat(6, 1, 8000, 8));
    const Bytes bytes =
        BuildRiff({{"fmt ", Bytes(fmt.begin(), fmt.begin() + 14)}, {"data", Pattern(10)}});
    WaveFileSource source;
    ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "short"), 0);
    WAVEFORMATEX f;
    source.GetFormat(&f);
    EXPECT_EQ(f.wFormatTag, 6);
    EXPECT_EQ(f.nAvgBytesPerSec, 8000u);
    EXPECT_EQ(f.nBlockAlign, 1);
    EXPECT_EQ(f.wBitsPerSample, 0);
    EXPECT_EQ(f.cbSize, 0);
  }
  // Extensible (40 bytes) with the float sub-format: handed out as tag 3 with cbSize 0.
  {
    testing::WavFormat w = LinearFormat(0xFFFE, 2, 48000, 32);
    Bytes extra = {22, 0, 32,   0, 3,    0, 0, 0,    3, 0,    0,    0,
                   0,  0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    const Bytes bytes = BuildRiff({{"fmt ", FmtPayload(w, extra)}, {"data", Pattern(16)}});
    WaveFileSource source;
    ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "ext"), 0);
    WAVEFORMATEX f;
    source.GetFormat(&f);
    EXPECT_EQ(f.wFormatTag, 3);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.cbSize, 0);
  }
}

TEST(WaveFileSourceTest, SinglePlayDeliversOnlyTheDataChunk) {
  testing::TempDir dir;
  // 8-bit mono: 160-byte frames. Odd data (pad byte follows), then a LIST chunk; fmt after data.
  const Bytes data = Pattern(1001);
  const Bytes bytes = BuildRiff({{"data", data},
                                 {"LIST", Bytes{'I', 'N', 'F', 'O', 0xEE, 0xEE, 0xEE}},
                                 {"fmt ", FmtPayload(LinearFormat(1, 1, 8000, 8))}});
  WaveFileSource source;
  ASSERT_EQ(source.OpenWaveFile(dir.Write("a.wav", bytes).c_str()), 0);
  EXPECT_EQ(source.DataStart(), 20u);
  EXPECT_EQ(source.DataSize(), 1001u);
  EXPECT_EQ(source.FrameBytes(), 160u);

  // Not running yet: 20 ms silence markers.
  AudioSample* s = nullptr;
  ASSERT_EQ(source.GenerateData(&s), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->GetDataSize(), 0);
  EXPECT_EQ(s->GetSilenceDuration(), 20);
  s->Release(nullptr);

  ASSERT_EQ(source.SourceStarted(), 0);
  Bytes got;
  std::vector<int32_t> sizes;
  int32_t r = 0;
  for (int i = 0; i < 20 && r == 0; ++i) {
    int32_t size = -1;
    r = Pull(source, &got, &size);
    if (r == 0) sizes.push_back(size);
  }
  EXPECT_EQ(r, WaveFileSource::kErrEndOfData);
  EXPECT_EQ(got, data);
  EXPECT_EQ(sizes, (std::vector<int32_t>{160, 160, 160, 160, 160, 160, 41}));
  EXPECT_EQ(Pull(source, &got), WaveFileSource::kErrEndOfData);
  source.SourceStopped();

  // A file cut short inside its data: what is there is played, then the play ends.
  Bytes cut = testing::BuildWav(LinearFormat(1, 1, 8000, 16), Pattern(1000));
  cut.resize(44 + 700);
  ASSERT_EQ(source.OpenWaveMemory(cut.data(), cut.size(), "cut"), 0);
  EXPECT_EQ(source.DataSize(), 700u);
  source.SourceStarted();
  got.clear();
  while (Pull(source, &got) == 0) {
  }
  EXPECT_EQ(got, Bytes(cut.begin() + 44, cut.end()));
  source.SourceStopped();
}

TEST(WaveFileSourceTest, LoopWrapsToTheDataStartInFullFrames) {
  const Bytes data = Pattern(1000);  // not a multiple of the 320-byte frame
  const Bytes bytes = BuildRiff(
      {{"fmt ", FmtPayload(LinearFormat(1, 1, 8000, 16))}, {"data", data}, {"LIST", Pattern(33)}});
  WaveFileSource source;
  ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "loop"), 0);
  ASSERT_EQ(source.PlayInLoop(), 0);
  ASSERT_EQ(source.SourceStarted(), 0);
  Bytes got;
  for (int i = 0; i < 25; ++i) {
    int32_t size = 0;
    ASSERT_EQ(Pull(source, &got, &size), 0);
    EXPECT_EQ(size, 320);
  }
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], data[i % data.size()]) << i;
  source.SourceStopped();
  // A new open clears the loop flag.
  ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "again"), 0);
  source.SourceStarted();
  got.clear();
  while (Pull(source, &got) == 0) {
  }
  EXPECT_EQ(got, data);
  source.SourceStopped();
}

TEST(WaveFileSourceTest, LargeFramesAreCutToWholeBlocks) {
  struct Case {
    testing::WavFormat format;
    uint32_t frame;
  };
  const Case cases[] = {
      {LinearFormat(1, 2, 44100, 16), 3200},  // 3528 wanted: 800 blocks of 4
      {LinearFormat(1, 2, 48000, 24), 3198},  // 5760 wanted: 533 blocks of 6
      {LinearFormat(3, 2, 48000, 32), 3200},  {LinearFormat(1, 1, 8000, 16), 320},
      {testing::ImaFormat(1, 8000, 256), 81},
  };
  for (const Case& c : cases) {
    const Bytes bytes = testing::BuildWav(c.format, Pattern(c.format.blockAlign * 2000u));
    WaveFileSource source;
    ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "big"), 0);
    EXPECT_EQ(source.FrameBytes(), c.frame) << c.format.rate;
    source.SourceStarted();
    Bytes got;
    int32_t size = 0;
    EXPECT_EQ(Pull(source, &got, &size), 0);
    EXPECT_EQ(static_cast<uint32_t>(size), c.frame);
    source.SourceStopped();
  }
}

WAVEFORMATEX ToWave(const testing::WavFormat& w) {
  WAVEFORMATEX f;
  f.wFormatTag = w.tag;
  f.nChannels = w.channels;
  f.nSamplesPerSec = w.rate;
  f.nAvgBytesPerSec = w.avgBytesPerSec;
  f.nBlockAlign = w.blockAlign;
  f.wBitsPerSample = w.bitsPerSample;
  return f;
}

int32_t Push(ACMTransformer& acm, const WAVEFORMATEX& format, const uint8_t* data, size_t n) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(format);
  if (n > 0) std::memcpy(s->GetData(), data, n);
  s->SetDataSize(static_cast<int32_t>(n));
  AudioSampleList list{{s, nullptr}};
  const int32_t r = acm.RenderAudioSamples(list);
  s->Release(nullptr);
  return r;
}

void PullAll(ACMTransformer& acm, Bytes* into) {
  AudioSample* s = nullptr;
  while (acm.GenerateData(&s) == 0) {
    into->insert(into->end(), s->GetData(), s->GetData() + s->GetDataSize());
    s->Release(nullptr);
  }
}

std::vector<int16_t> AsPcm(const Bytes& b) {
  std::vector<int16_t> s(b.size() / 2);
  for (size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<int16_t>(static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
  }
  return s;
}

// The file play's chain without threads: file source -> converter -> 20 ms frames of 8 kHz PCM.
TEST(WaveFileSourceTest, FilesOfEveryFormatBecome8kHzPcmKeepingTheTone) {
  struct Case {
    const char* name;
    testing::WavFormat format;
  };
  const Case cases[] = {
      {"44.1 kHz stereo 16-bit", LinearFormat(1, 2, 44100, 16)},
      {"48 kHz stereo float", LinearFormat(3, 2, 48000, 32)},
      {"8 kHz 8-bit unsigned", LinearFormat(1, 1, 8000, 8)},
      {"22.05 kHz 8-bit unsigned", LinearFormat(1, 1, 22050, 8)},
      {"8 kHz A-law", LinearFormat(6, 1, 8000, 8)},
      {"8 kHz mu-law", LinearFormat(7, 1, 8000, 8)},
      {"8 kHz IMA ADPCM", testing::ImaFormat(1, 8000, 256)},
      {"22.05 kHz stereo IMA ADPCM", testing::ImaFormat(2, 22050, 1024)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::WavFormat& f = c.format;
    const std::vector<float> tone = testing::Sine(1000.0, 0.5, f.rate, f.rate, f.channels);
    Bytes data;
    if (f.tag == 6 || f.tag == 7) {
      // Encode through the converter itself: PCM -> G.711 at 8 kHz.
      ACMTransformer enc;
      enc.SetDestinationFormat(ToWave(f));
      ASSERT_EQ(enc.StartTransform(), 0);
      const Bytes pcm = testing::EncodeLinear(tone, 1, 16);
      for (size_t at = 0; at < pcm.size(); at += 3200) {
        ASSERT_EQ(Push(enc, PcmFormat(), pcm.data() + at, std::min<size_t>(3200, pcm.size() - at)),
                  0);
        PullAll(enc, &data);
      }
      enc.StopTransform();
      ASSERT_EQ(data.size(), 8000u);
    } else if (f.tag == 0x11) {
      std::vector<int16_t> pcm(tone.size());
      for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(std::lround(tone[i] * 32767));
      data = testing::EncodeIma(pcm, f.channels, f.blockAlign);
    } else {
      data = testing::EncodeLinear(tone, f.tag, f.bitsPerSample);
    }
    const Bytes file = testing::BuildWav(f, data);
    const double fileSeconds = static_cast<double>(data.size()) / f.avgBytesPerSec;

    WaveFileSource source;
    ASSERT_EQ(source.OpenWaveMemory(file.data(), file.size(), c.name), 0);
    ACMTransformer acm;
    WAVEFORMATEX format;
    source.GetFormat(&format);
    acm.SetSourceFormat(format);
    acm.SetDestinationFormat(PcmFormat());
    ASSERT_EQ(acm.StartTransform(), 0);
    ASSERT_EQ(source.SourceStarted(), 0);
    Bytes out;
    for (int frame = 0; frame < 1000; ++frame) {
      AudioSample* s = nullptr;
      const int32_t r = source.GenerateData(&s);
      if (r != 0) break;
      AudioSampleList list{{s, &source}};
      EXPECT_EQ(acm.RenderAudioSamples(list), 0);
      s->Release(nullptr);
      PullAll(acm, &out);
    }
    source.SourceStopped();
    acm.StopTransform();
    acm.FlushBuffer();
    const std::vector<int16_t> pcm = AsPcm(out);
    // Whole frames of the file's duration, less what the resampler still holds (< 150 ms).
    EXPECT_EQ(pcm.size() % 160, 0u);
    EXPECT_LE(pcm.size(), static_cast<size_t>(fileSeconds * 8000) + 1);
    EXPECT_GE(pcm.size(), static_cast<size_t>((fileSeconds - 0.15) * 8000));
    const testing::ToneMeasure m =
        testing::MeasureTone(std::vector<int16_t>(pcm.begin() + 400, pcm.end()), 8000);
    EXPECT_NEAR(m.frequency, 1000.0, 2.0);
    EXPECT_NEAR(m.rms, 0.5 / std::sqrt(2.0), 0.5 / std::sqrt(2.0) * 0.05);
  }
}

// Records notifications with the thread they came on.
class RecordingListener : public FileSourceListener {
 public:
  void FilePlayStarted(WaveFileSource*, const char* name) override { Add("started", name); }
  void FilePlayStopped(WaveFileSource*, const char* name) override { Add("stopped", name); }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> l(m_);
    return events_;
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::seconds(5), [&] { return events_.size() >= count; });
  }
  uint32_t stoppedThread = 0;
  uint32_t startedThread = 0;

 private:
  void Add(const char* what, const char* name) {
    std::lock_guard<std::mutex> l(m_);
    events_.push_back(std::string(what) + ":" + name);
    (std::string(what) == "started" ? startedThread : stoppedThread) = CurrentThreadId();
    cv_.notify_all();
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

class CollectingSink : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> l(m_);
    for (auto& [s, from] : samples) {
      if (s != nullptr) bytes_.insert(bytes_.end(), s->GetData(), s->GetData() + s->GetDataSize());
    }
    cv_.notify_all();
    return 0;
  }
  bool WaitForBytes(size_t n) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, std::chrono::seconds(5), [&] { return bytes_.size() >= n; });
  }
  Bytes Got() {
    std::lock_guard<std::mutex> l(m_);
    return bytes_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  Bytes bytes_;
};

TEST(WaveFileSourceTest, ThreadNotifiesListenersAndClosesTheFile) {
  const Bytes data = Pattern(3000);
  const Bytes bytes = testing::BuildWav(LinearFormat(1, 1, 8000, 16), data);
  WaveFileSource source;
  RecordingListener listener;
  EXPECT_EQ(source.AddListener(&listener), 0);
  EXPECT_EQ(source.AddListener(&listener), 0);  // once only
  CollectingSink sink;
  ASSERT_EQ(sink.StartSink(), 0);
  Connect(&source, &sink);
  ASSERT_EQ(source.OpenWaveMemory(bytes.data(), bytes.size(), "tone.wav"), 0);

  ASSERT_EQ(source.StartSourceThread(), 0);
  // FILE_STARTED came on this thread, before the start returned.
  EXPECT_EQ(listener.Events(), std::vector<std::string>{"started:tone.wav"});
  EXPECT_EQ(listener.startedThread, CurrentThreadId());
  ASSERT_TRUE(sink.WaitForBytes(data.size()));
  EXPECT_EQ(sink.Got(), data);
  EXPECT_EQ(source.StopSourceThread(), 0);
  ASSERT_TRUE(listener.WaitFor(2));
  EXPECT_EQ(listener.Events(), (std::vector<std::string>{"started:tone.wav", "stopped:tone.wav"}));
  EXPECT_NE(listener.stoppedThread, CurrentThreadId());
  EXPECT_FALSE(source.IsRunning());
  EXPECT_EQ(source.FrameBytes(), 0u);  // the thread's end closed the file

  // No file open: the thread is refused, yet both notifications come.
  EXPECT_EQ(source.StartSourceThread(), -30);
  ASSERT_TRUE(listener.WaitFor(4));
  EXPECT_EQ(listener.Events()[2], "started:tone.wav");
  EXPECT_EQ(listener.Events()[3], "stopped:tone.wav");
  for (int i = 0; i < 500 && source.IsSourceThreadRunning(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Disconnect(&source, &sink);
  sink.StopSink();
}

}  // namespace
}  // namespace tarsio
