#include "tools/CallCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "tarsio/RTPInterfaceEx.h"
#include "tools/CallSession.h"

namespace tarsio::host {

namespace {

int32_t CodecNumber(const std::string& name) {
  if (name == "pcma") return 2;
  if (name == "pcmu") return 4;
  return 0;  // auto
}

}  // namespace

bool CallCommand::ParseRemote(const std::string& text, std::string* host, uint16_t* port,
                              std::string* error) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    *error = "bad remote address '" + text + "' (expected HOST:PORT, e.g. 127.0.0.1:40002)";
    return false;
  }
  const std::string portText = text.substr(colon + 1);
  char* end = nullptr;
  const long value = std::strtol(portText.c_str(), &end, 10);
  if (*end != '\0' || value < 1 || value > 65535) {
    *error = "bad remote port '" + portText + "' in '" + text + "' (1..65535)";
    return false;
  }
  *host = text.substr(0, colon);
  // An IPv6 literal comes in brackets: [::1]:40002.
  if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

void CallCommand::AddReceiveOption(CLI::App& command, std::string* receive) {
  command
      .add_option("--receive", *receive,
                  "Receive mode: low-latency (adaptive jitter buffer, conversation delay) or "
                  "classic (the ring and jitter buffer of the library's default mode)")
      ->check(CLI::IsMember({"low-latency", "classic"}, CLI::ignore_case))
      ->capture_default_str();
}

void CallCommand::AddTo(CLI::App& app) {
  command_ = app.add_subcommand("call", "Hold one call with a far end until Ctrl-C or --duration");
  command_->add_option("--local", localPort_, "Local UDP port for RTP (the next one is held too)")
      ->type_name("PORT")
      ->required()
      ->check(CLI::Range(1, 65534));
  command_->add_option("--remote", remote_, "Far end, HOST:PORT")
      ->type_name("HOST:PORT")
      ->required();
  command_->add_option("--rx-codec", rxCodec_, "Receive codec: auto (per packet), pcmu, pcma")
      ->check(CLI::IsMember({"auto", "pcmu", "pcma"}, CLI::ignore_case))
      ->capture_default_str();
  command_->add_option("--tx-codec", txCodec_, "Transmit codec: pcmu, pcma")
      ->check(CLI::IsMember({"pcmu", "pcma"}, CLI::ignore_case))
      ->capture_default_str();
  command_->add_option("--jitter", jitterMs_, "Jitter allowance, ms")
      ->type_name("MS")
      ->check(CLI::Range(0, 2000))
      ->capture_default_str();
  AddReceiveOption(*command_, &receive_);
  command_->add_flag("--vad", vad_,
                     "Ask for silence suppression (only with the setting ForceVADOff=true)");
  command_
      ->add_option("--capture", capture_,
                   "Microphone: alsa, alsa:ID, alsa:PCM, file:PATH or null "
                   "(default: TARSIO_AUDIO, else ALSA)")
      ->type_name("DEVICE");
  command_
      ->add_option("--playback", playback_,
                   "Loudspeaker: alsa, alsa:ID, alsa:PCM, file:PATH or null")
      ->type_name("DEVICE");
  command_->add_option("--mic-volume", microphoneVolume_, "Microphone volume, percent")
      ->type_name("PCT")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  command_->add_option("--speaker-volume", speakerVolume_, "Loudspeaker volume, percent")
      ->type_name("PCT")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  auto* play =
      command_->add_option("--play", play_, "Play a WAV file into the call")->type_name("FILE");
  command_->add_flag("--once", once_, "Play the file once (default: loop until the call ends)")
      ->needs(play);
  command_->add_option("--volume", playVolume_, "Volume of the played file, percent")
      ->type_name("PCT")
      ->check(CLI::Range(0, 100))
      ->needs(play)
      ->capture_default_str();
  command_->add_option("--duration", duration_, "End the call after S seconds (0: Ctrl-C)")
      ->type_name("S")
      ->check(CLI::Range(0.0, 1e7));
  command_->add_option("--log", log_, "Write the host log to FILE instead of stderr")
      ->type_name("FILE");
  command_->add_option("--report", report_, "Write a JSON call report to FILE")->type_name("FILE");
  command_->add_flag("--quiet", quiet_, "No status line");
  command_
      ->add_option("--dtmf", dtmf_,
                   "Send these DTMF digits (0-9 * # A-D) as telephone events, 1 s into the call")
      ->type_name("DIGITS");
  command_->add_option("--dtmf-ms", dtmfMs_, "Duration of each digit, ms")
      ->check(CLI::Range(40, 8000))
      ->capture_default_str();
  auto* srtpKey = command_
                      ->add_option("--srtp-key", srtpKey_,
                                   "SRTP: our master key and salt, base64 (RFC 4568 inline:)")
                      ->type_name("KEY");
  command_->add_option("--srtp-remote-key", srtpRemoteKey_, "SRTP: the far end's key")
      ->type_name("KEY")
      ->needs(srtpKey);
  srtpKey->needs("--srtp-remote-key");
  command_->add_option("--srtp-suite", srtpSuite_, "SRTP crypto suite")
      ->check(CLI::IsMember({"AES_CM_128_HMAC_SHA1_80", "AES_CM_128_HMAC_SHA1_32"}))
      ->capture_default_str();
  command_
      ->add_option("--rtcp", rtcp_,
                   "RTCP reports: off, port (on the RTP port + 1) or mux (on the RTP port)")
      ->check(CLI::IsMember({"off", "port", "mux"}))
      ->capture_default_str();
  command_
      ->add_option("--rtp-timeout", rtpTimeout_,
                   "With RTCP: end the call after S seconds without RTP or RTCP (0: never)")
      ->type_name("S")
      ->check(CLI::Range(0.0, 3600.0));
  command_->add_flag("--symmetric-rtp", symmetricRtp_,
                     "Send to where the far end's media comes from (NAT traversal)");
}

