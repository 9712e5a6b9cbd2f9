#include "tools/LoopbackCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tools/AudioClip.h"
#include "tools/CallCommand.h"
#include "tools/CallSession.h"
#include "tools/LoopbackAnalysis.h"
#include "tools/UdpPortProbe.h"

#ifndef TARSIO_SOURCE_DATA_DIR
#define TARSIO_SOURCE_DATA_DIR ""
#endif
#ifndef TARSIO_INSTALL_DATA_DIR
#define TARSIO_INSTALL_DATA_DIR ""
#endif

namespace tarsio::host {

namespace {

constexpr const char* kSpeechFile = "speech-8k.wav";
constexpr const char* kSpeechText =
    "Hello from Tarsio. This is a loopback call. One, two, three, four, five.";

}  // namespace

std::string LoopbackCommand::DefaultInput() {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (const char* dir = std::getenv("TARSIO_DATA_DIR"); dir != nullptr && dir[0] != '\0') {
    return (fs::path(dir) / kSpeechFile).string();
  }
  for (const char* dir : {TARSIO_SOURCE_DATA_DIR, TARSIO_INSTALL_DATA_DIR}) {
    if (dir[0] == '\0') continue;
    const fs::path path = fs::path(dir) / kSpeechFile;
    if (fs::exists(path, ec)) return path.string();
  }
  return (fs::path("data") / kSpeechFile).string();
}

std::string LoopbackCommand::DefaultOutput() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  return (dir / "tarsio-loopback.wav").string();
}

void LoopbackCommand::AddTo(CLI::App& app) {
  command_ = app.add_subcommand(
      "loopback", "Call yourself: a WAV file into the microphone, the loudspeaker into a WAV file");
  command_->add_option("--input", input_, "Microphone input, 8 kHz 16-bit mono WAV")
      ->type_name("WAV")
      ->default_str("data/speech-8k.wav");
  command_->add_option("--output", output_, "Loudspeaker recording")
      ->type_name("WAV")
      ->default_str(DefaultOutput());
  command_->add_option("--seconds", seconds_, "Call length (default: the input's length + 1 s)")
      ->type_name("S")
      ->check(CLI::Range(0.5, 3600.0));
  command_->add_option("--codec", codec_, "Codec: pcmu or pcma")
      ->check(CLI::IsMember({"pcmu", "pcma"}, CLI::ignore_case))
      ->capture_default_str();
  command_->add_option("--jitter", jitterMs_, "Jitter allowance, ms")
      ->type_name("MS")
      ->check(CLI::Range(0, 2000))
      ->capture_default_str();
  CallCommand::AddReceiveOption(*command_, &receive_);
  command_->add_option("--log", log_, "Write the host log to FILE")->type_name("FILE");
  command_->add_option("--report", report_, "Write a JSON call report to FILE")->type_name("FILE");
  command_->add_flag("--verbose,-v", verbose_, "Show the host log on stderr");
}

bool LoopbackCommand::Selected() const { return command_ != nullptr && command_->parsed(); }

void LoopbackCommand::PrintDelayBreakdown(const CallReport& report, double mouthToEarMs) {
  // The microphone frame: its first sample waits a whole frame before the frame is sent.
  constexpr int kCaptureFrameMs = 20;
  const auto stage = [](const CallReport::StageDelay& d) {
    return d.medianMs < 0 ? 0 : d.medianMs;
  };
  std::printf("Receive mode: %s\n", report.receiveMode.c_str());
  if (report.jitterBufferDelay.medianMs < 0) {
    std::printf(
        "Delay by stage (median): playback queue %d ms, device %d ms (the classic mode does not "
        "time its ring and jitter buffer)\n",
        stage(report.playbackQueueDelay), stage(report.deviceDelay));
    return;
  }
  const int sum = kCaptureFrameMs + stage(report.networkDelay) + stage(report.jitterBufferDelay) +
                  stage(report.playbackQueueDelay) + stage(report.deviceDelay);
  std::printf(
      "Delay by stage (median): capture frame %d + network jitter %d + jitter buffer %d + "
      "playback queue %d + device %d = %d ms; cross-correlated %.1f ms (difference %+.1f ms)\n",
      kCaptureFrameMs, stage(report.networkDelay), stage(report.jitterBufferDelay),
      stage(report.playbackQueueDelay), stage(report.deviceDelay), sum, mouthToEarMs,
      mouthToEarMs - sum);
  if (report.receiveStats) {
    const CallReport::ReceiveStats& s = *report.receiveStats;
    std::printf(
        "Playout: %llu frames of audio, %llu concealed, %llu of silence; %llu late packets "
        "dropped; %llu ms removed and %llu ms added by time-scaling\n",
        static_cast<unsigned long long>(s.framesPlayed),
        static_cast<unsigned long long>(s.framesConcealed),
        static_cast<unsigned long long>(s.framesSilence),
        static_cast<unsigned long long>(s.latePackets),
        static_cast<unsigned long long>(s.acceleratedMs),
        static_cast<unsigned long long>(s.expandedMs));
  }
}

