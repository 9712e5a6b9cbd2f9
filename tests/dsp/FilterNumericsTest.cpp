// Numeric checks of the PCM filters: known values that an arithmetic fault would change, plus one
// pinned checksum per optimised filter (FIR, limiter, VAD) over a fixed signal.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "dsp/FIRTransformer.h"
#include "dsp/Limiter.h"
#include "dsp/PCMMixer.h"
#include "dsp/PCMVolumeMaximizer.h"
#include "dsp/PCMVolumeTransformer.h"
#include "dsp/SampleMath.h"
#include "dsp/VAD.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"

namespace tarsio {
namespace {

using Pcm = std::vector<int16_t>;

struct Releaser {
  void operator()(AudioSample* s) const { s->Release(nullptr); }
};
using Owned = std::unique_ptr<AudioSample, Releaser>;

// A pooled 8 kHz 16-bit sample holding the values; an empty one is a silence marker of `silence`.
Owned Sample(const Pcm& values, int32_t silence = 0) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(PcmFormat());
  for (size_t i = 0; i < values.size(); ++i) dsp::StorePcm16(s->GetData(), int32_t(i), values[i]);
  s->SetDataSize(static_cast<int32_t>(2 * values.size()));
  if (silence > 0) s->SetSilenceDuration(silence);
  return Owned(s);
}

Pcm Read(const AudioSample* s) {
  Pcm v(static_cast<size_t>(s->GetDataSize() / 2));
  for (size_t i = 0; i < v.size(); ++i) v[i] = dsp::LoadPcm16(s->GetData(), int32_t(i));
  return v;
}

int32_t Transform(AudioTransformer& t, std::initializer_list<AudioSample*> in, Owned* out) {
  AudioSampleList list;
  for (AudioSample* s : in) list.emplace_back(s, nullptr);
  AudioSample* raw = nullptr;
  const int32_t result = t.TransformAudioSamples(list, &raw);
  out->reset(raw);
  return result;
}

// Noise in [-a, a] (clamped to 32767) from a fixed generator, the same on every library.
Pcm Noise(size_t n, int32_t a, uint32_t& seed) {
  Pcm v(n);
  for (auto& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<int16_t>(
        std::min<int32_t>(int32_t((seed >> 8) % uint32_t(2 * a + 1)) - a, 32767));
  }
  return v;
}

Pcm Sine(int n, double hz, double amplitude, int offset = 0) {
  Pcm v(n);
  for (int i = 0; i < n; ++i)
    v[i] = int16_t(amplitude * std::sin(2 * M_PI * hz * (i + offset) / 8000.0));
  return v;
}

// FNV-1a over the values, to pin exact outputs.
uint64_t Checksum(const Pcm& v, uint64_t h = 1469598103934665603ull) {
  for (int16_t x : v) h = (h ^ static_cast<uint16_t>(x)) * 1099511628211ull;
  return h;
}

// Runs `in` through the filter in frames of the given sizes, the last one repeated to the end.
Pcm Fir(FIRTransformer::Filter& f, const Pcm& in, std::vector<size_t> frames = {160}) {
  Pcm out(in.size());
  for (size_t at = 0, k = 0, n = 0; at < in.size();
       at += n, k = std::min(k + 1, frames.size() - 1)) {
    n = std::min(frames[k], in.size() - at);
    f.Process(std::span(in).subspan(at, n), std::span(out).subspan(at, n));
  }
  return out;
}

const Pcm kImpulseResponse = {1,   -4,  -17,  -9,   -5,  -14,  -15,  -13, -26, 12,
                              -61, 20,  -128, -165, 853, -165, -128, 20,  -61, 12,
                              -26, -13, -15,  -14,  -5,  -9,   -17,  -4,  1};

TEST(FIRTransformerTest, ImpulseResponseSettlingAndClampingAtEveryWidth) {
  FIRTransformer::Filter f(FIRTransformer::CoefficientTable(1), 29, 16);
  Pcm impulse(40, 0), expected = kImpulseResponse;
  impulse[0] = 1000;
  expected.resize(40, 0);
  EXPECT_EQ(Fir(f, impulse, {7}), expected);  // across frame boundaries
  const Pcm settled = Fir(f, Pcm(160, 10000));
  EXPECT_EQ(Pcm(settled.begin() + 28, settled.end()), Pcm(132, -16));

  // Full-scale inputs with the signs of the taps make the sum about 1.85 x full scale.
  auto clamps = [](auto fullScale, int t, int sign) {
    using T = decltype(fullScale);
    const double* c = FIRTransformer::CoefficientTable(t);
    std::vector<T> in(29), out(29);
    for (int k = 0; k < 29; ++k) in[k] = T(sign * (c[k] >= 0 ? fullScale : -fullScale));
    FIRTransformer::Filter(c, 29, 8 * sizeof(T)).Process(std::span<const T>(in), std::span<T>(out));
    return out[28] == (sign > 0 ? fullScale : T(-fullScale - 1));
  };
  for (int t = 1; t <= 4; ++t) {
    for (int sign : {1, -1}) {
      EXPECT_TRUE(clamps(int16_t(32767), t, sign) && clamps(int8_t(127), t, sign) &&
                  clamps(int32_t(2147483647), t, sign))
          << "table " << t << " sign " << sign;
    }
  }
  // Other tap counts, fewer than a vector block or none: the response is the truncated taps.
  for (int taps : {0, 1, 2, 5, 40}) {
    std::vector<double> c(taps);
    for (int k = 0; k < taps; ++k) c[k] = (k % 3 == 1 ? -1 : 1) * (k + 1) / 64.0;
    FIRTransformer::Filter g(c.data(), taps, 16);
    const Pcm out = Fir(g, impulse, {3});
    for (int k = 0; k < 40; ++k) ASSERT_EQ(out[k], k < taps ? int(1000 * c[k]) : 0) << taps;
  }
}

TEST(FIRTransformerTest, OutputsPinnedWhateverTheFrameSplitAndThroughTheTransformer) {
  Pcm in(1600);
  for (size_t i = 0; i < in.size(); ++i) {  // a sawtooth with a faster ripple and hash noise
    in[i] = int16_t(int32_t((i * 613) % 24000) - 12000 + int32_t(i % 9) * 900 - 3600 +
                    int32_t((i * 7919) % 2001) - 1000);
  }
  const uint64_t sums[4] = {16752311279184558604ull, 3953826328770254450ull, 2660563708323866631ull,
                            2958281969984206436ull};
  for (int t = 1; t <= 4; ++t) {
    for (const std::vector<size_t>& frames :
         {std::vector<size_t>{160}, {1600}, {1, 2, 3, 15, 16, 17, 29, 255, 256, 257, 33}}) {
      FIRTransformer::Filter f(FIRTransformer::CoefficientTable(t), 29, 16);
      EXPECT_EQ(Checksum(Fir(f, in, frames)), sums[t - 1]) << "table " << t;
    }
    // The transformer writes fresh samples, keeps the history across frames and hands silence
    // markers on without touching it; it refuses audio before it has a filter.
    FIRTransformer fir;
    Owned frame = Sample(Pcm(in.begin(), in.begin() + 160)), marker = Sample({}, 20), out;
    EXPECT_EQ(Transform(fir, {frame.get()}, &out), FIRTransformer::kErrBitsPerSample);
    ASSERT_EQ(fir.SetCoefficients(FIRTransformer::CoefficientTable(t), 29, 16), 0);
    uint64_t sum = 1469598103934665603ull;
    for (size_t at = 0; at < in.size(); at += 160) {
      frame = Sample(Pcm(in.begin() + at, in.begin() + at + 160));
      ASSERT_EQ(Transform(fir, {frame.get()}, &out), 0);
      EXPECT_EQ(Read(frame.get()), Pcm(in.begin() + at, in.begin() + at + 160));  // untouched
      sum = Checksum(Read(out.get()), sum);
      ASSERT_EQ(Transform(fir, {marker.get()}, &out), 0);
      EXPECT_EQ(out.get(), marker.get());
    }
    EXPECT_EQ(sum, sums[t - 1]) << "transformer, table " << t;
  }
}

Pcm Limit(LimiterGain& g, Pcm v) {
  g.Process(v);
  return v;
}

TEST(LimiterTest, FullScaleAttackSettlingAndRelease) {
  LimiterGain g(-8.0, 0.075, -0.00075);
  const Pcm quiet = {1000, -1000, 1000, 0, -1000};  // about 19 dB under the threshold
  EXPECT_EQ(Limit(g, quiet), quiet);
  EXPECT_EQ(g.loss, LimiterGain::kLossFloor);

  const Pcm loud = Limit(g, Pcm(400, 32767));
  EXPECT_EQ(Pcm(loud.begin(), loud.begin() + 4), (Pcm{32485, 32205, 31929, 31654}));
  for (size_t i = 1; i < 140; ++i) ASSERT_LT(loud[i], loud[i - 1]) << i;  // monotonic attack
  // About 150 samples in, the reduction reaches the peak (~11.2 dB) and hovers there.
  EXPECT_TRUE(g.loss > 11.0 && g.loss < 11.3) << g.loss;
  for (size_t i = 160; i < loud.size(); ++i) ASSERT_TRUE(loud[i] > 8800 && loud[i] < 9200) << i;

  // Silence releases 0.00075 dB per sample: still reducing after 14 000 samples, done by 15 500;
  // a quiet sample meanwhile does not raise the reduction but is scaled by it.
  Limit(g, Pcm(14000, 0));
  EXPECT_TRUE(g.loss > LimiterGain::kLossFloor && g.loss < 1.0) << g.loss;
  const int16_t probe = Limit(g, {1000})[0];
  EXPECT_TRUE(probe > 900 && probe < 1000) << probe;
  Limit(g, Pcm(1500, 0));
  EXPECT_EQ(g.loss, LimiterGain::kLossFloor);
  EXPECT_EQ(Limit(g, quiet), quiet);
}

TEST(LimiterTest, OutputsPinnedOnBurstsThroughTheTransformer) {
  const double params[3][3] = {{-8.0, 0.075, -0.00075}, {-20.0, 0.5, -0.01}, {0.0, 0.01, -0.0001}};
  const uint64_t sums[3] = {6083216100309436606ull, 18429965332829525138ull,
                            14164003776105717833ull};
  for (int p = 0; p < 3; ++p) {
    // In place, state kept across frames; silence markers are handed on between them.
    Limiter limiter(params[p][0], params[p][1], params[p][2]);
    Owned marker = Sample({}, 20), out;
    uint32_t seed = 99;
    uint64_t sum = 1469598103934665603ull;
    for (int frame = 0; frame < 200; ++frame) {
      const int32_t amplitude = std::array{0, 300, 3000, 12000, 30000, 32768}[frame % 6];
      Owned in = Sample(Noise(160, amplitude, seed));
      ASSERT_EQ(Transform(limiter, {in.get()}, &out), 0);
      EXPECT_EQ(out.get(), in.get());
      sum = Checksum(Read(in.get()), sum);
      ASSERT_EQ(Transform(limiter, {marker.get()}, &out), 0);
      EXPECT_EQ(out.get(), marker.get());
    }
    EXPECT_EQ(sum, sums[p]) << "parameters " << p;
    EXPECT_EQ(limiter.SetParameters(-8.0, 0.075, -0.00075), 0);  // starts afresh
    EXPECT_EQ(Limit(limiter.Gain(), Pcm(4, 32767)), (Pcm{32485, 32205, 31929, 31654}));
  }
}

class VADTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = VAD::Detector::SharedState();
    VAD::Detector::SharedState().previousSample = 0;
    VAD::Detector::SharedState().noiseFloor = 3.0f;  // the start must reset everything else
    ASSERT_EQ(vad.StartTransform(), 0);
  }
  void TearDown() override { VAD::Detector::SharedState() = saved; }
  // Pushes a frame through the filter; 'S' for speech, '.' when it became a silence marker.
  char Judge(const Pcm& frame) {
    Owned in = Sample(frame), out;
    EXPECT_EQ(Transform(vad, {in.get()}, &out), 0);
    EXPECT_EQ(out.get(), in.get());
    if (in->GetDataSize() != 0) return 'S';
    EXPECT_EQ(in->GetSilenceDuration(), int32_t(frame.size() / 8));
    return '.';
  }
  VAD::DetectorState saved;
  VAD vad;
};

