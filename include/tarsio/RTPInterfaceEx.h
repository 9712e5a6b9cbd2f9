// The terminal's extension interface: protocol features today's phones and PBXs expect, beside
// the fifteen operations of RTPInterface, which stay exactly as they are.
//
//   tarsio::RTPInterface* term = GetRTPInterface(&log);
//   tarsio::RTPInterfaceEx* ex = GetRTPInterfaceEx(term);      // same object, same lifetime
//   ex->SetDestinationEx("pbx.example.net", 40000, "::", 40000, noEvent);   // IPv6 or names
//   ex->SetSrtp("AES_CM_128_HMAC_SHA1_80", "inline:<our key>", "inline:<their key>");
//   ex->SetRtcp(tarsio::kRtcpOwnPort, "alice@example.net");
//   ex->SetSymmetricRtp(1);
//   term->StartRX(-1, 60); term->StartTX(-1);
//   ex->SendDigits("1234#", 100);
//   ...  tarsio::RtcpReport r{}; r.size = sizeof r; ex->GetRtcpReport(&r);
//
// Nothing here is on until the host asks for it: a host that never calls GetRTPInterfaceEx (or
// never calls an operation of it) sends and receives exactly what it did before, byte for byte.
// Settings made before StartTX/StartRX take effect when the direction starts; SendDigits,
// GetTelephoneEvent and GetRtcpReport work while the call runs.
//
// Results: 0 for success, negative multiples of ten naming the failed step (listed with each
// operation). The same binary rules as RTPInterface: only virtual functions, none overloaded, no
// structure passed or returned by value (reports are filled through a pointer whose first field
// is the size the host was built with), no exception crosses the interface. The destructor is
// protected: the extension is never deleted on its own, it goes with its terminal.
//
// Thread safety: as RTPInterface; every operation may be called from any host thread.
#pragma once

#include <cstdint>

#include "tarsio/RTPInterface.h"

namespace tarsio {

/// SetRtcp modes.
inline constexpr int32_t kRtcpOff = 0;
/// RTCP on its own port: the RTP port + 1, both ways (RFC 3550).
inline constexpr int32_t kRtcpOwnPort = 1;
/// RTCP multiplexed on the RTP port (RFC 5761).
inline constexpr int32_t kRtcpMultiplexed = 2;

/// What RTCP knows about the call. The host sets `size` to sizeof(RtcpReport) before the call;
/// the terminal fills what fits in that size. Times in milliseconds; -1 where not yet known.
struct RtcpReport {
  uint32_t size;
  uint32_t remoteSsrc;
  // Our stream.
  uint64_t packetsSent;
  uint64_t octetsSent;
  // The far end's stream as we receive it.
  uint64_t packetsReceived;
  uint64_t octetsReceived;
  int64_t cumulativeLost;
  double fractionLost;      // of the last report interval, 0..1
  double callFractionLost;  // since the stream began, 0..1
  double jitterMs;
  // Our stream as the far end reports it (valid when haveRemoteReport is 1).
  int32_t haveRemoteReport;
  int32_t remoteCumulativeLost;
  double remoteFractionLost;
  double remoteJitterMs;
  double roundTripMs;
  uint64_t reportsSent;
  uint64_t reportsReceived;
  uint64_t reportsMalformed;
  int32_t byeReceived;
  int32_t timedOut;      // neither RTP nor RTCP for the SetRtpTimeout time
  uint64_t srtpRefused;  // received packets dropped by SRTP (authentication or replay)
  char remoteCname[64];  // the far end's CNAME, cut to 63 bytes, zero-terminated
  uint32_t localSsrc;    // our stream's SSRC (fixed while RTCP is on)
};

class RTPInterfaceEx {
 public:
  /// RTCP: mode kRtcpOff, kRtcpOwnPort or kRtcpMultiplexed; cname our canonical name (null or
  /// empty: "tarsio@<our SSRC in decimal>"). Takes effect at the next StartTX/StartRX; a running
  /// RTCP sends BYE when both directions stop. 0, or -10 (unknown mode).
  virtual int32_t SetRtcp(int32_t mode, const char* cname) = 0;
  /// Fills *report (report->size set by the host). 0, -10 (null or too small), -20 (no RTCP).
  virtual int32_t GetRtcpReport(RtcpReport* report) = 0;
  /// Sets timeoutEvent (EventHandle as SetDestination's; none: -1 or null) once neither RTP nor
  /// RTCP has arrived for timeoutMs (0: never), and writes "RTP timeout" to the host log. 0.
  virtual int32_t SetRtpTimeout(uint32_t timeoutMs, EventHandle timeoutEvent) = 0;

  /// Payload type of telephone events both ways, 96..127 (default 101). 0 or -10.
  virtual int32_t SetTelephoneEventPayloadType(int32_t payloadType) = 0;
  /// Sends DTMF digits (0-9, * # A-D) as telephone events of durationMs each (40..8000), in place
  /// of the audio while each lasts. 0, -10 (a digit that is not DTMF, or too many waiting),
  /// -20 (not transmitting).
  virtual int32_t SendDigits(const char* digits, uint32_t durationMs) = 0;
  /// Set whenever a received telephone event ends (EventHandle; none: -1 or null). 0.
  virtual int32_t SetTelephoneEventSignal(EventHandle event) = 0;
  /// Takes the oldest received event: *digit ('0'-'9', '*', '#', 'A'-'D', '?' for others) and its
  /// duration. 1 when one was taken, 0 when none waits, -10 for a null argument.
  virtual int32_t GetTelephoneEvent(char* digit, uint32_t* durationMs) = 0;

  /// SRTP (RFC 3711) with keys in the SDES inline form (RFC 4568), one per direction; suite
  /// "AES_CM_128_HMAC_SHA1_80" or "AES_CM_128_HMAC_SHA1_32"; null or empty suite: SRTP off. Keys
  /// never appear in a log. Takes effect at once. 0, -10 (unknown suite), -20 (our key
  /// unusable), -30 (the far end's key unusable), -40 (no SRTP in this build).
  virtual int32_t SetSrtp(const char* suite, const char* localKey, const char* remoteKey) = 0;

  /// Symmetric RTP: 1 sends to where the far end's media comes from once a source has sent four
  /// consecutive in-sequence packets; 0 (default) sends to the signalled address. 0.
  virtual int32_t SetSymmetricRtp(int32_t enable) = 0;

  /// SetDestination with IPv6 and names: remoteHost an IPv4 or IPv6 literal or a host name,
  /// localAddress the address to bind ("0.0.0.0", "::" for dual-stack, a literal; null: IPv4
  /// any). 0, -10 (remote host unknown), -20 (local address not a literal), or a positive
  /// WinSock error of the socket.
  virtual int32_t SetDestinationEx(const char* remoteHost, int32_t remotePort,
                                   const char* localAddress, int32_t localPort,
                                   EventHandle bufferChangeEvent) = 0;

 protected:
  ~RTPInterfaceEx() = default;
};

}  // namespace tarsio
