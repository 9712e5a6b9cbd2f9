#include "platform/AlsaAudioBackend.h"

#include "platform/Thread.h"
#include "platform/WaveAudioTypes.h"

#ifdef TARSIO_HAVE_ALSA
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#endif

namespace tarsio {

AlsaAudioBackend::AlsaAudioBackend(std::string defaultPcm) : defaultPcm_(std::move(defaultPcm)) {}

#ifndef TARSIO_HAVE_ALSA

std::vector<AudioDeviceInfo> AlsaAudioBackend::Devices(AudioDirection) { return {}; }

uint32_t AlsaAudioBackend::Open(AudioDirection, int32_t, const WAVEFORMATEX&,
                                std::unique_ptr<Stream>*) {
  return mmsys::kNoDriver;
}

uint32_t AlsaAudioBackend::OpenTimed(AudioDirection, int32_t, const WAVEFORMATEX&,
                                     const StreamTiming&, std::unique_ptr<Stream>*) {
  return mmsys::kNoDriver;
}

#else

namespace {

constexpr int kPollMs = 50;
// Longest wait for a drop or close: the pulse plugin waits for the server without a limit.
constexpr auto kControlLimit = std::chrono::milliseconds(1000);

// Runs a blocking PCM call on a helper thread and waits for it at most kControlLimit. A call that
// does not return in time is abandoned: the helper closes the PCM when the call finally returns
// (or never, if the server never answers), and the stream stops using it.
struct PcmCall {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  int result = 0;
};

// The helper is an engine thread (platform Thread): its handle is closed at once, and the
// process-wide thread list joins it once it ended, so it is never detached.
bool RunBounded(snd_pcm_t* pcm, std::function<int(snd_pcm_t*)> op, int* result) {
  auto call = std::make_shared<PcmCall>();
  std::unique_ptr<Thread> helper = Thread::CreateSuspended([call, pcm, op] {
    const int r = op(pcm);
    std::lock_guard<std::mutex> lk(call->mutex);
    call->result = r;
    call->done = true;
    if (call->abandoned) snd_pcm_close(pcm);
    call->cv.notify_all();
    return 0u;
  });
  if (!helper || helper->Resume() == -1) {
    // No thread to spare: make the call here, unbounded, rather than not at all.
    *result = op(pcm);
    return true;
  }
  helper.reset();
  std::unique_lock<std::mutex> lk(call->mutex);
  if (!call->cv.wait_for(lk, kControlLimit, [&] { return call->done; })) {
    call->abandoned = true;
    return false;
  }
  *result = call->result;
  return true;
}

// The control device whose simple mixer belongs to a PCM name.
std::string MixerNameFor(const std::string& pcm) {
  const auto card = pcm.find("CARD=");
  if (card != std::string::npos) {
    const auto end = pcm.find(',', card);
    return "hw:" + pcm.substr(card, end == std::string::npos ? std::string::npos : end - card);
  }
  return "default";
}

bool IsMicName(const char* name) { return std::strstr(name, "Mic") != nullptr; }

class AlsaStream final : public AudioBackend::Stream {
 public:
  AlsaStream(snd_pcm_t* pcm, AudioDirection direction, const WAVEFORMATEX& format,
             std::string mixerName)
      : pcm_(pcm), direction_(direction), format_(format), mixerName_(std::move(mixerName)) {}

  ~AlsaStream() override { Close(); }

  uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
    *got = 0;
    uint32_t done = 0;
    const uint32_t result = Transfer(data, bytes, &done);
    *got = done;
    return result;
  }

  uint32_t Write(const uint8_t* data, uint32_t bytes) override {
    uint32_t done = 0;
    const uint32_t result = Transfer(const_cast<uint8_t*>(data), bytes, &done);
    snd_pcm_sframes_t delay = 0;
    if (result == mmsys::kNoError && pcm_ != nullptr && snd_pcm_delay(pcm_, &delay) == 0 &&
        delay > 0 && format_.nSamplesPerSec != 0) {
      latencyMs_.store(static_cast<uint32_t>(delay * 1000 / format_.nSamplesPerSec));
    }
    return result;
  }

  uint32_t OutputLatencyMs() override { return latencyMs_.load(); }

  void SetInterrupted(bool interrupted) override { interrupted_.store(interrupted); }

