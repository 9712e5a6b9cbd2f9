// TimeStretcher: periodic signals lose or gain whole periods and stay a clean continuation of
// themselves; noise is left alone unless quiet; bounds and buffer capacities are respected.
#include "dsp/TimeStretcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace tarsio {
namespace {

using TS = TimeStretcher;
using Pcm = std::vector<int16_t>;

struct Tone {
  double hz, amplitude, phase;
};

Pcm Tones(const std::vector<Tone>& tones, int length, double clip = 32767) {
  Pcm x(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) {
    double v = 0;
    for (const Tone& t : tones)
      v += t.amplitude * std::sin(2 * std::numbers::pi * t.hz * i / 8000 + t.phase);
    x[size_t(i)] = int16_t(std::lround(std::clamp(v, -clip - 1, clip)));
  }
  return x;
}

// Uniform noise in [-amplitude, amplitude] from a fixed LCG, the same on every platform.
Pcm Noise(uint32_t seed, int amplitude, int length) {
  Pcm x(static_cast<size_t>(length));
  for (int16_t& v : x) {
    seed = seed * 1664525u + 1013904223u;
    v = int16_t(int(seed >> 16) % (2 * amplitude + 1) - amplitude);
  }
  return x;
}

int MaxStep(const int16_t* x, int n) {
  int step = 0;
  for (int i = 1; i < n; ++i) step = std::max(step, std::abs(x[i] - x[i - 1]));
  return step;
}

double SnrDb(const Pcm& ideal, const int16_t* out, int n) {
  double signal = 0, error = 0;
  for (int i = 0; i < n; ++i) {
    signal += double(ideal[size_t(i)]) * ideal[size_t(i)];
    error += std::pow(double(out[i]) - ideal[size_t(i)], 2);
  }
  return 10 * std::log10(signal / std::max(error, 1e-9));
}

TEST(TimeStretcherTest, PeriodicSignalsChangeByWholePeriodsWithoutSeams) {
  const std::vector<Tone> voiced{{125, 6000, 0.3}, {250, 4000, 1.1}, {375, 2500, 2.0},
                                 {500, 1500, 0.7}, {625, 900, 2.9},  {750, 500, 1.6}};
  const struct {
    std::vector<Tone> tones;
    double period;
  } cases[] = {{{{200, 10000, 0.5}}, 40}, {voiced, 64}, {{{190, 12000, 0.0}}, 8000.0 / 190}};
  for (const auto& c : cases) {
    for (int n : {TS::kMinInput, 320, TS::kMaxInput}) {
      SCOPED_TRACE(testing::Message() << "period " << c.period << ", n " << n);
      const Pcm x = Tones(c.tones, n + TS::kMaxPeriod);  // input and its ideal continuation
      const int inputStep = MaxStep(x.data(), n);
      auto check = [&](TS::Result r, const Pcm& out, int sign) {
        EXPECT_TRUE(r.periodic);
        const double periods = r.changed / c.period;  // a multiple within 1 sample is fine
        EXPECT_GE(r.changed, TS::kMinPeriod);
        EXPECT_NEAR(periods, std::round(periods), 1.0 / c.period);
        ASSERT_EQ(r.outputLength, n + sign * r.changed);
        EXPECT_GT(SnrDb(x, out.data(), r.outputLength), 30);
        EXPECT_LE(MaxStep(out.data(), r.outputLength), inputStep * 1.05 + 1);
        EXPECT_EQ(out[0], x[0]);
        EXPECT_EQ(out[size_t(r.outputLength - 1)], x[size_t(n - 1)]);
      };
      Pcm out(size_t(n + TS::kMaxPeriod), 0);
      check(TS::Accelerate(x.data(), n, out.data()), out, -1);
      Pcm inPlace(x.begin(), x.begin() + n);
      const TS::Result r = TS::Accelerate(inPlace.data(), n, inPlace.data());
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + r.outputLength, inPlace.begin()));
      check(TS::Expand(x.data(), n, out.data(), int(out.size())), out, +1);
    }
  }
}

