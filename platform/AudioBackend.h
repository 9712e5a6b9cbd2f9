// The small interface a sound system implements for the waveform-device model.
//
// A backend lists its devices and opens a Stream in one direction with one format. A Stream moves
// one buffer at a time with blocking, paced calls (Read fills a buffer in about its playing time,
// Write returns once the device has room again), drops pending audio (Reset), carries the output
// volume and, for capture, a small mixer: line 0 is the capture destination, lines 1.. its sources,
// each with optional volume and mute controls. Everything else (buffer headers, queues, callbacks,
// flags, result codes) lives once in WaveAudioIn, WaveAudioOut and WaveAudioMixer.
//
// Implementations: AlsaAudioBackend, FileAudioBackend, NullAudioBackend and, for tests,
// ScriptedAudioBackend. AudioBackendSelector picks one at run time.
//
// Threading: a Stream's Read or Write runs on the device thread of the model; SetInterrupted,
// Reset, Close, the volume and mixer calls come from other threads, Reset and Close never while a
// Read/Write of the same stream runs (a stream whose call was stuck is closed by the device thread
// once the call returns). SetInterrupted(true) must make a blocked Read/Write return within a few
// tens of milliseconds, and every Read/Write should return within a bounded time even when the
// device stops answering: the model bounds its own waits regardless, but a call that never returns
// keeps an abandoned device thread, with the stream, alive (WaveAudioDevice). Streams and backend
// objects are shared (std::shared_ptr) and must allow calls from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/AudioFormat.h"

namespace tarsio {

enum class AudioDirection { kCapture, kPlayback };

/// One device of a direction, in the order of its id (0, 1, ...).
struct AudioDeviceInfo {
  std::string name;         // what the backend opens (an ALSA PCM name, a file path, ...)
  std::string description;  // what a person reads in a device list
};

/// One line of a capture mixer.
struct AudioMixerLine {
  uint32_t componentType = 0;  // MIXERLINE_COMPONENTTYPE_*
  bool hasVolume = false;
  bool hasMute = false;
  std::string name;
};

class AudioBackend {
 public:
  class Stream {
   public:
    virtual ~Stream() = default;

    /// Fills data with up to bytes bytes of captured audio; *got receives the count. Blocks for
    /// about the buffer's playing time. MMSYSERR_NOERROR or an error code.
    virtual uint32_t Read(uint8_t* data, uint32_t bytes, uint32_t* got) = 0;
    /// Plays bytes bytes; returns once the device can take the next buffer.
    virtual uint32_t Write(const uint8_t* data, uint32_t bytes) = 0;
    /// The synchronous answer of the device to one more queued buffer (waveInAddBuffer /
    /// waveOutWrite): MMSYSERR_NOERROR, or an error code when the device refuses it (gone, ...).
    virtual uint32_t CheckQueue() { return 0; }
    /// While set, Read/Write return at once (a blocked one within a few tens of milliseconds).
    virtual void SetInterrupted(bool interrupted) = 0;
    /// Drops audio the device still holds and restarts its pacing. MMSYSERR_NOERROR or an error.
    virtual uint32_t Reset() = 0;
    /// Releases the device. On an error the stream stays usable and Close may be called again.
    virtual uint32_t Close() = 0;

    /// How long audio written now waits inside the device before it is heard, in ms, as last
    /// measured by Write (0 when the backend cannot tell). May be called from any thread.
    virtual uint32_t OutputLatencyMs() { return 0; }

    /// Output volume: low word left, high word right, 0..0xFFFF each.
    virtual uint32_t SetVolume(uint32_t level) = 0;
    virtual uint32_t GetVolume(uint32_t* level) = 0;

    /// Capture mixer lines (empty: no mixer). Line 0 is the destination.
    virtual std::vector<AudioMixerLine> MixerLines() = 0;
    /// Reads or writes one control (MIXERCONTROL_CONTROLTYPE_VOLUME 0..65535, or _MUTE 0/1).
    virtual uint32_t GetMixerValue(uint32_t line, uint32_t controlType, uint32_t* value) = 0;
    virtual uint32_t SetMixerValue(uint32_t line, uint32_t controlType, uint32_t value) = 0;
  };

  /// Buffering a caller would like the device to use: periods of periodUs each (0: the
  /// backend's own default). A hint: backends that cannot honour it ignore it.
  struct StreamTiming {
    uint32_t periodUs = 0;
    uint32_t periods = 0;
  };

  virtual ~AudioBackend() = default;

  /// "alsa", "file", "null", "scripted".
  virtual std::string Name() const = 0;
  virtual std::vector<AudioDeviceInfo> Devices(AudioDirection direction) = 0;
  /// Opens device deviceId (-1: the default device) with format. MMSYSERR_NOERROR,
  /// MMSYSERR_BADDEVICEID, WAVERR_BADFORMAT, MMSYSERR_ALLOCATED or another error code.
  virtual uint32_t Open(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                        std::unique_ptr<Stream>* out) = 0;
  /// Open with a buffering hint; backends without device buffering of their own open as Open.
  virtual uint32_t OpenTimed(AudioDirection direction, int32_t deviceId, const WAVEFORMATEX& format,
                             const StreamTiming& /*timing*/, std::unique_ptr<Stream>* out) {
    return Open(direction, deviceId, format, out);
  }
};

}  // namespace tarsio
