#include "platform/AcmStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/AcmFormatRules.h"

#ifdef TARSIO_HAVE_SOXR
#include <soxr.h>
#endif

namespace tarsio {

namespace {

constexpr int kImaIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr int kImaStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

int16_t MulawToLinear(uint8_t code) {
  const int u = static_cast<uint8_t>(~code);
  int t = ((u & 0x0F) << 3) + 0x84;
  t <<= (u & 0x70) >> 4;
  return static_cast<int16_t>((u & 0x80) != 0 ? (0x84 - t) : (t - 0x84));
}

int16_t AlawToLinear(uint8_t code) {
  const int a = code ^ 0x55;
  int t = (a & 0x0F) << 4;
  const int seg = (a & 0x70) >> 4;
  if (seg == 0) {
    t += 8;
  } else if (seg == 1) {
    t += 0x108;
  } else {
    t += 0x108;
    t <<= seg - 1;
  }
  return static_cast<int16_t>((a & 0x80) != 0 ? t : -t);
}

int Segment(int value, const int* ends) {
  for (int i = 0; i < 8; ++i) {
    if (value <= ends[i]) return i;
  }
  return 8;
}

uint8_t LinearToMulaw(int16_t pcm) {
  static constexpr int kEnds[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
  int value = pcm >> 2;
  int mask = 0xFF;
  if (value < 0) {
    value = -value;
    mask = 0x7F;
  }
  value = std::min(value, 8159) + (0x84 >> 2);
  const int seg = Segment(value, kEnds);
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  return static_cast<uint8_t>(((seg << 4) | ((value >> (seg + 1)) & 0x0F)) ^ mask);
}

uint8_t LinearToAlaw(int16_t pcm) {
  static constexpr int kEnds[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
  int value = pcm >> 3;
  int mask = 0xD5;
  if (value < 0) {
    mask = 0x55;
    value = -value - 1;
  }
  const int seg = Segment(value, kEnds);
  if (seg >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  int code = seg << 4;
  code |= seg < 2 ? (value >> 1) & 0x0F : (value >> seg) & 0x0F;
  return static_cast<uint8_t>(code ^ mask);
}

int16_t FloatToPcm16(float v) {
  if (!(v == v)) return 0;  // NaN
  const float scaled = v * 32768.0f;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return static_cast<int16_t>(std::lrintf(scaled));
}

int32_t LoadS24(const uint8_t* p) {
  const int32_t v =
      static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16));
  return (v & 0x800000) != 0 ? v - 0x1000000 : v;
}

int16_t LoadS16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

int32_t LoadS32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) |
                              (static_cast<uint32_t>(p[3]) << 24));
}

float LoadF32(const uint8_t* p) {
  const uint32_t bits = static_cast<uint32_t>(LoadS32(p));
  float f;
  std::memcpy(&f, &bits, sizeof f);
  if (!std::isfinite(f)) return 0.0f;
  return std::clamp(f, -1.0f, 1.0f);
}

float LoadF64(const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  if (!std::isfinite(d)) return 0.0f;
  return static_cast<float>(std::clamp(d, -1.0, 1.0));
}

}  // namespace

AcmStream::AcmStream() = default;

AcmStream::~AcmStream() { Close(); }

uint32_t AcmStream::ImaSamplesPerBlock(uint16_t blockAlign, uint16_t channels) {
  return AcmFormatRules::ImaSamplesPerBlock(blockAlign, channels);
}

bool AcmStream::CanConvert(const AcmFormat& src, const AcmFormat& dst) {
  return AcmFormatRules::IsValidSource(src) && AcmFormatRules::IsValidDestination(dst);
}

