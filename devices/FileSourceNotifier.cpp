#include "devices/FileSourceNotifier.h"

#include <algorithm>

#include "devices/FileSourceListener.h"

namespace tarsio {

int32_t FileSourceNotifier::AddListener(FileSourceListener* listener) {
  if (listener == nullptr) return 0;
  CriticalSectionLock lock(listenersMutex_);
  if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end()) {
    listeners_.push_back(listener);
  }
  return 0;
}

int32_t FileSourceNotifier::Notify(int32_t event, const char* fileName) {
  CriticalSectionLock lock(listenersMutex_);
  for (FileSourceListener* listener : listeners_) {
    if (event == FILE_STARTED) {
      listener->FilePlayStarted(source_, fileName);
    } else if (event == FILE_STOPPED) {
      listener->FilePlayStopped(source_, fileName);
    }
  }
  return 0;
}

}  // namespace tarsio
