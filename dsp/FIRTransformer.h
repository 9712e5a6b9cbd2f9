// Finite-impulse-response filter for linear PCM: direct form, double-precision coefficients, a
// history of the last N input samples kept across frames, output clamped to the sample width and
// truncated toward zero. The media terminal loads one of four fixed 29-tap tables into each of its
// two FIR filters (transmit and receive).
//
// Silence markers pass through untouched (the same sample, one added reference) and do not
// advance the history; audio frames go to a fresh pooled sample.
//
// Threading: TransformAudioSamples runs on the thread that pushes into or pulls from the filter.
// SetCoefficients is called by the media terminal while the graph is stopped. The filter object
// is not locked.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "framework/AudioTransformer.h"

namespace tarsio {

class FIRTransformer : public AudioTransformer {
 public:
  /// Taps of each of the fixed tables.
  static constexpr int32_t kTableTaps = 29;
  /// Result of a frame when the configured bits per sample are not 8, 16 or 32.
  static constexpr int32_t kErrBitsPerSample = -20;

  /// Fixed table 1..4 (all 29 taps, in order); null for other numbers. 1: transmit default,
  /// 2: receive default, 3: transmit alternative, 4: receive alternative.
  static const double* CoefficientTable(int32_t number);

  /// The filter proper for one sample width: y[n] = sum c[k] * x[n - k], k = 0 .. N - 1, summed
  /// in k order in double precision, limited to [-2^(b-1), 2^(b-1) - 1], truncated toward zero.
  class Filter {
   public:
    /// Copies the N coefficients; the history starts all zero. bits is 8, 16 or 32.
    Filter(const double* coefficients, int32_t tapCount, int32_t bits);
    virtual ~Filter() = default;

    int32_t Bits() const { return bits; }
    double LowerLimit() const { return lowerLimit; }
    double UpperLimit() const { return upperLimit; }

    /// Filters in.size() samples into out (same size; in and out may be the same buffer).
    void Process(std::span<const int16_t> in, std::span<int16_t> out);
    void Process(std::span<const int8_t> in, std::span<int8_t> out);
    void Process(std::span<const int32_t> in, std::span<int32_t> out);
    /// Filters n little-endian samples of this filter's width from in to out (may be equal).
    void ProcessBytes(const uint8_t* in, uint8_t* out, int32_t n);

   private:
    // Samples filtered per pass over the window.
    static constexpr int32_t kChunk = 256;

    // load(i) gives input i as a double, store(i, y) writes output i.
    template <typename Load, typename Store>
    void Run(Load load, Store store, int32_t n);
    // Computes window[h + j] -> result[j] for j < len, where h = taps - 1.
    void Convolve(int32_t len, double* result) const;

    std::vector<double> coefficients;
    int32_t taps;
    int32_t bits;
    double lowerLimit;
    double upperLimit;
    // window[0 .. taps - 1) holds the previous taps - 1 inputs, oldest first; the current chunk's
    // inputs follow. This is the history (newest first in the direct form) laid out so that every
    // output reads one contiguous run of inputs.
    std::vector<double> window;
  };

  FIRTransformer();
  ~FIRTransformer() override;

  int32_t ReadTraceLevel() override;

  /// Replaces the filter (history cleared) by one for bitsPerSample 8, 16 or 32 with the given
  /// coefficients; for other widths no filter is built. The width is stored in every case.
  /// Always returns 0.
  int32_t SetCoefficients(const double* coefficients, int32_t tapCount, int32_t bitsPerSample);

  /// 0, or kErrBitsPerSample (also before SetCoefficients has built a filter).
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  /// The current filter (null before SetCoefficients or for an unsupported width).
  Filter* GetFilter() { return filter.get(); }

 private:
  std::unique_ptr<Filter> filter;
  int32_t bitsPerSample = 0;
};

}  // namespace tarsio
