// The delay estimator and the loopback analysis on synthetic signals whose delay is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "tools/DelayEstimator.h"
#include "tools/LoopbackAnalysis.h"

namespace tarsio::host {
namespace {

constexpr int kRate = 8000;

// Speech-like: low-passed noise in bursts of 150..400 ms separated by pauses, so that the
// estimator cannot lock onto a periodic structure.
std::vector<float> SpeechLike(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::uniform_int_distribution<int> burst(1200, 3200), pause(400, 2400);
  std::vector<float> x(n, 0.0f);
  float state = 0.0f;
  size_t i = 0;
  while (i < n) {
    const size_t on = std::min(n, i + static_cast<size_t>(burst(rng)));
    for (; i < on; ++i) {
      state = 0.7f * state + 0.3f * noise(rng);
      x[i] = state;
    }
    i += static_cast<size_t>(pause(rng));
  }
  return x;
}

// recording[n] = gain * reference[n - delay] + noise at snrDb below the signal's power, 3 s.
std::vector<float> Delayed(const std::vector<float>& ref, long delay, float gain = 1.0f,
                           double snrDb = INFINITY) {
  double power = 0.0;
  for (float v : ref) power += static_cast<double>(v) * v;
  power /= static_cast<double>(ref.size());
  const double noiseRms =
      std::isinf(snrDb) ? 0.0 : gain * std::sqrt(power / std::pow(10.0, snrDb / 10.0));
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
  struct Case {
    long delay;
    float gain;
    double snrDb;
    double tolerance;  // samples
  };
  // A clean delay is found to the sample with a correlation of 1; noisy ones within 1 ms.
  const Case cases[] = {{0, 1.0f, INFINITY, 0.5}, {321, 0.7f, INFINITY, 0.5},
                        {1096, 0.25f, 20.0, 8},   {2403, 3.0f, 10.0, 8},
                        {-400, 0.5f, 15.0, 8},    {7999, 0.05f, 6.0, 8},
                        {137, 1.0f, 0.0, 8}};
  const std::vector<float> ref = SpeechLike(2 * kRate, 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "delay " << c.delay << " gain " << c.gain << " snr " << c.snrDb);
    const DelayEstimate e = DelayEstimator::Estimate(ref, Delayed(ref, c.delay, c.gain, c.snrDb),
                                                     -kRate / 2, kRate + kRate / 2);
    ASSERT_TRUE(e.found);
    EXPECT_NEAR(e.lagSamples, static_cast<double>(c.delay), c.tolerance);
    EXPECT_GT(e.correlation, std::isinf(c.snrDb) ? 1 - 1e-6 : c.snrDb >= 10.0 ? 0.9 : 0.6);
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

TEST(DelayEstimatorTest, WindowsFollowADelayThatJumpsMidway) {
  // The second half arrives 160 samples (20 ms) later than the first: an inserted frame.
  const std::vector<float> ref = SpeechLike(3 * kRate, 9);
  std::vector<float> rec(4 * kRate, 0.0f);
  for (size_t n = 0; n < ref.size(); ++n) {
    const size_t delay = n < ref.size() / 2 ? 800 : 960;
    rec[n + delay] = 0.5f * ref[n];
  }
  const auto windows =
      DelayEstimator::EstimateWindows(ref, rec, -kRate, kRate, kRate / 2, kRate / 4, 0.2);
  ASSERT_GE(windows.size(), 5u);
  for (const WindowDelay& w : windows) {  // windows across the jump may show either delay
    const bool first = w.start + kRate / 2 <= ref.size() / 2, second = w.start >= ref.size() / 2;
    if (first || second) {
      EXPECT_NEAR(w.estimate.lagSamples, first ? 800.0 : 960.0, 8.0) << w.start;
    }
  }
}

TEST(LoopbackAnalysisTest, DelayIncludesClockOffsetAndDroppedFramesCountAsSilence) {
  const std::vector<float> speech = SpeechLike(3 * kRate, 4);
  std::vector<int16_t> in(speech.size());
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<int16_t>(std::clamp(speech[i] * 20000.0f, -32768.0f, 32767.0f));
  }
  const long lag = 1200;  // 150 ms
  std::vector<int16_t> out(in.size() + 2 * kRate, 0);
  for (size_t i = 0; i < in.size(); ++i) out[i + lag] = in[i] / 2;
  // Blank three 20 ms frames where the input is loud: as if the receiver had nothing to play.
  size_t blanked = 0;
  for (long j = 160 * 8; j + 160 - lag <= static_cast<long>(in.size()) && blanked < 3;
       j += 160 * 7) {
    double e = 0;  // output frames are on the output's 20 ms grid
    for (long k = j - lag; k < j - lag + 160; ++k) e += static_cast<double>(in[k]) * in[k];
    if (std::sqrt(e / 160) < 1500) continue;
    std::fill_n(out.begin() + j, 160, 0);
    ++blanked;
  }
  ASSERT_EQ(blanked, 3u);

  const LoopbackResult r =
      LoopbackAnalysis::Analyse(AudioClip(kRate, in), AudioClip(kRate, out), -12.0);
  ASSERT_TRUE(r.overall.found);
  EXPECT_NEAR(r.delayMs, 150.0 - 12.0, 1.0);
  EXPECT_NEAR(r.minDelayMs, 138.0, 1.0);
  EXPECT_NEAR(r.maxDelayMs, 138.0, 1.0);
  EXPECT_EQ(r.silentFrames, 3u);
  EXPECT_GT(r.speechFrames, 50u);
  EXPECT_NEAR(r.SilentFraction(), 3.0 / static_cast<double>(r.speechFrames), 1e-12);
}

}  // namespace
}  // namespace tarsio::host
