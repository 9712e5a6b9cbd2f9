#include "devices/DeviceCallRetry.h"

#include "platform/Clock.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

uint32_t RetryDeviceCall(const std::function<uint32_t()>& call,
                         const std::function<bool()>& giveUp) {
  uint32_t result = call();
  for (int attempt = 1; result != mmsys::kNoError && attempt < kDeviceCallAttempts; ++attempt) {
    if (giveUp && giveUp()) break;
    SleepMs(kDeviceRetrySleepMs);
    result = call();
  }
  return result;
}

}  // namespace tarsio
