#include "rtp/TelephoneEventPayload.h"

namespace tarsio {

bool TelephoneEventPayload::Read(const uint8_t* data, size_t length, TelephoneEventPayload* out) {
  if (data == nullptr || length < kBytes || out == nullptr) return false;
  out->event = data[0];
  out->end = (data[1] & 0x80) != 0;
  out->volume = data[1] & 0x3f;
  out->duration = static_cast<uint16_t>(data[2] << 8 | data[3]);
  return true;
}

void TelephoneEventPayload::Write(uint8_t* out) const {
  out[0] = event;
  out[1] = static_cast<uint8_t>((end ? 0x80 : 0) | (volume & 0x3f));
  out[2] = static_cast<uint8_t>(duration >> 8);
  out[3] = static_cast<uint8_t>(duration);
}

int TelephoneEventPayload::EventForDigit(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit == '*') return 10;
  if (digit == '#') return 11;
  if (digit >= 'A' && digit <= 'D') return 12 + (digit - 'A');
  if (digit >= 'a' && digit <= 'd') return 12 + (digit - 'a');
  return -1;
}

char TelephoneEventPayload::DigitForEvent(uint8_t event) {
  static constexpr char kDigits[] = "0123456789*#ABCD";
  return event < 16 ? kDigits[event] : '\0';
}

}  // namespace tarsio
