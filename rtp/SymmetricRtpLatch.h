// Symmetric RTP: send to where the far end's media really comes from (its NAT's public address
// and port) rather than where the signalling said.
//
// The latch follows a source only after it proved itself: kPacketsToLatch consecutive packets,
// in sequence (each sequence number one more than the last) with one SSRC, from one address and
// port. A single packet from elsewhere, spoofed or stray, never moves it; a new source (a NAT
// that rebound, a re-INVITE to another port) has to prove itself the same way, with no packet from
// the latched source in between: while the latched source still sends, nothing takes over.
//
// Threading: OnPacket from the receive thread; Target from any thread (the transmit thread reads
// it per packet). A small lock of its own; nothing is called under it.
#pragma once

#include <cstdint>

#include "platform/CriticalSection.h"
#include "platform/NetworkAddress.h"
#include "platform/ThreadAnnotations.h"

namespace tarsio {

class SymmetricRtpLatch {
 public:
  static constexpr int kPacketsToLatch = 4;

  /// Checks one packet with a valid RTP header. True when the latch moved to `source` now.
  bool OnPacket(const NetworkAddress& source, uint32_t ssrc, uint16_t sequence);

  /// The latched address, or the fallback (the signalled destination) while nothing is latched.
  NetworkAddress Target(const NetworkAddress& fallback);
  bool Latched();
  /// Times the latch moved (the first latch included).
  uint32_t Moves();
  void Reset();

 private:
  CriticalSection mutex_;
  bool latched_ TARSIO_GUARDED_BY(mutex_) = false;
  NetworkAddress target_ TARSIO_GUARDED_BY(mutex_);
  NetworkAddress candidate_ TARSIO_GUARDED_BY(mutex_);
  uint32_t candidateSsrc_ TARSIO_GUARDED_BY(mutex_) = 0;
  uint16_t candidateSequence_ TARSIO_GUARDED_BY(mutex_) = 0;
  int candidateCount_ TARSIO_GUARDED_BY(mutex_) = 0;
  uint32_t moves_ TARSIO_GUARDED_BY(mutex_) = 0;
};

}  // namespace tarsio
