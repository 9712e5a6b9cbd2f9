#include "framework/AudioSampleManager.h"

#include "platform/CriticalSection.h"

namespace tarsio {

namespace {

// The process-wide pool, its reference count and the lock around creating and destroying it.
std::atomic<AudioSampleManager*> instance{nullptr};
int32_t references = 0;  // guarded by InstanceMutex()
CriticalSection& InstanceMutex() {
  static CriticalSection* mutex = new CriticalSection;  // never destroyed: used at exit too
  return *mutex;
}

// Advanced by every GetAudioSample, to trace the pool's size every 1000th call.
std::atomic<uint32_t> getCallCounter{0};
constexpr uint32_t kCountTracePeriod = 1000;

}  // namespace

AudioSampleManager::AudioSampleManager() {
  tracer.SetInstanceName("AudioSampleManager", this);
  ReadTraceLevel();
}

AudioSampleManager::~AudioSampleManager() {
  std::lock_guard<std::mutex> lock(poolMutex_);
  int32_t freed = 0;
  for (AudioSample* list : {freeHead_, setAside_}) {
    while (list != nullptr) {
      AudioSample* next = list->poolNext_;
      delete list;
      list = next;
      ++freed;
    }
  }
  TRACE(tracer, trace::kNotable, "~AudioSampleManager : created %d samples, freed %d samples\n",
        createdCount_.load(), freed);
  freeHead_ = freeTail_ = setAside_ = nullptr;
  freeCount_ = 0;
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

void AudioSampleManager::PushFreeLocked(AudioSample* sample) {
  sample->poolNext_ = nullptr;
  if (freeTail_ != nullptr) {
    freeTail_->poolNext_ = sample;
  } else {
    freeHead_ = sample;
  }
  freeTail_ = sample;
  ++freeCount_;
}

AudioSample* AudioSampleManager::PopFreeLocked() {
  AudioSample* sample = freeHead_;
  if (sample == nullptr) return nullptr;
  freeHead_ = sample->poolNext_;
  if (freeHead_ == nullptr) freeTail_ = nullptr;
  sample->poolNext_ = nullptr;
  --freeCount_;
  return sample;
}

int32_t AudioSampleManager::GetAudioSample(AudioSample** out, const TracedObject* /*requester*/) {
  const uint32_t calls = getCallCounter.fetch_add(1, std::memory_order_relaxed) + 1;
  if (calls % kCountTracePeriod == 0) {
    TRACE(tracer, trace::kNotable,
          "GetAudioSample : free list has %d samples, created %d samples\n", FreeCount(),
          createdCount_.load());
  }

  AudioSample* sample = nullptr;
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    sample = PopFreeLocked();
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
      std::lock_guard<std::mutex> lock(poolMutex_);
      sample->poolNext_ = setAside_;
      setAside_ = sample;
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
  std::lock_guard<std::mutex> lock(poolMutex_);
  PushFreeLocked(sample);
  return 0;
}

int32_t AudioSampleManager::Reserve(int32_t total) {
  int32_t made = 0;
  while (createdCount_.load() < total) {
    auto* sample = new AudioSample(this);
    createdCount_.fetch_add(1);
    ++made;
    std::lock_guard<std::mutex> lock(poolMutex_);
    PushFreeLocked(sample);
  }
  return made;
}

int32_t AudioSampleManager::FreeCount() {
  std::lock_guard<std::mutex> lock(poolMutex_);
  return freeCount_;
}

int32_t AudioSampleManager::InUseCount() {
  std::lock_guard<std::mutex> lock(poolMutex_);
  return createdCount_.load() - freeCount_;
}

}  // namespace tarsio
