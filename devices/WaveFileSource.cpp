#include "devices/WaveFileSource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/HostLogWriter.h"
#include "framework/Tracer.h"

namespace tarsio {

namespace {

constexpr uint32_t kFourCCWave = MakeFourCC('W', 'A', 'V', 'E');
constexpr uint32_t kFourCCFmt = MakeFourCC('f', 'm', 't', ' ');
constexpr uint32_t kFourCCData = MakeFourCC('d', 'a', 't', 'a');
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr size_t kFormatBytes = 18;
constexpr size_t kExtensibleBytes = 40;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}

}  // namespace

WaveFileSource::WaveFileSource() : FileSourceNotifier(this) {
  tracer.SetInstanceName("WaveFileSource", this);
  WaveFileSource::ReadTraceLevel();
}

WaveFileSource::~WaveFileSource() {
  CriticalSectionLock lock(filterMutex);
  CloseMMIO();
}

int32_t WaveFileSource::ReadTraceLevel() { return ReadTraceLevelFor("WaveFileSource"); }

int32_t WaveFileSource::CloseMMIO() {
  CriticalSectionLock lock(filterMutex);
  if (hmmio) {
    hmmio->Close();
    hmmio.reset();
  }
  pFormat.reset();
  format = WAVEFORMATEX{};
  formatSize = 0;
  dataSize = 0;
  dataStart = 0;
  return 0;
}

int32_t WaveFileSource::OpenWaveFile(const char* name) {
  return Open(name, [](MmioFile& file, const char* path) { return file.Open(path); });
}

int32_t WaveFileSource::OpenWaveMemory(const uint8_t* data, size_t size, const char* name) {
  return Open(name,
              [data, size](MmioFile& file, const char*) { return file.OpenMemory(data, size); });
}

template <typename OpenFn>
int32_t WaveFileSource::Open(const char* name, OpenFn openFile) {
  CriticalSectionLock lock(filterMutex);
  bLoop = false;
  const size_t length = name == nullptr ? 0 : ::strnlen(name, kMaxFileName + 1) + 1;
  if (bRunning) return kErrRunning;
  if (length < 1 || length > kMaxFileName) return kErrNameLength;
  CloseMMIO();
  std::memcpy(fileName, name, length);

  hmmio = std::make_unique<MmioFile>();
  if (!openFile(*hmmio, fileName)) {
    TRACE(tracer, trace::kError, "SourceStarted : mmioOpen(%s) returned 0x%x\n", fileName, 0u);
    CloseMMIO();
    return kErrCannotOpen;
  }
  const uint64_t startPosition = hmmio->Position();

  riffChunk = MMCKINFO{};
  riffChunk.fccType = kFourCCWave;
  if (hmmio->Descend(&riffChunk, nullptr, MmioFile::kFindRiff) != MmioFile::kOk) {
    TRACE(tracer, trace::kError, "SourceStarted : %s not wave file", fileName);
    CloseMMIO();
    return kErrNotWave;
  }
  const int32_t formatResult = ReadFormat();
  if (formatResult != 0) {
    CloseMMIO();
    return formatResult;
  }
  const int32_t dataResult = FindData();
  if (dataResult != 0) {
    CloseMMIO();
    return dataResult;
  }
  dataStart = hmmio->Position() - startPosition;
  return 0;
}

