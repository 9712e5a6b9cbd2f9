// The conversion stream on Windows: the system's Audio Compression Manager does the work
// (platform/AcmStream.h says how this differs from the portable converter).
//
// A stream is a chain of one to three of the system's streams joined by 16-bit PCM: a decoder
// (source to 16-bit PCM with the source's channels and rate), the PCM converter (to mono at the
// destination's rate) and an encoder (to A-law or µ-law). Every link has a queue of input
// waiting for it and one prepared header over buffers of its own: the system wants the buffers a
// header was prepared with, so the bytes are copied in and out of them. A call always works on
// the last link that has a whole unit waiting (a block; for the rate change a period of the rate
// pair), and takes new source only when no link has one, so what waits inside stays at about one
// link's output, and each link takes only the input the destination's room needs (one block for
// IMA ADPCM).
#include "platform/AcmStream.h"

// clang-format off
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // libstdc++ on MinGW defines it already
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "platform/AcmFormatRules.h"

namespace tarsio {

namespace {

// Bytes waiting between two links (or for the caller), consumed from the front.
struct ByteQueue {
  std::vector<uint8_t> bytes;
  size_t start = 0;

  size_t Size() const { return bytes.size() - start; }
  const uint8_t* Data() const { return bytes.data() + start; }
  void Push(const uint8_t* data, size_t n) { bytes.insert(bytes.end(), data, data + n); }
  void Pop(size_t n) {
    start += n;
    if (start >= bytes.size()) {
      bytes.clear();
      start = 0;
    }
  }
  void Clear() {
    bytes.clear();
    start = 0;
  }
};

// A format as the system takes it: the WAVEFORMATEX, followed for IMA ADPCM by its samples per
// block (the layout of IMAADPCMWAVEFORMAT). The byte rate is computed here rather than taken from
// the caller, who may have read any number from a file: the portable converter ignores it, and a
// driver may refuse a format whose byte rate does not match.
struct SystemFormat {
  ::IMAADPCMWAVEFORMAT format{};

  explicit SystemFormat(const AcmFormat& f) {
    ::WAVEFORMATEX& w = format.wfx;
    w.wFormatTag = f.wFormatTag;
    w.nChannels = f.nChannels;
    w.nSamplesPerSec = f.nSamplesPerSec;
    w.nBlockAlign = f.nBlockAlign;
    w.wBitsPerSample = f.wBitsPerSample;
    if (f.wFormatTag == AcmStream::kTagImaAdpcm) {
      const uint32_t samples = AcmFormatRules::ImaSamplesPerBlock(f.nBlockAlign, f.nChannels);
      w.cbSize = sizeof(WORD);
      format.wSamplesPerBlock = static_cast<WORD>(samples);
      w.nAvgBytesPerSec =
          static_cast<DWORD>(static_cast<uint64_t>(f.nSamplesPerSec) * f.nBlockAlign / samples);
    } else {
      w.cbSize = 0;
      w.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    }
  }
  ::WAVEFORMATEX* Get() { return &format.wfx; }
};

AcmFormat Pcm16(uint16_t channels, uint32_t rate) {
  const auto block = static_cast<uint16_t>(2u * channels);
  return AcmFormat{AcmStream::kTagPcm, channels, rate, rate * block, block, 16};
}

bool IsPcm16(const AcmFormat& f) {
  return f.wFormatTag == AcmStream::kTagPcm && f.wBitsPerSample == 16;
}

// The links from src to dst (both valid by AcmFormatRules).
std::vector<std::pair<AcmFormat, AcmFormat>> Chain(const AcmFormat& src, const AcmFormat& dst) {
  std::vector<std::pair<AcmFormat, AcmFormat>> links;
  AcmFormat at = src;
  if (!IsPcm16(src)) {
    links.emplace_back(src, Pcm16(src.nChannels, src.nSamplesPerSec));
    at = links.back().second;
  }
  if (at.nChannels != 1 || at.nSamplesPerSec != dst.nSamplesPerSec) {
    links.emplace_back(at, Pcm16(1, dst.nSamplesPerSec));
    at = links.back().second;
  }
  if (dst.wFormatTag != AcmStream::kTagPcm) links.emplace_back(at, dst);
  return links;
}

// One of the system's streams in the chain.
struct Link {
  Link(const AcmFormat& f, const AcmFormat& t) : from(f), to(t) {}

