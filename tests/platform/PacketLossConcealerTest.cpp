// PacketLossConcealer on a periodic voiced signal: the seams into and out of concealment are
// smooth, the synthetic signal fades out, recovery is exact after a short blend, and continuing
// the pitch beats repeating the last frame.
#include "platform/PacketLossConcealer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace tarsio {
namespace {

constexpr int kFrame = 160;  // 20 ms at 8 kHz

// A voiced vowel stand-in: five harmonics of a pitch drifting slowly around f0, with a slowly
// varying level.
std::vector<int16_t> Voiced(int samples, double f0 = 120) {
  std::vector<int16_t> x(static_cast<size_t>(samples));
  double phase = 0;
  for (int i = 0; i < samples; ++i) {
    const double t = i / 8000.0;
    phase += 2 * std::numbers::pi * (f0 + 3 * std::sin(2 * std::numbers::pi * 0.9 * t)) / 8000;
    double v = 0;
    for (int h = 1; h <= 5; ++h) v += std::sin(h * phase + 0.5 * h) * 5000 / h;
    x[static_cast<size_t>(i)] = static_cast<int16_t>(std::lround(v * (0.8 + 0.2 * std::sin(t))));
  }
  return x;
}

int MaxStep(const int16_t* x, int n) {
  int step = 0;
  for (int i = 1; i < n; ++i) step = std::max(step, std::abs(x[i] - x[i - 1]));
  return step;
}

double Energy(const int16_t* x, int n) {
  double e = 0;
  for (int i = 0; i < n; ++i) e += double(x[i]) * x[i];
  return e;
}

double SnrDb(const int16_t* ideal, const int16_t* got, int n) {
  double error = 0;
  for (int i = 0; i < n; ++i) error += std::pow(double(got[i]) - ideal[i], 2);
  return 10 * std::log10(Energy(ideal, n) / std::max(error, 1.0));
}

// Plays `signal` frame by frame, concealing frames [lostFrom, lostFrom + lostFrames).
std::vector<int16_t> PlayWithLoss(const std::vector<int16_t>& signal, int lostFrom, int lostFrames,
                                  PacketLossConcealer& plc) {
  std::vector<int16_t> out = signal;
  for (int f = 0; f * kFrame < static_cast<int>(out.size()); ++f) {
    int16_t* frame = out.data() + static_cast<size_t>(f) * kFrame;
    if (f >= lostFrom && f < lostFrom + lostFrames) {
      plc.Conceal(frame, kFrame);
    } else {
      plc.Receive(frame, kFrame);
    }
  }
  return out;
}

TEST(PacketLossConcealerTest, SeamsIntoAndOutOfConcealmentDoNotClick) {
  const std::vector<int16_t> signal = Voiced(8000);
  // Losses of 1..4 frames starting at several pitch phases.
  for (int lostFrom : {10, 13, 17, 22}) {
    for (int lostFrames : {1, 2, 4}) {
      PacketLossConcealer plc;
      const std::vector<int16_t> out = PlayWithLoss(signal, lostFrom, lostFrames, plc);
      const int in = lostFrom * kFrame;
      const int back = (lostFrom + lostFrames) * kFrame;
      SCOPED_TRACE(::testing::Message() << "loss of " << lostFrames << " frames at " << lostFrom);
      // Steps around each seam stay within the signal's own steps there.
      for (const int seam : {in, back}) {
        const int own = MaxStep(signal.data() + seam - 40, 80);
        EXPECT_LE(MaxStep(out.data() + seam - 8, 40), own * 3 / 2) << "seam at " << seam;
      }
      // The concealment is not silence where it starts.
      EXPECT_GT(Energy(out.data() + in, 40), 0.3 * Energy(signal.data() + in, 40));
    }
  }
}

TEST(PacketLossConcealerTest, ConcealmentFadesToSilenceWithinSixtyMs) {
  const std::vector<int16_t> signal = Voiced(4800);
  PacketLossConcealer plc;
  std::vector<int16_t> out = signal;
  for (int i = 0; i < 1600; i += kFrame) plc.Receive(out.data() + i, kFrame);
  // 200 ms lost, concealed in uneven pieces as a playout buffer would ask for them.
  int at = 1600;
  for (int piece : {37, 160, 3, 120, 480, 800}) {
    plc.Conceal(out.data() + at, piece);
    at += piece;
    EXPECT_EQ(plc.ConcealedSamples(), at - 1600);
  }
  // Energy per 10 ms block falls from about the signal's level to nothing by 60 ms.
  double previous = Energy(signal.data() + 1520, 80);
  for (int block = 0; block < 6; ++block) {
    const double e = Energy(out.data() + 1600 + 80 * block, 80);
    EXPECT_LE(e, previous * 1.25) << "block " << block;
    if (block == 0) {
      EXPECT_GT(e, 0.5 * previous);
    }
    previous = e;
  }
  for (int i = 1600 + 480; i < 3200; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0) << i;
  // After a gap this long (a pause, not a loss) the real signal returns exactly as received.
  plc.Receive(out.data() + 3200, kFrame);
  EXPECT_EQ(plc.ConcealedSamples(), 0);
  EXPECT_TRUE(std::equal(out.begin() + 3200, out.begin() + 3360, signal.begin() + 3200));

  // A reset forgets the history: there is nothing to continue.
  plc.Reset();
  std::vector<int16_t> fresh(kFrame, 1234);
  plc.Conceal(fresh.data(), kFrame);
  EXPECT_EQ(Energy(fresh.data(), kFrame), 0);
}

TEST(PacketLossConcealerTest, RecoveryIsExactAfterAQuarterPeriodBlend) {
  const std::vector<int16_t> signal = Voiced(4000);
  for (int lostSamples : {40, 160, 320}) {
    PacketLossConcealer plc;
    std::vector<int16_t> out = signal;
    for (int i = 0; i < 1600; i += kFrame) plc.Receive(out.data() + i, kFrame);
    plc.Conceal(out.data() + 1600, lostSamples);
    const int back = 1600 + lostSamples;
    plc.Receive(out.data() + back, kFrame);
    plc.Receive(out.data() + back + kFrame, kFrame);
    SCOPED_TRACE(::testing::Message() << lostSamples << " samples lost");
    // The pitch is ~67 samples: the blend covers ~16; nothing after 30 samples is touched.
    int firstExact = back;
    for (int i = back; i < back + kFrame; ++i) {
      if (out[static_cast<size_t>(i)] != signal[static_cast<size_t>(i)]) firstExact = i + 1;
    }
    EXPECT_GT(firstExact, back) << "no blend at all";
    EXPECT_LE(firstExact - back, 30);
    EXPECT_TRUE(std::equal(out.begin() + back + 30, out.begin() + back + 2 * kFrame,
                           signal.begin() + back + 30));
  }
}

TEST(PacketLossConcealerTest, ContinuingThePitchBeatsRepeatingTheLastFrame) {
  const std::vector<int16_t> signal = Voiced(24000, 110);
  double concealedSnr = 0, repeatedSnr = 0;
  int trials = 0;
  for (int lost = 12; lost < 140; lost += 7) {
    PacketLossConcealer plc;
    const std::vector<int16_t> out = PlayWithLoss(signal, lost, 1, plc);
    const int16_t* ideal = signal.data() + lost * kFrame;
    concealedSnr += SnrDb(ideal, out.data() + lost * kFrame, kFrame);
    repeatedSnr += SnrDb(ideal, signal.data() + (lost - 1) * kFrame, kFrame);
    ++trials;
  }
  concealedSnr /= trials;
  repeatedSnr /= trials;
  EXPECT_GT(concealedSnr, repeatedSnr + 3) << concealedSnr << " vs " << repeatedSnr;
  EXPECT_GT(concealedSnr, 2);
}

}  // namespace
}  // namespace tarsio
