// Measures loopback calls: one media terminal sends to its own port for N seconds, the file sound
// backend plays speech (the shipped sample, repeated) into the microphone and records the
// loudspeaker. Reports the mouth-to-ear delay (median over half-second windows of speech, and its
// spread), the fraction of the frames played while the input spoke that came out as digital
// silence (inserted or concealed), and the process's CPU time (user + system, getrusage) per
// second of call.
//
//   loopback_delay [--seconds N] [--codec pcmu|pcma] [--jitter MS] [--receive low-latency|classic]
//                  [--input WAV] [--keep DIR]
//
// A plain program rather than a Google Benchmark: one call is one measurement, in real time.
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tools/AudioClip.h"
#include "tools/CallSession.h"
#include "tools/LoopbackAnalysis.h"
#include "tools/LoopbackCommand.h"
#include "tools/UdpPortProbe.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int Usage() {
  std::fprintf(stderr,
               "usage: loopback_delay [--seconds N] [--codec pcmu|pcma] [--jitter MS] "
               "[--receive low-latency|classic] [--input WAV] [--keep DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarsio::host;
  double seconds = 20.0;
  std::string codec = "pcmu";
  uint32_t jitterMs = 60;
  bool lowLatency = true;
  std::string input = LoopbackCommand::DefaultInput();
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--seconds") {
      seconds = std::atof(value.c_str());
    } else if (arg == "--codec" && (value == "pcmu" || value == "pcma")) {
      codec = value;
    } else if (arg == "--jitter") {
      jitterMs = static_cast<uint32_t>(std::atoi(value.c_str()));
    } else if (arg == "--receive" && (value == "low-latency" || value == "classic")) {
      lowLatency = value == "low-latency";
    } else if (arg == "--input") {
      input = value;
    } else if (arg == "--keep") {
      keep = value;
    } else {
      return Usage();
    }
  }
  if (seconds < 1.0) return Usage();

  std::string error;
  AudioClip speech;
  if (!AudioClip::Load(input, &speech, &error)) {
    std::fprintf(stderr, "loopback_delay: %s\n", error.c_str());
    return 1;
  }
  namespace fs = std::filesystem;
  const fs::path dir =
      keep.empty() ? fs::temp_directory_path() / ("loopback_delay-" + std::to_string(::getpid()))
                   : fs::path(keep);
  fs::create_directories(dir);
  const std::string inPath = (dir / "in.wav").string();
  const std::string outPath = (dir / "out.wav").string();
  const AudioClip in = speech.RepeatedTo(seconds);
  if (!in.Save(inPath, &error)) {
    std::fprintf(stderr, "loopback_delay: %s\n", error.c_str());
    return 1;
  }

  CallConfig config;
  config.localPort = config.remotePort = UdpPortProbe::FindFreePair();
  config.txCodec = codec == "pcma" ? 2 : 4;
  config.rxCodec = 0;
  config.jitterMs = jitterMs;
  config.lowLatencyReceive = lowLatency;
  config.durationSeconds = seconds + 1.0;  // room for the delayed tail
  DeviceChoice::Parse("file:" + inPath, tarsio::AudioDirection::kCapture, &config.capture, &error);
  DeviceChoice::Parse("file:" + outPath, tarsio::AudioDirection::kPlayback, &config.playback,
                      &error);
  ConsoleHostLog log;
  log.SetQuiet(true);
  CallSession session(&log, nullptr);
  CallReport report;
  std::atomic<bool> stop{false};
  const double cpuBefore = CpuSeconds();
  const int code = session.Run(config, stop, &report);
  const double cpu = CpuSeconds() - cpuBefore;
  if (code != 0) {
    std::fprintf(stderr, "loopback_delay: %s\n", report.error.c_str());
    return code;
  }
  const double callSeconds = (report.times.callEnd - report.times.callStart) / 1000.0;

  AudioClip out;
  if (!AudioClip::Load(outPath, &out, &error)) {
    std::fprintf(stderr, "loopback_delay: %s\n", error.c_str());
    return 1;
  }
  const LoopbackResult r = LoopbackAnalysis::Analyse(
      in, out,
      static_cast<double>(report.times.firstPlaybackSample - report.times.firstCaptureBuffer));
  std::printf("loopback call: %.1f s of speech, %s, jitter %u ms, %s receive, call %.1f s\n",
              seconds, codec.c_str(), jitterMs, report.receiveMode.c_str(), callSeconds);
  std::printf(
      "mouth-to-ear delay: median %.1f ms, min %.1f, max %.1f, stddev %.1f ms "
      "(%zu of %zu half-second windows of speech found)\n",
      r.delayMs, r.minDelayMs, r.maxDelayMs, r.stddevDelayMs, r.windowDelaysMs.size(),
      r.speechWindows);
  std::printf("played as silence while the input spoke: %.1f %% (%zu of %zu frames)\n",
              100.0 * r.SilentFraction(), r.silentFrames, r.speechFrames);
  std::printf("CPU (user+system): %.1f ms per second of call (%.3f s over %.1f s)\n",
              1000.0 * cpu / callSeconds, cpu, callSeconds);
  std::printf("RTP sent %lld bytes, played %lld bytes, captured %lld bytes\n",
              static_cast<long long>(report.totals.rtpSendto),
              static_cast<long long>(report.totals.waveOut),
              static_cast<long long>(report.totals.waveIn));
  if (keep.empty()) fs::remove_all(dir);
  return r.Carried() ? 0 : 1;
}
