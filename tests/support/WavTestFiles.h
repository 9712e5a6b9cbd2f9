// Builds small WAV (RIFF) files for tests: well-formed ones in any format and broken ones (chunks
// in odd order, wrong sizes, cut short), plus test signals and their encoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarsio::testing {

using Bytes = std::vector<uint8_t>;

/// The fmt chunk fields of a WAV file.
struct WavFormat {
  uint16_t tag = 1;
  uint16_t channels = 1;
  uint32_t rate = 8000;
  uint32_t avgBytesPerSec = 16000;
  uint16_t blockAlign = 2;
  uint16_t bitsPerSample = 16;
};

/// PCM (tag 1), float (tag 3) or G.711 formats with consistent block size and byte rate.
WavFormat LinearFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits);
/// IMA ADPCM with the given block size.
WavFormat ImaFormat(uint16_t channels, uint32_t rate, uint16_t blockAlign);

/// One chunk. The header carries declaredSize when it is not -1; an odd payload is followed by a
/// pad byte when pad is set.
struct Chunk {
  std::string id;
  Bytes payload;
  int64_t declaredSize = -1;
  bool pad = true;
};

/// The 16 bytes of a fmt chunk payload, then extra.
Bytes FmtPayload(const WavFormat& format, const Bytes& extra = {});
/// "RIFF" <size> <formType> followed by the chunks. riffSize -1 writes the true size.
Bytes BuildRiff(const std::vector<Chunk>& chunks, const std::string& formType = "WAVE",
                int64_t riffSize = -1);
/// A plain WAV: fmt then data.
Bytes BuildWav(const WavFormat& format, const Bytes& data);

/// Little-endian 16-bit samples as bytes.
Bytes Pcm16Bytes(const std::vector<int16_t>& samples);
/// A sine of the given frequency and peak amplitude (full scale 1.0), frames x channels
/// interleaved.
std::vector<float> Sine(double frequency, double amplitude, uint32_t rate, uint32_t frames,
                        uint16_t channels);
/// Samples in a linear format: PCM of 8 (unsigned), 16, 24 or 32 bits, or tag 3 float.
Bytes EncodeLinear(const std::vector<float>& samples, uint16_t tag, uint16_t bits);
/// Whole IMA ADPCM blocks of interleaved 16-bit samples; each sample takes the code whose decoded
/// value comes closest.
Bytes EncodeIma(const std::vector<int16_t>& interleaved, uint16_t channels, uint16_t blockAlign);

/// Frequency (Hz, from zero crossings) and RMS (full scale 1.0) of 16-bit mono samples.
struct ToneMeasure {
  double frequency = 0;
  double rms = 0;
};
ToneMeasure MeasureTone(const std::vector<int16_t>& samples, uint32_t rate);

/// Creates a new, empty folder under the system's temporary folder, named prefix plus a random
/// suffix, and returns its path ("" if none could be made): mkdtemp, on every system.
std::string MakeTempDirectory(const std::string& prefix);

/// A fresh temporary directory, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  /// Writes the bytes to <dir>/<name> and returns the full path.
  std::string Write(const std::string& name, const Bytes& bytes) const;

 private:
  std::string path_;
};

}  // namespace tarsio::testing
