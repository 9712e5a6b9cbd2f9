// The dsp codecs and filters. The G.711 codec is checked against a reference built here from the
// segment rules (decision intervals by end points and step sizes, codes found by searching the
// intervals, decoded values at the interval midpoints): no bit tricks, nothing from the codec's
// tables. The filters are checked on known values that an arithmetic fault would change, plus one
// pinned checksum per optimised filter (FIR, limiter, VAD) over a fixed signal.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "dsp/ACMTransformer.h"
#include "dsp/FIRTransformer.h"
#include "dsp/G7112PCMTransformer.h"
#include "dsp/G711Codec.h"
#include "dsp/GenericRTP2PCMDecoder.h"
#include "dsp/Limiter.h"
#include "dsp/PCM2G711Transformer.h"
#include "dsp/PCMMixer.h"
#include "dsp/PCMVolumeMaximizer.h"
#include "dsp/PCMVolumeTransformer.h"
#include "dsp/SampleMath.h"
#include "dsp/VAD.h"
#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/Registry.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;

using Pcm = std::vector<int16_t>;
using Bytes = std::vector<uint8_t>;

struct Releaser {
  void operator()(AudioSample* s) const { s->Release(nullptr); }
};
using Owned = std::unique_ptr<AudioSample, Releaser>;

Bytes ToBytes(const Pcm& v) {
  Bytes b(2 * v.size());
  for (size_t i = 0; i < v.size(); ++i) dsp::StorePcm16(b.data(), int32_t(i), v[i]);
  return b;
}

Pcm Read(const AudioSample* s) {
  Pcm v(static_cast<size_t>(s->GetDataSize() / 2));
  for (size_t i = 0; i < v.size(); ++i) v[i] = dsp::LoadPcm16(s->GetData(), int32_t(i));
  return v;
}

// An empty sample with `silence` > 0 is a silence marker; with a payload type the sample carries
// an RTP header with that sequence number.
Owned Sample(const WAVEFORMATEX& format, const Bytes& data, int32_t silence = 0,
             int payloadType = -1, uint16_t seq = 0) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(format);
  if (!data.empty()) std::memcpy(s->GetData(), data.data(), data.size());
  s->SetDataSize(static_cast<int32_t>(data.size()));
  if (silence > 0) s->SetSilenceDuration(silence);
  if (payloadType >= 0) {
    s->SetRTPHeader(RTPPacket{.sequenceNumber = seq,
                              .payloadType = uint8_t(payloadType),
                              .timestamp = 0xFFFFFF00u + seq,
                              .headerLength = 12});
  }
  return Owned(s);
}

Owned Sample(const Pcm& values, int32_t silence = 0) {
  return Sample(PcmFormat(), ToBytes(values), silence);
}

int32_t Transform(AudioTransformer& t, std::initializer_list<AudioSample*> in, Owned* out) {
  AudioSampleList list;
  for (AudioSample* s : in) list.emplace_back(s, nullptr);
  AudioSample* raw = nullptr;
  const int32_t result = t.TransformAudioSamples(list, &raw);
  out->reset(raw);
  return result;
}

// The sink's result for one pushed sample.
int32_t Push(AudioSink& sink, const Owned& s) {
  AudioSampleList list{{s.get(), nullptr}};
  return sink.RenderAudioSamples(list);
}

// True when the transformer took the sample and handed that very sample on (in place).
bool HandsOn(AudioTransformer& t, AudioSample* in) {
  Owned out;
  return Transform(t, {in}, &out) == 0 && out.get() == in;
}

// G.711 codec, transformers, generic RTP decoder, ACM output queue.

// Segment k holds the magnitudes [start[k], start[k + 1]) in steps of step[k]: µ-law on the 14-bit
// scale (its first interval holds 0 alone), A-law on the 12-bit scale.
struct Law {
  int start[9], step[8];
};
constexpr Law kULaw{{-1, 31, 95, 223, 479, 991, 2015, 4063, 8159}, {2, 4, 8, 16, 32, 64, 128, 256}};
constexpr Law kALaw{{0, 32, 64, 128, 256, 512, 1024, 2048, 4096}, {2, 2, 4, 8, 16, 32, 64, 128}};

int SegmentCode(const Law& law, int magnitude) {
  for (int k = 0; k < 8; ++k) {
    if (magnitude >= law.start[k] && magnitude < law.start[k + 1])
      return k * 16 + (magnitude - law.start[k]) / law.step[k];
  }
  return 0x7F;  // beyond the last segment: its top interval
}

uint8_t ReferenceCode(bool alaw, int16_t s) {
  const int i = s / 4;  // truncated toward zero
  if (alaw) return uint8_t(SegmentCode(kALaw, std::abs(i) / 2) ^ (i < 0 ? 0x55 : 0xD5));
  return uint8_t(255 - SegmentCode(kULaw, std::abs(i)) - (i < 0 ? 0x80 : 0));
}