TEST_F(VADTest, SilenceAfterAResetIsSpeechUntilFrame36) {
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(VAD::Detector::SharedState().energy, 10000u);
    EXPECT_EQ(VAD::Detector::SharedState().noiseFloor, -74.0f);
    std::string decisions;
    for (int f = 0; f < 40; ++f) decisions += Judge(Pcm(160, 0));
    EXPECT_EQ(decisions, std::string(35, 'S') + std::string(5, '.')) << "run " << run;
    ASSERT_EQ(vad.StartTransform(), 0);
  }
  // After the hangover, 60 samples (steps of 40 and 20) are 7 ms of silence.
  for (int f = 0; f < 40; ++f) Judge(Pcm(160, 0));
  EXPECT_EQ(Judge(Pcm(60, 0)), '.');
  // 32767 - (-32768) wraps to -1: the energy falls by 10000 >> 6, it does not jump by 2^32 / 32.
  VAD::DetectorState wrap;
  wrap.previousSample = -32768;
  const int16_t top[1] = {32767};
  VAD::Detector::ProcessStep(wrap, top);
  EXPECT_EQ(wrap.energy, 10000u - 156u);
}

TEST_F(VADTest, TonesAndNoiseBurstsGiveTheExpectedDecisions) {
  const std::pair<int, int> script[] = {{50, 0}, {10, 1}, {60, 0}, {3, 2}, {150, 3}, {4, 1}};
  std::string decisions;  // frames, kind: 0 zeros, 1 tone, 2 loud noise, 3 faint noise
  uint32_t seed = 11;
  int offset = 0;
  for (const auto& [frames, kind] : script) {
    for (int f = 0; f < frames; ++f, offset += 160) {
      decisions += Judge(kind == 0   ? Pcm(160, 0)
                         : kind == 1 ? Sine(160, 440, 3000, offset)
                                     : Noise(160, kind == 2 ? 5000 : 20, seed));
    }
  }
  // Zeros: speech for 35 frames. The tone, its decay and the hangover: speech to frame 110. The
  // burst, then faint noise until the floor comes down to it (frame 182). The second tone. The
  // final state pins the arithmetic.
  EXPECT_EQ(decisions, std::string(35, 'S') + std::string(15, '.') + std::string(60, 'S') +
                           std::string(10, '.') + std::string(62, 'S') + std::string(91, '.') +
                           std::string(4, 'S'));
  EXPECT_EQ(VAD::Detector::SharedState().energy, 1524948u);
  EXPECT_EQ(VAD::Detector::SharedState().noiseFloor, -71.0f);
}

