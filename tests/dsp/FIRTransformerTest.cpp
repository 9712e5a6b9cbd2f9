#include "dsp/FIRTransformer.h"

#include <gtest/gtest.h>

#include <cmath>
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

// The filter written the plain way: insert at the front of the history, drop the oldest, sum in
// tap order, clamp, truncate. The optimised filter must match it value for value.
class ReferenceFir {
 public:
  ReferenceFir(const double* c, int n, int bits)
      : c_(c, c + n),
        h_(static_cast<size_t>(n), 0),
        lo_(-std::pow(2.0, bits - 1)),
        hi_(std::pow(2.0, bits - 1) - 1) {}
  int32_t Next(int32_t x) {
    h_.insert(h_.begin(), x);
    h_.pop_back();
    double acc = 0.0;
    for (size_t k = 0; k < c_.size(); ++k) acc += h_[k] * c_[k];
    if (acc > hi_) acc = hi_;
    if (acc < lo_) acc = lo_;
    return static_cast<int32_t>(acc);
  }

 private:
  std::vector<double> c_;
  std::vector<int32_t> h_;
  double lo_, hi_;
};

std::vector<int16_t> Filtered(FIRTransformer::Filter& f, std::vector<int16_t> in) {
  std::vector<int16_t> out(in.size());
  f.Process(in, out);
  return out;
}

TEST(FIRTransformerTest, TablesAreSymmetricWithTheListedCentreTaps) {
  const double centres[] = {0.853968, 0.941143, 1.166885, 1.049007};
  for (int t = 1; t <= 4; ++t) {
    const double* c = FIRTransformer::CoefficientTable(t);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[14], centres[t - 1]);
    for (int k = 0; k < 14; ++k) EXPECT_EQ(c[k], c[28 - k]) << "table " << t << " tap " << k;
  }
  EXPECT_EQ(FIRTransformer::CoefficientTable(0), nullptr);
  EXPECT_EQ(FIRTransformer::CoefficientTable(5), nullptr);
}

TEST(FIRTransformerTest, ImpulseResponseSpreadOverFrames) {
  FIRTransformer::Filter f(FIRTransformer::CoefficientTable(1), 29, 16);
  std::vector<int16_t> input(40, 0);
  input[0] = 1000;
  std::vector<int16_t> output;
  // Frames of 7 samples, so the response crosses several frame boundaries.
  for (size_t i = 0; i < input.size(); i += 7) {
    std::vector<int16_t> frame(input.begin() + i, input.begin() + std::min(i + 7, input.size()));
    for (int16_t y : Filtered(f, frame)) output.push_back(y);
  }
  const std::vector<int16_t> expected = {1,   -4,  -17,  -9,   -5,  -14,  -15,  -13, -26, 12,
                                         -61, 20,  -128, -165, 853, -165, -128, 20,  -61, 12,
                                         -26, -13, -15,  -14,  -5,  -9,   -17,  -4,  1,   0,
                                         0,   0,   0,    0,    0,   0,    0,    0,   0,   0};
  EXPECT_EQ(output, expected);
}

TEST(FIRTransformerTest, ConstantInputSettlesAtTruncatedDcGain) {
  FIRTransformer::Filter f(FIRTransformer::CoefficientTable(1), 29, 16);
  std::vector<int16_t> out = Filtered(f, std::vector<int16_t>(160, 10000));
  for (size_t i = 28; i < out.size(); ++i) ASSERT_EQ(out[i], -16) << i;
}

TEST(FIRTransformerTest, ClampsAtBothEnds) {
  // Inputs with the signs of the taps make the weighted sum 32767 * sum|c| (about 1.85 x full
  // scale) at the 29th output.
  for (int t = 1; t <= 4; ++t) {
    const double* c = FIRTransformer::CoefficientTable(t);
    for (int sign : {1, -1}) {
      std::vector<int16_t> in(29);
      for (int k = 0; k < 29; ++k)
        in[k] = static_cast<int16_t>(sign * (c[k] >= 0 ? 32767 : -32767));
      FIRTransformer::Filter f(c, 29, 16);
      ReferenceFir ref(c, 29, 16);
      const std::vector<int16_t> out = Filtered(f, in);
      EXPECT_EQ(out[28], sign > 0 ? 32767 : -32768) << "table " << t;
      for (int k = 0; k < 29; ++k) EXPECT_EQ(out[k], ref.Next(in[k])) << "table " << t << " " << k;
    }
  }
}