  // A device whose drop or close did not return in time counts as gone: nothing is left to
  // drop, and its PCM belongs to the abandoned call.
  uint32_t Reset() override {
    if (pcm_ == nullptr) return mmsys::kInvalidHandle;
    if (wedged_) return mmsys::kNoError;
    int err = 0;
    if (!RunBounded(
            pcm_, [](snd_pcm_t* p) { return snd_pcm_drop(p) < 0 ? -1 : snd_pcm_prepare(p); },
            &err)) {
      wedged_ = true;
      pcm_ = nullptr;
      return mmsys::kNoError;
    }
    return err == 0 ? mmsys::kNoError : mmsys::kError;
  }

  uint32_t Close() override {
    CloseMixer();
    if (pcm_ != nullptr) {
      const bool playback = direction_ == AudioDirection::kPlayback;
      int err = 0;
      const bool done = RunBounded(
          pcm_,
          [playback](snd_pcm_t* p) {
            if (playback) snd_pcm_drop(p);
            return snd_pcm_close(p);
          },
          &err);
      if (!done) {
        // The abandoned call closes the PCM itself if it ever returns; it must not close it
        // a second time.
        pcm_ = nullptr;
        wedged_ = true;
        return mmsys::kNoError;
      }
      pcm_ = nullptr;
      if (err < 0) return mmsys::kError;
    }
    return mmsys::kNoError;
  }

  uint32_t SetVolume(uint32_t level) override {
    std::lock_guard<std::mutex> lk(mixerMutex_);
    snd_mixer_elem_t* elem = OutputElement();
    if (elem == nullptr) return mmsys::kNotSupported;
    long min = 0, max = 0;
    snd_mixer_selem_get_playback_volume_range(elem, &min, &max);
    const long left = min + static_cast<long>((level & 0xFFFF) * (max - min) / 65535);
    const long right = min + static_cast<long>((level >> 16) * (max - min) / 65535);
    int err = 0;
    if (snd_mixer_selem_is_playback_mono(elem)) {
      err = snd_mixer_selem_set_playback_volume_all(elem, left);
    } else {
      err = snd_mixer_selem_set_playback_volume(elem, SND_MIXER_SCHN_FRONT_LEFT, left);
      if (err == 0) {
        err = snd_mixer_selem_set_playback_volume(elem, SND_MIXER_SCHN_FRONT_RIGHT, right);
      }
    }
    return err == 0 ? mmsys::kNoError : mmsys::kError;
  }

  uint32_t GetVolume(uint32_t* level) override {
    std::lock_guard<std::mutex> lk(mixerMutex_);
    snd_mixer_elem_t* elem = OutputElement();
    if (elem == nullptr) return mmsys::kNotSupported;
    snd_mixer_handle_events(mixer_);
    long min = 0, max = 0, left = 0, right = 0;
    snd_mixer_selem_get_playback_volume_range(elem, &min, &max);
    snd_mixer_selem_get_playback_volume(elem, SND_MIXER_SCHN_FRONT_LEFT, &left);
    if (snd_mixer_selem_is_playback_mono(elem) ||
        snd_mixer_selem_get_playback_volume(elem, SND_MIXER_SCHN_FRONT_RIGHT, &right) != 0) {
      right = left;
    }
    *level = Scale(left, min, max) | Scale(right, min, max) << 16;
    return mmsys::kNoError;
  }

  std::vector<AudioMixerLine> MixerLines() override {
    std::lock_guard<std::mutex> lk(mixerMutex_);
    std::vector<AudioMixerLine> lines;
    if (!LoadCaptureLines()) return lines;
    for (size_t i = 0; i < captureElems_.size(); ++i) {
      snd_mixer_elem_t* e = captureElems_[i];
      const char* name = snd_mixer_selem_get_name(e);
      const uint32_t type = i == 0            ? mixer::kDstWaveIn
                            : IsMicName(name) ? mixer::kSrcMicrophone
                                              : mixer::kSrcUndefined;
      lines.push_back({type, snd_mixer_selem_has_capture_volume(e) != 0,
                       snd_mixer_selem_has_capture_switch(e) != 0, name});
    }
    return lines;
  }

