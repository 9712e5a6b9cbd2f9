// The low-latency playout core driven by synthetic arrival traces (times are arguments, so every
// trace is exact and repeatable), and its transformer wrapper on a fake clock.
#include "jitter/PlayoutBuffer.h"
#include "platform/PacketLossConcealer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioSampleManager.h"
#include "jitter/LowLatencyJitterBuffer.h"
#include "rtp/RTPPacket.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using Kind = PlayoutBuffer::FrameKind;
constexpr int kFrame = 160;

// Voiced speech stand-in: a 110..130 Hz harmonic series (slow vibrato) under a syllable-rate
// envelope that never falls to a quiet level, so no frame counts as droppable silence.
std::vector<int16_t> Voice(int seconds, double f0 = 120) {
  std::vector<int16_t> x(static_cast<size_t>(seconds) * 8000);
  double phase = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = static_cast<double>(i) / 8000;
    phase += 2 * std::numbers::pi * (f0 + 10 * std::sin(2 * std::numbers::pi * 0.73 * t)) / 8000;
    const double envelope = 0.6 + 0.35 * std::sin(2 * std::numbers::pi * 3.17 * t);
    double v = 0;
    for (int h = 1; h <= 5; ++h) v += std::sin(h * phase + 0.4 * h) * 5000 / h;
    x[i] = static_cast<int16_t>(std::lround(envelope * v));
  }
  return x;
}

double Rms(const int16_t* x, int n) {
  double e = 0;
  for (int i = 0; i < n; ++i) e += double(x[i]) * x[i];
  return std::sqrt(e / n);
}

// Feeds packets in arrival order (ties in sending order) and pulls one frame per call.
class Session {
 public:
  explicit Session(int32_t allowanceMs) { pb.Reset(kFrame, allowanceMs); }

  /// Packet k of a 20 ms stream: samples signal[160k...], timestamp ts0 + 160k.
  void Send(int64_t arrivalMs, const std::vector<int16_t>& signal, int k, uint32_t ts0,
            uint32_t ssrc = 1, uint16_t seq0 = 0) {
    PlayoutBuffer::Packet p;
    p.ssrc = ssrc;
    p.sequenceNumber = static_cast<uint16_t>(seq0 + k);
    p.timestamp = ts0 + static_cast<uint32_t>(kFrame * k);
    p.samples = signal.data() + static_cast<size_t>(kFrame) * k;
    p.count = kFrame;
    pending.emplace(arrivalMs, p);
  }
  void SendRaw(int64_t arrivalMs, const PlayoutBuffer::Packet& p) { pending.emplace(arrivalMs, p); }

  void PullAt(int64_t nowMs) {
    while (!pending.empty() && pending.begin()->first <= nowMs) {
      pb.Insert(pending.begin()->second, pending.begin()->first);
      pending.erase(pending.begin());
    }
    const size_t at = out.size();
    out.resize(at + kFrame);
    kinds.push_back(pb.Pull(out.data() + at, nowMs));
    delays.push_back(pb.GetStats().delayMs);
    targets.push_back(pb.TargetMs());
  }
  /// Pulls every 20 ms from `fromMs` while the pull time is below `toMs`.
  void PullUntil(int64_t fromMs, int64_t toMs) {
    for (int64_t t = fromMs; t < toMs; t += 20) PullAt(t);
  }
  const int16_t* Frame(size_t pull) const { return out.data() + pull * kFrame; }

  PlayoutBuffer pb;
  std::multimap<int64_t, PlayoutBuffer::Packet> pending;
  std::vector<int16_t> out;
  std::vector<Kind> kinds;
  std::vector<int32_t> delays, targets;
};

/// The smallest shift d >= 0 with out[i] == signal[i - d] on 64 samples from `at`, or -1.
int64_t FindOffset(const std::vector<int16_t>& out, const std::vector<int16_t>& signal, size_t at) {
  for (size_t j = 0; j <= at; ++j) {
    const size_t src = at - j;
    if (src + 64 <= signal.size() && std::equal(out.begin() + long(at), out.begin() + long(at) + 64,
                                                signal.begin() + long(src))) {
      return static_cast<int64_t>(j);
    }
  }
  return -1;
}

