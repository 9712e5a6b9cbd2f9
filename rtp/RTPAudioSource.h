// The RTP receiver: the start of the receive chain.
//
// Its thread reads RTP datagrams from a UDP socket (normally the transmitter's own socket, handed
// over with SetReceivePort, so both directions share one local port) into a ring of up to 30
// slots, puts them back into sequence-number order, adapts the ring's depth to the loss and
// reordering it sees, and hands one packet per GenerateData call to the chain as a sample with the
// payload and the parsed RTPPacket. The next port up is bound and held for RTCP (never read).
//
// The ring: while not primed, a fill reads datagrams into free slots (50 ms apart, giving up after
// firstWait: 3000 ms on the very first fill, 500 ms later) and delivers the lowest sequence number
// of the best-ranked run; once primed, each call delivers the packet following the last one
// delivered, or the nearest one ahead, discarding duplicates, late packets and packets 5 x depth
// or more ahead. Three discards grow depth by one (up to 30); depth shrinks by one at most every
// 6 s, never below minDepth. Both depths are measured from the first datagram's duration. Each
// change of depth signals depthChangeEvent. After a delivery, up to three datagrams are read ahead
// when calls come faster than every 60 ms. The slot delivered last is never read into, because
// the delivered RTPPacket points into it.
//
// Low-latency mode (SetLowLatency, chosen by the media terminal before the thread starts): no
// ring, no priming sleeps and no read-ahead. Each GenerateData waits for the next datagram (the
// same 500 ms wait) and delivers it at once, so nothing is held back waiting for a later one; the
// jitter buffer behind puts packets in order. The depths are neither measured nor changed.
//
// Host log: every entry of the source thread is deferred (HostLogWriter::DeferredEntry), so the
// thread never calls into the host; StopSourceThread writes what is still queued before it returns.
// No allocation per datagram: the ring is fixed, a datagram is parsed into a member record and
// copied into its sample.
//
// Hardening: datagrams shorter than a field are never read beyond their length (a missing byte
// counts as 0); repeated identical host-log entries (failing reads, a stopped socket, a lost
// sequence) are throttled to three per second; the first entry of every second is the entry
// itself (a failing read with its error code), followed by a count of the entries held back
// before it (for failing reads, one count per error code, naming the code).
//
// Threading:
// - The source thread (AudioSource's, at the highest priority): GenerateData, ReceiveUDPPacket
//   and every ring member. Tests and the fuzz target may call GenerateData from their own thread
//   instead, never from two threads at once.
// - Host threads: SetReceivePort, the start/stop hooks, StopSourceThread, SetDepthChangeEvent,
//   depth and minDepth (read; atomics).
// filterMutex serialises the hooks, SetReceivePort and the socket closing. socketMutex guards
// only the rtpSocket pointer, which the thread copies afresh for each read, so after a change its
// reads go to the new socket and reads on a socket closed meanwhile fail and count as no data.
// socketEvent is the thread's only wake-up: a datagram on the socket or StopSourceThread's Set.
// Lock order: filterMutex before socketMutex; no lock is held while the thread waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "framework/AudioSource.h"
#include "platform/CriticalSection.h"
#include "platform/HostEvent.h"
#include "platform/SocketEvent.h"
#include "platform/UdpSocket.h"
#include "rtp/HostLogThrottle.h"
#include "rtp/MediaExtensions.h"
#include "rtp/RTPPacket.h"

namespace tarsio {

class RTPAudioSource : public AudioSource {
 public:
  static constexpr int kSlotCount = 30;
  static constexpr int kSlotSize = 1024;
  static constexpr uint32_t kReceiveWaitMs = 500;
  static constexpr uint32_t kFirstWaitMs = 3000;
  static constexpr uint32_t kLaterWaitMs = 500;
  /// ReceiveUDPPacket's result when nothing arrived.
  static constexpr int32_t kNoData = -10;
  /// How long StopSourceThread waits for the host-log entry the deferred-entry writer may be
  /// writing (a host that holds its log lock while it stops costs at most this).
  static constexpr uint32_t kStopLogWaitMs = 1000;

  /// The seam that replaces the socket wait and read (tests, fuzzing): fills buffer (capacity
  /// bytes) and returns the datagram length, kNoData when nothing arrived, or minus a WinSock
  /// error number for a failed read.
  using DatagramReader = std::function<int32_t(uint8_t* buffer, int32_t capacity)>;

  RTPAudioSource();
  ~RTPAudioSource() override;

  /// Reads the transmitter's socket from now on and holds the next port for RTCP.
  void SetReceivePort(std::shared_ptr<UdpSocket> socket);
  /// Closes the sockets under filterMutex (the media terminal calls it when the receive chain
  /// stops). 0, or -10 when closing failed.
  int32_t UnprepareSource();

  int32_t StopSourceThread() override;
  int32_t SourceThreadStarted(Thread* threadHandle, uint32_t threadID) override;
  int32_t SourceThreadStopped(Thread* threadHandle, uint32_t threadID) override;
  int32_t SourceStarted() override;
  int32_t SourceStopped() override;
  int32_t GenerateData(AudioSample** out) override;

  /// Chooses the low-latency mode for the next start (true) or the ring (false, the default).
  void SetLowLatency(bool on) { bLowLatency.store(on); }
  bool IsLowLatency() const { return bLowLatency.load(); }