int32_t WaveFileSource::ReadFormat() {
  subChunk = MMCKINFO{};
  subChunk.ckid = kFourCCFmt;
  if (hmmio->Descend(&subChunk, &riffChunk, MmioFile::kFindChunk) != MmioFile::kOk) {
    TRACE(tracer, trace::kError, "SourceStarted : File %s has no FMT chunk", fileName);
    return kErrNoFormat;
  }
  formatSize = subChunk.cksize;
  // The size is checked against the file before anything is allocated.
  if (formatSize > kMaxFormatSize || formatSize > hmmio->BytesLeftInChunk(subChunk)) {
    TRACE(tracer, trace::kError, "SourceStarted : Failed to read format chunk");
    return kErrBadFormat;
  }
  const size_t allocated = std::max<size_t>(static_cast<size_t>(formatSize), kFormatBytes);
  pFormat = std::make_unique<uint8_t[]>(allocated);  // zero-filled: a short chunk reads as 0s
  if (hmmio->Read(pFormat.get(), static_cast<int64_t>(formatSize)) !=
      static_cast<int64_t>(formatSize)) {
    TRACE(tracer, trace::kError, "SourceStarted : Failed to read format chunk");
    return kErrBadFormat;
  }
  const uint8_t* p = pFormat.get();
  format.wFormatTag = Le16(p);
  format.nChannels = Le16(p + 2);
  format.nSamplesPerSec = Le32(p + 4);
  format.nAvgBytesPerSec = Le32(p + 8);
  format.nBlockAlign = Le16(p + 12);
  format.wBitsPerSample = Le16(p + 14);
  format.cbSize = 0;
  // An extensible format names its real encoding in the first two bytes of its sub-format.
  if (format.wFormatTag == kTagExtensible && formatSize >= kExtensibleBytes) {
    format.wFormatTag = Le16(p + 24);
  }
  if (format.nAvgBytesPerSec == 0) {
    TRACE(tracer, trace::kError, "SourceStarted : File %s has an average byte rate of 0", fileName);
    return kErrBadFormat;
  }
  // A rate no sound file can mean (an IMA ADPCM file at 1 Hz made the conversion to 8 kHz decode
  // and resample for minutes and take gigabytes), or a channel count that overflows the sizes
  // derived from it, is refused like any other unusable format.
  if (format.nSamplesPerSec < kMinSampleRate || format.nSamplesPerSec > kMaxSampleRate ||
      format.nChannels > kMaxChannels) {
    TRACE(tracer, trace::kError, "SourceStarted : File %s has %u Hz, %u channels", fileName,
          format.nSamplesPerSec, static_cast<uint32_t>(format.nChannels));
    return kErrBadFormat;
  }
  hmmio->Ascend(&subChunk);
  return 0;
}

int32_t WaveFileSource::FindData() {
  subChunk = MMCKINFO{};
  subChunk.ckid = kFourCCData;
  // The search runs forward from the end of the "fmt " chunk: a "data" chunk before it is not
  // found, and such a file is refused.
  if (hmmio->Descend(&subChunk, &riffChunk, MmioFile::kFindChunk) != MmioFile::kOk) {
    TRACE(tracer, trace::kError, "SourceStarted : File %s has no data chunk", fileName);
    return kErrNoData;
  }
  // Only the bytes the file really holds, in whole blocks, are audio.
  dataSize = std::min<uint64_t>(subChunk.cksize, hmmio->BytesLeftInChunk(subChunk));
  if (format.nBlockAlign > 1) dataSize -= dataSize % format.nBlockAlign;
  if (dataSize == 0) {
    TRACE(tracer, trace::kError, "SourceStarted : Data chunk of %s contains no data", fileName);
    return kErrEmptyData;
  }
  return 0;
}

int32_t WaveFileSource::PlayInLoop() {
  bLoop = true;
  return 0;
}

int32_t WaveFileSource::GetFormat(WAVEFORMATEX* out) {
  CriticalSectionLock lock(filterMutex);
  if (pFormat && out != nullptr) *out = format;
  return 0;
}

uint32_t WaveFileSource::FrameBytes() {
  CriticalSectionLock lock(filterMutex);
  return FrameBytesLocked();
}

uint64_t WaveFileSource::DataSize() {
  CriticalSectionLock lock(filterMutex);
  return dataSize;
}

uint64_t WaveFileSource::DataStart() {
  CriticalSectionLock lock(filterMutex);
  return dataStart;
}

uint32_t WaveFileSource::FrameBytesLocked() const {
  if (!pFormat) return 0;
  const uint64_t wanted = static_cast<uint64_t>(format.nAvgBytesPerSec) * frameTime / 1000u;
  const uint32_t capacity = AudioSample::kCapacity;
  const uint32_t block = format.nBlockAlign;
  if (wanted > capacity) {
    // The largest whole number of blocks a sample holds.
    if (block >= 1 && block <= capacity) return capacity - capacity % block;
    return capacity;
  }
  if (wanted == 0) return std::clamp<uint32_t>(block, 1, capacity);
  return static_cast<uint32_t>(wanted);
}

