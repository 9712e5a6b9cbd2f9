// `tarsio devices` lists the capture and playback devices of the sound backend with the ids that
// --capture alsa:ID / --playback alsa:ID take; `tarsio test-devices` asks the media terminal
// whether the default playback and capture devices open (TestPlaybackDevice retries once after
// 2 s). Both use TARSIO_AUDIO's backend, or the one --backend names.
//
// Threading: main thread only.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace tarsio::host {

class DeviceCommands {
 public:
  void AddTo(CLI::App& app);
  bool Selected() const;
  int Run();

 private:
  bool SelectBackend(std::string* error) const;
  int List();
  int Test();

  CLI::App* devices_ = nullptr;
  CLI::App* test_ = nullptr;
  std::string backend_;
};

}  // namespace tarsio::host