  uint32_t GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) override {
    std::lock_guard<std::mutex> lk(mixerMutex_);
    if (!LoadCaptureLines() || line >= captureElems_.size()) return mmsys::kMixerInvalidLine;
    snd_mixer_elem_t* e = captureElems_[line];
    snd_mixer_handle_events(mixer_);
    if (controlType == mixer::kControlVolume && snd_mixer_selem_has_capture_volume(e)) {
      long min = 0, max = 0, v = 0;
      snd_mixer_selem_get_capture_volume_range(e, &min, &max);
      if (snd_mixer_selem_get_capture_volume(e, SND_MIXER_SCHN_FRONT_LEFT, &v) != 0) {
        return mmsys::kError;
      }
      *value = Scale(v, min, max);
      return mmsys::kNoError;
    }
    if (controlType == mixer::kControlMute && snd_mixer_selem_has_capture_switch(e)) {
      int on = 0;
      if (snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_FRONT_LEFT, &on) != 0) {
        return mmsys::kError;
      }
      *value = on != 0 ? 0 : 1;
      return mmsys::kNoError;
    }
    return mmsys::kMixerInvalidControl;
  }

  uint32_t SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) override {
    std::lock_guard<std::mutex> lk(mixerMutex_);
    if (!LoadCaptureLines() || line >= captureElems_.size()) return mmsys::kMixerInvalidLine;
    snd_mixer_elem_t* e = captureElems_[line];
    int err = 0;
    if (controlType == mixer::kControlVolume && snd_mixer_selem_has_capture_volume(e)) {
      long min = 0, max = 0;
      snd_mixer_selem_get_capture_volume_range(e, &min, &max);
      err = snd_mixer_selem_set_capture_volume_all(
          e, min + static_cast<long>((value & 0xFFFF) * (max - min) / 65535));
    } else if (controlType == mixer::kControlMute && snd_mixer_selem_has_capture_switch(e)) {
      err = snd_mixer_selem_set_capture_switch_all(e, value != 0 ? 0 : 1);
    } else {
      return mmsys::kMixerInvalidControl;
    }
    return err == 0 ? mmsys::kNoError : mmsys::kError;
  }

 private:
  static uint32_t Scale(long v, long min, long max) {
    if (max <= min) return 0;
    return static_cast<uint32_t>((v - min) * 65535 / (max - min));
  }

  // Moves bytes in whole frames; waits in polls of kPollMs.
  uint32_t Transfer(uint8_t* data, uint32_t bytes, uint32_t* done) {
    if (pcm_ == nullptr) return wedged_ ? mmsys::kError : mmsys::kInvalidHandle;
    const uint32_t frameBytes = format_.nBlockAlign != 0 ? format_.nBlockAlign : 2;
    const snd_pcm_uframes_t total = bytes / frameBytes;
    snd_pcm_uframes_t moved = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (moved < total) {
      if (interrupted_.load()) {
        *done = static_cast<uint32_t>(moved * frameBytes);
        return mmsys::kError;
      }
      uint8_t* at = data + moved * frameBytes;
      const snd_pcm_sframes_t r = direction_ == AudioDirection::kCapture
                                      ? snd_pcm_readi(pcm_, at, total - moved)
                                      : snd_pcm_writei(pcm_, at, total - moved);
      if (r > 0) {
        moved += static_cast<snd_pcm_uframes_t>(r);
        lastProgress = std::chrono::steady_clock::now();
        continue;
      }
      if (r == -EAGAIN || r == 0) {
        if (std::chrono::steady_clock::now() - lastProgress >
            std::chrono::milliseconds(AlsaAudioBackend::kStallMs)) {
          *done = static_cast<uint32_t>(moved * frameBytes);
          return mmsys::kError;  // the device stopped answering
        }
        snd_pcm_wait(pcm_, kPollMs);
        continue;
      }
      if (snd_pcm_recover(pcm_, static_cast<int>(r), 1) < 0) {
        *done = static_cast<uint32_t>(moved * frameBytes);
        return mmsys::kError;
      }
      if (direction_ == AudioDirection::kCapture) snd_pcm_start(pcm_);
    }
    *done = static_cast<uint32_t>(moved * frameBytes);
    return mmsys::kNoError;
  }

  bool OpenMixer() {
    if (mixer_ != nullptr) return true;
    if (snd_mixer_open(&mixer_, 0) < 0) {
      mixer_ = nullptr;
      return false;
    }
    if (snd_mixer_attach(mixer_, mixerName_.c_str()) < 0 ||
        snd_mixer_selem_register(mixer_, nullptr, nullptr) < 0 || snd_mixer_load(mixer_) < 0) {
      snd_mixer_close(mixer_);
      mixer_ = nullptr;
      return false;
    }
    return true;
  }

  void CloseMixer() {
    std::lock_guard<std::mutex> lk(mixerMutex_);
    if (mixer_ != nullptr) snd_mixer_close(mixer_);
    mixer_ = nullptr;
    captureElems_.clear();
    loadedCapture_ = false;
  }

  snd_mixer_elem_t* OutputElement() {
    if (!OpenMixer()) return nullptr;
    snd_mixer_elem_t* fallback = nullptr;
    for (const char* wanted : {"Master", "PCM"}) {
      for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_); e; e = snd_mixer_elem_next(e)) {
        if (!snd_mixer_selem_is_active(e) || !snd_mixer_selem_has_playback_volume(e)) continue;
        if (fallback == nullptr) fallback = e;
        if (std::strcmp(snd_mixer_selem_get_name(e), wanted) == 0) return e;
      }
    }
    return fallback;
  }

  bool LoadCaptureLines() {
    if (loadedCapture_) return !captureElems_.empty();
    if (!OpenMixer()) return false;
    loadedCapture_ = true;
    snd_mixer_elem_t* destination = nullptr;
    std::vector<snd_mixer_elem_t*> sources;
    for (snd_mixer_elem_t* e = snd_mixer_first_elem(mixer_); e; e = snd_mixer_elem_next(e)) {
      if (!snd_mixer_selem_is_active(e)) continue;
      if (!snd_mixer_selem_has_capture_volume(e) && !snd_mixer_selem_has_capture_switch(e)) {
        continue;
      }
      const char* name = snd_mixer_selem_get_name(e);
      if (std::strcmp(name, "Capture") == 0 && destination == nullptr) {
        destination = e;
      } else {
        sources.push_back(e);
      }
    }
    if (destination == nullptr) {
      for (auto it = sources.begin(); it != sources.end(); ++it) {
        if (!IsMicName(snd_mixer_selem_get_name(*it))) {
          destination = *it;
          sources.erase(it);
          break;
        }
      }
    }
    if (destination == nullptr) return false;
    captureElems_.push_back(destination);
    captureElems_.insert(captureElems_.end(), sources.begin(), sources.end());
    return true;
  }

  snd_pcm_t* pcm_;
  const AudioDirection direction_;
  const WAVEFORMATEX format_;
  const std::string mixerName_;
  std::atomic<bool> interrupted_{false};
  std::atomic<uint32_t> latencyMs_{0};
  bool wedged_ = false;  // a drop or close was abandoned (see Reset)
  std::mutex mixerMutex_;
  snd_mixer_t* mixer_ = nullptr;                 // guarded by mixerMutex_
  std::vector<snd_mixer_elem_t*> captureElems_;  // destination first; guarded by mixerMutex_
  bool loadedCapture_ = false;
};

