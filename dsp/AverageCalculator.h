// Running average over a fixed window of values (the volume maximizer's gains over 100 frames):
// when the window is full the average is traced and the sum starts again from zero.
//
// Threading: none; used by its owner's chain thread (Clear by the host while the chain stops).
#pragma once

#include <cstdint>

#include "framework/Tracer.h"

namespace tarsio {

class AverageCalculator {
 public:
  static constexpr int32_t kDefaultWindow = 100;

  explicit AverageCalculator(int32_t window = kDefaultWindow) : window(window) {}
  virtual ~AverageCalculator() = default;

  /// Adds a value. When the count reaches the window, traces "AverageCalculator : average over
  /// last %d samples was %f\n" with the owner's tracer, stores the average in *average (if given),
  /// clears sum and count and returns true.
  bool Add(double value, const Tracer& tracer, double* average = nullptr);
  void Clear();

  int32_t Window() const { return window; }
  double Sum() const { return sum; }
  int32_t Count() const { return count; }

 private:
  int32_t window;
  double sum = 0.0;
  int32_t count = 0;
};

}  // namespace tarsio
