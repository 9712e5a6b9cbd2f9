// The RTCP transport of one call: a thread that sends the session's reports when they are due and
// hands every RTCP datagram that arrives to the session (RFC 3550 section 6).
//
// Two ways to reach the far end:
// - Own socket (StartOwnSocket): the channel binds a UDP socket of its own (normally the RTP port
//   plus one), waits on it and reads it.
// - Multiplexed with RTP (StartMuxed, RFC 5761): the channel sends through the RTP socket it is
//   given and never reads it; the RTP receiver, which owns that socket's wait, passes each RTCP
//   datagram (IsRtcpPacket tells them apart) to OnMuxedDatagram.
// Before each send the destination provider names the far end's RTCP address, so a latch that
// moves the RTP destination (symmetric RTP) moves RTCP with it. With SRTP contexts set, reports
// leave protected and datagrams are authenticated, replay-checked and decrypted before the session
// sees them (SRTCP, RFC 3711); a datagram that fails, or that the session refuses as malformed,
// counts as refused and nothing of it is used.
//
// Time: the session works in 64-bit NTP time. The channel takes the wall clock once (at its first
// start, or the first NtpNow) and from then on moves it with the engine's Clock, so the session's
// time never jumps with a wall-clock correction and tests run it on a fake clock. The RTP paths of
// the call stamp the packets they tell the session about with NtpNow(), so all its times share
// one origin.
//
// The thread sleeps on its SocketEvent until the next report is due (the session's NextReportAt),
// a datagram arrives (own socket) or Stop wakes it. With a timeout set it also checks, every eighth
// of the timeout (20 ms to 500 ms), whether the session has heard nothing (no RTP and no RTCP) for
// that long; the handler is called once per silence and again only after something was heard.
//
// Threading:
// - The channel thread: the sends, the reads of its own socket, the timeout handler, the
//   destination provider.
// - A control thread: the constructor, the starts, Stop and the destructor (one at a time);
//   SetTimeout, SetRandomSeed, NtpNow and the counters from any thread.
// - The RTP receive thread: OnMuxedDatagram (processed on that thread; it does not wait for the
//   channel thread). The caller stops handing datagrams over before destroying the channel.
// Locks: mutex_ guards the running worker and its thread handle. A start holds it while it sets
//   the run up (the socket's event, the session's start, the thread's creation); otherwise it is
//   held only to read or swap the worker, never across the thread's join, a send, a datagram's
//   processing or a call to the host. The timeout settings have a lock of their own, released
//   before the handler runs. The session, the sockets and the SRTP contexts lock only themselves
//   and never call back, so no lock order arises with them. Counters are atomics.
// A running thread keeps everything it uses alive by itself, so a thread that misses Stop's bound
// (a host handler that blocks) ends on its own later without touching the channel object.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "framework/Tracer.h"
#include "platform/CriticalSection.h"
#include "platform/NetworkAddress.h"
#include "platform/ThreadAnnotations.h"

namespace tarsio {

class RtcpSession;
class SrtpContext;
class Thread;
class UdpSocket;

class RtcpChannel {
 public:
  /// The far end's RTCP address now; an invalid address holds the report back.
  using DestinationProvider = std::function<NetworkAddress()>;
  /// Called on the channel thread when the far end has been silent for silentMs.
  using TimeoutHandler = std::function<void(uint32_t silentMs)>;

  /// How long Stop waits for the thread to end.
  static constexpr uint32_t kStopWaitMs = 2000;
  /// The largest datagram read; a longer one is refused.
  static constexpr size_t kMaxDatagramBytes = 2048;
  /// Room for one written report (before SRTCP adds its index and tag).
  static constexpr size_t kMaxReportBytes = 1200;
  /// The wait before another try when the provider knows no destination yet.
  static constexpr uint32_t kNoDestinationRetryMs = 250;

  /// outbound/inbound: SRTCP contexts for the two directions, or null for plain RTCP.
  RtcpChannel(std::shared_ptr<RtcpSession> session, DestinationProvider destination,
              std::shared_ptr<SrtpContext> outbound = nullptr,
              std::shared_ptr<SrtpContext> inbound = nullptr);
  /// Stops without a BYE.
  ~RtcpChannel();
  RtcpChannel(const RtcpChannel&) = delete;
  RtcpChannel& operator=(const RtcpChannel&) = delete;

