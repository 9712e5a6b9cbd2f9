#include "platform/PacketLossConcealer.h"

#include <algorithm>

#ifdef TARSIO_HAVE_SPANDSP
// plc.h needs the declarations of telephony.h first.
// clang-format off
extern "C" {
#include <spandsp/telephony.h>
#include <spandsp/plc.h>
}
// clang-format on
#endif

namespace tarsio {

#ifdef TARSIO_HAVE_SPANDSP
struct PacketLossConcealer::State {
  plc_state_t plc;
};
#else
// Built without spandsp (the Windows cross build): no history is kept and missing audio is
// silence, which is what the method itself gives after its fade.
namespace {
struct SilenceFill {};
void plc_init(SilenceFill*) {}
void plc_rx(SilenceFill*, int16_t*, int) {}
void plc_fillin(SilenceFill*, int16_t* samples, int count) {
  std::fill_n(samples, count, int16_t{0});
}
}  // namespace
struct PacketLossConcealer::State {
  SilenceFill plc;
};
#endif

bool PacketLossConcealer::ConcealsWaveform() {
#ifdef TARSIO_HAVE_SPANDSP
  return true;
#else
  return false;
#endif
}

PacketLossConcealer::PacketLossConcealer() : state_(std::make_unique<State>()) { Reset(); }

PacketLossConcealer::~PacketLossConcealer() = default;

void PacketLossConcealer::Reset() {
  plc_init(&state_->plc);
  concealed_ = 0;
  hasHistory_ = false;
}

void PacketLossConcealer::Receive(int16_t* samples, int count) {
  if (count <= 0) return;
  if (hasHistory_ && concealed_ >= kRestartSamples) hasHistory_ = false;
  if (!hasHistory_) plc_init(&state_->plc);  // nothing to blend out of
  plc_rx(&state_->plc, samples, count);
  concealed_ = 0;
  hasHistory_ = true;
}

void PacketLossConcealer::Conceal(int16_t* samples, int count) {
  if (count <= 0) return;
  if (!hasHistory_ || concealed_ >= kFadeSamples) {
    std::fill_n(samples, count, int16_t{0});
  } else {
    plc_fillin(&state_->plc, samples, count);
  }
  concealed_ += count;
}

}  // namespace tarsio
