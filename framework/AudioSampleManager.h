// The process-wide pool of audio samples.
//
// Released samples go to the back of a free list and are handed out again from its front (FIFO).
// The pool never shrinks and has no upper bound: it holds as many samples as were ever in use at
// once. It counts the samples it created and those lying free, so tests and tools can check that
// every sample came back (InUseCount() == 0 once a chain is stopped; poisoned samples stay in
// use for ever). A poisoned sample found at the front of the free list is set aside, never handed
// out again, and deleted with the pool (the pool outlives every sample, so nobody can still hold
// one then).
//
// Threading: GetAudioSample and ReturnAudioSample may be called from any thread; the free list is
// guarded by poolMutex. GetAudioSample never holds poolMutex and a sample's lock together;
// ReturnAudioSample is called by Release with the sample's lock held (sample lock before pool
// lock). Instance/CreateInstance/DestroyInstance are guarded by a process-wide lock.
//
// Lifetime: the pool is reference-counted. Every CreateInstance takes a reference and every
// DestroyInstance drops one; the pool is deleted when the last goes. Each media terminal holds one
// for its life, and so does each chain of filters a stuck thread keeps alive after its terminal
// let it go, so terminals may be created and destroyed in any order and a sample is never
// returned to a deleted pool. Instance() alone (tests, tools) creates the pool with one
// reference, which the first DestroyInstance drops.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/TracedObject.h"
#include "platform/CriticalSection.h"

namespace tarsio {

class AudioSampleManager : public TracedObject {
 public:
  ~AudioSampleManager() override;
  int32_t ReadTraceLevel() override;

  /// Creates the pool on first use and returns it; a pool made here holds one reference, as if
  /// made by CreateInstance. Does not take a reference on an existing pool.
  static AudioSampleManager* Instance();
  /// Takes a reference, creating the pool if there is none.
  static void CreateInstance();
  /// Drops a reference; the last one deletes the pool and every free sample in it.
  static void DestroyInstance();
  /// Whether the pool exists now (does not create it).
  static bool Exists();

  /// Stores a sample with count 1, data size 0 and silence 0 in *out; returns 0.
  int32_t GetAudioSample(AudioSample** out, const TracedObject* requester);
  /// Puts a sample back (count 0, back of the free list). Only Release calls it.
  int32_t ReturnAudioSample(AudioSample* sample);

  int32_t CreatedCount() const { return createdCount_.load(); }
  int32_t FreeCount();
  /// Samples created and not lying in the free list.
  int32_t InUseCount();

 private:
  AudioSampleManager();

  std::list<AudioSample*> freeList_;  // guarded by poolMutex_
  CriticalSection poolMutex_;
  std::atomic<int32_t> createdCount_{0};
  std::vector<AudioSample*> setAside_;  // poisoned samples taken off the free list; poolMutex_
};

}  // namespace tarsio
