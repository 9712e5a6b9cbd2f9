// Fuzzes the WAV reading path: a file image in memory is opened by WaveFileSource (RIFF walk,
// format checks) and every frame it delivers is converted to 8 kHz PCM by ACMTransformer.
//
// Single-threaded: the converter's queue is emptied before each push, so a push never waits for
// room, and sleeps (refused input) return at once on a clock that does not sleep.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "devices/WaveFileSource.h"
#include "dsp/ACMTransformer.h"
#include "framework/AudioSample.h"
#include "platform/Clock.h"
#include "platform/RealClock.h"

namespace {

class NoSleepClock final : public tarsio::Clock {
 public:
  uint64_t NowMs() override { return tarsio::RealClock::Instance().NowMs(); }
  void SleepMs(uint32_t) override {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override {
    return tarsio::RealClock::Instance().WaitFor(cv, lk, ms, pred);
  }
};

constexpr int kMaxFrames = 500;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Settings reads must not touch the user's settings file.
  const std::string registry = "/tmp/tarsio-wav-fuzzer-" + std::to_string(::getpid()) + ".reg";
  ::setenv("TARSIO_REGISTRY", registry.c_str(), 1);
  static NoSleepClock clock;
  tarsio::Clock::Install(&clock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarsio;
  WaveFileSource source;
  if (source.OpenWaveMemory(data, size, "fuzz.wav") != 0) return 0;
  // The last byte chooses a looping play, so that the wrap at the end of the data is reached.
  if (size > 0 && (data[size - 1] & 1) != 0) source.PlayInLoop();
  WAVEFORMATEX format;
  source.GetFormat(&format);
  ACMTransformer acm;
  acm.SetSourceFormat(format);
  acm.SetDestinationFormat(PcmFormat());
  if (acm.StartTransform() != 0) return 0;
  source.SourceStarted();
  for (int frame = 0; frame < kMaxFrames; ++frame) {
    AudioSample* sample = nullptr;
    if (source.GenerateData(&sample) != 0 || sample == nullptr) break;
    acm.FlushBuffer();
    AudioSampleList inputs{{sample, &source}};
    acm.RenderAudioSamples(inputs);
    sample->Release(nullptr);
    AudioSample* out = nullptr;
    while (acm.GenerateData(&out) == 0) out->Release(nullptr);
  }
  source.SourceStopped();
  acm.StopTransform();
  acm.FlushBuffer();
  return 0;
}
