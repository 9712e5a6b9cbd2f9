#include "dsp/AverageCalculator.h"

namespace tarsio {

bool AverageCalculator::Add(double value, const Tracer& tracer, double* average) {
  sum += value;
  count += 1;
  if (count < window) return false;
  const double mean = sum / count;
  TRACE(tracer, trace::kState, "AverageCalculator : average over last %d samples was %f\n", count,
        mean);
  if (average != nullptr) *average = mean;
  Clear();
  return true;
}

void AverageCalculator::Clear() {
  sum = 0.0;
  count = 0;
}

}  // namespace tarsio
