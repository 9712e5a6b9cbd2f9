#include "rtp/SymmetricRtpLatch.h"

namespace tarsio {

bool SymmetricRtpLatch::OnPacket(const NetworkAddress& source, uint32_t ssrc, uint16_t sequence) {
  CriticalSectionLock lock(mutex_);
  if (latched_ && source == target_) {
    // The latched source is alive: a candidate's packets are no longer consecutive.
    candidateCount_ = 0;
    return false;
  }
  const bool continues = candidateCount_ > 0 && source == candidate_ && ssrc == candidateSsrc_ &&
                         sequence == static_cast<uint16_t>(candidateSequence_ + 1);
  if (continues) {
    ++candidateCount_;
  } else {
    candidate_ = source;
    candidateSsrc_ = ssrc;
    candidateCount_ = 1;
  }
  candidateSequence_ = sequence;
  if (candidateCount_ < kPacketsToLatch) return false;
  latched_ = true;
  target_ = candidate_;
  candidateCount_ = 0;
  ++moves_;
  return true;
}

NetworkAddress SymmetricRtpLatch::Target(const NetworkAddress& fallback) {
  CriticalSectionLock lock(mutex_);
  return latched_ ? target_ : fallback;
}

bool SymmetricRtpLatch::Latched() {
  CriticalSectionLock lock(mutex_);
  return latched_;
}

uint32_t SymmetricRtpLatch::Moves() {
  CriticalSectionLock lock(mutex_);
  return moves_;
}

void SymmetricRtpLatch::Reset() {
  CriticalSectionLock lock(mutex_);
  latched_ = false;
  target_ = NetworkAddress();
  candidate_ = NetworkAddress();
  candidateCount_ = 0;
  moves_ = 0;
}

}  // namespace tarsio
