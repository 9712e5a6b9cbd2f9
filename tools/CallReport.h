// The machine-readable summary of one call (`tarsio call --report FILE`, `tarsio loopback
// --report FILE`), as JSON:
//
//   {
//     "format": "tarsio-call-report", "version": 1,
//     "command": "call", "local_port": 40000, "remote": "127.0.0.1:40002",
//     "tx_codec": "pcmu", "rx_codec": "auto", "jitter_ms": 60,
//     "receive_mode": "low-latency",                   // or "classic"
//     "recorded_codecs": {"transmit": "PCMU", "receive": "PCMU"},
//     "capture_device": "file:in.wav", "playback_device": "file:out.wav",
//     "playback_wav": "out.wav",                       // null unless the file backend records
//     "times_ms": {                                    // Unix epoch, ms; null: never happened
//       "call_start": ..., "capture_started": ..., "playback_started": ...,
//       "first_capture_buffer": ..., "first_rtp_sent": ..., "first_rtp_received": ...,
//       "first_playback_sample": ..., "call_end": ...},
//     "totals": {"rtp_recvfrom": 0, "rtp_sendto": ..., "wave_out": ..., "wave_in": ...,
//                "g729_decomp": 0, "g729_comp": 0},    // the terminal's statistics report
//     "receive_buffer": [{"time_ms": ..., "elapsed_s": 1.0, "ratio": 0.033}, ...],
//     "receive_stats": {"packets_received": ..., "frames_played": ..., "frames_concealed": ...,
//                       "frames_silence": ..., "late_packets": ..., "accelerated_ms": ...,
//                       "expanded_ms": ..., "reanchors": ..., "target_ms": ...},
//                                                      // null in the classic mode
//     "delay_ms": {"network": {"median": 2, "p95": 9}, "jitter_buffer": {...},
//                  "playback_queue": {...}, "device": {...}},
//                                                      // a stage not measured is null
//     "mouth_to_ear_ms": 123.4,                        // loopback only, else absent
//     "srtp": "AES_CM_128_HMAC_SHA1_80", "srtp_refused": 0,  // null and 0 without SRTP
//     "digits_sent": "1234#",                          // null when none were sent
//     "digits_received": [{"digit": "5", "ms": 100}],
//     "rtcp": {"packets_sent": ..., "packets_received": ..., "cumulative_lost": ...,
//              "fraction_lost": ..., "call_fraction_lost": ..., "jitter_ms": ...,
//              "remote": {"cumulative_lost": ..., "fraction_lost": ..., "jitter_ms": ...} or null,
//              "round_trip_ms": ... or null, "reports_sent": ..., "reports_received": ...,
//              "reports_malformed": ..., "bye_received": false, "timed_out": false,
//              "ssrc": ..., "remote_ssrc": ..., "remote_cname": "..."},  // absent without --rtcp
//     "exit_code": 0, "error": null
//   }
//
// "delay_ms" breaks the receive side's delay into stages, each the median and the 95th percentile
// over the call in ms: "network" is how much later than the fastest packet each packet arrived
// (arrival jitter), "jitter_buffer" from a packet's arrival to its playout, "playback_queue" from
// a frame reaching the playback sink to the device starting to play it, "device" the sound
// card's own buffering (0 for the file backend). The first two are measured in the low-latency
// mode only.
//
// "first_playback_sample" is when the first buffer was written to the playback WAV: sample k of
// that file was written at about first_playback_sample + k / 8 ms, which lines the recording up
// with the sender's clock. "first_rtp_received" is when the receiver took its first datagram.
//
// Threading: a plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarsio::host {

class CallReport {
 public:
  struct Times {
    int64_t callStart = 0;
    int64_t captureStarted = 0;
    int64_t playbackStarted = 0;
    int64_t firstCaptureBuffer = 0;
    int64_t firstRtpSent = 0;
    int64_t firstRtpReceived = 0;
    int64_t firstPlaybackSample = 0;
    int64_t callEnd = 0;
  };
  struct Totals {
    int64_t rtpRecvfrom = 0;
    int64_t rtpSendto = 0;
    int64_t waveOut = 0;
    int64_t waveIn = 0;
    int64_t g729Decomp = 0;
    int64_t g729Comp = 0;
  };
  struct StageDelay {
    int medianMs = -1;  // -1: not measured
    int p95Ms = -1;
  };
  struct ReceiveStats {
    uint64_t packetsReceived = 0;
    uint64_t framesPlayed = 0;
    uint64_t framesConcealed = 0;
    uint64_t framesSilence = 0;
    uint64_t latePackets = 0;
    uint64_t acceleratedMs = 0;
    uint64_t expandedMs = 0;
    uint64_t reanchors = 0;
    int targetMs = 0;
  };
  struct BufferSample {
    int64_t epochMs = 0;
    double elapsedSeconds = 0.0;
    double ratio = 0.0;
  };

  std::string command = "call";
  int localPort = 0;
  std::string remote;
  std::string txCodec;
  std::string rxCodec;
  int jitterMs = 0;
  std::string receiveMode = "classic";
  std::optional<ReceiveStats> receiveStats;  // low-latency mode only
  StageDelay networkDelay;
  StageDelay jitterBufferDelay;
  StageDelay playbackQueueDelay;
  StageDelay deviceDelay;
  std::string recordedTransmitCodec;
  std::string recordedReceiveCodec;
  std::string captureDevice;
  std::string playbackDevice;
  std::string playbackWav;  // empty: not recording to a file
  Times times;
  Totals totals;
  std::vector<BufferSample> receiveBuffer;
  std::optional<double> mouthToEarMs;
  // The extension interface: SRTP suite ("" when off) and the packets it refused, the DTMF digits
  // sent, and the telephone events received (digit, duration in ms).
  std::string srtp;
  uint64_t srtpRefused = 0;
  std::string digitsSent;
  std::vector<std::pair<char, uint32_t>> digitsReceived;
  // RTCP (--rtcp): the terminal's report at the end of the call; absent without RTCP.
  struct Rtcp {
    uint64_t packetsSent = 0, octetsSent = 0, packetsReceived = 0, octetsReceived = 0;
    int64_t cumulativeLost = 0;
    double fractionLost = 0, callFractionLost = 0, jitterMs = 0;
    bool haveRemoteReport = false;
    int32_t remoteCumulativeLost = 0;
    double remoteFractionLost = 0, remoteJitterMs = 0, roundTripMs = -1;
    uint64_t reportsSent = 0, reportsReceived = 0, reportsMalformed = 0;
    bool byeReceived = false, timedOut = false;
    std::string remoteCname;
    uint32_t localSsrc = 0, remoteSsrc = 0;
  };
  std::optional<Rtcp> rtcp;
  int exitCode = 0;
  std::string error;

  std::string ToJson() const;
  /// Writes ToJson() to path (through a temporary file renamed into place). False with a reason.
  bool WriteFile(const std::string& path, std::string* error) const;

  /// text as a JSON string literal, quotes included.
  static std::string Quote(const std::string& text);
};

}  // namespace tarsio::host
