#include "rtp/MediaExtensions.h"

#include <algorithm>
#include <utility>

#include "framework/HostLogWriter.h"
#include "platform/SrtpContext.h"

namespace tarsio {

namespace {

uint32_t ReadUint32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// The digit a host log shows for an event ('?' for the non-DTMF ones).
char DigitText(const TelephoneEventReceiver::Event& event) {
  return event.digit != '\0' ? event.digit : '?';
}

}  // namespace

MediaExtensions::MediaExtensions() = default;
MediaExtensions::~MediaExtensions() = default;

// ---- Host side ----

bool MediaExtensions::QueueDigits(std::string_view digits, uint32_t durationMs) {
  return sender_.Queue(digits, durationMs);
}

bool MediaExtensions::SetTelephoneEventPayloadType(int32_t payloadType) {
  if (payloadType < 96 || payloadType > 127) return false;
  eventPayloadType_ = static_cast<uint8_t>(payloadType);
  return true;
}

bool MediaExtensions::PopTelephoneEvent(TelephoneEventReceiver::Event* out) {
  CriticalSectionLock lock(eventMutex_);
  return receiver_.PopEvent(out);
}

void MediaExtensions::SetTelephoneEventSignal(std::shared_ptr<HostEvent> signal) {
  CriticalSectionLock lock(configMutex_);
  eventSignal_ = std::move(signal);
}

int32_t MediaExtensions::SetSrtp(std::string_view suite, std::string_view localKey,
                                 std::string_view remoteKey, std::string* error) {
  if (suite.empty()) {
    CriticalSectionLock lock(configMutex_);
    srtpActive_ = false;
    srtpOut_.reset();
    srtpIn_.reset();
    return 0;
  }
  SrtpContext::Suite parsed;
  if (!SrtpContext::ParseSuite(suite, &parsed)) {
    if (error != nullptr) *error = "unknown SRTP crypto suite";
    return -10;
  }
  std::string why;
  std::shared_ptr<SrtpContext> out =
      SrtpContext::Create(parsed, SrtpContext::Direction::kOutbound, localKey, &why);
  if (!out) {
    if (error != nullptr) *error = "our SRTP key: " + why;
    return why == "SRTP is not available in this build" ? -40 : -20;
  }
  std::shared_ptr<SrtpContext> in =
      SrtpContext::Create(parsed, SrtpContext::Direction::kInbound, remoteKey, &why);
  if (!in) {
    if (error != nullptr) *error = "the far end's SRTP key: " + why;
    return -30;
  }
  CriticalSectionLock lock(configMutex_);
  srtpOut_ = std::move(out);
  srtpIn_ = std::move(in);
  srtpActive_ = true;
  return 0;
}

bool MediaExtensions::SrtpActive() { return srtpActive_.load(); }

void MediaExtensions::EnableSymmetricRtp(bool enable) {
  if (!enable) latch_.Reset();
  symmetric_ = enable;
}

void MediaExtensions::SetRtcpSession(std::shared_ptr<RtcpSession> session,
                                     std::function<uint64_t()> ntpNow) {
  CriticalSectionLock lock(configMutex_);
  haveRtcp_ = session != nullptr && ntpNow != nullptr;
  rtcp_ = std::move(session);
  rtcpClock_ = std::move(ntpNow);
}

std::shared_ptr<SrtpContext> MediaExtensions::SrtpOutbound() {
  CriticalSectionLock lock(configMutex_);
  return srtpOut_;
}

std::shared_ptr<SrtpContext> MediaExtensions::SrtpInbound() {
  CriticalSectionLock lock(configMutex_);
  return srtpIn_;
}

std::shared_ptr<RtcpSession> MediaExtensions::GetRtcpSession() {
  CriticalSectionLock lock(configMutex_);
  return rtcp_;
}

void MediaExtensions::SetMuxedRtcpHandler(
    std::function<void(const uint8_t*, size_t, const NetworkAddress&)> handler) {
  CriticalSectionLock lock(configMutex_);
  haveMuxedRtcp_ = static_cast<bool>(handler);
  muxedRtcp_ = std::move(handler);
}

// ---- Transmit thread ----

bool MediaExtensions::TransmitTelephoneEvent(uint32_t frameTimestamp, uint32_t frameUnits,
                                             TelephoneEventSender::Packet* packet,
                                             uint8_t* payloadType) {
  if (!sender_.NextPacket(frameTimestamp, frameUnits, kClockRate, packet)) return false;
  *payloadType = eventPayloadType_.load();
  ++eventPacketsSent_;
  return true;
}

bool MediaExtensions::TransmitProtect(uint8_t* packet, size_t* length, size_t capacity) {
  if (!srtpActive_.load()) return true;
  std::shared_ptr<SrtpContext> out;
  {
    CriticalSectionLock lock(configMutex_);
    out = srtpOut_;
  }
  if (!out) return true;
  if (out->ProtectRtp(packet, length, capacity) == SrtpContext::Result::kOk) return true;
  ++srtpProtectFailures_;
  return false;
}

NetworkAddress MediaExtensions::TransmitDestination(const NetworkAddress& signalled) {
  if (!symmetric_.load()) return signalled;
  return latch_.Target(signalled);
}

void MediaExtensions::TransmitSent(uint32_t rtpTimestamp, uint32_t payloadBytes) {
  if (!haveRtcp_.load()) return;
  std::shared_ptr<RtcpSession> session;
  uint64_t now = 0;
  {
    CriticalSectionLock lock(configMutex_);
    session = rtcp_;
    if (rtcpClock_) now = rtcpClock_();
  }
  if (session) session->OnRtpSent(rtpTimestamp, payloadBytes, now);
}

// ---- Receive thread ----

int32_t MediaExtensions::OnReceived(uint8_t* data, int32_t length, const NetworkAddress& from) {
  if (data == nullptr || length < 2) return length;
  // RTCP on the RTP port (RFC 5761): packet types 192..223 sit where an RTP header has the
  // marker bit and payload type. Passed on unchanged when nobody takes it.
  const uint8_t secondByte = data[1];
  if (haveMuxedRtcp_.load() && secondByte >= 192 && secondByte <= 223) {
    std::function<void(const uint8_t*, size_t, const NetworkAddress&)> handler;
    {
      CriticalSectionLock lock(configMutex_);
      handler = muxedRtcp_;
    }
    if (handler) {
      handler(data, static_cast<size_t>(length), from);
      return -1;
    }
  }
  if (srtpActive_.load()) {
    std::shared_ptr<SrtpContext> in;
    {
      CriticalSectionLock lock(configMutex_);
      in = srtpIn_;
    }
    if (in) {
      size_t plain = static_cast<size_t>(length);
      if (in->UnprotectRtp(data, &plain) != SrtpContext::Result::kOk) {
        ++srtpRefused_;
        return -1;
      }
      length = static_cast<int32_t>(plain);
    }
  }
  // From here on the datagram is plain RTP (or garbage the audio path refuses as before).
  if (length < 12 || (data[0] >> 6) != 2) return length;
  const uint8_t payloadType = data[1] & 0x7F;
  const uint16_t sequence = static_cast<uint16_t>((data[2] << 8) | data[3]);
  const uint32_t timestamp = ReadUint32(data + 4);
  const uint32_t ssrc = ReadUint32(data + 8);
  const size_t headerLength = 12u + 4u * (data[0] & 0x0F);
  if (symmetric_.load() && from.IsValid()) latch_.OnPacket(from, ssrc, sequence);
  if (haveRtcp_.load()) {
    std::shared_ptr<RtcpSession> session;
    uint64_t now = 0;
    {
      CriticalSectionLock lock(configMutex_);
      session = rtcp_;
      if (rtcpClock_) now = rtcpClock_();
    }
    const uint32_t payloadBytes = static_cast<size_t>(length) > headerLength
                                      ? static_cast<uint32_t>(length - headerLength)
                                      : 0;
    if (session) session->OnRtpReceived(ssrc, sequence, timestamp, payloadBytes, now);
  }
  if (payloadType != eventPayloadType_.load()) return length;
  // A telephone event: reported, never played.
  ++eventPacketsReceived_;
  if (static_cast<size_t>(length) > headerLength) {
    CriticalSectionLock lock(eventMutex_);
    const size_t before = receiver_.Pending();
    const uint64_t droppedBefore = receiver_.Dropped();
    receiver_.OnPacket(timestamp, data + headerLength, static_cast<size_t>(length) - headerLength,
                       kClockRate);
    const size_t finished =
        receiver_.Pending() - before + static_cast<size_t>(receiver_.Dropped() - droppedBefore);
    DeliverEvents(finished);
  }
  return -1;
}

void MediaExtensions::ReceiveStopped() {
  CriticalSectionLock lock(eventMutex_);
  const size_t before = receiver_.Pending();
  const uint64_t droppedBefore = receiver_.Dropped();
  receiver_.Flush();
  DeliverEvents(receiver_.Pending() - before +
                static_cast<size_t>(receiver_.Dropped() - droppedBefore));
}

void MediaExtensions::DeliverEvents(size_t finished) {
  if (finished == 0) return;
  // The newest `finished` events in the queue are the ones that ended with this packet: each goes
  // to the host log (deferred: this is the receive thread); the host takes them with
  // PopTelephoneEvent and is woken through its signal.
  const size_t pending = receiver_.Pending();
  for (size_t i = pending - std::min(finished, pending); i < pending; ++i) {
    TelephoneEventReceiver::Event event;
    if (!receiver_.Peek(i, &event)) continue;
    HostLogWriter::DeferredEntry entry;
    const char digit[2] = {DigitText(event), '\0'};
    entry.Write("MediaExtensions::OnReceived: telephone event ");
    entry.Write(digit);
    entry.Write(", ms=");
    entry.WriteNumber(event.durationMs);
    entry.EndLine();
  }
  std::shared_ptr<HostEvent> signal;
  {
    CriticalSectionLock lock(configMutex_);
    signal = eventSignal_;
  }
  if (signal) signal->Set();
}

}  // namespace tarsio
