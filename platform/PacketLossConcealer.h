// Waveform loss concealment for 8 kHz 16-bit mono speech, the G.711 Appendix I method: while
// audio is received its tail is kept; for missing audio the last pitch period is repeated with
// overlap-add at the joins, fading linearly to silence over about 50 ms; when real audio returns
// a quarter period of the synthetic signal is blended into it so the seam does not click.
//
// The algorithm is spandsp's plc module (Debian's libspandsp). It sits in the platform layer, like
// the other libraries the engine builds on, so that the code above needs neither its headers nor
// its C state layout. Its plc_fillin shifts the history with memcpy between overlapping ranges:
// right with glibc's x86-64 memcpy (the memmove code), and suppressed in the AddressSanitizer
// runs (tests/asan.supp); a build against another C library needs a check. A build without
// spandsp (the Windows cross build, for which Debian has no spandsp) conceals with silence.
//
// Before any audio was received, and once the concealment has faded out, missing audio is plain
// zeros. After kRestartSamples of concealment (a pause, not a loss) the next received audio
// starts afresh without a blend, so a talk spurt after a pause is passed on exactly as received;
// after a shorter gap it fades in over a quarter pitch period as the method prescribes.
//
// Threading: one instance per audio stream, used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

namespace tarsio {

class PacketLossConcealer {
 public:
  PacketLossConcealer();
  ~PacketLossConcealer();
  PacketLossConcealer(const PacketLossConcealer&) = delete;
  PacketLossConcealer& operator=(const PacketLossConcealer&) = delete;

  /// Whether lost audio is synthesised from the received waveform (false in a build without
  /// spandsp, where it is silence).
  static bool ConcealsWaveform();

  /// Forgets the history (a new stream).
  void Reset();
  /// Passes received audio through (modified in place only right after a concealment, where the
  /// synthetic signal is blended into it) and remembers its tail.
  void Receive(int16_t* samples, int count);
  /// Writes count samples of concealment in place of missing audio.
  void Conceal(int16_t* samples, int count);
  /// Samples concealed since the last received audio.
  int32_t ConcealedSamples() const { return concealed_; }
  /// Concealment after this many samples (50 ms at 8 kHz) is silence.
  static constexpr int32_t kFadeSamples = 400;
  /// After this many concealed samples (100 ms) received audio starts without a blend.
  static constexpr int32_t kRestartSamples = 800;

 private:
  struct State;
  std::unique_ptr<State> state_;
  int32_t concealed_ = 0;
  bool hasHistory_ = false;  // audio received since the reset or the last restart
};

}  // namespace tarsio
