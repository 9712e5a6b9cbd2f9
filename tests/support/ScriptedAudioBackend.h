// A sound backend for tests whose devices do what the test scripts.
//
// It refuses a given number of opens, queued buffers (waveInAddBuffer / waveOutWrite), resets and
// closes with a given code before it accepts them, and counts every call. Capture reads return
// the chunks the test pushed, one chunk per buffer, and block until one is there (or the stream
// is interrupted). Playback writes are recorded whole and return at once, unless the test holds
// them (HoldWrites), which keeps buffers at the device. Output volume and the capture mixer's
// control values are recorded; the mixer's lines can be replaced and single controls can fail.
//
// Threading: every member may be called from any thread (one mutex); blocked reads and held
// writes wait on a condition variable of that mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/AudioBackend.h"

namespace tarsio::testing {

class ScriptedAudioBackend final : public AudioBackend {
 public:
  struct MixerWrite {
    uint32_t line;
    uint32_t controlType;
    uint32_t value;
  };

  ScriptedAudioBackend();
  ~ScriptedAudioBackend() override;

  std::string Name() const override { return "scripted"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection direction) override;
  uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override;

  // Refusals: the next n calls of a kind fail with code.
  void RefuseOpens(int n, uint32_t code);
  void RefuseQueues(int n, uint32_t code);
  void RefuseResets(int n, uint32_t code);
  void RefuseCloses(int n, uint32_t code);

  // Counts of calls (refused ones included).
  int Opens();
  int Queues();
  int Resets();
  int Closes();
  int OpenStreams();

  // Capture: one pushed chunk is delivered per buffer.
  void PushCapture(std::vector<uint8_t> chunk);
  // Playback: everything written, one entry per buffer.
  std::vector<std::vector<uint8_t>> Written();
  void HoldWrites(bool hold);

  // Volumes.
  std::vector<uint32_t> OutputVolumes();
  std::vector<MixerWrite> MixerWrites();
  void SetMixerLines(std::vector<AudioMixerLine> lines);
  /// Makes Get (get == true) or Set of one control fail with code, for every call.
  void FailMixerControl(uint32_t line, uint32_t controlType, bool get, uint32_t code);
  uint32_t MixerValue(uint32_t line, uint32_t controlType);

 private:
  class ScriptedStream;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarsio::testing
