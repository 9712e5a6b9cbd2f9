#include "devices/DeviceCallRetry.h"

#include "platform/Clock.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

uint32_t RetryDeviceCall(const std::function<uint32_t()>& call) {
  uint32_t result = call();
  for (int attempt = 1; result != MMSYSERR_NOERROR && attempt < kDeviceCallAttempts; ++attempt) {
    SleepMs(kDeviceRetrySleepMs);
    result = call();
  }
  return result;
}

}  // namespace tarsio