int16_t ReferenceValue(bool alaw, uint8_t c) {
  const int code = alaw ? c ^ 0x55 : 255 - c, k = code / 16 % 8;
  const Law& law = alaw ? kALaw : kULaw;
  const int midpoint = law.start[k] + code % 16 * law.step[k] + law.step[k] / 2;
  return int16_t((code >= 0x80 ? -1 : 1) * (alaw ? -8 : 4) * midpoint);
}

Pcm Decoded(const Bytes& codes, bool alaw) {
  Pcm v;
  for (uint8_t c : codes) v.push_back(ReferenceValue(alaw, c));
  return v;
}

TEST(G711CodecTest, EveryLinearInputAndEveryCodeMatchTheSegmentRules) {
  Pcm all(65536);
  Bytes everyCode(256), pcm(512), codes(65536);
  for (int s = 0; s < 65536; ++s) all[s] = int16_t(s - 32768);
  for (int c = 0; c < 256; ++c) everyCode[c] = uint8_t(c);
  for (bool a : {false, true}) {
    G711Codec codec;
    codec.SetLaw(a ? G711Codec::kALaw : G711Codec::kULaw);
    int32_t count = 65536;  // result and count (a braced list is evaluated in order)
    ASSERT_EQ((std::vector{codec.Encode(ToBytes(all).data(), 131072, codes.data(), &count), count}),
              (std::vector{0, 65536}));
    for (size_t n = 0; n < all.size(); ++n) {
      const uint8_t expected = ReferenceCode(a, all[n]);
      ASSERT_EQ(codes[n], expected) << "A-law " << a << " sample " << all[n];
      ASSERT_EQ(a ? G711Codec::EncodeALaw(all[n]) : G711Codec::EncodeULaw(all[n]), expected);
    }
    count = 512;
    ASSERT_EQ((std::vector{codec.Decode(everyCode.data(), 256, pcm.data(), &count), count}),
              (std::vector{0, 512}));
    for (int c = 0; c < 256; ++c) {
      const int16_t value = dsp::LoadPcm16(pcm.data(), c);
      EXPECT_EQ(value, ReferenceValue(a, uint8_t(c))) << "A-law " << a << " code " << c;
      // Re-encoding gives the code back; µ-law's negative zero (0x7F) comes back positive.
      EXPECT_EQ(a ? G711Codec::EncodeALaw(value) : G711Codec::EncodeULaw(value),
                (!a && c == 0x7F) ? 0xFF : c);
    }
  }
}

TEST(G711CodecTest, BoundaryValuesAndBufferSizes) {
  const int rows[][3] = {{0, 0xFF, 0xD5},     {-1, 0xFF, 0xD5},     {-3, 0xFF, 0xD5},
                         {-4, 0x7E, 0x55},    {-32768, 0x00, 0x2A}, {-32767, 0x00, 0x2A},
                         {32767, 0x80, 0xAA}, {32764, 0x80, 0xAA}};  // sample, µ-law, A-law
  for (const auto& [sample, ulaw, alaw] : rows) {
    EXPECT_EQ(G711Codec::EncodeULaw(int16_t(sample)), ulaw) << sample;
    EXPECT_EQ(G711Codec::EncodeALaw(int16_t(sample)), alaw) << sample;
  }
  EXPECT_EQ((std::vector<int>{G711Codec::DecodeULaw(0x00), G711Codec::DecodeULaw(0x80),
                              G711Codec::DecodeULaw(0x7F), G711Codec::DecodeALaw(0x2A),
                              G711Codec::DecodeALaw(0xAA), G711Codec::DecodeALaw(0xD5)}),
            (std::vector<int>{-32124, 32124, 0, -32256, 32256, 8}));

  G711Codec codec;
  codec.SetLaw(7);  // any flag other than A-law's means µ-law
  const Bytes pcm = ToBytes(Pcm(160, -4));
  Bytes out(400, 0xEE), back(320);
  int32_t count = 159;  // one short: refused, nothing written
  EXPECT_EQ((std::vector{codec.Encode(pcm.data(), 320, out.data(), &count), count, int(out[0])}),
            (std::vector{G711Codec::kErrOutputTooSmall, 0, 0xEE}));
  count = 10;  // an odd byte count (trailing byte ignored) into an unaligned output
  EXPECT_EQ((std::vector{codec.Encode(pcm.data(), 7, out.data() + 1, &count), count, int(out[3]),
                         int(out[4])}),
            (std::vector{0, 3, 0x7E, 0xEE}));
  count = 3;  // unaligned input and output, sized exactly
  EXPECT_EQ(codec.Decode(out.data() + 1, 2, back.data() + 1, &count),
            G711Codec::kErrOutputTooSmall);
  count = 4;
  EXPECT_EQ(codec.Decode(out.data() + 1, 2, back.data() + 1, &count), 0);
  EXPECT_EQ(dsp::LoadPcm16(back.data() + 1, 1), G711Codec::DecodeULaw(0x7E));
}

