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
inline constexpr int32_t WAVE_MAPPER = -1;

// Result codes.
inline constexpr uint32_t MMSYSERR_NOERROR = 0;
inline constexpr uint32_t MMSYSERR_ERROR = 1;
inline constexpr uint32_t MMSYSERR_BADDEVICEID = 2;
inline constexpr uint32_t MMSYSERR_NOTENABLED = 3;
inline constexpr uint32_t MMSYSERR_ALLOCATED = 4;
inline constexpr uint32_t MMSYSERR_INVALHANDLE = 5;
inline constexpr uint32_t MMSYSERR_NODRIVER = 6;
inline constexpr uint32_t MMSYSERR_NOMEM = 7;
inline constexpr uint32_t MMSYSERR_NOTSUPPORTED = 8;
inline constexpr uint32_t MMSYSERR_INVALFLAG = 10;
inline constexpr uint32_t MMSYSERR_INVALPARAM = 11;
inline constexpr uint32_t WAVERR_BADFORMAT = 32;
inline constexpr uint32_t WAVERR_STILLPLAYING = 33;
inline constexpr uint32_t WAVERR_UNPREPARED = 34;
inline constexpr uint32_t MIXERR_INVALLINE = 1024;
inline constexpr uint32_t MIXERR_INVALCONTROL = 1025;

// Buffer flags (WAVEHDR::dwFlags).
inline constexpr uint32_t WHDR_DONE = 0x01;
inline constexpr uint32_t WHDR_PREPARED = 0x02;
inline constexpr uint32_t WHDR_INQUEUE = 0x10;

// Callback messages.
inline constexpr uint32_t WOM_OPEN = 0x3BB;
inline constexpr uint32_t WOM_CLOSE = 0x3BC;
inline constexpr uint32_t WOM_DONE = 0x3BD;
inline constexpr uint32_t WIM_OPEN = 0x3BE;
inline constexpr uint32_t WIM_CLOSE = 0x3BF;
inline constexpr uint32_t WIM_DATA = 0x3C0;

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
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
inline constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002;
inline constexpr uint32_t MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
inline constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002;

/// One mixer line as mixerGetLineInfo reports it (the fields the filters read).
struct MIXERLINE {
  uint32_t dwDestination = 0;
  uint32_t dwSource = 0;
  uint32_t dwLineID = 0;
  uint32_t dwComponentType = 0;
  uint32_t cConnections = 0;
  uint32_t cControls = 0;
  char szName[64] = {};
};

/// One control of a line as mixerGetLineControls reports it.
struct MIXERCONTROL {
  uint32_t dwControlID = 0;
  uint32_t dwControlType = 0;
  uint32_t dwMinimum = 0;
  uint32_t dwMaximum = 0;
};

}  // namespace tarsio
