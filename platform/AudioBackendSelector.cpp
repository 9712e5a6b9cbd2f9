#include "platform/AudioBackendSelector.h"

#include <cstdlib>
#include <mutex>

#include "platform/AlsaAudioBackend.h"
#include "platform/FileAudioBackend.h"
#include "platform/NullAudioBackend.h"
#include "platform/WaveAudioTypes.h"

#ifdef _WIN32
#include "platform/win32/WinmmAudioBackend.h"
#endif

namespace tarsio {

namespace {

std::mutex selectorMutex;
std::shared_ptr<AudioBackend> current;  // guarded by selectorMutex

std::shared_ptr<AudioBackend> MakeDefault() {
#ifdef _WIN32
  // Windows always has its multimedia functions; without a sound device they list nothing.
  return std::make_shared<WinmmAudioBackend>();
#else
  auto alsa = std::make_shared<AlsaAudioBackend>();
  std::unique_ptr<AudioBackend::Stream> probe;
  WAVEFORMATEX format{kWaveFormatPcm, 1, 8000, 16000, 2, 16, 0};
  if (alsa->Open(AudioDirection::kPlayback, wave::kMapper, format, &probe) == mmsys::kNoError) {
    probe->Close();
    return alsa;
  }
  return std::make_shared<FileAudioBackend>("", "");
#endif
}

}  // namespace

std::shared_ptr<AudioBackend> AudioBackendSelector::Create(const std::string& text,
                                                           std::string* error) {
  if (text == "null") return std::make_shared<NullAudioBackend>();
#ifdef _WIN32
  if (text == "winmm") return std::make_shared<WinmmAudioBackend>();
#endif
  if (text == "alsa") return std::make_shared<AlsaAudioBackend>();
  if (text.rfind("alsa:", 0) == 0 && text.size() > 5) {
    return std::make_shared<AlsaAudioBackend>(text.substr(5));
  }
  if (text == "file" || text.rfind("file:", 0) == 0) {
    std::string capture;
    std::string playback;
    size_t pos = text.size() > 5 ? 5 : text.size();
    while (pos < text.size()) {
      size_t end = text.find(',', pos);
      if (end == std::string::npos) end = text.size();
      const std::string item = text.substr(pos, end - pos);
      if (item.rfind("capture=", 0) == 0) {
        capture = item.substr(8);
      } else if (item.rfind("playback=", 0) == 0) {
        playback = item.substr(9);
      } else if (!item.empty()) {
        if (error) *error = "unknown file backend option '" + item + "'";
        return nullptr;
      }
      pos = end + 1;
    }
    return std::make_shared<FileAudioBackend>(capture, playback);
  }
  if (error) {
    *error = "unknown sound backend '" + text +
#ifdef _WIN32
             "' (use winmm, alsa, alsa:PCM, null or file:capture=IN.wav,playback=OUT.wav)";
#else
             "' (use alsa, alsa:PCM, null or file:capture=IN.wav,playback=OUT.wav)";
#endif
  }
  return nullptr;
}

std::shared_ptr<AudioBackend> AudioBackendSelector::Current() {
  std::lock_guard<std::mutex> lk(selectorMutex);
  if (!current) {
    const char* env = std::getenv("TARSIO_AUDIO");
    if (env != nullptr && env[0] != '\0') {
      std::string error;
      current = Create(env, &error);
    }
    if (!current) current = MakeDefault();
  }
  return current;
}

bool AudioBackendSelector::Select(const std::string& text, std::string* error) {
  auto backend = Create(text, error);
  if (!backend) return false;
  Install(std::move(backend));
  return true;
}

void AudioBackendSelector::Install(std::shared_ptr<AudioBackend> backend) {
  std::lock_guard<std::mutex> lk(selectorMutex);
  current = std::move(backend);
}

std::vector<std::string> AudioBackendSelector::DeviceList() {
  auto backend = Current();
  std::vector<std::string> lines;
  const struct {
    AudioDirection direction;
    const char* label;
  } kinds[] = {{AudioDirection::kCapture, "capture"}, {AudioDirection::kPlayback, "playback"}};
  for (const auto& kind : kinds) {
    const auto devices = backend->Devices(kind.direction);
    for (size_t i = 0; i < devices.size(); ++i) {
      lines.push_back(std::string(kind.label) + " " + std::to_string(i) + ": " +
                      devices[i].description);
    }
  }
  return lines;
}

}  // namespace tarsio
