// Compares what went into a call's microphone with what its loudspeaker recorded: the
// mouth-to-ear delay over the whole call and per half second of speech, and how many of the frames
// played while the sender was speaking came out as digital silence (frames the receive side
// inserted or concealed because no packet was there to play).
//
// Delays are times: the lag found in the recordings plus the clock offset between the two files'
// first samples (the call report's first_playback_sample - first_capture_buffer), so they do not
// depend on which device started first.
//
// Threading: stateless; any thread.
#pragma once

#include <cstddef>
#include <vector>

#include "tools/AudioClip.h"
#include "tools/DelayEstimator.h"

namespace tarsio::host {

struct LoopbackResult {
  DelayEstimate overall;  // one lag for the whole call, in samples: output index - input index
  // Mouth to ear: the median over the windows of speech that were found in the recording (the
  // receive side may close up pauses, so the delay can move during a call), else the overall lag.
  double delayMs = 0.0;
  std::vector<double> windowDelaysMs;  // per half second of speech (quarter-second hops)
  size_t speechWindows = 0;            // windows loud enough to be looked for
  double minDelayMs = 0.0;
  double maxDelayMs = 0.0;
  double stddevDelayMs = 0.0;
  size_t speechFrames = 0;  // 20 ms output frames whose input frame held speech
  size_t silentFrames = 0;  // ... of which the output was digital silence
  /// Whether the recording carries the input: at least half of its speech windows were found.
  bool Carried() const { return speechWindows > 0 && 2 * windowDelaysMs.size() >= speechWindows; }
  double SilentFraction() const {
    return speechFrames == 0 ? 0.0 : static_cast<double>(silentFrames) / speechFrames;
  }
};

class LoopbackAnalysis {
 public:
  /// clockOffsetMs: time of the output file's first sample minus that of the input's. Lags are
  /// searched from -1 s to maxDelayMs.
  static LoopbackResult Analyse(const AudioClip& input, const AudioClip& output,
                                double clockOffsetMs, int maxDelayMs = 3000);
};

}  // namespace tarsio::host
