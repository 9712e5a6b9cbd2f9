#include "jitter/PlayoutBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tarsio {

namespace {

constexpr uint8_t kMissing = 0;
constexpr uint8_t kPresent = 1;
constexpr uint8_t kComfortNoise = 2;

constexpr uint8_t kFromAudio = 0;
constexpr uint8_t kFromConcealment = 1;
constexpr uint8_t kFromComfortNoise = 2;

// Floor division for timestamps in samples to milliseconds (timestamps may lie below 0).
int64_t SamplesToMs(int64_t samples) {
  return samples >= 0
             ? samples / PlayoutBuffer::kSamplesPerMs
             : -((-samples + PlayoutBuffer::kSamplesPerMs - 1) / PlayoutBuffer::kSamplesPerMs);
}

}  // namespace

PlayoutBuffer::PlayoutBuffer() { Reset(160, 100); }

void PlayoutBuffer::Reset(int frameSamples, int32_t initialJitterMs) {
  frame_ = std::clamp(frameSamples, kMinFrame, kMaxFrame);
  initialJitterMs_ = std::clamp<int32_t>(initialJitterMs, 0, kMaxTargetMs);
  anchored_ = false;
  ssrc_ = 0;
  playTs_ = 0;
  newestEnd_ = 0;
  lastPacketSamples_ = 0;
  dryFrames_ = 0;
  consecutiveLate_ = 0;
  surplusSinceMs_ = -1;
  refinePending_ = false;
  present_.fill(kMissing);
  queueLen_ = 0;
  plc_.Reset();
  estimator_.Reset(initialJitterMs_);
  stats_ = Stats{};
  stats_.targetMs = TargetMs();
  networkDelay_.Reset();
  bufferDelay_.Reset();
}

size_t PlayoutBuffer::Index(int64_t ext) {
  const int64_t r = ext % kCapacity;
  return static_cast<size_t>(r < 0 ? r + kCapacity : r);
}

int64_t PlayoutBuffer::Unwrap(uint32_t timestamp) const {
  const uint32_t reference = static_cast<uint32_t>(newestEnd_);
  return newestEnd_ + static_cast<int32_t>(timestamp - reference);
}

int32_t PlayoutBuffer::TargetMs() const {
  const int32_t frameMs = frame_ / kSamplesPerMs;
  // A frame that spans two packets needs the later one too: one frame more.
  const bool misaligned = lastPacketSamples_ != 0 && lastPacketSamples_ != frame_;
  const int64_t wanted =
      int64_t{estimator_.JitterMs()} + kTargetMarginMs + (misaligned ? frameMs : 0);
  return static_cast<int32_t>(std::clamp<int64_t>(wanted, frameMs, kMaxTargetMs));
}

int64_t PlayoutBuffer::AlignedAtOrBefore(int64_t ext, int64_t wanted) const {
  if (wanted >= ext) return ext;
  const int64_t frames = (ext - wanted + frame_ - 1) / frame_;
  return ext - frames * frame_;
}

int32_t PlayoutBuffer::ConsumeDelayMs(int64_t nowMs) const {
  return static_cast<int32_t>(
      std::clamp<int64_t>(nowMs - estimator_.Base() - SamplesToMs(playTs_), INT32_MIN, INT32_MAX));
}

int32_t PlayoutBuffer::DelayMs(int64_t nowMs) const {
  const int64_t playingMs = SamplesToMs(playTs_ - queueLen_);
  return static_cast<int32_t>(
      std::clamp<int64_t>(nowMs - estimator_.Base() - playingMs, INT32_MIN, INT32_MAX));
}

void PlayoutBuffer::Anchor(const Packet& packet, int64_t ext, int64_t arrivalMs,
                           int32_t initialJitterMs) {
  present_.fill(kMissing);
  if (anchored_ && packet.ssrc != ssrc_) plc_.Reset();  // nothing to continue from another source
  ssrc_ = packet.ssrc;
  estimator_.Reset(initialJitterMs);
  lastPacketSamples_ = 0;
  dryFrames_ = 0;
  consecutiveLate_ = 0;
  refinePending_ = false;
  // The first packet counts as on time: it plays after the target delay, with the frames lined
  // up on its start so that a frame never waits for the packet after the one it plays.
  playTs_ = AlignedAtOrBefore(ext, ext - int64_t{TargetMs()} * kSamplesPerMs);
  newestEnd_ = playTs_;
  anchored_ = true;
  (void)arrivalMs;
}

