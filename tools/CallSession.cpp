#include "tools/CallSession.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/TrafficTotals.h"
#include "platform/AudioBackendSelector.h"
#include "platform/NetworkAddress.h"
#include "platform/RegistryStore.h"
#include "platform/WavFile.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"
#include "tools/EpochClock.h"
#include "tools/HostAudioBackend.h"
#include "tools/UdpPortProbe.h"

namespace tarsio::host {

namespace {

constexpr const char* kTerminalKey = "HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0";
// The receiver logs this when it takes its very first datagram (it measures its depths from it).
constexpr const char* kFirstDatagramLine = "RTPAudioSource::GenerateData: buffer recepcion minimo=";
constexpr int kPollMs = 5;
// SetRtpTimeout without a host event: the call polls the report instead.
constexpr EventHandle kNoHostEvent = -1;
// PlayFile's result when the file could not be loaded (opened and checked by the file source).
constexpr int32_t kPlayFileNotLoaded = -10;
// The payload type of telephone events both ways (RFC 4733's customary dynamic type).
constexpr int32_t kTelephoneEventPayloadType = 101;

std::string StartTxReason(int32_t code) {
  switch (code) {
    case -5:
      return "the socket's type of service could not be set";
    case -10:
      return "the RTP transmitter did not start";
    case -60:
      return "the capture device did not start (see the host log)";
    default:
      return "a transmit filter did not start";
  }
}

std::string StartRxReason(int32_t code) {
  switch (code) {
    case -80:
      return "the playback device did not start (see the host log)";
    case -90:
      return "the RTP receiver did not start";
    default:
      return "a receive filter did not start";
  }
}

/// Checks that the file backend can play path as the microphone (8 kHz 16-bit mono PCM).
bool CheckCaptureFile(const std::string& path, std::string* error) {
  WavFile file;
  std::string reason;
  if (!file.OpenRead(path, &reason)) {
    *error = "cannot read input file " + path + ": " + reason;
    return false;
  }
  const WAVEFORMATEX& f = file.Format();
  if (f.nChannels != 1 || f.nSamplesPerSec != 8000 || f.wBitsPerSample != 16) {
    *error = "input file " + path + " is " + std::to_string(f.nSamplesPerSec) + " Hz, " +
             std::to_string(f.wBitsPerSample) + " bit, " + std::to_string(f.nChannels) +
             " channel(s); the microphone needs 8000 Hz 16-bit mono";
    return false;
  }
  return true;
}

/// The error of a refused file play: the engine's result, what it means, and the host-log lines
/// the engine wrote while it refused.
std::string PlayFileError(const std::string& path, int32_t result,
                          const std::vector<ConsoleHostLog::Line>& lines, size_t firstNew) {
  std::string error = "cannot play " + path;
  if (result == kPlayFileNotLoaded) {
    error +=
        ": the file is missing, unreadable, not a WAV file, or a WAV file whose format file play "
        "refuses (see docs/terminal.md, File play)";
  }
  for (size_t i = firstNew; i < lines.size(); ++i) error += "; host log: " + lines[i].text;
  return error;
}

}  // namespace

std::string CallSession::CodecName(int32_t codec) {
  switch (codec) {
    case 0:
      return "auto";
    case 2:
      return "pcma";
    case 4:
      return "pcmu";
    default:
      return std::to_string(codec);
  }
}

std::string CallSession::TerminalSetting(const char* name) {
  const auto value = RegistryStore::Instance().Read(kTerminalKey, name);
  if (!value) return "";
  if (value->type == RegistryStore::Value::Type::kDword) return std::to_string(value->dword);
  return value->text;
}

bool CallSession::ResolveIPv4(const std::string& host, std::string* address, std::string* error) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    *address = host;
    return true;
  }
  // Text made of digits and dots is meant as an address: never ask a name server about it.
  if (!host.empty() && host.find_first_not_of("0123456789.") == std::string::npos) {
    *error = "bad remote address '" + host + "': not an IPv4 address";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    *error = "bad remote address '" + host + "': " + (rc != 0 ? ::gai_strerror(rc) : "no address");
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr, text,
              sizeof(text));
  ::freeaddrinfo(result);
  *address = text;
  return true;
}

