#include "platform/WaveAudioOut.h"

namespace tarsio {

uint32_t WaveAudioOut::Open(AudioBackend& backend, std::unique_ptr<WaveAudioOut>* out,
                            int32_t deviceID, const WAVEFORMATEX* format, Callback callback,
                            uintptr_t instance, const AudioBackend::StreamTiming& timing) {
  if (out == nullptr || format == nullptr) return mmsys::kInvalidParam;
  out->reset();
  std::unique_ptr<AudioBackend::Stream> stream;
  const uint32_t result =
      backend.OpenTimed(AudioDirection::kPlayback, deviceID, *format, timing, &stream);
  if (result != mmsys::kNoError) return result;
  if (!stream) return mmsys::kError;
  std::unique_ptr<WaveAudioOut> device(
      new WaveAudioOut(AudioDirection::kPlayback, std::move(stream), *format, callback, instance));
  device->SetStarted(true);
  if (!device->Launch()) return mmsys::kNoMemory;
  *out = std::move(device);
  return mmsys::kNoError;
}

uint32_t WaveAudioOut::GetNumDevs(AudioBackend& backend) {
  return static_cast<uint32_t>(backend.Devices(AudioDirection::kPlayback).size());
}

uint32_t WaveAudioOut::GetDevName(AudioBackend& backend, int32_t deviceID, std::string* name) {
  const auto devices = backend.Devices(AudioDirection::kPlayback);
  if (deviceID < 0 || static_cast<size_t>(deviceID) >= devices.size()) {
    return mmsys::kBadDeviceId;
  }
  *name = devices[static_cast<size_t>(deviceID)].description;
  return mmsys::kNoError;
}

uint32_t WaveAudioOut::SetVolume(uint32_t level) {
  if (IsClosed()) return mmsys::kInvalidHandle;
  return GetStream().SetVolume(level);
}

uint32_t WaveAudioOut::GetVolume(uint32_t* level) {
  if (level == nullptr) return mmsys::kInvalidParam;
  if (IsClosed()) return mmsys::kInvalidHandle;
  return GetStream().GetVolume(level);
}

}  // namespace tarsio
