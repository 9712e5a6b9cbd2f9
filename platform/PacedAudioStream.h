// A stream that stands in for a sound card by the clock: each Read or Write of n bytes returns
// when n bytes' playing time has passed since the previous one ended (or since the stream opened
// or was reset), so buffers come and go at the device's rate. Holds the output volume and a
// capture mixer with a destination and one microphone line, both with volume and mute, whose
// values are only stored. Derived streams (null, file) supply the audio.
//
// Pacing runs on Clock::Current(): real time in production, a FakeClock in tests. If the caller
// falls behind by more than 200 ms the schedule restarts from now instead of bursting.
//
// Threading: Read/Write on the device thread; everything else from any thread. mutex_ guards the
// schedule, the interrupt flag and the stored values.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/AudioBackend.h"

namespace tarsio {

class PacedAudioStream : public AudioBackend::Stream {
 public:
  explicit PacedAudioStream(const WAVEFORMATEX& format);

  void SetInterrupted(bool interrupted) override;
  uint32_t Reset() override;
  uint32_t SetVolume(uint32_t level) override;
  uint32_t GetVolume(uint32_t* level) override;
  std::vector<AudioMixerLine> MixerLines() override;
  uint32_t GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) override;
  uint32_t SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) override;

 protected:
  /// Waits until the playing time of bytes has passed; false if interrupted (nothing consumed).
  bool Pace(uint32_t bytes);
  const WAVEFORMATEX format_;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool interrupted_ = false;
  bool scheduled_ = false;
  uint64_t nextMs_ = 0;       // when the current buffer's time ends (ms of the clock)
  uint64_t remainderUs_ = 0;  // sub-millisecond carry so long runs keep exact time
  uint32_t volume_ = 0xFFFFFFFF;
  std::array<uint32_t, 4> mixer_{65535, 0, 65535, 0};  // dest volume, dest mute, mic volume, mute
};

}  // namespace tarsio
