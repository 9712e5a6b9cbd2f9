// A sound backend for tests whose devices do what the test scripts.
//
// It refuses a given number of opens, queued buffers (waveInAddBuffer / waveOutWrite), resets and
// closes with a given code before it accepts them, and counts every call. Playback writes are
// recorded and return at once unless the test holds them (HoldWrites), which keeps buffers at the
// device; capture reads fill the next FillReads(n) buffers at once with kCaptureByte, and after
// that deliver nothing and block until the stream is interrupted. Output volumes and the capture
// mixer's writes are recorded (volume calls may be held: HoldVolumeCalls); reads of chosen mixer
// controls fail.
//
// A device that stops answering: after StallTransfers every read and write (the ones blocked now
// and the ones to come) blocks, deaf to interrupts, until ReleaseTransfers; a released read fills
// its whole buffer, a released write records its data, as a device that finally answered would.
// StalledTransfers counts the calls blocked that way now.
//
// Threading: every member may be called from any thread, except that `lines` and `failingReads`
// are set before the first open.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/AudioBackend.h"
#include "platform/WaveAudioTypes.h"

namespace tarsio::testing {

class ScriptedAudioBackend final : public AudioBackend,
                                   public std::enable_shared_from_this<ScriptedAudioBackend> {
  template <typename F>
  auto Locked(F f) {
    std::lock_guard<std::mutex> lk(mutex_);
    return f();
  }

 public:
  /// The next `left` calls of a kind fail with `code`; `calls` counts them all.
  struct Refusals {
    std::atomic<int> left{0}, calls{0};
    std::atomic<uint32_t> code{mmsys::kError};
    void Refuse(int n, uint32_t c) {
      code = c;
      left = n;
    }
    uint32_t Take() {
      ++calls;
      return left.fetch_sub(1) > 0 ? code.load() : mmsys::kNoError;
    }
  };
  struct MixerWrite {
    uint32_t line, control, value;
  };

  Refusals opens, queues, resets, closes;
  std::atomic<int> openStreams{0};
  std::vector<AudioMixerLine> lines = {{mixer::kDstWaveIn, true, true, "Capture"},
                                       {mixer::kSrcMicrophone, true, true, "Mic"}};
  std::set<std::pair<uint32_t, uint32_t>> failingReads;  // line, control type

  std::string Name() const override { return "scripted"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection) override { return {{"dev0", "Scripted"}}; }
  uint32_t Open(AudioDirection direction, int32_t, const WAVEFORMATEX&,
                std::unique_ptr<Stream>* out) override {
    if (const uint32_t r = opens.Take()) return r;
    ++openStreams;
    *out = std::make_unique<ScriptedStream>(shared_from_this(), direction);
    return mmsys::kNoError;
  }

  static constexpr uint8_t kCaptureByte = 0x5A;

  void HoldWrites(bool hold) {
    Locked([&] { hold_ = hold; });
    cv_.notify_all();
  }
  /// The next n capture reads return a full buffer at once.
  void FillReads(int n) {
    Locked([&] { readsToFill_ = n; });
  }
  void StallTransfers() {
    Locked([&] { stalled_ = true; });
    cv_.notify_all();
  }
  void ReleaseTransfers() {
    Locked([&] { released_ = true; });
    cv_.notify_all();
  }
  int StalledTransfers() {
    return Locked([&] { return stalledNow_; });
  }
  /// While held, SetVolume and SetMixerValue block (and count in VolumeCallsHeld) until released.
  void HoldVolumeCalls(bool hold) {
    Locked([&] { holdVolume_ = hold; });
    cv_.notify_all();
  }
  int VolumeCallsHeld() {
    return Locked([&] { return volumeHeldNow_; });
  }
  std::vector<std::vector<uint8_t>> Written() {
    return Locked([&] { return written_; });
  }
  std::vector<uint32_t> OutputVolumes() {
    return Locked([&] { return volumes_; });
  }
  std::vector<MixerWrite> MixerWrites() {
    return Locked([&] { return mixerWrites_; });
  }

 private:
  class ScriptedStream final : public Stream {
   public:
    ScriptedStream(std::shared_ptr<ScriptedAudioBackend> b, AudioDirection direction)
        : b_(std::move(b)), capture_(direction == AudioDirection::kCapture) {}
    ~ScriptedStream() override {
      if (!closed_.exchange(true)) --b_->openStreams;
    }
    uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) override {
      std::unique_lock<std::mutex> lk(b_->mutex_);
      *got = 0;
      if (!b_->Transfer(lk, [&] { return interrupted_ || b_->readsToFill_ > 0; })) {
        if (interrupted_) return mmsys::kError;
        --b_->readsToFill_;
      }
      std::fill(data, data + bytes, kCaptureByte);
      *got = bytes;
      return mmsys::kNoError;
    }
    uint32_t Write(const uint8_t* data, uint32_t bytes) override {
      std::unique_lock<std::mutex> lk(b_->mutex_);
      if (!b_->Transfer(lk, [&] { return interrupted_ || !b_->hold_; }) && interrupted_) {
        return mmsys::kError;
      }
      b_->written_.emplace_back(data, data + bytes);
      return mmsys::kNoError;
    }
    uint32_t CheckQueue() override { return b_->queues.Take(); }
    void SetInterrupted(bool interrupted) override {
      b_->Locked([&] { interrupted_ = interrupted; });
      b_->cv_.notify_all();
    }
    uint32_t Reset() override { return b_->resets.Take(); }
    uint32_t Close() override {
      const uint32_t r = b_->closes.Take();
      if (r == mmsys::kNoError && !closed_.exchange(true)) --b_->openStreams;
      return r;
    }
    uint32_t SetVolume(uint32_t level) override {
      std::unique_lock<std::mutex> lk(b_->mutex_);
      b_->HoldVolume(lk);
      b_->volumes_.push_back(level);
      return mmsys::kNoError;
    }
    uint32_t GetVolume(uint32_t* level) override {
      *level = 0;
      return mmsys::kNoError;
    }
    std::vector<AudioMixerLine> MixerLines() override {
      return capture_ ? b_->lines : std::vector<AudioMixerLine>{};
    }
    uint32_t GetMixerValue(uint32_t line, uint32_t control, uint32_t* value) override {
      *value = 0;
      return b_->failingReads.count({line, control}) ? mmsys::kError : mmsys::kNoError;
    }
    uint32_t SetMixerValue(uint32_t line, uint32_t control, uint32_t value) override {
      std::unique_lock<std::mutex> lk(b_->mutex_);
      b_->HoldVolume(lk);
      b_->mixerWrites_.push_back({line, control, value});
      return mmsys::kNoError;
    }

   private:
    const std::shared_ptr<ScriptedAudioBackend> b_;
    const bool capture_;
    bool interrupted_ = false;  // guarded by b_->mutex_
    std::atomic<bool> closed_{false};
  };

  // Waits (lk held) until ready() or, once the transfers stall, until they are released; true
  // when the call was stalled and released.
  template <typename Ready>
  bool Transfer(std::unique_lock<std::mutex>& lk, Ready ready) {
    cv_.wait(lk, [&] { return (stalled_ && !released_) || ready(); });
    if (!stalled_ || released_) return false;
    ++stalledNow_;
    cv_.wait(lk, [&] { return released_; });
    --stalledNow_;
    return true;
  }
  void HoldVolume(std::unique_lock<std::mutex>& lk) {
    ++volumeHeldNow_;
    cv_.wait(lk, [&] { return !holdVolume_; });
    --volumeHeldNow_;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool hold_ = false;
  int readsToFill_ = 0;
  bool stalled_ = false, released_ = false;
  int stalledNow_ = 0;
  bool holdVolume_ = false;
  int volumeHeldNow_ = 0;
  std::vector<std::vector<uint8_t>> written_;
  std::vector<uint32_t> volumes_;
  std::vector<MixerWrite> mixerWrites_;
};

}  // namespace tarsio::testing
