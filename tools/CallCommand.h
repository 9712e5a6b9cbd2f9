// `tarsio call`: one call with a far end given by address and port, until Ctrl-C or --duration.
// A status line shows the elapsed time, the receive-buffer ratio, the codecs the terminal
// recorded and the bytes sent and played; the host log goes to stderr or --log FILE; --report
// FILE writes the JSON call report (tools/CallReport.h).
//
// Threading: Run blocks the main thread for the call; stop may be set by a signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace tarsio::host {

class CallCommand {
 public:
  void AddTo(CLI::App& app);
  bool Selected() const;
  int Run(const std::atomic<bool>& stop);

  /// The --receive option of the commands that make a call (default: the value *receive holds).
  static void AddReceiveOption(CLI::App& command, std::string* receive);

  /// Splits "HOST:PORT" (IPv4 address or name); false with a reason.
  static bool ParseRemote(const std::string& text, std::string* host, uint16_t* port,
                          std::string* error);

 private:
  CLI::App* command_ = nullptr;
  int localPort_ = 0;
  std::string remote_;
  std::string rxCodec_ = "auto";
  std::string txCodec_ = "pcmu";
  uint32_t jitterMs_ = 60;
  std::string receive_ = "low-latency";
  bool vad_ = false;
  std::string capture_;
  std::string playback_;
  uint32_t microphoneVolume_ = 100;
  uint32_t speakerVolume_ = 100;
  std::string play_;
  bool once_ = false;
  int playVolume_ = 100;
  double duration_ = 0.0;
  std::string log_;
  std::string report_;
  bool quiet_ = false;
  std::string dtmf_;
  uint32_t dtmfMs_ = 100;
  std::string srtpKey_;
  std::string srtpRemoteKey_;
  std::string srtpSuite_ = "AES_CM_128_HMAC_SHA1_80";
  bool symmetricRtp_ = false;
  std::string rtcp_ = "off";
  double rtpTimeout_ = 0.0;
};

}  // namespace tarsio::host
