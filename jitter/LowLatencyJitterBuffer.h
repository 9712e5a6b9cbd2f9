// The jitter buffer of the low-latency receive mode: the transformer that takes the place of
// RTPJitterBuffer in the receive chain when the setting "LowLatencyReceive" is true.
//
// Pushed side (RenderAudioSamples, the RTP receiver's thread): each decoded G.711 packet (16-bit
// 8 kHz mono PCM carrying its RTP header, payload type 0 or 8; a comfort-noise packet, type 13,
// counts as one frame of silence; other payload types are ignored) goes
// into the PlayoutBuffer with its arrival time, as soon as it is read. Pulled side (GenerateData,
// the playback thread): one frame of frameDuration ms of PCM per pull, always a full frame of
// data (audio, concealment or silence), never a silence marker. Arrival and pull times come
// from Clock::Current(), so tests drive it with a FakeClock.
//
// Stopped, a push keeps nothing (and does not sleep: the receiver reads the socket again at
// once) and a pull yields no sample. TransformStarted empties the buffer, takes the frame
// duration and initial jitter set beforehand and reserves kReservedSamples pool samples (the
// playout buffer's memory is fixed, so a running call allocates nothing here).
//
// Results: RenderAudioSamples 0, or kErrNoRTPHeader (-10) for a sample without RTP header, or
// kErrNotPcm (-30) for audio that is not 16-bit 8 kHz mono PCM (nothing is kept). GenerateData 0.
//
// Threading: RenderAudioSamples on the receiver thread, GenerateData on the playback thread,
// start/stop, the setters and GetStats on host threads. bufferMutex guards the PlayoutBuffer; it
// is held only for an insert or one frame's production (no call out of the object under it
// except the sample pool, whose lock comes after it). bRunning is an atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "framework/AudioTransformer.h"
#include "jitter/PlayoutBuffer.h"
#include "platform/CriticalSection.h"

namespace tarsio {

class LowLatencyJitterBuffer : public AudioTransformer {
 public:
  static constexpr int32_t kErrNoRTPHeader = -10;
  static constexpr int32_t kErrNotPcm = -30;
  /// Pool samples made ready at each start for the chain's samples in flight.
  static constexpr int32_t kReservedSamples = 32;

  /// A snapshot of the playout statistics and the two receive-side delay stages.
  struct Report {
    PlayoutBuffer::Stats stats;
    int32_t networkMedianMs = -1;
    int32_t networkP95Ms = -1;
    int32_t bufferMedianMs = -1;
    int32_t bufferP95Ms = -1;
  };

  LowLatencyJitterBuffer();
  ~LowLatencyJitterBuffer() override = default;

  int32_t ReadTraceLevel() override;

  /// Playout frame length (the receive frame time); takes effect at the next start.
  void SetFrameDuration(int32_t ms);
  /// The jitter allowance the target starts from; takes effect at the next start.
  void SetInitialJitter(int32_t ms);

  int32_t RenderAudioSamples(AudioSampleList& inputs) override;
  int32_t GenerateData(AudioSample** out) override;
  int32_t TransformStarted() override;
  int32_t TransformStopped() override;
  /// Never used: both directions are overridden.
  int32_t TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) override;

  Report GetReport();
  /// Packets taken in since the last start (cheap: no quantiles).
  uint64_t PacketsReceived();
  bool IsRunning() const { return bRunning.load(); }

 private:
  std::atomic<int32_t> frameDurationMs{20};
  std::atomic<int32_t> initialJitterMs{100};
  std::atomic<bool> bRunning{false};
  CriticalSection bufferMutex;
  PlayoutBuffer playout TARSIO_GUARDED_BY(bufferMutex);
};

}  // namespace tarsio
