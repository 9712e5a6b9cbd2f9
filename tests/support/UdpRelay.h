// A UDP relay between two terminals, A and B, for tests whose network behaves as the test decides.
//
// The relay faces each terminal with a port pair of its own on the loopback address (RTP on P,
// RTCP on P + 1). Sockets 0 and 1 face A, 2 and 3 face B; a datagram that arrives on socket i
// leaves through socket (i + 2) % 4 towards the address the terminal on that side last sent from
// there (at first the address the call was set up with). So each terminal sees the other only
// through the relay's ports, as behind a NAT that rewrites the source port.
//
// On the way it may, as its Impairment says:
// - drop every dropEvery-th of A's RTP packets (by sequence, counted from A's first packet), and
//   hold each kept one for mediaDelay plus a seeded uniform 0..mediaJitterMaxUs, so that they may
//   overtake each other; it logs each drop, and each forwarded packet's sequence, RTP timestamp
//   and send time;
// - hold RTCP for rtcpDelay each way, logging each report with its arrival and send time.
// B's RTP always passes on at once. With the default Impairment nothing is dropped or held.
//
// Threading: one reader thread per socket and one scheduler thread, from Start to Stop; every
// member may be called from any thread. One mutex guards the queue, the peers and the log; no
// send runs under it.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <vector>

#include "platform/NetworkAddress.h"
#include "platform/UdpSocket.h"

namespace tarsio::testing {

class UdpRelay {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;

  struct Impairment {
    uint32_t dropEvery = 0;  // 0: nothing is dropped
    uint32_t dropOffset = 0;
    std::chrono::microseconds mediaDelay{0};
    uint32_t mediaJitterMaxUs = 0;
    uint32_t jitterSeed = 1;
    std::chrono::microseconds rtcpDelay{0};
  };
  struct Forwarded {
    uint32_t index = 0;  // sequence number counted from A's first packet (no wrap in a test)
    uint32_t rtpTimestamp = 0;
    TimePoint sentAt;
  };
  struct RtcpEntry {
    std::vector<uint8_t> bytes;
    TimePoint receivedAt;
    TimePoint sentAt;  // set when it leaves
  };
  struct Log {
    uint32_t ssrcA = 0;
    uint16_t firstSequence = 0;     // of A's first RTP packet
    uint32_t receivedFromA = 0;     // A's RTP packets that reached the relay
    std::vector<uint32_t> dropped;  // their indices, in order
    std::vector<Forwarded> forwardedToB;
    uint32_t forwardedToA = 0;  // B's RTP packets sent on to A
    std::vector<RtcpEntry> rtcpFromA;
    std::vector<RtcpEntry> rtcpFromB;
    size_t queued = 0;    // datagrams still held
    double latestMs = 0;  // the largest lateness of a send against its due time
  };

  UdpRelay();  // nothing dropped or held
  explicit UdpRelay(Impairment impairment);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  /// A pair of free ports P, P + 1 (nobody bound to them at the moment of asking) whose pair does
  /// not overlap avoid's; 0 when none was found.
  static uint16_t FreePortPair(uint16_t avoid = 0);

  /// Binds the two port pairs on the loopback address.
  bool Open();
  uint16_t PortFacingA() const { return ports_[0]; }
  uint16_t PortFacingB() const { return ports_[1]; }

  /// a, b: the terminals' RTP addresses as the call was set up.
  void Start(const NetworkAddress& a, const NetworkAddress& b);
  /// Stops the threads and closes the sockets; what is still held is not sent.
  void Stop();

  Log Snapshot();

 private:
  struct Held {
    TimePoint due;
    uint64_t order = 0;
    std::vector<uint8_t> bytes;
    int out = 0;  // the socket it leaves through
    // Where the send time goes: none, log_.forwardedToB, rtcpFromA or rtcpFromB (at logIndex).
    enum class Kind { kPlain, kMediaToB, kRtcpFromA, kRtcpFromB } kind = Kind::kPlain;
    size_t logIndex = 0;
    bool operator>(const Held& other) const {
      return due != other.due ? due > other.due : order > other.order;
    }
  };

  void Read(int i);
  void Schedule();

  const Impairment impairment_;
  std::array<std::shared_ptr<UdpSocket>, 4> sockets_;
  std::array<uint16_t, 2> ports_{};
  std::thread scheduler_;
  std::array<std::thread, 4> readers_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::array<NetworkAddress, 4> peers_;
  std::priority_queue<Held, std::vector<Held>, std::greater<>> queue_;
  uint64_t order_ = 0;
  std::mt19937 random_;
  uint16_t firstSequence_ = 0;
  std::vector<Forwarded> pendingMedia_;  // A's kept packets, by arrival at the relay
  Log log_;
};

}  // namespace tarsio::testing
