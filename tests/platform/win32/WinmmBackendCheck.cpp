// The WinMM sound backend against a real sound device paced by its own clock (under Wine: a
// private PulseAudio daemon, scripts/pulse-test-server.sh, whose PULSE_SERVER scripts/test.sh
// passes to the Windows tests): playback and capture run in real time, Reset and Close end a
// Write blocked on a full ring, SetInterrupted ends a blocked Read, capture restarts after a
// Reset, and the output volume reads back what was set. Without a sound device it prints
// "skipped: no sound device" and succeeds. A plain program (no test framework) so that it runs
// under Wine from a cross build; it prints every failed check and exits non-zero if there was one.
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
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "platform/AudioBackendSelector.h"
#include "platform/WaveAudioTypes.h"
#include "platform/win32/WinmmAudioBackend.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using Stream = AudioBackend::Stream;

int failures = 0;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      std::printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

// The engine's format: 8 kHz, 16-bit, mono; 20 ms frames.
const WAVEFORMATEX kFormat{kWaveFormatPcm, 1, 8000, 16000, 2, 16, 0};
constexpr uint32_t kFrameBytes = 320;
constexpr uint32_t kSecondBytes = 16000;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

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

std::unique_ptr<Stream> OpenOrFail(AudioBackend& backend, AudioDirection direction) {
  std::unique_ptr<Stream> stream;
  const uint32_t result = backend.Open(direction, wave::kMapper, kFormat, &stream);
  if (result != mmsys::kNoError) {
    std::printf("open of the %s device failed: %u\n",
                direction == AudioDirection::kCapture ? "capture" : "playback", result);
  }
  CHECK(result == mmsys::kNoError && stream != nullptr);
  return stream;
}

// The lists are the system's, and the selector hands out this backend by name and by default.
void DevicesAndSelection() {
  WinmmAudioBackend backend;
  const auto outputs = backend.Devices(AudioDirection::kPlayback);
  const auto inputs = backend.Devices(AudioDirection::kCapture);
  CHECK(outputs.size() == ::waveOutGetNumDevs());
  CHECK(inputs.size() == ::waveInGetNumDevs());
  for (const auto& device : outputs) CHECK(!device.description.empty());
  for (const auto& device : inputs) CHECK(!device.description.empty());
  std::unique_ptr<Stream> stream;
  CHECK(backend.Open(AudioDirection::kPlayback, static_cast<int32_t>(outputs.size()), kFormat,
                     &stream) == mmsys::kBadDeviceId);
  CHECK(stream == nullptr);

  std::string error;
  auto named = AudioBackendSelector::Create("winmm", &error);
  CHECK(named != nullptr && named->Name() == "winmm");
  ::_putenv_s("TARSIO_AUDIO", "");
  AudioBackendSelector::Install(nullptr);
  CHECK(AudioBackendSelector::Current()->Name() == "winmm");
}

// 2 s of tone in 20 ms writes take about 2 s: the ring fills at once, then every Write waits for
// the device. The volume goes to the device and reads back (through a float gain: ±1).
void PlaybackIsPacedAndHasAVolume() {
  WinmmAudioBackend backend;
  auto out = OpenOrFail(backend, AudioDirection::kPlayback);
  if (!out) return;
  double phase = 0;
  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (uint32_t sent = 0; sent < 2 * kSecondBytes; sent += kFrameBytes) {
    const auto tone = Tone(kFrameBytes, &phase);
    if (out->Write(tone.data(), kFrameBytes) != mmsys::kNoError) ++failed;
  }
  const int64_t ms = ElapsedMs(start);
  std::printf("playback: 2 s of tone written in %lld ms\n", static_cast<long long>(ms));
  CHECK(failed == 0);
  CHECK(ms >= 1500 && ms <= 4000);
  CHECK(out->OutputLatencyMs() > 0);

  for (const uint32_t level : {0x40004000u, 0xFFFFFFFFu, 0x12341234u}) {
    CHECK(out->SetVolume(level) == mmsys::kNoError);
    uint32_t read = 0;
    CHECK(out->GetVolume(&read) == mmsys::kNoError);
    const auto close = [](uint32_t a, uint32_t b) { return (a > b ? a - b : b - a) <= 1; };
    if (!close(read & 0xFFFF, level & 0xFFFF) || !close(read >> 16, level >> 16)) {
      std::printf("volume: set 0x%08x, read 0x%08x\n", level, read);
      ++failures;
    }
  }
  CHECK(out->Close() == mmsys::kNoError);
  CHECK(out->Close() == mmsys::kNoError);  // closing twice is harmless
  uint32_t level = 0;
  CHECK(out->GetVolume(&level) == mmsys::kInvalidHandle);
  const auto tone = Tone(kFrameBytes, &phase);
  CHECK(out->Write(tone.data(), kFrameBytes) == mmsys::kInvalidHandle);
}

