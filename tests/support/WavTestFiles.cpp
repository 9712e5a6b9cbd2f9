#include "WavTestFiles.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>

namespace tarsio::testing {

namespace {

void Put(Bytes& b, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutId(Bytes& b, const std::string& id) {
  for (size_t i = 0; i < 4; ++i) b.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

constexpr int kImaIndex[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
constexpr int kImaStep[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

// What a decoder makes of the nibble after the given predictor and step index.
int ImaDecode(int predictor, int index, int nibble) {
  const int step = kImaStep[index];
  int delta = step >> 3;
  for (int bit = 0; bit < 3; ++bit) {
    if ((nibble & (4 >> bit)) != 0) delta += step >> bit;
  }
  return std::clamp(predictor + ((nibble & 8) != 0 ? -delta : delta), -32768, 32767);
}

uint8_t EncodeImaSample(int& predictor, int& index, int sample) {
  int best = 0;
  for (int n = 1; n < 16; ++n) {
    if (std::abs(ImaDecode(predictor, index, n) - sample) <
        std::abs(ImaDecode(predictor, index, best) - sample))
      best = n;
  }
  predictor = ImaDecode(predictor, index, best);
  index = std::clamp(index + kImaIndex[best & 7], 0, 88);
  return static_cast<uint8_t>(best);
}

}  // namespace

WavFormat LinearFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  const auto align = static_cast<uint16_t>(channels * bits / 8);
  return {tag, channels, rate, rate * align, align, bits};
}

WavFormat ImaFormat(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
  const uint32_t perBlock = (blockAlign - 4u * channels) * 2u / channels + 1u;
  return {0x11,       channels, rate, static_cast<uint32_t>(uint64_t{rate} * blockAlign / perBlock),
          blockAlign, 4};
}

Bytes FmtPayload(const WavFormat& f, const Bytes& extra) {
  Bytes b;
  Put(b, f.tag, 2);
  Put(b, f.channels, 2);
  Put(b, f.rate, 4);
  Put(b, f.avgBytesPerSec, 4);
  Put(b, f.blockAlign, 2);
  Put(b, f.bitsPerSample, 2);
  b.insert(b.end(), extra.begin(), extra.end());
  return b;
}

Bytes BuildRiff(const std::vector<Chunk>& chunks, const std::string& formType, int64_t riffSize) {
  Bytes body;
  PutId(body, formType);
  for (const Chunk& c : chunks) {
    PutId(body, c.id);
    Put(body, c.declaredSize >= 0 ? c.declaredSize : c.payload.size(), 4);
    body.insert(body.end(), c.payload.begin(), c.payload.end());
    if (c.pad && (c.payload.size() & 1u) != 0) body.push_back(0);
  }
  Bytes out;
  PutId(out, "RIFF");
  Put(out, riffSize >= 0 ? riffSize : body.size(), 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes BuildWav(const WavFormat& format, const Bytes& data) {
  return BuildRiff({{"fmt ", FmtPayload(format)}, {"data", data}});
}

Bytes Pcm16Bytes(const std::vector<int16_t>& samples) {
  Bytes b;
  for (const int16_t s : samples) Put(b, static_cast<uint16_t>(s), 2);
  return b;
}

std::vector<float> Sine(double frequency, double amplitude, uint32_t rate, uint32_t frames,
                        uint16_t channels) {
  std::vector<float> out;
  for (uint32_t i = 0; i < frames; ++i) {
    const double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency * i / rate);
    out.insert(out.end(), channels, static_cast<float>(v));
  }
  return out;
}

Bytes EncodeLinear(const std::vector<float>& samples, uint16_t tag, uint16_t bits) {
  const double full = std::ldexp(1.0, bits - 1);
  Bytes b;
  for (const float v : samples) {
    uint32_t u = 0;
    if (tag == 3) {
      std::memcpy(&u, &v, 4);
    } else {
      const double s = std::clamp(std::round(v * full), -full, full - 1);
      u = static_cast<uint32_t>(static_cast<int64_t>(s) + (bits == 8 ? 128 : 0));
    }
    Put(b, u, bits / 8);
  }
  return b;
}

Bytes EncodeIma(const std::vector<int16_t>& in, uint16_t channels, uint16_t blockAlign) {
  const size_t perBlock = (blockAlign - 4u * channels) * 2u / channels + 1u;
  int predictor[2] = {}, index[2] = {};
  Bytes out;
  for (size_t start = 0; (start + perBlock) * channels <= in.size(); start += perBlock) {
    for (uint16_t c = 0; c < channels; ++c) {
      predictor[c] = in[start * channels + c];
      Put(out, static_cast<uint16_t>(predictor[c]), 2);
      Put(out, static_cast<uint32_t>(index[c]), 2);  // the index, then a reserved zero
    }
    for (size_t group = start + 1; group < start + perBlock; group += 8) {
      for (uint16_t c = 0; c < channels; ++c) {
        for (size_t f = group; f < group + 8; f += 2) {
          const uint8_t lo = EncodeImaSample(predictor[c], index[c], in[f * channels + c]);
          const uint8_t hi = EncodeImaSample(predictor[c], index[c], in[(f + 1) * channels + c]);
          out.push_back(static_cast<uint8_t>(lo | (hi << 4)));
        }
      }
    }
  }
  return out;
}

ToneMeasure MeasureTone(const std::vector<int16_t>& s, uint32_t rate) {
  double first = 0, last = 0, energy = 0;
  int crossings = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    energy += static_cast<double>(s[i]) * s[i];
    if (i > 0 && s[i - 1] < 0 && s[i] >= 0) {
      last = (i - 1) + static_cast<double>(-s[i - 1]) / (s[i] - s[i - 1]);
      if (crossings++ == 0) first = last;
    }
  }
  ToneMeasure m;
  if (crossings >= 2) m.frequency = (crossings - 1.0) * rate / (last - first);
  if (!s.empty()) m.rms = std::sqrt(energy / s.size()) / 32768.0;
  return m;
}

std::string MakeTempDirectory(const std::string& prefix) {
  std::random_device random;
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return {};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir = base / (prefix + std::to_string(random()));
    // False when the name is taken: try another.
    if (std::filesystem::create_directory(dir, error)) return dir.string();
  }
  return {};
}

TempDir::TempDir() : path_(MakeTempDirectory("tarsio-wav-")) {}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  const std::string full = path_ + "/" + name;
  std::ofstream(full, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return full;
}

}  // namespace tarsio::testing
