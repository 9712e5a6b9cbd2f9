// Recognises RFC 4733 telephone events in received packets and reports each event once, as a
// digit with its duration, when its end arrives.
//
// An event is known by its timestamp; updates raise its duration; the first packet with the end
// bit reports it, and the end's retransmissions are ignored. An event that is replaced by a new
// one before its end arrived (the end packets were lost) is reported when the new one starts,
// with the last duration heard; Flush reports an event still open when the stream stops. Packets
// of events older than the current one (reordered) are ignored.
//
// Finished events wait in a fixed queue until taken with PopEvent; when it is full the oldest is
// dropped and counted.
//
// Threading: none; the owner (the receive path) serialises calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "rtp/TelephoneEventPayload.h"

namespace tarsio {

class TelephoneEventReceiver {
 public:
  static constexpr size_t kQueueCapacity = 32;

  struct Event {
    uint8_t event = 0;
    char digit = '\0';  // '\0' for non-DTMF events
    uint32_t durationMs = 0;
    bool endSeen = true;  // false when its end packets never came
  };

  /// One telephone-event packet. False when the payload is too short (counted as malformed).
  bool OnPacket(uint32_t timestamp, const uint8_t* payload, size_t length, uint32_t clockRate);
  /// Reports the open event, if any, as ended.
  void Flush();

  /// Takes the oldest finished event; false when there is none.
  bool PopEvent(Event* out);

  /// Finished events waiting to be taken.
  size_t Pending() const { return count_; }
  /// The finished event index places after the oldest (0 = the one PopEvent gives next); false
  /// when fewer wait.
  bool Peek(size_t index, Event* out) const;
  uint64_t Malformed() const { return malformed_; }
  uint64_t Dropped() const { return dropped_; }

 private:
  void Finish(bool endSeen);

  bool active_ = false;    // an event is open or was the last one
  bool reported_ = false;  // the current event has been reported
  uint32_t timestamp_ = 0;
  uint32_t clockRate_ = 8000;
  TelephoneEventPayload current_;
  std::array<Event, kQueueCapacity> queue_{};
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t malformed_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace tarsio