  /// The event signalled whenever depth changes (null: none). The source shares its ownership,
  /// so a host that replaces it while the thread signals it never frees it under the thread.
  void SetDepthChangeEvent(std::shared_ptr<HostEvent> event);
  /// Receive slots in use (1 at construction, at most 30) and the shrinking bound (0: not yet
  /// measured). Written by the source thread, read by the media terminal.
  std::atomic<uint16_t> depth{1};
  std::atomic<uint16_t> minDepth{0};

  void SetDatagramReaderForTest(DatagramReader reader) { datagramReader = std::move(reader); }
  /// Closes the socket held on the next port up, so that an RTCP channel can bind it. The next
  /// SetReceivePort holds it again.
  void ReleaseRtcpPort();
  /// The call's optional protocol features (SRTP, telephone events, symmetric RTP, RTCP counts);
  /// null (the default) reads exactly the classic stream. Any thread; the next datagram uses it.
  void SetExtensions(std::shared_ptr<MediaExtensions> ext) {
    std::lock_guard<std::mutex> lock(extensionsMutex);
    extensions = std::move(ext);
  }
  bool IsPrimedForTest() const { return bPrimed; }
  uint16_t LastSequenceNumberForTest() const { return lastSequenceNumber; }
  int32_t UsedSlotsForTest() const;
  uint16_t BoundReceivePortForTest();
  /// The port the RTCP placeholder socket is bound to (0 when none or unbound).
  uint16_t RtcpPortForTest();

 protected:
  struct ReceiveSlot {
    bool used = false;
    int32_t length = 0;
    uint16_t sequenceNumber = 0;
    uint8_t data[kSlotSize] = {};
  };

  int32_t BindSocketToPort(UdpSocket* socket, uint16_t port);
  int32_t CreateSockets();
  int32_t CloseSockets();
  int32_t PrepareSource();
  /// Reads one datagram into slots[slotIndex]: its length (> 0), 0 for an empty datagram,
  /// kNoData when nothing arrived, -1 on a socket error.
  int32_t ReceiveUDPPacket(int slotIndex);

  bool bPrimed = false;
  uint16_t lastSequenceNumber = 0;
  int32_t lastSlot = -1;
  uint32_t lastCallTime = 0;
  ReceiveSlot slots[kSlotCount];
  uint32_t firstWait = kFirstWaitMs;
  std::shared_ptr<UdpSocket> rtpSocket;  // guarded by socketMutex (pointer) and filterMutex
  std::shared_ptr<UdpSocket> rtcpSocket TARSIO_GUARDED_BY(filterMutex);
  bool bOwnSocket TARSIO_GUARDED_BY(filterMutex) = true;
  uint16_t localPort TARSIO_GUARDED_BY(filterMutex) = 0;
  uint16_t boundReceivePort TARSIO_GUARDED_BY(filterMutex) = 0;
  int32_t discardCount = 0;
  int32_t growCredit = 0;
  uint32_t lastDepthChangeTime = 0;
  std::atomic<bool> bRunning{false};
  CriticalSection filterMutex;
  SocketEvent socketEvent;
  std::mutex socketMutex;
  DatagramReader datagramReader;  // set before the thread starts
  std::mutex extensionsMutex;     // guards extensions only; held to copy the pointer
  std::shared_ptr<MediaExtensions> extensions;
  std::mutex depthChangeEventMutex;  // guards the pointer only; never held while signalling
  std::shared_ptr<HostEvent> depthChangeEvent;

 private:
  /// The source thread was asked to stop (GenerateData called without the thread never is).
  bool StopRequested() const { return bStopSourceThread && bSourceThreadRunning; }
  std::shared_ptr<UdpSocket> CurrentSocket();
  void SetSocket(std::shared_ptr<UdpSocket> socket);
  /// The fill of a non-primed ring: the parsed record of the slot to deliver, or null.
  RTPPacket* FillAndChoose();
  /// The ordered step of a primed ring: the parsed record to deliver, or null.
  RTPPacket* TakeInOrder();
  /// Parses slot index into parsedPacket (null when refused), frees it and makes it the last slot.
  RTPPacket* TakeSlot(int index);
  void Discard(int index);
  void GrowIfCredited();
  void SignalDepthChange();
  void MeasureDepths(const ReceiveSlot& slot);
  /// Marks a slot holding a freshly read datagram of n bytes as used.
  void StoreSlot(int index, int32_t n);
  void FillSample(AudioSample* sample, RTPPacket* packet);
  void ReadAhead();
  /// The low-latency step: the next datagram read, parsed, or null.
  RTPPacket* ReadNext();

  std::atomic<bool> bLowLatency{false};
  /// The record of the datagram being delivered (points into its slot); copied into the sample.
  RTPPacket parsedPacket;

  HostLogThrottle notRunningLog{"RTPAudioSource::ReceiveUDPPacket: !bRunning, entries held back=",
                                3, nullptr, HostLogThrottle::Delivery::kDeferred};
  HostLogThrottle recvErrorLog{
      "RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), entries held back=", 3,
      ", WSAGetLastError==", HostLogThrottle::Delivery::kDeferred};
  HostLogThrottle seqLostLog{"RTP Seq lost: entries held back=", 3, nullptr,
                             HostLogThrottle::Delivery::kDeferred};
};

}  // namespace tarsio
