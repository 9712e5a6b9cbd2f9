// The WinMM sound backend against a real sound device paced by its own clock (under Wine: a
// private PulseAudio daemon, scripts/pulse-test-server.sh, whose PULSE_SERVER scripts/test.sh
// passes to the Windows tests): playback and capture run in real time, Reset and Close end a
// Write blocked on a full ring, SetInterrupted ends a blocked Read, capture restarts after a
// Reset, and the output volume reads back what was set. Skipped without a sound device.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "platform/AudioBackendSelector.h"
#include "platform/WaveAudioTypes.h"
#include "platform/win32/WinmmAudioBackend.h"
#include "support/ScopedEnv.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using Stream = AudioBackend::Stream;

// The engine's format: 8 kHz, 16-bit, mono; 20 ms frames.
const WAVEFORMATEX kFormat{kWaveFormatPcm, 1, 8000, 16000, 2, 16, 0};
constexpr uint32_t kFrameBytes = 320;
constexpr uint32_t kSecondBytes = 16000;

int64_t ElapsedMs(steady_clock::time_point since, steady_clock::time_point until) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(until - since).count();
}
int64_t ElapsedMs(steady_clock::time_point since) { return ElapsedMs(since, steady_clock::now()); }

// A 440 Hz tone continuing from *phase.
std::vector<uint8_t> Tone(uint32_t bytes, double* phase) {
  std::vector<uint8_t> data(bytes);
  for (uint32_t i = 0; i + 1 < bytes; i += 2) {
    const auto sample = static_cast<int16_t>(8000 * std::sin(*phase));
    *phase += 2 * 3.14159265358979 * 440 / 8000;
    data[i] = static_cast<uint8_t>(sample & 0xFF);
    data[i + 1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
  }
  return data;
}

class WinmmBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::waveOutGetNumDevs() == 0 || ::waveInGetNumDevs() == 0) {
      GTEST_SKIP() << "no sound device (playback devices: " << ::waveOutGetNumDevs()
                   << ", capture devices: " << ::waveInGetNumDevs() << ")";
    }
  }
  std::unique_ptr<Stream> Open(AudioDirection direction) {
    std::unique_ptr<Stream> stream;
    EXPECT_EQ(backend_.Open(direction, wave::kMapper, kFormat, &stream), mmsys::kNoError);
    EXPECT_NE(stream, nullptr);
    return stream;
  }

  WinmmAudioBackend backend_;
};

// The lists are the system's, and the selector hands out this backend by name and by default.
TEST_F(WinmmBackendTest, DevicesAndSelection) {
  const auto outputs = backend_.Devices(AudioDirection::kPlayback);
  const auto inputs = backend_.Devices(AudioDirection::kCapture);
  EXPECT_EQ(outputs.size(), ::waveOutGetNumDevs());
  EXPECT_EQ(inputs.size(), ::waveInGetNumDevs());
  for (const auto& device : outputs) EXPECT_FALSE(device.description.empty());
  for (const auto& device : inputs) EXPECT_FALSE(device.description.empty());
  std::unique_ptr<Stream> stream;
  EXPECT_EQ(backend_.Open(AudioDirection::kPlayback, static_cast<int32_t>(outputs.size()), kFormat,
                          &stream),
            mmsys::kBadDeviceId);
  EXPECT_EQ(stream, nullptr);

  std::string error;
  auto named = AudioBackendSelector::Create("winmm", &error);
  ASSERT_NE(named, nullptr) << error;
  EXPECT_EQ(named->Name(), "winmm");
  testing::ScopedEnv noChoice("TARSIO_AUDIO", nullptr);
  AudioBackendSelector::Install(nullptr);
  EXPECT_EQ(AudioBackendSelector::Current()->Name(), "winmm");
  AudioBackendSelector::Install(nullptr);
}

// 2 s of tone in 20 ms writes take about 2 s: the ring fills at once, then every Write waits for
// the device. The volume goes to the device and reads back (through a float gain: ±1).
TEST_F(WinmmBackendTest, PlaybackIsPacedAndHasAVolume) {
  auto out = Open(AudioDirection::kPlayback);
  ASSERT_NE(out, nullptr);
  double phase = 0;
  const auto start = steady_clock::now();
  int failed = 0;
  for (uint32_t sent = 0; sent < 2 * kSecondBytes; sent += kFrameBytes) {
    const auto tone = Tone(kFrameBytes, &phase);
    if (out->Write(tone.data(), kFrameBytes) != mmsys::kNoError) ++failed;
  }
  const int64_t ms = ElapsedMs(start);
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(ms >= 1500 && ms <= 4000) << "2 s of tone written in " << ms << " ms";
  EXPECT_GT(out->OutputLatencyMs(), 0);

  for (const uint32_t level : {0x40004000u, 0xFFFFFFFFu, 0x12341234u}) {
    EXPECT_EQ(out->SetVolume(level), mmsys::kNoError);
    uint32_t read = 0;
    EXPECT_EQ(out->GetVolume(&read), mmsys::kNoError);
    const auto close = [](uint32_t a, uint32_t b) { return (a > b ? a - b : b - a) <= 1; };
    EXPECT_TRUE(close(read & 0xFFFF, level & 0xFFFF) && close(read >> 16, level >> 16))
        << std::hex << "set " << level << ", read " << read;
  }
  EXPECT_EQ(out->Close(), mmsys::kNoError);
  EXPECT_EQ(out->Close(), mmsys::kNoError);  // closing twice is harmless
  uint32_t level = 0;
  EXPECT_EQ(out->GetVolume(&level), mmsys::kInvalidHandle);
  const auto tone = Tone(kFrameBytes, &phase);
  EXPECT_EQ(out->Write(tone.data(), kFrameBytes), mmsys::kInvalidHandle);
}

