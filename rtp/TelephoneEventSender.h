// Sends DTMF digits as RFC 4733 telephone events in place of the audio.
//
// The transmit path asks once per frame whether an event packet goes out instead of the audio
// frame (NextPacket). A digit becomes: a first packet with the marker set, then one update per
// frame with the duration growing by a frame, all with the timestamp of the event's first frame;
// then the final packet (end bit, final duration) three times, one per frame, as RFC 4733 2.5.1.4
// asks; then kGapFrames frames of audio before the next digit. The audio stream is paused while an
// event is sent; its timestamps run on, so the audio resumes at the right place.
//
// Digits wait in a fixed queue (no allocation): Queue refuses digits that are not DTMF or that do
// not fit.
//
// Threading: Queue may be called from any thread; NextPacket from the transmit thread. A small
// lock of its own guards the queue and the state; it is never held while calling out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/CriticalSection.h"
#include "platform/ThreadAnnotations.h"
#include "rtp/TelephoneEventPayload.h"

namespace tarsio {

class TelephoneEventSender {
 public:
  static constexpr size_t kQueueCapacity = 64;
  static constexpr int kEndRepeats = 3;
  static constexpr int kGapFrames = 3;
  /// The longest digit: the 16-bit duration field at 8 kHz, less one frame.
  static constexpr uint32_t kMaxDurationMs = 8000;
  static constexpr uint32_t kMinDurationMs = 40;

  struct Packet {
    uint8_t payload[TelephoneEventPayload::kBytes] = {};
    bool marker = false;
    uint32_t timestamp = 0;  // the event's first frame timestamp
  };

  /// Adds digits (0-9, *, #, A-D), each lasting durationMs (clamped to 40..8000 ms). False, and
  /// nothing queued, when a digit is not DTMF or the queue cannot take them all.
  bool Queue(std::string_view digits, uint32_t durationMs);

  /// Called for every frame the transmit path is about to send, with that frame's timestamp and
  /// length in timestamp units. True: *out goes out instead of the audio frame.
  bool NextPacket(uint32_t frameTimestamp, uint32_t frameUnits, uint32_t clockRate, Packet* out);

  /// Digits waiting or being sent.
  size_t Pending();
  /// Drops every queued digit; a digit being sent still ends properly.
  void Clear();

 private:
  enum class State { kIdle, kPlaying, kEnding, kGap };
  struct Queued {
    uint8_t event;
    uint32_t durationMs;
  };

  CriticalSection mutex_;
  std::array<Queued, kQueueCapacity> queue_ TARSIO_GUARDED_BY(mutex_){};
  size_t head_ TARSIO_GUARDED_BY(mutex_) = 0;
  size_t count_ TARSIO_GUARDED_BY(mutex_) = 0;
  State state_ TARSIO_GUARDED_BY(mutex_) = State::kIdle;
  TelephoneEventPayload current_ TARSIO_GUARDED_BY(mutex_);
  uint32_t eventTimestamp_ TARSIO_GUARDED_BY(mutex_) = 0;
  uint32_t targetUnits_ TARSIO_GUARDED_BY(mutex_) = 0;
  int framesLeft_ TARSIO_GUARDED_BY(mutex_) = 0;  // end repeats or gap frames still to go
};

}  // namespace tarsio