TEST(TimeStretcherTest, NoiseIsKeptUnlessQuiet) {
  const int n = 320;
  Pcm out(n + TS::kMaxPeriod);
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const Pcm loud = Noise(seed, 200, n);  // RMS 115: just above the quiet level
    EXPECT_LT(TS::EstimatePeriod(loud.data(), n).correlation, 0.5);
    EXPECT_EQ(TS::Accelerate(loud.data(), n, out.data()).changed, 0);
    EXPECT_TRUE(std::equal(loud.begin(), loud.end(), out.begin()));
    EXPECT_EQ(TS::Expand(loud.data(), n, out.data(), int(out.size())).changed, 0);
    EXPECT_TRUE(std::equal(loud.begin(), loud.end(), out.begin()));

    const Pcm quiet = Noise(seed, 155, n);  // RMS 89: just below
    TS::Result r = TS::Accelerate(quiet.data(), n, out.data());
    EXPECT_EQ(r.changed, TS::kMaxPeriod);
    EXPECT_FALSE(r.periodic);
    EXPECT_EQ(out[size_t(r.outputLength - 1)], quiet.back());
    r = TS::Expand(quiet.data(), n, out.data(), int(out.size()));
    EXPECT_EQ(r.outputLength, n + TS::kMaxPeriod);
    EXPECT_EQ(out[size_t(r.outputLength - 1)], quiet.back());
    EXPECT_LE(MaxStep(out.data(), r.outputLength), 2 * 155 + 4);
  }
  // A 200 Hz tone 10 dB above noise correlates at about 0.9: periodic, loses whole periods.
  Pcm noisy = Tones({{200, 8000, 0.0}}, n);
  const Pcm hiss = Noise(3, 3000, n);
  for (int i = 0; i < n; ++i) noisy[size_t(i)] = int16_t(noisy[size_t(i)] + hiss[size_t(i)]);
  const double noisyCorrelation = TS::EstimatePeriod(noisy.data(), n).correlation;
  EXPECT_GT(noisyCorrelation, 0.8);
  EXPECT_LT(noisyCorrelation, 0.95);
  TS::Result r = TS::Accelerate(noisy.data(), n, out.data());
  EXPECT_TRUE(r.periodic);
  EXPECT_TRUE(r.changed > 0 && r.changed % 40 == 0) << r.changed;

  // 50 Hz: a period longer than kMaxPeriod, best correlation about 0.75. Loud it stays; quiet
  // it is cut by kMaxPeriod, and the fade between two different phases must not leave a step.
  const Pcm hum = Tones({{50, 10000, 0.4}}, n), quietHum = Tones({{50, 100, 0.4}}, n);
  EXPECT_EQ(TS::Accelerate(hum.data(), n, out.data()).changed, 0);
  const int humStep = MaxStep(quietHum.data(), n);
  r = TS::Accelerate(quietHum.data(), n, out.data());
  EXPECT_EQ(r.changed, TS::kMaxPeriod);
  EXPECT_LE(MaxStep(out.data(), r.outputLength), humStep + 2);
  r = TS::Expand(quietHum.data(), n, out.data(), int(out.size()));
  EXPECT_EQ(r.changed, TS::kMaxPeriod);
  EXPECT_LE(MaxStep(out.data(), r.outputLength), humStep + 2);

  const Pcm silence(n, 0);
  EXPECT_EQ(TS::Accelerate(silence.data(), n, out.data()).outputLength, n - TS::kMaxPeriod);
  EXPECT_EQ(TS::Expand(silence.data(), n, out.data(), int(out.size())).outputLength,
            n + TS::kMaxPeriod);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t v) { return v == 0; }));
}

TEST(TimeStretcherTest, LengthAndCapacityBoundsAndFullScale) {
  const Pcm x = Tones({{200, 10000, 0.5}}, TS::kMaxInput + 1);
  const int16_t kSentinel = 0x5A5A;
  Pcm out(TS::kMaxInput + TS::kMaxPeriod + 8, kSentinel);
  auto untouchedFrom = [&](int i) {
    return std::all_of(out.begin() + i, out.end(), [&](int16_t v) { return v == kSentinel; });
  };
  EXPECT_EQ(TS::Accelerate(x.data(), TS::kMaxInput + 1, out.data()).outputLength, 0);
  EXPECT_EQ(TS::Expand(x.data(), -1, out.data(), int(out.size())).outputLength, 0);
  EXPECT_EQ(TS::Expand(x.data(), 300, out.data(), 299).outputLength, 0);
  EXPECT_TRUE(untouchedFrom(0));

  const int small = TS::kMinInput - 1;
  TS::Result r = TS::Accelerate(x.data(), small, out.data());
  EXPECT_EQ(r.outputLength, small);
  EXPECT_EQ(r.changed, 0);
  EXPECT_TRUE(std::equal(x.begin(), x.begin() + small, out.begin()) && untouchedFrom(small));
  EXPECT_EQ(TS::Accelerate(x.data(), TS::kMinInput, out.data()).changed, 40);

  // Expand writes nothing past outCapacity: too little room for kMaxPeriod more means a copy.
  const int n = 400;
  r = TS::Expand(x.data(), n, out.data(), n + TS::kMaxPeriod - 1);
  EXPECT_EQ(r.outputLength, n);
  EXPECT_EQ(r.changed, 0);
  EXPECT_TRUE(untouchedFrom(n));
  std::fill(out.begin(), out.end(), kSentinel);
  r = TS::Expand(x.data(), n, out.data(), n + TS::kMaxPeriod);
  EXPECT_EQ(r.changed, 40);
  EXPECT_TRUE(untouchedFrom(n + 40));

  // Full scale: a clipped square-ish wave of period 50 and full-range noise (no overflow).
  const Pcm square = Tones({{160, 1e6, 0.1}}, n);
  EXPECT_EQ(*std::min_element(square.begin(), square.end()), -32768);
  r = TS::Accelerate(square.data(), n, out.data());
  EXPECT_EQ(r.changed, 50);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + r.outputLength, square.begin()));
  const Pcm loud = Noise(7, 32767, n);
  EXPECT_EQ(TS::Expand(loud.data(), n, out.data(), int(out.size())).changed, 0);
}

}  // namespace
}  // namespace tarsio
