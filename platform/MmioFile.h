// Buffered, read-only access to RIFF files with the multimedia-file (mmio) model: open, descend
// into a RIFF form or a named chunk, ascend out of it, read, seek, and the read position.
//
// The file comes either from a path (read through an 8 KB buffer) or from a byte span held in
// memory (copied at open; used by the fuzzer and by tests). Sizes and positions are 64-bit.
// Chunk walking never trusts a size field: a header cut short, a chunk that claims to reach past
// its parent or past the end of the file, and odd sizes (followed by a pad byte) are all handled
// without reading outside the file; chunks may appear in any order. A chunk record keeps the size
// written in the file, so callers can compare it with BytesLeftInChunk before allocating.
//
// Two implementations stand behind this header. platform/MmioFile.cpp, the reader described
// above, serves Linux and the fuzz targets. The Windows build leaves that file out
// (TARSIO_PLATFORM_EXCLUDE in the top CMakeLists.txt; it stays beside this header, so the Linux
// build and its object layout do not change) and compiles platform/win32/MmioFile.cpp, which reads
// through the system's mmio functions: mmioOpenW (a memory file is a FOURCC_MEM file over the
// copy), mmioRead, mmioSeek, mmioDescend, mmioAscend, mmioClose. The results are the same: the
// class keeps the read position and the rules of the chunk search (the parent's end, sizes not to
// be trusted), the system reads the bytes and each chunk header. What differs on Windows:
// - A path is in the ANSI code page, as every char path of the Windows API (UTF-8 on Linux).
// - mmio's offsets are signed 32-bit numbers, so files and memory files of 2 GB or more are
//   refused at open.
//
// Threading: none. One object is used by one thread at a time; the caller serialises access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace tarsio {

/// A four-character code as stored in RIFF files ("RIFF" is 'R' in the lowest byte).
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

inline constexpr uint32_t kFourCCRiff = MakeFourCC('R', 'I', 'F', 'F');
inline constexpr uint32_t kFourCCList = MakeFourCC('L', 'I', 'S', 'T');

/// One chunk: id, size of its data part, form type (RIFF and LIST only), file offset of the data
/// part (for RIFF and LIST that is where the form type sits).
struct MMCKINFO {
  uint32_t ckid = 0;
  uint64_t cksize = 0;
  uint32_t fccType = 0;
  uint64_t dwDataOffset = 0;
  uint32_t dwFlags = 0;
};

class MmioFile {
 public:
  // Descend flags.
  static constexpr uint32_t kFindChunk = 0x10;  // MMIO_FINDCHUNK: a chunk with ckid
  static constexpr uint32_t kFindRiff = 0x20;   // MMIO_FINDRIFF: a RIFF form with fccType
  static constexpr uint32_t kFindList = 0x40;   // MMIO_FINDLIST: a LIST with fccType
  // Results.
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kErrInvalidParam = 11;    // MMSYSERR_INVALPARAM
  static constexpr int32_t kErrCannotSeek = 263;     // MMIOERR_CANNOTSEEK
  static constexpr int32_t kErrChunkNotFound = 265;  // MMIOERR_CHUNKNOTFOUND

  static constexpr size_t kBufferSize = 8192;

  MmioFile() = default;
  ~MmioFile();
  MmioFile(const MmioFile&) = delete;
  MmioFile& operator=(const MmioFile&) = delete;

  /// Opens a file read-only with a read buffer. False when it cannot be opened.
  bool Open(const char* path);
  /// Opens a copy of the bytes as a file.
  bool OpenMemory(const uint8_t* data, size_t size);
  void Close();
#ifdef _WIN32
  bool IsOpen() const { return mmio_ != nullptr || isMemory_; }
#else
  bool IsOpen() const { return file_ != nullptr || isMemory_; }
#endif

  /// Total length of the file in bytes.
  uint64_t Size() const { return size_; }
  /// The position the next Read starts at (the buffer's read position).
  uint64_t Position() const { return pos_; }

  /// Reads up to n bytes; returns the count read (0 at the end), -1 on error or when closed.
  int64_t Read(void* buffer, int64_t n);
  /// Moves the read position (origin SEEK_SET, SEEK_CUR or SEEK_END); returns the new position or
  /// -1. Positions past the end are allowed (reads there return 0); negative ones are refused.
  int64_t Seek(int64_t offset, int origin);

  /// Finds a chunk from the current position (inside parent, if given) and enters it: the
  /// position is left at its data (after the form type for RIFF and LIST). Flags 0 enter the
  /// chunk at the current position. kOk or kErrChunkNotFound.
  int32_t Descend(MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);
  /// Leaves a chunk entered with Descend: positions after its data and pad byte.
  int32_t Ascend(const MMCKINFO* ck);

  /// Bytes of the chunk's data part that are present in the file after the read position
  /// (at most cksize from the data start; less when the file is cut short).
  uint64_t BytesLeftInChunk(const MMCKINFO& ck) const;

 private:
  bool ReadHeader(MMCKINFO* ck, uint64_t limit);
#ifdef _WIN32
  // platform/win32/MmioFile.cpp
  /// Moves the system's read position to pos_, which lies inside the file.
  bool MoveSystemPosition();

  void* mmio_ = nullptr;  // the system's HMMIO; none for an empty memory file (nothing to read)
  bool isMemory_ = false;
  std::vector<uint8_t> memory_;  // a memory file's bytes, which the system reads in place
  uint64_t size_ = 0;
  uint64_t pos_ = 0;        // the read position; it may lie past the end, where mmio cannot go
  uint64_t systemPos_ = 0;  // the system's read position; UINT64_MAX when not known
#else
  bool FillBuffer();

  std::FILE* file_ = nullptr;
  bool isMemory_ = false;
  std::vector<uint8_t> memory_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
  size_t bufferLength_ = 0;   // valid bytes in buffer_
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
#endif
};

}  // namespace tarsio
