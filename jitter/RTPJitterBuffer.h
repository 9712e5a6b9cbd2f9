// The transformer that separates the network side of the receive path from the playout side.
//
// Pushed side (RenderAudioSamples): every decoded packet, still carrying its RTP header, is filed
// into the RTPAudioStream of its SSRC (taken on first sight); nothing is pushed on. Pulled side
// (GenerateData): the next packet of the one active stream, or a 20 ms silence marker (16-bit PCM,
// 8000 Hz) when there is none. A new active stream is chosen when there is none, when the active
// one holds no packets, or after more than five empty hand-outs in a row: the active stream is
// deleted, and the lowest SSRC whose depth reaches minimumDepth wins; all other streams are then
// deleted. Stopped, a push sleeps silenceDuration (pacing a receiver that keeps pushing) and keeps
// nothing, and a pull yields no sample at all.
//
// Results: RenderAudioSamples 0; -10 packet without RTP header; -20 stream could not be made.
// GenerateData always 0.
//
// Bounds against floods (a sender spraying ever-new SSRCs, or packets that decode to 0 ms):
// - at most kMaxInactiveStreams streams besides the active one: a packet of a new SSRC that would
//   exceed it first evicts the non-active stream fed least recently;
// - a non-active stream not fed for kStreamIdleTimeoutMs is deleted (checked on every push);
// - each stream bounds its queue by depth and by packet count (RTPAudioStream::kMaxQueuedPackets).
// So the jitter buffer never holds more than (1 + kMaxInactiveStreams) * kMaxQueuedPackets
// samples, in at most kMaxStreams streams.
//
// Memory: the kMaxStreams streams are made with the jitter buffer and reused ("deleting" a stream
// empties it and gives it back; a new SSRC renews a free one), and TransformStarted reads the
// setting "UseDynamicJitterBuffer" for them and reserves kReservedSamples pool samples, so a
// running call allocates nothing here, whatever the streams do. A normal call (one or two SSRCs,
// fed every few tens of milliseconds) never meets these bounds, and the active stream is never
// evicted. A stream still buffering can be displaced by a spray of more than kMaxInactiveStreams
// new SSRCs between two of its packets; once it plays it is safe. The time of a push is read from
// Clock::Current(), so tests drive it with a FakeClock.
//
// Threading: RenderAudioSamples runs on the RTP receiver's thread, GenerateData on the playback
// thread, TransformStarted/TransformStopped on the host's thread. rtpAudioStreamsMutex guards the
// stream slots, activeAudioStream and nullCount; each stream's own lock is taken inside it.
// stateMutex guards changes of bRunning (an atomic, so the two media threads read it without the
// lock); TransformStarted takes rtpAudioStreamsMutex inside stateMutex. Both locks are re-entrant.
// Samples are taken from the pool and released with rtpAudioStreamsMutex held (stream lock, then
// sample lock, then pool lock).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "framework/AudioTransformer.h"
#include "platform/CriticalSection.h"

namespace tarsio {

class RTPAudioStream;

class RTPJitterBuffer : public AudioTransformer {
 public:
  static constexpr int32_t kErrNoRTPHeader = -10;
  static constexpr int32_t kErrNoStream = -20;
  static constexpr int32_t kInitialMinimumDepth = 100;
  static constexpr int32_t kSilenceDurationMs = 20;
  static constexpr int32_t kMaxNullCount = 5;
  static constexpr size_t kMaxInactiveStreams = 4;
  static constexpr uint64_t kStreamIdleTimeoutMs = 3000;
  /// Streams at most at once: the active one and the inactive ones.
  static constexpr size_t kMaxStreams = 1 + kMaxInactiveStreams;
  /// Pool samples made ready at each start: the packets a call keeps queued and in flight.
  static constexpr int32_t kReservedSamples = 64;

  RTPJitterBuffer();
  ~RTPJitterBuffer() override;

  int32_t ReadTraceLevel() override;

  int32_t RenderAudioSamples(AudioSampleList& inputs) override;
  int32_t GenerateData(AudioSample** out) override;
  int32_t TransformStarted() override;
  int32_t TransformStopped() override;
  /// Never used: both directions are overridden.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  int32_t SetMinimumDepth(int32_t ms);
  /// Deletes (empties and frees) every stream; no stream is active afterwards.
  int32_t Clear();
  int32_t ChooseNewActiveStream();

  /// Observers for tests and the statistics.
  size_t GetStreamCount();
  /// SSRC of the active stream; false when there is none.
  bool GetActiveSSRC(uint32_t* ssrc);
  /// Packets queued in all streams.
  int32_t GetQueuedPackets();
  bool IsRunning() const { return bRunning.load(); }

 private:
  /// One of the reusable streams; inUse when it stands for an SSRC now.
  struct StreamSlot {
    std::unique_ptr<RTPAudioStream> stream;
    bool inUse = false;
  };

  int32_t MakeSilence(AudioSample** out);
  /// The slot of the stream in use for ssrc, or null.
  StreamSlot* FindStream(uint32_t ssrc);
  /// A free stream renewed for ssrc, or null when every slot is in use.
  RTPAudioStream* TakeFreeStream(uint32_t ssrc);
  /// Empties the slot's stream and frees the slot (the active stream pointer is cleared).
  void DeleteStream(StreamSlot& slot);
  void EvictIdleStreams(uint64_t nowMs);
  void EvictLeastRecentlyFed();
  size_t InactiveStreamCount();

  RTPAudioStream* activeAudioStream = nullptr;
  std::atomic<int32_t> minimumDepth{kInitialMinimumDepth};
  int32_t silenceDuration = kSilenceDurationMs;
  std::atomic<bool> bRunning{false};
  CriticalSection rtpAudioStreamsMutex;
  CriticalSection stateMutex;
  std::array<StreamSlot, kMaxStreams> streamSlots;  // made once; guarded by rtpAudioStreamsMutex
  int32_t nullCount = 0;
  uint64_t feedCount = 0;  // packets filed so far; orders the feeds (rtpAudioStreamsMutex)
};

}  // namespace tarsio
