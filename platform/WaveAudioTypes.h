// The records, flags, messages and result codes of the waveform-audio device model.
//
// The capture and playback filters drive sound devices the way Windows' waveIn/waveOut/mixer
// functions do: buffers described by WAVEHDR records are prepared, queued, filled or played by a
// device thread and handed back through a callback with WIM_DATA / WOM_DONE. The numbers below are
// the ones those functions use, because they appear in host-log entries and traces.
// WaveAudioIn, WaveAudioOut and WaveAudioMixer implement the functions over an AudioBackend.
#pragma once

#include <cstdint>

namespace tarsio {

/// The default device of a direction (Windows' WAVE_MAPPER).
namespace wave {
inline constexpr int32_t kMapper = -1;
}  // namespace wave

// Result codes.
namespace mmsys {
inline constexpr uint32_t kNoError = 0;
inline constexpr uint32_t kError = 1;
inline constexpr uint32_t kBadDeviceId = 2;
inline constexpr uint32_t kNotEnabled = 3;
inline constexpr uint32_t kAllocated = 4;
inline constexpr uint32_t kInvalidHandle = 5;
inline constexpr uint32_t kNoDriver = 6;
inline constexpr uint32_t kNoMemory = 7;
inline constexpr uint32_t kNotSupported = 8;
inline constexpr uint32_t kInvalidFlag = 10;
inline constexpr uint32_t kInvalidParam = 11;
inline constexpr uint32_t kWaveBadFormat = 32;
inline constexpr uint32_t kWaveStillPlaying = 33;
inline constexpr uint32_t kWaveUnprepared = 34;
inline constexpr uint32_t kMixerInvalidLine = 1024;
inline constexpr uint32_t kMixerInvalidControl = 1025;
}  // namespace mmsys

// Buffer flags (WAVEHDR::dwFlags).
namespace wave {
inline constexpr uint32_t kHdrDone = 0x01;
inline constexpr uint32_t kHdrPrepared = 0x02;
inline constexpr uint32_t kHdrInQueue = 0x10;
}  // namespace wave

// Callback messages.
namespace wave {
inline constexpr uint32_t kOutOpen = 0x3BB;
inline constexpr uint32_t kOutClose = 0x3BC;
inline constexpr uint32_t kOutDone = 0x3BD;
inline constexpr uint32_t kInOpen = 0x3BE;
inline constexpr uint32_t kInClose = 0x3BF;
inline constexpr uint32_t kInData = 0x3C0;
}  // namespace wave

/// The size the filters pass to the prepare/add/write functions (sizeof(WAVEHDR) on 32-bit
/// Windows); any other size is refused with MMSYSERR_INVALPARAM.
inline constexpr uint32_t kWaveHdrSize = 32;

/// One device buffer. The application owns the record and the data; the device owns it between
/// add/write and the done callback.
struct WAVEHDR {
  uint8_t* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uintptr_t dwUser = 0;
  uint32_t dwFlags = 0;
  uint32_t dwLoops = 0;
  WAVEHDR* lpNext = nullptr;
  uintptr_t reserved = 0;
};

// Mixer line component types and control types.
namespace mixer {
inline constexpr uint32_t kDstWaveIn = 7;
inline constexpr uint32_t kSrcUndefined = 0x1000;
inline constexpr uint32_t kSrcMicrophone = 0x1003;
inline constexpr uint32_t kSrcLine = 0x1002;
inline constexpr uint32_t kControlVolume = 0x50030001;
inline constexpr uint32_t kControlMute = 0x20010002;
}  // namespace mixer

/// One mixer line as mixerGetLineInfo reports it (the fields the filters read).
struct MixerLine {
  uint32_t dwDestination = 0;
  uint32_t dwSource = 0;
  uint32_t dwLineID = 0;
  uint32_t dwComponentType = 0;
  uint32_t cConnections = 0;
  uint32_t cControls = 0;
  char szName[64] = {};
};

/// One control of a line as mixerGetLineControls reports it.
struct MixerControl {
  uint32_t dwControlID = 0;
  uint32_t dwControlType = 0;
  uint32_t dwMinimum = 0;
  uint32_t dwMaximum = 0;
};

}  // namespace tarsio
