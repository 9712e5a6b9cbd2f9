// The optional protocol features of one call's RTP stream, shared by its transmitter and its
// receiver: RFC 4733 telephone events both ways, SRTP (RFC 3711), symmetric RTP and the RTCP
// session's packet counts.
//
// A transmitter or receiver without a MediaExtensions object (the default) behaves exactly as
// before: same packets, same bytes. With one, each feature is still off until it is configured:
//
// - Telephone events: QueueDigits makes the transmitter send the digits as event packets (payload
//   type TelephoneEventPayloadType(), default 101) in place of the audio frames; the audio resumes
//   after the event with its timestamps run on. Received packets of that payload type are read as
//   events, never played; finished events wait for the host in a queue (PopTelephoneEvent), and
//   the optional host event is set when one arrives.
// - SRTP: SetSrtp with one key per direction (SDES inline form). Every outgoing RTP packet is
//   protected; every received datagram is unprotected first, and one that fails authentication or
//   the replay check is dropped and counted (SrtpRefused), never played.
// - Symmetric RTP: EnableSymmetricRtp makes the transmitter send to the address the far end's
//   media comes from once SymmetricRtpLatch has latched it.
// - RTCP: with a session attached (SetRtcpSession), the packets sent and received are counted into
//   it. With RTCP multiplexed on the RTP port (SetMuxedRtcpHandler), received RTCP datagrams
//   (second byte 192..223, RFC 5761) go to the handler instead of the audio path.
//
// Threading: host threads configure (QueueDigits, SetSrtp, Enable..., Set...) and read counters;
// the transmit thread calls the Transmit* members, the receive thread OnReceived. Configuration
// that the media threads read is either atomic or behind configMutex, which is held only to copy a
// shared_ptr or a function; no lock is held while calling the RTCP handler or setting the host
// event. TelephoneEventSender and SymmetricRtpLatch lock themselves; the event receiver and its
// queue of finished events are guarded by eventMutex (receive thread and host).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/CriticalSection.h"
#include "platform/HostEvent.h"
#include "platform/NetworkAddress.h"
#include "platform/ThreadAnnotations.h"
#include "rtp/RtcpSession.h"
#include "rtp/SymmetricRtpLatch.h"
#include "rtp/TelephoneEventReceiver.h"
#include "rtp/TelephoneEventSender.h"

namespace tarsio {

class SrtpContext;

class MediaExtensions {
 public:
  static constexpr uint8_t kDefaultTelephoneEventPayloadType = 101;
  static constexpr uint32_t kClockRate = 8000;

  MediaExtensions();
  ~MediaExtensions();
  MediaExtensions(const MediaExtensions&) = delete;
  MediaExtensions& operator=(const MediaExtensions&) = delete;

  // ---- Host side ----

  /// Queues DTMF digits (0-9, *, #, A-D) of durationMs each. False when a digit is not DTMF or the
  /// queue is full (nothing queued then).
  bool QueueDigits(std::string_view digits, uint32_t durationMs);
  /// The payload type of telephone events both ways (96..127). False for another value.
  bool SetTelephoneEventPayloadType(int32_t payloadType);
  uint8_t TelephoneEventPayloadType() const { return eventPayloadType_.load(); }
  /// Takes the oldest received event; false when none waits.
  bool PopTelephoneEvent(TelephoneEventReceiver::Event* out);
  /// Set (not owned) whenever a received event finishes; null for none.
  void SetTelephoneEventSignal(std::shared_ptr<HostEvent> signal);

  /// SRTP with suite (RFC 4568 name) and the two keys ("inline:..." or bare base64). An empty
  /// suite turns SRTP off. 0, or -10 (unknown suite), -20 (our key unusable), -30 (the far end's
  /// key unusable), -40 (no SRTP in this build). The error text never contains key material.
  int32_t SetSrtp(std::string_view suite, std::string_view localKey, std::string_view remoteKey,
                  std::string* error);
  bool SrtpActive();

  void EnableSymmetricRtp(bool enable);
  bool SymmetricRtpEnabled() const { return symmetric_.load(); }
  SymmetricRtpLatch& Latch() { return latch_; }

