#include "dsp/Limiter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "FilterTestUtil.h"

namespace tarsio {
namespace {

using testing::ListOf;
using testing::MakePcmSample;
using testing::MakeSilenceMarker;
using testing::ReadPcm;
using testing::SampleRef;

// The limiter written out per sample with a logarithm and a power each time; the table-driven
// gain must give the same values.
struct ReferenceLimiter {
  double threshold, inc, dec;
  double loss = 1e-20, peak = 1e-20, step = 1e-20;
  const double floor = 1e-20;
  int16_t Next(int16_t x) {
    const double level =
        20.0 * std::log10(std::abs(x) * 3.0517578125e-05) + 3.1415926536 - threshold;
    if (level > loss) {
      peak = level;
      step = inc;
      loss += inc;
    } else {
      if (loss >= peak) step = dec;
      loss += step;
      if (loss <= floor) loss = floor;
    }
    if (loss > floor) return static_cast<int16_t>(x * std::pow(10.0, loss * -0.05));
    return x;
  }
};

std::vector<int16_t> Limit(LimiterGain& g, std::vector<int16_t> v) {
  g.Process(v);
  return v;
}

TEST(LimiterGainTest, QuietSamplesPassAndFullScaleAttacksThenSettlesThenReleases) {
  LimiterGain g(-8.0, 0.075, -0.00075);
  // About -19 dB over the threshold: untouched, no reduction.
  std::vector<int16_t> quiet = {1000, -1000, 1000, 0, -1000};
  EXPECT_EQ(Limit(g, quiet), quiet);
  EXPECT_EQ(g.loss, LimiterGain::kLossFloor);

  const std::vector<int16_t> loud = Limit(g, std::vector<int16_t>(400, 32767));
  EXPECT_EQ(std::vector<int16_t>(loud.begin(), loud.begin() + 4),
            (std::vector<int16_t>{32485, 32205, 31929, 31654}));
  // About 150 samples in, the reduction reaches the peak (~11.2 dB) and hovers there.
  EXPECT_LT(g.loss, 11.3);
  EXPECT_GT(g.loss, 11.0);
  for (size_t i = 160; i < loud.size(); ++i) {
    ASSERT_GT(loud[i], 8800) << i;
    ASSERT_LT(loud[i], 9200) << i;
  }
  for (size_t i = 1; i < 140; ++i) ASSERT_LT(loud[i], loud[i - 1]) << i;  // monotonic attack

  // Silence releases 0.00075 dB per sample: still reducing after 14 000 samples, done by 15 500.
  Limit(g, std::vector<int16_t>(14000, 0));
  EXPECT_GT(g.loss, LimiterGain::kLossFloor);
  EXPECT_LT(g.loss, 1.0);
  // A sample below the threshold does not raise the reduction but is still scaled by it.
  const std::vector<int16_t> probe = Limit(g, std::vector<int16_t>(1, 1000));
  EXPECT_LT(probe[0], 1000);
  EXPECT_GT(probe[0], 900);
  Limit(g, std::vector<int16_t>(1500, 0));
  EXPECT_EQ(g.loss, LimiterGain::kLossFloor);
  EXPECT_EQ(Limit(g, std::vector<int16_t>{1000, -1000}), (std::vector<int16_t>{1000, -1000}));
}

TEST(LimiterGainTest, MatchesPerSampleLogAndPowerOnRandomBursts) {
  std::mt19937 rng(99);
  struct Params {
    double threshold, inc, dec;
  };
  for (const Params& p :
       {Params{-8.0, 0.075, -0.00075}, Params{-20.0, 0.5, -0.01}, Params{0.0, 0.01, -0.0001}}) {
    LimiterGain g(p.threshold, p.inc, p.dec);
    ReferenceLimiter ref{p.threshold, p.inc, p.dec};
    for (int frame = 0; frame < 200; ++frame) {
      // Bursts of every loudness, including -32768 and silence, in 20 ms frames.
      const int32_t amplitude =
          std::array<int32_t, 6>{0, 300, 3000, 12000, 30000, 32768}[frame % 6];
      std::vector<int16_t> in =
          testing::RandomPcm(rng, 160, -amplitude, std::min(amplitude, 32767));
      const std::vector<int16_t> out = Limit(g, in);
      for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(out[i], ref.Next(in[i])) << "frame " << frame << " sample " << i;
      }
    }
    EXPECT_EQ(g.loss, ref.loss);
    EXPECT_EQ(g.peakLevel, ref.peak);
    EXPECT_EQ(g.lossStep, ref.step);
  }
}

TEST(LimiterTest, WorksInPlaceKeepsStateAcrossFramesAndSkipsSilenceMarkers) {
  Limiter limiter(-8.0, 0.075, -0.00075);
  SampleRef in(MakePcmSample(std::vector<int16_t>(160, 32767)));
  SampleRef out;
  auto list = ListOf({in.get()});
  ASSERT_EQ(limiter.TransformAudioSamples(list, out.out()), 0);
  EXPECT_EQ(out.get(), in.get());
  EXPECT_EQ(in->GetRefCount(), 2);
  const std::vector<int16_t> first = ReadPcm(in.get());
  EXPECT_EQ(first[0], 32485);
  EXPECT_EQ(first[3], 31654);
  const double lossAfterFrame = limiter.Gain().loss;

  SampleRef marker(MakeSilenceMarker(20));
  SampleRef outMarker;
  auto listM = ListOf({marker.get()});
  ASSERT_EQ(limiter.TransformAudioSamples(listM, outMarker.out()), 0);
  EXPECT_EQ(outMarker.get(), marker.get());
  EXPECT_EQ(marker->GetDataSize(), 0);
  EXPECT_EQ(marker->GetSilenceDuration(), 20);
  EXPECT_EQ(limiter.Gain().loss, lossAfterFrame);

  // The next frame continues from the state, not from scratch.
  SampleRef in2(MakePcmSample(std::vector<int16_t>(160, 32767)));
  SampleRef out2;
  auto list2 = ListOf({in2.get()});
  ASSERT_EQ(limiter.TransformAudioSamples(list2, out2.out()), 0);
  EXPECT_LT(ReadPcm(in2.get())[0], 9500);

  // Same parameters again: the reduction is gone.
  EXPECT_EQ(limiter.SetParameters(-8.0, 0.075, -0.00075), 0);
  EXPECT_EQ(limiter.Gain().loss, LimiterGain::kLossFloor);
  EXPECT_EQ(limiter.Gain().peakLevel, LimiterGain::kLossFloor);
  EXPECT_EQ(limiter.Gain().lossStep, LimiterGain::kLossFloor);
  SampleRef in3(MakePcmSample(std::vector<int16_t>(4, 32767)));
  SampleRef out3;
  auto list3 = ListOf({in3.get()});
  ASSERT_EQ(limiter.TransformAudioSamples(list3, out3.out()), 0);
  EXPECT_EQ(ReadPcm(in3.get()), (std::vector<int16_t>{32485, 32205, 31929, 31654}));

  AudioSampleList empty;
  EXPECT_EQ(limiter.TransformAudioSamples(empty, out3.out()), 0);
  EXPECT_EQ(out3.get(), nullptr);
}

}  // namespace
}  // namespace tarsio