TEST(FIRTransformerTest, MatchesPlainDirectFormOnRandomInputForEveryTableWidthAndFrameSize) {
  std::mt19937 rng(1234);
  const int frameSizes[] = {1, 2, 3, 15, 16, 17, 29, 160, 255, 256, 257, 800, 1600};
  for (int t = 1; t <= 4; ++t) {
    const double* c = FIRTransformer::CoefficientTable(t);
    for (int bits : {8, 16, 32}) {
      FIRTransformer::Filter f(c, 29, bits);
      ReferenceFir ref(c, 29, bits);
      for (int n : frameSizes) {
        if (bits == 8) {
          std::vector<int8_t> in(n), out(n);
          for (auto& x : in) x = static_cast<int8_t>(rng());
          f.Process(in, out);
          for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], ref.Next(in[i])) << t << "/8/" << n;
        } else if (bits == 16) {
          std::vector<int16_t> in = testing::RandomPcm(rng, n);
          std::vector<int16_t> out = Filtered(f, in);
          for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], ref.Next(in[i])) << t << "/16/" << n;
        } else {
          std::vector<int32_t> in(n), out(n);
          for (auto& x : in) x = static_cast<int32_t>(rng());
          f.Process(in, out);
          for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], ref.Next(in[i])) << t << "/32/" << n;
        }
      }
    }
  }
  // Other tap counts, including fewer taps than a vector block and none at all.
  for (int taps : {0, 1, 2, 5, 40}) {
    std::vector<double> c(taps);
    for (auto& x : c) x = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
    FIRTransformer::Filter f(c.data(), taps, 16);
    ReferenceFir ref(c.data(), taps, 16);
    for (int n : {3, 160, 33}) {
      std::vector<int16_t> in = testing::RandomPcm(rng, n);
      std::vector<int16_t> out = Filtered(f, in);
      for (int i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], taps == 0 ? 0 : ref.Next(in[i])) << taps << " taps";
      }
    }
  }
}

TEST(FIRTransformerTest, PinnedChecksumOfSpeechLikeInput) {
  // A fixed signal through the transmit and receive tables; pins every output value.
  std::vector<int16_t> in(1600);
  for (size_t i = 0; i < in.size(); ++i) {
    // A sawtooth with a faster ripple and some hash noise: integer arithmetic only.
    const int32_t saw = static_cast<int32_t>((i * 613) % 24000) - 12000;
    const int32_t ripple = (i % 9) * 900 - 3600;
    const int32_t noise = static_cast<int32_t>((i * 7919) % 2001) - 1000;
    in[i] = static_cast<int16_t>(saw + ripple + noise);
  }
  uint64_t sums[4];
  for (int t = 1; t <= 4; ++t) {
    FIRTransformer::Filter f(FIRTransformer::CoefficientTable(t), 29, 16);
    ReferenceFir ref(FIRTransformer::CoefficientTable(t), 29, 16);
    std::vector<int16_t> expected(in.size());
    for (size_t i = 0; i < in.size(); ++i) expected[i] = static_cast<int16_t>(ref.Next(in[i]));
    std::vector<int16_t> out;
    for (size_t i = 0; i < in.size(); i += 160) {
      for (int16_t y : Filtered(f, std::vector<int16_t>(in.begin() + i, in.begin() + i + 160))) {
        out.push_back(y);
      }
    }
    ASSERT_EQ(out, expected) << "table " << t;
    sums[t - 1] = testing::Checksum(out);
  }
  EXPECT_EQ(sums[0], 16752311279184558604ull);
  EXPECT_EQ(sums[1], 3953826328770254450ull);
  EXPECT_EQ(sums[2], 2660563708323866631ull);
  EXPECT_EQ(sums[3], 2958281969984206436ull);
}

class FIRTransformerSampleTest : public ::testing::Test {
 protected:
  FIRTransformer fir;
};

