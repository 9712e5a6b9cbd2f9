// One call driven through the media terminal, as every tarsio command that makes a call runs it:
// check the arguments against the machine (address, local port, the microphone's input file; a
// file to play is judged by the engine's file play alone, whose refusal, with its result and the
// host-log lines it wrote, becomes the call's error), install the sound devices, create the
// terminal, set destination, codecs and volumes, start both directions, optionally play a WAV file
// into the call, watch the call until it is told to stop or its time is up, stop, destroy the
// terminal (which writes the statistics report to the host log) and fill the call report.
//
// The receive mode is the host's choice (CallConfig::lowLatencyReceive), forced on the terminal
// for this call; the library's own default, the setting "LowLatencyReceive", is left as it is.
//
// Every call reports the telephone events (DTMF digits) the far end sends: it prints each one and
// lists it in the report. The terminal reads them only through its extension interface, which
// every call therefore uses, whether or not an option of it (--dtmf, --srtp-key, ...) is given.
//
// While the call runs, Run refreshes the status line once a second, samples the receive-buffer
// ratio into the report once a second and watches the traffic totals every few milliseconds to
// stamp the first RTP packet sent.
//
// Threading: Run blocks the calling thread for the whole call; stop may be set from any thread or
// a signal handler. The engine calls the host log from its own threads meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/CallReport.h"
#include "tools/ConsoleHostLog.h"
#include "tools/DeviceChoice.h"
#include "tools/StatusLine.h"

namespace tarsio::host {

struct CallConfig {
  uint16_t localPort = 0;
  std::string remoteHost = "127.0.0.1";
  uint16_t remotePort = 0;
  int32_t rxCodec = 0;  // 0 any G.711 law per packet, 2 A-law, 4 µ-law
  int32_t txCodec = 4;  // 2 A-law, 4 µ-law
  uint32_t jitterMs = 60;
  bool lowLatencyReceive = true;  // --receive low-latency (the host's default) or classic
  bool vad = false;
  std::string captureName;  // as given on the command line, for the report
  std::string playbackName;
  DeviceChoice capture;  // no backend: the one AudioBackendSelector chooses
  DeviceChoice playback;
  uint32_t microphoneVolume = 100;
  uint32_t speakerVolume = 100;
  std::string playFile;
  bool playOnce = false;
  int32_t playVolume = 100;
  double durationSeconds = 0.0;  // 0: until stop
  // The extension interface's features; all unset: the classic stream, except that the far end's
  // digits are reported (see docs/host.md).
  std::string dtmf;  // digits sent 1 s into the call
  uint32_t dtmfDurationMs = 100;
  std::string srtpSuite = "AES_CM_128_HMAC_SHA1_80";
  std::string srtpKey;  // both keys set: SRTP
  std::string srtpRemoteKey;
  bool symmetricRtp = false;
  int32_t rtcpMode = 0;       // tarsio::kRtcpOff, kRtcpOwnPort, kRtcpMultiplexed
  uint32_t rtpTimeoutMs = 0;  // with RTCP: end the call after this long without RTP or RTCP
};

class CallSession {
 public:
  /// Exit codes of the tarsio program.
  static constexpr int kExitOk = 0;
  static constexpr int kExitFailure = 1;  // the call could not run (port in use, file, device)
  static constexpr int kExitUsage = 2;    // the arguments make no sense (bad address, ...)

  CallSession(ConsoleHostLog* log, StatusLine* status) : log_(log), status_(status) {}

  /// Runs the call; returns an exit code and fills *report (also on failure, with the error).
  int Run(const CallConfig& config, const std::atomic<bool>& stop, CallReport* report);

  /// The IPv4 address of host as dotted text; false with a reason for a name that does not
  /// resolve to IPv4.
  static bool ResolveIPv4(const std::string& host, std::string* address, std::string* error);
  /// The codec name of a terminal codec number ("auto", "pcma", "pcmu").
  static std::string CodecName(int32_t codec);
  /// Reads one of the terminal's settings as text, without writing a default; empty if missing.
  static std::string TerminalSetting(const char* name);

 private:
  int Fail(CallReport* report, int code, const std::string& error);

  ConsoleHostLog* log_;
  StatusLine* status_;
};

}  // namespace tarsio::host