// Fills the ring with 2 s buffers, then runs one more Write on a thread, which blocks until the
// device has played a whole buffer; Reset (after which the stream plays on) or Close must end that
// wait at once.
TEST_F(WinmmBackendTest, ResetOrCloseEndsABlockedWrite) {
  for (const bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "Reset" : "Close");
    auto out = Open(AudioDirection::kPlayback);
    ASSERT_NE(out, nullptr);
    double phase = 0;
    const auto tone = Tone(2 * kSecondBytes, &phase);
    for (uint32_t i = 0; i + 1 < WinmmAudioBackend::kBuffers; ++i) {
      EXPECT_EQ(out->Write(tone.data(), 2 * kSecondBytes), mmsys::kNoError);
    }
    std::atomic<bool> returned{false};
    steady_clock::time_point returnedAt;
    std::thread writer([&] {
      out->Write(tone.data(), 2 * kSecondBytes);
      returnedAt = steady_clock::now();
      returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());  // blocked: the ring is full for another 1.7 s
    const auto start = steady_clock::now();
    EXPECT_EQ(reset ? out->Reset() : out->Close(), mmsys::kNoError);
    EXPECT_LE(ElapsedMs(start), 600);
    writer.join();
    EXPECT_LE(ElapsedMs(start, returnedAt), 600);
    if (reset) {
      EXPECT_EQ(out->Write(tone.data(), kFrameBytes), mmsys::kNoError);  // plays on
    }
    out->Close();
  }
}

// A Read of 2 s blocks; SetInterrupted ends it at once, a Read while interrupted returns at once,
// and after a Reset the next Read starts capture again. Reading the mixer lines on the way must
// not disturb capture (Wine has no mixer for capture devices: no lines).
TEST_F(WinmmBackendTest, CaptureIsPacedAndInterruptible) {
  auto in = Open(AudioDirection::kCapture);
  ASSERT_NE(in, nullptr);
  const auto lines = in->MixerLines();
  uint32_t value = 0;
  if (lines.empty()) {
    EXPECT_EQ(in->GetMixerValue(0, mixer::kControlVolume, &value), mmsys::kMixerInvalidLine);
  } else {
    EXPECT_EQ(lines[0].componentType, mixer::kDstWaveIn);
  }
  EXPECT_EQ(in->SetVolume(0xFFFFFFFF), mmsys::kNotSupported);

  std::vector<uint8_t> data(2 * kSecondBytes);
  const auto start = steady_clock::now();
  int failed = 0;
  for (uint32_t received = 0; received < kSecondBytes; received += kFrameBytes) {
    uint32_t got = 0;
    if (in->Read(data.data(), kFrameBytes, &got) != mmsys::kNoError || got != kFrameBytes) {
      ++failed;
    }
  }
  const int64_t ms = ElapsedMs(start);
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(ms >= 750 && ms <= 3000) << "1 s read in " << ms << " ms";

  uint32_t result = 0;
  uint32_t got = 0;
  std::atomic<bool> returned{false};
  steady_clock::time_point returnedAt;
  std::thread reader([&] {
    result = in->Read(data.data(), 2 * kSecondBytes, &got);
    returnedAt = steady_clock::now();
    returned = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(returned.load());
  const auto interruptedAt = steady_clock::now();
  in->SetInterrupted(true);
  reader.join();
  EXPECT_LE(ElapsedMs(interruptedAt, returnedAt), 150);
  EXPECT_EQ(result, mmsys::kError);
  EXPECT_LT(got, 2 * kSecondBytes);
  const auto again = steady_clock::now();
  EXPECT_EQ(in->Read(data.data(), kFrameBytes, &got), mmsys::kError);
  EXPECT_LE(ElapsedMs(again), 50);

  in->SetInterrupted(false);
  EXPECT_EQ(in->Reset(), mmsys::kNoError);
  const auto restart = steady_clock::now();
  EXPECT_EQ(in->Read(data.data(), 5 * kFrameBytes, &got), mmsys::kNoError);
  EXPECT_EQ(got, 5 * kFrameBytes);
  EXPECT_GE(ElapsedMs(restart), 60);  // recorded after the restart, not left over from before
  EXPECT_EQ(in->Close(), mmsys::kNoError);
  EXPECT_EQ(in->Read(data.data(), kFrameBytes, &got), mmsys::kInvalidHandle);
}

}  // namespace
}  // namespace tarsio
