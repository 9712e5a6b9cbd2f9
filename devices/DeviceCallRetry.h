// The retry rule both sound-device filters apply when they reset, unprepare and close a device:
// a device that refuses a call (still busy with a buffer, a server that hiccups) usually accepts
// it a little later, and a stop must not leave it half open. A device that no longer answers at
// all (its backend call stuck, WaveAudioDevice::IsStalled) is not retried: the caller passes that
// test as giveUp.
//
// Threading: runs on the caller's thread; sleeps through the process clock, so a test's fake
// clock decides how long the retries take.
#pragma once

#include <cstdint>
#include <functional>

namespace tarsio {

inline constexpr int kDeviceCallAttempts = 40;
inline constexpr uint32_t kDeviceRetrySleepMs = 50;

/// Calls a device function until it returns MMSYSERR_NOERROR, at most 40 times, 50 ms apart,
/// and no more once giveUp (if given) returns true after a failed call. Returns the last result.
uint32_t RetryDeviceCall(const std::function<uint32_t()>& call,
                         const std::function<bool()>& giveUp = nullptr);

}  // namespace tarsio
