#include "tools/LoopbackAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tarsio::host {

namespace {

constexpr size_t kFrame = 160;                   // 20 ms at 8 kHz
constexpr double kSpeechRms = 0.01;              // -40 dBFS: the input frame carries speech
constexpr double kDigitalSilence = 2.0 / 32768;  // output frame counts as silence at or below
constexpr double kMinWindowLevel = 0.3;          // windows quieter than this * loudest are skipped

}  // namespace

LoopbackResult LoopbackAnalysis::Analyse(const AudioClip& input, const AudioClip& output,
                                         double clockOffsetMs, int maxDelayMs) {
  LoopbackResult result;
  const double rate = input.SampleRate() == 0 ? 8000.0 : input.SampleRate();
  const std::vector<float> in = input.Floats();
  const std::vector<float> out = output.Floats();
  const int minLag = -static_cast<int>(rate);
  const int maxLag = static_cast<int>(maxDelayMs * rate / 1000.0);
  const auto toMs = [&](double lag) { return lag * 1000.0 / rate + clockOffsetMs; };

  result.overall = DelayEstimator::Estimate(in, out, minLag, maxLag);
  if (!result.overall.found) return result;
  result.delayMs = toMs(result.overall.lagSamples);

  const size_t window = static_cast<size_t>(rate / 2);
  const auto windows =
      DelayEstimator::EstimateWindows(in, out, minLag, maxLag, window, window / 2, kMinWindowLevel);
  result.speechWindows = windows.size();
  std::vector<double> lags;  // of the windows that matched clearly
  std::vector<size_t> starts;
  for (const WindowDelay& w : windows) {
    if (w.estimate.correlation < 0.5) continue;
    result.windowDelaysMs.push_back(toMs(w.estimate.lagSamples));
    lags.push_back(w.estimate.lagSamples);
    starts.push_back(w.start);
  }
  if (!result.windowDelaysMs.empty()) {
    const auto [lo, hi] =
        std::minmax_element(result.windowDelaysMs.begin(), result.windowDelaysMs.end());
    result.minDelayMs = *lo;
    result.maxDelayMs = *hi;
    double mean = 0.0;
    for (double d : result.windowDelaysMs) mean += d;
    mean /= static_cast<double>(result.windowDelaysMs.size());
    double variance = 0.0;
    for (double d : result.windowDelaysMs) variance += (d - mean) * (d - mean);
    result.stddevDelayMs = std::sqrt(variance / static_cast<double>(result.windowDelaysMs.size()));
    std::vector<double> sorted = result.windowDelaysMs;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    result.delayMs = n % 2 == 1 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
  } else {
    result.minDelayMs = result.maxDelayMs = result.delayMs;
  }

  // Each output frame is lined up with the input through the lag of the nearest window (the
  // delay moves when the receive side inserts or drops audio), else the overall lag.
  for (size_t j = 0; j + kFrame <= out.size(); j += kFrame) {
    double lag = result.overall.lagSamples;
    double bestDistance = -1.0;
    for (size_t w = 0; w < lags.size(); ++w) {
      const double centre = static_cast<double>(starts[w] + window / 2) + lags[w];
      const double distance = std::fabs(centre - static_cast<double>(j));
      if (bestDistance < 0 || distance < bestDistance) {
        bestDistance = distance;
        lag = lags[w];
      }
    }
    const long i = static_cast<long>(j) - std::lround(lag);
    if (i < 0 || static_cast<size_t>(i) + kFrame > in.size()) continue;
    double energy = 0.0;
    for (size_t k = 0; k < kFrame; ++k) energy += in[i + k] * in[i + k];
    if (std::sqrt(energy / kFrame) < kSpeechRms) continue;
    ++result.speechFrames;
    float peak = 0.0f;
    for (size_t k = 0; k < kFrame; ++k) peak = std::max(peak, std::fabs(out[j + k]));
    if (peak <= kDigitalSilence) ++result.silentFrames;
  }
  return result;
}

}  // namespace tarsio::host
