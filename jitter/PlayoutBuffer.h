// The playout core of the low-latency receive mode: received speech goes in as it arrives, one
// frame of audio comes out per playout tick, and the delay between the two follows the measured
// network jitter.
//
// Audio is kept on a timeline of RTP timestamps (8 kHz samples) starting at the playout point
// playTs: each packet's samples are written at their timestamp, so reordering within the buffer
// is undone by construction and a packet of any size fits. Each pull takes one frame from
// playTs on; samples that are missing there are concealed (PacketLossConcealer: pitch repetition
// fading to silence over ~50 ms, blended back into the next real audio), never repeated as a
// packet.
//
// The delay D of a pull is how long after its best-case arrival the sample being heard is
// played: now - (timestamp of that sample in ms + base), base being the fastest transit in the
// ArrivalJitterEstimator's window (the statistics show it). The control works on the deadline
// of the playout point instead: playTs's frame is taken from the timeline when the output queue
// runs below a frame, so it must have arrived by then; that deadline equals D less the queued
// output, and moves in whole frames as time-scaling changes the queue. The target is the
// estimator's jitter plus kTargetMarginMs, at least one frame and at most kMaxTargetMs. With a
// whole frame of deadline to spare, a quiet frame (comfort noise, or below kQuietRms) is dropped
// whole, else, once D has stayed a frame over the target for kShortenSpeechAfterMs (or at once
// when it is kShortenSpeechAboveMs over), two frames are shortened by one pitch period
// (TimeStretcher::Accelerate); below
// the target, audio is lengthened by one pitch period (TimeStretcher::Expand; with less than two
// frames buffered, the frame is continued by kShortExpandSamples of the concealer's
// pitch-synchronous extension instead) until the queue has grown by a frame. Within the frame
// above the target, what time-scaling left queued ahead of the next frame is shortened by a
// pitch period when it is long enough, which lowers D without moving the deadline. So a backlog
// after
// a network stall drains within a few seconds, and a sender clock that runs fast or slow neither
// grows nor starves the buffer. In steady state the deadline lies within one frame above the
// target and D within two.
//
// Running dry (nothing at or after playTs): the first frame is concealed and playTs advances (the
// missing packet is taken as lost; if it comes later it is late and dropped); after that the
// stream holds at playTs, concealment fading to silence. The next packet re-buffers the stream:
// playTs moves on to where that packet plays with the target delay, or stays where it held if
// the packet is the held continuation (a stall's backlog), so no audio that arrives is lost to a
// dry spell, and a talk spurt after a pause starts with the target delay.
//
// Frames are lined up on packet starts (the anchor and every re-buffering keep playTs a whole
// number of frames from the packet that set it), so with packets of one frame each frame needs
// exactly one packet; packets of another length cost one frame more of target.
//
// Re-anchoring (flush, new playout point with the target delay): the first packet, a new SSRC
// once kSsrcProbation of its packets came in a row (until then they are dropped and counted), a
// timestamp more than the buffer's capacity ahead, or kLateRunToReanchor packets in a row that
// are all too late (a sender that stepped back in time). A change
// of packet duration restarts the jitter estimate (from the current value). Memory is fixed: the
// timeline holds kCapacity samples, whatever arrives.
//
// The core never reads a clock: arrival and pull times are arguments.
//
// Threading: not synchronised; LowLatencyJitterBuffer serialises Insert (receiver thread) and
// Pull (playback thread) under its own lock.
#pragma once

#include <array>
#include <cstdint>

#include "dsp/TimeStretcher.h"
#include "framework/DelayStatistics.h"
#include "jitter/ArrivalJitterEstimator.h"
#include "platform/PacketLossConcealer.h"

namespace tarsio {

class PlayoutBuffer {
 public:
  static constexpr int kSamplesPerMs = 8;
  static constexpr int kCapacity = 16000;  // 2 s of timeline
  static constexpr int kChunk = 80;        // arrival times are kept per 10 ms
  static constexpr int kMinFrame = 80;     // 10 ms
  static constexpr int kMaxFrame = 480;    // 60 ms
  static constexpr int32_t kMaxTargetMs = 500;
  static constexpr int32_t kTargetMarginMs = 5;
  static constexpr int32_t kQuietRms = 50;        // about -56 dBFS
  static constexpr int kShortExpandSamples = 80;  // 10 ms
  static constexpr int kLateRunToReanchor = 5;
  static constexpr int kSsrcProbation = 3;
  /// Time-scaling starts only this far outside the band (the clocks tick in whole milliseconds,
  /// so a deadline right at a threshold would flip between lengthening and shortening).
  static constexpr int32_t kHysteresisMs = 3;
  /// Speech is shortened only when D has been a frame over the target for this long, or is this
  /// far over it; quiet frames go at once.
  static constexpr int64_t kShortenSpeechAfterMs = 2000;
  static constexpr int32_t kShortenSpeechAboveMs = 100;

