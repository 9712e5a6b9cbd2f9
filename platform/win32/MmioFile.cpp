// The RIFF reader on Windows: the system's mmio functions read the bytes and the chunk headers;
// the read position and the chunk search's rules are kept here (platform/MmioFile.h says what
// differs from the portable reader).
#include "platform/MmioFile.h"

// clang-format off
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <string>

namespace tarsio {

namespace {

// mmio's offsets and lengths are LONGs.
constexpr uint64_t kMaxSize = 0x7FFFFFFF;
constexpr uint64_t kUnknownPosition = UINT64_MAX;

HMMIO Mmio(void* handle) { return static_cast<HMMIO>(handle); }

// A char path as the ANSI functions of the system read it, for the wide functions.
std::wstring WidePath(const char* path) {
  const int n = ::MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

}  // namespace

MmioFile::~MmioFile() { Close(); }

bool MmioFile::Open(const char* path) {
  Close();
  if (path == nullptr) return false;
  const std::wstring wide = WidePath(path);
  if (wide.empty()) return false;
  // The file is opened here and handed to mmio as an open handle (a null name with the handle in
  // adwInfo[0]): mmio's own open goes through OpenFile, which takes no path of 128 characters or
  // more, and reads a '+' in a name as the start of a compound file's element name. Others may
  // go on writing, renaming or deleting the file, as on Linux.
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Only files on a disk (a directory does not open; a device or a pipe would make every read fail
  // or never end), and only as long as mmio's offsets reach.
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size) ||
      static_cast<uint64_t>(size.QuadPart) > kMaxSize) {
    ::CloseHandle(file);
    return false;
  }
  ::MMIOINFO info{};
  info.cchBuffer = static_cast<LONG>(kBufferSize);
  // Kernel handles carry 32 significant bits, also in 64-bit processes.
  info.adwInfo[0] = static_cast<DWORD>(reinterpret_cast<uintptr_t>(file));
  HMMIO mmio = ::mmioOpenW(nullptr, &info, MMIO_READ | MMIO_ALLOCBUF);
  if (mmio == nullptr) {
    ::CloseHandle(file);
    return false;
  }
  mmio_ = mmio;  // mmioClose closes the handle
  size_ = static_cast<uint64_t>(size.QuadPart);
  pos_ = 0;
  systemPos_ = 0;
  return true;
}

bool MmioFile::OpenMemory(const uint8_t* data, size_t size) {
  Close();
  if ((data == nullptr && size != 0) || size > kMaxSize) return false;
  memory_.assign(data, data + size);
  isMemory_ = true;
  size_ = size;
  pos_ = 0;
  systemPos_ = 0;
  if (size == 0) return true;
  // mmio reads the copy in place (a memory file with a buffer of the caller's).
  ::MMIOINFO info{};
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = reinterpret_cast<HPSTR>(memory_.data());
  info.cchBuffer = static_cast<LONG>(size);
  HMMIO mmio = ::mmioOpenW(nullptr, &info, MMIO_READ);
  if (mmio == nullptr) {
    Close();
    return false;
  }
  mmio_ = mmio;
  return true;
}

void MmioFile::Close() {
  if (mmio_ != nullptr) {
    ::mmioClose(Mmio(mmio_), 0);
    mmio_ = nullptr;
  }
  isMemory_ = false;
  memory_.clear();
  memory_.shrink_to_fit();
  size_ = 0;
  pos_ = 0;
  systemPos_ = 0;
}

bool MmioFile::MoveSystemPosition() {
  if (systemPos_ == pos_) return true;
  if (::mmioSeek(Mmio(mmio_), static_cast<LONG>(pos_), SEEK_SET) != static_cast<LONG>(pos_)) {
    systemPos_ = kUnknownPosition;
    return false;
  }
  systemPos_ = pos_;
  return true;
}

int64_t MmioFile::Read(void* buffer, int64_t n) {
  if (!IsOpen() || n < 0 || (buffer == nullptr && n > 0)) return -1;
  if (n == 0 || pos_ >= size_) return 0;
  const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(n), size_ - pos_);
  if (!MoveSystemPosition()) return -1;
  const LONG got = ::mmioRead(Mmio(mmio_), static_cast<HPSTR>(buffer), static_cast<LONG>(count));
  if (got < 0) {
    systemPos_ = kUnknownPosition;
    return -1;
  }
  pos_ += static_cast<uint64_t>(got);
  systemPos_ = pos_;
  return got;
}

