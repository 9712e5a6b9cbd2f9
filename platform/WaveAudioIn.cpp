#include "platform/WaveAudioIn.h"

namespace tarsio {

uint32_t WaveAudioIn::Open(AudioBackend& backend, std::unique_ptr<WaveAudioIn>* out,
                           int32_t deviceID, const WAVEFORMATEX* format, Callback callback,
                           uintptr_t instance) {
  if (out == nullptr || format == nullptr) return mmsys::kInvalidParam;
  out->reset();
  std::unique_ptr<AudioBackend::Stream> stream;
  const uint32_t result = backend.Open(AudioDirection::kCapture, deviceID, *format, &stream);
  if (result != mmsys::kNoError) return result;
  if (!stream) return mmsys::kError;
  std::unique_ptr<WaveAudioIn> device(
      new WaveAudioIn(AudioDirection::kCapture, std::move(stream), *format, callback, instance));
  if (!device->Launch()) return mmsys::kNoMemory;
  *out = std::move(device);
  return mmsys::kNoError;
}

uint32_t WaveAudioIn::GetNumDevs(AudioBackend& backend) {
  return static_cast<uint32_t>(backend.Devices(AudioDirection::kCapture).size());
}

uint32_t WaveAudioIn::GetDevName(AudioBackend& backend, int32_t deviceID, std::string* name) {
  const auto devices = backend.Devices(AudioDirection::kCapture);
  if (deviceID < 0 || static_cast<size_t>(deviceID) >= devices.size()) {
    return mmsys::kBadDeviceId;
  }
  *name = devices[static_cast<size_t>(deviceID)].description;
  return mmsys::kNoError;
}

uint32_t WaveAudioIn::Start() {
  if (IsClosed()) return mmsys::kInvalidHandle;
  SetStarted(true);
  return mmsys::kNoError;
}

}  // namespace tarsio
