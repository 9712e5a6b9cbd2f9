// One 20 ms frame (160 samples, 8 kHz 16-bit) through each signal-processing filter.
//
// The *Kernel benchmarks time the arithmetic alone on an int16 frame; the *Transform benchmarks
// add the sample handling of TransformAudioSamples (pooled samples, byte conversion).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "dsp/FIRTransformer.h"
#include "dsp/Limiter.h"
#include "dsp/LimiterGain.h"
#include "dsp/PCMMixer.h"
#include "dsp/PCMVolumeMaximizer.h"
#include "dsp/PCMVolumeTransformer.h"
#include "dsp/SampleMath.h"
#include "dsp/VAD.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"

namespace tarsio {
namespace {

constexpr int kFrame = 160;

// Speech-like test signal: two tones and noise, about -12 dBFS, 50 frames long.
const std::vector<int16_t>& Signal() {
  static const std::vector<int16_t> signal = [] {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> noise(-1500, 1500);
    std::vector<int16_t> v(kFrame * 50);
    for (size_t i = 0; i < v.size(); ++i) {
      v[i] =
          static_cast<int16_t>(6000 * std::sin(i * 0.31) + 2500 * std::sin(i * 1.7) + noise(rng));
    }
    return v;
  }();
  return signal;
}

std::span<const int16_t> FrameAt(int64_t iteration) {
  const auto& s = Signal();
  const size_t frames = s.size() / kFrame;
  return std::span<const int16_t>(s).subspan((iteration % frames) * kFrame, kFrame);
}

void BM_FIRKernel(benchmark::State& state) {
  FIRTransformer::Filter filter(FIRTransformer::CoefficientTable(1), 29, 16);
  int16_t out[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    filter.Process(FrameAt(i++), out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FIRKernel);

// The same arithmetic written the direct way (vector insert/erase, one sum per output), for
// comparison with the blocked version above.
void BM_FIRDirectFormReference(benchmark::State& state) {
  const double* c = FIRTransformer::CoefficientTable(1);
  std::vector<int32_t> history(29, 0);
  int16_t out[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    std::span<const int16_t> in = FrameAt(i++);
    for (int j = 0; j < kFrame; ++j) {
      history.insert(history.begin(), in[j]);
      history.pop_back();
      double acc = 0.0;
      for (int k = 0; k < 29; ++k) acc += history[k] * c[k];
      out[j] = dsp::SaturateTruncate16(acc);
    }
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_FIRDirectFormReference);

void BM_LimiterKernel(benchmark::State& state) {
  // range(0): peak amplitude; 2000 never reaches the threshold, 30000 keeps the limiter busy.
  LimiterGain gain(-8.0, 0.075, -0.00075);
  const double scale = state.range(0) / 8500.0;
  std::vector<int16_t> scaled(Signal().size());
  for (size_t j = 0; j < scaled.size(); ++j) {
    scaled[j] = dsp::SaturateTruncate16(Signal()[j] * scale);
  }
  int16_t frame[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    const size_t at = (i++ % 50) * kFrame;
    std::copy(scaled.begin() + at, scaled.begin() + at + kFrame, frame);
    gain.Process(frame);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_LimiterKernel)->Arg(2000)->Arg(30000);

void BM_LimiterPerSampleLogAndPow(benchmark::State& state) {
  // The limiter computed directly (a logarithm and a power per sample), for comparison.
  double loss = 1e-20, peak = 1e-20, step = 1e-20;
  const double scale = 30000 / 8500.0;
  int16_t frame[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    std::span<const int16_t> in = FrameAt(i++);
    for (int j = 0; j < kFrame; ++j) {
      const int16_t x = dsp::SaturateTruncate16(in[j] * scale);
      const double level = 20.0 * std::log10(std::abs(x) * 3.0517578125e-05) + 3.1415926536 + 8.0;
      if (level > loss) {
        peak = level;
        step = 0.075;
        loss += 0.075;
      } else {
        if (loss >= peak) step = -0.00075;
        loss += step;
        if (loss <= 1e-20) loss = 1e-20;
      }
      frame[j] = loss > 1e-20 ? static_cast<int16_t>(x * std::pow(10.0, loss * -0.05)) : x;
    }
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_LimiterPerSampleLogAndPow);

void BM_VADKernel(benchmark::State& state) {
  VAD::DetectorState detector;
  int64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(VAD::Detector::ProcessFrame(detector, FrameAt(i++)));
  }
}
BENCHMARK(BM_VADKernel);

void BM_VolumeMaximizerKernel(benchmark::State& state) {
  PCMVolumeMaximizer maximizer;
  maximizer.SetPercentile(95.0);
  maximizer.SetMaxAmplification(800);
  int16_t frame[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    std::span<const int16_t> in = FrameAt(i++);
    std::copy(in.begin(), in.end(), frame);
    benchmark::DoNotOptimize(maximizer.Maximize(frame));
  }
}
BENCHMARK(BM_VolumeMaximizerKernel);

void BM_MixerKernelTwoInputs(benchmark::State& state) {
  int16_t out[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    const std::span<const int16_t> inputs[2] = {FrameAt(i), FrameAt(i + 7)};
    ++i;
    PCMMixer::Mix(inputs, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_MixerKernelTwoInputs);

void BM_VolumeKernel(benchmark::State& state) {
  int16_t frame[kFrame];
  int64_t i = 0;
  for (auto _ : state) {
    std::span<const int16_t> in = FrameAt(i++);
    std::copy(in.begin(), in.end(), frame);
    PCMVolumeTransformer::Scale(frame, 70);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_VolumeKernel);

// Through TransformAudioSamples with a pooled sample, as the chains call it.
template <typename Filter, typename Setup>
void RunTransform(benchmark::State& state, Setup setup) {
  Filter filter;
  setup(filter);
  TracedObject requester;
  int64_t i = 0;
  for (auto _ : state) {
    AudioSample* in = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&in, &requester);
    in->SetFormat(PcmFormat());
    std::span<const int16_t> frame = FrameAt(i++);
    for (int j = 0; j < kFrame; ++j) dsp::StorePcm16(in->GetData(), j, frame[j]);
    in->SetDataSize(2 * kFrame);
    AudioSampleList list{{in, nullptr}};
    AudioSample* out = nullptr;
    benchmark::DoNotOptimize(filter.TransformAudioSamples(list, &out));
    if (out != nullptr) out->Release(&requester);
    in->Release(&requester);
  }
}

void BM_FIRTransform(benchmark::State& state) {
  RunTransform<FIRTransformer>(state, [](FIRTransformer& f) {
    f.SetCoefficients(FIRTransformer::CoefficientTable(1), 29, 16);
  });
}
BENCHMARK(BM_FIRTransform);

struct DefaultLimiter : Limiter {
  DefaultLimiter() : Limiter(-8.0, 0.075, -0.00075) {}
};

void BM_LimiterTransform(benchmark::State& state) {
  RunTransform<DefaultLimiter>(state, [](DefaultLimiter&) {});
}
BENCHMARK(BM_LimiterTransform);

void BM_VADTransform(benchmark::State& state) {
  RunTransform<VAD>(state, [](VAD& v) { v.StartTransform(); });
}
BENCHMARK(BM_VADTransform);

void BM_VolumeMaximizerTransform(benchmark::State& state) {
  RunTransform<PCMVolumeMaximizer>(state, [](PCMVolumeMaximizer& m) {
    m.SetPercentile(95.0);
    m.SetMaxAmplification(800);
  });
}
BENCHMARK(BM_VolumeMaximizerTransform);

void BM_VolumeTransform(benchmark::State& state) {
  RunTransform<PCMVolumeTransformer>(state, [](PCMVolumeTransformer& v) { v.SetVolume(70); });
}
BENCHMARK(BM_VolumeTransform);

}  // namespace
}  // namespace tarsio

int main(int argc, char** argv) {
  // Filters read their trace levels from the settings store: keep it in a scratch file.
  if (std::getenv("TARSIO_REGISTRY") == nullptr) {
    const std::string path =
        (std::filesystem::temp_directory_path() / "tarsio-dsp-bench-registry.reg").string();
    ::setenv("TARSIO_REGISTRY", path.c_str(), 1);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tarsio::AudioSampleManager::DestroyInstance();
  return 0;
}
