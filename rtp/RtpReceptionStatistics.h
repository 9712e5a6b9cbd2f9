// What a receiver knows about one RTP source, in the terms of an RTCP report block (RFC 3550):
// sequence validation with wrap-around counting (A.1), cumulative and fractional loss (A.3),
// interarrival jitter (A.8), and the last sender report heard, for the LSR/DLSR fields from which
// the far end computes the round-trip time.
//
// Times come from the caller: arrival times in the stream's timestamp units (for the jitter) and
// the 64-bit NTP-format wall clock (for the sender-report delay), so the class runs the same
// under a fake clock.
//
// Threading: none; the owner serialises calls (the receive thread updates, the RTCP thread
// reports, under one lock of the owner).
#pragma once

#include <cstdint>

#include "rtp/RtcpCompound.h"

namespace tarsio {

class RtpReceptionStatistics {
 public:
  /// Consecutive packets a new source must send before it counts (RFC 3550 A.1).
  static constexpr int kMinSequential = 2;
  static constexpr uint16_t kMaxDropout = 3000;
  static constexpr uint16_t kMaxMisorder = 100;

  /// Forgets everything and follows ssrc from its next packet on.
  void Reset(uint32_t ssrc);

  /// One received packet. arrivalUnits: the arrival time converted to the stream's timestamp
  /// clock (any origin, wrapping is fine). Returns false while the source is on probation or
  /// when the packet is out of every plausible sequence (the caller may still play it).
  bool OnPacket(uint16_t sequence, uint32_t rtpTimestamp, uint32_t arrivalUnits,
                uint32_t payloadBytes);

  /// A sender report from this source arrived at ntpNow.
  void OnSenderReport(uint64_t senderNtp, uint64_t ntpNow);

  /// Fills a report block as of ntpNow and starts a new interval for the fraction lost.
  RtcpReportBlock MakeReportBlock(uint64_t ntpNow);

  uint32_t Ssrc() const { return ssrc_; }
  bool Valid() const { return probation_ == 0 && received_ > 0; }
  uint32_t ExtendedHighestSequence() const { return cycles_ + maxSequence_; }
  /// Packets expected from the first valid one to the highest sequence seen.
  int64_t Expected() const;
  uint32_t Received() const { return received_; }
  uint64_t ReceivedOctets() const { return receivedOctets_; }
  /// Expected minus received (negative with duplicates), unclamped.
  int64_t CumulativeLost() const { return Expected() - received_; }
  /// Interarrival jitter in timestamp units.
  uint32_t Jitter() const { return jitter_ >> 4; }
  /// The fraction lost of the last report made (1/256).
  uint8_t LastFractionLost() const { return lastFraction_; }

 private:
  void InitSequence(uint16_t sequence);

  uint32_t ssrc_ = 0;
  bool started_ = false;  // a first packet was seen
  uint16_t maxSequence_ = 0;
  uint32_t cycles_ = 0;
  uint32_t baseSequence_ = 0;
  uint32_t badSequence_ = 0x10001;  // beyond any sequence number: no candidate yet
  int probation_ = kMinSequential;
  uint32_t received_ = 0;
  uint32_t expectedPrior_ = 0;
  uint32_t receivedPrior_ = 0;
  uint64_t receivedOctets_ = 0;
  bool haveTransit_ = false;
  int32_t transit_ = 0;
  uint32_t jitter_ = 0;  // scaled by 16, as RFC 3550 A.8 keeps it
  uint32_t lastSenderReport_ = 0;
  uint64_t lastSenderReportArrival_ = 0;
  bool haveSenderReport_ = false;
  uint8_t lastFraction_ = 0;
};

/// The middle 32 bits of a 64-bit NTP timestamp: the compact form of LSR, DLSR and round trips.
inline uint32_t NtpCompact(uint64_t ntp) { return static_cast<uint32_t>(ntp >> 16); }

/// Round-trip time in 1/65536 s from a report block about our own stream received at ntpNow
/// (RFC 3550 6.4.1), or -1 when the block carries no sender-report reference.
int64_t RoundTripFromReport(const RtcpReportBlock& block, uint64_t ntpNow);

}  // namespace tarsio