TEST_F(VADTest, NoiseFloorClimbsOneDbPer12000SamplesAndDropsAtOnce) {
  VAD::DetectorState s;
  s.previousSample = 0;
  Pcm square(40);
  for (int i = 0; i < 40; ++i) square[i] = (i % 2) ? -1000 : 1000;
  for (int step = 1; step <= 3001; ++step) {
    ASSERT_TRUE(VAD::Detector::ProcessStep(s, square));
    ASSERT_EQ(s.noiseFloor, -74.0f + float((step - 1) / 300)) << "step " << step;
  }
  // On silence the energy decays; once a step's lowest level reaches the floor, the floor follows
  // it down step by step, restarting its timer each time.
  int firstDrop = 0;
  for (int step = 1; step <= 200; ++step) {
    VAD::Detector::ProcessStep(s, Pcm(40, 0));
    if (firstDrop == 0 && s.noiseFloor < -64.0f) firstDrop = step;
    if (firstDrop == 0) continue;
    ASSERT_EQ(s.noiseFloor, float(10 * std::log10(double(s.energy)) - 93.32)) << step;
    ASSERT_EQ(s.floorTimer, 12000);
  }
  EXPECT_TRUE(firstDrop > 100 && firstDrop < 140) << firstDrop;
}

TEST(PCMVolumeMaximizerTest, PercentileBinGainAndLimitedAmplification) {
  Pcm mostlyQuiet(160, 100);                           // bin 0
  for (int i = 0; i < 8; ++i) mostlyQuiet[i] = 16000;  // 5 % in bin 125
  Pcm fewLoud = mostlyQuiet;
  fewLoud[8] = 16000;  // 9 of 160 (5.6 %) in bin 125
  const Pcm sine = Sine(160, 440, 1000);
  // frame, percentile, maximum gain (hundredths), bin, gain
  const std::tuple<Pcm, double, uint32_t, int32_t, double> cases[] = {
      {sine, 95.0, 800, 8, 8.0},
      {sine, 95.0, 5000, 8, 32.0},  // uncapped
      {Pcm(160, 4096), 95.0, 800, 33, 256.0 / 33},
      {Pcm(160, 0), 95.0, 800, 1, 8.0},
      {Pcm(160, -32768), 95.0, 800, 0, 8.0},  // -32768 lies beyond every bin
      {Pcm(160, 32767), 95.0, 800, 0, 8.0},
      {Sine(160, 440, 20000), 100.0, 800, 157, 256.0 / 157},  // one above the top bin
      {mostlyQuiet, 95.0, 800, 1, 8.0},                       // exactly 5 % loud
      {fewLoud, 95.0, 800, 126, 256.0 / 126},                 // over 5 %: one above their bin
      {sine, 0.0, 800, 0, 8.0},                               // percentile 0 never stops
  };
  for (const auto& [frame, percentile, maxGain, bin, gain] : cases) {
    PCMVolumeMaximizer m;
    m.SetPercentile(percentile);
    m.SetMaxAmplification(maxGain);
    EXPECT_EQ(m.FindPercentileBin(frame), bin) << "percentile " << percentile;
    EXPECT_EQ(m.GainForBin(bin), gain) << bin;
  }

  PCMVolumeMaximizer m;
  m.SetPercentile(95.0);
  m.SetMaxAmplification(800);
  const std::pair<Pcm, Pcm> amplified[] = {
      {{-32768, -32768, -32768}, {-32767, -32767, -32767}},  // gain 8, limited at -32767
      {{0, 0, 0}, {0, 0, 0}},
      {{1000, -1000, 999, 1}, {8000, -8000, 7992, 8}},
  };
  for (auto [v, expected] : amplified) {
    m.Maximize(v);
    EXPECT_EQ(v, expected);
  }
  Owned in = Sample(Pcm(160, 4096)), marker = Sample({}, 20), out;
  ASSERT_EQ(Transform(m, {in.get()}, &out), 0);
  EXPECT_EQ(out.get(), in.get());
  EXPECT_EQ(Read(in.get()), Pcm(160, 31775));  // 4096 * 256 / 33 = 31775.03
  EXPECT_EQ(Transform(m, {marker.get()}, &out), PCMVolumeMaximizer::kErrSilence);
  EXPECT_EQ(Transform(m, {nullptr}, &out), PCMVolumeMaximizer::kErrNoInput);
}

