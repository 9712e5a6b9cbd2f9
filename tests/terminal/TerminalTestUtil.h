// Helpers of the terminal tests: a loopback call over real UDP with the file sound backend.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "framework/Registry.h"
#include "platform/AudioBackendSelector.h"
#include "platform/WavFile.h"
#include "support/WavTestFiles.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio::testing {

/// A UDP port that was free a moment ago (bound to port 0 on 127.0.0.1, read back, closed).
inline int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

/// A speech-like test signal, 8 kHz: low-passed noise and a tone under a slow syllable envelope
/// that never reaches digital silence (silent frames would be sent as comfort noise and change
/// the timing of what is heard).
inline std::vector<int16_t> SpeechLikeSignal(double seconds, uint32_t seed = 12345) {
  const size_t n = static_cast<size_t>(seconds * 8000);
  std::vector<int16_t> out(n);
  uint32_t state = seed;
  double low = 0;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double white = (static_cast<double>(state >> 8) / 16777216.0) * 2.0 - 1.0;
    low = 0.7 * low + 0.3 * white;  // a gentle low-pass, speech-like spectrum
    const double t = static_cast<double>(i) / 8000.0;
    const double syllable = std::sin(2 * M_PI * 3.0 * t);
    const double envelope = 0.35 + 0.65 * (syllable > 0 ? syllable : 0.0);
    out[i] = static_cast<int16_t>(
        std::lround(12000.0 * envelope * low + 4000.0 * envelope * std::sin(2 * M_PI * 310 * t)));
  }
  return out;
}

inline void WriteWav16(const std::string& path, const std::vector<int16_t>& samples) {
  const Bytes bytes = BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(samples));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<int16_t> ReadWav16(const std::string& path) {
  WavFile wav;
  std::string error;
  std::vector<int16_t> out;
  if (!wav.OpenRead(path, &error)) return out;
  uint8_t buffer[4096];
  for (uint32_t n; (n = wav.Read(buffer, sizeof buffer)) > 0;) {
    for (uint32_t i = 0; i + 1 < n; i += 2) {
      out.push_back(static_cast<int16_t>(buffer[i] | (buffer[i + 1] << 8)));
    }
  }
  return out;
}

struct Match {
  int lag = -1;            // samples by which the output trails the input
  double correlation = 0;  // normalised, over the overlap
};

/// Finds the lag (0..maxLag samples) at which output best matches input, comparing one second
/// of input from its half-second mark (the start of a call may be cut or concealed).
inline Match BestMatch(const std::vector<int16_t>& input, const std::vector<int16_t>& output,
                       int maxLag) {
  Match best;
  const size_t from = std::min<size_t>(input.size(), 4000);
  const size_t to = std::min<size_t>(input.size(), from + 8000);
  for (int lag = 0; lag <= maxLag; lag += 1) {
    if (static_cast<size_t>(lag) + to > output.size()) break;
    double xy = 0, xx = 0, yy = 0;
    for (size_t i = from; i < to; i += 2) {
      const double x = input[i];
      const double y = output[i + lag];
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    const double c = (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0;
    if (c > best.correlation) best = {lag, c};
  }
  return best;
}

/// Settings that keep the received waveform close to the sent one (no FIR shaping, no limiter,
/// no extra gain), so that a correlation can tell whether the right audio arrived.
inline void PlainAudioPath() {
  const char* key = kTerminalKey;
  RegSetString(HKEY_CURRENT_USER, key, "MicrophonePreprocess", "false");
  RegSetString(HKEY_CURRENT_USER, key, "SpeakerPostprocess", "false");
  RegSetString(HKEY_CURRENT_USER, key, "LimitVolume", "false");
  RegSetString(HKEY_CURRENT_USER, key, "VolumeMaximizeMaxGain", "1.0");
}

/// Makes the file backend current for the life of the object.
class FileAudio {
 public:
  FileAudio(const std::string& capture, const std::string& playback) {
    std::string error;
    AudioBackendSelector::Install(
        AudioBackendSelector::Create("file:capture=" + capture + ",playback=" + playback, &error));
  }
  ~FileAudio() { AudioBackendSelector::Install(nullptr); }
};

/// Threads of this process now.
inline int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

/// The thread count once the process-lifetime helpers exist (the settings store's background
/// writer starts with the first write): a terminal is made and destroyed first.
inline int ThreadsAfterWarmUp() {
  delete new COrbeMediaTerm();
  RegSetDWORD(HKEY_CURRENT_USER, kTerminalKey, "WarmUp", 1);
  return ThreadCount();
}

}  // namespace tarsio::testing
