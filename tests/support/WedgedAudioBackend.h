// A sound backend whose devices can wedge: once Wedge() was called, the next playback Write (or
// capture Read, as chosen) blocks and ignores SetInterrupted, as a sound card that stopped
// answering would, until Release(). Otherwise capture delivers paced silence and playback
// discards at the pace of the audio.
//
// Threading: every member may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/AudioBackend.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio::testing {

class WedgedAudioBackend final : public AudioBackend,
                                 public std::enable_shared_from_this<WedgedAudioBackend> {
 public:
  /// Makes the next Write (playback) or Read (capture) block until Release.
  void Wedge(AudioDirection direction) {
    std::lock_guard<std::mutex> lock(mutex_);
    (direction == AudioDirection::kPlayback ? wedgeWrites_ : wedgeReads_) = true;
  }
  /// Lets every blocked call return and no new one block.
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    wedgeWrites_ = wedgeReads_ = false;
    cv_.notify_all();
  }
  /// Waits (real time, at most ms) until a call is blocked.
  bool WaitWedged(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return blocked_ > 0; });
  }
  /// Calls blocked now.
  int Blocked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocked_;
  }

  std::string Name() const override { return "wedged"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection) override { return {{"dev0", "Wedged"}}; }
  uint32_t Open(AudioDirection direction, int32_t, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override {
    *out = std::make_unique<WedgedStream>(shared_from_this(), direction, format);
    return mmsys::kNoError;
  }

 private:
  class WedgedStream final : public Stream {
   public:
    WedgedStream(std::shared_ptr<WedgedAudioBackend> backend, AudioDirection direction,
                 const WAVEFORMATEX& format)
        : b_(std::move(backend)),
          capture_(direction == AudioDirection::kCapture),
          bytesPerMs_(std::max<uint32_t>(1, format.nAvgBytesPerSec / 1000)) {}
    uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
      if (!Pass(true, bytes)) {
        *got = 0;
        return mmsys::kError;
      }
      std::memset(data, 0, bytes);
      *got = bytes;
      return mmsys::kNoError;
    }
    uint32_t Write(const uint8_t*, uint32_t bytes) override {
      return Pass(false, bytes) ? mmsys::kNoError : mmsys::kError;
    }
    void SetInterrupted(bool interrupted) override {
      std::lock_guard<std::mutex> lock(b_->mutex_);
      interrupted_ = interrupted;
      b_->cv_.notify_all();
    }
    uint32_t Reset() override { return mmsys::kNoError; }
    uint32_t Close() override { return mmsys::kNoError; }
    uint32_t SetVolume(uint32_t) override { return mmsys::kNoError; }
    uint32_t GetVolume(uint32_t* level) override {
      *level = 0;
      return mmsys::kNoError;
    }
    std::vector<AudioMixerLine> MixerLines() override { return {}; }
    uint32_t GetMixerValue(uint32_t, uint32_t, uint32_t* value) override {
      *value = 0;
      return mmsys::kNoError;
    }
    uint32_t SetMixerValue(uint32_t, uint32_t, uint32_t) override { return mmsys::kNoError; }

   private:
    // Blocks while this direction is wedged (interruption does not help), else waits the
    // buffer's playing time unless interrupted. False when interrupted.
    bool Pass(bool read, uint32_t bytes) {
      std::unique_lock<std::mutex> lock(b_->mutex_);
      bool& wedged = read ? b_->wedgeReads_ : b_->wedgeWrites_;
      if (wedged && read == capture_) {
        ++b_->blocked_;
        b_->cv_.notify_all();
        b_->cv_.wait(lock, [&] { return !wedged; });
        --b_->blocked_;
      }
      b_->cv_.wait_for(lock, std::chrono::milliseconds(bytes / bytesPerMs_),
                       [&] { return interrupted_; });
      return !interrupted_;
    }

    const std::shared_ptr<WedgedAudioBackend> b_;
    const bool capture_;
    const uint32_t bytesPerMs_;
    bool interrupted_ = false;  // guarded by b_->mutex_
  };

  std::mutex mutex_;
  std::condition_variable cv_;
  bool wedgeWrites_ = false, wedgeReads_ = false;
  int blocked_ = 0;
};

}  // namespace tarsio::testing