int CallSession::Fail(CallReport* report, int code, const std::string& error) {
  report->exitCode = code;
  report->error = error;
  if (report->times.callEnd == 0) report->times.callEnd = EpochMs();
  return code;
}

int CallSession::Run(const CallConfig& config, const std::atomic<bool>& stop, CallReport* report) {
  report->times.callStart = EpochMs();
  report->localPort = config.localPort;
  report->remote = config.remoteHost + ":" + std::to_string(config.remotePort);
  report->txCodec = CodecName(config.txCodec);
  report->rxCodec = CodecName(config.rxCodec);
  report->jitterMs = static_cast<int>(config.jitterMs);
  report->receiveMode = config.lowLatencyReceive ? "low-latency" : "classic";
  report->playbackWav = config.playback.FilePath();

  // Everything that can be checked before the terminal exists is checked here, so that the user
  // gets one plain sentence instead of a failed start step.
  std::string error;
  std::string address;
  // IPv4 goes through the classic SetDestination; an IPv6 literal or a name with only IPv6
  // addresses through the extension's SetDestinationEx on a dual-stack socket.
  bool ipv6 = false;
  if (!ResolveIPv4(config.remoteHost, &address, &error)) {
    NetworkAddress resolved;
    std::string why;
    if (!NetworkAddress::Resolve(config.remoteHost, config.remotePort, &resolved, &why)) {
      return Fail(report, kExitUsage, error);
    }
    ipv6 = true;
    error.clear();
  }
  if (config.remotePort == 0) return Fail(report, kExitUsage, "bad remote port 0");
  if (!UdpPortProbe::PairIsFree(config.localPort, &error)) {
    return Fail(report, kExitFailure, error);
  }
  if (!config.capture.FilePath().empty() && !CheckCaptureFile(config.capture.FilePath(), &error)) {
    return Fail(report, kExitFailure, error);
  }
  // The file to play is not checked here: the engine's file play reads more formats than the
  // host's own PCM reader (A-law, µ-law, IMA ADPCM, float, any rate it can convert), so the
  // engine alone judges it, and its refusal is the error the user sees (see PlayFile below).

  // The selector's choice (TARSIO_AUDIO, else probing ALSA) only for a direction not given.
  std::shared_ptr<AudioBackend> fallback;
  if (!config.capture.Backend() || !config.playback.Backend()) {
    fallback = AudioBackendSelector::Current();
  }
  auto backend = std::make_shared<HostAudioBackend>(
      config.capture.Backend() ? config.capture.Backend() : fallback,
      config.playback.Backend() ? config.playback.Backend() : fallback);
  report->captureDevice =
      config.captureName.empty() ? backend->CaptureBackend()->Name() : config.captureName;
  report->playbackDevice =
      config.playbackName.empty() ? backend->PlaybackBackend()->Name() : config.playbackName;
  AudioBackendSelector::Install(backend);

  const int eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::unique_ptr<RTPInterface> terminal(GetRTPInterface(log_));
  int exitCode = kExitOk;
  if (!terminal) {
    exitCode = Fail(report, kExitFailure, "the media terminal could not be created");
  }
  auto step = [&](int32_t result, const std::string& what) {
    if (exitCode == kExitOk && result != 0) {
      exitCode = Fail(report, kExitFailure, what + " (result " + std::to_string(result) + ")");
    }
    return exitCode == kExitOk;
  };

  // The engine's own terminal (the host links it statically): the receive mode is forced on it.
  auto* engine = dynamic_cast<COrbeMediaTerm*>(terminal.get());
  // Every call uses the extension interface, if only to hear the far end's digits.
  RTPInterfaceEx* ex = terminal ? GetRTPInterfaceEx(terminal.get()) : nullptr;
  if (engine != nullptr) {
    engine->SetReceiveModeOverride(config.lowLatencyReceive ? COrbeMediaTerm::kReceiveModeLowLatency
                                                            : COrbeMediaTerm::kReceiveModeClassic);
  }
  if (exitCode == kExitOk) {
    if (ipv6) {
      step(ex->SetDestinationEx(config.remoteHost.c_str(), config.remotePort,
                                "::", config.localPort, eventFd),
           "cannot use the IPv6 address " + config.remoteHost);
    } else {
      terminal->SetDestination(address.c_str(), config.remotePort, config.localPort, eventFd);
    }
    // The terminal reads telephone events only once its extension is in use: setting their
    // payload type (101, the terminal's default) is what makes a plain call report the far end's
    // digits too. Nothing is sent differently (docs/host.md); no digit is sent unless --dtmf asks.
    step(ex->SetTelephoneEventPayloadType(kTelephoneEventPayloadType),
         "the telephone-event payload type was refused");
    if (!config.srtpKey.empty()) {
      // The terminal's refusal names the key (ours or the far end's) without quoting it.
      step(ex->SetSrtp(config.srtpSuite.c_str(), config.srtpKey.c_str(),
                       config.srtpRemoteKey.c_str()),
           "the SRTP keys were refused (see the log)");
      report->srtp = config.srtpSuite;
    }
    if (config.symmetricRtp) ex->SetSymmetricRtp(1);
    if (config.rtcpMode != kRtcpOff) {
      step(ex->SetRtcp(config.rtcpMode, nullptr), "RTCP was refused");
      if (config.rtpTimeoutMs != 0) ex->SetRtpTimeout(config.rtpTimeoutMs, kNoHostEvent);
    }
    step(terminal->SetTransmitCodec(config.txCodec, 20, 0, config.vad ? 1 : 0, 0, 0),
         "the transmit codec " + CodecName(config.txCodec) + " was refused");
    step(terminal->SetReceiveCodec(config.rxCodec, 20, 0, 0),
         "the receive codec " + CodecName(config.rxCodec) + " was refused");
  }
  if (exitCode == kExitOk) {
    // The capture source starts muted: without a volume the far end would hear silence.
    terminal->SetMicrophoneVolume(config.capture.DeviceId(), config.microphoneVolume);
    const int32_t rx = terminal->StartRX(config.playback.DeviceId(), config.jitterMs);
    step(rx, "cannot start the receive direction: " + StartRxReason(rx));
  }
  if (exitCode == kExitOk) {
    terminal->SetSpeakerVolume(config.playback.DeviceId(), config.speakerVolume);
    const int32_t tx = terminal->StartTX(config.capture.DeviceId());
    step(tx, "cannot start the transmit direction: " + StartTxReason(tx));
  }
  if (exitCode == kExitOk && !config.playFile.empty()) {
    uint32_t id = 0;
    const size_t linesBefore = log_->Lines().size();
    const int32_t played = terminal->PlayFile(config.playFile.c_str(), config.playOnce ? 1 : 0,
                                              config.playVolume, &id);
    step(played, PlayFileError(config.playFile, played, log_->Lines(), linesBefore));
  }

  if (exitCode == kExitOk) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextSample = start + std::chrono::seconds(1);
    const auto end =
        start + std::chrono::milliseconds(static_cast<int64_t>(config.durationSeconds * 1000.0));
    auto showStatus = [&](double elapsed) {
      const std::string tx = TerminalSetting("RTPTransmitCodec");
      const std::string rxName = TerminalSetting("RTPReceiveCodec");
      // The terminal clears both names when it stops: keep the last ones seen during the call.
      if (!tx.empty()) report->recordedTransmitCodec = tx;
      if (!rxName.empty()) report->recordedReceiveCodec = rxName;
      if (status_ != nullptr) {
        CallStatus s;
        s.elapsedSeconds = elapsed;
        s.bufferRatio = terminal->GetReceiveBufferRatio();
        s.transmitCodec = tx;
        s.receiveCodec = config.rxCodec == 0 ? rxName : CodecName(config.rxCodec);
        s.sentBytes = TrafficTotals::sentBytes.load();
        s.playedBytes = TrafficTotals::playedBytes.load();
        if (ex != nullptr && config.rtcpMode != kRtcpOff) {
          RtcpReport r{};
          r.size = sizeof r;
          s.rtcp = true;
          if (ex->GetRtcpReport(&r) == 0) {
            s.roundTripMs = r.roundTripMs;
            s.remoteLossPercent = r.haveRemoteReport ? 100.0 * r.remoteFractionLost : -1.0;
            s.jitterMs = r.jitterMs;
          }
        }
        if (engine != nullptr && engine->IsLowLatencyReceive()) {
          const COrbeMediaTerm::ReceiveReport r = engine->GetReceiveReport();
          s.lowLatency = true;
          s.networkMs = r.network.medianMs;
          s.jitterBufferMs = r.jitterBuffer.medianMs;
          s.queueMs = r.playbackQueue.medianMs;
          s.deviceMs = r.device.medianMs;
        }
        status_->Show(s, EpochMs());
      }
    };
    showStatus(0.0);
    bool digitsSent = config.dtmf.empty();
    while (!stop.load()) {
      const auto now = Clock::now();
      if (!digitsSent && now >= start + std::chrono::seconds(1)) {
        digitsSent = true;
        const int32_t sent = ex->SendDigits(config.dtmf.c_str(), config.dtmfDurationMs);
        if (sent == 0) {
          report->digitsSent = config.dtmf;
        } else {
          std::fprintf(stderr, "\ntarsio call: the digits '%s' were not sent (result %d)\n",
                       config.dtmf.c_str(), sent);
        }
      }
      if (ex != nullptr && config.rtpTimeoutMs != 0) {
        RtcpReport r{};
        r.size = sizeof r;
        if (ex->GetRtcpReport(&r) == 0 && r.timedOut != 0) {
          std::fprintf(stderr,
                       "\ntarsio call: nothing heard from the far end for %.1f s (RTP timeout)\n",
                       config.rtpTimeoutMs / 1000.0);
          break;
        }
      }
      if (ex != nullptr) {
        char digit = 0;
        uint32_t ms = 0;
        while (ex->GetTelephoneEvent(&digit, &ms) == 1) {
          report->digitsReceived.push_back({digit, ms});
          std::fprintf(stderr, "\ntarsio call: received digit %c (%u ms)\n", digit, ms);
        }
      }
      if (config.durationSeconds > 0 && now >= end) break;
      pollfd p{eventFd, POLLIN, 0};
      if (eventFd >= 0 && ::poll(&p, 1, kPollMs) > 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(eventFd, &count, sizeof(count));
      } else if (eventFd < 0) {
        ::usleep(kPollMs * 1000);
      }
      if (report->times.firstRtpSent == 0 && TrafficTotals::sentBytes.load() > 0) {
        report->times.firstRtpSent = EpochMs();
      }
      // The classic receiver logs its first datagram; the low-latency one counts packets.
      if (report->times.firstRtpReceived == 0 && engine != nullptr &&
          engine->ReceivedPacketCount() > 0) {
        report->times.firstRtpReceived = EpochMs();
      }
      if (Clock::now() >= nextSample) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        report->receiveBuffer.push_back({EpochMs(), elapsed, terminal->GetReceiveBufferRatio()});
        showStatus(elapsed);
        nextSample += std::chrono::seconds(1);
      }
    }
    showStatus(std::chrono::duration<double>(Clock::now() - start).count());
    if (status_ != nullptr) status_->Finish();
  }

  if (terminal) {
    const int32_t tx = terminal->StopTX();
    const int32_t rx = terminal->StopRX();
    if (ex != nullptr) {
      char digit = 0;
      uint32_t ms = 0;
      while (ex->GetTelephoneEvent(&digit, &ms) == 1) report->digitsReceived.push_back({digit, ms});
    }
    if (ex != nullptr && config.rtcpMode != kRtcpOff) {
      RtcpReport r{};
      r.size = sizeof r;
      if (ex->GetRtcpReport(&r) == 0) {
        CallReport::Rtcp out;
        out.packetsSent = r.packetsSent;
        out.octetsSent = r.octetsSent;
        out.packetsReceived = r.packetsReceived;
        out.octetsReceived = r.octetsReceived;
        out.cumulativeLost = r.cumulativeLost;
        out.fractionLost = r.fractionLost;
        out.callFractionLost = r.callFractionLost;
        out.jitterMs = r.jitterMs;
        out.haveRemoteReport = r.haveRemoteReport != 0;
        out.remoteCumulativeLost = r.remoteCumulativeLost;
        out.remoteFractionLost = r.remoteFractionLost;
        out.remoteJitterMs = r.remoteJitterMs;
        out.roundTripMs = r.roundTripMs;
        out.reportsSent = r.reportsSent;
        out.reportsReceived = r.reportsReceived;
        out.reportsMalformed = r.reportsMalformed;
        out.byeReceived = r.byeReceived != 0;
        out.timedOut = r.timedOut != 0;
        out.remoteCname = r.remoteCname;
        out.localSsrc = r.localSsrc;
        out.remoteSsrc = r.remoteSsrc;
        report->rtcp = out;
      }
    }
    if (engine != nullptr) {
      report->srtpRefused = engine->SrtpRefusedCount();
      // The counters and delay figures outlive the stop; they go when the terminal does.
      const COrbeMediaTerm::ReceiveReport r = engine->GetReceiveReport();
      if (r.lowLatency) {
        CallReport::ReceiveStats stats;
        stats.packetsReceived = r.packetsReceived;
        stats.framesPlayed = r.framesPlayed;
        stats.framesConcealed = r.framesConcealed;
        stats.framesSilence = r.framesSilence;
        stats.latePackets = r.latePackets;
        stats.acceleratedMs = r.acceleratedMs;
        stats.expandedMs = r.expandedMs;
        stats.reanchors = r.reanchors;
        stats.targetMs = r.targetMs;
        report->receiveStats = stats;
      }
      report->networkDelay = {r.network.medianMs, r.network.p95Ms};
      report->jitterBufferDelay = {r.jitterBuffer.medianMs, r.jitterBuffer.p95Ms};
      report->playbackQueueDelay = {r.playbackQueue.medianMs, r.playbackQueue.p95Ms};
      report->deviceDelay = {r.device.medianMs, r.device.p95Ms};
    }
    if (exitCode == kExitOk && (tx != 0 || rx != 0)) {
      exitCode = Fail(report, kExitFailure,
                      "the call did not stop cleanly (StopTX " + std::to_string(tx) + ", StopRX " +
                          std::to_string(rx) + ")");
    }
    terminal.reset();  // writes the statistics report to the host log
  }
  AudioBackendSelector::Install(nullptr);
  if (eventFd >= 0) ::close(eventFd);

  if (report->times.callEnd == 0) report->times.callEnd = EpochMs();
  report->times.captureStarted = backend->CaptureOpened();
  report->times.playbackStarted = backend->PlaybackOpened();
  report->times.firstCaptureBuffer = backend->FirstCaptureRead();
  if (report->times.firstRtpReceived == 0) {
    report->times.firstRtpReceived = log_->FirstLineTime(kFirstDatagramLine);
  }
  if (!config.playback.FilePath().empty()) {
    report->times.firstPlaybackSample = backend->FirstPlaybackWrite();
  }
  const auto value = [&](const char* label, int64_t fallbackValue) {
    const int64_t v = log_->ReportValue(label);
    return v >= 0 ? v : fallbackValue;
  };
  report->totals.rtpRecvfrom = value("RTP recvfrom:", TrafficTotals::receivedBytes.load());
  report->totals.rtpSendto = value("RTP sendto:", TrafficTotals::sentBytes.load());
  report->totals.waveOut = value("RTP WaveOut:", TrafficTotals::playedBytes.load());
  report->totals.waveIn = value("RTP WaveIn:", TrafficTotals::capturedBytes.load());
  report->totals.g729Decomp = value("RTP G729 Decomp:", TrafficTotals::decoderCount.load());
  report->totals.g729Comp = value("RTP G729 Comp:", TrafficTotals::encoderCount.load());
  report->exitCode = exitCode;
  return exitCode;
}

}  // namespace tarsio::host