bool CallCommand::Selected() const { return command_ != nullptr && command_->parsed(); }

int CallCommand::Run(const std::atomic<bool>& stop) {
  CallConfig config;
  std::string error;
  const auto fail = [&](int code, const std::string& message) {
    std::fprintf(stderr, "tarsio call: %s\n", message.c_str());
    return code;
  };
  if (!ParseRemote(remote_, &config.remoteHost, &config.remotePort, &error)) {
    return fail(CallSession::kExitUsage, error);
  }
  if (!capture_.empty() &&
      !DeviceChoice::Parse(capture_, AudioDirection::kCapture, &config.capture, &error)) {
    return fail(CallSession::kExitUsage, error);
  }
  if (!playback_.empty() &&
      !DeviceChoice::Parse(playback_, AudioDirection::kPlayback, &config.playback, &error)) {
    return fail(CallSession::kExitUsage, error);
  }
  config.localPort = static_cast<uint16_t>(localPort_);
  config.rxCodec = CodecNumber(CLI::detail::to_lower(rxCodec_));
  config.txCodec = CodecNumber(CLI::detail::to_lower(txCodec_));
  config.jitterMs = jitterMs_;
  config.lowLatencyReceive = CLI::detail::to_lower(receive_) == "low-latency";
  config.vad = vad_;
  config.captureName = capture_;
  config.playbackName = playback_;
  config.microphoneVolume = microphoneVolume_;
  config.speakerVolume = speakerVolume_;
  config.playFile = play_;
  config.playOnce = once_;
  config.playVolume = playVolume_;
  config.durationSeconds = duration_;
  config.dtmf = dtmf_;
  config.dtmfDurationMs = dtmfMs_;
  config.srtpSuite = srtpSuite_;
  config.srtpKey = srtpKey_;
  config.srtpRemoteKey = srtpRemoteKey_;
  config.symmetricRtp = symmetricRtp_;
  config.rtcpMode = rtcp_ == "port" ? kRtcpOwnPort : rtcp_ == "mux" ? kRtcpMultiplexed : kRtcpOff;
  config.rtpTimeoutMs = static_cast<uint32_t>(rtpTimeout_ * 1000.0);
  if (config.rtpTimeoutMs != 0 && config.rtcpMode == kRtcpOff) {
    return fail(CallSession::kExitUsage, "--rtp-timeout needs --rtcp port or --rtcp mux");
  }

  ConsoleHostLog log;
  if (!log_.empty() && !log.OpenFile(log_, &error)) return fail(CallSession::kExitFailure, error);
  StatusLine status(stdout, ::isatty(STDOUT_FILENO) == 1);
  log.SetBeforeWrite([&status](bool toTerminal) {
    if (toTerminal) status.Clear();
  });
  CallSession session(&log, quiet_ ? nullptr : &status);
  CallReport report;
  report.command = "call";
  const int code = session.Run(config, stop, &report);
  log.SetBeforeWrite(nullptr);
  if (code != CallSession::kExitOk) fail(code, report.error);
  if (!report_.empty() && !report.WriteFile(report_, &error)) {
    return fail(CallSession::kExitFailure, error);
  }
  return code;
}

}  // namespace tarsio::host