  /// The RTCP session the packets are counted into, and the clock its times are read from (the
  /// RtcpChannel's NtpNow, so that every time of the session shares one origin); null: none.
  void SetRtcpSession(std::shared_ptr<RtcpSession> session, std::function<uint64_t()> ntpNow);
  std::shared_ptr<RtcpSession> GetRtcpSession();
  /// Whether the transmitter numbers only the packets it sends (RFC 3550): while RTCP runs, whose
  /// receivers count every gap as loss, and while SRTP protects the stream, whose packet index
  /// guesses wrong after a jump of 2^15 or more (a silence of 11 minutes) and would refuse every
  /// packet after it. Otherwise the number moves with every frame, sent or not, as in the classic
  /// stream, so that a host using only other features (digits) sends the classic bytes.
  bool NumbersSentPacketsOnly() const { return haveRtcp_.load() || srtpActive_.load(); }
  /// RTCP datagrams received on the RTP socket go here (RFC 5761); null: they are passed on as
  /// before (and dropped by the receiver as unknown payload).
  void SetMuxedRtcpHandler(
      std::function<void(const uint8_t* data, size_t length, const NetworkAddress& from)> handler);

  // ---- Transmit thread ----

  /// For the frame about to go out (its timestamp and length in 8 kHz units): true when a
  /// telephone-event packet replaces it; *packet and *payloadType say what to send.
  bool TransmitTelephoneEvent(uint32_t frameTimestamp, uint32_t frameUnits,
                              TelephoneEventSender::Packet* packet, uint8_t* payloadType);
  /// Protects an RTP packet in place when SRTP is on. False: do not send it (counted).
  bool TransmitProtect(uint8_t* packet, size_t* length, size_t capacity);
  /// Where to send: the latched address when symmetric RTP is on and latched, else signalled.
  NetworkAddress TransmitDestination(const NetworkAddress& signalled);
  /// Counts a packet sent into the RTCP session.
  void TransmitSent(uint32_t rtpTimestamp, uint32_t payloadBytes);

  // ---- Receive thread ----

  /// A received datagram (length bytes in data, from `from`; from may be empty when unknown).
  /// Returns the length of the RTP packet to pass on to the audio path (SRTP removed), or -1 when
  /// the datagram was consumed here (RTCP, a telephone event) or refused (SRTP, counted).
  int32_t OnReceived(uint8_t* data, int32_t length, const NetworkAddress& from);
  /// The receive direction stopped: an event still open is reported.
  void ReceiveStopped();

  // ---- Counters (any thread) ----
  uint64_t SrtpRefused() const { return srtpRefused_.load(); }
  uint64_t SrtpProtectFailures() const { return srtpProtectFailures_.load(); }
  uint64_t TelephoneEventPacketsSent() const { return eventPacketsSent_.load(); }
  uint64_t TelephoneEventPacketsReceived() const { return eventPacketsReceived_.load(); }

  /// The SRTP contexts of the two directions (null while SRTP is off), for SRTCP.
  std::shared_ptr<SrtpContext> SrtpOutbound();
  std::shared_ptr<SrtpContext> SrtpInbound();

 private:
  /// Logs the `finished` newest events and wakes the host.
  void DeliverEvents(size_t finished) TARSIO_REQUIRES(eventMutex_);

  TelephoneEventSender sender_;
  std::atomic<uint8_t> eventPayloadType_{kDefaultTelephoneEventPayloadType};

  CriticalSection eventMutex_;
  TelephoneEventReceiver receiver_ TARSIO_GUARDED_BY(eventMutex_);

  CriticalSection configMutex_;
  std::shared_ptr<SrtpContext> srtpOut_ TARSIO_GUARDED_BY(configMutex_);
  std::shared_ptr<SrtpContext> srtpIn_ TARSIO_GUARDED_BY(configMutex_);
  std::shared_ptr<RtcpSession> rtcp_ TARSIO_GUARDED_BY(configMutex_);
  std::function<uint64_t()> rtcpClock_ TARSIO_GUARDED_BY(configMutex_);
  std::shared_ptr<HostEvent> eventSignal_ TARSIO_GUARDED_BY(configMutex_);
  std::function<void(const uint8_t*, size_t, const NetworkAddress&)> muxedRtcp_
      TARSIO_GUARDED_BY(configMutex_);
  std::atomic<bool> srtpActive_{false};
  std::atomic<bool> haveRtcp_{false};
  std::atomic<bool> haveMuxedRtcp_{false};

  std::atomic<bool> symmetric_{false};
  SymmetricRtpLatch latch_;

  std::atomic<uint64_t> srtpRefused_{0};
  std::atomic<uint64_t> srtpProtectFailures_{0};
  std::atomic<uint64_t> eventPacketsSent_{0};
  std::atomic<uint64_t> eventPacketsReceived_{0};
};

}  // namespace tarsio