Bytes Codes(size_t n = 160) {
  Bytes codes(n);
  for (size_t i = 0; i < n; ++i) codes[i] = uint8_t(i * 7);
  return codes;
}

bool IsMarker(const Owned& s, int32_t ms, const WAVEFORMATEX& format) {
  return s->GetDataSize() == 0 && s->GetSilenceDuration() == ms && s->Format() == format;
}

TEST(G711TransformerTest, EncodeAndDecodeFramesHeadersAndMarkers) {
  Pcm ramp(160);
  for (int n = 0; n < 160; ++n) ramp[n] = int16_t(n * 397 - 30000);
  Owned out;
  for (bool alaw : {false, true}) {
    PCM2G711Transformer encoder;
    alaw ? encoder.SetALaw() : encoder.SetULaw();
    ASSERT_EQ(Transform(encoder, {Sample(ramp).get()}, &out), 0);
    ASSERT_EQ(out->GetDataSize(), 160);
    for (int n = 0; n < 160; ++n) ASSERT_EQ(out->GetData()[n], ReferenceCode(alaw, ramp[n])) << n;
    EXPECT_EQ(out->Format(), MakeAudioFormat(alaw ? 1 : 0));
    ASSERT_EQ(Transform(encoder, {Sample(PcmFormat(), {}, 40).get()}, &out), 0);
    EXPECT_TRUE(IsMarker(out, 40, MakeAudioFormat(alaw ? 1 : 0)));
  }

  // The decoder uses its own law whatever the input claims and copies the header (the copy
  // outlives the input).
  G7112PCMTransformer decoder;
  decoder.SetALaw();
  ASSERT_EQ(Transform(decoder, {Sample(MakeAudioFormat(0), Codes(), 0, 0, 0x1234).get()}, &out), 0);
  EXPECT_EQ(Read(out.get()), Decoded(Codes(), true));
  EXPECT_EQ(out->Format(), PcmFormat());
  EXPECT_TRUE(out->GetRTPHeader() && out->GetRTPHeader()->timestamp == 0xFFFFFF00u + 0x1234);
  ASSERT_EQ(Transform(decoder, {Sample(MakeAudioFormat(1), {}, 40).get()}, &out), 0);
  EXPECT_TRUE(IsMarker(out, 40, PcmFormat()));
  // 1600 codes fill the output sample; one more does not fit: refused, with an empty output.
  ASSERT_EQ(Transform(decoder, {Sample(MakeAudioFormat(0), Bytes(1600, 0x80)).get()}, &out), 0);
  EXPECT_EQ(out->GetDataSize(), 3200);
  EXPECT_EQ(Transform(decoder, {Sample(MakeAudioFormat(0), Bytes(1601, 0x80)).get()}, &out),
            G711Codec::kErrOutputTooSmall);
  EXPECT_EQ(out->GetDataSize(), 0);
  EXPECT_EQ(Transform(decoder, {nullptr}, &out), 0);
  EXPECT_EQ(out, nullptr);
}

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

std::string ReceiveCodec(const char* set = nullptr) {
  if (set != nullptr) RegSetString(RegistryRoot::kCurrentUser, kKey, "RTPReceiveCodec", set);
  return RegGetString(RegistryRoot::kCurrentUser, kKey, "RTPReceiveCodec", "<missing>");
}