/// Samples in [from, to) of out that differ from signal delayed by d.
int Mismatches(const std::vector<int16_t>& out, const std::vector<int16_t>& signal, int64_t d,
               size_t from, size_t to) {
  int bad = 0;
  for (size_t i = from; i < to; ++i) {
    const int64_t j = int64_t(i) - d;
    bad += j < 0 || j >= int64_t(signal.size()) || out[i] != signal[size_t(j)];
  }
  return bad;
}

size_t FirstNonSilent(const Session& s) {
  return static_cast<size_t>(
      std::find_if(s.kinds.begin(), s.kinds.end(), [](Kind k) { return k != Kind::kSilence; }) -
      s.kinds.begin());
}

TEST(PlayoutBufferTest, CleanStreamSettlesAtOneFrameFromTheHostAllowance) {
  const std::vector<int16_t> voice = Voice(12);
  for (const int32_t allowance : {100, 250}) {
    SCOPED_TRACE(::testing::Message() << "allowance " << allowance);
    Session s(allowance);
    EXPECT_EQ(s.pb.TargetMs(), allowance + PlayoutBuffer::kTargetMarginMs);
    for (int k = 0; k < 500; ++k) s.Send(1030 + 20 * k, voice, k, 1000);
    s.PullUntil(1007, 11007);  // packet k is in by pull k + 2
    // The warm-up starts from the allowance and falls steadily to one frame.
    EXPECT_NEAR(s.targets[2], allowance + 5, allowance / 40 + 1);
    EXPECT_TRUE(std::is_sorted(s.targets.rbegin(), s.targets.rend()));
    EXPECT_EQ(s.targets[ArrivalJitterEstimator::kWarmup + 1], 20);
    // Once playing nothing is concealed (only the first frame may hold the lead-in).
    const size_t first = FirstNonSilent(s);
    for (size_t i = first + 1; i < s.kinds.size(); ++i) ASSERT_EQ(s.kinds[i], Kind::kAudio) << i;
    EXPECT_EQ(s.pb.GetStats().latePackets, 0u);
    const size_t settled = 200;
    for (size_t i = settled; i < s.delays.size(); ++i) {
      ASSERT_GE(s.delays[i], 20) << i;
      ASSERT_LE(s.delays[i], 20 + 20 + 20) << i;
    }
    // The output is the input, delayed.
    const int64_t d = FindOffset(s.out, voice, settled * kFrame);
    ASSERT_GE(d, 0);
    EXPECT_EQ(Mismatches(s.out, voice, d, settled * kFrame, s.out.size()), 0);
  }
}

// Packet k leaves at 20k ms and spends 40 +- 30 ms (uniform) in the network.
void JitterTrace(Session& s, const std::vector<int16_t>& voice, int packets) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> spread(-30, 30);
  for (int k = 0; k < packets; ++k) s.Send(1040 + 20 * k + spread(rng), voice, k, 1000);
}

TEST(PlayoutBufferTest, UniformJitterRaisesTheTargetToTheSpread) {
  const std::vector<int16_t> voice = Voice(21);
  Session s(100);
  JitterTrace(s, voice, 1000);
  s.PullUntil(1007, 21007);
  for (size_t i = 250; i < s.targets.size(); ++i) {
    ASSERT_GE(s.targets[i], 50) << i;
    ASSERT_LE(s.targets[i], 70) << i;
    ASSERT_LE(s.delays[i], s.targets[i] + 20 + 20) << i;
  }
  EXPECT_LE(s.pb.GetStats().latePackets, 10u);
  EXPECT_EQ(s.pb.GetStats().reanchors, 0u);
}

