#include "dsp/PCMVolumeTransformer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "FilterTestUtil.h"

namespace tarsio {
namespace {

using testing::ListOf;
using testing::MakePcmSample;
using testing::ReadPcm;
using testing::SampleRef;

TEST(PCMVolumeTransformerTest, VolumeIsClampedAndStartsSilent) {
  PCMVolumeTransformer v;
  EXPECT_EQ(v.GetVolume(), 0);
  const std::pair<int32_t, int32_t> cases[] = {{-5, 0},  {0, 0},     {1, 1},
                                               {50, 50}, {100, 100}, {250, 100}};
  for (const auto& [set, stored] : cases) {
    EXPECT_EQ(v.SetVolume(set), 0);
    EXPECT_EQ(v.GetVolume(), stored) << set;
  }
}

TEST(PCMVolumeTransformerTest, GainIsTheSquareOfThePercentageTruncatedTowardZero) {
  struct Case {
    int32_t volume;
    std::vector<int16_t> in, out;
  };
  const Case cases[] = {
      {50, {1001, -1001, 3, -3, 4, 32767, -32768}, {250, -250, 0, 0, 1, 8191, -8192}},
      {100, {1, -1, 32767, -32768, 12345}, {1, -1, 32767, -32768, 12345}},
      {10, {1000, -1000, 99, 32767}, {10, -10, 0, 327}},
      {0, {32767, -32768, 5}, {0, 0, 0}},
      {99, {10000, -10000}, {9801, -9801}},
  };
  for (const Case& c : cases) {
    std::vector<int16_t> v = c.in;
    PCMVolumeTransformer::Scale(v, c.volume);
    EXPECT_EQ(v, c.out) << "volume " << c.volume;
  }
}

TEST(PCMVolumeTransformerTest, WorksInPlaceAndLeavesAnOddLastByte) {
  PCMVolumeTransformer v;
  v.SetVolume(50);
  SampleRef in(MakePcmSample({1001, -1001, 0x7F7F}));
  in->SetDataSize(5);  // two whole samples and one byte
  SampleRef out;
  auto list = ListOf({in.get()});
  ASSERT_EQ(v.TransformAudioSamples(list, out.out()), 0);
  EXPECT_EQ(out.get(), in.get());
  EXPECT_EQ(in->GetRefCount(), 2);
  EXPECT_EQ(in->GetDataSize(), 5);
  EXPECT_EQ(ReadPcm(in.get()), (std::vector<int16_t>{250, -250}));
  EXPECT_EQ(in->GetData()[4], 0x7F);

  AudioSampleList empty;
  EXPECT_EQ(v.TransformAudioSamples(empty, out.out()), 0);
  EXPECT_EQ(out.get(), nullptr);
}

TEST(PCMVolumeTransformerTest, VolumeChangedFromAnotherThreadAppliesPerValue) {
  PCMVolumeTransformer v;
  v.SetVolume(100);
  std::atomic<bool> stop{false};
  std::thread host([&] {
    for (int i = 0; !stop.load(); ++i) v.SetVolume(i % 2 ? 50 : 100);
  });
  for (int frame = 0; frame < 50; ++frame) {
    SampleRef in(MakePcmSample(std::vector<int16_t>(1600, 10000)));
    SampleRef out;
    auto list = ListOf({in.get()});
    ASSERT_EQ(v.TransformAudioSamples(list, out.out()), 0);
    for (int16_t x : ReadPcm(in.get())) ASSERT_TRUE(x == 10000 || x == 2500) << x;
  }
  stop.store(true);
  host.join();
}

}  // namespace
}  // namespace tarsio
