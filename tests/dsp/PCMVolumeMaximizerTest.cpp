#include "dsp/PCMVolumeMaximizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "FilterTestUtil.h"
#include "platform/TraceSink.h"

namespace tarsio {
namespace {

using testing::ListOf;
using testing::MakePcmSample;
using testing::MakeSilenceMarker;
using testing::ReadPcm;
using testing::SampleRef;

std::vector<int16_t> Sine(int n, double hz, double amplitude) {
  std::vector<int16_t> v(n);
  for (int i = 0; i < n; ++i)
    v[i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * i / 8000.0));
  return v;
}

TEST(PCMVolumeMaximizerTest, PercentileBinAndGainOnTypicalFrames) {
  struct Case {
    const char* name;
    std::vector<int16_t> frame;
    double percentile;
    uint32_t maxGain;
    int32_t bin;
    double gain;
  };
  std::vector<int16_t> mostlyQuiet(160, 100);          // bin 0
  for (int i = 0; i < 8; ++i) mostlyQuiet[i] = 16000;  // 5 % in bin 125
  std::vector<int16_t> fewLoud = mostlyQuiet;
  fewLoud[8] = 16000;  // 9 of 160 (5.6 %) in bin 125
  const Case cases[] = {
      {"sine 1000", Sine(160, 440, 1000), 95.0, 800, 8, 8.0},
      {"sine 1000 uncapped", Sine(160, 440, 1000), 95.0, 5000, 8, 32.0},
      {"constant 4096", std::vector<int16_t>(160, 4096), 95.0, 800, 33, 256.0 / 33},
      {"zeros", std::vector<int16_t>(160, 0), 95.0, 800, 1, 8.0},
      {"-32768 lies beyond every bin", std::vector<int16_t>(160, -32768), 95.0, 800, 0, 8.0},
      {"full scale", std::vector<int16_t>(160, 32767), 95.0, 800, 0, 8.0},
      {"percentile 100: one above the top occupied bin", Sine(160, 440, 20000), 100.0, 800, 157,
       256.0 / 157},
      {"exactly 5 % loud: 95 % of samples below bin 1", mostlyQuiet, 95.0, 800, 1, 8.0},
      {"over 5 % loud: B is one above their bin", fewLoud, 95.0, 800, 126, 256.0 / 126},
      {"percentile 0 never stops", Sine(160, 440, 1000), 0.0, 800, 0, 8.0},
  };
  for (const Case& c : cases) {
    PCMVolumeMaximizer m;
    m.SetPercentile(c.percentile);
    m.SetMaxAmplification(c.maxGain);
    EXPECT_EQ(m.FindPercentileBin(c.frame), c.bin) << c.name;
    EXPECT_EQ(m.GainForBin(c.bin), c.gain) << c.name;
  }
}

TEST(PCMVolumeMaximizerTest, AmplifiesInPlaceLimitedToSymmetricFullScale) {
  PCMVolumeMaximizer m;
  m.SetPercentile(95.0);
  m.SetMaxAmplification(800);
  struct Case {
    std::vector<int16_t> in;
    std::vector<int16_t> out;
  };
  const Case cases[] = {
      {{4096, -4096, 0}, {31775, -31775, 0}},                // 4096 * 256/33 = 31775.03
      {{-32768, -32768, -32768}, {-32767, -32767, -32767}},  // gain 8, limited at -32767
      {{0, 0, 0}, {0, 0, 0}},
      {{1000, -1000, 999, 1}, {8000, -8000, 7992, 8}},
  };
  for (const Case& c : cases) {
    std::vector<int16_t> v = c.in;
    m.Maximize(v);
    EXPECT_EQ(v, c.out);
  }
  std::vector<int16_t> sine = Sine(160, 440, 1000);
  m.Maximize(sine);
  EXPECT_EQ(*std::max_element(sine.begin(), sine.end()), 8000);
  EXPECT_EQ(*std::min_element(sine.begin(), sine.end()), -8000);
}

class PCMVolumeMaximizerSampleTest : public ::testing::Test {
 protected:
  void TearDown() override { TraceSink::SetRecorder(nullptr); }
  int32_t Transform(AudioSample* in, SampleRef& out) {
    auto list = ListOf({in});
    return m.TransformAudioSamples(list, out.out());
  }
  PCMVolumeMaximizer m;
};

TEST_F(PCMVolumeMaximizerSampleTest, ResultsAndOutputsThroughTheTransformer) {
  // Default cap 1.00: frames pass unchanged with result 0.
  SampleRef in(MakePcmSample(std::vector<int16_t>(160, 4096)));
  SampleRef out;
  EXPECT_EQ(Transform(in.get(), out), 0);
  EXPECT_EQ(out.get(), in.get());
  EXPECT_EQ(in->GetRefCount(), 2);
  EXPECT_EQ(ReadPcm(in.get()), std::vector<int16_t>(160, 4096));

  m.SetPercentile(95.0);
  m.SetMaxAmplification(800);
  EXPECT_EQ(Transform(in.get(), out), 0);
  EXPECT_EQ(out.get(), in.get());
  EXPECT_EQ(ReadPcm(in.get()), std::vector<int16_t>(160, 31775));

  SampleRef marker(MakeSilenceMarker(20));
  EXPECT_EQ(Transform(marker.get(), out), PCMVolumeMaximizer::kErrSilence);
  EXPECT_EQ(out.get(), nullptr);
  EXPECT_EQ(marker->GetRefCount(), 1);

  AudioSampleList empty;
  EXPECT_EQ(m.TransformAudioSamples(empty, out.out()), PCMVolumeMaximizer::kErrNoInput);
  AudioSampleList nullEntry = ListOf({nullptr});
  EXPECT_EQ(m.TransformAudioSamples(nullEntry, out.out()), PCMVolumeMaximizer::kErrNoInput);
  EXPECT_EQ(out.get(), nullptr);

  WAVEFORMATEX odd = PcmFormat();
  odd.wBitsPerSample = 24;
  SampleRef wide(MakePcmSample(std::vector<int16_t>(12, 5)));
  wide->SetFormat(odd);
  EXPECT_EQ(Transform(wide.get(), out), PCMVolumeMaximizer::kErrBitsPerSample);
  EXPECT_EQ(out.get(), nullptr);
  EXPECT_EQ(wide->GetRefCount(), 1);

  // 8-bit frames: full scale 127; -128 lies beyond it and is limited to -127.
  WAVEFORMATEX eight = PcmFormat();
  eight.wBitsPerSample = 8;
  SampleRef bytes(testing::NewSample());
  bytes->SetFormat(eight);
  const int8_t values[4] = {16, -16, -128, 0};  // bin 32 (33 with percentile 95: 3 of 4 > 5 %)
  std::memcpy(bytes->GetData(), values, 4);
  bytes->SetDataSize(4);
  EXPECT_EQ(Transform(bytes.get(), out), 0);
  // B: 16/127*256 = 32.25 -> bin 32; 5 % of 4 samples lie above bin 32 -> B = 33, gain 7.7576.
  const int8_t* result = reinterpret_cast<const int8_t*>(bytes->GetData());
  EXPECT_EQ(result[0], 124);
  EXPECT_EQ(result[1], -124);
  EXPECT_EQ(result[2], -127);
  EXPECT_EQ(result[3], 0);
}

TEST_F(PCMVolumeMaximizerSampleTest, SettersClampAndGainsAverageOverHundredFrames) {
  m.SetPercentile(-3.0);
  EXPECT_EQ(m.GetPercentile(), 0.0);
  m.SetPercentile(250.0);
  EXPECT_EQ(m.GetPercentile(), 100.0);
  m.SetMaxAmplification(50);
  EXPECT_EQ(m.GetMaxAmplification(), 100u);
  m.SetMaxAmplification(800);
  m.SetPercentile(95.0);

  m.GetTracer().SetLevel(0xFFFFFFFFu);
  std::vector<std::string> averages;
  TraceSink::SetRecorder([&](const char*, uint32_t, const std::string& text) {
    if (text.rfind("AverageCalculator", 0) == 0) averages.push_back(text);
  });
  SampleRef frame;
  SampleRef out;
  for (int f = 0; f < 99; ++f) {
    *frame.out() = MakePcmSample(std::vector<int16_t>(160, f < 50 ? 0 : 4096));
    ASSERT_EQ(Transform(frame.get(), out), 0);
  }
  EXPECT_EQ(m.Average().Count(), 99);
  EXPECT_TRUE(averages.empty());
  *frame.out() = MakePcmSample(std::vector<int16_t>(160, 4096));
  ASSERT_EQ(Transform(frame.get(), out), 0);
  EXPECT_EQ(m.Average().Count(), 0);
  EXPECT_EQ(m.Average().Sum(), 0.0);
  ASSERT_EQ(averages.size(), 1u);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "AverageCalculator : average over last %d samples was %f\n", 100,
                (50 * 8.0 + 50 * (256.0 / 33)) / 100);
  EXPECT_EQ(averages[0], expected);

  // A silence marker adds nothing; a start clears a partial window.
  SampleRef marker(MakeSilenceMarker(20));
  EXPECT_EQ(Transform(marker.get(), out), PCMVolumeMaximizer::kErrSilence);
  *frame.out() = MakePcmSample(std::vector<int16_t>(160, 4096));
  ASSERT_EQ(Transform(frame.get(), out), 0);
  EXPECT_EQ(m.Average().Count(), 1);
  EXPECT_EQ(m.StartTransform(), 0);
  EXPECT_EQ(m.Average().Count(), 0);
  EXPECT_EQ(m.Average().Sum(), 0.0);
}

}  // namespace
}  // namespace tarsio
