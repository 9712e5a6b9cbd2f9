// Chooses the sound backend at run time.
//
// A backend is named by a text, from the environment variable TARSIO_AUDIO or from the host's
// call to Select:
//   alsa            ALSA, device -1 = ALSA's "default" PCM
//   alsa:NAME       ALSA, device -1 = the PCM NAME (e.g. alsa:plughw:CARD=PCH,DEV=0)
//   winmm           Windows only: the waveIn/waveOut devices (WinmmAudioBackend), the default there
//   null            paced silence in, paced discard out
//   file:capture=in.wav,playback=out.wav
//                   the microphone plays in.wav, the loudspeaker records into out.wav (either
//                   part may be left out: that direction is then silence / discard)
// Without TARSIO_AUDIO the default is ALSA when its "default" playback PCM opens, else the file
// backend without files (headless machines); on Windows it is winmm.
//
// The filters take the current backend when they open a device, so a change applies at the next
// start of a direction; devices already open keep the backend they opened on.
//
// Threading: every member may be called from any thread (one internal mutex).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/AudioBackend.h"

namespace tarsio {

class AudioBackendSelector {
 public:
  /// Makes a backend from a name as above; null with a reason in *error for an unknown name.
  static std::shared_ptr<AudioBackend> Create(const std::string& text, std::string* error);

  /// The backend in use: the last one selected or installed, else TARSIO_AUDIO's, else the
  /// default (made on first use).
  static std::shared_ptr<AudioBackend> Current();

  /// The host's call: makes the named backend current. False (and no change) for a bad name.
  static bool Select(const std::string& text, std::string* error);

  /// Makes a backend current (tests); null forgets the choice, so the next Current() reads the
  /// environment again.
  static void Install(std::shared_ptr<AudioBackend> backend);

  /// One line per device of the current backend, as a host lists them:
  /// "capture 0: <description>" / "playback 0: <description>".
  static std::vector<std::string> DeviceList();
};

}  // namespace tarsio