// Fails: with 40 +- 30 ms jitter the target settles at 65 ms and D at 74 ms, yet ~10 % of
// frames are concealed (packets with lateness 58..60 ms lose their first samples).
TEST(PlayoutBufferTest, JitterWithinTheTargetIsNotConcealed) {
  const std::vector<int16_t> voice = Voice(21);
  Session s(100);
  JitterTrace(s, voice, 1000);
  s.PullUntil(1007, 21007);
  const auto concealed = std::count(s.kinds.begin() + 250, s.kinds.end(), Kind::kConcealed);
  EXPECT_LE(concealed, 10) << "of " << s.kinds.size() - 250 << " frames";
}

TEST(PlayoutBufferTest, TimestampAndSequenceWrapPlayLikeAnUnwrappedStream) {
  const std::vector<int16_t> voice = Voice(7);
  for (const bool jittered : {false, true}) {
    SCOPED_TRACE(jittered ? "jittered" : "clean");
    // Same arrivals; one stream's timestamp crosses 2^32 and its sequence 2^16 at packet 100.
    Session plain(40), wrapped(40);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> spread(0, 60);
    for (int k = 0; k < 300; ++k) {
      const int64_t arrival = 1030 + 20 * k + (jittered ? spread(rng) : 0);
      plain.Send(arrival, voice, k, 16, 1, 100);
      wrapped.Send(arrival, voice, k, 0u - 16000u, 1, 65436);
    }
    plain.PullUntil(1007, 7007);
    wrapped.PullUntil(1007, 7007);
    EXPECT_EQ(wrapped.out, plain.out);
    EXPECT_EQ(wrapped.kinds, plain.kinds);
    EXPECT_EQ(wrapped.pb.GetStats().reanchors, 0u);
    EXPECT_EQ(wrapped.pb.GetStats().latePackets, plain.pb.GetStats().latePackets);
    if (!jittered) {
      const int64_t d = FindOffset(wrapped.out, voice, 250 * kFrame);
      ASSERT_GE(d, 0);
      // Once the start-up surplus is gone (speech is shortened only after two seconds of it).
      EXPECT_EQ(Mismatches(wrapped.out, voice, d, 250 * kFrame, wrapped.out.size()), 0);
    }
  }
}

TEST(PlayoutBufferTest, ReorderingIsUndoneAndAPacketPastItsPlayoutIsDropped) {
  const std::vector<int16_t> voice = Voice(5);
  Session s(15);  // target one frame from the start
  for (int k = 0; k < 240; ++k) {
    int64_t arrival = 1030 + 20 * k;
    if (k % 10 == 3) arrival += 21;  // swapped with its successor
    if (k == 150) arrival += 300;    // long after its playout
    s.Send(arrival, voice, k, 5000);
  }
  s.PullUntil(1035, 1035 + 4800);
  const size_t first = FirstNonSilent(s);
  const int64_t d = FindOffset(s.out, voice, first * kFrame + 40);
  ASSERT_GE(d, 0);
  // Every sample plays in timestamp order except packet 150 and the blend after it.
  const size_t lostAt = static_cast<size_t>(150 * kFrame + d);
  EXPECT_EQ(Mismatches(s.out, voice, d, (first + 1) * kFrame, lostAt), 0);
  EXPECT_EQ(Mismatches(s.out, voice, d, lostAt + kFrame + 32, s.out.size()), 0);
  // Without waveform concealment (a build without spandsp) the lost frame is silence.
  const bool waveform = PacketLossConcealer::ConcealsWaveform();
  EXPECT_EQ(s.kinds[lostAt / kFrame], waveform ? Kind::kConcealed : Kind::kSilence);
  EXPECT_EQ(s.pb.GetStats().latePackets, 1u);
  EXPECT_EQ(s.pb.GetStats().framesConcealed, waveform ? 1u : 0u);
  EXPECT_EQ(s.pb.GetStats().reanchors, 0u);
}

