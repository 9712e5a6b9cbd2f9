#include "rtp/RTPAudioSource.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/HostLogWriter.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/WinsockErrors.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"

namespace tarsio {

namespace {

constexpr int32_t kSilenceMs = 20;
constexpr uint32_t kFillSleepMs = 50;
constexpr uint32_t kDepthHoldMs = 1000;  // depth shrinks when (now - last) / 1000 > 5
constexpr int32_t kGrowThreshold = 5;
constexpr int32_t kDiscardCredit = 2;
constexpr uint16_t kMaxDepth = RTPAudioSource::kSlotCount;

// Payload types whose datagram length tells the packet's duration.
bool IsTimedPayloadType(int payloadType) {
  return payloadType == kPayloadTypeULaw || payloadType == kPayloadTypeALaw ||
         payloadType == kPayloadTypeG729;
}

}  // namespace

RTPAudioSource::RTPAudioSource() {
  tracer.SetInstanceName("RTPAudioSource", this);
  lastCallTime = TickCount();
  lastDepthChangeTime = lastCallTime;
  // WinSock 1.1 start-up has no counterpart: Linux sockets need no library initialisation.
}

RTPAudioSource::~RTPAudioSource() {
  CloseSockets();
  // A handed-over socket lives on with the transmitter: it must not keep pointing at our event.
  if (std::shared_ptr<UdpSocket> socket = CurrentSocket()) socket->ForgetEvent(&socketEvent);
  CriticalSectionLock lock(filterMutex);
}

std::shared_ptr<UdpSocket> RTPAudioSource::CurrentSocket() {
  std::lock_guard<std::mutex> lock(socketMutex);
  return rtpSocket;
}

void RTPAudioSource::SetSocket(std::shared_ptr<UdpSocket> socket) {
  std::lock_guard<std::mutex> lock(socketMutex);
  rtpSocket = std::move(socket);
}

void RTPAudioSource::SetReceivePort(std::shared_ptr<UdpSocket> socket) {
  TRACE(tracer, trace::kEntry, "SetReceivePort\n");
  CriticalSectionLock lock(filterMutex);
  uint16_t port = 0;
  if (socket && socket->GetLocalPort(&port) != 0) {
    TRACE(tracer, trace::kError, "SetReceivePort : e-getsockname : %d\n", UdpSocket::LastError());
  }
  localPort = port;
  CloseSockets();
  rtcpSocket = UdpSocket::Create();
  std::shared_ptr<UdpSocket> previous = CurrentSocket();
  if (previous && previous != socket) previous->ForgetEvent(&socketEvent);
  SetSocket(socket);
  if (socket && socket->EventSelect(&socketEvent) != 0) {
    TRACE(tracer, trace::kError, "SetReceivePort : e-WSAEventSelect : %d\n",
          UdpSocket::LastError());
  }
  bOwnSocket = false;
  OutputDebugString("abierta segunda refencia al socket\r\n");
  boundReceivePort = localPort;
  if (BindSocketToPort(rtcpSocket.get(), static_cast<uint16_t>(localPort + 1)) != 0) {
    TRACE(tracer, trace::kError, "SetReceivePort : error binding RCTP port ! ignoring\n");
  }
}

void RTPAudioSource::ReleaseRtcpPort() {
  CriticalSectionLock lock(filterMutex);
  if (rtcpSocket) {
    rtcpSocket->Close();
    rtcpSocket.reset();
  }
}

int32_t RTPAudioSource::BindSocketToPort(UdpSocket* socket, uint16_t port) {
  if (socket == nullptr) {
    TRACE(tracer, trace::kError, "BindSocketToPort : invalid socket value %d\n", 0);
    return -10;
  }
  if (socket->Bind(NetworkAddress::IPv4(0, port)) != 0) {
    TRACE(tracer, trace::kError, "BindSocketToPort : e-bind : %d\n", UdpSocket::LastError());
    return -20;
  }
  return 0;
}

int32_t RTPAudioSource::CreateSockets() {
  CriticalSectionLock lock(filterMutex);
  const int32_t result = CloseSockets();
  if (bOwnSocket) SetSocket(UdpSocket::Create());
  std::shared_ptr<UdpSocket> socket = CurrentSocket();
  if (socket) {
    if (socket->EventSelect(&socketEvent) != 0) {
      TRACE(tracer, trace::kError, "CreateSockets : e-WSAEventSelect : %d\n",
            UdpSocket::LastError());
    }
    const int on = 1;
    socket->SetOption(UdpSocket::Option::kDontRoute, &on, sizeof(on));
  } else {
    TRACE(tracer, trace::kError, "CreateSockets : e-socket rtpSocket\n");
  }
  rtcpSocket = UdpSocket::Create();
  if (!rtcpSocket) TRACE(tracer, trace::kError, "CreateSockets : e-socket rtcpSocket\n");
  return result;
}

int32_t RTPAudioSource::CloseSockets() {
  CriticalSectionLock lock(filterMutex);
  OutputDebugString("cerrada segunda refencia al socket\r\n");
  int32_t result = 0;
  std::shared_ptr<UdpSocket> socket = CurrentSocket();
  if (socket && bOwnSocket) {
    SleepMs(50);
    if (socket->Shutdown(UdpSocket::kShutdownReceive) != 0) {
      TRACE(tracer, trace::kError, "CloseSockets : e-shutdown rtpSocket : %d\n",
            UdpSocket::LastError());
    }
    socket->EventSelect(nullptr);
    if (socket->Close() != 0) {
      TRACE(tracer, trace::kError, "CloseSockets : e-closesocket rtpSocket : %d\n",
            UdpSocket::LastError());
      result = -20;
    }
    SetSocket(nullptr);
  }
  boundReceivePort = 0;
  if (rtcpSocket) {
    if (rtcpSocket->Shutdown(UdpSocket::kShutdownReceive) != 0 || rtcpSocket->Close() != 0) {
      TRACE(tracer, trace::kError, "CloseSockets : e-closing rtcpSocket : %d\n",
            UdpSocket::LastError());
    }
    rtcpSocket.reset();
  }
  return result;
}

int32_t RTPAudioSource::PrepareSource() {
  if (!CurrentSocket()) CreateSockets();
  return 0;
}

int32_t RTPAudioSource::UnprepareSource() {
  CriticalSectionLock lock(filterMutex);
  notRunningLog.Flush();
  recvErrorLog.Flush();
  seqLostLog.Flush();
  return CloseSockets() != 0 ? -10 : 0;
}

int32_t RTPAudioSource::SourceStarted() {
  CriticalSectionLock lock(filterMutex);
  if (bRunning) return -10;
  if (PrepareSource() != 0) return -20;
  bRunning = true;
  return 0;
}

int32_t RTPAudioSource::SourceStopped() {
  CriticalSectionLock lock(filterMutex);
  if (!bRunning) return -10;
  if (UnprepareSource() != 0) return -20;
  bRunning = false;
  return 0;
}

int32_t RTPAudioSource::SourceThreadStarted(Thread* threadHandle, uint32_t /*threadID*/) {
  CriticalSectionLock lock(filterMutex);
  if (threadHandle != nullptr && !threadHandle->SetPriority(ThreadPriority::kHighest)) {
    TRACE(tracer, trace::kError, "SourceThreadStarted : e-SetThreadPriority : %d\n",
          threadHandle->LastError());
  }
  if (PrepareSource() != 0) return -10;
  bRunning = true;
  return 0;
}

int32_t RTPAudioSource::SourceThreadStopped(Thread* /*threadHandle*/, uint32_t /*threadID*/) {
  CriticalSectionLock lock(filterMutex);
  if (UnprepareSource() != 0) return -10;
  bRunning = false;
  return 0;
}

int32_t RTPAudioSource::StopSourceThread() {
  TRACE(tracer, trace::kEntry, "RTPAudioSource::StopSourceThread\n");
  if (socketEvent.Valid() && bSourceThreadRunning) {
    bStopSourceThread = true;
    for (int i = 0; i < 19; ++i) {
      socketEvent.Set();
      SleepMs(10);
      if (!bSourceThreadRunning) break;
    }
  }
  const int32_t result = AudioSource::StopSourceThread();
  // What the thread deferred (the summaries its stop flushed, among others) reaches the log
  // before the stop returns.
  HostLogWriter::WritePending(kStopLogWaitMs);
  return result;
}

int32_t RTPAudioSource::ReceiveUDPPacket(int slotIndex) {
  ReceiveSlot& slot = slots[slotIndex];
  std::shared_ptr<UdpSocket> socket = CurrentSocket();
  if (!bRunning || (!socket && !datagramReader)) {
    notRunningLog.Log([] {
      HostLogWriter::DeferPlain("RTPAudioSource::ReceiveUDPPacket: !bRunning || !rtpSocket");
    });
    return kNoData;
  }
  int32_t n = 0;
  int error = 0;
  std::shared_ptr<MediaExtensions> ext;
  {
    std::lock_guard<std::mutex> lock(extensionsMutex);
    ext = extensions;
  }
  NetworkAddress from;
  if (datagramReader) {
    n = datagramReader(slot.data, kSlotSize);
    if (n == kNoData) return kNoData;
    if (n < 0) {
      error = -n;
      n = UdpSocket::kSocketError;
    } else if (n > kSlotSize) {
      error = wsa::kMsgSize;
      n = UdpSocket::kSocketError;
    }
  } else {
    if (socketEvent.Wait(kReceiveWaitMs) != WaitResult::kSignaled) return kNoData;
    n = ext ? socket->RecvFrom(slot.data, kSlotSize, &from)
            : socket->RecvFrom(slot.data, kSlotSize);
    if (n == UdpSocket::kSocketError) error = UdpSocket::LastError();
  }
  if (n == UdpSocket::kSocketError) {
    if (!bStopSourceThread && error == wsa::kWouldBlock) return kNoData;
    TRACE(tracer, trace::kError, "ReceiveUDPPacket : e-recvfrom : %d (errno %d)\n", error,
          UdpSocket::LastErrno());
    recvErrorLog.Log(
        [error] {
          HostLogWriter::DeferWithNumber(
              "RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), WSAGetLastError==", error);
        },
        error);
    return -1;
  }
  if (ext) {
    // SRTP removed, RTCP and telephone events taken out: what is left goes to the audio path.
    n = ext->OnReceived(slot.data, n, from);
    if (n < 0) return kNoData;
  }
  slot.length = n;
  return n;
}

void RTPAudioSource::StoreSlot(int index, int32_t n) {
  ReceiveSlot& slot = slots[index];
  // Bytes 2-3; a datagram too short to hold them contributes only the bytes it has.
  const uint8_t high = n > 2 ? slot.data[2] : 0;
  const uint8_t low = n > 3 ? slot.data[3] : 0;
  slot.sequenceNumber = static_cast<uint16_t>((high << 8) | low);
  slot.length = n;
  slot.used = true;
}

void RTPAudioSource::MeasureDepths(const ReceiveSlot& slot) {
  const int32_t n = slot.length;
  const int payloadType = n > 1 ? (slot.data[1] & 0x7F) : -1;
  double duration = 40.0;
  if (payloadType == kPayloadTypeULaw || payloadType == kPayloadTypeALaw) {
    duration = n * static_cast<double>(0.125f) - static_cast<double>(1.5f);
  } else if (payloadType == kPayloadTypeG729) {
    duration = n - 12;
  }
  if (IsTimedPayloadType(payloadType)) duration = std::fmin(std::fmax(duration, 10.0), 80.0);
  // Single-precision constants, so whole multiples of 5 ms truncate to exact integers.
  minDepth = static_cast<uint16_t>(19 - static_cast<int>(duration * static_cast<double>(0.2f)));
  depth = static_cast<uint16_t>(25 - static_cast<int>(duration * static_cast<double>(0.25f)));
  HostLogWriter::DeferWithNumber("RTPAudioSource::GenerateData: buffer recepcion minimo=",
                                 minDepth);
  HostLogWriter::DeferWithNumber("RTPAudioSource::GenerateData: buffer recepcion inicial=", depth);
}

RTPPacket* RTPAudioSource::TakeSlot(int index) {
  ReceiveSlot& slot = slots[index];
  const bool parsed = RTPPacket::Parse(slot.data, slot.length, &tracer, &parsedPacket);
  slot.used = false;
  lastSlot = index;
  return parsed ? &parsedPacket : nullptr;
}

RTPPacket* RTPAudioSource::FillAndChoose() {
  int count = 0;
  int i = 0;
  for (; i < depth; ++i) {
    if (slots[i].used || i == lastSlot) continue;
    const uint32_t t0 = TickCount();
    int32_t n = 0;
    for (;;) {
      SleepMs(kFillSleepMs);
      const uint32_t t = TickCount();
      n = ReceiveUDPPacket(i);
      // A stopping thread gives up at once instead of waiting out firstWait.
      if (n > 0 || t - t0 >= firstWait || StopRequested()) break;
    }
    firstWait = kLaterWaitMs;
    if (n <= 0) {
      if (i == 0) {
        int used = -1;
        for (int j = 0; j < depth; ++j) {
          if (slots[j].used && j != lastSlot) {
            used = j;
            break;
          }
        }
        if (used < 0) return nullptr;
        i = used;
      }
      break;
    }
    StoreSlot(i, n);
    if (minDepth == 0) MeasureDepths(slots[i]);
    ++count;
    if ((i > count && count == 2) || count >= (2 * depth) / 3) break;
  }
  bPrimed = (i == depth);

  // Rank every buffered packet by how many others lie within depth ahead of it, and start from
  // the lowest sequence number of the best-populated run.
  const uint16_t d = depth;
  int rank[kSlotCount] = {};
  for (int a = 0; a < d; ++a) {
    if (!slots[a].used) continue;
    for (int b = 0; b < d; ++b) {
      if (slots[b].used &&
          static_cast<uint16_t>(slots[b].sequenceNumber - slots[a].sequenceNumber) < d) {
        ++rank[a];
      }
    }
  }
  int best = -1;
  for (int a = 0; a < d; ++a) {
    if (!slots[a].used) continue;
    if (best < 0 ||
        (rank[a] > rank[best] && slots[a].sequenceNumber < slots[best].sequenceNumber)) {
      best = a;
    }
  }
  if (best < 0) {
    seqLostLog.Log([] { HostLogWriter::DeferPlain("RTP Seq lost: error 1"); });
    return nullptr;
  }
  lastSequenceNumber = slots[best].sequenceNumber;
  return TakeSlot(best);
}

void RTPAudioSource::SetDepthChangeEvent(std::shared_ptr<HostEvent> event) {
  std::shared_ptr<HostEvent> previous;
  {
    std::lock_guard<std::mutex> lock(depthChangeEventMutex);
    previous = std::exchange(depthChangeEvent, std::move(event));
  }
  // previous goes here, or with the source thread's copy if it is signalling it right now.
}

void RTPAudioSource::SignalDepthChange() {
  std::shared_ptr<HostEvent> event;
  {
    std::lock_guard<std::mutex> lock(depthChangeEventMutex);
    event = depthChangeEvent;
  }
  if (event) event->Set();
}

void RTPAudioSource::GrowIfCredited() {
  if (growCredit > kGrowThreshold && depth < kMaxDepth) {
    depth = static_cast<uint16_t>(depth + 1);
    growCredit = 0;
    SignalDepthChange();
  }
}

void RTPAudioSource::Discard(int index) {
  slots[index].used = false;
  ++discardCount;
  growCredit += kDiscardCredit;
  GrowIfCredited();
}

RTPPacket* RTPAudioSource::TakeInOrder() {
  int taken = -1;
  int candidate = -1;
  uint32_t candidateDistance = 0;
  for (int s = 0; s < depth; ++s) {
    if (!slots[s].used) continue;
    const uint32_t distance = static_cast<uint16_t>(slots[s].sequenceNumber - lastSequenceNumber);
    if (distance == 1) {
      taken = s;
      break;
    }
    if (distance > 1 && distance < 5u * depth) {
      if (candidate < 0 || distance <= candidateDistance) {
        candidate = s;
        candidateDistance = distance;
      }
    } else {
      Discard(s);
    }
  }
  int buffered = 0;
  for (int s = 0; s < depth && buffered < 5; ++s) {
    if (slots[s].used) ++buffered;
  }
  if (buffered < 3) bPrimed = false;
  if (taken < 0) {
    if (candidate < 0) {
      if (discardCount > 2 * depth) {
        discardCount = 0;
        growCredit += kDiscardCredit;
        GrowIfCredited();
        bPrimed = false;
      }
      return nullptr;
    }
    taken = candidate;
  }
  return TakeSlot(taken);
}

RTPPacket* RTPAudioSource::ReadNext() {
  // Two slots alternate: the one delivered last still backs the RTPPacket handed on.
  const int slot = lastSlot == 0 ? 1 : 0;
  const int32_t n = ReceiveUDPPacket(slot);
  if (n <= 0) return nullptr;
  StoreSlot(slot, n);
  return TakeSlot(slot);
}

void RTPAudioSource::FillSample(AudioSample* sample, RTPPacket* packet) {
  discardCount = 0;
  lastSequenceNumber = packet->sequenceNumber;

  const uint32_t now = TickCount();
  if (bLowLatency.load()) {
    // The ring's depth plays no part in this mode.
  } else if (growCredit > 0) {
    --growCredit;
    if (growCredit == 0 && depth > minDepth) lastDepthChangeTime = now;
  } else if (depth > minDepth && !slots[depth - 1].used &&
             (now - lastDepthChangeTime) / kDepthHoldMs > 5) {
    depth = static_cast<uint16_t>(depth - 1);
    lastDepthChangeTime = now;
    SignalDepthChange();
  }

  const int32_t payloadLength = packet->payloadLength;
  if (payloadLength > 0) std::memcpy(sample->GetData(), packet->payload, payloadLength);
  sample->SetDataSize(payloadLength);
  sample->SetSilenceDuration(0);
  sample->SetRTPHeader(*packet);

  const int codec = CodecIndexForPayloadType(packet->payloadType, payloadLength);
  sample->SetFormat(MakeAudioFormat(codec < 0 ? kCodecPCM : codec));
  if (codec == kCodecPCM) {
    sample->SetDataSize(0);
    sample->SetSilenceDuration(kSilenceMs);
  }
}

void RTPAudioSource::ReadAhead() {
  const uint32_t now = TickCount();
  const uint32_t elapsed = now - lastCallTime;
  lastCallTime = now;
  int burst = 0;
  if (elapsed >= 60) return;
  if (elapsed >= 20) {
    burst = 1;
  } else if (elapsed >= 10) {
    SleepMs(0);
    burst = 2;
  } else {
    SleepMs(5);
    burst = 3;
  }
  for (int j = 0; j < depth; ++j) {
    if (slots[j].used || j == lastSlot) continue;
    int32_t n = ReceiveUDPPacket(j);
    if (n <= 0) {
      if (burst < 2 || StopRequested()) return;
      SleepMs(5);
      n = ReceiveUDPPacket(j);
      if (n <= 0) return;
    }
    StoreSlot(j, n);
    if (--burst == 0) return;
  }
}

int32_t RTPAudioSource::GenerateData(AudioSample** out) {
  AudioSample* sample = nullptr;
  try {
    *out = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&sample, this);
    sample->SetFormat(PcmFormat());
    sample->SetSilenceDuration(kSilenceMs);
    sample->SetDataSize(0);

    const bool lowLatency = bLowLatency.load();
    RTPPacket* packet = lowLatency ? ReadNext() : bPrimed ? TakeInOrder() : FillAndChoose();
    if (packet == nullptr) {
      sample->Release(this);
      return 0;
    }
    FillSample(sample, packet);
    *out = sample;
    sample = nullptr;
    if (!lowLatency) ReadAhead();
    return 0;
  } catch (...) {
    HostLogWriter::DeferPlain("RTPAudioSource::GenerateData: exception 1");
    if (sample != nullptr) sample->Release(this);
    if (out != nullptr && *out != nullptr) {
      (*out)->Release(this);
      *out = nullptr;
    }
    return -1;
  }
}

int32_t RTPAudioSource::UsedSlotsForTest() const {
  int32_t used = 0;
  for (const ReceiveSlot& slot : slots) used += slot.used ? 1 : 0;
  return used;
}

uint16_t RTPAudioSource::BoundReceivePortForTest() {
  CriticalSectionLock lock(filterMutex);
  return boundReceivePort;
}

uint16_t RTPAudioSource::RtcpPortForTest() {
  CriticalSectionLock lock(filterMutex);
  uint16_t port = 0;
  if (rtcpSocket) rtcpSocket->GetLocalPort(&port);
  return port;
}

}  // namespace tarsio