void PlayoutBuffer::Resume(int64_t ext, int64_t arrivalMs) {
  // Where this packet would play with the target delay (its lateness is counted against the
  // fastest transit seen), unless it continues the held audio (a stall's backlog): then from it.
  const int64_t onTime = (arrivalMs - estimator_.Base() - TargetMs()) * int64_t{kSamplesPerMs};
  const int64_t resumeAt = std::max(playTs_, AlignedAtOrBefore(ext, onTime));
  if (resumeAt > playTs_) {
    // Nothing lies in the skipped stretch: the buffer was dry.
    playTs_ = resumeAt;
    newestEnd_ = std::max(newestEnd_, playTs_);
  }
  dryFrames_ = 0;
  refineExt_ = ext;
  refinePending_ = true;
}

void PlayoutBuffer::RefineResume(int64_t nowMs) {
  refinePending_ = false;
  // The resume point was chosen when the packet arrived; the frame is taken only now, up to a
  // frame later. Chosen again now, with the same rule, the deadline lies within one frame of
  // the target instead of two: the wait between the arrival and this tick is not added on top.
  const int64_t onTime = (nowMs - estimator_.Base() - TargetMs()) * int64_t{kSamplesPerMs};
  const int64_t better = std::min(AlignedAtOrBefore(refineExt_, onTime), refineExt_);
  if (better > playTs_) {
    for (int64_t at = playTs_; at < better; ++at) {
      if (present_[Index(at)] != kMissing) return;  // something arrived there since: keep it
    }
    playTs_ = better;
  }
  // What the dry spell left queued is silence: it goes, so the talk spurt is not played later
  // than its target for it.
  for (int i = 0; i < queueLen_; ++i) {
    if (queue_[static_cast<size_t>(i)] != 0) return;
  }
  queueLen_ = 0;
}

void PlayoutBuffer::Insert(const Packet& packet, int64_t arrivalMs) {
  ++stats_.packetsReceived;
  const int count = packet.comfortNoise ? frame_ : packet.count;
  if (count <= 0 || count > kCapacity / 2 || (!packet.comfortNoise && packet.samples == nullptr)) {
    return;
  }
  int64_t ext = 0;
  if (!anchored_) {
    ext = int64_t{packet.timestamp} + (int64_t{1} << 32);
    Anchor(packet, ext, arrivalMs, initialJitterMs_);
  } else if (packet.ssrc != ssrc_) {
    // A new source takes over only after kSsrcProbation packets in a row: a stray packet, or a
    // second stream interleaved with this one, must not flush what plays.
    if (packet.ssrc != candidateSsrc_) {
      candidateSsrc_ = packet.ssrc;
      candidateCount_ = 0;
    }
    if (++candidateCount_ < kSsrcProbation) {
      ++stats_.foreignPackets;
      return;
    }
    candidateCount_ = 0;
    ++stats_.reanchors;
    ext = Unwrap(packet.timestamp);
    // Another source may come by another path: it starts from the host's allowance again.
    Anchor(packet, ext, arrivalMs, initialJitterMs_);
  } else {
    candidateCount_ = 0;
    ext = Unwrap(packet.timestamp);
  }
  // A dry stream re-buffers on the next packet it can still play (a late one changes nothing).
  if (dryFrames_ > 1 && ext + count > playTs_) Resume(ext, arrivalMs);
  int64_t offset = ext - playTs_;
  if (offset + count > kCapacity) {
    // A timestamp jump ahead (sender restart, or a backlog longer than the buffer): start anew
    // here. A jump back is late audio until the late-run rule below sees the sender follow it.
    ++stats_.reanchors;
    Anchor(packet, ext, arrivalMs, estimator_.JitterMs());
    offset = ext - playTs_;
  }
  if (!packet.comfortNoise) {
    if (lastPacketSamples_ != 0 && count != lastPacketSamples_) {
      estimator_.Reset(estimator_.JitterMs());
    }
    lastPacketSamples_ = count;
  }
  const int32_t lateness = estimator_.Add(arrivalMs, SamplesToMs(ext));
  networkDelay_.Add(lateness);
  stats_.jitterMs = estimator_.JitterMs();
  stats_.targetMs = TargetMs();

  if (offset + count <= 0) {
    ++stats_.latePackets;
    // A run of packets that are all too late is a sender that stepped back in time: follow it.
    if (++consecutiveLate_ >= kLateRunToReanchor) {
      ++stats_.reanchors;
      Anchor(packet, ext, arrivalMs, estimator_.JitterMs());
      estimator_.Add(arrivalMs, SamplesToMs(ext));  // the new base: this packet
      offset = ext - playTs_;
    } else {
      return;
    }
  }
  consecutiveLate_ = 0;
  for (int i = offset < 0 ? static_cast<int>(-offset) : 0; i < count; ++i) {
    const int64_t at = ext + i;
    const size_t k = Index(at);
    if (packet.comfortNoise) {
      audio_[k] = 0;
      present_[k] = kComfortNoise;
    } else {
      audio_[k] = packet.samples[i];
      present_[k] = kPresent;
    }
    if (at % kChunk == 0 || i == 0) chunkArrival_[k / kChunk] = arrivalMs;
  }
  newestEnd_ = std::max(newestEnd_, ext + count);
}

