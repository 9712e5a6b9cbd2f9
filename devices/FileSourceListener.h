// Callbacks of a file source: its thread has started, its thread has stopped.
//
// Threading: FilePlayStarted runs on the thread that starts the source's thread, FilePlayStopped
// on the source's own thread as it ends; both with the source's filterMutex and its listener
// lock held, so an implementation must not call back into the source's file operations.
#pragma once

namespace tarsio {

class WaveFileSource;

class FileSourceListener {
 public:
  virtual ~FileSourceListener() = default;
  virtual void FilePlayStarted(WaveFileSource* /*source*/, const char* /*fileName*/) {}
  virtual void FilePlayStopped(WaveFileSource* /*source*/, const char* /*fileName*/) {}
};

}  // namespace tarsio