int LoopbackCommand::Run(const std::atomic<bool>& stop) {
  const auto fail = [](int code, const std::string& message) {
    std::fprintf(stderr, "tarsio loopback: %s\n", message.c_str());
    return code;
  };
  const bool defaultInput = input_.empty();
  const std::string input = defaultInput ? DefaultInput() : input_;
  const std::string output = output_.empty() ? DefaultOutput() : output_;
  std::string error;

  AudioClip inputClip;
  if (!AudioClip::Load(input, &inputClip, &error)) {
    return fail(CallSession::kExitFailure, "cannot read input file: " + error);
  }
  CallReport report;
  report.command = "loopback";
  report.receiveMode = CLI::detail::to_lower(receive_);
  const uint16_t port = UdpPortProbe::FindFreePair();
  if (port == 0) return fail(CallSession::kExitFailure, "no free local UDP port pair found");

  CallConfig config;
  config.localPort = port;
  config.remoteHost = "127.0.0.1";
  config.remotePort = port;
  config.txCodec = CLI::detail::to_lower(codec_) == "pcma" ? 2 : 4;
  config.rxCodec = 0;
  config.jitterMs = jitterMs_;
  config.lowLatencyReceive = CLI::detail::to_lower(receive_) == "low-latency";
  config.captureName = "file:" + input;
  config.playbackName = "file:" + output;
  if (!DeviceChoice::Parse(config.captureName, AudioDirection::kCapture, &config.capture, &error) ||
      !DeviceChoice::Parse(config.playbackName, AudioDirection::kPlayback, &config.playback,
                           &error)) {
    return fail(CallSession::kExitUsage, error);
  }
  config.durationSeconds = seconds_ > 0 ? seconds_ : std::ceil(inputClip.Seconds()) + 1.0;

  ConsoleHostLog log;
  if (!log_.empty()) {
    if (!log.OpenFile(log_, &error)) return fail(CallSession::kExitFailure, error);
  } else if (!verbose_) {
    log.SetQuiet(true);
  }
  const bool interactive = ::isatty(STDOUT_FILENO) == 1;
  StatusLine status(stdout, interactive);
  log.SetBeforeWrite([&status](bool toTerminal) {
    if (toTerminal) status.Clear();
  });
  std::printf("Loopback call: %s -> %s over RTP on 127.0.0.1:%u -> %s, %.1f s, %s receive\n",
              input.c_str(), config.txCodec == 2 ? "PCMA" : "PCMU", port, output.c_str(),
              config.durationSeconds, report.receiveMode.c_str());
  std::fflush(stdout);

  CallSession session(&log, interactive ? &status : nullptr);
  int code = session.Run(config, stop, &report);
  log.SetBeforeWrite(nullptr);
  if (code != CallSession::kExitOk) {
    fail(code, report.error);
  } else {
    std::printf("\nStatistics report of the terminal:\n");
    for (const std::string& line : log.StatisticsReport()) std::printf("  %s\n", line.c_str());

    AudioClip outputClip;
    LoopbackResult r;
    if (!AudioClip::Load(output, &outputClip, &error)) {
      code = fail(CallSession::kExitFailure, "cannot read the recording: " + error);
    } else {
      const double offsetMs =
          static_cast<double>(report.times.firstPlaybackSample - report.times.firstCaptureBuffer);
      r = LoopbackAnalysis::Analyse(inputClip, outputClip, offsetMs);
      if (!r.Carried()) {
        code = fail(CallSession::kExitFailure, "the recording does not carry the input (found " +
                                                   std::to_string(r.windowDelaysMs.size()) +
                                                   " of " + std::to_string(r.speechWindows) +
                                                   " half-seconds of speech)");
      } else {
        report.mouthToEarMs = r.delayMs;
        std::printf(
            "\nMouth-to-ear delay: %.1f ms (median of %zu of %zu half-seconds of speech "
            "found; %.1f .. %.1f ms)\n",
            r.delayMs, r.windowDelaysMs.size(), r.speechWindows, r.minDelayMs, r.maxDelayMs);
        std::printf("Frames played as silence while the input spoke: %zu of %zu\n", r.silentFrames,
                    r.speechFrames);
        PrintDelayBreakdown(report, r.delayMs);
      }
    }
    std::printf("\nRecording: %s (%.1f s, 8 kHz 16-bit mono)\n", output.c_str(),
                outputClip.Seconds());
    if (code == CallSession::kExitOk) {
      std::printf("Listen to it, e.g. with: aplay %s\n", output.c_str());
      if (defaultInput) {
        std::printf("You should hear the speech sample saying \"%s\",\n", kSpeechText);
      } else {
        std::printf("You should hear %s,\n", input.c_str());
      }
      std::printf(
          "each word %.2f to %.2f s after it went into the microphone (the receive side may\n"
          "shorten the pauses), in telephone quality: G.711 %s at 8 kHz, through the jitter\n"
          "buffer, the automatic gain and the limiter.\n",
          r.minDelayMs / 1000.0, r.maxDelayMs / 1000.0, config.txCodec == 2 ? "A-law" : "µ-law");
    }
  }
  report.exitCode = code;
  if (!report_.empty() && !report.WriteFile(report_, &error)) {
    return fail(CallSession::kExitFailure, error);
  }
  return code;
}

}  // namespace tarsio::host
