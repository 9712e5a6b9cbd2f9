#include "rtp/RTPAudioSink.h"

#include <cstring>
#include <new>
#include <utility>

#include "framework/AudioSample.h"
#include "framework/HostLogWriter.h"
#include "framework/Registry.h"
#include "framework/TrafficTotals.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/SrtpContext.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"
#include "rtp/RTPRandom.h"

namespace tarsio {

namespace {
constexpr const char* kSettingsKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
}  // namespace

std::atomic<bool> RTPAudioSink::sendFailureReported{false};

RTPAudioSink::RTPAudioSink() {
  tracer.SetInstanceName("RTPAudioSink", this);
  RTPAudioSink::ReadTraceLevel();
  destination = NetworkAddress::FromIPv4Text(destinationAddress.c_str(), 0);
  // WinSock 1.1 start-up has no counterpart: Linux sockets need no library initialisation.
}

RTPAudioSink::~RTPAudioSink() {
  CriticalSectionLock lock(filterMutex);
  CloseSocket();
}

int32_t RTPAudioSink::ReadTraceLevel() { return ReadTraceLevelFor("RTPAudioSink"); }

int32_t RTPAudioSink::SetDestination(const char* address, uint16_t port) {
  TRACE(tracer, trace::kEntry, "SetDestination\n");
  CriticalSectionLock lock(filterMutex);
  destinationAddress = address != nullptr ? address : "";
  destinationPort = port;
  if (!rtpSocket) CreateSocket();
  destination = NetworkAddress::FromIPv4Text(destinationAddress.c_str(), destinationPort);
  TRACE(tracer, trace::kEntry, "~SetDestination : returning 0\n");
  return 0;
}

int32_t RTPAudioSink::SetLocalPort(uint16_t port) {
  TRACE(tracer, trace::kEntry, "SetLocalPort\n");
  CriticalSectionLock lock(filterMutex);
  if (port == localPort) return 0;
  localPort = port;
  if (!rtpSocket) return 0;
  int32_t result = CloseSocket();
  if (result == 0) result = CreateSocket();
  if (result == 0) result = SetDestination(destinationAddress.c_str(), destinationPort);
  TRACE(tracer, trace::kEntry, "~SetLocalPort : returning %d\n", result);
  return result;
}

int32_t RTPAudioSink::SetEndpoint(const NetworkAddress& local, const NetworkAddress& remote) {
  CriticalSectionLock lock(filterMutex);
  localBind = local;
  localPort = local.Port();
  const int32_t created = CreateSocket();
  if (!rtpSocket) return UdpSocket::LastError();
  if (lastBindError != 0) return lastBindError;
  // An IPv4 peer of a dual-stack socket is sent to as such; the socket maps it.
  destination = remote;
  destinationAddress = remote.AddressText();
  destinationPort = remote.Port();
  return created;
}

int32_t RTPAudioSink::SetTOS(uint8_t newTos) {
  CriticalSectionLock lock(filterMutex);
  tos = newTos;
  if (!rtpSocket) return 0;
  const int value = newTos;
  if (rtpSocket->SetOption(UdpSocket::Option::kTypeOfService, &value, sizeof(value)) != 0) {
    const int error = UdpSocket::LastError();
    TRACE(tracer, trace::kError, "SetTOS : e-setsockopt : %d (errno %d)\n", error,
          UdpSocket::LastErrno());
    HostLogWriter::WithNumber("RTPAudioSink::SetTOS: GetLastError=", error);
    return error;
  }
  return 0;
}

std::shared_ptr<UdpSocket> RTPAudioSink::GetRtpSocket() {
  CriticalSectionLock lock(filterMutex);
  return rtpSocket;
}

NetworkAddress RTPAudioSink::CurrentDestination() {
  CriticalSectionLock lock(filterMutex);
  return extensions ? extensions->TransmitDestination(destination) : destination;
}

void RTPAudioSink::SetExtensions(std::shared_ptr<MediaExtensions> ext) {
  CriticalSectionLock lock(filterMutex);
  hasExtensions.store(ext != nullptr, std::memory_order_release);
  extensions = std::move(ext);
}

int32_t RTPAudioSink::CreateSocket() {
  CriticalSectionLock lock(filterMutex);
  CloseSocket();
  rtpSocket = localBind.GetFamily() == NetworkAddress::Family::kIPv6
                  ? UdpSocket::Create(NetworkAddress::Family::kIPv6)
                  : UdpSocket::Create();
  if (!rtpSocket) {
    // Without a socket nothing can be sent; say so once here rather than silently dropping.
    const int error = UdpSocket::LastError();
    TRACE(tracer, trace::kError, "CreateSocket : e-socket : %d\n", error);
    HostLogWriter::WithNumber("RTPAudioSink::CreateSocket: !socket, WSAGetLastError=", error);
    return 0;
  }
  OutputDebugString("abierta primera refencia al socket\r\n");
  NetworkAddress bindTo = NetworkAddress::IPv4(0, localPort);
  if (localBind.IsValid()) {
    bindTo = localBind;
    bindTo.SetPort(localPort);
  }
  lastBindError = 0;
  if (rtpSocket->Bind(bindTo) != 0) {
    lastBindError = UdpSocket::LastError();
    TRACE(tracer, trace::kError, "CreateSocket : e-bind port %u : %d\n", localPort,
          UdpSocket::LastError());
  } else {
    uint16_t bound = 0;
    if (rtpSocket->GetLocalPort(&bound) == 0) {
      RegSetDWORD(RegistryRoot::kCurrentUser, kSettingsKey, "TransmitPort", bound);
    }
  }
  const uint8_t tosByte = tos;
  if (rtpSocket->SetOption(UdpSocket::Option::kTypeOfService, &tosByte, 1) != 0) {
    const int error = UdpSocket::LastError();
    TRACE(tracer, trace::kError, "CreateSocket : e-setsockopt IP_TOS : %d\n", error);
    return error;
  }
  return 0;
}

int32_t RTPAudioSink::CloseSocket() {
  CriticalSectionLock lock(filterMutex);
  if (rtpSocket) {
    if (rtpSocket->Close() != 0) {
      TRACE(tracer, trace::kError, "CloseSocket : e-closesocket : %d\n", UdpSocket::LastError());
    }
    rtpSocket.reset();
  }
  OutputDebugString("cerrada primera refencia al socket\r\n");
  return 0;
}

int32_t RTPAudioSink::PrepareSink() {
  RTPRandom random(TickCount());
  ssrc = random.Next();
  if (const uint32_t fixed = fixedSsrc.load(); fixed != 0) ssrc = fixed;
  timestamp = random.Next();
  sequenceNumber = static_cast<uint16_t>(random.Next() % 65536);
  pendingMarker = true;
  RegSetString(RegistryRoot::kCurrentUser, kSettingsKey, "DestinationAddress",
               destinationAddress.c_str());
  RegSetDWORD(RegistryRoot::kCurrentUser, kSettingsKey, "DestinationPort", destinationPort);
  return 0;
}

int32_t RTPAudioSink::UnprepareSink() {
  RegSetString(RegistryRoot::kCurrentUser, kSettingsKey, "DestinationAddress", "");
  RegSetDWORD(RegistryRoot::kCurrentUser, kSettingsKey, "DestinationPort", 0);
  CloseSocket();
  return 0;
}

int32_t RTPAudioSink::SinkStarted() {
  CriticalSectionLock lock(filterMutex);
  if (bRunning) return -10;
  if (PrepareSink() != 0) return -20;
  bRunning = true;
  return 0;
}

int32_t RTPAudioSink::SinkStopped() {
  int32_t result = 0;
  {
    CriticalSectionLock lock(filterMutex);
    if (!bRunning) {
      result = -10;
    } else if (UnprepareSink() != 0) {
      result = -20;
    } else {
      bRunning = false;
    }
  }
  RegSetString(RegistryRoot::kCurrentUser, kSettingsKey, "RTPTransmitCodec", "");
  lastFormatTag = -1;
  return result;
}

int32_t RTPAudioSink::SinkThreadStarted(Thread* threadHandle, uint32_t /*threadID*/) {
  CriticalSectionLock lock(filterMutex);
  if (threadHandle != nullptr && !threadHandle->SetPriority(ThreadPriority::kTimeCritical)) {
    TRACE(tracer, trace::kError, "SinkThreadStarted : e-SetThreadPriority : %d\n",
          threadHandle->LastError());
  }
  if (PrepareSink() != 0) return -10;
  bRunning = true;
  return 0;
}

int32_t RTPAudioSink::SinkThreadStopped(Thread* /*threadHandle*/, uint32_t /*threadID*/) {
  CriticalSectionLock lock(filterMutex);
  if (!bRunning) return -10;
  if (UnprepareSink() != 0) return -20;
  bRunning = false;
  return 0;
}

bool RTPAudioSink::EnsureSendBuffer(uint32_t size) {
  if (sendBuffer && sendBufferSize >= size) return true;
  // Room for SRTP's tag too, so that protecting never grows the buffer after it was filled; what
  // the buffer holds is kept (a packet being protected).
  const uint32_t capacity = size + static_cast<uint32_t>(SrtpContext::kMaxOverhead);
  std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
  if (!grown) return false;
  if (sendBuffer) std::memcpy(grown.get(), sendBuffer.get(), sendBufferSize);
  sendBuffer = std::move(grown);
  sendBufferSize = capacity;
  return true;
}

int32_t RTPAudioSink::RenderAudioSamples(AudioSampleList& audioSamples) {
  AudioSample* sample = audioSamples.empty() ? nullptr : audioSamples.front().first;
  if (sample == nullptr) {
    TRACE(tracer, trace::kError, "~RenderAudioSample : asked to transmit NULL sample\n");
    HostLogWriter::DeferPlain("RTPAudioSink::RenderAudioSamples: !sample");
    return 0;
  }

  int32_t duration = sample->GetDuration();
  if (duration <= 0) duration = sample->GetSilenceDuration();
  TRACE(tracer, trace::kState, "RenderAudioSamples : durationMillisec = %d\n", duration);

  // The classic stream (no extensions, the common case) pays neither the lock nor the reference
  // count for them on every frame.
  std::shared_ptr<MediaExtensions> ext;
  if (hasExtensions.load(std::memory_order_acquire)) {
    CriticalSectionLock lock(filterMutex);
    ext = extensions;
  }
  // The stream clock moves for every sample, whether a packet follows or not. The classic stream
  // moves the sequence number with it; with RTCP or SRTP (MediaExtensions::NumbersSentPacketsOnly)
  // the number moves only for a packet sent, as RFC 3550 has it.
  timestamp += 8u * static_cast<uint32_t>(duration);
  const bool numberPackets = ext && ext->NumbersSentPacketsOnly();
  if (!numberPackets) sequenceNumber = static_cast<uint16_t>(sequenceNumber + 1);
  if (ext) {
    // A telephone event in progress replaces the frame (audio, comfort noise or silence) and takes
    // its sequence number; the event's own timestamp is that of its first frame.
    TelephoneEventSender::Packet event;
    uint8_t eventType = 0;
    if (ext->TransmitTelephoneEvent(timestamp, 8u * static_cast<uint32_t>(duration), &event,
                                    &eventType)) {
      const uint32_t size = RTPPacket::kFixedHeaderLength + sizeof(event.payload);
      if (!EnsureSendBuffer(size)) {
        HostLogWriter::DeferPlain("RTPAudioSink::RenderAudioSamples: !sendBuffer");
        return 0;
      }
      std::memcpy(sendBuffer.get() + RTPPacket::kFixedHeaderLength, event.payload,
                  sizeof(event.payload));
      if (numberPackets) sequenceNumber = static_cast<uint16_t>(sequenceNumber + 1);
      WriteRTPHeader(sendBuffer.get(), eventType, event.marker, sequenceNumber, event.timestamp,
                     ssrc);
      pendingMarker = true;  // the audio after the event starts a talk spurt
      SendPacket(size, ext.get(), event.timestamp);
      return 0;
    }
  }

  const int32_t dataSize = sample->GetDataSize();
  uint32_t packetSize = 0;
  uint8_t payloadType = 0;
  bool marker = false;
  if (dataSize > 0) {
    marker = pendingMarker;
    pendingMarker = false;
    packetSize = static_cast<uint32_t>(dataSize) + RTPPacket::kFixedHeaderLength;
    if (!EnsureSendBuffer(packetSize)) {
      HostLogWriter::DeferPlain("RTPAudioSink::RenderAudioSamples: !sendBuffer");
      return 0;
    }
    std::memcpy(sendBuffer.get() + RTPPacket::kFixedHeaderLength, sample->GetData(),
                static_cast<size_t>(dataSize));
    const uint16_t tag = sample->Format().wFormatTag;
    const RTPCodecEntry* entry = CodecEntryForFormatTag(tag);
    payloadType = entry != nullptr && entry->payloadType != kNoPayloadType
                      ? static_cast<uint8_t>(entry->payloadType)
                      : kUnknownPayloadType;
    if (static_cast<int32_t>(tag) != lastFormatTag) {
      lastFormatTag = tag;
      RegSetString(RegistryRoot::kCurrentUser, kSettingsKey, "RTPTransmitCodec",
                   TransmitCodecName(tag).c_str());
    }
  } else {
    if (pendingMarker) {
      // Either this silence already had its comfort-noise packet or nothing was sent yet.
      HostLogWriter::DeferPlain("RTPAudioSink::RenderAudioSamples: !transmitPacket");
      TRACE(tracer, trace::kState, "~RenderAudioSamples : seqno = %d, timeStamp = %d\n",
            sequenceNumber, static_cast<int>(timestamp));
      return 0;
    }
    pendingMarker = true;
    payloadType = kPayloadTypeComfortNoise;
    packetSize = RTPPacket::kFixedHeaderLength + sizeof(kComfortNoisePayload);
    if (!EnsureSendBuffer(packetSize)) {
      HostLogWriter::DeferPlain("RTPAudioSink::RenderAudioSamples: !sendBuffer");
      return 0;
    }
    std::memcpy(sendBuffer.get() + RTPPacket::kFixedHeaderLength, kComfortNoisePayload,
                sizeof(kComfortNoisePayload));
  }

  if (numberPackets) sequenceNumber = static_cast<uint16_t>(sequenceNumber + 1);
  WriteRTPHeader(sendBuffer.get(), payloadType, marker, sequenceNumber, timestamp, ssrc);
  TRACE(tracer, trace::kState, "RenderAudioSamples : sending %d bytes\n",
        static_cast<int>(packetSize));
  SendPacket(packetSize, ext.get(), timestamp);
  TRACE(tracer, trace::kState, "~RenderAudioSamples : seqno = %d, timeStamp = %d\n", sequenceNumber,
        static_cast<int>(timestamp));
  return 0;
}

void RTPAudioSink::SendPacket(uint32_t packetSize, MediaExtensions* ext, uint32_t rtpTimestamp) {
  if (ext != nullptr) {
    // SRTP grows the packet by its tag; the RTCP session counts the payload sent.
    ext->TransmitSent(rtpTimestamp, packetSize - RTPPacket::kFixedHeaderLength);
    if (ext->SrtpActive()) {
      if (!EnsureSendBuffer(packetSize + SrtpContext::kMaxOverhead)) return;
      size_t protectedSize = packetSize;
      if (!ext->TransmitProtect(sendBuffer.get(), &protectedSize, sendBufferSize)) return;
      packetSize = static_cast<uint32_t>(protectedSize);
    }
  }
  CriticalSectionLock lock(filterMutex);
  if (!rtpSocket) return;
  const NetworkAddress& target =
      ext != nullptr ? ext->TransmitDestination(destination) : destination;
  const int sent = rtpSocket->SendTo(sendBuffer.get(), static_cast<int>(packetSize), target);
  if (sent == UdpSocket::kSocketError) {
    const int error = UdpSocket::LastError();
    TRACE(tracer, trace::kError, "RenderAudioSamples : e-sendto : %d (errno %d)\n", error,
          UdpSocket::LastErrno());
    if (!sendFailureReported.exchange(true)) {
      const std::string ip = destination.AddressText();
      HostLogWriter::DeferredEntry entry;
      entry.Write("RTPAudioSink::RenderAudioSamples: !sendto");
      entry.MarkEntry();
      entry.EndLine();
      entry.Write("\tWSAGetLastError =");
      entry.WriteNumber(error);
      entry.EndLine();
      entry.Write("\tip =");
      entry.Write(ip.c_str());
      entry.EndLine();
      entry.Write("\tport =");
      entry.WriteNumber(destination.Port());
      entry.EndLine();
    }
    return;
  }
  sendFailureReported = false;
  if (static_cast<uint32_t>(sent) < packetSize) {
    HostLogWriter::DeferPlain(
        "RTPAudioSink::RenderAudioSamples: no se transmitio el paquete completo");
  }
  TrafficTotals::Add(TrafficTotals::sentBytes, sent);
}

}  // namespace tarsio
