// The capture mixer of an open capture device (the mixer functions, opened with
// MIXER_OBJECTF_HWAVEIN): one destination line of type MIXERLINE_COMPONENTTYPE_DST_WAVEIN whose
// sources are microphone or undefined lines, each with optional volume (0..65535) and mute (0/1)
// controls. Line ids are 0 for the destination and 1.. for its sources; control ids are
// line id * 2 (volume) and line id * 2 + 1 (mute).
//
// The mixer shares its device's stream (WaveAudioDevice::SharedStream), so it stays safe to use
// while or after its device closes: the calls then reach a closed stream and fail or change
// nothing. A caller can therefore open and walk it without holding any lock that guards the
// device handle.
//
// Threading: a mixer is used by one thread at a time; its calls go to the stream under no lock of
// the device.
#pragma once

#include <memory>
#include <vector>

#include "platform/AudioBackend.h"
#include "platform/WaveAudioIn.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio {

class WaveAudioMixer {
 public:
  /// mixerOpen: MMSYSERR_NODRIVER when the device has no mixer.
  static uint32_t Open(std::unique_ptr<WaveAudioMixer>* out, WaveAudioIn* device);

  /// mixerGetLineInfo with MIXER_GETLINEINFOF_COMPONENTTYPE (line->dwComponentType set).
  uint32_t GetLineInfoByComponentType(MixerLine* line);
  /// mixerGetLineInfo with MIXER_GETLINEINFOF_SOURCE (line->dwDestination and dwSource set).
  uint32_t GetLineInfoBySource(MixerLine* line);
  /// mixerGetLineControls with MIXER_GETLINECONTROLSF_ONEBYTYPE.
  uint32_t GetLineControlByType(uint32_t lineID, uint32_t controlType, MixerControl* control);
  /// mixerGetControlDetails / mixerSetControlDetails, MIXER_*CONTROLDETAILSF_VALUE, one channel.
  uint32_t GetControlValue(uint32_t controlID, uint32_t* value);
  uint32_t SetControlValue(uint32_t controlID, uint32_t value);
  /// mixerClose.
  uint32_t Close();

 private:
  WaveAudioMixer(std::shared_ptr<AudioBackend::Stream> stream, std::vector<AudioMixerLine> lines);
  void Fill(uint32_t index, MixerLine* line) const;

  std::shared_ptr<AudioBackend::Stream> stream_;  // null once closed
  std::vector<AudioMixerLine> lines_;
};

}  // namespace tarsio
