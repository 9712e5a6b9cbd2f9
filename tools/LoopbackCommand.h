// `tarsio loopback`: the demonstration call on built-in defaults. One terminal sends to its own
// port; the file sound backend plays a WAV file into the microphone (by default the speech sample
// shipped in data/) and records the loudspeaker into another (by default
// $TMPDIR/tarsio-loopback.wav, /tmp when TMPDIR is unset). At the end it prints the statistics
// report, the mouth-to-ear delay found by cross-correlating the two files, and where the
// recording is.
//
// Threading: Run blocks the main thread for the call; stop may be set by a signal handler.
#pragma once

#include <atomic>
#include <string>

namespace CLI {
class App;
}

namespace tarsio::host {

class CallReport;

class LoopbackCommand {
 public:
  void AddTo(CLI::App& app);
  bool Selected() const;
  int Run(const std::atomic<bool>& stop);

  /// The shipped speech sample: $TARSIO_DATA_DIR/speech-8k.wav, else the source tree's data/,
  /// else the installed share/tarsio/.
  static std::string DefaultInput();
  /// $TMPDIR/tarsio-loopback.wav (/tmp when TMPDIR is unset).
  static std::string DefaultOutput();

 private:
  /// The receive delay by stage next to the cross-correlated mouth-to-ear delay.
  static void PrintDelayBreakdown(const CallReport& report, double mouthToEarMs);

  CLI::App* command_ = nullptr;
  std::string input_;
  std::string output_;
  double seconds_ = 0.0;
  std::string codec_ = "pcmu";
  uint32_t jitterMs_ = 60;
  std::string receive_ = "low-latency";
  std::string log_;
  std::string report_;
  bool verbose_ = false;
};

}  // namespace tarsio::host
