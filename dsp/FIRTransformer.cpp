#include "dsp/FIRTransformer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "dsp/SampleMath.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"

// Every output is a plain sequence of double multiplies and adds; fusing them would change the
// rounding and so the output values.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace tarsio {

namespace {

constexpr int32_t kHalfTaps = FIRTransformer::kTableTaps / 2 + 1;

// Taps 0 .. 14 of each table; tap 28 - k equals tap k.
constexpr double kHalfTables[4][kHalfTaps] = {
    {0.001554, -0.004377, -0.017541, -0.009891, -0.005435, -0.014788, -0.015432, -0.013299,
     -0.026527, 0.012746, -0.061046, 0.020939, -0.12897, -0.165718, 0.853968},
    {0.012562, -0.008807, -0.026119, -0.012092, -0.026479, -0.018424, -0.038491, -0.023865,
     -0.066477, -0.007258, -0.096165, -0.009702, -0.136447, -0.011532, 0.941143},
    {-0.033925, -0.012966, 0.002133, -0.00738, -0.032748, 0.006314, -0.050229, 0.039981, -0.093428,
     0.049791, -0.102505, 0.090953, -0.115604, -0.137524, 1.166885},
    {-0.008976, -0.056441, -0.024475, -0.019666, -0.048301, -0.029223, -0.068824, -0.021638,
     -0.079281, 0.016318, -0.106304, 0.05501, -0.108572, -0.003198, 1.049007},
};

constexpr std::array<std::array<double, FIRTransformer::kTableTaps>, 4> MakeTables() {
  std::array<std::array<double, FIRTransformer::kTableTaps>, 4> tables{};
  for (size_t t = 0; t < 4; ++t) {
    for (int32_t k = 0; k < kHalfTaps; ++k) {
      tables[t][k] = kHalfTables[t][k];
      tables[t][FIRTransformer::kTableTaps - 1 - k] = kHalfTables[t][k];
    }
  }
  return tables;
}

constexpr auto kTables = MakeTables();

// Two doubles: one SSE2 register on x86-64, one NEON register on arm64.
typedef double V2 __attribute__((vector_size(16)));

inline V2 LoadV2(const double* p) {
  V2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void StoreV2(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

const double* FIRTransformer::CoefficientTable(int32_t number) {
  if (number < 1 || number > 4) return nullptr;
  return kTables[number - 1].data();
}

// ---------------------------------------------------------------------------------------------
// Filter

FIRTransformer::Filter::Filter(const double* coefficientsIn, int32_t tapCount, int32_t bitsIn)
    : taps(coefficientsIn != nullptr ? std::max(tapCount, 0) : 0),
      bits(bitsIn),
      lowerLimit(-std::pow(2.0, bitsIn - 1)),
      upperLimit(std::pow(2.0, bitsIn - 1) - 1.0) {
  coefficients.assign(coefficientsIn, coefficientsIn + taps);
  window.assign(static_cast<size_t>(std::max(taps - 1, 0) + kChunk), 0.0);
}

void FIRTransformer::Filter::Process(std::span<const int16_t> in, std::span<int16_t> out) {
  Run([&](int32_t i) { return static_cast<double>(in[i]); },
      [&](int32_t i, int32_t y) { out[i] = static_cast<int16_t>(y); },
      static_cast<int32_t>(std::min(in.size(), out.size())));
}

void FIRTransformer::Filter::Process(std::span<const int8_t> in, std::span<int8_t> out) {
  Run([&](int32_t i) { return static_cast<double>(in[i]); },
      [&](int32_t i, int32_t y) { out[i] = static_cast<int8_t>(y); },
      static_cast<int32_t>(std::min(in.size(), out.size())));
}

void FIRTransformer::Filter::Process(std::span<const int32_t> in, std::span<int32_t> out) {
  Run([&](int32_t i) { return static_cast<double>(in[i]); },
      [&](int32_t i, int32_t y) { out[i] = y; },
      static_cast<int32_t>(std::min(in.size(), out.size())));
}

void FIRTransformer::Filter::ProcessBytes(const uint8_t* in, uint8_t* out, int32_t n) {
  switch (bits) {
    case 8:
      Run([&](int32_t i) { return static_cast<double>(static_cast<int8_t>(in[i])); },
          [&](int32_t i, int32_t y) { out[i] = static_cast<uint8_t>(static_cast<int8_t>(y)); }, n);
      break;
    case 16:
      Run([&](int32_t i) { return static_cast<double>(dsp::LoadPcm16(in, i)); },
          [&](int32_t i, int32_t y) { dsp::StorePcm16(out, i, static_cast<int16_t>(y)); }, n);
      break;
    case 32:
      Run([&](int32_t i) { return static_cast<double>(dsp::LoadPcm32(in, i)); },
          [&](int32_t i, int32_t y) { dsp::StorePcm32(out, i, y); }, n);
      break;
    default:
      break;
  }
}

void FIRTransformer::Filter::Convolve(int32_t len, double* result) const {
  const double* c = coefficients.data();
  // x[j] is the chunk's input j; x[j - k] the input k steps older (from the history for j < k).
  const double* x = window.data() + (taps - 1);
  int32_t j = 0;
  // Sixteen outputs at a time: each lane keeps its own accumulator and adds its products in
  // k order, exactly as the one-output loop below, while the eight registers hide the adder
  // latency.
  for (; j + 16 <= len; j += 16) {
    V2 a0 = {0.0, 0.0};
    V2 a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (int32_t k = 0; k < taps; ++k) {
      const V2 ck = {c[k], c[k]};
      const double* p = x + j - k;
      a0 += LoadV2(p) * ck;
      a1 += LoadV2(p + 2) * ck;
      a2 += LoadV2(p + 4) * ck;
      a3 += LoadV2(p + 6) * ck;
      a4 += LoadV2(p + 8) * ck;
      a5 += LoadV2(p + 10) * ck;
      a6 += LoadV2(p + 12) * ck;
      a7 += LoadV2(p + 14) * ck;
    }
    double* r = result + j;
    StoreV2(r, a0);
    StoreV2(r + 2, a1);
    StoreV2(r + 4, a2);
    StoreV2(r + 6, a3);
    StoreV2(r + 8, a4);
    StoreV2(r + 10, a5);
    StoreV2(r + 12, a6);
    StoreV2(r + 14, a7);
  }
  for (; j + 2 <= len; j += 2) {
    V2 a0 = {0.0, 0.0};
    for (int32_t k = 0; k < taps; ++k) {
      const V2 ck = {c[k], c[k]};
      a0 += LoadV2(x + j - k) * ck;
    }
    StoreV2(result + j, a0);
  }
  for (; j < len; ++j) {
    double acc = 0.0;
    for (int32_t k = 0; k < taps; ++k) acc += x[j - k] * c[k];
    result[j] = acc;
  }
}

template <typename Load, typename Store>
void FIRTransformer::Filter::Run(Load load, Store store, int32_t n) {
  if (taps == 0) {
    for (int32_t i = 0; i < n; ++i) store(i, 0);
    return;
  }
  const int32_t h = taps - 1;
  double result[kChunk];
  for (int32_t start = 0; start < n; start += kChunk) {
    const int32_t len = std::min(n - start, kChunk);
    // Read the whole chunk before writing any output, so in and out may share a buffer.
    double* current = window.data() + h;
    for (int32_t j = 0; j < len; ++j) current[j] = load(start + j);
    Convolve(len, result);
    for (int32_t j = 0; j < len; ++j) {
      store(start + j, dsp::ClampTruncate(result[j], lowerLimit, upperLimit));
    }
    // The newest taps - 1 inputs become the history of the next chunk.
    std::memmove(window.data(), window.data() + len, static_cast<size_t>(h) * sizeof(double));
  }
}

// ---------------------------------------------------------------------------------------------
// FIRTransformer

FIRTransformer::FIRTransformer() {
  tracer.SetInstanceName("FIRTransformer", this);
  ReadTraceLevel();
}

FIRTransformer::~FIRTransformer() = default;

int32_t FIRTransformer::ReadTraceLevel() { return ReadTraceLevelFor("FIRTransformer"); }

int32_t FIRTransformer::SetCoefficients(const double* coefficients, int32_t tapCount,
                                        int32_t bits) {
  TRACE(tracer, trace::kEntry, "SetCoefficients\n");
  filter.reset();
  if (bits == 8 || bits == 16 || bits == 32) {
    filter = std::make_unique<Filter>(coefficients, tapCount, bits);
  }
  bitsPerSample = bits;
  TRACE(tracer, trace::kEntry, "~SetCoefficients : returning 0\n");
  return 0;
}

int32_t FIRTransformer::TransformAudioSamples(AudioSampleList& inputs, AudioSample** out) {
  *out = nullptr;
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* in = inputs.front().first;
  if (in->GetDataSize() <= 0) {
    // A silence marker passes through; the history does not advance.
    in->AddRef(static_cast<AudioSource*>(this));
    *out = in;
    return 0;
  }

  AudioSample* output = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&output, static_cast<AudioSource*>(this));
  *out = output;
  output->SetFormat(in->Format());
  const int32_t dataSize = std::min<int32_t>(in->GetDataSize(), output->GetCapacity());
  output->SetDataSize(dataSize);

  int32_t bytesPerSample = 0;
  switch (bitsPerSample) {
    case 8:
      bytesPerSample = 1;
      break;
    case 16:
      bytesPerSample = 2;
      break;
    case 32:
      bytesPerSample = 4;
      break;
    default:
      TRACE(tracer, trace::kError, "TransformAudioSamples : e-bits per sample %d\n", bitsPerSample);
      return kErrBitsPerSample;
  }
  if (filter == nullptr) return kErrBitsPerSample;

  // The count follows the input format; the width read and written follows the configuration.
  const int32_t formatBits = in->Format().wBitsPerSample;
  int32_t n = formatBits > 0 ? dataSize * 8 / formatBits : 0;
  n = std::min(
      n, static_cast<int32_t>(std::min(in->GetCapacity(), output->GetCapacity())) / bytesPerSample);

  filter->ProcessBytes(in->GetData(), output->GetData(), n);
  return 0;
}

}  // namespace tarsio