snd_pcm_format_t AlsaFormat(const WAVEFORMATEX& format) {
  switch (format.wBitsPerSample) {
    case 8:
      return SND_PCM_FORMAT_U8;
    case 16:
      return SND_PCM_FORMAT_S16_LE;
    case 32:
      return SND_PCM_FORMAT_S32_LE;
    default:
      return SND_PCM_FORMAT_UNKNOWN;
  }
}

}  // namespace

std::vector<AudioDeviceInfo> AlsaAudioBackend::Devices(AudioDirection direction) {
  std::vector<AudioDeviceInfo> devices;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr) return devices;
  const char* wanted = direction == AudioDirection::kCapture ? "Input" : "Output";
  for (void** h = hints; *h != nullptr; ++h) {
    char* name = snd_device_name_get_hint(*h, "NAME");
    char* desc = snd_device_name_get_hint(*h, "DESC");
    char* ioid = snd_device_name_get_hint(*h, "IOID");
    if (name != nullptr && std::strcmp(name, "null") != 0 &&
        (ioid == nullptr || std::strcmp(ioid, wanted) == 0)) {
      std::string text = desc != nullptr ? desc : name;
      for (char& c : text) {
        if (c == '\n') c = ' ';
      }
      devices.push_back({name, text});
    }
    free(name);
    free(desc);
    free(ioid);
  }
  snd_device_name_free_hint(hints);
  return devices;
}

