#include "rtp/TelephoneEventSender.h"

#include <algorithm>

namespace tarsio {

bool TelephoneEventSender::Queue(std::string_view digits, uint32_t durationMs) {
  const uint32_t duration = std::clamp(durationMs, kMinDurationMs, kMaxDurationMs);
  for (char digit : digits) {
    if (TelephoneEventPayload::EventForDigit(digit) < 0) return false;
  }
  CriticalSectionLock lock(mutex_);
  if (digits.size() > kQueueCapacity - count_) return false;
  for (char digit : digits) {
    queue_[(head_ + count_) % kQueueCapacity] =
        Queued{static_cast<uint8_t>(TelephoneEventPayload::EventForDigit(digit)), duration};
    ++count_;
  }
  return true;
}

size_t TelephoneEventSender::Pending() {
  CriticalSectionLock lock(mutex_);
  return count_ + (state_ == State::kPlaying || state_ == State::kEnding ? 1 : 0);
}

void TelephoneEventSender::Clear() {
  CriticalSectionLock lock(mutex_);
  head_ = 0;
  count_ = 0;
}

bool TelephoneEventSender::NextPacket(uint32_t frameTimestamp, uint32_t frameUnits,
                                      uint32_t clockRate, Packet* out) {
  CriticalSectionLock lock(mutex_);
  if (state_ == State::kGap) {
    if (--framesLeft_ > 0) return false;
    state_ = State::kIdle;
  }
  if (state_ == State::kIdle) {
    if (count_ == 0) return false;
    const Queued next = queue_[head_];
    head_ = (head_ + 1) % kQueueCapacity;
    --count_;
    current_ = TelephoneEventPayload{};
    current_.event = next.event;
    current_.duration = 0;
    eventTimestamp_ = frameTimestamp;
    // Whole frames, at least one, within the 16-bit duration field.
    const uint64_t units = uint64_t{next.durationMs} * clockRate / 1000;
    const uint64_t frames = std::max<uint64_t>(1, (units + frameUnits - 1) / frameUnits);
    targetUnits_ = static_cast<uint32_t>(std::min<uint64_t>(frames * frameUnits, 0xffff));
    state_ = State::kPlaying;
    out->marker = true;
  } else {
    out->marker = false;
  }

  if (state_ == State::kPlaying) {
    current_.duration =
        static_cast<uint16_t>(std::min<uint32_t>(current_.duration + frameUnits, targetUnits_));
    if (current_.duration >= targetUnits_) {
      current_.end = true;
      state_ = State::kEnding;
      framesLeft_ = kEndRepeats;
    }
  }
  if (state_ == State::kEnding && --framesLeft_ == 0) {
    state_ = State::kGap;
    framesLeft_ = kGapFrames + 1;  // the first decrement happens on the next frame
  }
  current_.Write(out->payload);
  out->timestamp = eventTimestamp_;
  return true;
}

}  // namespace tarsio