  SystemFormat from;
  SystemFormat to;
  HACMSTREAM handle = nullptr;
  ::ACMSTREAMHEADER header{};
  bool prepared = false;
  std::vector<uint8_t> in;  // the buffers the header was prepared with
  std::vector<uint8_t> out;
  ByteQueue queue;          // whole blocks of `from` waiting for this link
  bool endPending = false;  // the end has reached this link: convert with ACM_STREAMCONVERTF_END
  bool restart = false;     // the end went through: the next conversion starts afresh

  uint32_t Block() const { return from.format.wfx.nBlockAlign; }
  /// The input a conversion takes in whole multiples of: a block, or for a rate change one period
  /// of the rate pair (from / gcd frames, which make exactly to / gcd frames). Wine's PCM converter
  /// rounds its output length at every call, so pieces of any other size gain or lose frames
  /// (11 025 Hz to 8 kHz in 20 ms pieces: 18 frames a second too many); whole periods come out
  /// exact, with any converter that is exact over a period.
  uint64_t Unit() const {
    const uint32_t in = from.format.wfx.nSamplesPerSec;
    const uint32_t out = to.format.wfx.nSamplesPerSec;
    return static_cast<uint64_t>(Block()) * (in == out ? 1u : in / std::gcd(in, out));
  }
  bool DecodesIma() const { return from.format.wfx.wFormatTag == AcmStream::kTagImaAdpcm; }
  bool ChangesRate() const {
    return from.format.wfx.nSamplesPerSec != to.format.wfx.nSamplesPerSec;
  }
};

}  // namespace

struct AcmStream::System {
  AcmFormat src{};
  AcmFormat dst{};
  uint32_t dstSampleBytes = 0;
  // Built once at open and never resized: each link's header stays at its address while the
  // system holds it prepared.
  std::vector<Link> links;
  ByteQueue output;  // converted bytes in the destination format, not yet delivered
  bool endRequested = false;
  uint32_t preparedSrcLength = 0;
  uint32_t preparedDstLength = 0;

  /// Source frames that yield about outFrames destination frames (rounded up, plus one for the
  /// rate converter's phase).
  uint64_t SourceFramesFor(uint64_t outFrames) const {
    return (outFrames * src.nSamplesPerSec + dst.nSamplesPerSec - 1) / dst.nSamplesPerSec + 1;
  }

  /// Bytes that link k (or, with no links, the source passed straight through) takes for room
  /// destination frames: one block for IMA ADPCM, else the frames the room needs. The first
  /// link's input is the source format.
  uint64_t InputBytesFor(size_t k, uint64_t room) const {
    if (k < links.size() && links[k].DecodesIma()) return links[k].Block();
    bool rateAhead = false;
    for (size_t j = k; j < links.size(); ++j) rateAhead = rateAhead || links[j].ChangesRate();
    const uint64_t frames = std::max<uint64_t>(1, rateAhead ? SourceFramesFor(room) : room);
    return frames * (k < links.size() ? links[k].Block() : src.nBlockAlign);
  }

  static uint64_t RoundUp(uint64_t bytes, uint64_t unit) {
    return (bytes + unit - 1) / unit * unit;
  }

  ByteQueue& QueueAfter(size_t k) { return k + 1 < links.size() ? links[k + 1].queue : output; }

