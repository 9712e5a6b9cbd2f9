#include "framework/TrafficTotals.h"

namespace tarsio {

std::atomic<int64_t> TrafficTotals::receivedBytes{0};
std::atomic<int64_t> TrafficTotals::sentBytes{0};
std::atomic<int64_t> TrafficTotals::playedBytes{0};
std::atomic<int64_t> TrafficTotals::capturedBytes{0};
std::atomic<int64_t> TrafficTotals::decoderCount{0};
std::atomic<int64_t> TrafficTotals::encoderCount{0};

void TrafficTotals::Reset() {
  for (auto* c :
       {&receivedBytes, &sentBytes, &playedBytes, &capturedBytes, &decoderCount, &encoderCount}) {
    c->store(0, std::memory_order_relaxed);
  }
}

}  // namespace tarsio
