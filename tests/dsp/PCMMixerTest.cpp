#include "dsp/PCMMixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "FilterTestUtil.h"

namespace tarsio {
namespace {

using testing::ListOf;
using testing::MakePcmSample;
using testing::MakeSilenceMarker;
using testing::ReadPcm;
using testing::SampleRef;

class PCMMixerTest : public ::testing::Test {
 protected:
  PCMMixer mixer;
};

TEST_F(PCMMixerTest, SumsClampAndTruncate) {
  struct Case {
    std::vector<int16_t> a, b, c;
    std::vector<int16_t> expected;
  };
  const Case cases[] = {
      {{30000, -30000, 100, -32768}, {10000, -10000, -50, -32768}, {}, {32767, -32768, 50, -32768}},
      {{32767, -32768, 1}, {-32767, 32767, -1}, {5, 5, 5}, {5, 4, 5}},
      {{20000, 20000}, {20000, -20000}, {-20000, 0}, {20000, 0}},  // no clamping in between
  };
  for (const Case& c : cases) {
    SampleRef a(MakePcmSample(c.a)), b(MakePcmSample(c.b));
    SampleRef third(c.c.empty() ? nullptr : MakePcmSample(c.c));
    auto list = ListOf({a.get(), b.get()});
    if (third.get() != nullptr) list.emplace_back(third.get(), nullptr);
    SampleRef out;
    ASSERT_EQ(mixer.TransformAudioSamples(list, out.out()), 0);
    ASSERT_NE(out.get(), nullptr);
    EXPECT_NE(out.get(), a.get());
    EXPECT_EQ(ReadPcm(out.get()), c.expected);
    EXPECT_EQ(a->GetRefCount(), 1);
    EXPECT_EQ(ReadPcm(a.get()), c.a);  // inputs untouched
  }
  std::vector<std::span<const int16_t>> none;
  std::vector<int16_t> empty(3, 7);
  PCMMixer::Mix(none, empty);
  EXPECT_EQ(empty, (std::vector<int16_t>{0, 0, 0}));
}

TEST_F(PCMMixerTest, LengthsFollowTheLongestInput) {
  std::vector<int16_t> longer(160), shorter(80);
  for (int i = 0; i < 160; ++i) longer[i] = static_cast<int16_t>(i * 10);
  for (int i = 0; i < 80; ++i) shorter[i] = 1;
  SampleRef a(MakePcmSample(shorter)), b(MakePcmSample(longer));
  WAVEFORMATEX first = PcmFormat();
  first.nSamplesPerSec = 16000;  // the output takes the first input's format
  a->SetFormat(first);
  auto list = ListOf({a.get(), b.get()});
  SampleRef out;
  ASSERT_EQ(mixer.TransformAudioSamples(list, out.out()), 0);
  EXPECT_EQ(out->GetDataSize(), 320);
  EXPECT_EQ(out->Format(), first);
  const std::vector<int16_t> mixed = ReadPcm(out.get());
  for (int i = 0; i < 80; ++i) ASSERT_EQ(mixed[i], longer[i] + 1) << i;
  for (int i = 80; i < 160; ++i) ASSERT_EQ(mixed[i], longer[i]) << i;

  // An odd size: its last byte is no whole sample and contributes nothing.
  SampleRef c(MakePcmSample({100, 200, 300}));
  c->SetDataSize(5);
  SampleRef d(MakePcmSample({1, 1}));
  auto list2 = ListOf({c.get(), d.get()});
  ASSERT_EQ(mixer.TransformAudioSamples(list2, out.out()), 0);
  EXPECT_EQ(out->GetDataSize(), 4);
  EXPECT_EQ(ReadPcm(out.get()), (std::vector<int16_t>{101, 201}));
}

TEST_F(PCMMixerTest, SilenceMarkerRulesAndSingleInputs) {
  SampleRef out;
  // Nothing at all, or only null entries: no output.
  AudioSampleList empty;
  EXPECT_EQ(mixer.TransformAudioSamples(empty, out.out()), 0);
  EXPECT_EQ(out.get(), nullptr);
  auto nulls = ListOf({nullptr, nullptr});
  EXPECT_EQ(mixer.TransformAudioSamples(nulls, out.out()), 0);
  EXPECT_EQ(out.get(), nullptr);

  // Two markers: a marker as long as the longer one, in a fresh sample.
  SampleRef m20(MakeSilenceMarker(20)), m40(MakeSilenceMarker(40));
  auto markers = ListOf({m20.get(), nullptr, m40.get()});
  ASSERT_EQ(mixer.TransformAudioSamples(markers, out.out()), 0);
  EXPECT_NE(out.get(), m20.get());
  EXPECT_NE(out.get(), m40.get());
  EXPECT_EQ(out->GetDataSize(), 0);
  EXPECT_EQ(out->GetSilenceDuration(), 40);

  // Audio plus a marker: a copy of the audio with no silence duration.
  const std::vector<int16_t> audio = {-5, 6, -32768, 32767};
  SampleRef a(MakePcmSample(audio));
  auto mixedList = ListOf({m40.get(), a.get()});
  ASSERT_EQ(mixer.TransformAudioSamples(mixedList, out.out()), 0);
  EXPECT_NE(out.get(), a.get());
  EXPECT_EQ(ReadPcm(out.get()), audio);
  EXPECT_EQ(out->GetSilenceDuration(), 0);

  // A single non-null entry is handed on itself, marker or not.
  for (AudioSample* only : {m20.get(), a.get()}) {
    auto single = ListOf({nullptr, only});
    ASSERT_EQ(mixer.TransformAudioSamples(single, out.out()), 0);
    EXPECT_EQ(out.get(), only);
    EXPECT_EQ(only->GetRefCount(), 2);
    out.Reset();
  }
  EXPECT_EQ(m20->GetSilenceDuration(), 20);
}

TEST_F(PCMMixerTest, TransformAgreesWithMixOnRandomCycles) {
  std::mt19937 rng(21);
  std::uniform_int_distribution<int> count(2, 5), length(0, 1600);
  for (int cycle = 0; cycle < 200; ++cycle) {
    std::vector<std::vector<int16_t>> values;
    std::vector<SampleRef> samples(count(rng));
    AudioSampleList list;
    size_t longest = 0;
    for (auto& s : samples) {
      values.push_back(testing::RandomPcm(rng, length(rng)));
      *s.out() = values.back().empty() ? MakeSilenceMarker(20) : MakePcmSample(values.back());
      list.emplace_back(s.get(), nullptr);
      longest = std::max(longest, values.back().size());
    }
    std::vector<std::span<const int16_t>> spans(values.begin(), values.end());
    std::vector<int16_t> expected(longest);
    PCMMixer::Mix(spans, expected);
    SampleRef out;
    ASSERT_EQ(mixer.TransformAudioSamples(list, out.out()), 0);
    ASSERT_EQ(ReadPcm(out.get()), expected) << "cycle " << cycle;
  }
}

}  // namespace
}  // namespace tarsio
