// The waveform-device model over the file and null backends: WAV files in and out, the valid
// header of a growing recording, real-time pacing, buffer flags, callbacks and result codes, and
// the backend selection texts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/AudioBackendSelector.h"
#include "platform/FileAudioBackend.h"
#include "platform/NullAudioBackend.h"
#include "platform/WavFile.h"
#include "platform/WaveAudioIn.h"
#include "platform/WaveAudioOut.h"

namespace tarsio {
namespace {

const WAVEFORMATEX kPcm{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

std::string TempPath(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() / ("tarsio-audio-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

std::vector<uint8_t> Ramp(size_t samples, int start) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < samples; ++i) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(start + static_cast<int>(i) * 7));
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  return bytes;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Records every callback of a device.
struct CallbackLog {
  std::mutex mutex;
  std::vector<uint32_t> messages;
  std::vector<WAVEHDR*> headers;
  std::vector<std::vector<uint8_t>> data;  // capture: the recorded bytes at WIM_DATA

  static void Proc(WaveAudioDevice*, uint32_t message, uintptr_t instance, uintptr_t p1,
                   uintptr_t) {
    auto* self = reinterpret_cast<CallbackLog*>(instance);
    std::lock_guard<std::mutex> lk(self->mutex);
    self->messages.push_back(message);
    auto* header = reinterpret_cast<WAVEHDR*>(p1);
    self->headers.push_back(header);
    if (message == WIM_DATA) {
      self->data.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
    }
  }
  size_t Count(uint32_t message) {
    std::lock_guard<std::mutex> lk(mutex);
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
  }
  bool WaitCount(uint32_t message, size_t n) {
    for (int i = 0; i < 5000 && Count(message) < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Count(message) >= n;
  }
};

TEST(AudioBackendFileTest, WavFileHeaderStaysValidWhileGrowingAndReadsBack) {
  const std::string path = TempPath("grow.wav");
  const auto a = Ramp(160, -500);
  const auto b = Ramp(80, 300);
  {
    WavFile out;
    std::string error;
    ASSERT_TRUE(out.OpenWrite(path, kPcm, &error)) << error;
    auto bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(Le32At(bytes, 4), 36u);
    EXPECT_EQ(Le32At(bytes, 40), 0u);
    ASSERT_TRUE(out.Append(a.data(), static_cast<uint32_t>(a.size())));
    // Without closing: another reader sees a complete file of the first buffer.
    bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 44u + 320u);
    EXPECT_EQ(Le32At(bytes, 4), 36u + 320u);
    EXPECT_EQ(Le32At(bytes, 40), 320u);
    WavFile reader;
    ASSERT_TRUE(reader.OpenRead(path, &error)) << error;
    EXPECT_EQ(reader.DataSize(), 320u);
    EXPECT_EQ(reader.Format(), kPcm);
    ASSERT_TRUE(out.Append(b.data(), static_cast<uint32_t>(b.size())));
  }
  WavFile in;
  std::string error;
  ASSERT_TRUE(in.OpenRead(path, &error)) << error;
  std::vector<uint8_t> got(1000);
  const uint32_t n = in.Read(got.data(), 1000);
  ASSERT_EQ(n, 480u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), got.begin()));
  EXPECT_TRUE(std::equal(b.begin(), b.end(), got.begin() + 320));
  EXPECT_EQ(in.Read(got.data(), 10), 0u);

