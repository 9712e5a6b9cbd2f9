// The source of a file play: reads a RIFF/WAVE file and hands out one frame of its audio, in the
// file's own format, per call of its source thread; optionally starts over at the end of the
// data; tells its listeners when its thread starts and stops.
//
// Only the "data" chunk is ever played: a single play ends at its last byte, a loop starts over
// at its first, and whatever follows it (pad byte, metadata chunks) is never read as audio. Chunk
// sizes are checked against what the file holds before anything is allocated or read: a "fmt "
// chunk that reaches past the end of the file (or is absurdly large) is refused, a "data" chunk
// that does is cut to the bytes present (and to whole blocks). A "fmt " chunk shorter than 18
// bytes is zero-filled; a format whose average byte rate is 0 (so also an empty or all-zero
// "fmt " chunk) is refused, since the frame size is computed from it and the converter behind
// divides by it; a "data" chunk of less than one block (a 16-bit file with 1 data byte) counts
// as empty, since reading a whole sample from it would read past the data. The "data" chunk is
// searched from the end of the "fmt " chunk onwards: one placed before "fmt " is not found, and
// the file is refused as having no data. A frame is the frame time's worth of bytes
// (nAvgBytesPerSec x 20 ms); when that is more than a sample holds (44.1 kHz stereo 16-bit needs
// 3528 bytes), the frame is the largest whole number of blocks that fits, and the converter behind
// the source paces the file through its queue.
//
// Threading:
// - Host thread (the file play's owner): OpenWaveFile/OpenWaveMemory, PlayInLoop, GetFormat,
//   StartSourceThread (which runs SourceThreadStarted and its FILE_STARTED notification on this
//   thread), StopSourceThread, the destructor (the source thread must have been stopped).
// - The source thread: GenerateData, and SourceThreadStopped with its FILE_STOPPED notification.
// filterMutex guards the file, the format and the file name; the running and loop flags are
// atomics written under it. Notifications run with filterMutex and the listener lock held, so a
// listener must not call back into OpenWaveFile, GetFormat or GenerateData of this source.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "devices/FileSourceNotifier.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSource.h"
#include "platform/CriticalSection.h"
#include "platform/MmioFile.h"

namespace tarsio {

class WaveFileSource : public AudioSource, public FileSourceNotifier {
 public:
  // OpenWaveFile results.
  static constexpr int32_t kErrCannotOpen = -10;
  static constexpr int32_t kErrNotWave = -20;
  static constexpr int32_t kErrNoFormat = -30;
  static constexpr int32_t kErrBadFormat = -40;  // "fmt " cut short, too large, byte rate 0,
                                                 // rate or channels out of range
  static constexpr uint32_t kMinSampleRate = 1000;
  static constexpr uint32_t kMaxSampleRate = 384000;
  static constexpr uint16_t kMaxChannels = 32;
  static constexpr int32_t kErrNoData = -50;
  static constexpr int32_t kErrEmptyData = -60;
  static constexpr int32_t kErrRunning = -70;
  static constexpr int32_t kErrNameLength = -80;
  // GenerateData results.
  static constexpr int32_t kErrFrameTooLarge = -20;
  static constexpr int32_t kErrEndOfData = -30;
  static constexpr int32_t kErrLoopRead = -40;

  static constexpr size_t kMaxFileName = 128;  // with the terminating NUL
  /// "fmt " chunks beyond this are not formats (the largest real one has 40-odd bytes).
  static constexpr uint64_t kMaxFormatSize = 65536;

  WaveFileSource();
  ~WaveFileSource() override;

  int32_t ReadTraceLevel() override;

  /// Opens and checks a file; 0 or one of the kErr codes above.
  int32_t OpenWaveFile(const char* fileName);
  /// As OpenWaveFile, on a copy of the bytes; name is what the listeners are told.
  int32_t OpenWaveMemory(const uint8_t* data, size_t size, const char* name);
  /// Sets the loop flag (OpenWaveFile clears it). Returns 0.
  int32_t PlayInLoop();
  /// Copies the file's format (18 bytes, cbSize 0) if a file is open; returns 0 either way.
  int32_t GetFormat(WAVEFORMATEX* format);
  /// Closes the file and frees the format. Returns 0.
  int32_t CloseMMIO();

  int32_t SourceStarted() override;
  int32_t SourceStopped() override;
  int32_t SourceThreadStarted(Thread* threadHandle, uint32_t threadID) override;
  int32_t SourceThreadStopped(Thread* threadHandle, uint32_t threadID) override;
  int32_t GenerateData(AudioSample** out) override;

  /// Bytes per frame for the open file (0 when none is open).
  uint32_t FrameBytes();
  /// Size and file offset of the audio that is played.
  uint64_t DataSize();
  uint64_t DataStart();
  bool IsRunning() const { return bRunning.load(); }

 private:
  template <typename OpenFn>
  int32_t Open(const char* name, OpenFn openFile);
  int32_t ReadFormat();
  int32_t FindData();
  /// Reads up to n bytes of audio from the read position, never past the end of the data.
  int64_t ReadData(uint8_t* to, uint32_t n);
  uint32_t FrameBytesLocked() const;
  int32_t GenerateDataLocked(AudioSample* sample);

  char fileName[kMaxFileName] = {};
  std::unique_ptr<MmioFile> hmmio;  // null when closed
  MMCKINFO riffChunk;
  MMCKINFO subChunk;
  uint64_t formatSize = 0;
  uint64_t dataSize = 0;
  std::unique_ptr<uint8_t[]> pFormat;  // at least 18 bytes, zero-filled; null when closed
  WAVEFORMATEX format{};               // pFormat read as a format
  uint32_t frameTime = 20;
  std::atomic<bool> bRunning{false};
  uint64_t dataStart = 0;
  std::atomic<bool> bLoop{false};
  CriticalSection filterMutex;
};

}  // namespace tarsio
