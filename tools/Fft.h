// An in-place radix-2 complex FFT of a fixed power-of-two size, for the cross-correlations of the
// delay estimator.
//
// Threading: a constructed Fft is read-only; one object may transform on several threads at once.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace tarsio::host {

class Fft {
 public:
  /// size must be a power of two (at least 1).
  explicit Fft(size_t size);

  size_t Size() const { return size_; }
  /// data.size() must equal Size().
  void Forward(std::vector<std::complex<double>>& data) const;
  /// The inverse transform, scaled by 1/Size() so that Inverse(Forward(x)) == x.
  void Inverse(std::vector<std::complex<double>>& data) const;

  /// The smallest power of two that is at least n (1 for n == 0).
  static size_t NextPowerOfTwo(size_t n);

 private:
  void Transform(std::vector<std::complex<double>>& data, bool inverse) const;

  size_t size_;
  std::vector<size_t> bitReversed_;
  std::vector<std::complex<double>> twiddles_;  // exp(-2πik/size) for k < size/2
};

}  // namespace tarsio::host
