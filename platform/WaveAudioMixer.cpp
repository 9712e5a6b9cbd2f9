#include "platform/WaveAudioMixer.h"

#include <cstring>

namespace tarsio {

WaveAudioMixer::WaveAudioMixer(std::shared_ptr<AudioBackend::Stream> stream,
                               std::vector<AudioMixerLine> lines)
    : stream_(std::move(stream)), lines_(std::move(lines)) {}

uint32_t WaveAudioMixer::Open(std::unique_ptr<WaveAudioMixer>* out, WaveAudioIn* device) {
  if (out == nullptr) return mmsys::kInvalidParam;
  out->reset();
  if (device == nullptr || device->IsClosed()) return mmsys::kInvalidHandle;
  std::shared_ptr<AudioBackend::Stream> stream = device->SharedStream();
  std::vector<AudioMixerLine> lines = stream->MixerLines();
  if (lines.empty()) return mmsys::kNoDriver;
  out->reset(new WaveAudioMixer(std::move(stream), std::move(lines)));
  return mmsys::kNoError;
}

void WaveAudioMixer::Fill(uint32_t index, MixerLine* line) const {
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

uint32_t WaveAudioMixer::GetLineInfoByComponentType(MixerLine* line) {
  if (line == nullptr) return mmsys::kInvalidParam;
  // Only the destination can be found by type (a source is read by its index).
  if (lines_[0].componentType != line->dwComponentType) return mmsys::kMixerInvalidLine;
  Fill(0, line);
  return mmsys::kNoError;
}

uint32_t WaveAudioMixer::GetLineInfoBySource(MixerLine* line) {
  if (line == nullptr) return mmsys::kInvalidParam;
  if (line->dwDestination != 0 || line->dwSource + 1 >= lines_.size())
    return mmsys::kMixerInvalidLine;
  Fill(line->dwSource + 1, line);
  return mmsys::kNoError;
}

uint32_t WaveAudioMixer::GetLineControlByType(uint32_t lineID, uint32_t controlType,
                                              MixerControl* control) {
  if (control == nullptr) return mmsys::kInvalidParam;
  if (lineID >= lines_.size()) return mmsys::kMixerInvalidLine;
  const AudioMixerLine& line = lines_[lineID];
  if (controlType == mixer::kControlVolume && line.hasVolume) {
    *control = MixerControl{lineID * 2, controlType, 0, 65535};
    return mmsys::kNoError;
  }
  if (controlType == mixer::kControlMute && line.hasMute) {
    *control = MixerControl{lineID * 2 + 1, controlType, 0, 1};
    return mmsys::kNoError;
  }
  return mmsys::kMixerInvalidControl;
}

uint32_t WaveAudioMixer::GetControlValue(uint32_t controlID, uint32_t* value) {
  if (value == nullptr) return mmsys::kInvalidParam;
  if (stream_ == nullptr) return mmsys::kInvalidHandle;
  const uint32_t line = controlID / 2;
  if (line >= lines_.size()) return mmsys::kMixerInvalidControl;
  const uint32_t type = (controlID & 1) ? mixer::kControlMute : mixer::kControlVolume;
  return stream_->GetMixerValue(line, type, value);
}

uint32_t WaveAudioMixer::SetControlValue(uint32_t controlID, uint32_t value) {
  if (stream_ == nullptr) return mmsys::kInvalidHandle;
  const uint32_t line = controlID / 2;
  if (line >= lines_.size()) return mmsys::kMixerInvalidControl;
  const uint32_t type = (controlID & 1) ? mixer::kControlMute : mixer::kControlVolume;
  return stream_->SetMixerValue(line, type, value);
}

uint32_t WaveAudioMixer::Close() {
  stream_.reset();
  lines_.clear();
  lines_.push_back({});
  return mmsys::kNoError;
}

}  // namespace tarsio
