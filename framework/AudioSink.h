// The base of everything that consumes audio samples.
//
// Two exclusive modes: started (StartSink), where source threads push into TakeNextAudioSample,
// and thread running (StartSinkThread), where the sink's own thread pulls one sample from each
// source per cycle and renders the set. Derived classes implement RenderAudioSamples and may
// override the four hooks.
//
// Threading:
// - Host threads: StartSink/StopSink, StartSinkThread/StopSinkThread, Add/RemoveAudioSource.
// - A source thread: TakeNextAudioSample (push mode).
// - The sink thread: SinkThreadProc (pull mode).
// The host-log entries of pushes and of the sink thread are deferred
// (HostLogWriter::DeferredEntry): a host may hold its log lock while it stops the sink and waits
// for that thread.
// Locks: sinkStartStopMutex before sinkStateMutex. Both StartSinkThread and StopSinkThread hold
// sinkStartStopMutex, so a start never clears the stop event a stop is waiting for; a stop takes
// no other lock of this class, and the thread runs SinkThreadStopped with none, so a hook that
// waits for a device never holds up a stop beyond its bound.
// audioSourcesMutex is held while sources' GiveNextAudioSample runs (so connecting waits for the
// current collection). RenderAudioSamples runs with no lock of this class. audioSamples belongs to
// the sink thread's cycle; a push collects its set in a list of the pushing thread's own
// (ScopedSampleList: no allocation per push), so pushes from several source threads do not share
// state in this class. The flags are atomics read by the loop between
// cycles.
// The thread's last touch of the object is setting sinkThreadStopEvent. A start refused by
// SinkThreadStarted (-40) returns only after the refused thread has finished (or the stop bound
// passed). An exception out of a cycle ends the thread ("AudioSink::SinkThreadProc: exception")
// the same way a stop does.
//
// Stop bound: StopSinkThread waits at most SinkStopWaitMs() (kSinkStopWaitMs, 15 s, unless changed
// with SetSinkStopWaitMs) for the thread's final signal and then returns 0 whether or not it came;
// SinkThreadEnded() tells which. A sink whose RenderAudioSamples or pulls can block should make
// them return when stopped (device sinks do), so that the bound is rarely reached.
//
// Lifetime when a stop gives up: as for AudioSource, an owner holding the sink through
// std::shared_ptr hands its thread a keep-alive token (SetSinkThreadKeepAlive) before each start;
// the thread keeps the token until after its final signal and drops it as its very last act, so
// what it pins outlives the thread, and is destroyed on that thread if it held the last
// reference. The destructor of a sink whose thread is still pending stops it with the same bound
// (never on the sink thread itself) and logs when it had to give up.
// Never let a sink pull from a source that also pushes into it: a pull holds the sink's
// audioSourcesMutex and then takes the source's audioSinksMutex, a push holds the source's
// audioSinksMutex and then takes the sink's audioSourcesMutex, so the two threads would take the
// same pair of locks in opposite orders and deadlock. Keep push paths and pull paths on separate
// links.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "framework/AudioSinkInterface.h"
#include "framework/TracedObject.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace tarsio {

class AudioSample;
class AudioSource;

/// The samples of one cycle with the source each came from. Each sample carries one reference
/// held by the sink; a RenderAudioSamples/TransformAudioSamples implementation must not release
/// them and must AddRef any it keeps.
using AudioSampleList = std::vector<std::pair<AudioSample*, AudioSource*>>;

class AudioSink : public AudioSinkInterface, public virtual TracedObject {
 public:
  /// The default bound of a stop's wait for the sink thread.
  static constexpr uint32_t kSinkStopWaitMs = 15000;

  AudioSink();
  ~AudioSink() override;

  int32_t TakeNextAudioSample(AudioSample* sample, AudioSource* fromSource) override;
  /// 0, -10 (already running), -20 (stale thread), -30 (CreateThread), -40 (hook refused),
  /// -50 (resume failed).
  virtual int32_t StartSinkThread();
  /// Always 0. Sets the stop flag and waits at most SinkStopWaitMs() for the thread to end; on its
  /// own thread it does not wait.
  virtual int32_t StopSinkThread();
  virtual int32_t SinkThreadStarted(Thread* threadHandle, uint32_t threadID);
  virtual int32_t SinkThreadStopped(Thread* threadHandle, uint32_t threadID);
  virtual int32_t SinkStarted();
  virtual int32_t SinkStopped();
  virtual int32_t RenderAudioSamples(AudioSampleList& audioSamples) = 0;
  /// Called by the sink thread before each pull: a sink that renders into a limited resource
  /// may wait here until it can take the next sample, so that the sample is pulled as late as
  /// possible. False skips the cycle (the thread then checks its stop flag and tries again).
  /// Runs with no lock of this class. The default is ready at once.
  virtual bool ReadyToRender() { return true; }

