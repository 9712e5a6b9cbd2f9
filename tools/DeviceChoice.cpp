#include "tools/DeviceChoice.h"

#include <cctype>

#include "platform/AlsaAudioBackend.h"
#include "platform/FileAudioBackend.h"
#include "platform/NullAudioBackend.h"

namespace tarsio::host {

namespace {

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 6) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

bool DeviceChoice::Parse(const std::string& text, AudioDirection direction, DeviceChoice* choice,
                         std::string* error) {
  DeviceChoice result;
  const bool capture = direction == AudioDirection::kCapture;
  if (text == "null") {
    result.backend_ = std::make_shared<NullAudioBackend>();
  } else if (text == "alsa") {
    result.backend_ = std::make_shared<AlsaAudioBackend>();
  } else if (text.rfind("alsa:", 0) == 0 && text.size() > 5) {
    const std::string id = text.substr(5);
    if (IsNumber(id)) {
      result.backend_ = std::make_shared<AlsaAudioBackend>();
      result.deviceId_ = std::stoi(id);
    } else {
      result.backend_ = std::make_shared<AlsaAudioBackend>(id);
    }
  } else if (text.rfind("file:", 0) == 0 && text.size() > 5) {
    result.filePath_ = text.substr(5);
    result.backend_ = capture ? std::make_shared<FileAudioBackend>(result.filePath_, "")
                              : std::make_shared<FileAudioBackend>("", result.filePath_);
  } else {
    *error = "unknown " + std::string(capture ? "capture" : "playback") + " device '" + text +
             "' (use alsa, alsa:ID, alsa:PCM, file:PATH or null)";
    return false;
  }
  *choice = std::move(result);
  return true;
}

}  // namespace tarsio::host
