#include "framework/AudioSample.h"

#include "framework/AudioSampleManager.h"
#include "platform/Clock.h"
#include "rtp/RTPPacket.h"

namespace tarsio {

namespace {

// How long a thread that misused a reference count is held up, so the fault shows in timing.
constexpr uint32_t kPoisonSleepMs = 500;

// Wrap-aware distances from which the numerically larger value counts as the earlier one.
constexpr uint32_t kTimestampWrapDistance = 0x8FFFFFFFu;
constexpr uint32_t kSequenceWrapDistance = 0x8FFFu;

// The address as the traces print it (%lx): the whole pointer on 32-bit Windows and 64-bit Linux,
// its low 32 bits on 64-bit Windows, where long is 32 bits wide.
unsigned long Address(const void* p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

const char* NameOf(const TracedObject* requester) {
  return requester != nullptr ? requester->GetInstanceName() : "";
}

// True when a comes before b in a counter that wraps; the counters differ.
bool EarlierWrapped(uint32_t a, uint32_t b, uint32_t wrapDistance) {
  const uint32_t distance = a > b ? a - b : b - a;
  return distance >= wrapDistance ? a > b : a < b;
}

// Bytes of one PCM frame (all channels), computed wide: 16-bit fields multiplied in int overflow
// for absurd channel counts. A frame that would not fit a sample is no format this engine can
// carry: it counts as having no block size (0), so durations and frame sizes derived from it are
// 0 instead of garbage.
int32_t PcmBlockBytes(const WAVEFORMATEX& format) {
  const uint64_t bytes = uint64_t{format.wBitsPerSample} * uint64_t{format.nChannels} / 8u;
  return bytes <= AudioSample::kCapacity ? static_cast<int32_t>(bytes) : 0;
}

}  // namespace

AudioSample::AudioSample(AudioSampleManager* manager)
    : buffer_(new uint8_t[kCapacity]()), manager_(manager) {
  tracer.SetInstanceName("AudioSample", this);
  ReadTraceLevel();
}

AudioSample::~AudioSample() = default;

int32_t AudioSample::ReadTraceLevel() { return ReadTraceLevelFor("AudioSample"); }

int32_t AudioSample::AddRef(const TracedObject* requester) {
  {
    CriticalSectionLock lock(refMutex_);
    if (refCount_ >= 1) return ++refCount_;
    TRACE(tracer, trace::kError, "AddRef : by 0x%lx:%s on sample 0x%lx with refCount = 0 !\n",
          Address(requester), NameOf(requester), Address(this));
    refCount_ = kPoisonedCount;
  }
  // The sample stays poisoned for ever; the culprit is slowed down (outside the lock, so other
  // holders are not).
  SleepMs(kPoisonSleepMs);
  return -10;
}

int32_t AudioSample::Release(const TracedObject* requester) {
  {
    CriticalSectionLock lock(refMutex_);
    if (refCount_ >= 1) {
      const int32_t count = --refCount_;
      if (count == 0) {
        FreeRTPHeader();
        // Handed back with the lock held: GetAudioSample takes this lock before reusing the
        // sample, so nobody sees it until this Release is over.
        manager_->ReturnAudioSample(this);
      }
      return count;
    }
    TRACE(tracer, trace::kError, "Release : Sample 0x%lx has invalid refCount ! by 0x%lx : %s\n",
          Address(this), Address(requester), NameOf(requester));
    refCount_ = kPoisonedCount;
  }
  SleepMs(kPoisonSleepMs);
  return -10;
}

int32_t AudioSample::GetRefCount() {
  CriticalSectionLock lock(refMutex_);
  return refCount_;
}

int32_t AudioSample::SetFormat(const WAVEFORMATEX& format) {
  int32_t count;
  {
    CriticalSectionLock lock(refMutex_);
    count = refCount_;
  }
  if (count >= 2) {
    TRACE(tracer, trace::kError, "SetFormat : e-refCount : Error : refCount = %d\n", count);
    return 0;
  }
  format_ = format;
  format_.cbSize = 0;
  switch (format.wFormatTag) {
    case kWaveFormatPcm:
      if (format.nSamplesPerSec != 0) {
        blockDuration_ = static_cast<int32_t>(1000000u / format.nSamplesPerSec);
      }
      blockSize_ = PcmBlockBytes(format);
      break;
    case kWaveFormatALaw:
    case kWaveFormatMuLaw:
      blockDuration_ = 125;
      blockSize_ = 1;
      break;
    case kWaveFormatG729:
      blockDuration_ = 10000;
      blockSize_ = 10;
      break;
    case kWaveFormatG723_53:
      blockDuration_ = 30000;
      blockSize_ = 20;
      break;
    case kWaveFormatG723_63:
      blockDuration_ = 30000;
      blockSize_ = 24;
      break;
    default:
      break;  // unknown tag: the block fields keep what they held
  }
  return 0;
}

int32_t AudioSample::GetFormat(WAVEFORMATEX* out) const {
  if (out != nullptr) *out = format_;
  return 0;
}

void AudioSample::SetDataSize(int32_t n) {
  dataSize_ = n;
  if (n >= 1) silenceDuration_ = 0;
}

int32_t AudioSample::GetSilenceDataSize() const {
  if (blockDuration_ == 0) return 0;
  return blockSize_ * silenceDuration_ * 1000 / blockDuration_;
}

int32_t AudioSample::GetDuration() const {
  if (blockSize_ == 0) return 0;
  return (blockDuration_ * dataSize_ / blockSize_) / 1000;
}

RTPPacket* AudioSample::GetRTPHeader() {
  CriticalSectionLock lock(refMutex_);
  return hasRtpHeader_ ? &rtpHeader_ : nullptr;
}

int32_t AudioSample::SetRTPHeader(const RTPPacket& header) {
  CriticalSectionLock lock(refMutex_);
  if (&header != &rtpHeader_) rtpHeader_ = header;
  hasRtpHeader_ = true;
  return 0;
}

int32_t AudioSample::ClearRTPHeader() {
  CriticalSectionLock lock(refMutex_);
  hasRtpHeader_ = false;
  return 0;
}

int32_t AudioSample::FreeRTPHeader() {
  CriticalSectionLock lock(refMutex_);
  hasRtpHeader_ = false;
  dataSize_ = 0;
  return 0;
}

bool AudioSample::IsEarlierThan(AudioSample* other) {
  if (other == nullptr) return false;
  const RTPPacket* mine = GetRTPHeader();
  const RTPPacket* theirs = other->GetRTPHeader();
  if (mine == nullptr || theirs == nullptr) return false;
  if (mine->timestamp != theirs->timestamp) {
    return EarlierWrapped(mine->timestamp, theirs->timestamp, kTimestampWrapDistance);
  }
  if (mine->sequenceNumber != theirs->sequenceNumber) {
    return EarlierWrapped(mine->sequenceNumber, theirs->sequenceNumber, kSequenceWrapDistance);
  }
  return false;
}

}  // namespace tarsio
