// The production clock: std::chrono::steady_clock, real sleeps and real condition-variable waits.
//
// Threading: stateless; any thread.
#pragma once

#include "platform/Clock.h"

namespace tarsio {

class RealClock final : public Clock {
 public:
  uint64_t NowMs() override;
  uint64_t NowUs() override;
  void SleepMs(uint32_t ms) override;
  bool WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint32_t ms,
               const std::function<bool()>& pred) override;

  /// The process-wide instance used when no other clock is installed.
  static RealClock& Instance();
};

}  // namespace tarsio