int PlayoutBuffer::Available(int limit) const {
  int n = 0;
  while (n < limit && present_[Index(playTs_ + n)] != kMissing) ++n;
  return n;
}

bool PlayoutBuffer::IsQuiet(int count) const {
  double energy = 0.0;
  for (int i = 0; i < count; ++i) {
    const size_t k = Index(playTs_ + i);
    if (present_[k] == kComfortNoise) continue;
    energy += static_cast<double>(audio_[k]) * audio_[k];
  }
  return std::sqrt(energy / count) < kQuietRms;
}

void PlayoutBuffer::Consume(int16_t* dst, int count, int64_t nowMs) {
  for (int i = 0; i < count; ++i) {
    const size_t k = Index(playTs_ + i);
    if (present_[k] == kPresent && (i == 0 || (playTs_ + i) % kChunk == 0)) {
      bufferDelay_.Add(nowMs - chunkArrival_[k / kChunk] + queueLen_ / kSamplesPerMs);
    }
    dst[i] = present_[k] == kMissing ? 0 : audio_[k];
    present_[k] = kMissing;
  }
  playTs_ += count;
  newestEnd_ = std::max(newestEnd_, playTs_);
}

void PlayoutBuffer::Produce(int64_t nowMs) {
  int16_t* out = queue_.data() + queueLen_;
  uint8_t* kind = queueKind_.data() + queueLen_;
  if (newestEnd_ <= playTs_) {
    // Dry: conceal; advance once (the packet is taken as lost), then hold for what comes next.
    plc_.Conceal(out, frame_);
    std::fill_n(kind, frame_, kFromConcealment);
    queueLen_ += frame_;
    if (dryFrames_ == 0) playTs_ += frame_;  // nothing is present there: the buffer is dry
    newestEnd_ = std::max(newestEnd_, playTs_);
    ++dryFrames_;
    return;
  }
  dryFrames_ = 0;
  if (refinePending_) RefineResume(nowMs);
  // The frame taken now must have arrived now, although it plays only after what is queued:
  // the deadline is measured at the playout point, not at the sample being heard.
  const int32_t delay = ConsumeDelayMs(nowMs);
  const int32_t target = TargetMs();
  const int32_t frameMs = frame_ / kSamplesPerMs;
  const int pair = 2 * frame_;
  std::array<int16_t, 2 * kMaxFrame> input;
  // Speech is only shortened for a surplus that lasts or is large: a small one waits for a
  // quiet frame, so a clean call keeps its audio exactly as sent.
  const int32_t heard = DelayMs(nowMs);
  if (heard < target + frameMs + kHysteresisMs) {
    surplusSinceMs_ = -1;
  } else if (surplusSinceMs_ < 0) {
    surplusSinceMs_ = nowMs;
  }
  const bool shortenSpeech =
      surplusSinceMs_ >= 0 &&
      (heard >= target + kShortenSpeechAboveMs || nowMs - surplusSinceMs_ >= kShortenSpeechAfterMs);
  if (delay >= target + frameMs + kHysteresisMs) {
    const int available = Available(pair);
    if (available >= frame_ && delay - frameMs >= target && IsQuiet(frame_)) {
      // Surplus delay goes first where nobody hears it: a quiet frame is dropped whole.
      Consume(input.data(), frame_, nowMs);
      plc_.Receive(input.data(), frame_);
      stats_.acceleratedSamples += static_cast<uint64_t>(frame_);
      return;
    }
    if (shortenSpeech && available >= pair && pair >= TimeStretcher::kMinInput) {
      Consume(input.data(), pair, nowMs);
      const int changed =
          QueueStretched(input.data(), pair, TimeStretcher::Accelerate(input.data(), pair, out));
      stats_.acceleratedSamples += static_cast<uint64_t>(changed);
      return;
    }
  } else if (delay < target - kHysteresisMs) {
    const int available = Available(pair);
    // Whole frames only, so the playout point stays on the packet grid.
    const int n = available >= pair ? pair : (available >= frame_ ? frame_ : 0);
    if (n < TimeStretcher::kMinInput && n >= frame_) {
      // Too little audio for a pitch search: play the frame and continue it with a short
      // pitch-synchronous extension from the concealer, which the next frame blends out of.
      Consume(out, frame_, nowMs);
      plc_.Receive(out, frame_);
      plc_.Conceal(out + frame_, kShortExpandSamples);
      std::fill_n(kind, frame_ + kShortExpandSamples, kFromAudio);
      queueLen_ += frame_ + kShortExpandSamples;
      stats_.expandedSamples += kShortExpandSamples;
      return;
    }
    if (n >= TimeStretcher::kMinInput) {
      Consume(input.data(), n, nowMs);
      const int changed =
          QueueStretched(input.data(), n,
                         TimeStretcher::Expand(input.data(), n, queue_.data() + queueLen_,
                                               kQueueCapacity - queueLen_));
      stats_.expandedSamples += static_cast<uint64_t>(changed);
      return;
    }
  }
  // One frame as it is: received runs pass through the concealer, missing runs are concealed.
  int i = 0;
  while (i < frame_) {
    const uint8_t state = present_[Index(playTs_ + i)];
    int run = 1;
    while (i + run < frame_ && present_[Index(playTs_ + i + run)] == state) ++run;
    Consume(out + i, run, nowMs);
    if (state == kMissing) {
      plc_.Conceal(out + i, run);
    } else {
      plc_.Receive(out + i, run);
    }
    std::fill_n(kind + i, run,
                state == kMissing        ? kFromConcealment
                : state == kComfortNoise ? kFromComfortNoise
                                         : kFromAudio);
    i += run;
  }
  const int leftover = queueLen_;
  queueLen_ += frame_;
  if (delay >= target && shortenSpeech) TrimQueue(leftover);
}

