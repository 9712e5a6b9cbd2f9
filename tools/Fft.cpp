#include "tools/Fft.h"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

namespace tarsio::host {

Fft::Fft(size_t size) : size_(size) {
  if (size == 0 || (size & (size - 1)) != 0) throw std::invalid_argument("FFT size");
  bitReversed_.resize(size);
  size_t bits = 0;
  while ((size_t{1} << bits) < size) ++bits;
  for (size_t i = 0; i < size; ++i) {
    size_t r = 0;
    for (size_t b = 0; b < bits; ++b) {
      if (i & (size_t{1} << b)) r |= size_t{1} << (bits - 1 - b);
    }
    bitReversed_[i] = r;
  }
  twiddles_.resize(size / 2);
  for (size_t k = 0; k < size / 2; ++k) {
    const double angle =
        -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(size);
    twiddles_[k] = std::polar(1.0, angle);
  }
}

size_t Fft::NextPowerOfTwo(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

void Fft::Forward(std::vector<std::complex<double>>& data) const { Transform(data, false); }

void Fft::Inverse(std::vector<std::complex<double>>& data) const {
  Transform(data, true);
  const double scale = 1.0 / static_cast<double>(size_);
  for (auto& x : data) x *= scale;
}

void Fft::Transform(std::vector<std::complex<double>>& data, bool inverse) const {
  if (data.size() != size_) throw std::invalid_argument("FFT data size");
  for (size_t i = 0; i < size_; ++i) {
    const size_t j = bitReversed_[i];
    if (i < j) std::swap(data[i], data[j]);
  }
  for (size_t len = 2; len <= size_; len <<= 1) {
    const size_t half = len / 2;
    const size_t step = size_ / len;
    for (size_t start = 0; start < size_; start += len) {
      for (size_t k = 0; k < half; ++k) {
        std::complex<double> w = twiddles_[k * step];
        if (inverse) w = std::conj(w);
        const std::complex<double> t = w * data[start + k + half];
        data[start + k + half] = data[start + k] - t;
        data[start + k] += t;
      }
    }
  }
}

}  // namespace tarsio::host