TEST(GenericRTP2PCMDecoderTest, DispatchesPayloadTypesRecordsTheCodecAndRefusesTheRest) {
  ReceiveCodec("G.711 ALaw");
  GenericRTP2PCMDecoder decoder;
  EXPECT_EQ(ReceiveCodec(), "");  // construction empties the recorded codec

  // Each packet is decoded with its own law; the value is written only when the codec changes
  // ("marked" stays), and comfort noise (13) is handed on as the first four bytes of its payload.
  const std::pair<int, const char*> steps[] = {{0, "G.711 ULaw"}, {0, "marked"},  {8, "G.711 ALaw"},
                                               {0, "G.711 ULaw"}, {13, "marked"}, {0, "marked"}};
  uint16_t seq = 100;
  Owned out;
  for (const auto& [payloadType, recorded] : steps) {
    ReceiveCodec("marked");
    const Bytes payload = payloadType == 13 ? Bytes{0x40, 1, 2, 3, 4, 5} : Codes();
    ASSERT_EQ(Transform(decoder, {Sample(PcmFormat(), payload, 0, payloadType, ++seq).get()}, &out),
              0);
    EXPECT_EQ(ReceiveCodec(), recorded) << "payload type " << payloadType;
    EXPECT_TRUE(out->GetRTPHeader() && out->GetRTPHeader()->sequenceNumber == seq);
    EXPECT_EQ(out->Format(), PcmFormat());
    EXPECT_EQ(Read(out.get()),
              payloadType == 13 ? Pcm({0x140, 0x302}) : Decoded(payload, payloadType == 8));
  }
  ASSERT_EQ(Transform(decoder, {Sample(PcmFormat(), {}, 20, 0, 1).get()}, &out), 0);
  EXPECT_TRUE(IsMarker(out, 20, PcmFormat()));

  const Bytes payload(20, 1);
  EXPECT_EQ(Transform(decoder, {Sample(PcmFormat(), payload, 0, 18).get()}, &out),
            GenericRTP2PCMDecoder::kErrUnknownPayloadType);
  EXPECT_EQ(ReceiveCodec(), "Unknown Type 18 (ERROR)");
  EXPECT_EQ(Transform(decoder, {Sample(PcmFormat(), payload).get()}, &out),
            GenericRTP2PCMDecoder::kErrNoRTPHeader);
  // On the push path the refused output never reaches a sink (and goes back to the pool).
  EXPECT_EQ(Push(decoder, Sample(PcmFormat(), payload, 0, 4)),
            GenericRTP2PCMDecoder::kErrUnknownPayloadType);

  EXPECT_EQ(decoder.StopTransform(), 0);
  EXPECT_EQ(ReceiveCodec(), "");
  ASSERT_EQ(Transform(decoder, {Sample(PcmFormat(), Codes(), 0, 0, 2).get()}, &out), 0);
  EXPECT_EQ(ReceiveCodec(), "G.711 ULaw");
}

// One frame, or nothing when the pull is refused.
Pcm Pull(ACMTransformer& acm) {
  AudioSample* raw = nullptr;
  if (acm.GenerateData(&raw) != 0) return {};
  return Read(Owned(raw).get());
}

// Waits (up to 5 s) for the count to reach `target`, then checks it stays there for 50 ms.
bool Settles(const std::atomic<int>& count, int target) {
  for (int i = 0; i < 2500 && count.load() < target; ++i) std::this_thread::sleep_for(2ms);
  std::this_thread::sleep_for(50ms);
  return count.load() == target;
}

TEST(ACMTransformerTest, FullQueueBlocksTheProducerUntilPullFlushOrStop) {
  ACMTransformer acm;
  EXPECT_EQ(Push(acm, Sample(PcmFormat(), {1, 2})), ACMTransformer::kErrNotRunning);  // not started
  ASSERT_EQ(acm.StartTransform(), 0);
  std::atomic<int> pushed{0};
  std::atomic<int32_t> lastResult{0};
  std::thread producer([&] {
    for (int i = 0;
         i < 100 && (lastResult = Push(acm, Sample(PcmFormat(), Bytes(3200, 0x5A)))) == 0; ++i)
      ++pushed;
  });
  // Five pushes fill the 16000-byte queue; the sixth waits for room. Taking one frame is not
  // room enough for 3200 bytes; taking ten is.
  EXPECT_TRUE(Settles(pushed, 5));
  EXPECT_EQ(acm.QueuedBytes(), 16000u);
  EXPECT_EQ(Pull(acm), Pcm(160, 0x5A5A));
  EXPECT_TRUE(Settles(pushed, 5));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Pull(acm).size(), 160u);
  EXPECT_TRUE(Settles(pushed, 6));
  // A flush empties the queue and releases the producer for five more.
  EXPECT_EQ(acm.FlushBuffer(), 0);
  EXPECT_TRUE(Settles(pushed, 11));
  // A stop releases it for good: its data is dropped and the next push is refused.
  EXPECT_EQ(acm.StopTransform(), 0);
  producer.join();
  EXPECT_EQ(lastResult.load(), ACMTransformer::kErrNotRunning);
  acm.FlushBuffer();
}

// PCM filters.

// Noise in [-a, a] (clamped to 32767) from a fixed generator, the same on every library.
Pcm Noise(size_t n, int32_t a, uint32_t& seed) {
  Pcm v(n);
  for (auto& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<int16_t>(
        std::min<int32_t>(int32_t((seed >> 8) % uint32_t(2 * a + 1)) - a, 32767));
  }
  return v;
}

Pcm Sine(int n, double hz, double amplitude, int offset = 0) {
  Pcm v(n);
  for (int i = 0; i < n; ++i)
    v[i] = int16_t(amplitude * std::sin(2 * std::numbers::pi * hz * (i + offset) / 8000.0));
  return v;
}

// FNV-1a over the values, to pin exact outputs.
uint64_t Checksum(const Pcm& v, uint64_t h = 1469598103934665603ull) {
  for (int16_t x : v) h = (h ^ static_cast<uint16_t>(x)) * 1099511628211ull;
  return h;
}