TEST_F(FIRTransformerSampleTest,
       AudioGoesToFreshSampleAndSilenceMarkerPassesWithoutTouchingHistory) {
  fir.SetCoefficients(FIRTransformer::CoefficientTable(2), 29, 16);
  std::mt19937 rng(7);
  const std::vector<int16_t> a = testing::RandomPcm(rng, 160, -20000, 20000);
  const std::vector<int16_t> b = testing::RandomPcm(rng, 160, -20000, 20000);

  SampleRef inA(MakePcmSample(a));
  SampleRef outA;
  auto listA = ListOf({inA.get()});
  ASSERT_EQ(fir.TransformAudioSamples(listA, outA.out()), 0);
  ASSERT_NE(outA.get(), nullptr);
  EXPECT_NE(outA.get(), inA.get());
  EXPECT_EQ(outA->GetDataSize(), 320);
  EXPECT_EQ(outA->Format(), inA->Format());
  EXPECT_EQ(inA->GetRefCount(), 1);
  EXPECT_EQ(ReadPcm(inA.get()), a);  // input untouched

  SampleRef marker(MakeSilenceMarker(20));
  SampleRef outMarker;
  auto listM = ListOf({marker.get()});
  ASSERT_EQ(fir.TransformAudioSamples(listM, outMarker.out()), 0);
  EXPECT_EQ(outMarker.get(), marker.get());
  EXPECT_EQ(marker->GetRefCount(), 2);
  EXPECT_EQ(marker->GetSilenceDuration(), 20);

  SampleRef inB(MakePcmSample(b));
  SampleRef outB;
  auto listB = ListOf({inB.get()});
  ASSERT_EQ(fir.TransformAudioSamples(listB, outB.out()), 0);

  // The same two frames without the marker in between, through a plain filter.
  ReferenceFir ref(FIRTransformer::CoefficientTable(2), 29, 16);
  std::vector<int16_t> expectA, expectB;
  for (int16_t x : a) expectA.push_back(static_cast<int16_t>(ref.Next(x)));
  for (int16_t x : b) expectB.push_back(static_cast<int16_t>(ref.Next(x)));
  EXPECT_EQ(ReadPcm(outA.get()), expectA);
  EXPECT_EQ(ReadPcm(outB.get()), expectB);

  // SetCoefficients again: the history starts from zero, so b alone gives the fresh response.
  fir.SetCoefficients(FIRTransformer::CoefficientTable(2), 29, 16);
  SampleRef outB2;
  ASSERT_EQ(fir.TransformAudioSamples(listB, outB2.out()), 0);
  ReferenceFir fresh(FIRTransformer::CoefficientTable(2), 29, 16);
  std::vector<int16_t> expectFresh;
  for (int16_t x : b) expectFresh.push_back(static_cast<int16_t>(fresh.Next(x)));
  EXPECT_EQ(ReadPcm(outB2.get()), expectFresh);
  EXPECT_NE(expectFresh, expectB);
}

TEST_F(FIRTransformerSampleTest, NoInputUnsupportedWidthAndMissingFilter) {
  SampleRef out;
  AudioSampleList empty;
  EXPECT_EQ(fir.TransformAudioSamples(empty, out.out()), 0);
  EXPECT_EQ(out.get(), nullptr);
  AudioSampleList nullEntry = ListOf({nullptr});
  EXPECT_EQ(fir.TransformAudioSamples(nullEntry, out.out()), 0);
  EXPECT_EQ(out.get(), nullptr);

  SampleRef in(MakePcmSample(std::vector<int16_t>(160, 100)));
  auto list = ListOf({in.get()});
  // Before any coefficients and with a width other than 8/16/32, audio frames fail with -20 and
  // the pooled output handed out is still the caller's to release.
  EXPECT_EQ(fir.TransformAudioSamples(list, out.out()), FIRTransformer::kErrBitsPerSample);
  EXPECT_EQ(fir.SetCoefficients(FIRTransformer::CoefficientTable(1), 29, 24), 0);
  EXPECT_EQ(fir.GetFilter(), nullptr);
  EXPECT_EQ(fir.TransformAudioSamples(list, out.out()), FIRTransformer::kErrBitsPerSample);
  out.Reset();
  EXPECT_EQ(in->GetRefCount(), 1);
}

TEST_F(FIRTransformerSampleTest, PullPathThroughTheBaseReleasesEverything) {
  fir.SetCoefficients(FIRTransformer::CoefficientTable(1), 29, 16);
  // No sources connected: the base calls the transform with an empty list and gets nothing.
  SampleRef out;
  EXPECT_EQ(fir.GenerateData(out.out()), 0);
  EXPECT_EQ(out.get(), nullptr);
}

}  // namespace
}  // namespace tarsio
