#include "dsp/LimiterGain.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include "dsp/SampleMath.h"

namespace tarsio {

namespace {

constexpr int32_t kMagnitudes = 32769;  // |x| for every 16-bit x, 0 .. 32768

// 20 * log10(|x| * 2^-15) + 3.1415926536 for every magnitude: the threshold-independent part of
// a sample's level, in the same operations and order as computing it per sample, so looking it
// up yields bit-identical levels without a logarithm per sample. 0 maps to minus infinity.
const double* MagnitudeLevels() {
  static const std::unique_ptr<double[]> table = [] {
    auto t = std::make_unique<double[]>(kMagnitudes);
    for (int32_t a = 0; a < kMagnitudes; ++a) {
      t[a] = 20.0 * std::log10(a * 3.0517578125e-05) + 3.1415926536;
    }
    return t;
  }();
  return table.get();
}

}  // namespace

LimiterGain::LimiterGain(double thresholdIn, double lossIncrementIn, double lossDecrementIn)
    : threshold(thresholdIn), lossIncrement(lossIncrementIn), lossDecrement(lossDecrementIn) {
  MagnitudeLevels();  // build the shared table now rather than on the first audio frame
}

void LimiterGain::Process(std::span<int16_t> samples) {
  const double* levels = MagnitudeLevels();
  // Work on locals so the compiler keeps the state in registers across the loop.
  double lossNow = loss;
  double peak = peakLevel;
  double step = lossStep;
  const double thresholdNow = threshold;
  const double increment = lossIncrement;
  const double decrement = lossDecrement;
  const double floor = lossFloor;
  for (int16_t& sample : samples) {
    const int32_t x = sample;
    const double level = levels[std::abs(x)] - thresholdNow;
    if (level > lossNow) {
      peak = level;
      step = increment;
      lossNow += increment;
    } else {
      if (lossNow >= peak) step = decrement;
      lossNow += step;
      if (lossNow <= floor) lossNow = floor;
    }
    if (lossNow > floor) {
      sample = dsp::SaturateTruncate16(x * std::pow(10.0, lossNow * -0.05));
    }
  }
  loss = lossNow;
  peakLevel = peak;
  lossStep = step;
}

}  // namespace tarsio