// Runs `in` through the filter in frames of the given sizes, the last one repeated to the end.
Pcm Fir(FIRTransformer::Filter& f, const Pcm& in, std::vector<size_t> frames = {160}) {
  Pcm out(in.size());
  for (size_t at = 0, k = 0, n = 0; at < in.size();
       at += n, k = std::min(k + 1, frames.size() - 1)) {
    n = std::min(frames[k], in.size() - at);
    f.Process(std::span(in).subspan(at, n), std::span(out).subspan(at, n));
  }
  return out;
}

const Pcm kImpulseResponse = {1,   -4,  -17,  -9,   -5,  -14,  -15,  -13, -26, 12,
                              -61, 20,  -128, -165, 853, -165, -128, 20,  -61, 12,
                              -26, -13, -15,  -14,  -5,  -9,   -17,  -4,  1};

TEST(FIRTransformerTest, ImpulseResponseSettlingAndClampingAtEveryWidth) {
  FIRTransformer::Filter f(FIRTransformer::CoefficientTable(1), 29, 16);
  Pcm impulse(40, 0), expected = kImpulseResponse;
  impulse[0] = 1000;
  expected.resize(40, 0);
  EXPECT_EQ(Fir(f, impulse, {7}), expected);  // across frame boundaries
  const Pcm settled = Fir(f, Pcm(160, 10000));
  EXPECT_EQ(Pcm(settled.begin() + 28, settled.end()), Pcm(132, -16));

  // Full-scale inputs with the signs of the taps make the sum about 1.85 x full scale.
  auto clamps = [](auto fullScale, int t, int sign) {
    using T = decltype(fullScale);
    const double* c = FIRTransformer::CoefficientTable(t);
    std::vector<T> in(29), out(29);
    for (int k = 0; k < 29; ++k) in[k] = T(sign * (c[k] >= 0 ? fullScale : -fullScale));
    FIRTransformer::Filter(c, 29, 8 * sizeof(T)).Process(std::span<const T>(in), std::span<T>(out));
    return out[28] == (sign > 0 ? fullScale : T(-fullScale - 1));
  };
  for (int t = 1; t <= 4; ++t)
    for (int sign : {1, -1})
      EXPECT_TRUE(clamps(int16_t(32767), t, sign) && clamps(int8_t(127), t, sign) &&
                  clamps(int32_t(2147483647), t, sign))
          << "table " << t << " sign " << sign;
  // Other tap counts, fewer than a vector block or none: the response is the truncated taps.
  for (int taps : {0, 1, 2, 5, 40}) {
    std::vector<double> c(taps);
    for (int k = 0; k < taps; ++k) c[k] = (k % 3 == 1 ? -1 : 1) * (k + 1) / 64.0;
    FIRTransformer::Filter g(c.data(), taps, 16);
    const Pcm out = Fir(g, impulse, {3});
    for (int k = 0; k < 40; ++k) ASSERT_EQ(out[k], k < taps ? int(1000 * c[k]) : 0) << taps;
  }
}

TEST(FIRTransformerTest, OutputsPinnedWhateverTheFrameSplitAndThroughTheTransformer) {
  Pcm in(1600);
  for (size_t i = 0; i < in.size(); ++i) {  // a sawtooth with a faster ripple and hash noise
    in[i] = int16_t(int32_t((i * 613) % 24000) - 12000 + int32_t(i % 9) * 900 - 3600 +
                    int32_t((i * 7919) % 2001) - 1000);
  }
  const uint64_t sums[4] = {16752311279184558604ull, 3953826328770254450ull, 2660563708323866631ull,
                            2958281969984206436ull};
  for (int t = 1; t <= 4; ++t) {
    for (const std::vector<size_t>& frames :
         {std::vector<size_t>{160}, {1600}, {1, 2, 3, 15, 16, 17, 29, 255, 256, 257, 33}}) {
      FIRTransformer::Filter f(FIRTransformer::CoefficientTable(t), 29, 16);
      EXPECT_EQ(Checksum(Fir(f, in, frames)), sums[t - 1]) << "table " << t;
    }
    // The transformer writes fresh samples, keeps the history across frames and hands silence
    // markers on without touching it; it refuses audio before it has a filter.
    FIRTransformer fir;
    Owned frame = Sample(Pcm(in.begin(), in.begin() + 160)), marker = Sample({}, 20), out;
    EXPECT_EQ(Transform(fir, {frame.get()}, &out), FIRTransformer::kErrBitsPerSample);
    ASSERT_EQ(fir.SetCoefficients(FIRTransformer::CoefficientTable(t), 29, 16), 0);
    uint64_t sum = 1469598103934665603ull;
    for (size_t at = 0; at < in.size(); at += 160) {
      frame = Sample(Pcm(in.begin() + at, in.begin() + at + 160));
      ASSERT_EQ(Transform(fir, {frame.get()}, &out), 0);
      EXPECT_EQ(Read(frame.get()), Pcm(in.begin() + at, in.begin() + at + 160));  // untouched
      sum = Checksum(Read(out.get()), sum);
      EXPECT_TRUE(HandsOn(fir, marker.get()));
    }
    EXPECT_EQ(sum, sums[t - 1]) << "transformer, table " << t;
  }
}

