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

// Outputs computed together: enough independent accumulators to hide the adder's latency, in a
// fixed-size loop that compilers turn into vector code (two doubles per SSE2 or NEON register)
// without any compiler-specific vector type.
constexpr int32_t kBlock = 16;

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
  // kBlock outputs at a time: each keeps its own accumulator and adds its products in k order,
  // exactly as the one-output loop below, so the result does not depend on the block size.
  for (; j + kBlock <= len; j += kBlock) {
    // Named accumulators rather than an array: they stay in registers, and the compiler pairs
    // neighbours into vector lanes.
    double a0 = 0, a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0;
    double a8 = 0, a9 = 0, a10 = 0, a11 = 0, a12 = 0, a13 = 0, a14 = 0, a15 = 0;
    for (int32_t k = 0; k < taps; ++k) {
      const double ck = c[k];
      const double* p = x + j - k;
      a0 += p[0] * ck;
      a1 += p[1] * ck;
      a2 += p[2] * ck;
      a3 += p[3] * ck;
      a4 += p[4] * ck;
      a5 += p[5] * ck;
      a6 += p[6] * ck;
      a7 += p[7] * ck;
      a8 += p[8] * ck;
      a9 += p[9] * ck;
      a10 += p[10] * ck;
      a11 += p[11] * ck;
      a12 += p[12] * ck;
      a13 += p[13] * ck;
      a14 += p[14] * ck;
      a15 += p[15] * ck;
    }
    double* r = result + j;
    r[0] = a0, r[1] = a1, r[2] = a2, r[3] = a3, r[4] = a4, r[5] = a5, r[6] = a6, r[7] = a7;
    r[8] = a8, r[9] = a9, r[10] = a10, r[11] = a11, r[12] = a12, r[13] = a13, r[14] = a14;
    r[15] = a15;
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