  /// Calls onTimeout once the far end has been silent for ms (0 or a null handler: no timeout).
  /// Takes effect at once, also on a running channel, and arms the timeout afresh.
  void SetTimeout(uint32_t ms, TimeoutHandler onTimeout);
  /// Seeds the generator that spreads the report intervals (from the next start on). Unseeded,
  /// the seed comes from the tick count and the channel's address.
  void SetRandomSeed(uint32_t seed);

  /// Binds a socket to local (port 0: any) and starts the thread. False when already running or
  /// when the socket or the thread cannot be had.
  bool StartOwnSocket(const NetworkAddress& local);
  /// Sends through rtpSocket (shared with RTP, never read, never closed here) and starts the
  /// thread; RTCP arrives through OnMuxedDatagram. False when already running or on failure.
  bool StartMuxed(std::shared_ptr<UdpSocket> rtpSocket);
  /// An RTCP datagram that arrived on the RTP socket (multiplexed mode; ignored otherwise).
  void OnMuxedDatagram(const uint8_t* data, size_t length, const NetworkAddress& from);

  /// Ends the thread (within kStopWaitMs) and closes the channel's own socket. With sendBye the
  /// far end is told that this source leaves (a last report with a BYE). Idempotent.
  void Stop(bool sendBye);

  bool IsRunning();
  /// The bound port of the channel's own socket (0 when not running on one).
  uint16_t LocalPort();

  /// The session's time now: the wall clock taken once, moved on by the engine's Clock.
  uint64_t NtpNow();

  /// Datagrams sent; datagrams that arrived (refused ones included); those refused (failed SRTCP,
  /// malformed, too long); sends that failed (no room, protection or socket error).
  uint64_t SentDatagrams() const { return counters_->sent.load(); }
  uint64_t ReceivedDatagrams() const { return counters_->received.load(); }
  uint64_t RefusedDatagrams() const { return counters_->refused.load(); }
  uint64_t FailedSends() const { return counters_->failedSends.load(); }

  /// Whether a datagram on a multiplexed RTP port is RTCP (RFC 5761 section 4: version 2, second
  /// byte 192..223, which no RTP payload type produces there).
  static bool IsRtcpPacket(const uint8_t* data, size_t length);

 private:
  struct Worker;
  // The counters of every run, shared with the threads (which may outlive the object).
  struct Counters {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> failedSends{0};
  };
  // The timeout, read by the thread before each check; generation moves with every change.
  struct TimeoutSettings {
    CriticalSection mutex;
    uint32_t ms TARSIO_GUARDED_BY(mutex) = 0;
    std::shared_ptr<const TimeoutHandler> handler TARSIO_GUARDED_BY(mutex);
    uint64_t generation TARSIO_GUARDED_BY(mutex) = 0;
  };
  // The wall clock in NTP form at one reading of the engine's clock.
  struct WallBase {
    uint64_t clockUs = 0;
    uint64_t ntp = 0;
  };

  bool Start(std::shared_ptr<UdpSocket> socket, bool ownSocket);
  std::shared_ptr<Worker> CurrentWorker();
  const WallBase& Base();
  /// The one conversion from the engine's clock (in microseconds, so that the jitter of packets
  /// arriving within a millisecond of their due time is seen) to NTP time.
  static uint64_t NtpAt(const WallBase& base, uint64_t clockUs);
  static uint32_t Run(const std::shared_ptr<Worker>& worker);

  const std::shared_ptr<RtcpSession> session_;
  const DestinationProvider destination_;
  const std::shared_ptr<SrtpContext> outbound_;
  const std::shared_ptr<SrtpContext> inbound_;
  const std::shared_ptr<Counters> counters_ = std::make_shared<Counters>();
  const std::shared_ptr<TimeoutSettings> timeout_ = std::make_shared<TimeoutSettings>();
  std::once_flag baseOnce_;
  WallBase base_;  // written once under baseOnce_
  std::atomic<uint32_t> seed_;
  Tracer tracer_;

  CriticalSection mutex_;
  std::shared_ptr<Worker> worker_ TARSIO_GUARDED_BY(mutex_);
  std::unique_ptr<Thread> thread_ TARSIO_GUARDED_BY(mutex_);
};

}  // namespace tarsio
