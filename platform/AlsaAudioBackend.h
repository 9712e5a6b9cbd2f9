// The sound backend of real sound cards: ALSA PCM devices (on desktops, PulseAudio and PipeWire
// through their ALSA plugins).
//
// The device buffers 100 ms unless OpenTimed asks for periods of a call's frame. Write
// measures the output latency (snd_pcm_delay) after each buffer.
//
// Device -1 is the PCM named at construction (ALSA's "default" unless given otherwise); devices
// 0, 1, ... are the capture or playback PCMs that ALSA's device hints list, in hint order ("null"
// left out). Streams run the PCM non-blocking and wait in 50 ms polls, so an interrupt is seen
// within 50 ms and a device that delivers or accepts nothing for 2 s fails the call
// (MMSYSERR_ERROR) instead of hanging; over- and underruns are recovered silently. Drop and close
// run on a helper thread and are abandoned after 1 s (the pulse plugin waits for a frozen server
// without a limit): the stream then counts as gone, its Reset and Close succeed at once, and the
// helper closes the PCM if the call ever returns.
//
// Volumes go to ALSA's simple mixer of the device's card ("hw:CARD=x" for hw/plughw/sysdefault
// names, else the "default" control device): output volume to "Master" (else "PCM", else the first
// element with a playback volume); the capture mixer's destination is the "Capture" element (else
// the first capture element that is not a microphone), its sources the elements with a capture
// volume whose name contains "Mic" (microphone lines) and the other capture elements (undefined
// lines). Without a usable mixer the stream reports no lines and MMSYSERR_NOTSUPPORTED for volume.
//
// Built without ALSA (TARSIO_HAVE_ALSA unset) it lists no devices and fails every open with
// MMSYSERR_NODRIVER.
//
// Threading: the backend is stateless; a stream's PCM is used by the device thread (Read/Write)
// and by Reset/Close only while no Read/Write runs (the device model ensures that); the mixer is
// guarded by its own mutex.
#pragma once

#include <string>

#include "platform/AudioBackend.h"

namespace tarsio {

class AlsaAudioBackend final : public AudioBackend {
 public:
  /// Longest time a Read/Write waits without any progress of the device.
  static constexpr uint32_t kStallMs = 2000;

  explicit AlsaAudioBackend(std::string defaultPcm = "default");

  std::string Name() const override { return "alsa"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection direction) override;
  /// Opens with 100 ms of device buffering.
  uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override;
  /// Opens asking ALSA for the given period time and count (the nearest the device offers), so
  /// that a low-latency call's device buffering matches its frames; no hint: as Open.
  uint32_t OpenTimed(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                     const StreamTiming& timing, std::unique_ptr<Stream>* out) override;

  const std::string& DefaultPcm() const { return defaultPcm_; }

 private:
  const std::string defaultPcm_;
};

}  // namespace tarsio
