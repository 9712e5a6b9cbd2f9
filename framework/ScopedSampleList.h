// A cycle's sample list for the per-frame paths (a push into a sink, a pull through a
// transformer), borrowed from lists the calling thread keeps, so that no call builds a vector.
//
// A push runs the whole chain downstream on the pushing thread and a pull the whole chain
// upstream on the pulling thread, so the lists of one thread are used nested: each thread keeps
// one list per nesting level (up to kLevels) and a ScopedSampleList takes the next level for its
// life. The lists keep their capacity, so once a thread's lists have grown to its chain's fan-in
// (at the first frames) no cycle allocates. Nesting deeper than kLevels gets a list of the
// object's own.
//
// Threading: a ScopedSampleList belongs to the thread that made it and must die on it (the usual
// scoped use). The list is emptied when given back; releasing its samples stays with the caller.
#pragma once

#include "framework/AudioSink.h"

namespace tarsio {

class ScopedSampleList {
 public:
  static constexpr int kLevels = 32;

  ScopedSampleList();
  ~ScopedSampleList();
  ScopedSampleList(const ScopedSampleList&) = delete;
  ScopedSampleList& operator=(const ScopedSampleList&) = delete;

  AudioSampleList& Get() { return *list_; }

 private:
  AudioSampleList* list_;
  AudioSampleList own_;  // used beyond kLevels
  bool borrowed_ = false;
};

}  // namespace tarsio
