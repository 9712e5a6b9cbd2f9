// A format-conversion stream with the audio-compression-manager model: open a stream from a
// source format to a destination format, prepare a header over a source and a destination
// buffer, convert block by block (reporting the source bytes used and the destination bytes
// produced), unprepare and close.
//
// Sources: PCM 8-bit unsigned, 16, 24 and 32-bit signed; 32 and 64-bit float; A-law; µ-law; IMA
// ADPCM (the WAV layout, 4 bits per sample). One to eight interleaved channels are mixed down to
// mono by averaging (IMA ADPCM: one or two). Destination: mono 16-bit PCM, A-law or µ-law.
// Different rates are converted with libsoxr (a streaming, band-limited resampler); equal rates
// pass through sample-exactly. The resampler holds back its delay (10 to 140 ms depending on the
// rate pair) until more input comes or a conversion is flagged as the end.
//
// Formats that no real file has are refused at Open: rates outside kMinRate..kMaxRate, a block
// size that does not match the sample size and channels (PCM, float, G.711), IMA ADPCM blocks that
// are not whole groups of the header size or larger than kMaxBlockAlign.
//
// Work and memory are bounded by what a call asks for: a conversion decodes source blocks only
// while its destination has room, one block at a time for IMA ADPCM (at most kMaxBlockAlign bytes,
// about 16 000 frames) and only the frames the room needs for the others, and feeds the resampler
// no more than the room needs. Decoded frames that did not fit (the rest of a large block) and
// converted frames not yet delivered (the resampler's flushed tail) are kept by the stream and
// delivered first by the next call. So a hostile format (huge blocks, an extreme rate pair) costs
// at most one block plus the output asked for, never minutes or gigabytes.
//
// Two implementations stand behind this header. The one described above, platform/AcmStream.cpp,
// serves Linux and the fuzz targets. The Windows build leaves that file out
// (TARSIO_PLATFORM_EXCLUDE in the top CMakeLists.txt; it stays beside this header, so the Linux
// build and its object layout do not change) and compiles platform/win32/AcmStream.cpp, which hands
// the conversion to the system's Audio Compression Manager:
// - Both refuse the same formats (platform/AcmFormatRules.h) with the same results. Windows also
//   asks the system (acmStreamOpen with ACM_STREAMOPENF_QUERY) and refuses what its drivers cannot
//   do (under Wine: float, 32-bit PCM, and G.711 at any rate but 8 kHz).
// - The work goes through a chain of the system's streams, joined by 16-bit PCM: a decoder to
//   16-bit PCM (IMA ADPCM, G.711, or the PCM converter for 8 and 24-bit PCM), the PCM converter for
//   the channels and the rate, the G.711 encoder. Each link is left out when it has nothing to do.
// - The calls behave the same: whole source blocks are taken only while the destination has
//   room, a decoded block's surplus is kept for the next calls, and kConvertEnd reaches every
//   link (ACM_STREAMCONVERTF_END), after which each starts afresh (ACM_STREAMCONVERTF_START).
//   A rate change takes its input in whole periods of the rate pair (441 frames from 11 025 Hz
//   to 8 kHz; at most a second's worth): Wine's converter rounds its output length at every call,
//   and whole periods keep the lengths exact. Up to one period waits inside for more source.
//   The system's own results (a driver's failure) are returned as they are: they use the same
//   numbering.
// - The system's converters mix and resample their own way: Wine's sums the channels instead of
//   averaging them and resamples without a filter, so it holds nothing back. Output lengths and
//   formats agree with the portable converter; sample values after a channel or rate change do
//   not.
//
// Threading: none. One stream is used by one thread at a time; the caller serialises calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarsio {

/// The fields of a WAVEFORMATEX that describe a stream (no extra bytes).
struct AcmFormat {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
};

/// The stream header: two buffers with their lengths and what a conversion used and produced.
struct AcmStreamHeader {
  uint32_t cbStruct = 0;
  uint32_t fdwStatus = 0;
  uint8_t* pbSrc = nullptr;
  uint32_t cbSrcLength = 0;
  uint32_t cbSrcLengthUsed = 0;
  uint8_t* pbDst = nullptr;
  uint32_t cbDstLength = 0;
  uint32_t cbDstLengthUsed = 0;
};

class AcmStream {
 public:
  // Format tags understood here.
  static constexpr uint16_t kTagPcm = 0x0001;
  static constexpr uint16_t kTagImaAdpcm = 0x0011;
  static constexpr uint16_t kTagFloat = 0x0003;
  static constexpr uint16_t kTagAlaw = 0x0006;
  static constexpr uint16_t kTagMulaw = 0x0007;

