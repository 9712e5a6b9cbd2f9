#include "rtp/RtcpSession.h"

#include <algorithm>
#include <utility>

namespace tarsio {

namespace {

constexpr double kNtpUnitsPerSecond = 4294967296.0;
// UDP and IPv4 headers, counted in the average RTCP packet size as RFC 3550 6.2 asks.
constexpr uint32_t kLowerLayerBytes = 28;

uint64_t NtpFromMs(uint64_t ms) { return ms * (uint64_t{1} << 32) / 1000; }

// The NTP time in units of a clock of `rate` Hz (wrapping), for the jitter estimate.
uint32_t TimestampUnits(uint64_t ntp, uint32_t rate) {
  const uint64_t seconds = ntp >> 32;
  const uint64_t fraction = ntp & 0xffffffffu;
  return static_cast<uint32_t>(seconds * rate + ((fraction * rate) >> 32));
}

}  // namespace

RtcpSession::RtcpSession(uint32_t localSsrc, std::string cname, uint32_t clockRate,
                         double sessionBandwidthBytesPerSecond)
    : localSsrc_(localSsrc),
      cname_(std::move(cname)),
      clockRate_(clockRate == 0 ? 8000 : clockRate),
      interval_(sessionBandwidthBytesPerSecond) {}

void RtcpSession::Start(uint64_t ntpNow, double random01) {
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, random01);
}

void RtcpSession::StartLocked(uint64_t ntpNow, double random01) {
  if (started_) return;
  started_ = true;
  startedAt_ = ntpNow;
  ScheduleNext(ntpNow, random01, true);
}

void RtcpSession::ScheduleNext(uint64_t ntpNow, double random01, bool initial) {
  const uint32_t members = haveRemote_ ? 2 : 1;
  const uint32_t senders = (sentSinceLastReport_ ? 1 : 0) + (haveRemote_ ? 1 : 0);
  const double seconds = interval_.Next(members, senders, sentSinceLastReport_, initial, random01);
  nextReportAt_ = ntpNow + static_cast<uint64_t>(seconds * kNtpUnitsPerSecond);
}

void RtcpSession::OnRtpSent(uint32_t rtpTimestamp, uint32_t payloadBytes, uint64_t ntpNow) {
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, 0.5);
  ++stats_.packetsSent;
  stats_.octetsSent += payloadBytes;
  lastRtpTimestamp_ = rtpTimestamp;
  lastRtpSentAt_ = ntpNow;
  sentSinceLastReport_ = true;
}

void RtcpSession::OnRtpReceived(uint32_t ssrc, uint16_t sequence, uint32_t rtpTimestamp,
                                uint32_t payloadBytes, uint64_t ntpNow) {
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, 0.5);
  if (!haveRemote_ || ssrc != reception_.Ssrc()) {
    // A first source, or a far end that restarted its stream under a new SSRC.
    reception_.Reset(ssrc);
    haveRemote_ = true;
    stats_.remoteSsrc = ssrc;
  }
  reception_.OnPacket(sequence, rtpTimestamp, TimestampUnits(ntpNow, clockRate_), payloadBytes);
  ++stats_.packetsReceived;
  stats_.octetsReceived += payloadBytes;
  lastHeardAt_ = ntpNow;
}

