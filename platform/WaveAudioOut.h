// A waveform playback device (the waveOut functions): open with a format and a callback, prepare
// and write buffers, reset, unprepare, close, and the output volume as two 16-bit channel levels
// (low word left, high word right). WOM_OPEN, WOM_DONE (parameter 1: the WAVEHDR) and WOM_CLOSE
// arrive on the device's own thread.
//
// Threading: see WaveAudioDevice. The volume calls go to the stream directly, under no lock of the
// device, so a slow mixer never holds up the device thread.
#pragma once

#include <memory>
#include <string>

#include "platform/WaveAudioDevice.h"

namespace tarsio {

class WaveAudioOut final : public WaveAudioDevice {
 public:
  /// waveOutOpen: MMSYSERR_NOERROR and the device in *out, or the backend's error code
  /// (MMSYSERR_NOMEM when no device thread could be started).
  /// timing: the device buffering wanted (default: the backend's own).
  static uint32_t Open(AudioBackend& backend, std::unique_ptr<WaveAudioOut>* out, int32_t deviceID,
                       const WAVEFORMATEX* format, Callback callback, uintptr_t instance,
                       const AudioBackend::StreamTiming& timing = {});
  static uint32_t GetNumDevs(AudioBackend& backend);
  static uint32_t GetDevName(AudioBackend& backend, int32_t deviceID, std::string* name);

  /// waveOutWrite.
  uint32_t Write(WAVEHDR* header, uint32_t size) { return Enqueue(header, size); }
  /// waveOutSetVolume / waveOutGetVolume (MMSYSERR_INVALHANDLE once closed).
  uint32_t SetVolume(uint32_t level);
  uint32_t GetVolume(uint32_t* level);

 private:
  using WaveAudioDevice::WaveAudioDevice;
};

}  // namespace tarsio
