// A waveform capture device (the waveIn functions): open with a format and a callback, prepare and
// add buffers, start, reset, unprepare, close. WIM_OPEN, WIM_DATA (parameter 1: the WAVEHDR, with
// dwBytesRecorded set) and WIM_CLOSE arrive on the device's own thread.
//
// Threading: see WaveAudioDevice.
#pragma once

#include <memory>
#include <string>

#include "platform/WaveAudioDevice.h"

namespace tarsio {

class WaveAudioIn final : public WaveAudioDevice {
 public:
  /// waveInOpen: MMSYSERR_NOERROR and the device in *out, or the backend's error code
  /// (MMSYSERR_NOMEM when no device thread could be started).
  static uint32_t Open(AudioBackend& backend, std::unique_ptr<WaveAudioIn>* out, int32_t deviceID,
                       const WAVEFORMATEX* format, Callback callback, uintptr_t instance);
  /// waveInGetNumDevs.
  static uint32_t GetNumDevs(AudioBackend& backend);
  /// The device's name (waveInGetDevCaps' szPname); MMSYSERR_BADDEVICEID for an unknown id.
  static uint32_t GetDevName(AudioBackend& backend, int32_t deviceID, std::string* name);

  /// waveInAddBuffer.
  uint32_t AddBuffer(WAVEHDR* header, uint32_t size) { return Enqueue(header, size); }
  /// waveInStart.
  uint32_t Start();

 private:
  using WaveAudioDevice::WaveAudioDevice;
};

}  // namespace tarsio
