// The listener registry of a file source: listeners are added (never removed) and told when the
// source's thread starts (FILE_STARTED) and stops (FILE_STOPPED).
//
// Threading: AddListener on a host thread, Notify on whichever thread reports; the list is guarded
// by listenersMutex, which is held while the listeners run.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/CriticalSection.h"

namespace tarsio {

class FileSourceListener;
class WaveFileSource;

class FileSourceNotifier {
 public:
  static constexpr int32_t FILE_STARTED = 0;
  static constexpr int32_t FILE_STOPPED = 1;

  /// source is the object handed to the listeners (the file source that owns this registry).
  explicit FileSourceNotifier(WaveFileSource* source) : source_(source) {}
  virtual ~FileSourceNotifier() = default;
  FileSourceNotifier(const FileSourceNotifier&) = delete;
  FileSourceNotifier& operator=(const FileSourceNotifier&) = delete;

  /// Appends unless already present (null is ignored); returns 0.
  int32_t AddListener(FileSourceListener* listener);
  /// Calls every listener in order: FILE_STARTED -> FilePlayStarted, FILE_STOPPED ->
  /// FilePlayStopped, other events nothing. Returns 0.
  int32_t Notify(int32_t event, const char* fileName);

 private:
  WaveFileSource* source_;
  std::vector<FileSourceListener*> listeners_ TARSIO_GUARDED_BY(listenersMutex_);
  CriticalSection listenersMutex_;
};

}  // namespace tarsio