TEST(PlayoutBufferTest, LostPacketsAreConcealedNotRepeated) {
  if (!PacketLossConcealer::ConcealsWaveform()) {
    GTEST_SKIP() << "built without spandsp: lost audio is concealed with silence";
  }
  const std::vector<int16_t> voice = Voice(9);
  Session s(15);
  for (int k = 0; k < 400; ++k) {
    if (k % 10 != 5) s.Send(1030 + 20 * k, voice, k, 9000);
  }
  s.PullUntil(1035, 1035 + 8000);
  const size_t first = FirstNonSilent(s);
  const int64_t d = FindOffset(s.out, voice, first * kFrame + 40);
  ASSERT_GE(d, 0);
  ASSERT_EQ(d % kFrame, 0);  // a one-frame target from the start keeps packets on frames
  int lost = 0;
  double fades = 0;
  for (int k = 1; k < 398; ++k) {  // packet 0 fades in from the lead-in
    const size_t f = static_cast<size_t>((k * kFrame + d) / kFrame);
    const int16_t* frame = s.Frame(f);
    SCOPED_TRACE(::testing::Message() << "packet " << k);
    if (k % 10 != 5) {
      // Received audio plays in full; only a quarter period after a loss is blended.
      const size_t skip = k % 10 == 6 ? 32 : 0;
      EXPECT_EQ(s.kinds[f], Kind::kAudio);
      EXPECT_EQ(Mismatches(s.out, voice, d, f * kFrame + skip, (f + 1) * kFrame), 0);
      continue;
    }
    ++lost;
    // Concealment starts at about the level of the audio before it and fades against the level
    // the lost audio had.
    const int16_t* truth = voice.data() + static_cast<size_t>(k) * kFrame;
    const double start = Rms(frame, 80), end = Rms(frame + 80, 80);
    const double fade = (end / Rms(truth + 80, 80)) / (start / Rms(truth, 80));
    fades += fade;
    EXPECT_EQ(s.kinds[f], Kind::kConcealed);
    EXPECT_GT(start, 0.5 * Rms(s.Frame(f - 1) + 80, 80));
    EXPECT_LT(start, 1.5 * Rms(s.Frame(f - 1) + 80, 80));
    EXPECT_LT(fade, 1.1);
    std::vector<int16_t> diff(kFrame);
    for (int i = 0; i < kFrame; ++i) diff[size_t(i)] = int16_t(frame[i] - s.Frame(f - 1)[i]);
    EXPECT_GT(Rms(diff.data(), kFrame), 0.2 * Rms(s.Frame(f - 1), kFrame));  // not a repeat
  }
  EXPECT_LT(fades / lost, 0.9);  // on average the second half is clearly weaker
  EXPECT_EQ(s.pb.GetStats().framesConcealed, static_cast<uint64_t>(lost));
  EXPECT_EQ(s.pb.GetStats().latePackets, 0u);
}

