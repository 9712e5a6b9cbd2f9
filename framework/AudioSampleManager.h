// The process-wide pool of audio samples.
//
// Released samples go to the back of a free list and are handed out again from its front (FIFO),
// so a released sample rests in the pool as long as possible before it is reused (a holder that
// touches a sample after its last Release meets a pooled sample, not someone else's audio). The
// pool never shrinks and has no upper bound: it holds as many samples as were ever in use at once;
// Reserve creates samples ahead of need, so that a call does not create any once it runs. It
// counts the samples it created and those lying free, so tests and tools can check that every
// sample came back (InUseCount() == 0 once a chain is stopped; poisoned samples stay in use for
// ever). A poisoned sample found at the front of the free list is set aside, never handed out
// again, and deleted with the pool (the pool outlives every sample, so nobody can still hold one
// then).
//
// Allocation: none once the pool holds enough samples. The free list and the set-aside list are
// intrusive (each sample carries the link), so putting a sample back or taking one costs no
// memory; only creating a sample allocates (the sample and its buffer).
//
// Locking choice: one pool lock (poolMutex), held for O(1) work only (unlinking or linking one
// sample; no allocation, no call out). A running call moves a few hundred samples per second
// through the pool, so the lock is almost never contended; bench/pool_bench measures a get and
// release at well under a microsecond, alone and with four threads at once.
// Per-thread caches would break the FIFO order and the free count, and a lock-free FIFO with
// reused nodes needs ABA protection (tagged pointers or hazard pointers) for no measurable gain
// at these rates.
//
// Threading: GetAudioSample, ReturnAudioSample and Reserve may be called from any thread; the
// free list, the set-aside list and the free count are guarded by poolMutex. GetAudioSample never
// holds poolMutex and a sample's lock together; ReturnAudioSample is called by Release with the
// sample's lock held (sample lock before pool lock). Instance/CreateInstance/DestroyInstance are
// guarded by a process-wide lock.
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
#include <mutex>

#include "framework/AudioSample.h"
#include "framework/TracedObject.h"

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
  int32_t ReturnAudioSample(AudioSample* sample) TARSIO_REQUIRES(sample->refMutex_);
  /// Creates free samples until at least total samples exist (on the caller's thread, so that a
  /// running chain finds them in the pool). Returns the samples created.
  int32_t Reserve(int32_t total);

  int32_t CreatedCount() const { return createdCount_.load(); }
  int32_t FreeCount();
  /// Samples created and not lying in the free list.
  int32_t InUseCount();

 private:
  AudioSampleManager();

  /// Links a sample at the back of the free list (poolMutex_ held).
  void PushFreeLocked(AudioSample* sample);
  /// Unlinks the front of the free list, or null (poolMutex_ held).
  AudioSample* PopFreeLocked();

  std::mutex poolMutex_;
  AudioSample* freeHead_ = nullptr;  // linked through AudioSample::poolNext_; poolMutex_
  AudioSample* freeTail_ = nullptr;  // poolMutex_
  int32_t freeCount_ = 0;            // poolMutex_
  AudioSample* setAside_ = nullptr;  // poisoned samples taken off the free list; poolMutex_
  std::atomic<int32_t> createdCount_{0};
};

}  // namespace tarsio
