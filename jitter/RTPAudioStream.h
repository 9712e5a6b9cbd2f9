// The received packets of one synchronisation source (SSRC), in playing order, handed out one per
// playout tick.
//
// Packets are decoded samples that carry their RTP header. They wait in a heap ordered by RTP
// timestamp, then sequence number (both wrap-aware, AudioSample::IsEarlierThan). The stream
// buffers up to a target depth (restartThreshold, 100 ms at first) before it plays and after every
// interruption, conceals a lost packet by playing the previous one again (five plays at most),
// drops packets that arrive too late (timestamp before the last one played and at most 25
// sequence numbers behind it), takes a packet far behind as a sender restart (Reset), and goes
// back to buffering when a comfort-noise packet (payload type 13) reaches the top.
//
// Adaptation (settings value "UseDynamicJitterBuffer", default "true", read when the stream is
// made; the jitter buffer hands its streams the value it read at its start): every 99 hand-outs the
// target grows by 20 ms if the queue ran dry more than once in that period; otherwise it shrinks
// by 20 ms (not below 40 ms) unless the queue is more than 40 ms over target, and up to 60 ms of
// surplus audio is dropped at once.
//
// Choices made here, so that the queue stays correct and bounded:
// - Comfort-noise packets are left out of depth on both sides (queuing and removal), so depth is
//   exactly the playing time of the queued speech and is 0 whenever the queue is empty.
// - The adaptation counter and the repeat counter belong to each stream (another stream's
//   hand-outs never move this stream's target); Reset clears them.
// - The queue is bounded twice: by depth (a packet is refused once depth reaches ten times the
//   target) and by packet count (kMaxQueuedPackets), so packets that decode to 0 ms (header-only
//   payloads, comfort-noise markers) cannot grow it without limit. 256 packets are over five
//   seconds of 20 ms packets, far more than the depth bound lets a normal call queue.
// - The adaptation's drop loop also ends when the queue runs empty.
// - The stream remembers when it was last fed (MarkFed, time and order given by the caller) so
//   that the jitter buffer can drop streams nobody feeds any more. The stream never reads a clock.
// - Memory: the queue reserves room for kMaxQueuedPackets when the stream is made, and Renew
//   makes a used stream new again for another SSRC, so the jitter buffer reuses its streams and a
//   running call never allocates for them (not even at a sender restart or a new SSRC).
//
// Threading: InsertRTPPacket runs on the RTP receiver's thread, GiveNextRTPPacket on the playback
// thread. Every public operation takes the stream's own lock (re-entrant; operations call each
// other under it). In the jitter buffer the stream lock is always taken inside the buffer's
// rtpAudioStreamsMutex. The lock is held while a sample's own lock is taken (ordering, releases),
// never the reverse.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/TracedObject.h"
#include "platform/CriticalSection.h"

namespace tarsio {

class AudioSample;

class RTPAudioStream : public TracedObject {
 public:
  static constexpr int32_t kInitialRestartThreshold = 100;
  static constexpr int32_t kMinRestartThreshold = 40;
  static constexpr int32_t kThresholdStep = 20;
  static constexpr int32_t kMaxSurplusOverTarget = 40;
  static constexpr int32_t kMaxDropMs = 60;
  static constexpr int32_t kDepthLimitFactor = 10;
  static constexpr int32_t kMaxPlays = 5;
  static constexpr int32_t kLateSequenceWindow = -25;
  static constexpr int32_t kAdaptationPeriod = 100;
  static constexpr size_t kMaxQueuedPackets = 256;
  static constexpr uint8_t kComfortNoisePayloadType = 13;

  explicit RTPAudioStream(uint32_t ssrc);
  ~RTPAudioStream() override;

  /// Makes the stream as new for ssrc: releases its packets and resets every counter and the
  /// target as construction does, keeping the adaptation setting and the queue's storage.
  void Renew(uint32_t ssrc);
  /// Whether the target adapts (the setting "UseDynamicJitterBuffer").
  void SetUseDynamicJitterBuffer(bool on);

  int32_t ReadTraceLevel() override;

  /// Entry for a received packet: drops late packets, resets on a sender restart, then AddPacket.
  int32_t InsertRTPPacket(AudioSample* sample);
  /// Queues the packet (one reference taken) unless the stream is full (depth or packet count).
  int32_t AddPacket(AudioSample* sample);
  /// Removes the earliest packet into *out (the queue's reference passes to the caller).
  int32_t PopNextPacket(AudioSample** out);
  /// PopNextPacket, and the packet becomes lastPacket (played once).
  int32_t TakeNextPacket(AudioSample** out);
  int32_t SetLastPacket(AudioSample* sample);
  /// The playout operation: the next packet, a repetition of the last one, or null.
  int32_t GiveNextRTPPacket(AudioSample** out);
  /// Empties the queue and goes back to buffering; keeps restartThreshold.
  int32_t Reset();

  int32_t SetRestartThreshold(int32_t ms);
  int32_t GetRestartThreshold();
  int32_t GetNumPackets();
  int32_t GetDepth();
  uint32_t GetSSRC();
  bool IsRestarting();
  int32_t GetNumRepeats();

  /// Records that the stream was just given a packet: the caller's time in milliseconds and the
  /// caller's running count of packets filed (which orders feeds within one millisecond).
  void MarkFed(uint64_t nowMs, uint64_t feedOrder);
  uint64_t GetLastFedMs();
  uint64_t GetLastFedOrder();

  /// b's timestamp minus a's, modulo 2^32, as a signed difference.
  static int32_t TimestampDistance(AudioSample* a, AudioSample* b);
  /// The same distance in milliseconds of a's block duration, rounded.
  static int32_t TimestampDistanceMs(AudioSample* a, AudioSample* b);

 private:
  bool IsComfortNoise(AudioSample* sample);
  void ClearLastPacket();
  void ReleaseQueue();
  void RepeatLastPacket(AudioSample** out);
  void Adapt();

  std::vector<AudioSample*> packetQueue;  // heap, earliest on top
  uint32_t ssrc;
  int32_t depth = 0;
  int32_t restartThreshold = kInitialRestartThreshold;
  int32_t lastPacketDuration = 0;
  AudioSample* lastPacket = nullptr;
  int32_t lastPacketPlays = 0;
  int32_t comfortNoiseCount = 0;
  bool bRestarting = true;
  bool bUseDynamicJitterBuffer = true;
  int32_t adaptationCounter = 0;
  int32_t numRepeats = 0;
  uint64_t lastFedMs = 0;
  uint64_t lastFedOrder = 0;
  CriticalSection lock;
};

}  // namespace tarsio
