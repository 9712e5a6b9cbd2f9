// Fuzzes file play's reading path: the input is a WAV file image that WaveFileSource opens by
// path, as file play does (the bytes live in a memory file opened through /proc/self/fd, so the
// buffered file reader runs and no file is made), and every frame it delivers is converted to
// 8 kHz PCM by ACMTransformer.
//
// Checks:
// - the file reader and the in-memory reader (OpenWaveMemory) agree on the outcome, the format,
//   the data's place and size, and every frame's bytes;
// - a format the converter refuses is replaced by one it takes (chosen by the input), so the
//   file's bytes go through conversion whatever the format says;
// - the converter used directly on the data, with a destination size taken from the input, never
//   reports more source used or destination filled than it was given, uses whole blocks only, and
//   gives out no more audio than the source holds at the destination rate (plus the resampler's
//   rounding).
// Work and memory per input are bounded by the converter itself; libFuzzer's -timeout and
// -rss_limit_mb catch an input that is not.
//
// Single-threaded: the converter's queue is emptied before each push, so a push never waits for
// room, and sleeps (refused input) return at once on a clock that does not sleep.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "devices/WaveFileSource.h"
#include "dsp/ACMTransformer.h"
#include "framework/AudioSample.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzFiles.h"
#include "platform/AcmStream.h"
#include "platform/Clock.h"
#include "platform/RealClock.h"