  int32_t Prepare(uint32_t dstFrames, uint32_t srcBytes) {
    if (const int32_t result = Unprepare()) return result;
    for (size_t k = 0; k < links.size(); ++k) {
      Link& link = links[k];
      uint64_t inBytes = RoundUp(InputBytesFor(k, std::max<uint32_t>(dstFrames, 1)), link.Unit());
      // Never more than one pass can bring: the caller's source buffer for the first link, the
      // previous link's output for the others (a high-rate, many-channel source would otherwise
      // ask for megabytes to fill a small destination in one pass).
      const uint64_t arriving = k == 0 ? srcBytes : links[k - 1].out.size();
      if (arriving > 0) inBytes = std::min(inBytes, RoundUp(arriving, link.Unit()));
      DWORD outBytes = 0;
      MMRESULT result = ::acmStreamSize(link.handle, static_cast<DWORD>(inBytes), &outBytes,
                                        ACM_STREAMSIZEF_SOURCE);
      if (result != MMSYSERR_NOERROR) return static_cast<int32_t>(result);
      link.in.resize(static_cast<size_t>(inBytes));
      link.out.resize(std::max<size_t>(outBytes, link.to.format.wfx.nBlockAlign));
      link.header = ::ACMSTREAMHEADER{};
      link.header.cbStruct = sizeof(::ACMSTREAMHEADER);
      link.header.pbSrc = link.in.data();
      link.header.cbSrcLength = static_cast<DWORD>(link.in.size());
      link.header.pbDst = link.out.data();
      link.header.cbDstLength = static_cast<DWORD>(link.out.size());
      result = ::acmStreamPrepareHeader(link.handle, &link.header, 0);
      if (result != MMSYSERR_NOERROR) {
        Unprepare();
        return static_cast<int32_t>(result);
      }
      link.prepared = true;
    }
    return kOk;
  }

  int32_t Unprepare() {
    int32_t first = kOk;
    for (Link& link : links) {
      if (!link.prepared) continue;
      // The system checks that the lengths are those the header was prepared with.
      link.header.cbSrcLength = static_cast<DWORD>(link.in.size());
      link.header.cbDstLength = static_cast<DWORD>(link.out.size());
      const MMRESULT result = ::acmStreamUnprepareHeader(link.handle, &link.header, 0);
      if (result != MMSYSERR_NOERROR && first == kOk) first = static_cast<int32_t>(result);
      link.prepared = false;
    }
    return first;
  }

  bool Prepared() const {
    return std::all_of(links.begin(), links.end(), [](const Link& l) { return l.prepared; });
  }

  /// Converts the front of link k's queue, at most what room destination frames need (all that
  /// waits, with end), into the next queue.
  int32_t Run(size_t k, uint64_t room, bool end, bool* progress) {
    Link& link = links[k];
    // Whole units as the room needs them; at the end, every whole block that is left.
    const uint64_t unit = end ? link.Block() : link.Unit();
    const size_t whole = link.queue.Size() / unit * unit;
    size_t take = std::min<size_t>(whole, link.in.size());
    if (!end) take = std::min<size_t>(take, RoundUp(InputBytesFor(k, room), unit));
    if (take > 0) std::memcpy(link.in.data(), link.queue.Data(), take);
    link.header.cbSrcLength = static_cast<DWORD>(take);
    link.header.cbSrcLengthUsed = 0;
    link.header.cbDstLength = static_cast<DWORD>(link.out.size());
    link.header.cbDstLengthUsed = 0;
    DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN;
    if (link.restart) flags |= ACM_STREAMCONVERTF_START;
    if (end) flags |= ACM_STREAMCONVERTF_END;
    const MMRESULT result = ::acmStreamConvert(link.handle, &link.header, flags);
    if (result != MMSYSERR_NOERROR) return static_cast<int32_t>(result);
    const size_t used = std::min<size_t>(link.header.cbSrcLengthUsed, take);
    const size_t produced = std::min<size_t>(link.header.cbDstLengthUsed, link.out.size());
    link.queue.Pop(used);
    QueueAfter(k).Push(link.out.data(), produced);
    link.restart = false;
    *progress = used > 0 || produced > 0;
    if (end && link.queue.Size() < link.Block()) {
      // The end has gone through this link; it moves on to the next.
      link.queue.Clear();
      link.endPending = false;
      link.restart = true;
      if (k + 1 < links.size()) links[k + 1].endPending = true;
      *progress = true;
    }
    return kOk;
  }