  // Flags.
  static constexpr uint32_t kOpenNonRealtime = 0x04;       // ACM_STREAMOPENF_NONREALTIME
  static constexpr uint32_t kConvertBlockAlign = 0x04;     // ACM_STREAMCONVERTF_BLOCKALIGN
  static constexpr uint32_t kConvertEnd = 0x20;            // ACM_STREAMCONVERTF_END
  static constexpr uint32_t kStatusPrepared = 0x00020000;  // ACMSTREAMHEADER_STATUSF_PREPARED

  // Results.
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kErrInvalidHandle = 5;  // MMSYSERR_INVALHANDLE
  static constexpr int32_t kErrInvalidParam = 11;  // MMSYSERR_INVALPARAM
  static constexpr int32_t kErrNotPossible = 512;  // ACMERR_NOTPOSSIBLE
  static constexpr int32_t kErrBusy = 513;         // ACMERR_BUSY
  static constexpr int32_t kErrUnprepared = 514;   // ACMERR_UNPREPARED

  static constexpr uint32_t kMaxChannels = 8;
  static constexpr uint32_t kMinRate = 1000;
  static constexpr uint32_t kMaxRate = 768000;
  /// The largest source block accepted (IMA ADPCM files use 256 to 2048 bytes per channel).
  static constexpr uint32_t kMaxBlockAlign = 8192;

  AcmStream();
  ~AcmStream();
  AcmStream(const AcmStream&) = delete;
  AcmStream& operator=(const AcmStream&) = delete;

  /// Whether a stream from src to dst could be opened.
  static bool CanConvert(const AcmFormat& src, const AcmFormat& dst);
  /// Samples per block of an IMA ADPCM format (0 if the block size is unusable).
  static uint32_t ImaSamplesPerBlock(uint16_t blockAlign, uint16_t channels);

  /// kOk, or kErrNotPossible for a pair it cannot convert (the stream stays closed).
  int32_t Open(const AcmFormat& src, const AcmFormat& dst, uint32_t flags);
  bool IsOpen() const { return open_; }
  /// Marks the header prepared and sizes the working memory for its two buffers.
  int32_t PrepareHeader(AcmStreamHeader* header);
  /// Converts whole source blocks of pbSrc[0, cbSrcLength) into pbDst. Sets cbSrcLengthUsed and
  /// cbDstLengthUsed. Blocks are taken only while the destination has room; the rest is left
  /// unused (the caller passes it again). A decoded block's frames that do not fit are kept and
  /// delivered by the following calls. With kConvertEnd, once the source passed is used up, the
  /// resampler also gives out the audio it holds back (its filter delay) and starts afresh; that
  /// audio is delivered by this and the following calls.
  int32_t Convert(AcmStreamHeader* header, uint32_t flags);
  int32_t UnprepareHeader(AcmStreamHeader* header);
  int32_t Close();

 private:
  bool open_ = false;
#ifdef _WIN32
  // The system's streams, their prepared buffers and the bytes between them
  // (platform/win32/AcmStream.cpp).
  struct System;
  std::unique_ptr<System> system_;
#else
  /// Decodes whole blocks into mono float frames appended to decoded_.
  void DecodeBlocks(const uint8_t* src, uint32_t blocks);
  void DecodeImaBlock(const uint8_t* block);
  /// Source frames (PCM, float, G.711 blocks) that yield about outFrames destination frames.
  uint64_t SourceFramesFor(uint64_t outFrames) const;
  /// Moves decoded frames through the resampler (or straight) into pending_, producing at most
  /// room frames. False on a resampler error; *progress tells whether anything moved.
  bool Resample(size_t room, bool* progress);
  /// Moves what the resampler holds back into pending_ and resets it.
  void FlushResampler();
  /// Writes up to maxFrames pending frames into dst; returns the frames written.
  uint32_t EmitPending(uint8_t* dst, uint32_t maxFrames);

  AcmFormat src_{};
  AcmFormat dst_{};
  uint32_t framesPerBlock_ = 0;  // source frames (per channel) in one block
  uint32_t dstSampleBytes_ = 0;
  void* resampler_ = nullptr;   // soxr_t when rates differ
  std::vector<float> decoded_;  // decoded mono frames not yet resampled (at most one block's worth
                                // or what one call's room needs)
  size_t decodedStart_ = 0;     // first frame of decoded_ not yet resampled
  std::vector<float> pending_;  // converted frames not yet delivered
  size_t pendingStart_ = 0;     // first undelivered frame in pending_
  bool endRequested_ = false;   // kConvertEnd seen: flush once the source is used up
  uint32_t preparedSrcLength_ = 0;
  uint32_t preparedDstLength_ = 0;
#endif
};

}  // namespace tarsio