  /// One decoded packet: 16-bit PCM at 8 kHz, or a comfort-noise marker (samples ignored; it
  /// stands for one frame of silence).
  struct Packet {
    uint32_t ssrc = 0;
    uint16_t sequenceNumber = 0;
    uint32_t timestamp = 0;
    const int16_t* samples = nullptr;
    int count = 0;
    bool comfortNoise = false;
  };

  enum class FrameKind { kAudio, kConcealed, kSilence };

  struct Stats {
    uint64_t packetsReceived = 0;
    uint64_t latePackets = 0;
    uint64_t framesAudio = 0;
    uint64_t framesConcealed = 0;
    uint64_t framesSilence = 0;
    uint64_t acceleratedSamples = 0;
    uint64_t expandedSamples = 0;
    uint64_t reanchors = 0;
    uint64_t foreignPackets = 0;  // of another SSRC, dropped while it was on probation
    int32_t targetMs = 0;
    int32_t delayMs = 0;
    int32_t jitterMs = 0;
  };

  PlayoutBuffer();

  /// Empties the buffer. frameSamples is clamped to kMinFrame..kMaxFrame; the first stream's
  /// jitter estimate starts from initialJitterMs.
  void Reset(int frameSamples, int32_t initialJitterMs);
  void Insert(const Packet& packet, int64_t arrivalMs);
  /// Writes FrameSamples() samples into out.
  FrameKind Pull(int16_t* out, int64_t nowMs);

  int FrameSamples() const { return frame_; }
  const Stats& GetStats() const { return stats_; }
  int32_t TargetMs() const;
  /// Per packet: lateness against the fastest transit (network arrival jitter).
  const DelayStatistics& NetworkDelay() const { return networkDelay_; }
  /// Per played packet: from its arrival to its playout.
  const DelayStatistics& BufferDelay() const { return bufferDelay_; }

 private:
  static size_t Index(int64_t ext);
  int64_t Unwrap(uint32_t timestamp) const;
  /// The latest playout point at or before wanted that lies whole frames before ext.
  int64_t AlignedAtOrBefore(int64_t ext, int64_t wanted) const;
  void Anchor(const Packet& packet, int64_t ext, int64_t arrivalMs, int32_t initialJitterMs);
  void Resume(int64_t ext, int64_t arrivalMs);
  /// At the first playout tick after a resume: moves the playout point on as far as the target
  /// allows at that moment, and drops the silence the dry spell left queued.
  void RefineResume(int64_t nowMs);
  /// Samples present without a gap from playTs, up to limit.
  int Available(int limit) const;
  bool IsQuiet(int count) const;
  /// Copies count timeline samples from playTs into dst (missing ones as 0) and advances.
  void Consume(int16_t* dst, int count, int64_t nowMs);
  /// Produces at least one sample into the output queue (or drops a quiet frame).
  void Produce(int64_t nowMs);
  /// Queues the result of a time-stretch of input[0..n) written at the queue's end (or the input
  /// itself when the stretch refused it); returns the samples removed or added.
  int QueueStretched(const int16_t* input, int n, const TimeStretcher::Result& r);
  /// Shortens the output queue by a pitch period of at most leftover samples (see Produce).
  void TrimQueue(int leftover);
  /// The delay D of the sample being heard (what the statistics show).
  int32_t DelayMs(int64_t nowMs) const;
  /// The same for the playout point, whose frame is taken from the timeline now: the control
  /// variable, since that frame must have arrived.
  int32_t ConsumeDelayMs(int64_t nowMs) const;

  int frame_ = 160;
  int32_t initialJitterMs_ = 100;
  bool anchored_ = false;
  uint32_t ssrc_ = 0;
  int64_t playTs_ = 0;
  int64_t newestEnd_ = 0;
  int lastPacketSamples_ = 0;
  int dryFrames_ = 0;
  int consecutiveLate_ = 0;
  bool refinePending_ = false;  // a resume waits for its first playout tick
  int64_t refineExt_ = 0;       // the packet that resumed the stream
  uint32_t candidateSsrc_ = 0;  // another SSRC on probation
  int candidateCount_ = 0;
  int64_t surplusSinceMs_ = -1;  // since when D has been a frame over the target; -1: it is not
  std::array<int16_t, kCapacity> audio_{};
  std::array<uint8_t, kCapacity> present_{};  // 0 missing, 1 audio, 2 comfort noise
  std::array<int64_t, kCapacity / kChunk> chunkArrival_{};
  static constexpr int kQueueCapacity = 2048;
  std::array<int16_t, kQueueCapacity> queue_{};  // produced, not yet pulled
  std::array<uint8_t, kQueueCapacity> queueKind_{};
  int queueLen_ = 0;
  PacketLossConcealer plc_;
  ArrivalJitterEstimator estimator_;
  Stats stats_;
  DelayStatistics networkDelay_;
  DelayStatistics bufferDelay_;
};

}  // namespace tarsio
