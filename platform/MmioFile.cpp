#include "platform/MmioFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace tarsio {

namespace {

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

MmioFile::~MmioFile() { Close(); }

bool MmioFile::Open(const char* path) {
  Close();
  if (path == nullptr) return false;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  struct stat st {};
  // Only regular files: a directory or a device would make every read fail or never end.
  if (::fstat(::fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return false;
  }
  // Our own buffer replaces stdio's, so that the read position is known exactly.
  std::setvbuf(f, nullptr, _IONBF, 0);
  file_ = f;
  size_ = static_cast<uint64_t>(st.st_size);
  buffer_ = std::make_unique<uint8_t[]>(kBufferSize);
  bufferStart_ = 0;
  bufferLength_ = 0;
  pos_ = 0;
  return true;
}

bool MmioFile::OpenMemory(const uint8_t* data, size_t size) {
  Close();
  if (data == nullptr && size != 0) return false;
  memory_.assign(data, data + size);
  isMemory_ = true;
  size_ = size;
  pos_ = 0;
  return true;
}

void MmioFile::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  isMemory_ = false;
  memory_.clear();
  memory_.shrink_to_fit();
  buffer_.reset();
  bufferStart_ = 0;
  bufferLength_ = 0;
  size_ = 0;
  pos_ = 0;
}

bool MmioFile::FillBuffer() {
  bufferStart_ = pos_;
  bufferLength_ = 0;
  if (pos_ >= size_) return true;
  if (::fseeko(file_, static_cast<off_t>(pos_), SEEK_SET) != 0) return false;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(kBufferSize, size_ - pos_));
  bufferLength_ = std::fread(buffer_.get(), 1, want, file_);
  return bufferLength_ > 0 || std::ferror(file_) == 0;
}

int64_t MmioFile::Read(void* buffer, int64_t n) {
  if (!IsOpen() || n < 0 || (buffer == nullptr && n > 0)) return -1;
  if (n == 0 || pos_ >= size_) return 0;
  const uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(n), size_ - pos_);
  auto* out = static_cast<uint8_t*>(buffer);
  if (isMemory_) {
    std::memcpy(out, memory_.data() + pos_, count);
    pos_ += count;
    return static_cast<int64_t>(count);
  }
  uint64_t done = 0;
  while (done < count) {
    if (pos_ < bufferStart_ || pos_ >= bufferStart_ + bufferLength_) {
      if (count - done >= kBufferSize) {
        // A large read goes straight into the caller's memory.
        if (::fseeko(file_, static_cast<off_t>(pos_), SEEK_SET) != 0) break;
        const size_t got = std::fread(out + done, 1, count - done, file_);
        done += got;
        pos_ += got;
        break;
      }
      if (!FillBuffer() || bufferLength_ == 0) break;
    }
    const uint64_t offset = pos_ - bufferStart_;
    const uint64_t take = std::min<uint64_t>(count - done, bufferLength_ - offset);
    std::memcpy(out + done, buffer_.get() + offset, take);
    done += take;
    pos_ += take;
  }
  if (done == 0 && std::ferror(file_) != 0) return -1;
  return static_cast<int64_t>(done);
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
  pos_ = static_cast<uint64_t>(base + offset);
  return static_cast<int64_t>(pos_);
}

bool MmioFile::ReadHeader(MMCKINFO* ck, uint64_t limit) {
  const uint64_t end = std::min(limit, size_);
  if (pos_ > end || end - pos_ < 8) return false;
  uint8_t header[8];
  if (Read(header, 8) != 8) return false;
  ck->ckid = LoadLe32(header);
  ck->cksize = LoadLe32(header + 4);
  ck->dwDataOffset = pos_;
  ck->fccType = 0;
  ck->dwFlags = 0;
  if ((ck->ckid == kFourCCRiff || ck->ckid == kFourCCList) && ck->cksize >= 4 && end - pos_ >= 4) {
    uint8_t type[4];
    if (Read(type, 4) != 4) return false;
    ck->fccType = LoadLe32(type);
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
  pos_ = ck->dwDataOffset + ck->cksize + (ck->cksize & 1u);
  return kOk;
}

uint64_t MmioFile::BytesLeftInChunk(const MMCKINFO& ck) const {
  const uint64_t end = std::min(ck.dwDataOffset + ck.cksize, size_);
  return end > pos_ ? end - pos_ : 0;
}

}  // namespace tarsio
