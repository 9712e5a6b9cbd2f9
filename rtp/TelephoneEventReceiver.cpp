#include "rtp/TelephoneEventReceiver.h"

#include <algorithm>

namespace tarsio {

bool TelephoneEventReceiver::OnPacket(uint32_t timestamp, const uint8_t* payload, size_t length,
                                      uint32_t clockRate) {
  TelephoneEventPayload packet;
  if (!TelephoneEventPayload::Read(payload, length, &packet) || clockRate == 0) {
    ++malformed_;
    return false;
  }
  if (active_ && timestamp != timestamp_) {
    if (static_cast<int32_t>(timestamp - timestamp_) < 0) return true;  // an older event, late
    if (!reported_) Finish(false);  // the previous event's end was lost
    active_ = false;
  }
  if (!active_) {
    active_ = true;
    reported_ = false;
    timestamp_ = timestamp;
    clockRate_ = clockRate;
    current_ = packet;
  } else if (!reported_) {
    current_.duration = std::max(current_.duration, packet.duration);
    current_.event = packet.event;
  }
  if (packet.end && !reported_) {
    current_.duration = std::max(current_.duration, packet.duration);
    Finish(true);
  }
  return true;
}

void TelephoneEventReceiver::Flush() {
  if (active_ && !reported_) Finish(false);
}

void TelephoneEventReceiver::Finish(bool endSeen) {
  reported_ = true;
  Event event;
  event.event = current_.event;
  event.digit = TelephoneEventPayload::DigitForEvent(current_.event);
  event.durationMs = static_cast<uint32_t>(uint64_t{current_.duration} * 1000 / clockRate_);
  event.endSeen = endSeen;
  if (count_ == kQueueCapacity) {
    head_ = (head_ + 1) % kQueueCapacity;
    --count_;
    ++dropped_;
  }
  queue_[(head_ + count_) % kQueueCapacity] = event;
  ++count_;
}

bool TelephoneEventReceiver::Peek(size_t index, Event* out) const {
  if (index >= count_ || out == nullptr) return false;
  *out = queue_[(head_ + index) % kQueueCapacity];
  return true;
}

bool TelephoneEventReceiver::PopEvent(Event* out) {
  if (count_ == 0 || out == nullptr) return false;
  *out = queue_[head_];
  head_ = (head_ + 1) % kQueueCapacity;
  --count_;
  return true;
}

}  // namespace tarsio