  // Files that are not PCM WAV are refused with a reason.
  const std::string bad = TempPath("bad.wav");
  std::ofstream(bad, std::ios::binary) << "RIFF\x04\0\0\0WAVX";
  EXPECT_FALSE(in.OpenRead(bad, &error));
  EXPECT_NE(error.find("RIFF"), std::string::npos);
  EXPECT_FALSE(in.OpenRead(TempPath("missing.wav"), &error));
}

TEST(AudioBackendFileTest, CaptureDeliversFileThenSilenceWithFlagsAndCallbacks) {
  const std::string path = TempPath("in.wav");
  const auto audio = Ramp(400, 1000);  // 800 bytes: two and a half 320-byte buffers
  {
    WavFile out;
    std::string error;
    ASSERT_TRUE(out.OpenWrite(path, kPcm, &error));
    out.Append(audio.data(), static_cast<uint32_t>(audio.size()));
  }
  FileAudioBackend backend(path, "");
  CallbackLog log;
  std::unique_ptr<WaveAudioIn> in;
  ASSERT_EQ(WaveAudioIn::Open(backend, &in, 5, &kPcm, &CallbackLog::Proc,
                              reinterpret_cast<uintptr_t>(&log)),
            MMSYSERR_BADDEVICEID);
  ASSERT_EQ(WaveAudioIn::Open(backend, &in, WAVE_MAPPER, &kPcm, &CallbackLog::Proc,
                              reinterpret_cast<uintptr_t>(&log)),
            MMSYSERR_NOERROR);
  ASSERT_TRUE(log.WaitCount(WIM_OPEN, 1));

  uint8_t data[4][320];
  WAVEHDR headers[4];
  for (int i = 0; i < 4; ++i) {
    headers[i].lpData = data[i];
    headers[i].dwBufferLength = 320;
    headers[i].dwUser = static_cast<uintptr_t>(i);
    EXPECT_EQ(in->AddBuffer(&headers[i], kWaveHdrSize), WAVERR_UNPREPARED);
    EXPECT_EQ(in->PrepareHeader(&headers[i], 31), MMSYSERR_INVALPARAM);
    ASSERT_EQ(in->PrepareHeader(&headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
    EXPECT_EQ(headers[i].dwFlags, WHDR_PREPARED);
    ASSERT_EQ(in->AddBuffer(&headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
    EXPECT_EQ(headers[i].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  }
  EXPECT_EQ(in->AddBuffer(&headers[0], kWaveHdrSize), WAVERR_STILLPLAYING);
  EXPECT_EQ(in->UnprepareHeader(&headers[0], kWaveHdrSize), WAVERR_STILLPLAYING);
  EXPECT_EQ(in->Close(), WAVERR_STILLPLAYING);
  // Nothing is recorded before Start.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(log.Count(WIM_DATA), 0u);

  ASSERT_EQ(in->Start(), MMSYSERR_NOERROR);
  ASSERT_TRUE(log.WaitCount(WIM_DATA, 4));
  {
    std::lock_guard<std::mutex> lk(log.mutex);
    ASSERT_EQ(log.data.size(), 4u);
    std::vector<uint8_t> joined;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(log.headers[static_cast<size_t>(i) + 1], &headers[i]);
      EXPECT_EQ(log.data[static_cast<size_t>(i)].size(), 320u);
      joined.insert(joined.end(), log.data[static_cast<size_t>(i)].begin(),
                    log.data[static_cast<size_t>(i)].end());
    }
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + 800, joined.end(), [](uint8_t v) { return v == 0; }));
  }
  for (auto& header : headers) {
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(in->UnprepareHeader(&header, kWaveHdrSize), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_DONE);
  }
  EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(in->PrepareHeader(&headers[0], kWaveHdrSize), MMSYSERR_INVALHANDLE);
  std::lock_guard<std::mutex> lk(log.mutex);
  EXPECT_EQ(log.messages.front(), WIM_OPEN);
  EXPECT_EQ(log.messages.back(), WIM_CLOSE);
}

TEST(AudioBackendFileTest, ResetReturnsQueuedBuffersAndPlaybackLandsInWav) {
  const std::string path = TempPath("out.wav");
  FileAudioBackend backend("", path);
  CallbackLog log;
  std::unique_ptr<WaveAudioOut> out;
  ASSERT_EQ(WaveAudioOut::Open(backend, &out, 0, &kPcm, &CallbackLog::Proc,
                               reinterpret_cast<uintptr_t>(&log)),
            MMSYSERR_NOERROR);
  uint8_t data[6][320];
  WAVEHDR headers[6];
  std::vector<uint8_t> expected;
  for (int i = 0; i < 6; ++i) {
    const auto ramp = Ramp(160, i * 100);
    std::memcpy(data[i], ramp.data(), 320);
    headers[i].lpData = data[i];
    headers[i].dwBufferLength = i == 1 ? 160 : 320;  // a short buffer plays only its length
    ASSERT_EQ(out->PrepareHeader(&headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
    if (i < 3) expected.insert(expected.end(), ramp.begin(), ramp.begin() + (i == 1 ? 160 : 320));
  }
  for (int i = 0; i < 3; ++i) ASSERT_EQ(out->Write(&headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
  ASSERT_TRUE(log.WaitCount(WOM_DONE, 3));
  // Queue three more and reset at once: they come back done, and not all of them were played.
  for (int i = 3; i < 6; ++i) ASSERT_EQ(out->Write(&headers[i], kWaveHdrSize), MMSYSERR_NOERROR);
  ASSERT_EQ(out->Reset(), MMSYSERR_NOERROR);
  // Every buffer comes back done; the callbacks arrive on the device's thread, maybe just after.
  EXPECT_TRUE(log.WaitCount(WOM_DONE, 6));
  EXPECT_EQ(log.Count(WOM_DONE), 6u);
  for (auto& header : headers) {
    EXPECT_EQ(header.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    ASSERT_EQ(out->UnprepareHeader(&header, kWaveHdrSize), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(out->SetVolume(0x7FFF7FFF), MMSYSERR_NOERROR);
  uint32_t volume = 0;
  EXPECT_EQ(out->GetVolume(&volume), MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0x7FFF7FFFu);
  ASSERT_EQ(out->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(log.Count(WOM_CLOSE), 1u);

  const auto bytes = ReadAll(path);
  ASSERT_GE(bytes.size(), 44u + expected.size());
  EXPECT_EQ(Le32At(bytes, 40), bytes.size() - 44);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + 44));
  EXPECT_LT(bytes.size(), 44u + expected.size() + 3 * 320);
}

TEST(AudioBackendFileTest, PacingHoldsRealTimeOverSeconds) {
  // 100 buffers of 20 ms in each direction of each paced backend (run side by side) must take
  // 2 s: not less, and not much more.
  std::vector<std::shared_ptr<AudioBackend>> backends = {
      std::make_shared<NullAudioBackend>(),
      std::make_shared<FileAudioBackend>("", TempPath("paced.wav"))};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::vector<long> elapsed(4, 0);
  for (size_t b = 0; b < backends.size(); ++b) {
    for (AudioDirection direction : {AudioDirection::kCapture, AudioDirection::kPlayback}) {
      const size_t slot = b * 2 + (direction == AudioDirection::kCapture ? 0 : 1);
      threads.emplace_back([&, b, direction, slot] {
        std::unique_ptr<AudioBackend::Stream> stream;
        if (backends[b]->Open(direction, -1, kPcm, &stream) != MMSYSERR_NOERROR) {
          ++failures;
          return;
        }
        uint8_t buffer[320] = {};
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; ++i) {
          uint32_t got = 0;
          const uint32_t r = direction == AudioDirection::kCapture ? stream->Read(buffer, 320, &got)
                                                                   : stream->Write(buffer, 320);
          if (r != MMSYSERR_NOERROR) ++failures;
        }
        elapsed[slot] = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
        if (stream->Close() != MMSYSERR_NOERROR) ++failures;
      });
    }
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (size_t i = 0; i < elapsed.size(); ++i) {
    EXPECT_GE(elapsed[i], 1995) << "stream " << i;
    EXPECT_LE(elapsed[i], 2400) << "stream " << i;
  }
  // The recording holds exactly the 100 buffers.
  EXPECT_EQ(ReadAll(TempPath("paced.wav")).size(), 44u + 100u * 320u);
}

TEST(AudioBackendFileTest, InterruptWakesAPacedReadAtOnce) {
  NullAudioBackend backend;
  std::unique_ptr<AudioBackend::Stream> stream;
  const WAVEFORMATEX slow{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
  ASSERT_EQ(backend.Open(AudioDirection::kCapture, 0, slow, &stream), MMSYSERR_NOERROR);
  std::vector<uint8_t> big(32000);  // 2 s of audio in one read
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stream->SetInterrupted(true);
  });
  const auto start = std::chrono::steady_clock::now();
  uint32_t got = 0;
  EXPECT_EQ(stream->Read(big.data(), 32000, &got), MMSYSERR_ERROR);
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  stream->SetInterrupted(false);
}

TEST(AudioBackendFileTest, SelectorParsesNamesAndListsDevices) {
  struct Case {
    const char* text;
    const char* name;
    std::string capture;
    std::string playback;
  };
  const Case cases[] = {
      {"null", "null", "", ""},
      {"alsa", "alsa", "", ""},
      {"alsa:plughw:CARD=PCH,DEV=0", "alsa", "", ""},
      {"file", "file", "", ""},
      {"file:capture=in.wav,playback=out.wav", "file", "in.wav", "out.wav"},
      {"file:playback=/tmp/x.wav", "file", "", "/tmp/x.wav"},
  };
  for (const Case& c : cases) {
    std::string error;
    auto backend = AudioBackendSelector::Create(c.text, &error);
    ASSERT_NE(backend, nullptr) << c.text << ": " << error;
    EXPECT_EQ(backend->Name(), c.name) << c.text;
    if (auto* file = dynamic_cast<FileAudioBackend*>(backend.get())) {
      EXPECT_EQ(file->CapturePath(), c.capture);
      EXPECT_EQ(file->PlaybackPath(), c.playback);
    }
  }
  for (const char* bad : {"", "pulse", "file:mic=x.wav", "alsa:"}) {
    std::string error;
    EXPECT_EQ(AudioBackendSelector::Create(bad, &error), nullptr) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }

  std::string error;
  ASSERT_TRUE(AudioBackendSelector::Select("file:capture=a.wav,playback=b.wav", &error));
  EXPECT_EQ(AudioBackendSelector::Current()->Name(), "file");
  const auto lines = AudioBackendSelector::DeviceList();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "capture 0: WAV file a.wav");
  EXPECT_EQ(lines[1], "playback 0: WAV file b.wav");
  std::string name;
  EXPECT_EQ(WaveAudioOut::GetNumDevs(*AudioBackendSelector::Current()), 1u);
  EXPECT_EQ(WaveAudioIn::GetDevName(*AudioBackendSelector::Current(), 0, &name), 0u);
  EXPECT_EQ(name, "WAV file a.wav");
  EXPECT_FALSE(AudioBackendSelector::Select("bogus", &error));
  EXPECT_EQ(AudioBackendSelector::Current()->Name(), "file");

  // The environment decides once nothing was selected.
  AudioBackendSelector::Install(nullptr);
  ::setenv("TARSIO_AUDIO", "null", 1);
  EXPECT_EQ(AudioBackendSelector::Current()->Name(), "null");
  ::unsetenv("TARSIO_AUDIO");
  AudioBackendSelector::Install(nullptr);
}

}  // namespace
}  // namespace tarsio