  /// One piece of work for a call with room destination frames left: the last link with a whole
  /// unit waiting, else the end where it has reached, else new source, else the end of the
  /// source when the caller flagged it. *progress is false when nothing could be done.
  int32_t Step(const AcmStreamHeader& header, uint64_t room, uint32_t* srcUsed, bool* progress) {
    *progress = false;
    for (size_t k = links.size(); k-- > 0;) {
      if (links[k].queue.Size() >= links[k].Unit()) return Run(k, room, false, progress);
      if (links[k].endPending) return Run(k, room, true, progress);
    }
    const uint32_t blocksLeft = (header.cbSrcLength - *srcUsed) / src.nBlockAlign;
    if (blocksLeft > 0) {
      const uint64_t unit = links.empty() ? src.nBlockAlign : links[0].Unit();
      const uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(blocksLeft) * src.nBlockAlign,
                                                RoundUp(InputBytesFor(0, room), unit));
      ByteQueue& target = links.empty() ? output : links[0].queue;
      target.Push(header.pbSrc + *srcUsed, static_cast<size_t>(bytes));
      *srcUsed += static_cast<uint32_t>(bytes);
      *progress = true;
      return kOk;
    }
    if (endRequested) {
      endRequested = false;
      if (!links.empty()) links[0].endPending = true;
      *progress = !links.empty();
    }
    return kOk;
  }

  /// Writes up to maxFrames waiting destination frames into dst; returns the frames written.
  uint32_t Emit(uint8_t* dst, uint32_t maxFrames) {
    const size_t frames = std::min<size_t>(output.Size() / dstSampleBytes, maxFrames);
    if (frames == 0) return 0;
    std::memcpy(dst, output.Data(), frames * dstSampleBytes);
    output.Pop(frames * dstSampleBytes);
    return static_cast<uint32_t>(frames);
  }

  int32_t CloseStreams() {
    int32_t first = Unprepare();
    for (Link& link : links) {
      if (link.handle == nullptr) continue;
      const MMRESULT result = ::acmStreamClose(link.handle, 0);
      if (result != MMSYSERR_NOERROR && first == kOk) first = static_cast<int32_t>(result);
      link.handle = nullptr;
    }
    return first;
  }
};

AcmStream::AcmStream() = default;

AcmStream::~AcmStream() { Close(); }

uint32_t AcmStream::ImaSamplesPerBlock(uint16_t blockAlign, uint16_t channels) {
  return AcmFormatRules::ImaSamplesPerBlock(blockAlign, channels);
}

bool AcmStream::CanConvert(const AcmFormat& src, const AcmFormat& dst) {
  if (!AcmFormatRules::IsValidSource(src) || !AcmFormatRules::IsValidDestination(dst)) {
    return false;
  }
  for (const auto& [from, to] : Chain(src, dst)) {
    SystemFormat f(from);
    SystemFormat t(to);
    if (::acmStreamOpen(nullptr, nullptr, f.Get(), t.Get(), nullptr, 0, 0, ACM_STREAMOPENF_QUERY) !=
        MMSYSERR_NOERROR) {
      return false;
    }
  }
  return true;
}

