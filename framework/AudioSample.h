// A reference-counted piece of audio travelling through the filter graph.
//
// A sample holds up to 3200 bytes (200 ms of 8 kHz PCM) in a buffer allocated once, its format,
// the count of valid bytes, a silence duration (a sample with 0 bytes and a silence duration is a
// silence marker) and, for received audio, a copy of the parsed RTP header, kept in the sample
// itself (setting or clearing it never allocates). Samples come only from AudioSampleManager and
// go back to it at their last Release; while pooled, poolNext links them in the pool's lists.
//
// Threading: the reference count and whether the sample has an RTP header are guarded by the
// sample's own lock (refMutex); the header's fields, like the data, are written only by the holder
// of the sole reference. poolNext belongs to the pool (its lock). Data, data size, silence duration
// and format are unguarded: only the holder of the sole reference writes them, and handing a sample
// to another thread goes through a lock. Lock order: refMutex may be held while the manager's pool
// lock is taken (last Release), never the reverse.
//
// Misuse: AddRef on a pooled sample or Release below one "poisons" the sample (count 1000, so it
// never returns to the pool), sleeps 500 ms on the current Clock to slow the culprit (after leaving
// the lock, so other holders are not held up) and returns -10.
#pragma once

#include <cstdint>
#include <memory>

#include "framework/AudioFormat.h"
#include "framework/TracedObject.h"
#include "platform/CriticalSection.h"
#include "rtp/RTPPacket.h"

namespace tarsio {

class AudioSampleManager;

class AudioSample : public TracedObject {
 public:
  static constexpr uint32_t kCapacity = 3200;
  static constexpr int32_t kPoisonedCount = 1000;

  ~AudioSample() override;
  int32_t ReadTraceLevel() override;

  int32_t AddRef(const TracedObject* requester);
  int32_t Release(const TracedObject* requester);

  int32_t SetFormat(const WAVEFORMATEX& format);
  int32_t GetFormat(WAVEFORMATEX* out) const;
  const WAVEFORMATEX& Format() const { return format_; }

  uint8_t* GetData() { return buffer_.get(); }
  const uint8_t* GetData() const { return buffer_.get(); }
  uint32_t GetCapacity() const { return capacity_; }
  int32_t GetDataSize() const { return dataSize_; }
  /// n >= 1 also clears the silence duration.
  void SetDataSize(int32_t n);
  int32_t GetSilenceDuration() const { return silenceDuration_; }
  void SetSilenceDuration(int32_t ms) { silenceDuration_ = ms; }
  /// Bytes that the silence stands for in this format.
  int32_t GetSilenceDataSize() const;
  /// Playing time of the data in milliseconds.
  int32_t GetDuration() const;
  int32_t GetBlockDuration() const { return blockDuration_; }
  int32_t GetBlockSize() const { return blockSize_; }

  /// The sample's RTP header, or null when it has none. Valid while the caller holds a reference.
  RTPPacket* GetRTPHeader();
  /// Copies the header into the sample (replacing any previous one).
  int32_t SetRTPHeader(const RTPPacket& header);
  /// The sample has no RTP header any more.
  int32_t ClearRTPHeader();
  /// Drops the header and sets the data size to 0.
  int32_t FreeRTPHeader();

  /// RTP order of two samples (timestamps, then sequence numbers, both wrap-aware); false if
  /// either has no header.
  bool IsEarlierThan(AudioSample* other);
  bool IsNotEarlierThan(AudioSample* other) { return !IsEarlierThan(other); }

  /// The reference count now (diagnostics and tests).
  int32_t GetRefCount();

 private:
  friend class AudioSampleManager;
  explicit AudioSample(AudioSampleManager* manager);

  WAVEFORMATEX format_;
  uint32_t capacity_ = kCapacity;
  int32_t dataSize_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  RTPPacket rtpHeader_;  // meaningful while hasRtpHeader_
  bool hasRtpHeader_ TARSIO_GUARDED_BY(refMutex_) = false;
  int32_t refCount_ TARSIO_GUARDED_BY(refMutex_) = 0;
  AudioSample* poolNext_ = nullptr;  // the pool's link while pooled; guarded by the pool's lock
  int32_t silenceDuration_ = 0;
  AudioSampleManager* manager_;
  int32_t blockSize_ = 0;
  int32_t blockDuration_ = 0;
  CriticalSection refMutex_;
};

}  // namespace tarsio