TEST(PCMMixerTest, SumsClampLengthsAndSilenceMarkers) {
  PCMMixer mixer;
  Owned out;
  const std::tuple<Pcm, Pcm, Pcm, Pcm> cases[] = {
      // three inputs (an empty third: none), the mix
      {{30000, -30000, 100, -32768}, {10000, -10000, -50, -32768}, {}, {32767, -32768, 50, -32768}},
      {{32767, -32768, 1}, {-32767, 32767, -1}, {5, 5, 5}, {5, 4, 5}},
      {{20000, 20000}, {20000, -20000}, {-20000, 0}, {20000, 0}},  // no clamping in between
      {{1, 1}, {10, 20, 30, 40}, {}, {11, 21, 30, 40}},            // the longest input's length
  };
  for (const auto& [inA, inB, inC, expected] : cases) {
    Owned a = Sample(inA), b = Sample(inB), c = Sample(inC);
    ASSERT_EQ(Transform(mixer, {a.get(), b.get(), inC.empty() ? nullptr : c.get()}, &out), 0);
    EXPECT_EQ(Read(out.get()), expected);
    EXPECT_EQ(Read(a.get()), inA);  // inputs untouched
  }
  // Markers only: a fresh marker as long as the longest. Audio plus a marker: a copy of the audio.
  Owned m20 = Sample({}, 20), m40 = Sample({}, 40), audio = Sample({-5, 6});
  ASSERT_EQ(Transform(mixer, {m20.get(), nullptr, m40.get()}, &out), 0);
  EXPECT_TRUE(out.get() != m20.get() && out.get() != m40.get());
  EXPECT_TRUE(out->GetDataSize() == 0 && out->GetSilenceDuration() == 40);
  ASSERT_EQ(Transform(mixer, {m40.get(), audio.get()}, &out), 0);
  EXPECT_NE(out.get(), audio.get());
  EXPECT_EQ(Read(out.get()), (Pcm{-5, 6}));
  EXPECT_EQ(out->GetSilenceDuration(), 0);
  // A single entry is handed on itself, marker or not; nothing at all gives nothing.
  for (AudioSample* only : {m20.get(), audio.get(), static_cast<AudioSample*>(nullptr)}) {
    ASSERT_EQ(Transform(mixer, {nullptr, only}, &out), 0);
    EXPECT_EQ(out.get(), only);
  }
}