bool RtcpSession::OnRtcpReceived(const uint8_t* data, size_t length, uint64_t ntpNow) {
  RtcpCompound report;
  const char* why = nullptr;
  const bool ok = report.Parse(data, length, &why);
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, 0.5);
  if (!ok) {
    ++stats_.reportsMalformed;
    return false;
  }
  ++stats_.reportsReceived;
  lastHeardAt_ = ntpNow;
  interval_.OnPacketSize(static_cast<uint32_t>(length) + kLowerLayerBytes);

  if (report.hasReport && report.reporterSsrc != localSsrc_) {
    if (!haveRemote_) {
      reception_.Reset(report.reporterSsrc);
      haveRemote_ = true;
      stats_.remoteSsrc = report.reporterSsrc;
    }
    if (report.hasSenderInfo && report.reporterSsrc == reception_.Ssrc()) {
      reception_.OnSenderReport(report.senderInfo.ntpTimestamp, ntpNow);
    }
  }
  for (size_t i = 0; i < report.reportBlockCount; ++i) {
    const RtcpReportBlock& block = report.reportBlocks[i];
    if (block.ssrc != localSsrc_) continue;
    stats_.haveRemoteReport = true;
    stats_.remoteCumulativeLost = block.cumulativeLost;
    stats_.remoteFractionLost = block.fractionLost / 256.0;
    stats_.remoteJitterMs = block.jitter * 1000.0 / clockRate_;
    const int64_t roundTrip = RoundTripFromReport(block, ntpNow);
    if (roundTrip >= 0) stats_.roundTripMs = roundTrip * 1000.0 / 65536.0;
  }
  if (report.hasCname && report.cnameSsrc != localSsrc_) {
    stats_.remoteCname.assign(report.Cname());
  }
  if (report.bye) {
    for (size_t i = 0; i < report.byeSourceCount; ++i) {
      if (report.byeSources[i] != localSsrc_) stats_.byeReceived = true;
    }
  }
  return true;
}

bool RtcpSession::ReportDue(uint64_t ntpNow) {
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, 0.5);
  return ntpNow >= nextReportAt_;
}

uint64_t RtcpSession::NextReportAt() {
  CriticalSectionLock lock(mutex_);
  return nextReportAt_;
}

size_t RtcpSession::WriteReport(uint8_t* out, size_t capacity, bool bye, uint64_t ntpNow,
                                double random01) {
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, 0.5);
  RtcpCompound report;
  report.hasReport = true;
  report.reporterSsrc = localSsrc_;
  if (sentSinceLastReport_) {
    report.hasSenderInfo = true;
    report.senderInfo.ntpTimestamp = ntpNow;
    // The RTP time that corresponds to now: the last packet's, moved on by the time since.
    report.senderInfo.rtpTimestamp =
        lastRtpTimestamp_ +
        (TimestampUnits(ntpNow, clockRate_) - TimestampUnits(lastRtpSentAt_, clockRate_));
    report.senderInfo.packetCount = static_cast<uint32_t>(stats_.packetsSent);
    report.senderInfo.octetCount = static_cast<uint32_t>(stats_.octetsSent);
  }
  RtpReceptionStatistics saved = reception_;
  if (haveRemote_ && reception_.Valid()) {
    report.reportBlockCount = 1;
    report.reportBlocks[0] = reception_.MakeReportBlock(ntpNow);
  }
  report.SetCname(localSsrc_, cname_);
  if (bye) {
    report.bye = true;
    report.byeSourceCount = 1;
    report.byeSources[0] = localSsrc_;
  }
  const size_t length = report.Write(out, capacity);
  if (length == 0) {
    reception_ = saved;  // nothing went out: the loss interval goes on
    return 0;
  }
  if (report.reportBlockCount == 1) {
    stats_.fractionLost = report.reportBlocks[0].fractionLost / 256.0;
  }
  ++stats_.reportsSent;
  interval_.OnPacketSize(static_cast<uint32_t>(length) + kLowerLayerBytes);
  ScheduleNext(ntpNow, random01, false);
  sentSinceLastReport_ = false;
  return length;
}

bool RtcpSession::TimedOut(uint64_t ntpNow, uint32_t timeoutMs) {
  CriticalSectionLock lock(mutex_);
  StartLocked(ntpNow, 0.5);
  const uint64_t since = lastHeardAt_ != 0 ? lastHeardAt_ : startedAt_;
  return ntpNow - since >= NtpFromMs(timeoutMs);
}

RtcpSession::Statistics RtcpSession::GetStatistics() {
  CriticalSectionLock lock(mutex_);
  Statistics out = stats_;
  if (haveRemote_) {
    out.cumulativeLost = reception_.CumulativeLost();
    out.jitterMs = reception_.Jitter() * 1000.0 / clockRate_;
    const int64_t expected = reception_.Expected();
    out.callFractionLost =
        expected > 0 ? std::max<int64_t>(0, out.cumulativeLost) / static_cast<double>(expected)
                     : 0.0;
  }
  return out;
}

}  // namespace tarsio