Pcm Limit(LimiterGain& g, Pcm v) {
  g.Process(v);
  return v;
}

TEST(LimiterTest, FullScaleAttackSettlingAndRelease) {
  LimiterGain g(-8.0, 0.075, -0.00075);
  const Pcm quiet = {1000, -1000, 1000, 0, -1000};  // about 19 dB under the threshold
  EXPECT_EQ(Limit(g, quiet), quiet);
  EXPECT_EQ(g.loss, LimiterGain::kLossFloor);

  const Pcm loud = Limit(g, Pcm(400, 32767));
  EXPECT_EQ(Pcm(loud.begin(), loud.begin() + 4), (Pcm{32485, 32205, 31929, 31654}));
  for (size_t i = 1; i < 140; ++i) ASSERT_LT(loud[i], loud[i - 1]) << i;  // monotonic attack
  // About 150 samples in, the reduction reaches the peak (~11.2 dB) and hovers there.
  EXPECT_TRUE(g.loss > 11.0 && g.loss < 11.3) << g.loss;
  for (size_t i = 160; i < loud.size(); ++i) ASSERT_TRUE(loud[i] > 8800 && loud[i] < 9200) << i;

  // Silence releases 0.00075 dB per sample: still reducing after 14 000 samples, done by 15 500;
  // a quiet sample meanwhile does not raise the reduction but is scaled by it.
  Limit(g, Pcm(14000, 0));
  EXPECT_TRUE(g.loss > LimiterGain::kLossFloor && g.loss < 1.0) << g.loss;
  const int16_t probe = Limit(g, {1000})[0];
  EXPECT_TRUE(probe > 900 && probe < 1000) << probe;
  Limit(g, Pcm(1500, 0));
  EXPECT_EQ(g.loss, LimiterGain::kLossFloor);
}

TEST(LimiterTest, OutputsPinnedOnBurstsThroughTheTransformer) {
  const double params[3][3] = {{-8.0, 0.075, -0.00075}, {-20.0, 0.5, -0.01}, {0.0, 0.01, -0.0001}};
  const uint64_t sums[3] = {6083216100309436606ull, 18429965332829525138ull,
                            14164003776105717833ull};
  for (int p = 0; p < 3; ++p) {
    // In place, state kept across frames; silence markers are handed on between them.
    Limiter limiter(params[p][0], params[p][1], params[p][2]);
    Owned marker = Sample({}, 20);
    uint32_t seed = 99;
    uint64_t sum = 1469598103934665603ull;
    for (int frame = 0; frame < 200; ++frame) {
      Owned in = Sample(Noise(160, std::array{0, 300, 3000, 12000, 30000, 32768}[frame % 6], seed));
      ASSERT_TRUE(HandsOn(limiter, in.get()) && HandsOn(limiter, marker.get()));
      sum = Checksum(Read(in.get()), sum);
    }
    EXPECT_EQ(sum, sums[p]) << "parameters " << p;
    EXPECT_EQ(limiter.SetParameters(-8.0, 0.075, -0.00075), 0);  // starts afresh
    EXPECT_EQ(Limit(limiter.Gain(), Pcm(4, 32767)), (Pcm{32485, 32205, 31929, 31654}));
  }
}

class VADTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = VAD::Detector::SharedState();
    VAD::Detector::SharedState().previousSample = 0;
    VAD::Detector::SharedState().noiseFloor = 3.0f;  // the start must reset everything else
    ASSERT_EQ(vad.StartTransform(), 0);
  }
  void TearDown() override { VAD::Detector::SharedState() = saved; }
  // Pushes a frame through the filter; 'S' for speech, '.' when it became a silence marker.
  char Judge(const Pcm& frame) {
    Owned in = Sample(frame);
    EXPECT_TRUE(HandsOn(vad, in.get()));
    if (in->GetDataSize() != 0) return 'S';
    EXPECT_EQ(in->GetSilenceDuration(), int32_t(frame.size() / 8));
    return '.';
  }
  std::pair<uint32_t, float> State() {
    return {VAD::Detector::SharedState().energy, VAD::Detector::SharedState().noiseFloor};
  }
  VAD::DetectorState saved;
  VAD vad;
};

