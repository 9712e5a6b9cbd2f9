// The RTP transmitter: the end of the transmit chain.
//
// Each encoded sample handed to RenderAudioSamples becomes one RTP packet (12-byte header plus
// the sample's bytes) sent with sendto to one destination; a silent stretch becomes a single
// 16-byte comfort-noise packet (payload type 13). Timestamp and sequence number advance for every
// sample, sent or not; SSRC, initial timestamp and initial sequence number are drawn from the
// tick-count-seeded generator at each start. The transmitter owns the UDP socket that the receiver
// reads too (the media terminal hands GetRtpSocket() to RTPAudioSource::SetReceivePort), so both
// directions use one local port. It records its state in the settings store for other programs
// ("TransmitPort", "DestinationAddress", "DestinationPort", "RTPTransmitCodec") and adds the
// bytes it sends to TrafficTotals::sentBytes.
//
// Threading:
// - Host threads: SetDestination, SetLocalPort, SetTOS, GetRtpSocket, the start/stop hooks (via
//   AudioSink's StartSink/StopSink/StartSinkThread; SinkThreadStopped runs on the sink thread).
// - The driving thread (a pushing source's thread or the sink thread): RenderAudioSamples.
// filterMutex guards the socket, the destination and the TOS byte, and is held around each
// sendto, so a reconfiguration never closes the socket in the middle of a send; the hooks take it
// too (inside AudioSink's sinkStateMutex). RenderAudioSamples runs under the pushing chain's locks
// and this filterMutex: its host-log entries are deferred (HostLogWriter::DeferredEntry), so the
// driving thread never calls into the host and a host that holds its log lock while it stops the
// transmitter cannot deadlock with it. Header fields, the send buffer, the pending marker and
// the last format tag belong to RenderAudioSamples and PrepareSink (which runs before rendering
// starts). The process-wide failure flag and byte total are atomics updated without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "framework/AudioSink.h"
#include "platform/CriticalSection.h"
#include "platform/UdpSocket.h"
#include "rtp/MediaExtensions.h"

namespace tarsio {

class RTPAudioSink : public AudioSink {
 public:
  /// Payload type used for a format the codec table cannot send (outside every static type).
  static constexpr uint8_t kUnknownPayloadType = 127;
  /// The comfort-noise payload: a noise level of 100 and three zero bytes.
  static constexpr uint8_t kComfortNoisePayload[4] = {0x64, 0x00, 0x00, 0x00};

  RTPAudioSink();
  ~RTPAudioSink() override;

  int32_t ReadTraceLevel() override;

  /// Stores the destination (dotted IPv4 text, no name resolution; text that is no address gives
  /// 255.255.255.255), creates the socket if there is none. Always 0.
  int32_t SetDestination(const char* address, uint16_t port);
  /// A new local port rebuilds an existing socket (bound to it); 0 or the first failure.
  int32_t SetLocalPort(uint16_t port);
  /// Both ends as addresses of either family: the socket is rebuilt, bound to local (an IPv6
  /// address gives a dual-stack socket, which also reaches IPv4 peers) and sends to remote.
  /// 0, or the WinSock error of the socket or the bind (positive).
  int32_t SetEndpoint(const NetworkAddress& local, const NetworkAddress& remote);
  /// Stores the type-of-service byte and applies it to an existing socket: 0 or the WinSock
  /// error (positive), which is also logged.
  int32_t SetTOS(uint8_t tos);
  /// The socket the receiver should read (null when none).
  std::shared_ptr<UdpSocket> GetRtpSocket();
  /// The call's optional protocol features (telephone events, SRTP, symmetric RTP, RTCP counts);
  /// null (the default) sends exactly the classic stream. Set before the transmitter starts.
  void SetExtensions(std::shared_ptr<MediaExtensions> extensions);
  /// Keeps the SSRC the same over every start (RTCP must name our stream before it starts);
  /// 0 (the default) draws a new one at each start.
  void SetFixedSsrc(uint32_t fixed) { fixedSsrc = fixed; }
  /// Where packets go now: the latched source with symmetric RTP, else the signalled address.
  NetworkAddress CurrentDestination();

  int32_t SinkThreadStarted(Thread* threadHandle, uint32_t threadID) override;
  int32_t SinkThreadStopped(Thread* threadHandle, uint32_t threadID) override;
  int32_t SinkStarted() override;
  int32_t SinkStopped() override;
  /// Sends the first sample of the cycle; always 0.
  int32_t RenderAudioSamples(AudioSampleList& audioSamples) override;

  /// Whether the once-per-run send-failure report was written and not yet cleared by a success.
  static bool SendFailureReported() { return sendFailureReported.load(); }

 protected:
  int32_t CreateSocket();
  int32_t CloseSocket();
  int32_t PrepareSink();
  int32_t UnprepareSink();

  std::string destinationAddress = "127.0.0.1";
  uint16_t destinationPort = 0;
  std::shared_ptr<UdpSocket> rtpSocket TARSIO_GUARDED_BY(filterMutex);
  NetworkAddress destination TARSIO_GUARDED_BY(filterMutex);
  uint16_t localPort = 0;
  // Set by SetEndpoint: the address to bind (its family chooses the socket's); unset: IPv4 any.
  NetworkAddress localBind;
  int lastBindError = 0;  // of the last CreateSocket: 0 or the WinSock error of its bind
  uint8_t tos = 0;

  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  std::atomic<uint32_t> fixedSsrc{0};
  uint16_t sequenceNumber = 0;
  std::unique_ptr<uint8_t[]> sendBuffer;
  uint32_t sendBufferSize = 0;
  std::atomic<bool> bRunning{false};
  bool pendingMarker = false;
  int32_t lastFormatTag = -1;
  CriticalSection filterMutex;
  std::shared_ptr<MediaExtensions> extensions TARSIO_GUARDED_BY(filterMutex);
  /// Whether extensions is set; read by the render thread without the lock.
  std::atomic<bool> hasExtensions{false};

  /// Shared by every transmitter of the process: one report per run of consecutive failures.
  static std::atomic<bool> sendFailureReported;

 private:
  /// Grows the send buffer to at least size bytes; false when no memory can be had.
  bool EnsureSendBuffer(uint32_t size);
  /// Sends packetSize bytes of sendBuffer (an RTP packet with timestamp rtpTimestamp), through the
  /// extensions when set (SRTP, symmetric destination, RTCP counts).
  void SendPacket(uint32_t packetSize, MediaExtensions* ext, uint32_t rtpTimestamp);
};

}  // namespace tarsio