int32_t AcmStream::Open(const AcmFormat& src, const AcmFormat& dst, uint32_t flags) {
  Close();
  if (!AcmFormatRules::IsValidSource(src) || !AcmFormatRules::IsValidDestination(dst)) {
    return kErrNotPossible;
  }
  auto system = std::make_unique<System>();
  system->src = src;
  system->dst = dst;
  system->dstSampleBytes = dst.wFormatTag == kTagPcm ? 2u : 1u;
  const auto chain = Chain(src, dst);
  system->links.reserve(chain.size());
  for (const auto& [from, to] : chain) {
    Link& link = system->links.emplace_back(from, to);
    // Any driver that can (no driver handle given); the caller's non-real-time flag lets a driver
    // take its time for quality.
    const MMRESULT result = ::acmStreamOpen(&link.handle, nullptr, link.from.Get(), link.to.Get(),
                                            nullptr, 0, 0, flags & ACM_STREAMOPENF_NONREALTIME);
    if (result != MMSYSERR_NOERROR) {
      link.handle = nullptr;
      system->CloseStreams();
      return static_cast<int32_t>(result);
    }
  }
  system_ = std::move(system);
  open_ = true;
  return kOk;
}

int32_t AcmStream::PrepareHeader(AcmStreamHeader* header) {
  if (!open_) return kErrInvalidHandle;
  if (header == nullptr || header->cbStruct < sizeof(AcmStreamHeader) || header->pbSrc == nullptr ||
      header->pbDst == nullptr) {
    return kErrInvalidParam;
  }
  if ((header->fdwStatus & kStatusPrepared) != 0) return kErrBusy;
  // Every link's buffers are sized here, once, for the largest conversion these buffers allow.
  if (const int32_t result =
          system_->Prepare(header->cbDstLength / system_->dstSampleBytes, header->cbSrcLength)) {
    return result;
  }
  system_->preparedSrcLength = header->cbSrcLength;
  system_->preparedDstLength = header->cbDstLength;
  header->fdwStatus |= kStatusPrepared;
  return kOk;
}

int32_t AcmStream::UnprepareHeader(AcmStreamHeader* header) {
  if (!open_) return kErrInvalidHandle;
  if (header == nullptr) return kErrInvalidParam;
  if ((header->fdwStatus & kStatusPrepared) == 0) return kErrUnprepared;
  if (header->cbSrcLength != system_->preparedSrcLength ||
      header->cbDstLength != system_->preparedDstLength) {
    return kErrInvalidParam;
  }
  if (const int32_t result = system_->Unprepare()) return result;
  header->fdwStatus &= ~kStatusPrepared;
  return kOk;
}

int32_t AcmStream::Close() {
  if (!open_) return kOk;
  const int32_t result = system_->CloseStreams();
  system_.reset();
  open_ = false;
  return result;
}

int32_t AcmStream::Convert(AcmStreamHeader* header, uint32_t flags) {
  if (!open_) return kErrInvalidHandle;
  if (header == nullptr || header->cbStruct < sizeof(AcmStreamHeader)) return kErrInvalidParam;
  if ((header->fdwStatus & kStatusPrepared) == 0 || !system_->Prepared()) return kErrUnprepared;
  if (header->cbSrcLength > system_->preparedSrcLength ||
      header->cbDstLength > system_->preparedDstLength) {
    return kErrInvalidParam;
  }
  header->cbSrcLengthUsed = 0;
  header->cbDstLengthUsed = 0;
  if ((flags & kConvertEnd) != 0) system_->endRequested = true;

  const uint32_t bytes = system_->dstSampleBytes;
  const uint32_t dstFrames = header->cbDstLength / bytes;
  uint32_t srcUsed = 0;
  uint32_t written = 0;
  for (;;) {
    written +=
        system_->Emit(header->pbDst + static_cast<size_t>(written) * bytes, dstFrames - written);
    if (written >= dstFrames) break;
    bool progress = false;
    if (const int32_t result = system_->Step(*header, dstFrames - written, &srcUsed, &progress)) {
      return result;
    }
    if (!progress) break;
  }
  header->cbSrcLengthUsed = srcUsed;
  header->cbDstLengthUsed = written * bytes;
  return kOk;
}

}  // namespace tarsio