namespace {

using namespace tarsio;

class NoSleepClock final : public Clock {
 public:
  uint64_t NowMs() override { return RealClock::Instance().NowMs(); }
  void SleepMs(uint32_t) override {}
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override {
    return RealClock::Instance().WaitFor(cv, lk, ms, pred);
  }
};

constexpr int kMaxFrames = 500;

fuzz::MemoryFile* File() {
  static fuzz::MemoryFile file("tarsio-wav-header");
  return &file;
}

WAVEFORMATEX Linear(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  return WAVEFORMATEX{tag, channels, rate, rate * align, align, bits, 0};
}

WAVEFORMATEX Ima(uint16_t channels, uint32_t rate, uint16_t align) {
  const uint32_t frames = AcmStream::ImaSamplesPerBlock(align, channels);
  return WAVEFORMATEX{AcmStream::kTagImaAdpcm, channels, rate, rate * align / frames, align, 4, 0};
}

// A format the converter takes, chosen by selector.
WAVEFORMATEX Convertible(uint8_t selector) {
  switch (selector % 8) {
    case 0:
      return Linear(1, 1, 8000, 16);
    case 1:
      return Linear(1, 2, 11025, 8);
    case 2:
      return Ima(1, 8000, 256);
    case 3:
      return Linear(6, 1, 8000, 8);
    case 4:
      return Linear(7, 1, 48000, 8);
    case 5:
      return Linear(3, 2, 44100, 32);
    case 6:
      return Linear(1, 1, 96000, 24);
    default:
      return Ima(2, 22050, 2048);
  }
}

AcmFormat ToAcm(const WAVEFORMATEX& f) {
  return AcmFormat{f.wFormatTag,      f.nChannels,   f.nSamplesPerSec,
                   f.nAvgBytesPerSec, f.nBlockAlign, f.wBitsPerSample};
}

// The converter on the data bytes, piece by piece, into a destination of dstBytes.
void ConvertDirectly(const AcmFormat& from, const uint8_t* data, size_t size, uint32_t dstBytes) {
  const AcmFormat to{AcmStream::kTagPcm, 1, 8000, 16000, 2, 16};
  AcmStream stream;
  if (stream.Open(from, to, AcmStream::kOpenNonRealtime) != AcmStream::kOk) return;
  std::vector<uint8_t> src(16000);
  std::vector<uint8_t> dst(dstBytes);
  AcmStreamHeader h{sizeof h, 0, src.data(), 16000, 0, dst.data(), dstBytes, 0};
  Check(stream.PrepareHeader(&h) == AcmStream::kOk);
  const uint32_t framesPerBlock =
      from.wFormatTag == AcmStream::kTagImaAdpcm
          ? AcmStream::ImaSamplesPerBlock(from.nBlockAlign, from.nChannels)
          : 1u;
  size_t fed = 0;
  uint32_t held = 0;  // source bytes handed to the stream but not used yet
  uint64_t blocksUsed = 0;
  uint64_t framesOut = 0;
  for (int call = 0; call < 4000; ++call) {
    // The caller's part, as ACMTransformer does it: unused source moves to the front and the next
    // piece of the data follows it.
    const uint32_t cap = std::max<uint32_t>(3200, from.nBlockAlign);  // at most 8192
    const size_t piece = std::min<size_t>(size - fed, cap - std::min(held, cap));
    std::memcpy(src.data() + held, data + fed, piece);
    fed += piece;
    held += static_cast<uint32_t>(piece);
    const bool end = fed == size;
    h.cbSrcLength = held;
    Check(stream.Convert(&h, end ? AcmStream::kConvertEnd : 0) == AcmStream::kOk);
    Check(h.cbSrcLengthUsed <= h.cbSrcLength && h.cbSrcLengthUsed % from.nBlockAlign == 0);
    Check(h.cbDstLengthUsed <= h.cbDstLength && h.cbDstLengthUsed % 2 == 0);
    held -= h.cbSrcLengthUsed;
    std::memmove(src.data(), src.data() + h.cbSrcLengthUsed, held);
    blocksUsed += h.cbSrcLengthUsed / from.nBlockAlign;
    framesOut += h.cbDstLengthUsed / 2;
    if (end && h.cbDstLengthUsed == 0 && h.cbSrcLengthUsed == 0) break;
  }
  const uint64_t framesIn = blocksUsed * framesPerBlock;
  Check(framesOut <= framesIn * 8000 / from.nSamplesPerSec + 8000 / from.nSamplesPerSec + 64);
  h.cbSrcLength = 16000;
  h.cbDstLength = dstBytes;
  Check(stream.UnprepareHeader(&h) == AcmStream::kOk);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::UseNoSettingsFile();
  static NoSleepClock clock;
  Clock::Install(&clock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  File()->Assign(data, size);
  WaveFileSource source;
  WaveFileSource inMemory;
  const int32_t opened = source.OpenWaveFile(File()->Path().c_str());
  Check(opened == inMemory.OpenWaveMemory(data, size, "fuzz.wav"));
  if (opened != 0) return 0;
  Check(source.DataSize() == inMemory.DataSize() && source.DataStart() == inMemory.DataStart());
  Check(source.DataStart() + source.DataSize() <= size);
  // The last byte chooses a looping play (so that the wrap at the end of the data is reached), the
  // replacement format and the direct conversion's destination size.
  const uint8_t last = size > 0 ? data[size - 1] : 0;
  if ((last & 1) != 0) {
    source.PlayInLoop();
    inMemory.PlayInLoop();
  }
  WAVEFORMATEX format{};
  WAVEFORMATEX memoryFormat{};
  source.GetFormat(&format);
  inMemory.GetFormat(&memoryFormat);
  Check(format.wFormatTag == memoryFormat.wFormatTag &&
        format.nChannels == memoryFormat.nChannels &&
        format.nSamplesPerSec == memoryFormat.nSamplesPerSec &&
        format.nAvgBytesPerSec == memoryFormat.nAvgBytesPerSec &&
        format.nBlockAlign == memoryFormat.nBlockAlign &&
        format.wBitsPerSample == memoryFormat.wBitsPerSample);

  ACMTransformer acm;
  acm.SetSourceFormat(format);
  acm.SetDestinationFormat(PcmFormat());
  WAVEFORMATEX converted = format;
  if (acm.StartTransform() != 0) {
    converted = Convertible(last >> 1);
    acm.SetSourceFormat(converted);
    Check(acm.StartTransform() == 0);
  }
  ConvertDirectly(ToAcm(converted), data + source.DataStart(),
                  static_cast<size_t>(source.DataSize()), 2u * (1u + (last >> 4) * 97u));

  source.SourceStarted();
  inMemory.SourceStarted();
  for (int frame = 0; frame < kMaxFrames; ++frame) {
    AudioSample* sample = nullptr;
    AudioSample* twin = nullptr;
    const int32_t got = source.GenerateData(&sample);
    Check(got == inMemory.GenerateData(&twin));
    Check((sample == nullptr) == (twin == nullptr));
    if (sample != nullptr) {
      Check(sample->GetDataSize() == twin->GetDataSize());
      Check(std::memcmp(sample->GetData(), twin->GetData(),
                        static_cast<size_t>(std::max(0, sample->GetDataSize()))) == 0);
      twin->Release(nullptr);
    }
    if (got != 0 || sample == nullptr) break;
    acm.FlushBuffer();
    AudioSampleList inputs{{sample, &source}};
    acm.RenderAudioSamples(inputs);
    sample->Release(nullptr);
    AudioSample* out = nullptr;
    while (acm.GenerateData(&out) == 0) out->Release(nullptr);
  }
  source.SourceStopped();
  inMemory.SourceStopped();
  acm.StopTransform();
  acm.FlushBuffer();
  return 0;
}