int32_t AcmStream::Open(const AcmFormat& src, const AcmFormat& dst, uint32_t /*flags*/) {
  Close();
  if (!CanConvert(src, dst)) return kErrNotPossible;
  src_ = src;
  dst_ = dst;
  framesPerBlock_ =
      src.wFormatTag == kTagImaAdpcm ? ImaSamplesPerBlock(src.nBlockAlign, src.nChannels) : 1u;
  dstSampleBytes_ = dst.wFormatTag == kTagPcm ? 2u : 1u;
  if (src.nSamplesPerSec != dst.nSamplesPerSec) {
#ifdef TARSIO_HAVE_SOXR
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    // Medium quality (16-bit precision, <= 0.35 dB roll-off) is ample for a telephone channel
    // and holds back far less audio than the high-quality filters (~100 ms at 48 kHz).
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_t s =
        soxr_create(static_cast<double>(src.nSamplesPerSec),
                    static_cast<double>(dst.nSamplesPerSec), 1, &error, &io, &quality, &runtime);
    if (s == nullptr || error != nullptr) {
      if (s != nullptr) soxr_delete(s);
      return kErrNotPossible;
    }
    resampler_ = s;
#else
    return kErrNotPossible;
#endif
  }
  pending_.clear();
  pendingStart_ = 0;
  decoded_.clear();
  decodedStart_ = 0;
  endRequested_ = false;
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
  preparedSrcLength_ = header->cbSrcLength;
  preparedDstLength_ = header->cbDstLength;
  // The working memory is sized here, once, for the largest conversion these buffers allow: one
  // IMA ADPCM block, or the source frames that fill the destination; the destination's frames
  // plus a margin for the resampler's tail.
  const uint64_t dstFrames = preparedDstLength_ / dstSampleBytes_;
  const uint64_t maxDecoded =
      src_.wFormatTag == kTagImaAdpcm
          ? framesPerBlock_
          : std::min<uint64_t>(preparedSrcLength_ / src_.nBlockAlign, SourceFramesFor(dstFrames));
  decoded_.reserve(static_cast<size_t>(maxDecoded));
  pending_.reserve(static_cast<size_t>(dstFrames + 4096u));
  header->fdwStatus |= kStatusPrepared;
  return kOk;
}

int32_t AcmStream::UnprepareHeader(AcmStreamHeader* header) {
  if (!open_) return kErrInvalidHandle;
  if (header == nullptr) return kErrInvalidParam;
  if ((header->fdwStatus & kStatusPrepared) == 0) return kErrUnprepared;
  if (header->cbSrcLength != preparedSrcLength_ || header->cbDstLength != preparedDstLength_) {
    return kErrInvalidParam;
  }
  header->fdwStatus &= ~kStatusPrepared;
  return kOk;
}

int32_t AcmStream::Close() {
  if (!open_) return kOk;
#ifdef TARSIO_HAVE_SOXR
  if (resampler_ != nullptr) soxr_delete(static_cast<soxr_t>(resampler_));
#endif
  resampler_ = nullptr;
  open_ = false;
  pending_.clear();
  pendingStart_ = 0;
  decoded_.clear();
  decodedStart_ = 0;
  endRequested_ = false;
  return kOk;
}

void AcmStream::DecodeImaBlock(const uint8_t* block) {
  const uint32_t channels = src_.nChannels;
  const uint32_t n = framesPerBlock_;
  int16_t samples[2][8];
  int predictor[2] = {0, 0};
  int index[2] = {0, 0};
  const size_t base = decoded_.size();
  decoded_.resize(base + n);
  float* out = decoded_.data() + base;
  const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
  for (uint32_t c = 0; c < channels; ++c) {
    predictor[c] = LoadS16(block + 4 * c);
    index[c] = std::clamp<int>(block[4 * c + 2], 0, 88);
  }
  out[0] = static_cast<float>(predictor[0] + (channels == 2 ? predictor[1] : 0)) * scale;

  auto step = [&](uint32_t c, int nibble) -> int16_t {
    const int stepSize = kImaStepTable[index[c]];
    int diff = stepSize >> 3;
    if ((nibble & 4) != 0) diff += stepSize;
    if ((nibble & 2) != 0) diff += stepSize >> 1;
    if ((nibble & 1) != 0) diff += stepSize >> 2;
    predictor[c] += (nibble & 8) != 0 ? -diff : diff;
    predictor[c] = std::clamp(predictor[c], -32768, 32767);
    index[c] = std::clamp(index[c] + kImaIndexTable[nibble], 0, 88);
    return static_cast<int16_t>(predictor[c]);
  };

  // Data: groups of 4 bytes (8 samples, low nibble first) per channel, channels interleaved.
  const uint8_t* p = block + 4 * channels;
  const uint32_t groups = (n - 1) / 8;
  for (uint32_t g = 0; g < groups; ++g) {
    for (uint32_t c = 0; c < channels; ++c) {
      for (int i = 0; i < 4; ++i) {
        const uint8_t byte = *p++;
        samples[c][2 * i] = step(c, byte & 0x0F);
        samples[c][2 * i + 1] = step(c, byte >> 4);
      }
    }
    for (int i = 0; i < 8; ++i) {
      const int sum = samples[0][i] + (channels == 2 ? samples[1][i] : 0);
      out[1 + 8 * g + i] = static_cast<float>(sum) * scale;
    }
  }
}