TEST_F(VADTest, SilenceAfterAResetIsSpeechUntilFrame36ThenTonesAndNoiseBurstsDecide) {
  EXPECT_EQ(State(), std::pair(10000u, -74.0f));
  // After the hangover, 60 samples (steps of 40 and 20) are 7 ms of silence.
  std::string decisions;
  for (int f = 0; f < 41; ++f) decisions += Judge(Pcm(f < 40 ? 160 : 60, 0));
  EXPECT_EQ(decisions, std::string(35, 'S') + std::string(6, '.'));
  ASSERT_EQ(vad.StartTransform(), 0);
  EXPECT_EQ(State(), std::pair(10000u, -74.0f));

  // frames, kind: 0 zeros, 1 tone, 2 loud noise, 3 faint noise
  const std::pair<int, int> script[] = {{50, 0}, {10, 1}, {60, 0}, {3, 2}, {150, 3}, {4, 1}};
  decisions.clear();
  uint32_t seed = 11;
  int offset = 0;
  for (const auto& [frames, kind] : script) {
    for (int f = 0; f < frames; ++f, offset += 160) {
      decisions += Judge(kind == 0   ? Pcm(160, 0)
                         : kind == 1 ? Sine(160, 440, 3000, offset)
                                     : Noise(160, kind == 2 ? 5000 : 20, seed));
    }
  }
  // Zeros: speech for 35 frames again. The tone, its decay and the hangover: speech to frame 110.
  // The burst, then faint noise until the floor comes down to it (frame 182). The second tone.
  // The final state pins the arithmetic.
  EXPECT_EQ(decisions, std::string(35, 'S') + std::string(15, '.') + std::string(60, 'S') +
                           std::string(10, '.') + std::string(62, 'S') + std::string(91, '.') +
                           std::string(4, 'S'));
  EXPECT_EQ(State(), std::pair(1524948u, -71.0f));
}

TEST_F(VADTest, NoiseFloorClimbsOneDbPer12000SamplesAndDropsAtOnce) {
  // 32767 - (-32768) wraps to -1: the energy falls by 10000 >> 6, it does not jump by 2^32 / 32.
  VAD::DetectorState s;
  s.previousSample = -32768;
  VAD::Detector::ProcessStep(s, Pcm{32767});
  EXPECT_EQ(s.energy, 10000u - 156u);
  s = VAD::DetectorState();
  s.previousSample = 0;
  Pcm square(40, 1000);
  for (int i = 1; i < 40; i += 2) square[i] = -1000;
  for (int step = 1; step <= 3001; ++step) {
    ASSERT_TRUE(VAD::Detector::ProcessStep(s, square));
    ASSERT_EQ(s.noiseFloor, -74.0f + float((step - 1) / 300)) << "step " << step;
  }
  // On silence the energy decays; once a step's lowest level reaches the floor, the floor follows
  // it down step by step, restarting its timer each time.
  int firstDrop = 0;
  for (int step = 1; step <= 200; ++step) {
    VAD::Detector::ProcessStep(s, Pcm(40, 0));
    if (firstDrop == 0 && s.noiseFloor < -64.0f) firstDrop = step;
    if (firstDrop == 0) continue;
    ASSERT_EQ(s.noiseFloor, float(10 * std::log10(double(s.energy)) - 93.32)) << step;
    ASSERT_EQ(s.floorTimer, 12000);
  }
  EXPECT_TRUE(firstDrop > 100 && firstDrop < 140) << firstDrop;
}

TEST(PCMVolumeMaximizerTest, PercentileBinGainAndLimitedAmplification) {
  Pcm mostlyQuiet(160, 100), sine = Sine(160, 440, 1000);  // bin 0
  std::fill_n(mostlyQuiet.begin(), 8, 16000);              // 5 % in bin 125
  Pcm fewLoud = mostlyQuiet;
  fewLoud[8] = 16000;  // 9 of 160 (5.6 %) in bin 125
  // frame, percentile, maximum gain (hundredths), bin, gain
  const std::tuple<Pcm, double, uint32_t, int32_t, double> cases[] = {
      {sine, 95.0, 5000, 8, 32.0},                            // uncapped
      {Sine(160, 440, 20000), 100.0, 800, 157, 256.0 / 157},  // one above the top bin
      {sine, 0.0, 800, 0, 8.0},                               // percentile 0 never stops
      {sine, 95.0, 800, 8, 8.0},
      {Pcm(160, 4096), 95.0, 800, 33, 256.0 / 33},
      {Pcm(160, 0), 95.0, 800, 1, 8.0},
      {Pcm(160, -32768), 95.0, 800, 0, 8.0},  // -32768 lies beyond every bin
      {Pcm(160, 32767), 95.0, 800, 0, 8.0},
      {mostlyQuiet, 95.0, 800, 1, 8.0},        // exactly 5 % loud
      {fewLoud, 95.0, 800, 126, 256.0 / 126},  // over 5 %: one above their bin
  };
  PCMVolumeMaximizer m;  // no state from frame to frame
  for (const auto& [frame, percentile, maxGain, bin, gain] : cases) {
    m.SetPercentile(percentile);
    m.SetMaxAmplification(maxGain);
    EXPECT_EQ(m.FindPercentileBin(frame), bin) << "percentile " << percentile;
    EXPECT_EQ(m.GainForBin(bin), gain) << bin;
  }
  // Still at 95 % and at most x 8:
  const std::pair<Pcm, Pcm> amplified[] = {
      {{-32768, -32768, -32768}, {-32767, -32767, -32767}},  // gain 8, limited at -32767
      {{0, 0, 0}, {0, 0, 0}},
      {{1000, -1000, 999, 1}, {8000, -8000, 7992, 8}},
  };
  for (auto [v, expected] : amplified) {
    m.Maximize(v);
    EXPECT_EQ(v, expected);
  }
  Owned in = Sample(Pcm(160, 4096)), out;
  EXPECT_TRUE(HandsOn(m, in.get()));
  EXPECT_EQ(Read(in.get()), Pcm(160, 31775));  // 4096 * 256 / 33 = 31775.03
  EXPECT_EQ(Transform(m, {Sample({}, 20).get()}, &out), PCMVolumeMaximizer::kErrSilence);
  EXPECT_EQ(Transform(m, {nullptr}, &out), PCMVolumeMaximizer::kErrNoInput);
}