// Fills the ring with 2 s buffers, then runs one more Write on a thread, which blocks until the
// device has played a whole buffer; stop(stream) must end that wait at once.
template <typename Stop>
void StopEndsABlockedWrite(const char* what, Stop stop) {
  WinmmAudioBackend backend;
  auto out = OpenOrFail(backend, AudioDirection::kPlayback);
  if (!out) return;
  double phase = 0;
  const auto tone = Tone(2 * kSecondBytes, &phase);
  for (uint32_t i = 0; i + 1 < WinmmAudioBackend::kBuffers; ++i) {
    CHECK(out->Write(tone.data(), 2 * kSecondBytes) == mmsys::kNoError);
  }
  std::atomic<bool> returned{false};
  std::chrono::steady_clock::time_point returnedAt;
  std::thread writer([&] {
    out->Write(tone.data(), 2 * kSecondBytes);
    returnedAt = std::chrono::steady_clock::now();
    returned = true;
  });
  std::this_thread::sleep_for(300ms);
  CHECK(!returned.load());  // blocked: the ring is full for another 1.7 s
  const auto start = std::chrono::steady_clock::now();
  const uint32_t result = stop(*out);
  const int64_t stopMs = ElapsedMs(start);
  writer.join();
  const int64_t writerMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - start).count();
  std::printf("%s with a Write blocked: returned in %lld ms, the Write %lld ms later\n", what,
              static_cast<long long>(stopMs), static_cast<long long>(writerMs));
  CHECK(result == mmsys::kNoError);
  CHECK(stopMs <= 600);
  CHECK(writerMs <= 600);
  // After a Reset the stream plays on; after a Close it is closed.
  out->Close();
}

// A Read of 2 s blocks; SetInterrupted ends it at once, a Read while interrupted returns at once,
// and after a Reset the next Read starts capture again. Reading the mixer lines on the way must
// not disturb capture (Wine has no mixer for capture devices: no lines).
void CaptureIsPacedAndInterruptible() {
  WinmmAudioBackend backend;
  auto in = OpenOrFail(backend, AudioDirection::kCapture);
  if (!in) return;
  const auto lines = in->MixerLines();
  std::printf("capture mixer: %zu lines\n", lines.size());
  uint32_t value = 0;
  if (lines.empty()) {
    CHECK(in->GetMixerValue(0, mixer::kControlVolume, &value) == mmsys::kMixerInvalidLine);
  } else {
    CHECK(lines[0].componentType == mixer::kDstWaveIn);
  }
  CHECK(in->SetVolume(0xFFFFFFFF) == mmsys::kNotSupported);

  std::vector<uint8_t> data(2 * kSecondBytes);
  const auto start = std::chrono::steady_clock::now();
  int failed = 0;
  for (uint32_t received = 0; received < kSecondBytes; received += kFrameBytes) {
    uint32_t got = 0;
    if (in->Read(data.data(), kFrameBytes, &got) != mmsys::kNoError || got != kFrameBytes) {
      ++failed;
    }
  }
  const int64_t ms = ElapsedMs(start);
  std::printf("capture: 1 s read in %lld ms\n", static_cast<long long>(ms));
  CHECK(failed == 0);
  CHECK(ms >= 750 && ms <= 3000);

  uint32_t result = 0;
  uint32_t got = 0;
  std::atomic<bool> returned{false};
  std::chrono::steady_clock::time_point returnedAt;
  std::thread reader([&] {
    result = in->Read(data.data(), 2 * kSecondBytes, &got);
    returnedAt = std::chrono::steady_clock::now();
    returned = true;
  });
  std::this_thread::sleep_for(300ms);
  CHECK(!returned.load());
  const auto interruptedAt = std::chrono::steady_clock::now();
  in->SetInterrupted(true);
  reader.join();
  const int64_t readerMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - interruptedAt).count();
  std::printf("interrupt: the blocked Read returned %lld ms later with %u bytes\n",
              static_cast<long long>(readerMs), got);
  CHECK(readerMs <= 150);
  CHECK(result == mmsys::kError);
  CHECK(got < 2 * kSecondBytes);
  const auto again = std::chrono::steady_clock::now();
  CHECK(in->Read(data.data(), kFrameBytes, &got) == mmsys::kError);
  CHECK(ElapsedMs(again) <= 50);

  in->SetInterrupted(false);
  CHECK(in->Reset() == mmsys::kNoError);
  const auto restart = std::chrono::steady_clock::now();
  CHECK(in->Read(data.data(), 5 * kFrameBytes, &got) == mmsys::kNoError);
  CHECK(got == 5 * kFrameBytes);
  CHECK(ElapsedMs(restart) >= 60);  // recorded after the restart, not left over from before
  CHECK(in->Close() == mmsys::kNoError);
  CHECK(in->Read(data.data(), kFrameBytes, &got) == mmsys::kInvalidHandle);
}

}  // namespace
}  // namespace tarsio

int main() {
  using namespace tarsio;
  const UINT outputs = ::waveOutGetNumDevs();
  const UINT inputs = ::waveInGetNumDevs();
  if (outputs == 0 || inputs == 0) {
    std::printf("skipped: no sound device (playback devices: %u, capture devices: %u)\n", outputs,
                inputs);
    return 0;
  }
  DevicesAndSelection();
  PlaybackIsPacedAndHasAVolume();
  StopEndsABlockedWrite("Reset", [](AudioBackend::Stream& out) {
    const uint32_t result = out.Reset();
    // Played on after the reset: the ring is free again.
    double phase = 0;
    const auto tone = Tone(kFrameBytes, &phase);
    if (out.Write(tone.data(), kFrameBytes) != mmsys::kNoError) {
      std::printf("Write after Reset failed\n");
      ++failures;
    }
    return result;
  });
  StopEndsABlockedWrite("Close", [](AudioBackend::Stream& out) { return out.Close(); });
  CaptureIsPacedAndInterruptible();
  if (failures != 0) {
    std::printf("%d check(s) failed\n", failures);
    return 1;
  }
  std::printf("all checks passed\n");
  return 0;
}