  /// 0, -10 (already running in a mode, "AudioSink::StartSink (1)"), -20 (hook refused).
  int32_t StartSink();
  /// 0, -10 (thread running), -20 (hook refused).
  int32_t StopSink();
  int32_t AddAudioSource(AudioSource* source);
  int32_t RemoveAudioSource(AudioSource* source);

  bool IsSinkRunning() const { return bSinkRunning.load(); }
  bool IsSinkThreadRunning() const { return bSinkThreadRunning.load(); }

  /// One pull-and-render cycle of the sink thread, callable from tests.
  void RunSinkCycleForTest() { SinkCycle(); }

  /// Waits (at most ms) for the sink thread's final signal if one is pending; kSignaled at
  /// once otherwise. Afterwards no thread of this sink touches the object.
  WaitResult WaitForSinkThreadEnd(uint32_t ms);
  /// True when no thread of this sink can touch it any more: none was started, or the last one
  /// gave its final signal. False after a stop that gave up on a thread still running.
  bool SinkThreadEnded() { return WaitForSinkThreadEnd(0) == WaitResult::kSignaled; }

  /// The token the next StartSinkThread hands to its thread (consumed by that start, whatever
  /// its result): the thread keeps it until after its final signal. Pass a holder of
  /// std::shared_ptr references to this sink and everything its thread reaches.
  void SetSinkThreadKeepAlive(std::shared_ptr<void> token);
  /// The bound of a stop's wait (and of the destructor's), kSinkStopWaitMs unless set.
  void SetSinkStopWaitMs(uint32_t ms) { sinkStopWaitMs.store(ms); }
  uint32_t SinkStopWaitMs() const { return sinkStopWaitMs.load(); }

 protected:
  std::vector<AudioSource*> audioSources TARSIO_GUARDED_BY(audioSourcesMutex);
  AudioSampleList audioSamples;  // the current cycle's set; see Threading
  std::unique_ptr<Thread> sinkThreadHandle TARSIO_GUARDED_BY(sinkStateMutex);
  uint32_t sinkThreadID TARSIO_GUARDED_BY(sinkStateMutex) = 0;
  std::atomic<bool> bSinkRunning{false};
  std::atomic<bool> bSinkThreadRunning{false};
  std::atomic<bool> bStopSinkThread{false};
  /// A thread was resumed and its final stop signal has not been waited for yet (see the same
  /// flag of AudioSource: the thread clears bSinkThreadRunning before its last act).
  std::atomic<bool> bStopSignalPending{false};
  Event sinkThreadStartEvent{Event::Reset::kAuto};
  /// Manual reset: set by the thread as its last touch, reset by the next start, so every waiter
  /// and every SinkThreadEnded query sees it.
  Event sinkThreadStopEvent{Event::Reset::kManual};
  CriticalSection audioSourcesMutex;
  CriticalSection sinkStateMutex;
  CriticalSection sinkStartStopMutex TARSIO_ACQUIRED_BEFORE(sinkStateMutex);

  /// Releases every sample of audioSamples and empties it.
  void ReleaseAudioSamples();

 private:
  /// Sets the stop flag and waits (bounded) for the thread's final signal unless called on that
  /// thread; the common part of StopSinkThread and the destructor. A wait that gives up is
  /// written to the host log with hostLogLabel, or only traced when that is null.
  WaitResult StopAndWait(const char* hostLogLabel);

  std::shared_ptr<void> nextThreadKeepAlive TARSIO_GUARDED_BY(sinkStateMutex);
  std::atomic<uint32_t> sinkStopWaitMs{kSinkStopWaitMs};
  /// The id of the latest thread; stays set after the thread ended (see AudioSource).
  std::atomic<uint32_t> lastThreadId{0};

  uint32_t SinkThreadProc();
  void SinkCycle();
};

}  // namespace tarsio
