// The base of everything that produces audio samples.
//
// Derived classes implement GenerateData. Driven either by its own thread (StartSourceThread:
// loop on GenerateData, push each sample to every sink) or pulled by a sink
// (GiveNextAudioSample: GenerateData on the caller's thread, the result to the caller and pushed
// to the other sinks).
//
// Threading:
// - Host threads: StartSourceThread/StopSourceThread, Add/RemoveAudioSink, the keep-alive and
//   stop-bound setters, SourceThreadEnded.
// - The source thread: SourceThreadProc.
// - Any sink thread or pushing thread: GiveNextAudioSample.
// The source thread's host-log entries are deferred (HostLogWriter::DeferredEntry): a host may
// hold its log lock while it stops the source and waits for this thread.
// Locks: sourceStartStopMutex before sourceStateMutex. Both StartSourceThread and
// StopSourceThread hold sourceStartStopMutex, so a start never clears the stop event a stop is
// waiting for; a stop takes no other lock of this class, and the thread runs SourceThreadStopped
// with none, so a hook that waits for a device never holds up a stop beyond its bound.
// audioSinksMutex is held during every delivery, so all processing downstream of a push runs
// under it; the thread writes to the host log only outside these locks. The stop flag is an atomic
// read between cycles; GenerateData on the thread must return soon after it is set (derived classes
// that block override StopSourceThread to wake it and then call this one).
//
// Stop bound: StopSourceThread waits at most SourceStopWaitMs() (kStopWaitMs, 15 s, unless changed
// with SetSourceStopWaitMs) for the thread's final signal and then returns 0 whether or not it
// came; SourceThreadEnded() tells which. The thread's last touch of the object is setting
// sourceThreadStopEvent; once that was seen (a stop or SourceThreadEnded returned true) the owner
// may destroy the source.
//
// Lifetime when a stop gives up: an owner that holds the source through std::shared_ptr hands
// the thread a keep-alive token (SetSourceThreadKeepAlive) before each start; the thread holds
// the token until after its final signal, so whatever the token pins (the source and everything
// the thread reaches) outlives the thread even when its owner let go of it after a stop that
// timed out. The token is dropped as the thread's very last act; if that was the last reference,
// the objects are destroyed on the source thread itself. Objects not owned that way (stack
// objects of tests and tools) simply pass no token. The destructor of a source whose thread is
// still pending stops it with the same bound (never on the source thread itself, which has
// signalled its end by the time it can destroy the object) and logs when it had to give up.
// A start refused by SourceThreadStarted (-30) returns only after the refused thread has
// finished (or the stop bound passed).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "framework/AudioSourceInterface.h"
#include "framework/TracedObject.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace tarsio {

class AudioSample;
class AudioSinkInterface;

class AudioSource : public AudioSourceInterface, public virtual TracedObject {
 public:
  static constexpr uint32_t kStopWaitMs = 15000;

  AudioSource();
  ~AudioSource() override;

  int32_t GiveNextAudioSample(AudioSample** out, AudioSink* requester) override;
  /// 0, -10 (running), -20 (stale thread or CreateThread failed), -30 (hook refused).
  virtual int32_t StartSourceThread();
  /// Always 0. Sets the stop flag and waits at most SourceStopWaitMs() for the thread to end; on
  /// its own thread (the source destroyed by its last reference there) it does not wait.
  virtual int32_t StopSourceThread();
  virtual int32_t SourceThreadStarted(Thread* threadHandle, uint32_t threadID);
  virtual int32_t SourceThreadStopped(Thread* threadHandle, uint32_t threadID);
  virtual int32_t SourceStarted();
  virtual int32_t SourceStopped();
  /// Stores a sample with one reference for the caller (or null); negative: nothing available now.
  virtual int32_t GenerateData(AudioSample** out) = 0;

  /// Delivers to one sink; exceptions become "AudioSource::SendAudioSample: exception" and 0.
  int32_t SendAudioSample(AudioSample* sample, AudioSinkInterface* sink);
  int32_t AddAudioSink(AudioSinkInterface* sink);
  int32_t RemoveAudioSink(AudioSinkInterface* sink);

  /// Waits (at most ms) for the signal a source thread gives as its very last act, if a thread
  /// was started and nobody has seen that signal yet; kSignaled at once otherwise. Once this has
  /// returned kSignaled no thread of this source touches the object any more.
  WaitResult WaitForSourceThreadEnd(uint32_t ms);
  /// True when no thread of this source can touch it any more: none was started, or the last
  /// one gave its final signal. False after a stop that gave up on a thread still running.
  bool SourceThreadEnded() { return WaitForSourceThreadEnd(0) == WaitResult::kSignaled; }

  /// The token the next StartSourceThread hands to its thread (consumed by that start, whatever
  /// its result): the thread keeps it until after its final signal. Pass a holder of
  /// std::shared_ptr references to this source and everything its thread reaches.
  void SetSourceThreadKeepAlive(std::shared_ptr<void> token);
  /// The bound of a stop's wait (and of the destructor's), kStopWaitMs unless set.
  void SetSourceStopWaitMs(uint32_t ms) { stopWaitMs.store(ms); }
  uint32_t SourceStopWaitMs() const { return stopWaitMs.load(); }

  bool IsSourceThreadRunning() const { return bSourceThreadRunning.load(); }

 protected:
  std::vector<AudioSinkInterface*> audioSinks TARSIO_GUARDED_BY(audioSinksMutex);
  std::unique_ptr<Thread> sourceThreadHandle TARSIO_GUARDED_BY(sourceStateMutex);
  uint32_t sourceThreadID TARSIO_GUARDED_BY(sourceStateMutex) = 0;
  std::atomic<bool> bSourceRunning{false};
  std::atomic<bool> bSourceThreadRunning{false};
  std::atomic<bool> bStopSourceThread{true};
  /// A thread was resumed and its final stop signal has not been waited for yet. A thread clears
  /// bSourceThreadRunning before its last act, so a stop that tested only that flag could return
  /// while the thread still touches the object; stops wait on this instead.
  std::atomic<bool> bStopSignalPending{false};
  Event sourceThreadStartEvent{Event::Reset::kAuto};
  /// Manual reset: set by the thread as its last touch, reset by the next start, so every waiter
  /// and every SourceThreadEnded query sees it.
  Event sourceThreadStopEvent{Event::Reset::kManual};
  CriticalSection audioSinksMutex;
  CriticalSection sourceStateMutex;
  CriticalSection sourceStartStopMutex TARSIO_ACQUIRED_BEFORE(sourceStateMutex);

 private:
  /// Sets the stop flag and waits (bounded) for the thread's final signal unless called on that
  /// thread; the common part of StopSourceThread and the destructor. A wait that gives up is
  /// written to the host log with hostLogLabel, or only traced when that is null.
  WaitResult StopAndWait(const char* hostLogLabel);

  std::shared_ptr<void> nextThreadKeepAlive TARSIO_GUARDED_BY(sourceStateMutex);
  std::atomic<uint32_t> stopWaitMs{kStopWaitMs};
  /// The id of the latest thread; unlike sourceThreadID it stays set after the thread ended, so
  /// the destructor and the stop can tell that they run on it.
  std::atomic<uint32_t> lastThreadId{0};

  /// The thread's entry: a null source is logged ("AudioSource::SourceThreadProc: !params").
  static uint32_t SourceThreadEntry(AudioSource* source);
  uint32_t SourceThreadProc();
};

}  // namespace tarsio
