// Whether a recording of the loudspeaker carries the speech that was played into the call: the
// half-second windows of speech found in the recording (at any delay up to 20 s: the recording
// starts with the host program, before the call), and the 20 ms frames of speech that came out as
// digital silence. Passes when at least 90 % of the windows are found and at most 10 % of the
// frames are silent.
//
// Usage: LoopbackCheck INPUT.wav RECORDING.wav   exit status 0 (carried), 1 (not), 2 (unreadable)
#include <cstdio>
#include <string>

#include "tools/AudioClip.h"
#include "tools/LoopbackAnalysis.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: LoopbackCheck INPUT.wav RECORDING.wav\n");
    return 2;
  }
  tarsio::host::AudioClip input;
  tarsio::host::AudioClip recording;
  std::string error;
  for (auto [path, clip] : {std::pair{argv[1], &input}, std::pair{argv[2], &recording}}) {
    if (!tarsio::host::AudioClip::Load(path, clip, &error)) {
      std::printf("%s: %s\n", path, error.c_str());
      return 2;
    }
  }
  const tarsio::host::LoopbackResult r =
      tarsio::host::LoopbackAnalysis::Analyse(input, recording, 0.0, 20000);
  const size_t found = r.windowDelaysMs.size();
  std::printf("speech windows found: %zu of %zu; delay %.0f ms; silent speech frames: %zu of %zu\n",
              found, r.speechWindows, r.delayMs, r.silentFrames, r.speechFrames);
  const bool carried = r.speechWindows > 0 && 10 * found >= 9 * r.speechWindows &&
                       10 * r.silentFrames <= r.speechFrames;
  std::printf("%s\n", carried ? "LoopbackCheck: carried" : "LoopbackCheck: NOT carried");
  return carried ? 0 : 1;
}