TEST(PlayoutBufferTest, StallBacklogDrainsAndATalkSpurtAfterAPauseStartsAtTheTarget) {
  const std::vector<int16_t> voice = Voice(15);
  Session s(15);
  for (int k = 0; k < 700; ++k) {
    if (k >= 400 && k < 500) continue;        // the sender pauses 2 s (silence suppression)
    int64_t arrival = 1030 + 20 * k;          // packet k is due at pull k
    if (k >= 100 && k < 116) arrival = 3350;  // a 320 ms stall, released at once
    s.Send(arrival, voice, k, 3000);
  }
  s.PullUntil(1035, 1035 + 14000);
  const auto& st = s.pb.GetStats();
  const int32_t before = s.delays[95];
  const size_t burst = 116;
  // The stall raises D by about its length; accelerating brings it back within 5 s.
  const int32_t peak = *std::max_element(s.delays.begin() + burst, s.delays.begin() + burst + 10);
  EXPECT_NEAR(peak - before, 320, 40);
  size_t recovered = burst;
  while (recovered < s.delays.size() && s.delays[recovered] > before + 20) ++recovered;
  EXPECT_LE(recovered - burst, 250u);
  for (size_t i = burst; i < burst + 100; ++i) EXPECT_EQ(s.kinds[i], Kind::kAudio) << i;
  EXPECT_GT(st.acceleratedSamples, 0u);
  EXPECT_LE(st.latePackets, 1u);  // at most the frame taken as lost when the stall began
  EXPECT_EQ(st.reanchors, 0u);
  // The pause fades to silence; the next talk spurt starts with the target delay, in full.
  for (size_t i = 405; i < 500; ++i) EXPECT_EQ(s.kinds[i], Kind::kSilence) << i;
  for (size_t i = 501; i < 510; ++i) {
    EXPECT_GE(s.delays[i], s.targets[i]) << i;
    EXPECT_LT(s.delays[i], s.targets[i] + 40) << i;  // the deadline within a frame, plus the queue
  }
  const int64_t d = FindOffset(s.out, voice, 502 * kFrame);
  ASSERT_GE(d, 0);
  // The talk spurt (packet 500 on) starts playing in pull 501: nothing of it is skipped.
  EXPECT_GE(502 * kFrame - d, 500 * kFrame);
  EXPECT_LE(502 * kFrame - d, 501 * kFrame);
  EXPECT_EQ(Mismatches(s.out, voice, d, 502 * kFrame, 560 * kFrame), 0);
}

// Fails: a stale copy of an old packet arriving during a dry spell makes the next dry frame
// advance the playout point again, so one more frame of the held backlog is dropped (3 late, not
// 2).
TEST(PlayoutBufferTest, StaleCopyDuringAStallCostsNoHeldAudio) {
  const std::vector<int16_t> voice = Voice(8);
  Session s(15);
  for (int k = 0; k < 300; ++k) s.Send(k >= 100 && k < 116 ? 3350 : 1030 + 20 * k, voice, k, 3000);
  s.Send(3200, voice, 90, 3000);  // a copy of packet 90, played long ago
  s.PullUntil(1035, 7035);
  EXPECT_EQ(s.pb.GetStats().latePackets, 2u);  // the copy, and the frame lost as the stall began
}

TEST(PlayoutBufferTest, SenderClockDriftKeepsTheDelayBounded) {
  const std::vector<int16_t> voice = Voice(61);
  for (const double rate : {0.999, 1.001}) {  // sender fast, sender slow
    SCOPED_TRACE(::testing::Message() << "packet interval " << 20 * rate << " ms");
    Session s(15);
    for (int k = 0; k < 3000; ++k) s.Send(1030 + std::llround(20 * k * rate), voice, k, 0);
    s.PullUntil(1035, 1035 + 60000);
    const size_t first = FirstNonSilent(s);
    int32_t maxDelay = 0;
    for (size_t i = 250; i < s.delays.size() - 60; ++i) maxDelay = std::max(maxDelay, s.delays[i]);
    const auto dry = std::count_if(s.kinds.begin() + first + 1, s.kinds.end() - 60,
                                   [](Kind k) { return k != Kind::kAudio; });
    EXPECT_LE(maxDelay, s.targets.back() + 20 + 40);
    EXPECT_LE(dry, 5);
    EXPECT_EQ(s.pb.GetStats().reanchors, 0u);
  }
}

