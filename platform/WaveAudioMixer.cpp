#include "platform/WaveAudioMixer.h"

#include <cstring>

namespace tarsio {

WaveAudioMixer::WaveAudioMixer(std::shared_ptr<AudioBackend::Stream> stream,
                               std::vector<AudioMixerLine> lines)
    : stream_(std::move(stream)), lines_(std::move(lines)) {}

uint32_t WaveAudioMixer::Open(std::unique_ptr<WaveAudioMixer>* out, WaveAudioIn* device) {
  if (out == nullptr) return MMSYSERR_INVALPARAM;
  out->reset();
  if (device == nullptr || device->IsClosed()) return MMSYSERR_INVALHANDLE;
  std::shared_ptr<AudioBackend::Stream> stream = device->SharedStream();
  std::vector<AudioMixerLine> lines = stream->MixerLines();
  if (lines.empty()) return MMSYSERR_NODRIVER;
  out->reset(new WaveAudioMixer(std::move(stream), std::move(lines)));
  return MMSYSERR_NOERROR;
}

void WaveAudioMixer::Fill(uint32_t index, MIXERLINE* line) const {
  const AudioMixerLine& src = lines_[index];
  line->dwDestination = 0;
  line->dwSource = index == 0 ? 0 : index - 1;
  line->dwLineID = index;
  line->dwComponentType = src.componentType;
  line->cConnections = index == 0 ? static_cast<uint32_t>(lines_.size() - 1) : 0;
  line->cControls = (src.hasVolume ? 1u : 0u) + (src.hasMute ? 1u : 0u);
  std::strncpy(line->szName, src.name.c_str(), sizeof(line->szName) - 1);
  line->szName[sizeof(line->szName) - 1] = '\0';
}

uint32_t WaveAudioMixer::GetLineInfoByComponentType(MIXERLINE* line) {
  if (line == nullptr) return MMSYSERR_INVALPARAM;
  // Only the destination can be found by type (a source is read by its index).
  if (lines_[0].componentType != line->dwComponentType) return MIXERR_INVALLINE;
  Fill(0, line);
  return MMSYSERR_NOERROR;
}

uint32_t WaveAudioMixer::GetLineInfoBySource(MIXERLINE* line) {
  if (line == nullptr) return MMSYSERR_INVALPARAM;
  if (line->dwDestination != 0 || line->dwSource + 1 >= lines_.size()) return MIXERR_INVALLINE;
  Fill(line->dwSource + 1, line);
  return MMSYSERR_NOERROR;
}

uint32_t WaveAudioMixer::GetLineControlByType(uint32_t lineID, uint32_t controlType,
                                              MIXERCONTROL* control) {
  if (control == nullptr) return MMSYSERR_INVALPARAM;
  if (lineID >= lines_.size()) return MIXERR_INVALLINE;
  const AudioMixerLine& line = lines_[lineID];
  if (controlType == MIXERCONTROL_CONTROLTYPE_VOLUME && line.hasVolume) {
    *control = MIXERCONTROL{lineID * 2, controlType, 0, 65535};
    return MMSYSERR_NOERROR;
  }
  if (controlType == MIXERCONTROL_CONTROLTYPE_MUTE && line.hasMute) {
    *control = MIXERCONTROL{lineID * 2 + 1, controlType, 0, 1};
    return MMSYSERR_NOERROR;
  }
  return MIXERR_INVALCONTROL;
}

uint32_t WaveAudioMixer::GetControlValue(uint32_t controlID, uint32_t* value) {
  if (value == nullptr) return MMSYSERR_INVALPARAM;
  if (stream_ == nullptr) return MMSYSERR_INVALHANDLE;
  const uint32_t line = controlID / 2;
  if (line >= lines_.size()) return MIXERR_INVALCONTROL;
  const uint32_t type =
      (controlID & 1) ? MIXERCONTROL_CONTROLTYPE_MUTE : MIXERCONTROL_CONTROLTYPE_VOLUME;
  return stream_->GetMixerValue(line, type, value);
}

uint32_t WaveAudioMixer::SetControlValue(uint32_t controlID, uint32_t value) {
  if (stream_ == nullptr) return MMSYSERR_INVALHANDLE;
  const uint32_t line = controlID / 2;
  if (line >= lines_.size()) return MIXERR_INVALCONTROL;
  const uint32_t type =
      (controlID & 1) ? MIXERCONTROL_CONTROLTYPE_MUTE : MIXERCONTROL_CONTROLTYPE_VOLUME;
  return stream_->SetMixerValue(line, type, value);
}

uint32_t WaveAudioMixer::Close() {
  stream_.reset();
  lines_.clear();
  lines_.push_back({});
  return MMSYSERR_NOERROR;
}

}  // namespace tarsio