uint32_t AlsaAudioBackend::Open(AudioDirection direction, int32_t deviceId,
                                const WAVEFORMATEX& format, std::unique_ptr<Stream>* out) {
  return OpenTimed(direction, deviceId, format, StreamTiming{}, out);
}

namespace {

// Period time and count near the wanted ones, in read/write-interleaved access; playback starts
// once the buffer is full (as snd_pcm_set_params does), and a wait ends when a period is free.
bool SetTimedParams(snd_pcm_t* pcm, snd_pcm_format_t sampleFormat, const WAVEFORMATEX& format,
                    const AudioBackend::StreamTiming& timing, AudioDirection direction) {
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  unsigned int rate = format.nSamplesPerSec;
  unsigned int periodUs = timing.periodUs;
  unsigned int bufferUs = static_cast<unsigned int>(
      std::min<uint64_t>(uint64_t{timing.periodUs} * timing.periods, 2000000));
  int rateDir = 0;
  int periodDir = 0;
  int bufferDir = 0;
  if (snd_pcm_hw_params_any(pcm, hw) < 0 ||
      snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      snd_pcm_hw_params_set_format(pcm, hw, sampleFormat) < 0 ||
      snd_pcm_hw_params_set_channels(pcm, hw, format.nChannels) < 0 ||
      snd_pcm_hw_params_set_rate_resample(pcm, hw, 1) < 0 ||
      snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &rateDir) < 0 ||
      rate != format.nSamplesPerSec ||
      snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, &periodDir) < 0 ||
      snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, &bufferDir) < 0 ||
      snd_pcm_hw_params(pcm, hw) < 0) {
    return false;
  }
  snd_pcm_uframes_t bufferFrames = 0;
  snd_pcm_uframes_t periodFrames = 0;
  snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames);
  snd_pcm_hw_params_get_period_size(hw, &periodFrames, &periodDir);
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  const bool playback = direction == AudioDirection::kPlayback;
  return snd_pcm_sw_params_current(pcm, sw) >= 0 &&
         snd_pcm_sw_params_set_start_threshold(pcm, sw, playback ? bufferFrames : 1) >= 0 &&
         snd_pcm_sw_params_set_avail_min(pcm, sw, periodFrames) >= 0 &&
         snd_pcm_sw_params(pcm, sw) >= 0;
}

}  // namespace

uint32_t AlsaAudioBackend::OpenTimed(AudioDirection direction, int32_t deviceId,
                                     const WAVEFORMATEX& format, const StreamTiming& timing,
                                     std::unique_ptr<Stream>* out) {
  std::string name = defaultPcm_;
  if (deviceId != wave::kMapper) {
    const auto devices = Devices(direction);
    if (deviceId < 0 || static_cast<size_t>(deviceId) >= devices.size()) {
      return mmsys::kBadDeviceId;
    }
    name = devices[static_cast<size_t>(deviceId)].name;
  }
  const snd_pcm_format_t sampleFormat = AlsaFormat(format);
  if (format.wFormatTag != kWaveFormatPcm || sampleFormat == SND_PCM_FORMAT_UNKNOWN ||
      format.nChannels == 0 || format.nSamplesPerSec == 0) {
    return mmsys::kWaveBadFormat;
  }
  snd_pcm_t* pcm = nullptr;
  const snd_pcm_stream_t stream =
      direction == AudioDirection::kCapture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
  const int err = snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (err < 0) {
    return err == -EBUSY ? mmsys::kAllocated : mmsys::kNoDriver;
  }
  // By default 100 ms of device buffering: enough against scheduling jitter, short enough for a
  // call. A timed open asks for the caller's periods and falls back to the default if refused.
  const bool timed = timing.periodUs != 0 && timing.periods != 0 &&
                     SetTimedParams(pcm, sampleFormat, format, timing, direction);
  if (!timed && snd_pcm_set_params(pcm, sampleFormat, SND_PCM_ACCESS_RW_INTERLEAVED,
                                   format.nChannels, format.nSamplesPerSec, 1, 100000) < 0) {
    snd_pcm_close(pcm);
    return mmsys::kWaveBadFormat;
  }
  *out = std::make_unique<AlsaStream>(pcm, direction, format, MixerNameFor(name));
  return mmsys::kNoError;
}

#endif

}  // namespace tarsio
