#include "tools/DeviceCommands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "platform/AudioBackendSelector.h"
#include "tarsio/Tarsio.h"
#include "tools/ConsoleHostLog.h"

namespace tarsio::host {

void DeviceCommands::AddTo(CLI::App& app) {
  const char* backendHelp =
      "Sound backend: alsa, alsa:PCM, null, file:capture=IN.wav,playback=OUT.wav "
      "(default: TARSIO_AUDIO, else ALSA when it works)";
  devices_ = app.add_subcommand("devices", "List capture and playback devices with their ids");
  devices_->add_option("--backend", backend_, backendHelp);
  test_ = app.add_subcommand("test-devices",
                             "Check that the default playback and capture devices open");
  test_->add_option("--backend", backend_, backendHelp);
}

bool DeviceCommands::Selected() const {
  return (devices_ != nullptr && devices_->parsed()) || (test_ != nullptr && test_->parsed());
}

int DeviceCommands::Run() {
  std::string error;
  if (!SelectBackend(&error)) {
    std::fprintf(stderr, "tarsio: %s\n", error.c_str());
    return 2;
  }
  return devices_->parsed() ? List() : Test();
}

bool DeviceCommands::SelectBackend(std::string* error) const {
  if (backend_.empty()) return true;
  return AudioBackendSelector::Select(backend_, error);
}

int DeviceCommands::List() {
  std::printf("backend: %s\n", AudioBackendSelector::Current()->Name().c_str());
  const auto lines = AudioBackendSelector::DeviceList();
  if (lines.empty()) std::printf("(no devices)\n");
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  std::printf("default devices: -1 (use alsa, or alsa:ID with an id above)\n");
  return 0;
}

int DeviceCommands::Test() {
  ConsoleHostLog log;
  std::unique_ptr<RTPInterface> terminal(GetRTPInterface(&log));
  if (!terminal) {
    std::fprintf(stderr, "tarsio: the media terminal could not be created\n");
    return 1;
  }
  log.SetQuiet(true);  // the statistics report of an idle terminal says nothing here
  std::printf("backend: %s\n", AudioBackendSelector::Current()->Name().c_str());
  const bool playback = terminal->TestPlaybackDevice();
  std::printf("playback device: %s\n", playback ? "ok" : "FAILED");
  const bool capture = terminal->TestCaptureDevice();
  std::printf("capture device:  %s\n", capture ? "ok" : "FAILED");
  terminal.reset();
  return playback && capture ? 0 : 1;
}

}  // namespace tarsio::host
