#include "dsp/PacketLossConcealer.h"

extern "C" {
#include <spandsp/plc.h>
#include <spandsp/telephony.h>
}

namespace tarsio {

struct PacketLossConcealer::State {
  plc_state_t plc;
};

PacketLossConcealer::PacketLossConcealer() : state_(std::make_unique<State>()) { Reset(); }

PacketLossConcealer::~PacketLossConcealer() = default;

void PacketLossConcealer::Reset() {
  plc_init(&state_->plc);
  concealed_ = 0;
}

void PacketLossConcealer::Receive(int16_t* samples, int count) {
  if (count <= 0) return;
  plc_rx(&state_->plc, samples, count);
  concealed_ = 0;
}

void PacketLossConcealer::Conceal(int16_t* samples, int count) {
  if (count <= 0) return;
  plc_fillin(&state_->plc, samples, count);
  concealed_ += count;
}

}  // namespace tarsio
