#include "platform/PacketLossConcealer.h"

#include <algorithm>

// plc.h needs the declarations of telephony.h first.
// clang-format off
extern "C" {
#include <spandsp/telephony.h>
#include <spandsp/plc.h>
}
// clang-format on

namespace tarsio {

struct PacketLossConcealer::State {
  plc_state_t plc;
};

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
