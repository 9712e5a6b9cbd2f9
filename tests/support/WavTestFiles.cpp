#include "WavTestFiles.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tarsio::testing {

namespace {

void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

void PutId(Bytes& b, const std::string& id) {
  for (size_t i = 0; i < 4; ++i) b.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

constexpr int kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
constexpr int kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

struct ImaState {
  int predictor = 0;
  int index = 0;
};

uint8_t EncodeImaSample(ImaState& s, int sample) {
  const int step = kStepTable[s.index];
  int diff = sample - s.predictor;
  int nibble = 0;
  if (diff < 0) {
    nibble = 8;
    diff = -diff;
  }
  int tmp = step;
  if (diff >= tmp) {
    nibble |= 4;
    diff -= tmp;
  }
  tmp >>= 1;
  if (diff >= tmp) {
    nibble |= 2;
    diff -= tmp;
  }
  tmp >>= 1;
  if (diff >= tmp) nibble |= 1;
  // Track the decoder exactly.
  int delta = step >> 3;
  if ((nibble & 4) != 0) delta += step;
  if ((nibble & 2) != 0) delta += step >> 1;
  if ((nibble & 1) != 0) delta += step >> 2;
  s.predictor = std::clamp(s.predictor + ((nibble & 8) != 0 ? -delta : delta), -32768, 32767);
  s.index = std::clamp(s.index + kIndexTable[nibble], 0, 88);
  return static_cast<uint8_t>(nibble);
}

}  // namespace

WavFormat LinearFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  WavFormat f;
  f.tag = tag;
  f.channels = channels;
  f.rate = rate;
  f.bitsPerSample = bits;
  f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.avgBytesPerSec = rate * f.blockAlign;
  return f;
}

WavFormat ImaFormat(uint16_t channels, uint32_t rate, uint16_t blockAlign) {
  WavFormat f;
  f.tag = 0x11;
  f.channels = channels;
  f.rate = rate;
  f.bitsPerSample = 4;
  f.blockAlign = blockAlign;
  const uint32_t samplesPerBlock = (blockAlign - 4u * channels) * 8u / (4u * channels) + 1u;
  f.avgBytesPerSec =
      static_cast<uint32_t>(static_cast<uint64_t>(rate) * blockAlign / samplesPerBlock);
  return f;
}

Bytes FmtPayload(const WavFormat& f, const Bytes& extra) {
  Bytes b;
  Put16(b, f.tag);
  Put16(b, f.channels);
  Put32(b, f.rate);
  Put32(b, f.avgBytesPerSec);
  Put16(b, f.blockAlign);
  Put16(b, f.bitsPerSample);
  b.insert(b.end(), extra.begin(), extra.end());
  return b;
}

Bytes BuildRiff(const std::vector<Chunk>& chunks, const std::string& formType, int64_t riffSize) {
  Bytes body;
  PutId(body, formType);
  for (const Chunk& c : chunks) {
    PutId(body, c.id);
    Put32(body, static_cast<uint32_t>(c.declaredSize >= 0 ? c.declaredSize : c.payload.size()));
    body.insert(body.end(), c.payload.begin(), c.payload.end());
    if (c.pad && (c.payload.size() & 1u) != 0) body.push_back(0);
  }
  Bytes out;
  PutId(out, "RIFF");
  Put32(out, static_cast<uint32_t>(riffSize >= 0 ? riffSize : static_cast<int64_t>(body.size())));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes BuildWav(const WavFormat& format, const Bytes& data) {
  return BuildRiff({{"fmt ", FmtPayload(format)}, {"data", data}});
}

Bytes Pcm16Bytes(const std::vector<int16_t>& samples) {
  Bytes b;
  b.reserve(samples.size() * 2);
  for (int16_t s : samples) Put16(b, static_cast<uint16_t>(s));
  return b;
}

std::vector<float> Sine(double frequency, double amplitude, uint32_t rate, uint32_t frames,
                        uint16_t channels) {
  std::vector<float> out;
  out.reserve(static_cast<size_t>(frames) * channels);
  for (uint32_t i = 0; i < frames; ++i) {
    const double v = amplitude * std::sin(2.0 * M_PI * frequency * i / rate);
    for (uint16_t c = 0; c < channels; ++c) out.push_back(static_cast<float>(v));
  }
  return out;
}

Bytes EncodeLinear(const std::vector<float>& samples, uint16_t tag, uint16_t bits) {
  Bytes b;
  for (float v : samples) {
    const double x = std::clamp(static_cast<double>(v), -1.0, 1.0);
    if (tag == 3) {
      uint32_t u;
      std::memcpy(&u, &v, 4);
      Put32(b, u);
    } else if (bits == 8) {
      b.push_back(static_cast<uint8_t>(std::clamp(std::lround(x * 128.0) + 128, 0L, 255L)));
    } else if (bits == 16) {
      Put16(b, static_cast<uint16_t>(std::clamp(std::lround(x * 32768.0), -32768L, 32767L)));
    } else if (bits == 24) {
      const long s = std::clamp(std::lround(x * 8388608.0), -8388608L, 8388607L);
      b.push_back(static_cast<uint8_t>(s));
      b.push_back(static_cast<uint8_t>(s >> 8));
      b.push_back(static_cast<uint8_t>(s >> 16));
    } else {
      const long long s = std::clamp(std::llround(x * 2147483648.0), -2147483648LL, 2147483647LL);
      Put32(b, static_cast<uint32_t>(s));
    }
  }
  return b;
}

Bytes EncodeIma(const std::vector<int16_t>& in, uint16_t channels, uint16_t blockAlign) {
  const uint32_t header = 4u * channels;
  const uint32_t perBlock = (blockAlign - header) * 8u / header + 1u;
  const size_t frames = in.size() / channels;
  Bytes out;
  ImaState state[2];
  for (size_t start = 0; start + perBlock <= frames; start += perBlock) {
    for (uint16_t c = 0; c < channels; ++c) {
      state[c].predictor = in[start * channels + c];
      Put16(out, static_cast<uint16_t>(state[c].predictor));
      out.push_back(static_cast<uint8_t>(state[c].index));
      out.push_back(0);
    }
    for (uint32_t g = 0; g < (perBlock - 1) / 8; ++g) {
      for (uint16_t c = 0; c < channels; ++c) {
        for (int i = 0; i < 4; ++i) {
          const size_t f = start + 1 + 8 * g + 2 * i;
          const uint8_t lo = EncodeImaSample(state[c], in[f * channels + c]);
          const uint8_t hi = EncodeImaSample(state[c], in[(f + 1) * channels + c]);
          out.push_back(static_cast<uint8_t>(lo | (hi << 4)));
        }
      }
    }
  }
  return out;
}

ToneMeasure MeasureTone(const std::vector<int16_t>& s, uint32_t rate) {
  ToneMeasure m;
  if (s.size() < 2) return m;
  double first = -1;
  double last = -1;
  int crossings = 0;
  double energy = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    energy += static_cast<double>(s[i]) * s[i];
    if (i > 0 && s[i - 1] < 0 && s[i] >= 0) {
      const double t = (i - 1) + static_cast<double>(-s[i - 1]) / (s[i] - s[i - 1]);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings >= 2) m.frequency = (crossings - 1) * static_cast<double>(rate) / (last - first);
  m.rms = std::sqrt(energy / s.size()) / 32768.0;
  return m;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tarsio-wav-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  const std::string full = path_ + "/" + name;
  std::ofstream f(full, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return full;
}

}  // namespace tarsio::testing
