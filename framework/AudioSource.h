// The base of everything that produces audio samples.
//
// Derived classes implement GenerateData. Driven either by its own thread (StartSourceThread:
// loop on GenerateData, push each sample to every sink) or pulled by a sink
// (GiveNextAudioSample: GenerateData on the caller's thread, the result to the caller and pushed
// to the other sinks).
//
// Threading:
// - Host threads: StartSourceThread/StopSourceThread, Add/RemoveAudioSink.
// - The source thread: SourceThreadProc.
// - Any sink thread or pushing thread: GiveNextAudioSample.
// The source thread's host-log entries are deferred (HostLogWriter::DeferredEntry): a host may
// hold its log lock while it stops the source and waits for this thread.
// Locks: sourceStartStopMutex before sourceStateMutex. Both StartSourceThread and
// StopSourceThread hold sourceStartStopMutex, so a start never clears the stop event a stop is
// waiting for. audioSinksMutex is held during every delivery, so all processing downstream of a
// push runs under it. The stop flag is an atomic read
// between cycles; GenerateData on the thread must return soon after it is set (derived classes
// that block override StopSourceThread to wake it and then call this one). StopSourceThread waits
// at most 15 s for the thread. The thread's last act is setting sourceThreadStopEvent; it does not
// touch the object after that, so the owner may destroy the source once a stop returned. A start
// refused by SourceThreadStarted (-30) returns only after the refused thread has finished.
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
  /// Always 0.
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

  bool IsSourceThreadRunning() const { return bSourceThreadRunning.load(); }

 protected:
  std::vector<AudioSinkInterface*> audioSinks;  // guarded by audioSinksMutex
  std::unique_ptr<Thread> sourceThreadHandle;   // guarded by sourceStateMutex
  uint32_t sourceThreadID = 0;                  // guarded by sourceStateMutex
  std::atomic<bool> bSourceRunning{false};
  std::atomic<bool> bSourceThreadRunning{false};
  std::atomic<bool> bStopSourceThread{true};
  /// A thread was resumed and its final stop signal has not been waited for yet. A thread clears
  /// bSourceThreadRunning before its last act, so a stop that tested only that flag could return
  /// while the thread still touches the object; stops wait on this instead.
  std::atomic<bool> bStopSignalPending{false};
  Event sourceThreadStartEvent{Event::Reset::kAuto};
  Event sourceThreadStopEvent{Event::Reset::kAuto};
  CriticalSection audioSinksMutex;
  CriticalSection sourceStateMutex;
  CriticalSection sourceStartStopMutex;

 private:
  /// The thread's entry: a null source is logged ("AudioSource::SourceThreadProc: !params").
  static uint32_t SourceThreadEntry(AudioSource* source);
  uint32_t SourceThreadProc();
};

}  // namespace tarsio
