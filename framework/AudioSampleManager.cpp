#include "framework/AudioSampleManager.h"

namespace tarsio {

namespace {

// The process-wide pool, its reference count and the lock around creating and destroying it.
std::atomic<AudioSampleManager*> instance{nullptr};
int32_t references = 0;  // guarded by InstanceMutex()
CriticalSection& InstanceMutex() {
  static CriticalSection* mutex = new CriticalSection;  // never destroyed: used at exit too
  return *mutex;
}

// Advanced by every GetAudioSample, modulo 1000, to trace the pool's size now and then.
std::atomic<int32_t> getCallCounter{0};
constexpr int32_t kCountTracePeriod = 1000;

}  // namespace

AudioSampleManager::AudioSampleManager() {
  tracer.SetInstanceName("AudioSampleManager", this);
  ReadTraceLevel();
}

AudioSampleManager::~AudioSampleManager() {
  CriticalSectionLock lock(poolMutex_);
  int32_t freed = 0;
  for (AudioSample* sample : freeList_) {
    delete sample;
    ++freed;
  }
  for (AudioSample* sample : setAside_) {
    delete sample;
    ++freed;
  }
  TRACE(tracer, trace::kNotable, "~AudioSampleManager : created %d samples, freed %d samples\n",
        createdCount_.load(), freed);
  freeList_.clear();
  setAside_.clear();
}

int32_t AudioSampleManager::ReadTraceLevel() { return ReadTraceLevelFor("AudioSampleManager"); }

AudioSampleManager* AudioSampleManager::Instance() {
  CriticalSectionLock lock(InstanceMutex());
  AudioSampleManager* manager = instance.load();
  if (manager == nullptr) {
    manager = new AudioSampleManager;
    instance.store(manager);
    references = 1;
  }
  return manager;
}

void AudioSampleManager::CreateInstance() {
  CriticalSectionLock lock(InstanceMutex());
  if (instance.load() == nullptr) {
    instance.store(new AudioSampleManager);
    references = 0;
  }
  ++references;
}

void AudioSampleManager::DestroyInstance() {
  CriticalSectionLock lock(InstanceMutex());
  if (instance.load() == nullptr) return;
  if (--references > 0) return;
  references = 0;
  delete instance.exchange(nullptr);
}

bool AudioSampleManager::Exists() { return instance.load() != nullptr; }

int32_t AudioSampleManager::GetAudioSample(AudioSample** out, const TracedObject* /*requester*/) {
  int32_t calls = getCallCounter.load();
  while (!getCallCounter.compare_exchange_weak(calls, (calls + 1) % kCountTracePeriod)) {
  }
  if ((calls + 1) % kCountTracePeriod == 0) {
    TRACE(tracer, trace::kNotable,
          "GetAudioSample : free list has %d samples, created %d samples\n", FreeCount(),
          createdCount_.load());
  }

  AudioSample* sample = nullptr;
  {
    CriticalSectionLock lock(poolMutex_);
    if (!freeList_.empty()) {
      sample = freeList_.front();
      freeList_.pop_front();
    }
  }
  if (sample == nullptr) {
    sample = new AudioSample(this);
    createdCount_.fetch_add(1);
  }

  sample->refMutex_.Enter();
  if (sample->refCount_ > 0) {
    // Still referenced after it went back to the pool (a poisoned sample): set it aside for good
    // and use a new one.
    sample->refMutex_.Leave();
    {
      CriticalSectionLock lock(poolMutex_);
      setAside_.push_back(sample);
    }
    sample = new AudioSample(this);
    createdCount_.fetch_add(1);
    sample->refMutex_.Enter();
  }
  sample->refCount_ = 1;
  sample->dataSize_ = 0;
  sample->silenceDuration_ = 0;
  sample->refMutex_.Leave();
  *out = sample;
  return 0;
}

int32_t AudioSampleManager::ReturnAudioSample(AudioSample* sample) {
  sample->refCount_ = 0;
  CriticalSectionLock lock(poolMutex_);
  freeList_.push_back(sample);
  return 0;
}

int32_t AudioSampleManager::FreeCount() {
  CriticalSectionLock lock(poolMutex_);
  return static_cast<int32_t>(freeList_.size());
}

int32_t AudioSampleManager::InUseCount() {
  CriticalSectionLock lock(poolMutex_);
  return createdCount_.load() - static_cast<int32_t>(freeList_.size());
}

}  // namespace tarsio
