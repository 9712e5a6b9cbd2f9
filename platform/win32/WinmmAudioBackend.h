// The sound backend of Windows: the system's own waveIn/waveOut and mixer functions (winmm).
//
// Devices: device -1 is WAVE_MAPPER (the system's default device of the direction); devices 0,
// 1, ... are the waveIn or waveOut devices in the system's order (waveInGetNumDevs /
// waveOutGetNumDevs), named and described by their product name (waveInGetDevCapsA /
// waveOutGetDevCapsA). An id past the list fails with MMSYSERR_BADDEVICEID.
//
// Streams: Open opens the device with the requested format (a format the device refuses gives
// WAVERR_BADFORMAT) and an event callback (CALLBACK_EVENT), and moves audio through a small ring of
// buffers of its own (kBuffers, or what OpenTimed asks for, between kMinBuffers and kMaxBuffers):
// - Write copies the caller's bytes into the next free buffer, queues it (waveOutWrite) and
//   returns once another buffer is free: when it returns, up to ring - 1 of the caller's buffers
//   wait in the device (3 by default), enough that a late device thread does not starve it.
//   OutputLatencyMs reports the audio queued when the last Write returned.
// - Read starts the device (waveInAddBuffer for every buffer, waveInStart) on the first call after
//   the open or a Reset; buffers are the first Read's size, at most kMaxCaptureBufferMs of audio.
//   Each Read copies the bytes of recorded buffers, oldest first, queueing each buffer again once
//   it is emptied, and waits while no recorded buffer is there.
// - Both wait on the device's event in polls of at most kPollMs. SetInterrupted(true) ends a wait
//   at once (a separate wake-up event), and a Read/Write called while interrupted returns at once,
//   with MMSYSERR_ERROR (an interrupted Write whose buffer was already queued reports success). A
//   wait in which no buffer completes for kStallMs plus one buffer's playing time fails the call
//   with MMSYSERR_ERROR (the device stopped answering), and a refused waveOutWrite /
//   waveInAddBuffer / waveInStart fails it with the system's code.
// - Reset calls waveOutReset / waveInReset: queued audio is dropped, capture stops and restarts at
//   the next Read. Close resets, unprepares every buffer and closes the device; when the close is
//   refused the stream stays open and Close may be called again.
// - Reset and Close each run their system calls on a short-lived helper thread and wait for it at
//   most kControlLimitMs (a sound driver can hang in them; Wine's PulseAudio driver does when the
//   server stops answering). A call that does not return in time is abandoned: the stream then
//   counts as gone (its Reset and Close succeed at once, Read/Write fail, CheckQueue reports
//   MMSYSERR_NODRIVER), and the helper, which shares the device's buffers and handles, finishes
//   closing the device if the call ever returns.
//
// Volume: the playback stream's level goes to waveOutSetVolume / waveOutGetVolume on its own
// handle (low word left, high word right). A mono stream has one level, the low word, which
// GetVolume reports for both channels. A capture stream has no output volume
// (MMSYSERR_NOTSUPPORTED).
//
// Capture mixer: on the first MixerLines / Get/SetMixerValue a capture stream opens the mixer of
// its device (mixerOpen with the waveIn handle, MIXER_OBJECTF_HWAVEIN, else with its device id,
// MIXER_OBJECTF_WAVEIN), finds the waveIn destination line (MIXERLINE_COMPONENTTYPE_DST_WAVEIN)
// and its source lines (mixerGetLineInfoA) and each line's volume and mute controls
// (mixerGetLineControlsA); values go through mixerGet/SetControlDetails, uniformly for all
// channels, the volume scaled from 0..65535 to the control's range. A device without such a mixer
// (Wine refuses mixerOpen for capture handles) has no lines: MixerLines is empty, the value
// calls answer MIXERR_INVALLINE, and capture is not affected.
//
// Threads: the backend has none of its own; the sound system's thread completes buffers (sets
// WHDR_DONE) and signals the stream's event. Each Reset and Close starts one helper thread (an
// engine Thread, joined by the process-wide thread list once it ended).
//
// Locks (a stream; the backend itself is stateless):
// - lock_ guards the stream's state: the device (null once closed or abandoned), the ring's
//   position, the capture's started flag and the reset generation that ends a Read/Write
//   overtaken by a Reset. It is held for the quick system calls of Read/Write (waveOutWrite,
//   waveInAddBuffer, waveInStart, prepare/unprepare), never while waiting for the device or for a
//   helper thread.
// - mixerLock_ guards the mixer handle and its lines; it is taken before lock_, never inside it,
//   and never by Read/Write, so a slow mixer does not hold up the audio.
// - Each device has a controlMutex that keeps its handle open during a volume or mixer call: the
//   close marks the device closed under it before closing the handle. Taken last, after lock_ is
//   released.
//
// Threading contract (AudioBackend): Read/Write on one thread at a time (the device thread);
// SetInterrupted, the volume and mixer calls from any thread at any time. Reset and Close may run
// while a Read/Write waits for the device: they end that wait (the Read/Write returns its error or
// its partial count). A Read/Write inside a system call holds lock_, so Reset/Close then wait for
// that call; the device model never calls them while its Read/Write has not returned.
#pragma once

#include <cstdint>
#include <string>

#include "platform/AudioBackend.h"

namespace tarsio {

class WinmmAudioBackend final : public AudioBackend {
 public:
  /// Buffers in a stream's ring by default, and the range an OpenTimed hint is held to.
  static constexpr uint32_t kBuffers = 4;
  static constexpr uint32_t kMinBuffers = 3;
  static constexpr uint32_t kMaxBuffers = 8;
  /// Longest capture buffer: a long first Read still gets its data in steps of this much audio.
  static constexpr uint32_t kMaxCaptureBufferMs = 100;
  /// Longest single wait for the device event before the stream looks at its flags again.
  static constexpr uint32_t kPollMs = 50;
  /// A wait without any completed buffer for this long (plus one buffer's time) fails the call.
  static constexpr uint32_t kStallMs = 2000;
  /// Longest wait for the system calls of Reset and Close.
  static constexpr uint32_t kControlLimitMs = 1000;

  std::string Name() const override { return "winmm"; }
  std::vector<AudioDeviceInfo> Devices(AudioDirection direction) override;
  /// Opens with a ring of kBuffers buffers.
  uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                std::unique_ptr<Stream>* out) override;
  /// Opens with timing.periods buffers in the ring (held to kMinBuffers..kMaxBuffers); the buffer
  /// size follows the caller's Read/Write size, so periodUs is not used. No hint: as Open.
  uint32_t OpenTimed(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                     const StreamTiming& timing, std::unique_ptr<Stream>* out) override;
};

}  // namespace tarsio