int64_t MmioFile::Seek(int64_t offset, int origin) {
  if (!IsOpen()) return -1;
  int64_t base = 0;
  switch (origin) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = static_cast<int64_t>(pos_);
      break;
    case SEEK_END:
      base = static_cast<int64_t>(size_);
      break;
    default:
      return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
  const uint64_t previous = pos_;
  pos_ = static_cast<uint64_t>(base + offset);
  // Inside the file the system goes there at once; past the end only reads of 0 bytes follow,
  // which never reach the system (mmio cannot seek past a memory file's end).
  if (pos_ < size_ && !MoveSystemPosition()) {
    pos_ = previous;
    return -1;
  }
  return static_cast<int64_t>(pos_);
}

bool MmioFile::ReadHeader(MMCKINFO* ck, uint64_t limit) {
  const uint64_t end = std::min(limit, size_);
  if (pos_ > end || end - pos_ < 8) return false;
  if (!MoveSystemPosition()) return false;
  // Without search flags mmioDescend reads the chunk header at the read position. It reads the
  // form type of any RIFF or LIST chunk whether or not the file holds one, and leaves its position
  // after it, so both are taken only where the chunk and the limit hold four more bytes.
  ::MMCKINFO found{};
  const MMRESULT result = ::mmioDescend(Mmio(mmio_), &found, nullptr, 0);
  systemPos_ = kUnknownPosition;
  if (result != MMSYSERR_NOERROR) return false;
  pos_ += 8;
  ck->ckid = found.ckid;
  ck->cksize = found.cksize;
  ck->dwDataOffset = pos_;
  ck->fccType = 0;
  ck->dwFlags = 0;
  if ((ck->ckid == kFourCCRiff || ck->ckid == kFourCCList) && ck->cksize >= 4 && end - pos_ >= 4) {
    ck->fccType = found.fccType;
    pos_ += 4;
  }
  return true;
}

int32_t MmioFile::Descend(MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
  if (!IsOpen() || ck == nullptr) return kErrInvalidParam;
  const uint64_t limit = parent != nullptr ? parent->dwDataOffset + parent->cksize : size_;
  if (parent != nullptr && pos_ < parent->dwDataOffset) return kErrChunkNotFound;

  uint32_t wantId = 0;
  uint32_t wantType = 0;
  if ((flags & kFindRiff) != 0) {
    wantId = kFourCCRiff;
    wantType = ck->fccType;
  } else if ((flags & kFindList) != 0) {
    wantId = kFourCCList;
    wantType = ck->fccType;
  } else if ((flags & kFindChunk) != 0) {
    wantId = ck->ckid;
  }
  const bool isForm = wantId == kFourCCRiff || wantId == kFourCCList;

  // The search is this loop rather than mmioDescend's own (MMIO_FINDCHUNK and friends): that one
  // looks past the parent's end, and skips a chunk by its size field alone, so a size that wraps
  // the 32-bit offset around sends it back to the same header for ever.
  for (;;) {
    MMCKINFO found;
    if (!ReadHeader(&found, limit)) return kErrChunkNotFound;
    const bool match =
        flags == 0 ||
        (found.ckid == wantId && (!isForm || (found.cksize >= 4 && found.fccType == wantType)));
    if (match) {
      *ck = found;
      pos_ =
          found.dwDataOffset +
          ((found.ckid == kFourCCRiff || found.ckid == kFourCCList) && found.cksize >= 4 ? 4 : 0);
      return kOk;
    }
    // Skip the chunk and its pad byte; a chunk reaching past the parent or the file ends the
    // search (its size is not to be trusted and nothing after it can be found).
    const uint64_t next = found.dwDataOffset + found.cksize + (found.cksize & 1u);
    if (next > std::min(limit, size_) + 1) return kErrChunkNotFound;
    pos_ = next;
  }
}

int32_t MmioFile::Ascend(const MMCKINFO* ck) {
  if (!IsOpen() || ck == nullptr) return kErrInvalidParam;
  const uint64_t next = ck->dwDataOffset + ck->cksize + (ck->cksize & 1u);
  if (next < size_) {
    // mmioAscend seeks to the same place: after the data and its pad byte.
    ::MMCKINFO system{};
    system.ckid = ck->ckid;
    system.cksize = static_cast<DWORD>(ck->cksize);
    system.fccType = ck->fccType;
    system.dwDataOffset = static_cast<DWORD>(ck->dwDataOffset);
    if (::mmioAscend(Mmio(mmio_), &system, 0) != MMSYSERR_NOERROR) {
      systemPos_ = kUnknownPosition;
      return kErrCannotSeek;
    }
    systemPos_ = next;
  }
  pos_ = next;
  return kOk;
}

uint64_t MmioFile::BytesLeftInChunk(const MMCKINFO& ck) const {
  const uint64_t end = std::min(ck.dwDataOffset + ck.cksize, size_);
  return end > pos_ ? end - pos_ : 0;
}

}  // namespace tarsio
