#include "rtp/RtpReceptionStatistics.h"

#include <algorithm>

namespace tarsio {

namespace {

constexpr uint32_t kSequenceModulo = 1u << 16;

}  // namespace

void RtpReceptionStatistics::Reset(uint32_t ssrc) {
  *this = RtpReceptionStatistics();
  ssrc_ = ssrc;
}

void RtpReceptionStatistics::InitSequence(uint16_t sequence) {
  baseSequence_ = sequence;
  maxSequence_ = sequence;
  badSequence_ = kSequenceModulo + 1;
  cycles_ = 0;
  received_ = 0;
  receivedPrior_ = 0;
  expectedPrior_ = 0;
  receivedOctets_ = 0;
}

bool RtpReceptionStatistics::OnPacket(uint16_t sequence, uint32_t rtpTimestamp,
                                      uint32_t arrivalUnits, uint32_t payloadBytes) {
  if (!started_) {
    // The first packet of this source: it must be followed in sequence before it counts.
    started_ = true;
    InitSequence(sequence);
    maxSequence_ = static_cast<uint16_t>(sequence - 1);
  }
  const uint16_t delta = static_cast<uint16_t>(sequence - maxSequence_);
  if (probation_ > 0) {
    if (sequence == static_cast<uint16_t>(maxSequence_ + 1)) {
      --probation_;
      maxSequence_ = sequence;
      if (probation_ == 0) {
        InitSequence(sequence);
      } else {
        return false;
      }
    } else {
      probation_ = kMinSequential - 1;
      maxSequence_ = sequence;
      return false;
    }
  } else if (delta < kMaxDropout) {
    if (sequence < maxSequence_) cycles_ += kSequenceModulo;  // wrapped
    maxSequence_ = sequence;
  } else if (delta <= kSequenceModulo - kMaxMisorder) {
    if (sequence == badSequence_) {
      // Two packets in sequence after a big jump: the sender restarted without telling us.
      InitSequence(sequence);
    } else {
      badSequence_ = (uint32_t{sequence} + 1) & (kSequenceModulo - 1);
      return false;
    }
  }
  // Otherwise a duplicate or a late packet within the misorder window: counted, no max change.
  ++received_;
  receivedOctets_ += payloadBytes;

  const int32_t transit = static_cast<int32_t>(arrivalUnits - rtpTimestamp);
  if (haveTransit_) {
    const int64_t d = static_cast<int64_t>(transit) - transit_;
    const uint32_t magnitude = static_cast<uint32_t>(std::min<int64_t>(d < 0 ? -d : d, INT32_MAX));
    jitter_ += magnitude - ((jitter_ + 8) >> 4);
  }
  transit_ = transit;
  haveTransit_ = true;
  return true;
}

int64_t RtpReceptionStatistics::Expected() const {
  if (probation_ > 0) return 0;
  return static_cast<int64_t>(cycles_) + maxSequence_ - baseSequence_ + 1;
}

void RtpReceptionStatistics::OnSenderReport(uint64_t senderNtp, uint64_t ntpNow) {
  lastSenderReport_ = NtpCompact(senderNtp);
  lastSenderReportArrival_ = ntpNow;
  haveSenderReport_ = true;
}

RtcpReportBlock RtpReceptionStatistics::MakeReportBlock(uint64_t ntpNow) {
  RtcpReportBlock block;
  block.ssrc = ssrc_;
  const int64_t expected = Expected();
  block.cumulativeLost =
      static_cast<int32_t>(std::clamp<int64_t>(expected - received_, -0x800000, 0x7fffff));
  block.extendedHighestSequence = ExtendedHighestSequence();
  block.jitter = Jitter();

  const int64_t expectedInterval = expected - expectedPrior_;
  expectedPrior_ = static_cast<uint32_t>(expected);
  const int64_t receivedInterval = int64_t{received_} - receivedPrior_;
  receivedPrior_ = received_;
  const int64_t lostInterval = expectedInterval - receivedInterval;
  lastFraction_ =
      expectedInterval <= 0 || lostInterval <= 0
          ? 0
          : static_cast<uint8_t>(std::min<int64_t>((lostInterval << 8) / expectedInterval, 255));
  block.fractionLost = lastFraction_;

  if (haveSenderReport_) {
    block.lastSenderReport = lastSenderReport_;
    block.delaySinceLastSenderReport = NtpCompact(ntpNow - lastSenderReportArrival_);
  }
  return block;
}

int64_t RoundTripFromReport(const RtcpReportBlock& block, uint64_t ntpNow) {
  if (block.lastSenderReport == 0) return -1;
  const uint32_t rtt =
      NtpCompact(ntpNow) - block.lastSenderReport - block.delaySinceLastSenderReport;
  // A negative result (clocks or a far end that misreports) means "too small to measure".
  return static_cast<int32_t>(rtt) < 0 ? 0 : int64_t{rtt};
}

}  // namespace tarsio
