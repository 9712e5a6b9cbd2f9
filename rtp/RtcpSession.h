// The RTCP side of one call (RFC 3550 section 6): what we sent, what we received from the far
// end, the reports that carry both, and the statistics a host reads.
//
// The session is clock-free: every call takes the current wall-clock time in 64-bit NTP format,
// so tests run it under a fake clock. The transmit path tells it about each RTP packet sent, the
// receive path about each RTP packet received; whoever drives RTCP asks it when the next report
// is due, has it write the report (SR while we send, else RR; with our CNAME; BYE at the end)
// and hands it every RTCP datagram received. Reports about other SSRCs than ours are ignored.
//
// Statistics: packets and octets both ways; loss (cumulative, fraction of the last interval and
// over the whole call) and interarrival jitter as we see the far end's stream, and the same as
// the far end reports about ours; the round-trip time from LSR/DLSR (RFC 3550 6.4.1); counts of
// reports sent, received and refused; the far end's CNAME and whether it said BYE. Timeout: no
// RTP and no RTCP from the far end for a chosen time.
//
// Threading: the transmit thread (OnRtpSent), the receive thread (OnRtpReceived), the RTCP
// driver (the rest) and host threads (GetStatistics) may all call at once: one internal lock,
// held briefly, never across a call out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/CriticalSection.h"
#include "platform/ThreadAnnotations.h"
#include "rtp/RtcpCompound.h"
#include "rtp/RtcpInterval.h"
#include "rtp/RtpReceptionStatistics.h"

namespace tarsio {

class RtcpSession {
 public:
  struct Statistics {
    uint64_t packetsSent = 0;
    uint64_t octetsSent = 0;
    uint64_t packetsReceived = 0;
    uint64_t octetsReceived = 0;
    // The far end's stream as we receive it.
    int64_t cumulativeLost = 0;
    double fractionLost = 0;      // of the last report interval, 0..1
    double callFractionLost = 0;  // since the stream started, 0..1
    double jitterMs = 0;
    // Our stream as the far end reports it (valid when haveRemoteReport).
    bool haveRemoteReport = false;
    int32_t remoteCumulativeLost = 0;
    double remoteFractionLost = 0;
    double remoteJitterMs = 0;
    double roundTripMs = -1;  // -1 until measured
    uint64_t reportsSent = 0;
    uint64_t reportsReceived = 0;
    uint64_t reportsMalformed = 0;
    bool byeReceived = false;
    uint32_t remoteSsrc = 0;
    std::string remoteCname;
  };

  RtcpSession(uint32_t localSsrc, std::string cname, uint32_t clockRate,
              double sessionBandwidthBytesPerSecond);

  /// Starts the session's clock: the first report is due 2.5 s (spread by random01) later, and a
  /// timeout counts from here. Other calls start it with a draw of 0.5 when this was not called.
  void Start(uint64_t ntpNow, double random01);

  /// An RTP packet we sent: its timestamp and payload size.
  void OnRtpSent(uint32_t rtpTimestamp, uint32_t payloadBytes, uint64_t ntpNow);
  /// An RTP packet received from the far end.
  void OnRtpReceived(uint32_t ssrc, uint16_t sequence, uint32_t rtpTimestamp, uint32_t payloadBytes,
                     uint64_t ntpNow);
  /// An RTCP datagram received. False when it was refused (counted as malformed).
  bool OnRtcpReceived(const uint8_t* data, size_t length, uint64_t ntpNow);

  /// Whether a report is due at ntpNow (the first one 2.5 s (randomised) after the start).
  bool ReportDue(uint64_t ntpNow);
  /// Writes the next compound report (and a BYE when bye is set) into out and schedules the next
  /// one with random01, a uniform draw in [0, 1). Returns its length, 0 if it does not fit.
  size_t WriteReport(uint8_t* out, size_t capacity, bool bye, uint64_t ntpNow, double random01);

  /// No RTP and no RTCP from the far end for timeoutMs (counted from the start when nothing
  /// ever came).
  bool TimedOut(uint64_t ntpNow, uint32_t timeoutMs);

  Statistics GetStatistics();

  /// NTP time the next report is due, for a driver that sleeps until then.
  uint64_t NextReportAt();

 private:
  void StartLocked(uint64_t ntpNow, double random01) TARSIO_REQUIRES(mutex_);
  void ScheduleNext(uint64_t ntpNow, double random01, bool initial) TARSIO_REQUIRES(mutex_);

  const uint32_t localSsrc_;
  const std::string cname_;
  const uint32_t clockRate_;
  CriticalSection mutex_;
  RtcpInterval interval_ TARSIO_GUARDED_BY(mutex_);
  RtpReceptionStatistics reception_ TARSIO_GUARDED_BY(mutex_);
  bool haveRemote_ TARSIO_GUARDED_BY(mutex_) = false;
  bool sentSinceLastReport_ TARSIO_GUARDED_BY(mutex_) = false;
  uint32_t lastRtpTimestamp_ TARSIO_GUARDED_BY(mutex_) = 0;
  uint64_t lastRtpSentAt_ TARSIO_GUARDED_BY(mutex_) = 0;
  uint64_t lastHeardAt_ TARSIO_GUARDED_BY(mutex_) = 0;
  uint64_t startedAt_ TARSIO_GUARDED_BY(mutex_) = 0;
  bool started_ TARSIO_GUARDED_BY(mutex_) = false;
  uint64_t nextReportAt_ TARSIO_GUARDED_BY(mutex_) = 0;
  Statistics stats_ TARSIO_GUARDED_BY(mutex_);
};

}  // namespace tarsio
