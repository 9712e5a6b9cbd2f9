// G.711 coding and jitter-buffer throughput.
//
// Items processed are audio samples (8000 per second of audio), so the reported items/s is the
// number of audio samples coded (or played out) per second of CPU time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/G711Codec.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "jitter/RTPJitterBuffer.h"
#include "rtp/RTPPacket.h"

namespace {

using tarsio::G711Codec;

std::vector<uint8_t> SpeechLikePcm(int samples) {
  std::vector<uint8_t> pcm;
  uint32_t state = 12345;
  for (int n = 0; n < samples; ++n) {
    state = state * 1103515245u + 12345u;
    const auto value = static_cast<uint16_t>(static_cast<int16_t>((state >> 16) & 0xFFFF) / 3);
    pcm.push_back(static_cast<uint8_t>(value & 0xFF));
    pcm.push_back(static_cast<uint8_t>(value >> 8));
  }
  return pcm;
}

void BM_G711Encode(benchmark::State& state) {
  const int samples = static_cast<int>(state.range(0));
  const int32_t law = static_cast<int32_t>(state.range(1));
  const std::vector<uint8_t> pcm = SpeechLikePcm(samples);
  std::vector<uint8_t> codes(samples);
  G711Codec codec;
  codec.SetLaw(law);
  for (auto _ : state) {
    int32_t count = samples;
    codec.Encode(pcm.data(), samples * 2, codes.data(), &count);
    benchmark::DoNotOptimize(codes.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * samples);
  state.SetLabel(law == G711Codec::kALaw ? "A-law" : "u-law");
}
// 160 samples = one 20 ms frame; 80000 samples = 10 s of audio.
BENCHMARK(BM_G711Encode)->Args({160, 0})->Args({160, 1})->Args({80000, 0})->Args({80000, 1});

void BM_G711Decode(benchmark::State& state) {
  const int samples = static_cast<int>(state.range(0));
  const int32_t law = static_cast<int32_t>(state.range(1));
  std::vector<uint8_t> codes(samples);
  for (int n = 0; n < samples; ++n) codes[n] = static_cast<uint8_t>(n * 37);
  std::vector<uint8_t> pcm(samples * 2);
  G711Codec codec;
  codec.SetLaw(law);
  for (auto _ : state) {
    int32_t count = samples * 2;
    codec.Decode(codes.data(), samples, pcm.data(), &count);
    benchmark::DoNotOptimize(pcm.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * samples);
  state.SetLabel(law == G711Codec::kALaw ? "A-law" : "u-law");
}
BENCHMARK(BM_G711Decode)->Args({160, 0})->Args({160, 1})->Args({80000, 0})->Args({80000, 1});

// One 20 ms packet filed and one played out per iteration, 100 ms deep, with the pool warm.
void BM_JitterInsertAndGenerate(benchmark::State& state) {
  tarsio::AudioSampleManager::CreateInstance();
  tarsio::TracedObject owner;
  tarsio::RTPJitterBuffer buffer;
  buffer.StartTransform();
  uint16_t seq = 0;
  auto push = [&] {
    tarsio::AudioSample* packet = nullptr;
    tarsio::AudioSampleManager::Instance()->GetAudioSample(&packet, &owner);
    packet->SetFormat(tarsio::MakeAudioFormat(5));
    packet->SetDataSize(320);
    tarsio::RTPPacket header;
    header.sequenceNumber = seq;
    header.timestamp = 160u * seq;
    header.ssrc = 1;
    packet->SetRTPHeader(header);
    tarsio::AudioSampleList inputs{{packet, nullptr}};
    buffer.RenderAudioSamples(inputs);
    packet->Release(&owner);
    ++seq;
  };
  for (int n = 0; n < 6; ++n) push();
  for (auto _ : state) {
    push();
    tarsio::AudioSample* out = nullptr;
    buffer.GenerateData(&out);
    if (out != nullptr) out->Release(&owner);
  }
  buffer.StopTransform();
  state.SetItemsProcessed(state.iterations() * 160);
}
BENCHMARK(BM_JitterInsertAndGenerate);

}  // namespace

BENCHMARK_MAIN();
