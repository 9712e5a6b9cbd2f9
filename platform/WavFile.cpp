#include "platform/WavFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace tarsio {

namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

WavFile::~WavFile() { Close(); }

void WavFile::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

bool WavFile::OpenRead(const std::string& path, std::string* error) {
  Close();
  writing_ = false;
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) {
    *error = "cannot open " + path;
    return false;
  }
  uint8_t riff[12];
  if (std::fread(riff, 1, 12, file_) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    *error = path + " is not a RIFF WAVE file";
    Close();
    return false;
  }
  bool haveFormat = false;
  for (;;) {
    uint8_t chunk[8];
    if (std::fread(chunk, 1, 8, file_) != 8) {
      *error = path + " has no data chunk";
      Close();
      return false;
    }
    const uint32_t size = Le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t fmt[16];
      if (size < 16 || std::fread(fmt, 1, 16, file_) != 16) {
        *error = path + " has a short fmt chunk";
        Close();
        return false;
      }
      format_.wFormatTag = Le16(fmt);
      format_.nChannels = Le16(fmt + 2);
      format_.nSamplesPerSec = Le32(fmt + 4);
      format_.nAvgBytesPerSec = Le32(fmt + 8);
      format_.nBlockAlign = Le16(fmt + 12);
      format_.wBitsPerSample = Le16(fmt + 14);
      format_.cbSize = 0;
      if (format_.wFormatTag != kWaveFormatPcm) {
        *error = path + " is not PCM";
        Close();
        return false;
      }
      haveFormat = true;
      std::fseek(file_, static_cast<long>((size - 16) + (size & 1)), SEEK_CUR);
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) {
        *error = path + " has data before fmt";
        Close();
        return false;
      }
      // The size field is not trusted: only the bytes the file really holds after the header
      // are data, so a reader may size its memory by DataSize().
      const long at = std::ftell(file_);
      struct stat st {};
      if (at < 0 || ::fstat(::fileno(file_), &st) != 0) {
        *error = "cannot read " + path;
        Close();
        return false;
      }
      const uint64_t present = static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(at)
                                   ? static_cast<uint64_t>(st.st_size) - static_cast<uint64_t>(at)
                                   : 0;
      dataSize_ = static_cast<uint32_t>(std::min<uint64_t>(size, present));
      dataRead_ = 0;
      return true;
    } else {
      std::fseek(file_, static_cast<long>(size + (size & 1)), SEEK_CUR);
    }
  }
}

uint32_t WavFile::Read(uint8_t* data, uint32_t n) {
  if (file_ == nullptr || writing_) return 0;
  const uint32_t want = std::min(n, dataSize_ - dataRead_);
  const size_t got = std::fread(data, 1, want, file_);
  dataRead_ += static_cast<uint32_t>(got);
  return static_cast<uint32_t>(got);
}

bool WavFile::OpenWrite(const std::string& path, const WAVEFORMATEX& format, std::string* error) {
  Close();
  writing_ = true;
  format_ = format;
  dataSize_ = 0;
  file_ = std::fopen(path.c_str(), "w+b");
  if (file_ == nullptr) {
    *error = "cannot create " + path;
    return false;
  }
  uint8_t header[44];
  std::memcpy(header, "RIFF", 4);
  Put32(header + 4, 36);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  Put32(header + 16, 16);
  Put16(header + 20, format.wFormatTag);
  Put16(header + 22, format.nChannels);
  Put32(header + 24, format.nSamplesPerSec);
  Put32(header + 28, format.nAvgBytesPerSec);
  Put16(header + 32, format.nBlockAlign);
  Put16(header + 34, format.wBitsPerSample);
  std::memcpy(header + 36, "data", 4);
  Put32(header + 40, 0);
  if (std::fwrite(header, 1, 44, file_) != 44 || std::fflush(file_) != 0) {
    *error = "cannot write " + path;
    Close();
    return false;
  }
  return true;
}

bool WavFile::Append(const uint8_t* data, uint32_t n) {
  if (file_ == nullptr || !writing_) return false;
  if (std::fseek(file_, 0, SEEK_END) != 0 || std::fwrite(data, 1, n, file_) != n) return false;
  dataSize_ += n;
  // Keep the header valid after every buffer: RIFF size = 36 + data bytes, then the data size.
  uint8_t size[4];
  Put32(size, 36 + dataSize_);
  if (std::fseek(file_, 4, SEEK_SET) != 0 || std::fwrite(size, 1, 4, file_) != 4) return false;
  Put32(size, dataSize_);
  if (std::fseek(file_, 40, SEEK_SET) != 0 || std::fwrite(size, 1, 4, file_) != 4) return false;
  return std::fflush(file_) == 0;
}

}  // namespace tarsio
