#include "tools/DelayEstimator.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "tools/Fft.h"

namespace tarsio::host {

namespace {

using Complex = std::complex<double>;

std::vector<double> PrefixEnergy(std::span<const float> x) {
  std::vector<double> prefix(x.size() + 1, 0.0);
  for (size_t i = 0; i < x.size(); ++i) {
    prefix[i + 1] = prefix[i] + static_cast<double>(x[i]) * static_cast<double>(x[i]);
  }
  return prefix;
}

}  // namespace

DelayEstimate DelayEstimator::Estimate(std::span<const float> reference,
                                       std::span<const float> recording, int minLag, int maxLag) {
  DelayEstimate best;
  if (reference.empty() || recording.empty() || minLag > maxLag) return best;

  // c[L] = sum_n reference[n] * recording[n + L], for all L at once: with N at least the sum of
  // both lengths the circular correlation has no wrap-around, and lag L < 0 sits at index N + L.
  const Fft fft(Fft::NextPowerOfTwo(reference.size() + recording.size()));
  const size_t n = fft.Size();
  std::vector<Complex> a(n), b(n);
  for (size_t i = 0; i < reference.size(); ++i) a[i] = reference[i];
  for (size_t i = 0; i < recording.size(); ++i) b[i] = recording[i];
  fft.Forward(a);
  fft.Forward(b);
  for (size_t i = 0; i < n; ++i) a[i] = std::conj(a[i]) * b[i];
  fft.Inverse(a);

  const std::vector<double> refEnergy = PrefixEnergy(reference);
  const std::vector<double> recEnergy = PrefixEnergy(recording);
  const double refTotal = refEnergy.back();
  if (refTotal <= 0.0) return best;

  const long refSize = static_cast<long>(reference.size());
  const long recSize = static_cast<long>(recording.size());
  const long lo = std::max<long>(minLag, -refSize + 1);
  const long hi = std::min<long>(maxLag, recSize - 1);
  std::vector<double> ncc;
  long bestLag = 0;
  double bestValue = -2.0;
  for (long lag = lo; lag <= hi; ++lag) {
    // Overlap: reference indices [first, last) meet recording indices [first + lag, last + lag).
    const long first = std::max<long>(0, -lag);
    const long last = std::min<long>(refSize, recSize - lag);
    double value = -2.0;
    if (last > first) {
      const double er = refEnergy[last] - refEnergy[first];
      const double eo = recEnergy[last + lag] - recEnergy[first + lag];
      if (er >= 0.5 * refTotal && er > 0.0 && eo > 0.0) {
        const size_t index = lag >= 0 ? static_cast<size_t>(lag) : n - static_cast<size_t>(-lag);
        value = a[index].real() / std::sqrt(er * eo);
      }
    }
    ncc.push_back(value);
    if (value > bestValue) {
      bestValue = value;
      bestLag = lag;
    }
  }
  if (bestValue < -1.5) return best;

  best.found = true;
  best.correlation = bestValue;
  best.lagSamples = static_cast<double>(bestLag);
  // Parabolic refinement through the peak and its two neighbours.
  const size_t i = static_cast<size_t>(bestLag - lo);
  if (i > 0 && i + 1 < ncc.size() && ncc[i - 1] > -1.5 && ncc[i + 1] > -1.5) {
    const double ym = ncc[i - 1], y0 = ncc[i], yp = ncc[i + 1];
    const double denominator = ym - 2.0 * y0 + yp;
    if (denominator < 0.0) {
      best.lagSamples += std::clamp(0.5 * (ym - yp) / denominator, -0.5, 0.5);
    }
  }
  return best;
}

std::vector<WindowDelay> DelayEstimator::EstimateWindows(std::span<const float> reference,
                                                         std::span<const float> recording,
                                                         int minLag, int maxLag,
                                                         size_t windowSamples, size_t hopSamples,
                                                         double minRelativeLevel) {
  std::vector<WindowDelay> result;
  if (windowSamples == 0 || hopSamples == 0 || reference.size() < windowSamples) return result;
  const std::vector<double> energy = PrefixEnergy(reference);
  std::vector<size_t> starts;
  std::vector<double> rms;
  double loudest = 0.0;
  for (size_t start = 0; start + windowSamples <= reference.size(); start += hopSamples) {
    const double r = std::sqrt((energy[start + windowSamples] - energy[start]) /
                               static_cast<double>(windowSamples));
    starts.push_back(start);
    rms.push_back(r);
    loudest = std::max(loudest, r);
  }
  for (size_t w = 0; w < starts.size(); ++w) {
    if (loudest <= 0.0 || rms[w] < minRelativeLevel * loudest) continue;
    const long start = static_cast<long>(starts[w]);
    // Only the part of the recording the window can land in takes part.
    const long from = std::clamp<long>(start + minLag, 0, static_cast<long>(recording.size()));
    const long to = std::clamp<long>(start + static_cast<long>(windowSamples) + maxLag, from,
                                     static_cast<long>(recording.size()));
    if (to <= from) continue;
    const long shift = start - from;  // recording segment index = recording index - from
    DelayEstimate e =
        Estimate(reference.subspan(starts[w], windowSamples),
                 recording.subspan(static_cast<size_t>(from), static_cast<size_t>(to - from)),
                 static_cast<int>(minLag + shift), static_cast<int>(maxLag + shift));
    if (!e.found) continue;
    e.lagSamples -= static_cast<double>(shift);
    result.push_back({starts[w], e});
  }
  return result;
}

}  // namespace tarsio::host
