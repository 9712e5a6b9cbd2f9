// A minimal WAV (RIFF) file for the file sound backend: reads the PCM data of a file, or writes
// one whose header stays valid while it grows.
//
// Reading accepts uncompressed PCM ("fmt " tag 1) and skips unknown chunks. The "data" chunk's
// size field is cut to the bytes the file holds after it, so DataSize() never exceeds the file
// (a 44-byte file claiming 4 GB of data has 0 data bytes). Writing puts a 44-byte
// header in front and, after every Append, rewrites the RIFF and "data" sizes and flushes, so a
// file cut off at any moment (a crashed or killed process) is still a playable WAV of what was
// written.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "framework/AudioFormat.h"

namespace tarsio {

class WavFile {
 public:
  WavFile() = default;
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  /// Opens for reading; false with a reason in *error when the file is missing or not PCM WAV.
  bool OpenRead(const std::string& path, std::string* error);
  /// Reads up to n data bytes; returns the count (0 at the end of the data).
  uint32_t Read(uint8_t* data, uint32_t n);

  /// Creates (truncates) path and writes the header of an empty file in format.
  bool OpenWrite(const std::string& path, const WAVEFORMATEX& format, std::string* error);
  /// Appends n bytes and updates the header. False on a write error.
  bool Append(const uint8_t* data, uint32_t n);

  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  const WAVEFORMATEX& Format() const { return format_; }
  /// Data bytes present in the file (reading) or written so far (writing).
  uint32_t DataSize() const { return dataSize_; }

 private:
  std::FILE* file_ = nullptr;
  bool writing_ = false;
  WAVEFORMATEX format_{};
  uint32_t dataSize_ = 0;
  uint32_t dataRead_ = 0;
};

}  // namespace tarsio
