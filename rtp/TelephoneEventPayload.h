// The payload of an RFC 4733 telephone-event packet: event code, end bit, volume and duration,
// four bytes on the wire; and the mapping between DTMF digits and event codes (0-9, * = 10,
// # = 11, A-D = 12-15).
//
// Threading: a value type.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarsio {

struct TelephoneEventPayload {
  static constexpr size_t kBytes = 4;

  uint8_t event = 0;
  bool end = false;
  uint8_t volume = 10;    // power level in -dBm0, 0..63
  uint16_t duration = 0;  // in timestamp units since the event's timestamp

  /// Reads the first four bytes; false when fewer are given.
  static bool Read(const uint8_t* data, size_t length, TelephoneEventPayload* out);
  /// Writes four bytes.
  void Write(uint8_t* out) const;

  /// The event code of a DTMF digit (case-insensitive), or -1 for anything else.
  static int EventForDigit(char digit);
  /// The digit of a DTMF event code, or '\0' for other events.
  static char DigitForEvent(uint8_t event);
};

}  // namespace tarsio