TEST(PCMVolumeTransformerTest, GainIsTheSquareOfThePercentageTruncatedTowardZero) {
  const std::tuple<int32_t, Pcm, Pcm> cases[] = {
      {50, {1001, -1001, 3, -3, 4, 32767, -32768}, {250, -250, 0, 0, 1, 8191, -8192}},
      {100, {1, -1, 32767, -32768, 12345}, {1, -1, 32767, -32768, 12345}},
      {10, {1000, -1000, 99, 32767}, {10, -10, 0, 327}},
      {0, {32767, -32768, 5}, {0, 0, 0}},
      {99, {10000, -10000}, {9801, -9801}},
  };
  for (auto [volume, samples, expected] : cases) {
    PCMVolumeTransformer::Scale(samples, volume);
    EXPECT_EQ(samples, expected) << "volume " << volume;
  }
  PCMVolumeTransformer v;
  v.SetVolume(250);  // clamped to 100
  EXPECT_EQ(v.GetVolume(), 100);
  v.SetVolume(50);
  Owned in = Sample({1001, -1001, 0x7F7F}), out;
  in->SetDataSize(5);  // two whole samples and one byte, left as it is
  ASSERT_EQ(Transform(v, {in.get()}, &out), 0);
  EXPECT_EQ(out.get(), in.get());
  EXPECT_EQ(Read(in.get()), (Pcm{250, -250}));
  EXPECT_EQ(in->GetData()[4], 0x7F);
}

}  // namespace
}  // namespace tarsio
