// One WAV file played into a call: WaveFileSource -> ACMTransformer -> PCMVolumeTransformer,
// feeding a sink of the terminal's graph (the transmit mixer).
//
// A four-state machine (STOPPED, STARTING, RUNNING, STOPPING) serialises the host's Start and
// StopImmediately with the file source's started and stopped notifications.
//
// Two situations the state machine alone would get wrong are handled here:
// - The file source's thread cannot be created: the source never reports that it started, so
//   Start treats this as a failed start step (-70), stops the filters it started and returns the
//   play to STATE_STOPPED instead of leaving it in STATE_STARTING for ever.
// - A play whose source thread ended by itself reaches STATE_STOPPED on that very thread, which
//   then still returns through the source's code. That thread ends by itself only when the
//   source refuses it at start, and StartSourceThread returns only once a refused thread has
//   finished; Start, the sweep and the destructor all run under the terminal lock, so the sweep
//   can never delete a play whose source thread is still returning.
//
// Threading: host threads call Start, StopImmediately, the setters and the destructor (under the
// terminal's locks); the file source's thread calls FilePlayStopped and, through it, Cleanup;
// FilePlayStarted runs on the thread that calls Start. stateMutex guards currentState and is never
// held while a filter is started or stopped or while waiting on stateChangedEvent.
//
// Lifetime: the terminal owns a play through std::shared_ptr and hands Start a holder of it, which
// the file source's thread keeps until its very last act. A play whose thread did not stop in
// time thus lives on after the terminal let it go and is destroyed on that thread when it ends;
// the destructor then finds the play stopped and waits for nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "devices/FileSourceListener.h"
#include "framework/AudioFormat.h"
#include "framework/TracedObject.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"

namespace tarsio {

class WaveFileSource;
class ACMTransformer;
class PCMVolumeTransformer;
class AudioSink;
class COrbeMediaTerm;

class FilePlay : public FileSourceListener, public virtual TracedObject {
 public:
  enum State : int32_t {
    STATE_STOPPED = 0,
    STATE_STARTING = 1,
    STATE_RUNNING = 2,
    STATE_STOPPING = 3,
  };
  FilePlay(AudioSink* destination, uint32_t frameTimeMs, bool isTransmit);
  ~FilePlay() override;
  int32_t ReadTraceLevel() override;

  int32_t LoadFile(const char* fileName);
  int32_t PlayInLoop();
  int32_t SetVolume(int32_t volumePercent);
  int32_t SetDestinationFormat(const WAVEFORMATEX& format);
  int32_t Connect(AudioSink* sink);
  int32_t Disconnect();
  bool IsRunning();
  uint32_t GetID() const { return id; }
  /// The terminal whose end-of-file hooks this play calls (null: the newest live terminal).
  void SetTerminal(COrbeMediaTerm* terminal) { owner = terminal; }
  bool IsTX() const { return bIsTransmit; }

  /// How long StopImmediately waits for a stop that the play's own thread began (its end of
  /// file) before it gives up, unless SetStopWaitMs changed it.
  static constexpr uint32_t kStopWaitMs = 15000;
  /// Sets that bound and the file source's stop bound (AudioSource::SetSourceStopWaitMs).
  void SetStopWaitMs(uint32_t ms);

  /// 0, -10 (went to STOPPED while another Start waited), -20 (stopping), -30 (bad state),
  /// -35/-40/-50/-60 (failed start step), -70 (the source thread could not be started).
  /// keepAlive is handed to the file source's thread (AudioSource::SetSourceThreadKeepAlive) if
  /// one is started; an owner holding the play through std::shared_ptr passes a holder of it.
  int32_t Start(std::shared_ptr<void> keepAlive = nullptr);
  /// Stops the file source's thread (its bound, AudioSource::kStopWaitMs by default) or waits at
  /// most kStopWaitMs (by default) for a stop its thread began; returns 0 either way (-10 while
  /// starting).
  int32_t StopImmediately();
  int32_t Cleanup();
  int32_t CleanupImmediately();

  void FilePlayStarted(WaveFileSource* source, const char* fileName) override;
  void FilePlayStopped(WaveFileSource* source, const char* fileName) override;

  int32_t GetState();

 private:
  void SetState(State state);  // under stateMutex; sets stateChangedEvent

  std::unique_ptr<WaveFileSource> waveFileSource;
  std::unique_ptr<ACMTransformer> acmTransformer;
  std::unique_ptr<PCMVolumeTransformer> pcmVolumeTransformer;
  AudioSink* audioSink = nullptr;
  uint32_t id = 0;
  bool bIsTransmit;
  COrbeMediaTerm* owner = nullptr;  // set once before the play starts
  CriticalSection stateMutex;
  Event stateChangedEvent{Event::Reset::kAuto};
  State currentState TARSIO_GUARDED_BY(stateMutex) = STATE_STOPPED;
  std::atomic<uint32_t> stopWaitMs{kStopWaitMs};
};

}  // namespace tarsio
