#include "dsp/VAD.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "FilterTestUtil.h"
#include "platform/TraceSink.h"

namespace tarsio {
namespace {

using testing::ListOf;
using testing::MakePcmSample;
using testing::MakeSilenceMarker;
using testing::SampleRef;
using State = VAD::DetectorState;

// The detector written out literally, one branch per rule and both logarithms every step.
bool ReferenceStep(State& s, const int16_t* x, int m) {
  uint32_t lowest = s.energy, highest = s.energy;
  for (int i = 0; i < m; ++i) {
    int16_t d = static_cast<int16_t>(x[i] - s.previousSample);
    s.previousSample = x[i];
    int32_t p = d * d;
    int32_t delta;
    if (s.rising) {
      delta = (p >> 5) - static_cast<int32_t>(s.energy >> 6);
    } else {
      delta = (p >> 8) - static_cast<int32_t>(s.energy >> 9);
    }
    s.energy += delta;
    s.rising = delta > 0;
    if (s.energy > highest) {
      highest = s.energy;
    } else if (s.energy < lowest) {
      lowest = s.energy;
    }
  }
  float lmin = static_cast<float>(10 * std::log10(static_cast<double>(lowest)) - 93.32);
  float lmax = static_cast<float>(10 * std::log10(static_cast<double>(highest)) - 93.32);
  if (lmin <= s.noiseFloor) {
    s.noiseFloor = lmin;
    s.floorTimer = 12000;
  } else if (s.floorTimer >= m) {
    s.floorTimer -= m;
  } else {
    s.noiseFloor += 1.0f;
    s.floorTimer = s.floorTimer + 12000 - m;
  }
  if (lmax > s.noiseFloor + s.margin) {
    s.hangover = 4000;
    return true;
  }
  if (s.hangover >= m) {
    s.hangover -= m;
    return true;
  }
  s.hangover = 0;
  return false;
}

bool ReferenceFrame(State& s, const std::vector<int16_t>& frame) {
  bool speech = false;
  for (size_t i = 0; i < frame.size(); i += 40) {
    speech |= ReferenceStep(s, frame.data() + i,
                            static_cast<int>(std::min<size_t>(40, frame.size() - i)));
  }
  return speech;
}

void ExpectSameState(const State& a, const State& b) {
  EXPECT_EQ(a.energy, b.energy);
  EXPECT_EQ(a.rising, b.rising);
  EXPECT_EQ(a.noiseFloor, b.noiseFloor);
  EXPECT_EQ(a.floorTimer, b.floorTimer);
  EXPECT_EQ(a.hangover, b.hangover);
  EXPECT_EQ(a.previousSample, b.previousSample);
}

std::vector<int16_t> Tone(int n, double hz, double amplitude, int offset) {
  std::vector<int16_t> v(n);
  for (int i = 0; i < n; ++i) {
    v[i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * (i + offset) / 8000.0));
  }
  return v;
}

class VADTest : public ::testing::Test {
 protected:
  void SetUp() override { saved = VAD::Detector::SharedState(); }
  void TearDown() override {
    TraceSink::SetRecorder(nullptr);
    VAD::Detector::SharedState() = saved;
  }
  // Pushes a frame through the filter; returns 'S' for speech, '.' for a silence marker.
  char Judge(VAD& vad, const std::vector<int16_t>& frame) {
    SampleRef in(MakePcmSample(frame));
    SampleRef out;
    auto list = ListOf({in.get()});
    EXPECT_EQ(vad.TransformAudioSamples(list, out.out()), 0);
    EXPECT_EQ(out.get(), in.get());
    EXPECT_EQ(in->GetRefCount(), 2);
    if (in->GetDataSize() == 0) {
      EXPECT_EQ(in->GetSilenceDuration(), static_cast<int32_t>(frame.size() / 8));
      return '.';
    }
    EXPECT_EQ(in->GetDataSize(), static_cast<int32_t>(2 * frame.size()));
    return 'S';
  }
  State saved;
};

TEST_F(VADTest, ZeroFramesAfterResetAreSpeechUntilFrame36) {
  VAD vad;
  VAD::Detector::SharedState().previousSample = 0;
  VAD::Detector::SharedState().noiseFloor = 3.0f;  // reset must restore everything
  ASSERT_EQ(vad.StartTransform(), 0);
  std::string decisions;
  for (int f = 0; f < 40; ++f) decisions += Judge(vad, std::vector<int16_t>(160, 0));
  EXPECT_EQ(decisions, std::string(35, 'S') + std::string(5, '.'));

  // A second start resets the detector again but keeps the previous sample.
  VAD::Detector::SharedState().previousSample = 0;
  ASSERT_EQ(vad.StartTransform(), 0);
  EXPECT_EQ(VAD::Detector::SharedState().energy, 10000u);
  EXPECT_EQ(VAD::Detector::SharedState().noiseFloor, -74.0f);
  decisions.clear();
  for (int f = 0; f < 40; ++f) decisions += Judge(vad, std::vector<int16_t>(160, 0));
  EXPECT_EQ(decisions, std::string(35, 'S') + std::string(5, '.'));
}

TEST_F(VADTest, DifferenceFilterStartsFromStoredSampleAndWrapsIn16Bits) {
  State atLoad;
  EXPECT_EQ(atLoad.previousSample, 1700);
  const int16_t zero[1] = {0};
  VAD::Detector::ProcessStep(atLoad, zero);
  // d = -1700: p = 2 890 000; rising: 10 000 + (p >> 5) - (10 000 >> 6).
  EXPECT_EQ(atLoad.energy, 10000u + 90312u - 156u);
  EXPECT_TRUE(atLoad.rising);
  EXPECT_EQ(atLoad.previousSample, 0);

  State fromZero;
  fromZero.previousSample = 0;
  VAD::Detector::ProcessStep(fromZero, zero);
  EXPECT_EQ(fromZero.energy, 10000u - 156u);
  EXPECT_FALSE(fromZero.rising);

  // 32767 - (-32768) wraps to -1 in 16 bits: p = 1, not 2^32.
  State wrap;
  wrap.previousSample = -32768;
  const int16_t top[1] = {32767};
  VAD::Detector::ProcessStep(wrap, top);
  EXPECT_EQ(wrap.energy, 10000u - 156u);

  // Reset restores the variables but not the previous sample.
  wrap.noiseFloor = -3.0f;
  wrap.hangover = 7;
  VAD::Detector::Reset(wrap);
  ExpectSameState(wrap, State{10000, true, -74.0f, 12000, 4000, 10.0f, 32767});
}

TEST_F(VADTest, SilenceMarkerAndShortAndOddFrames) {
  VAD vad;
  VAD::Detector::SharedState().previousSample = 0;
  ASSERT_EQ(vad.StartTransform(), 0);
  // A silence marker has no steps: silence, duration 0, state untouched.
  SampleRef marker(MakeSilenceMarker(40));
  SampleRef out;
  auto list = ListOf({marker.get()});
  ASSERT_EQ(vad.TransformAudioSamples(list, out.out()), 0);
  EXPECT_EQ(out.get(), marker.get());
  EXPECT_EQ(marker->GetSilenceDuration(), 0);
  EXPECT_EQ(VAD::Detector::SharedState().hangover, 4000);

  // Let the hangover run out on zeros, so the short frames below are judged silent.
  for (int f = 0; f < 40; ++f) Judge(vad, std::vector<int16_t>(160, 0));
  ASSERT_EQ(VAD::Detector::SharedState().hangover, 0);

  // 60 samples are one step of 40 and one of 20: 7 ms of silence.
  const std::vector<int16_t> frame(60, 0);
  State split = VAD::Detector::SharedState();
  EXPECT_FALSE(VAD::Detector::ProcessStep(split, std::span<const int16_t>(frame.data(), 40)));
  EXPECT_FALSE(VAD::Detector::ProcessStep(split, std::span<const int16_t>(frame.data(), 20)));
  EXPECT_EQ(Judge(vad, frame), '.');
  ExpectSameState(VAD::Detector::SharedState(), split);

  // An odd data size (161 bytes) uses the 80 whole 16-bit samples: two steps, 10 ms.
  SampleRef odd(MakePcmSample(std::vector<int16_t>(81, 0)));
  odd->SetDataSize(161);
  SampleRef oddOut;
  auto oddList = ListOf({odd.get()});
  ASSERT_EQ(vad.TransformAudioSamples(oddList, oddOut.out()), 0);
  EXPECT_EQ(odd->GetDataSize(), 0);
  EXPECT_EQ(odd->GetSilenceDuration(), 10);
  VAD::Detector::ProcessFrame(split, std::vector<int16_t>(80, 0));
  ExpectSameState(VAD::Detector::SharedState(), split);

  AudioSampleList empty;
  EXPECT_EQ(vad.TransformAudioSamples(empty, oddOut.out()), 0);
  EXPECT_EQ(oddOut.get(), nullptr);
}

TEST_F(VADTest, NoiseFloorClimbsOneDbPer12000SamplesAndDropsAtOnce) {
  State s;
  s.previousSample = 0;
  std::vector<int16_t> square(40);
  for (int i = 0; i < 40; ++i) square[i] = (i % 2) ? -1000 : 1000;
  for (int step = 1; step <= 3001; ++step) {
    ASSERT_TRUE(VAD::Detector::ProcessStep(s, square));
    const float expected = -74.0f + static_cast<float>((step - 1) / 300);
    ASSERT_EQ(s.noiseFloor, expected) << "step " << step;
  }
  EXPECT_EQ(s.noiseFloor, -64.0f);

  // Silence: the energy decays, and once a step's lowest level reaches the floor the floor
  // follows it down step by step, restarting its timer each time.
  const std::vector<int16_t> zeros(40, 0);
  int firstDrop = 0;
  for (int step = 1; step <= 200; ++step) {
    VAD::Detector::ProcessStep(s, zeros);
    if (firstDrop == 0 && s.noiseFloor < -64.0f) firstDrop = step;
    if (firstDrop != 0) {
      // Decaying energy: the step's lowest is its last value.
      ASSERT_EQ(s.noiseFloor,
                static_cast<float>(10 * std::log10(static_cast<double>(s.energy)) - 93.32))
          << "step " << step;
      ASSERT_EQ(s.floorTimer, 12000);
    } else {
      ASSERT_EQ(s.noiseFloor, -64.0f);
    }
  }
  EXPECT_GT(firstDrop, 100);
  EXPECT_LT(firstDrop, 140);
}

TEST_F(VADTest, TonesAndNoiseBurstsAgainstPlainDetector) {
  VAD vad;
  VAD::Detector::SharedState().previousSample = 0;
  ASSERT_EQ(vad.StartTransform(), 0);
  State ref = VAD::Detector::SharedState();

  std::mt19937 rng(11);
  struct Segment {
    const char* name;
    int frames;
    int kind;  // 0 zeros, 1 tone, 2 loud noise, 3 faint noise
  };
  const Segment script[] = {{"zeros", 50, 0}, {"tone", 10, 1},   {"after tone", 60, 0},
                            {"burst", 3, 2},  {"faint", 150, 3}, {"tone2", 4, 1}};
  std::string decisions;
  int offset = 0;
  for (const Segment& seg : script) {
    for (int f = 0; f < seg.frames; ++f, offset += 160) {
      std::vector<int16_t> frame;
      switch (seg.kind) {
        case 0:
          frame.assign(160, 0);
          break;
        case 1:
          frame = Tone(160, 440, 3000, offset);
          break;
        case 2:
          frame = testing::RandomPcm(rng, 160, -5000, 5000);
          break;
        default:
          frame = testing::RandomPcm(rng, 160, -20, 20);
          break;
      }
      const char c = Judge(vad, frame);
      ASSERT_EQ(c == 'S', ReferenceFrame(ref, frame)) << seg.name << " frame " << f;
      decisions += c;
    }
  }
  ExpectSameState(VAD::Detector::SharedState(), ref);
  // zeros: 35 speech then silence; the tone and the burst are speech; the hangover carries 25
  // frames past the tone; faint noise ends up silent; the second tone is speech again.
  EXPECT_EQ(decisions.substr(0, 50), std::string(35, 'S') + std::string(15, '.'));
  EXPECT_EQ(decisions.substr(50, 10), std::string(10, 'S'));
  EXPECT_EQ(decisions.substr(60, 25), std::string(25, 'S'));
  EXPECT_EQ(decisions.substr(60 + 59, 1), ".");
  EXPECT_EQ(decisions.substr(120, 3), "SSS");
  EXPECT_EQ(decisions.substr(123 + 149, 1), ".");
  EXPECT_EQ(decisions.substr(273, 4), "SSSS");
}

TEST_F(VADTest, MatchesPlainDetectorOnRandomFramesOfAnySize) {
  std::mt19937 rng(3);
  State fast;
  State ref;
  std::uniform_int_distribution<int> size(0, 400);
  std::uniform_int_distribution<int> level(0, 5);
  const int32_t amplitudes[] = {0, 2, 30, 400, 6000, 32767};
  for (int f = 0; f < 2000; ++f) {
    const int32_t a = amplitudes[level(rng)];
    const std::vector<int16_t> frame = testing::RandomPcm(rng, size(rng), -a - 1, a);
    ASSERT_EQ(VAD::Detector::ProcessFrame(fast, frame), ReferenceFrame(ref, frame)) << f;
  }
  ExpectSameState(fast, ref);
}

TEST_F(VADTest, TracesEachDecisionWithFrameDuration) {
  VAD vad;
  EXPECT_TRUE(vad.IsEnabled());
  EXPECT_EQ(vad.Enable(), 0);
  VAD::Detector::SharedState().previousSample = 0;
  ASSERT_EQ(vad.StartTransform(), 0);
  vad.GetTracer().SetLevel(0xFFFFFFFFu);
  std::vector<std::string> lines;
  TraceSink::SetRecorder(
      [&](const char*, uint32_t, const std::string& text) { lines.push_back(text); });
  Judge(vad, std::vector<int16_t>(160, 0));
  VAD::Detector::SharedState().hangover = 0;
  VAD::Detector::SharedState().noiseFloor = 0.0f;
  Judge(vad, std::vector<int16_t>(240, 0));
  TraceSink::SetRecorder(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"Speech : 20ms\n", "Silence : 30ms\n"}));
}

}  // namespace
}  // namespace tarsio
