// The delay estimator and the loopback analysis on synthetic signals whose delay is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "tools/DelayEstimator.h"
#include "tools/LoopbackAnalysis.h"

namespace tarsio::host {
namespace {

constexpr int kRate = 8000;

// Speech-like: low-passed noise in bursts of 150..400 ms, so that the estimator cannot lock onto a
// periodic structure, separated by pauses unless pauses is false.
std::vector<float> SpeechLike(size_t n, uint32_t seed, bool pauses = true) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::uniform_int_distribution<int> burst(1200, 3200), pause(400, 2400);
  std::vector<float> x(n, 0.0f);
  float state = 0.0f;
  for (size_t i = 0; i < n; i += pauses ? static_cast<size_t>(pause(rng)) : 0) {
    for (const size_t on = std::min(n, i + static_cast<size_t>(burst(rng))); i < on; ++i)
      x[i] = state = 0.7f * state + 0.3f * noise(rng);
  }
  return x;
}

// recording[n] = gain * reference[n - delay] + noise at snrDb below the signal's power, 3 s.
std::vector<float> Delayed(const std::vector<float>& ref, long delay, float gain = 1.0f,
                           double snrDb = INFINITY) {
  const double power = std::inner_product(ref.begin(), ref.end(), ref.begin(), 0.0) / ref.size();
  const double noiseRms = gain * std::sqrt(power / std::pow(10.0, snrDb / 10.0));
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<float> out(3 * kRate, 0.0f);
  for (size_t n = 0; n < out.size(); ++n) {
    const long i = static_cast<long>(n) - delay;
    const double v = (i >= 0 && static_cast<size_t>(i) < ref.size()) ? gain * ref[i] : 0.0;
    out[n] = static_cast<float>(v + noiseRms * noise(rng));
  }
  return out;
}

TEST(DelayEstimatorTest, FindsKnownDelayDespiteGainAndNoiseAndNoneWhereThereIsNone) {
  // delay, gain, SNR (dB), tolerance (samples): a clean delay is found to the sample with a
  // correlation of 1, noisy ones within 1 ms.
  const std::tuple<long, float, double, double> cases[] = {
      {0, 1.0f, INFINITY, 0.5}, {321, 0.7f, INFINITY, 0.5}, {1096, 0.25f, 20.0, 8},
      {2403, 3.0f, 10.0, 8},    {-400, 0.5f, 15.0, 8},      {7999, 0.05f, 6.0, 8},
      {137, 1.0f, 0.0, 8}};
  const std::vector<float> ref = SpeechLike(2 * kRate, 7);
  for (const auto& [delay, gain, snrDb, tolerance] : cases) {
    SCOPED_TRACE(::testing::Message() << "delay " << delay << " gain " << gain << " snr " << snrDb);
    const DelayEstimate e = DelayEstimator::Estimate(ref, Delayed(ref, delay, gain, snrDb),
                                                     -kRate / 2, kRate + kRate / 2);
    ASSERT_TRUE(e.found);
    EXPECT_NEAR(e.lagSamples, static_cast<double>(delay), tolerance);
    EXPECT_GT(e.correlation, std::isinf(snrDb) ? 1 - 1e-6 : snrDb >= 10.0 ? 0.9 : 0.6);
  }
  // Unrelated signals correlate poorly, empty or too short input finds nothing, and a lag outside
  // the searched range is not reported.
  EXPECT_LT(DelayEstimator::Estimate(ref, SpeechLike(3 * kRate, 6), 0, kRate).correlation, 0.3);
  EXPECT_FALSE(DelayEstimator::Estimate({}, ref, 0, kRate).found);
  EXPECT_FALSE(DelayEstimator::Estimate(ref, std::vector<float>(100, 0.0f), 0, 50).found);
  const DelayEstimate e = DelayEstimator::Estimate(ref, Delayed(ref, 2000), 0, 1000);
  EXPECT_LE(e.lagSamples, 1000.0);
  EXPECT_LT(e.correlation, 0.5);
}

TEST(LoopbackAnalysisTest, WindowsFollowADelayJumpWithTheClockOffsetAndBlankFramesAreSilence) {
  // 170 ms of delay, then 150 ms from the middle on (the receiver dropped a 20 ms frame), and
  // three 20 ms frames blanked where the input is loud, as if the receiver had nothing to play.
  // The speech has no pauses: a frame next to the jump that is lined up with the other half's
  // delay must not meet a pause and count as silence.
  const std::vector<float> speech = SpeechLike(3 * kRate, 4, false);
  const size_t half = speech.size() / 2;
  std::vector<int16_t> in(speech.size()), out(in.size() + 2 * kRate, 0);
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<int16_t>(std::clamp(speech[i] * 20000.0f, -32768.0f, 32767.0f));
    out[i + (i < half ? 1360 : 1200)] = static_cast<int16_t>(in[i] / 2);
  }
  size_t blanked = 0;
  for (size_t j = 160 * 9; j + 160 <= half && blanked < 3; j += 160 * 7) {
    double e = 0;  // output frames are on the output's 20 ms grid
    for (size_t k = j - 1360; k < j - 1200; ++k) e += static_cast<double>(in[k]) * in[k];
    if (std::sqrt(e / 160) < 1500) continue;
    std::fill_n(out.begin() + j, 160, 0);
    ++blanked;
  }
  ASSERT_EQ(blanked, 3u);

  const LoopbackResult r =
      LoopbackAnalysis::Analyse(AudioClip(kRate, in), AudioClip(kRate, out), -12.0);
  ASSERT_TRUE(r.overall.found);
  EXPECT_TRUE(r.Carried());
  EXPECT_NEAR(r.minDelayMs, 150.0 - 12.0, 1.0);
  EXPECT_NEAR(r.maxDelayMs, 170.0 - 12.0, 1.0);
  EXPECT_EQ(r.silentFrames, 3u);
  EXPECT_GT(r.speechFrames, 50u);
}

}  // namespace
}  // namespace tarsio::host
