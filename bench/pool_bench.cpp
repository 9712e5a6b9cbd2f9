// Cost of the sample pool: one GetAudioSample and its last Release, alone and with 2 and 4 threads
// doing the same at once (contention on the pool lock), and with a window of samples held per
// thread (a chain keeps a few samples in flight, so a released sample is not the next one taken).
//
//   build/bench/pool_bench --benchmark_min_time=0.3
#include <benchmark/benchmark.h>

#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"

namespace {

void BM_GetRelease(benchmark::State& state) {
  tarsio::AudioSampleManager* pool = tarsio::AudioSampleManager::Instance();
  for (auto _ : state) {
    tarsio::AudioSample* sample = nullptr;
    pool->GetAudioSample(&sample, nullptr);
    benchmark::DoNotOptimize(sample);
    sample->Release(nullptr);
  }
}
BENCHMARK(BM_GetRelease)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

// Each thread keeps state.range(0) samples in flight, releasing the oldest after each get.
void BM_GetReleaseInFlight(benchmark::State& state) {
  tarsio::AudioSampleManager* pool = tarsio::AudioSampleManager::Instance();
  const size_t window = static_cast<size_t>(state.range(0));
  std::vector<tarsio::AudioSample*> held(window, nullptr);
  size_t next = 0;
  for (auto _ : state) {
    if (held[next] != nullptr) held[next]->Release(nullptr);
    pool->GetAudioSample(&held[next], nullptr);
    next = (next + 1) % window;
  }
  for (tarsio::AudioSample* sample : held) {
    if (sample != nullptr) sample->Release(nullptr);
  }
}
BENCHMARK(BM_GetReleaseInFlight)->Arg(8)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
