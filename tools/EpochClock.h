// Wall-clock time as the call report gives it: milliseconds since the Unix epoch.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarsio::host {

inline int64_t EpochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tarsio::host