TEST(PlayoutBufferTest, HostileInputReanchorsOrIsIgnored) {
  const std::vector<int16_t> a = Voice(3), b = Voice(8, 95);
  Session s(15);
  for (int k = 0; k < 50; ++k) {
    s.Send(1030 + 20 * k, a, k, 1000, 1);
    // Stray packets of other sources, never three in a row of one: nothing is flushed.
    if (k % 10 == 5) s.Send(1031 + 20 * k, a, k, 5555555, 3 + k % 20);
  }
  // A new SSRC: the new stream plays, re-anchored once.
  for (int k = 0; k < 100; ++k) s.Send(2030 + 20 * k, b, k, 777777, 2);
  // The same SSRC jumps by three hours: re-anchored again; then comfort noise for 1 s.
  const uint32_t jumped = 777777 + 8000u * 3600 * 3;
  for (int k = 100; k < 150; ++k) s.Send(2030 + 20 * k, b, k, jumped, 2);
  for (int k = 150; k < 200; ++k) {
    PlayoutBuffer::Packet cn{.ssrc = 2, .timestamp = jumped + 160u * k, .comfortNoise = true};
    s.SendRaw(2030 + 20 * k, cn);
  }
  for (int k = 200; k < 250; ++k) s.Send(2030 + 20 * k, b, k, jumped, 2);
  s.PullUntil(1035, 7035);
  EXPECT_EQ(s.pb.GetStats().foreignPackets, 5u + 2u);  // the strays, and b on probation
  EXPECT_EQ(s.pb.GetStats().reanchors, 2u);
  EXPECT_EQ(s.pb.GetStats().latePackets, 0u);
  // Stream b plays bit-exact over its segments (pull p carries packet p - 50 of b).
  for (const auto& [from, to] : {std::pair{55, 148}, {155, 195}, {256, 295}}) {
    const int64_t d = FindOffset(s.out, b, static_cast<size_t>(from) * kFrame);
    ASSERT_GE(d, 0) << from;
    EXPECT_EQ(Mismatches(s.out, b, d, size_t(from) * kFrame, size_t(to) * kFrame), 0) << from;
  }
  for (size_t i = 208 * kFrame; i < 245 * kFrame; ++i) ASSERT_EQ(s.out[i], 0) << i;  // CN

  // A flood of nonsense: timestamps anywhere, absurd counts, missing samples, stray SSRCs.
  std::vector<int16_t> big(PlayoutBuffer::kCapacity, 3000);
  std::mt19937 rng(5);
  const int counts[] = {-5, 0, 1, 160, 8000, 8001, 1 << 30};
  int64_t now = 8000;
  for (int n = 0; n < 3000; ++n, now += 7) {
    PlayoutBuffer::Packet p;
    p.ssrc = rng() % 50 == 0 ? rng() : 2;
    p.timestamp = rng();
    p.count = counts[rng() % 7];
    p.samples = rng() % 9 == 0 ? nullptr : big.data();
    p.comfortNoise = rng() % 11 == 0;
    s.pb.Insert(p, now);
    if (n % 3 == 0) s.PullAt(now);
  }
  const auto& st = s.pb.GetStats();
  EXPECT_EQ(st.packetsReceived, 305u + 3000u);
  EXPECT_LE(st.targetMs, PlayoutBuffer::kMaxTargetMs);
  EXPECT_GE(st.targetMs, 20);
  // A clean stream afterwards plays normally again.
  const size_t start = s.out.size() / kFrame;
  for (int k = 0; k < 150; ++k) s.Send(now + 30 + 20 * k, a, k, 55555, 9);
  s.PullUntil(now + 35, now + 35 + 3000);
  const int64_t d = FindOffset(s.out, a, (start + 100) * kFrame);
  ASSERT_GE(d, 0);
  EXPECT_EQ(Mismatches(s.out, a, d, (start + 100) * kFrame, (start + 140) * kFrame), 0);
}