TEST(PCMMixerTest, SumsClampLengthsAndSilenceMarkers) {
  PCMMixer mixer;
  Owned out;
  const std::tuple<Pcm, Pcm, Pcm, Pcm> cases[] = {
      // three inputs (an empty third: none), the mix
      {{30000, -30000, 100, -32768}, {10000, -10000, -50, -32768}, {}, {32767, -32768, 50, -32768}},
      {{32767, -32768, 1}, {-32767, 32767, -1}, {5, 5, 5}, {5, 4, 5}},
      {{20000, 20000}, {20000, -20000}, {-20000, 0}, {20000, 0}},  // no clamping in between
      {{1, 1}, {10, 20, 30, 40}, {}, {11, 21, 30, 40}},            // the longest input's length
  };
  for (const auto& [inA, inB, inC, expected] : cases) {
    Owned a = Sample(inA), b = Sample(inB), c = Sample(inC);
    ASSERT_EQ(Transform(mixer, {a.get(), b.get(), inC.empty() ? nullptr : c.get()}, &out), 0);
    EXPECT_EQ(Read(out.get()), expected);
    EXPECT_EQ(Read(a.get()), inA);  // inputs untouched
  }
  // Markers only: a fresh marker as long as the longest. Audio plus a marker: a copy of the audio.
  Owned m20 = Sample({}, 20), m40 = Sample({}, 40), audio = Sample({-5, 6});
  ASSERT_EQ(Transform(mixer, {m20.get(), nullptr, m40.get()}, &out), 0);
  EXPECT_TRUE(out != m20 && out != m40 && out->GetDataSize() == 0);
  EXPECT_EQ(out->GetSilenceDuration(), 40);
  ASSERT_EQ(Transform(mixer, {m40.get(), audio.get()}, &out), 0);
  EXPECT_TRUE(out != audio && out->GetSilenceDuration() == 0);
  EXPECT_EQ(Read(out.get()), (Pcm{-5, 6}));
  // A single entry is handed on itself, marker or not; nothing at all gives nothing.
  for (AudioSample* only : {m20.get(), audio.get(), static_cast<AudioSample*>(nullptr)}) {
    ASSERT_EQ(Transform(mixer, {nullptr, only}, &out), 0);
    EXPECT_EQ(out.get(), only);
  }
}

TEST(PCMVolumeTransformerTest, GainIsTheSquareOfThePercentageTruncatedTowardZero) {
  const std::tuple<int32_t, Pcm, Pcm> cases[] = {
      {50, {1001, -1001, 3, -3, 4, 32767, -32768}, {250, -250, 0, 0, 1, 8191, -8192}},
      {100, {1, -1, 32767, -32768, 12345}, {1, -1, 32767, -32768, 12345}},
      {10, {1000, -1000, 99, 32767}, {10, -10, 0, 327}},
      {0, {32767, -32768, 5}, {0, 0, 0}},
      {99, {10000, -10000}, {9801, -9801}},
  };
  for (auto [volume, samples, expected] : cases) {
    PCMVolumeTransformer::Scale(samples, volume);
    EXPECT_EQ(samples, expected) << "volume " << volume;
  }
  PCMVolumeTransformer v;
  v.SetVolume(250);  // clamped to 100
  EXPECT_EQ(v.GetVolume(), 100);
  v.SetVolume(50);
  Owned in = Sample({1001, -1001, 0x7F7F});
  in->SetDataSize(5);  // two whole samples and one byte, left as it is
  EXPECT_TRUE(HandsOn(v, in.get()));
  EXPECT_EQ(Read(in.get()), (Pcm{250, -250}));
  EXPECT_EQ(in->GetData()[4], 0x7F);
}

}  // namespace
}  // namespace tarsio
