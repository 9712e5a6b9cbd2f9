// The sound backend the tarsio program installs for a call: the capture direction from one
// backend and the playback direction from another (so `--capture alsa --playback file:out.wav`
// works), and a record of when each device opened and when the first buffer went through it.
//
// The times are wall-clock milliseconds since the Unix epoch. With the file backend they tie the
// WAV files to the clock: capture sample k of the input file was "spoken" at
// FirstCaptureRead() + k / rate, playback sample k of the output file was written at about
// FirstPlaybackWrite() + k / rate (the file backend writes a buffer, then waits its playing time).
//
// Threading: Open and the streams' calls come from the engine's device threads; the times are
// atomics, readable from any thread. The wrapped backends are shared and thread-safe themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/AudioBackend.h"

namespace tarsio::host {

class HostAudioBackend final : public AudioBackend {
 public:
  HostAudioBackend(std::shared_ptr<AudioBackend> capture, std::shared_ptr<AudioBackend> playback);

  std::string Name() const override;
  std::vector<AudioDeviceInfo> Devices(AudioDirection direction) override;
  uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override;
  /// Passes the buffering hint on to the backend of the direction.
  uint32_t OpenTimed(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                     const StreamTiming& timing, std::unique_ptr<Stream>* out) override;

  const std::shared_ptr<AudioBackend>& CaptureBackend() const { return capture_; }
  const std::shared_ptr<AudioBackend>& PlaybackBackend() const { return playback_; }

  /// Times of the first successful open and of the first buffer read or written; 0: not yet.
  int64_t CaptureOpened() const { return captureOpened_.load(); }
  int64_t PlaybackOpened() const { return playbackOpened_.load(); }
  int64_t FirstCaptureRead() const { return firstCaptureRead_.load(); }
  int64_t FirstPlaybackWrite() const { return firstPlaybackWrite_.load(); }

 private:
  class TimedStream;

  std::shared_ptr<AudioBackend> capture_;
  std::shared_ptr<AudioBackend> playback_;
  std::atomic<int64_t> captureOpened_{0};
  std::atomic<int64_t> playbackOpened_{0};
  std::atomic<int64_t> firstCaptureRead_{0};
  std::atomic<int64_t> firstPlaybackWrite_{0};
};

}  // namespace tarsio::host