int PlayoutBuffer::QueueStretched(const int16_t* input, int n, const TimeStretcher::Result& r) {
  int16_t* out = queue_.data() + queueLen_;
  const int produced = r.outputLength > 0 ? r.outputLength : n;
  if (r.outputLength <= 0) std::copy_n(input, n, out);  // refused: the audio as it came
  plc_.Receive(out, produced);
  std::fill_n(queueKind_.data() + queueLen_, produced, kFromAudio);
  queueLen_ += produced;
  return std::max(0, r.changed);
}

void PlayoutBuffer::TrimQueue(int leftover) {
  // The output queue keeps what the last time-scaling left over (less than a frame) ahead of
  // each new frame, and that much more delay. Shortening the queue by a pitch period no longer
  // than the leftover changes nothing about when frames are taken from the timeline, so it
  // costs no deadline: it only takes out delay.
  const int n = queueLen_;
  const int maxPeriod = std::min(leftover, TimeStretcher::kMaxPeriod);
  if (maxPeriod < TimeStretcher::kMinPeriod || n < TimeStretcher::MinInputFor(maxPeriod) ||
      n > TimeStretcher::kMaxInput) {
    return;
  }
  for (int i = 0; i < n; ++i) {
    if (queueKind_[static_cast<size_t>(i)] != kFromAudio) return;
  }
  std::array<int16_t, TimeStretcher::kMaxInput> trimmed;
  const TimeStretcher::Result r =
      TimeStretcher::Accelerate(queue_.data(), n, trimmed.data(), maxPeriod);
  if (r.changed <= 0 || r.changed > leftover || r.outputLength != n - r.changed) return;
  std::copy_n(trimmed.data(), r.outputLength, queue_.data());
  queueLen_ = r.outputLength;
  stats_.acceleratedSamples += static_cast<uint64_t>(r.changed);
}

PlayoutBuffer::FrameKind PlayoutBuffer::Pull(int16_t* out, int64_t nowMs) {
  if (!anchored_) {
    std::fill_n(out, frame_, int16_t{0});
    ++stats_.framesSilence;
    return FrameKind::kSilence;
  }
  stats_.delayMs = DelayMs(nowMs);
  while (queueLen_ < frame_) Produce(nowMs);
  // A frame is concealed when concealment put sound into it; concealment that had faded to
  // zeros, and comfort noise, count as silence when nothing else sounds in the frame.
  bool concealed = false;
  bool anyConcealment = false;
  bool silent = true;
  bool comfortNoise = true;
  for (int i = 0; i < frame_; ++i) {
    out[i] = queue_[static_cast<size_t>(i)];
    const uint8_t from = queueKind_[static_cast<size_t>(i)];
    anyConcealment = anyConcealment || from == kFromConcealment;
    concealed = concealed || (from == kFromConcealment && out[i] != 0);
    comfortNoise = comfortNoise && from == kFromComfortNoise;
    silent = silent && out[i] == 0;
  }
  queueLen_ -= frame_;
  std::memmove(queue_.data(), queue_.data() + frame_, sizeof(int16_t) * queueLen_);
  std::memmove(queueKind_.data(), queueKind_.data() + frame_, queueLen_);
  if (silent && (comfortNoise || anyConcealment)) {
    ++stats_.framesSilence;
    return FrameKind::kSilence;
  }
  if (concealed) {
    ++stats_.framesConcealed;
    return FrameKind::kConcealed;
  }
  ++stats_.framesAudio;
  return FrameKind::kAudio;
}

}  // namespace tarsio