void AcmStream::DecodeBlocks(const uint8_t* src, uint32_t blocks) {
  if (src_.wFormatTag == kTagImaAdpcm) {
    for (uint32_t b = 0; b < blocks; ++b)
      DecodeImaBlock(src + static_cast<size_t>(b) * src_.nBlockAlign);
    return;
  }
  const uint32_t channels = src_.nChannels;
  const uint32_t bytes = AcmFormatRules::SampleBytes(src_);
  const float average = 1.0f / static_cast<float>(channels);
  const size_t base = decoded_.size();
  decoded_.resize(base + blocks);
  float* out = decoded_.data() + base;
  for (uint32_t f = 0; f < blocks; ++f) {
    const uint8_t* frame = src + static_cast<size_t>(f) * src_.nBlockAlign;
    float sum = 0.0f;
    for (uint32_t c = 0; c < channels; ++c) {
      const uint8_t* p = frame + c * bytes;
      float v = 0.0f;
      switch (src_.wFormatTag) {
        case kTagPcm:
          switch (bytes) {
            case 1:
              v = static_cast<float>(static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
              break;
            case 2:
              v = static_cast<float>(LoadS16(p)) * (1.0f / 32768.0f);
              break;
            case 3:
              v = static_cast<float>(LoadS24(p)) * (1.0f / 8388608.0f);
              break;
            default:
              v = static_cast<float>(static_cast<double>(LoadS32(p)) * (1.0 / 2147483648.0));
              break;
          }
          break;
        case kTagFloat:
          v = bytes == 4 ? LoadF32(p) : LoadF64(p);
          break;
        case kTagAlaw:
          v = static_cast<float>(AlawToLinear(p[0])) * (1.0f / 32768.0f);
          break;
        case kTagMulaw:
          v = static_cast<float>(MulawToLinear(p[0])) * (1.0f / 32768.0f);
          break;
        default:
          break;
      }
      sum += v;
    }
    out[f] = channels == 1 ? sum : sum * average;
  }
}

uint64_t AcmStream::SourceFramesFor(uint64_t outFrames) const {
  // Rounded up, plus one: the resampler's phase may need a frame more than the ratio says.
  return (outFrames * src_.nSamplesPerSec + dst_.nSamplesPerSec - 1) / dst_.nSamplesPerSec + 1;
}

bool AcmStream::Resample(size_t room, bool* progress) {
  *progress = false;
  const size_t remaining = decoded_.size() - decodedStart_;
  const float* in = decoded_.data() + decodedStart_;
  size_t used = 0;
  if (resampler_ == nullptr) {
    used = std::min(remaining, room);
    pending_.insert(pending_.end(), in, in + used);
  } else {
#ifdef TARSIO_HAVE_SOXR
    // soxr takes no more input than the output room needs (about room x the rate ratio) and
    // keeps what it has not yet turned into output in its own bounded buffer.
    auto* s = static_cast<soxr_t>(resampler_);
    const size_t old = pending_.size();
    pending_.resize(old + room);
    size_t odone = 0;
    if (soxr_process(s, in, remaining, &used, pending_.data() + old, room, &odone) != nullptr) {
      pending_.resize(old);
      decoded_.clear();
      decodedStart_ = 0;
      return false;
    }
    pending_.resize(old + odone);
    *progress = odone > 0;
#else
    return false;
#endif
  }
  decodedStart_ += used;
  *progress = *progress || used > 0;
  if (decodedStart_ >= decoded_.size()) {
    decoded_.clear();
    decodedStart_ = 0;
  }
  return true;
}

void AcmStream::FlushResampler() {
#ifdef TARSIO_HAVE_SOXR
  if (resampler_ == nullptr) return;
  auto* s = static_cast<soxr_t>(resampler_);
  for (int rounds = 0; rounds < 1000; ++rounds) {
    const size_t room = 4096;
    const size_t old = pending_.size();
    pending_.resize(old + room);
    size_t odone = 0;
    const soxr_error_t error =
        soxr_process(s, nullptr, 0, nullptr, pending_.data() + old, room, &odone);
    pending_.resize(old + (error == nullptr ? odone : 0));
    if (error != nullptr || odone < room) break;
  }
  soxr_clear(s);
#endif
}

uint32_t AcmStream::EmitPending(uint8_t* dst, uint32_t maxFrames) {
  const size_t available = pending_.size() - pendingStart_;
  const uint32_t frames = static_cast<uint32_t>(std::min<size_t>(available, maxFrames));
  const float* in = pending_.data() + pendingStart_;
  for (uint32_t i = 0; i < frames; ++i) {
    const int16_t v = FloatToPcm16(in[i]);
    switch (dst_.wFormatTag) {
      case kTagPcm:
        dst[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(v) & 0xFF);
        dst[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
        break;
      case kTagAlaw:
        dst[i] = LinearToAlaw(v);
        break;
      default:
        dst[i] = LinearToMulaw(v);
        break;
    }
  }
  pendingStart_ += frames;
  if (pendingStart_ == pending_.size()) {
    pending_.clear();
    pendingStart_ = 0;
  }
  return frames;
}

int32_t AcmStream::Convert(AcmStreamHeader* header, uint32_t flags) {
  if (!open_) return kErrInvalidHandle;
  if (header == nullptr || header->cbStruct < sizeof(AcmStreamHeader)) return kErrInvalidParam;
  if ((header->fdwStatus & kStatusPrepared) == 0) return kErrUnprepared;
  if (header->cbSrcLength > preparedSrcLength_ || header->cbDstLength > preparedDstLength_) {
    return kErrInvalidParam;
  }
  header->cbSrcLengthUsed = 0;
  header->cbDstLengthUsed = 0;
  if ((flags & kConvertEnd) != 0) endRequested_ = true;

  const uint32_t dstFrames = header->cbDstLength / dstSampleBytes_;
  uint32_t srcUsed = 0;
  uint32_t written = 0;
  // Each round delivers, resamples what is decoded, decodes one more piece of source, or flushes
  // the resampler at the end; it stops when the destination is full or nothing is left. Source is
  // decoded only when everything decoded before has gone through, so the work of a call follows
  // the room it has.
  for (;;) {
    written += EmitPending(header->pbDst + static_cast<size_t>(written) * dstSampleBytes_,
                           dstFrames - written);
    if (written >= dstFrames) break;
    const size_t room = dstFrames - written;
    if (decodedStart_ < decoded_.size()) {
      bool progress = false;
      if (!Resample(room, &progress)) return kErrNotPossible;
      if (!progress) break;
      continue;
    }
    const uint32_t blocksLeft = (header->cbSrcLength - srcUsed) / src_.nBlockAlign;
    if (blocksLeft > 0) {
      const uint32_t blocks =
          src_.wFormatTag == kTagImaAdpcm
              ? 1u
              : static_cast<uint32_t>(std::min<uint64_t>(blocksLeft, SourceFramesFor(room)));
      DecodeBlocks(header->pbSrc + srcUsed, blocks);
      srcUsed += blocks * src_.nBlockAlign;
      continue;
    }
    if (endRequested_) {
      endRequested_ = false;
      FlushResampler();
      continue;
    }
    break;
  }
  header->cbSrcLengthUsed = srcUsed;
  header->cbDstLengthUsed = written * dstSampleBytes_;
  return kOk;
}

}  // namespace tarsio