class LowLatencyJitterBufferTest : public ::testing::Test {
 protected:
  /// 20 ms of `pcm` from sample 160k with an RTP header (or none); one reference for owner.
  AudioSample* Packet(const std::vector<int16_t>& pcm, int k, bool header = true,
                      const WAVEFORMATEX& format = PcmFormat()) {
    AudioSample* s = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&s, &owner);
    s->SetFormat(format);
    std::memcpy(s->GetData(), pcm.data() + size_t(k) * kFrame, 2 * kFrame);
    s->SetDataSize(2 * kFrame);
    if (header) {
      s->SetRTPHeader(RTPPacket{
          .sequenceNumber = uint16_t(k), .timestamp = 90000u + 160u * uint32_t(k), .ssrc = 7});
    }
    return s;
  }
  int32_t Push(AudioSample* s) {
    AudioSampleList inputs{{s, nullptr}};
    const int32_t result = buffer.RenderAudioSamples(inputs);
    s->Release(&owner);
    return result;
  }
  /// One pull appended to `played`; false when no sample came.
  bool Pull(std::vector<int16_t>& played) {
    AudioSample* out = nullptr;
    EXPECT_EQ(buffer.GenerateData(&out), 0);
    if (out == nullptr) return false;
    EXPECT_EQ(out->GetDataSize(), 2 * kFrame);
    EXPECT_EQ(out->Format(), PcmFormat());
    EXPECT_EQ(out->GetSilenceDuration(), 0);
    const auto* pcm = reinterpret_cast<const int16_t*>(out->GetData());
    played.insert(played.end(), pcm, pcm + kFrame);
    out->Release(&buffer);
    return true;
  }

  testing::FakeClock clock;
  ScopedClock scopedClock{clock};
  TracedObject owner;
  LowLatencyJitterBuffer buffer;
};

TEST_F(LowLatencyJitterBufferTest, PlaysPushedPacketsOnTheClockAndRejectsBadInput) {
  const std::vector<int16_t> voice = Voice(3);
  std::vector<int16_t> played;
  // Stopped: a push keeps nothing, a pull gives no sample.
  EXPECT_EQ(Push(Packet(voice, 0)), 0);
  EXPECT_FALSE(Pull(played));
  EXPECT_EQ(buffer.PacketsReceived(), 0u);

  buffer.SetFrameDuration(20);
  buffer.SetInitialJitter(15);
  ASSERT_EQ(buffer.StartTransform(), 0);
  EXPECT_EQ(Push(Packet(voice, 0, false)), LowLatencyJitterBuffer::kErrNoRTPHeader);
  EXPECT_EQ(Push(Packet(voice, 0, true, MakeAudioFormat(0))), LowLatencyJitterBuffer::kErrNotPcm);
  EXPECT_EQ(buffer.PacketsReceived(), 0u);
  for (int k = 0; k < 100; ++k) {
    clock.SetMs(50000 + 20 * k);
    EXPECT_EQ(Push(Packet(voice, k)), 0);
    clock.AdvanceMs(5);
    EXPECT_TRUE(Pull(played));
  }
  EXPECT_EQ(buffer.PacketsReceived(), 100u);
  AudioSample* cn = Packet(voice, 100);  // comfort noise: payload type 13, no data
  cn->GetRTPHeader()->payloadType = 13;
  cn->SetDataSize(0);
  EXPECT_EQ(Push(cn), 0);
  EXPECT_EQ(buffer.PacketsReceived(), 101u);
  AudioSample* dtmf = Packet(voice, 101);  // a telephone event is no audio: ignored
  dtmf->GetRTPHeader()->payloadType = 101;
  dtmf->SetDataSize(8);
  EXPECT_EQ(Push(dtmf), 0);
  EXPECT_EQ(buffer.PacketsReceived(), 101u);
  const LowLatencyJitterBuffer::Report report = buffer.GetReport();
  EXPECT_EQ(report.stats.targetMs, 20);
  EXPECT_EQ(report.stats.latePackets, 0u);
  EXPECT_GE(report.bufferMedianMs, 0);
  const int64_t d = FindOffset(played, voice, 10 * kFrame);
  ASSERT_GE(d, 0);
  EXPECT_EQ(Mismatches(played, voice, d, 10 * kFrame, played.size()), 0);

  buffer.StopTransform();
  EXPECT_EQ(Push(Packet(voice, 101)), 0);
  EXPECT_EQ(buffer.PacketsReceived(), 101u);
  EXPECT_FALSE(Pull(played));
  // A restart empties the buffer.
  ASSERT_EQ(buffer.StartTransform(), 0);
  EXPECT_EQ(buffer.PacketsReceived(), 0u);
  EXPECT_TRUE(Pull(played));
  buffer.StopTransform();
}

}  // namespace
}  // namespace tarsio