int32_t WaveFileSource::SourceStarted() {
  CriticalSectionLock lock(filterMutex);
  if (bRunning) {
    TRACE(tracer, trace::kError, "SourceStarted : e-error : already running\n");
    return -10;
  }
  if (!hmmio || !pFormat) return -20;
  bRunning = true;
  return 0;
}

int32_t WaveFileSource::SourceStopped() {
  CriticalSectionLock lock(filterMutex);
  if (!bRunning) {
    TRACE(tracer, trace::kError, "SourceStopped : e-error : not running\n");
    return -10;
  }
  CloseMMIO();
  bRunning = false;
  return 0;
}

int32_t WaveFileSource::SourceThreadStarted(Thread* /*threadHandle*/, uint32_t /*threadID*/) {
  CriticalSectionLock lock(filterMutex);
  int32_t result = 0;
  if (!hmmio || !pFormat) {
    result = -10;
  } else {
    bRunning = true;
  }
  // The listeners run under filterMutex (see the header).
  Notify(FILE_STARTED, fileName);
  return result;
}

int32_t WaveFileSource::SourceThreadStopped(Thread* /*threadHandle*/, uint32_t /*threadID*/) {
  CriticalSectionLock lock(filterMutex);
  CloseMMIO();
  bRunning = false;
  Notify(FILE_STOPPED, fileName);
  return 0;
}

int64_t WaveFileSource::ReadData(uint8_t* to, uint32_t n) {
  const uint64_t end = dataStart + dataSize;
  const uint64_t pos = hmmio->Position();
  if (pos >= end) return 0;
  return hmmio->Read(to, static_cast<int64_t>(std::min<uint64_t>(n, end - pos)));
}

int32_t WaveFileSource::GenerateDataLocked(AudioSample* sample) {
  if (!bRunning || !hmmio || !pFormat) return 0;  // a 20 ms silent frame
  sample->SetFormat(format);
  const uint32_t wanted = FrameBytesLocked();
  if (sample->GetCapacity() < wanted) return kErrFrameTooLarge;
  uint8_t* data = sample->GetData();
  const int64_t n = ReadData(data, wanted);
  if (n == static_cast<int64_t>(wanted)) {
    sample->SetDataSize(static_cast<int32_t>(wanted));
    return 0;
  }
  if (n < 0 || (n == 0 && !bLoop)) {
    sample->SetDataSize(0);
    return kErrEndOfData;
  }
  if (!bLoop) {
    sample->SetDataSize(static_cast<int32_t>(n));  // the last, short frame
    return 0;
  }
  // Across the end of the data: the frame goes on with the data's first bytes.
  hmmio->Seek(static_cast<int64_t>(dataStart), SEEK_SET);
  const int64_t m = ReadData(data + n, wanted - static_cast<uint32_t>(n));
  if (m > 0) {
    sample->SetDataSize(static_cast<int32_t>(n + m));
    return 0;
  }
  sample->SetDataSize(static_cast<int32_t>(n));
  return kErrLoopRead;
}

int32_t WaveFileSource::GenerateData(AudioSample** out) {
  if (out == nullptr) return -1;
  *out = nullptr;
  AudioSample* sample = nullptr;
  try {
    const int32_t got = AudioSampleManager::Instance()->GetAudioSample(&sample, this);
    if (sample == nullptr) return got != 0 ? got : -1;
    sample->SetDataSize(0);
    sample->SetSilenceDuration(static_cast<int32_t>(frameTime));
    int32_t result;
    {
      CriticalSectionLock lock(filterMutex);
      result = GenerateDataLocked(sample);
    }
    if (result < 0) {
      sample->Release(this);
      return result;
    }
    *out = sample;
    return result;
  } catch (...) {
    HostLogWriter::DeferPlain("WaveFileSource::GenerateData: exception 1");
    if (sample != nullptr) sample->Release(this);
    *out = nullptr;
    return -1;
  }
}

}  // namespace tarsio
