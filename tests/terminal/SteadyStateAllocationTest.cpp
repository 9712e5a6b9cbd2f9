// A running call must not touch the heap: after start-up, neither chain may allocate per frame.
//
// This executable replaces the global operator new/delete and malloc/calloc/realloc/free with
// counting versions (forwarding to glibc's allocator) that count only while a flag is on. A
// terminal on the file sound backend makes a loopback call (it sends to its own receive port) in
// the classic and in the low-latency receive mode, with every optional filter in both chains
// (FIR, VAD, limiter), lets it settle, and then counts every allocation of every thread over ten
// seconds of running call. A second test drives the receive path by hand on a clock that moves
// only when told, through the rare events a real call meets now and then (reordering, duplicates,
// loss, garbage, read errors, comfort noise, silence gaps, a sender restart, a new SSRC), in both
// receive modes, and counts the second pass of that script. The first allocations counted keep
// their call stacks, which a failure prints.
//
// It is built only without sanitizers: their runtimes bring their own allocator and operator
// new, which a replacement here would bypass (and their slow-down says nothing about this).
#include <execinfo.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "dsp/G7112PCMTransformer.h"
#include "framework/AudioSample.h"
#include "framework/HostLogWriter.h"
#include "framework/Registry.h"
#include "framework/TrafficTotals.h"
#include "jitter/LowLatencyJitterBuffer.h"
#include "jitter/RTPJitterBuffer.h"
#include "platform/AudioBackendSelector.h"
#include "platform/Clock.h"
#include "platform/WavFile.h"
#include "platform/WinsockErrors.h"
#include "rtp/RTPAudioSource.h"
#include "rtp/RTPPacket.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<bool> gCounting{false};
std::atomic<bool> gCountingOneThread{false};  // only the thread with tCountedThread set
std::atomic<uint64_t> gAllocations{0};
thread_local bool tCountedThread = false;

// The call stacks of the first allocations counted.
constexpr int kTraced = 12;
constexpr int kTraceDepth = 14;
struct AllocationTrace {
  size_t bytes = 0;
  int depth = 0;
  void* frames[kTraceDepth] = {};
};
AllocationTrace gTraces[kTraced];
thread_local bool tInsideHook = false;

void CountAllocation(size_t bytes) {
  if (!gCounting.load(std::memory_order_relaxed) || tInsideHook) return;
  if (gCountingOneThread.load(std::memory_order_relaxed) && !tCountedThread) return;
  tInsideHook = true;  // backtrace may allocate on its first use
  const uint64_t n = gAllocations.fetch_add(1);
  if (n < kTraced) {
    gTraces[n].bytes = bytes;
    gTraces[n].depth = backtrace(gTraces[n].frames, kTraceDepth);
  }
  tInsideHook = false;
}

// Failure injection for the throwing operator new: on the thread with tFailArmed set, the
// allocation after tFailAfter more succeeds throws std::bad_alloc.
thread_local bool tFailArmed = false;
thread_local int64_t tFailAfter = 0;

bool InjectedFailure() {
  if (!tFailArmed) return false;
  if (tFailAfter-- > 0) return false;
  tFailArmed = false;
  return true;
}

void* Allocate(size_t bytes) {
  CountAllocation(bytes);
  return __libc_malloc(bytes != 0 ? bytes : 1);
}

void* AllocateAligned(size_t bytes, std::align_val_t alignment) {
  CountAllocation(bytes);
  return __libc_memalign(static_cast<size_t>(alignment), bytes != 0 ? bytes : 1);
}

}  // namespace

extern "C" {
void* malloc(size_t size) {
  CountAllocation(size);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  CountAllocation(count * size);
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  CountAllocation(size);
  return __libc_realloc(pointer, size);
}
void free(void* pointer) { __libc_free(pointer); }
}

void* operator new(size_t bytes) {
  if (InjectedFailure()) throw std::bad_alloc();
  if (void* p = Allocate(bytes)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t bytes) {
  if (void* p = Allocate(bytes)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes); }
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept { return Allocate(bytes); }
void* operator new(size_t bytes, std::align_val_t alignment) {
  if (void* p = AllocateAligned(bytes, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t bytes, std::align_val_t alignment) {
  if (void* p = AllocateAligned(bytes, alignment)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(bytes, alignment);
}
void* operator new[](size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return AllocateAligned(bytes, alignment);
}
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }

namespace tarsio::testing {
namespace {

using namespace std::chrono_literals;

/// A host log that never allocates: it counts entries and keeps the start of the last line.
class QuietHostLog final : public HostLog {
 public:
  int32_t Lock() override { return 0; }
  int32_t Unlock() override { return 0; }
  int32_t MarkEntry() override { return 0; }
  int32_t EndLine() override {
    lines.fetch_add(1);
    return 0;
  }
  int32_t Write(const char* text) override {
    std::snprintf(last, sizeof last, "%s", text);
    return 0;
  }
  std::atomic<int> lines{0};
  char last[128] = "";
};

/// A UDP port that was free a moment ago.
int FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

/// Speech-like 8 kHz audio that never falls silent (a tone and noise under a syllable envelope).
std::vector<int16_t> SpeechLike(double seconds) {
  std::vector<int16_t> out(static_cast<size_t>(seconds * 8000));
  uint32_t seed = 4711;
  double low = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    low = 0.7 * low + 0.3 * ((static_cast<double>(seed >> 8) / 16777216.0) * 2.0 - 1.0);
    const double t = static_cast<double>(i) / 8000.0;
    const double envelope = 0.35 + 0.65 * std::max(0.0, std::sin(2 * std::numbers::pi * 3.0 * t));
    out[i] = static_cast<int16_t>(
        std::lround(envelope * (9000.0 * low + 4000.0 * std::sin(2 * std::numbers::pi * 310 * t))));
  }
  return out;
}

void PrintTraces(uint64_t counted) {
  const int shown = static_cast<int>(std::min<uint64_t>(counted, kTraced));
  for (int i = 0; i < shown; ++i) {
    std::fprintf(stderr, "--- allocation %d: %zu bytes\n", i + 1, gTraces[i].bytes);
    backtrace_symbols_fd(gTraces[i].frames, gTraces[i].depth, STDERR_FILENO);
  }
}

class SteadyStateAllocation : public ::testing::TestWithParam<bool> {};

TEST_P(SteadyStateAllocation, ARunningLoopbackCallAllocatesNothing) {
  const bool lowLatency = GetParam();
  constexpr auto kSettle = 2s;
  constexpr auto kWindow = 10s;
  // Warm up backtrace (its first call loads the unwinder).
  void* frames[4];
  backtrace(frames, 4);

  TempRegistry registry;
  TempDir dir;
  // Every optional filter of both chains runs: microphone FIR, VAD, speaker FIR, limiter.
  for (const char* name : {"MicrophonePreprocess", "SpeakerPostprocess", "LimitVolume"}) {
    RegSetString(RegistryRoot::kCurrentUser, kTerminalKey, name, "true");
  }
  const std::string mic =
      dir.Write("in.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(SpeechLike(16.0))));
  const std::string out = dir.Path() + "/out.wav";
  std::string error;
  AudioBackendSelector::Install(
      AudioBackendSelector::Create("file:capture=" + mic + ",playback=" + out, &error));
  ASSERT_TRUE(error.empty()) << error;

  QuietHostLog log;
  RTPInterface* term = GetRTPInterface(&log);
  auto* terminal = static_cast<COrbeMediaTerm*>(term);
  terminal->SetReceiveModeOverride(lowLatency ? COrbeMediaTerm::kReceiveModeLowLatency
                                              : COrbeMediaTerm::kReceiveModeClassic);
  const int port = FreeUdpPort();
  ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, /*vadWanted=*/1, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
  term->SetMicrophoneVolume(-1, 100);
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  ASSERT_EQ(terminal->IsLowLatencyReceive(), lowLatency);

  // Start-up: the threads start, the receiver primes, buffers and pools reach their working size.
  std::this_thread::sleep_for(kSettle);
  const int64_t sentBefore = TrafficTotals::sentBytes.load();
  const int64_t playedBefore = TrafficTotals::playedBytes.load();
  const uint64_t receivedBefore = terminal->ReceivedPacketCount();

  gAllocations.store(0);
  gCounting.store(true);
  std::this_thread::sleep_for(kWindow);
  gCounting.store(false);
  const uint64_t counted = gAllocations.load();

  const int64_t sent = TrafficTotals::sentBytes.load() - sentBefore;
  const int64_t played = TrafficTotals::playedBytes.load() - playedBefore;
  const uint64_t received = terminal->ReceivedPacketCount() - receivedBefore;
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
  delete term;
  AudioBackendSelector::Install(nullptr);

  if (counted != 0) PrintTraces(counted);
  EXPECT_EQ(counted, 0u) << "heap allocations during " << kWindow.count()
                         << " s of running call; the first call stacks are printed above";
  // The call really ran through the window (generous bounds: half the real-time rate).
  EXPECT_GT(sent, 250 * 172 / 2) << "packets sent in the window";
  EXPECT_GT(played, 10 * 16000 / 2) << "bytes played in the window";
  if (lowLatency) {
    EXPECT_GT(received, 250u) << "packets received in the window";
  }
  // The loudspeaker heard the microphone (not only silence or concealment).
  WavFile wav;
  ASSERT_TRUE(wav.OpenRead(out, &error)) << error;
  std::vector<int16_t> heard(wav.DataSize() / 2);
  heard.resize(wav.Read(reinterpret_cast<uint8_t*>(heard.data()), wav.DataSize() & ~1u) / 2);
  size_t loud = 0;
  for (size_t i = 0; i + 160 <= heard.size(); i += 160) {
    double sum = 0;
    for (size_t k = i; k < i + 160; ++k) sum += static_cast<double>(heard[k]) * heard[k];
    loud += std::sqrt(sum / 160) > 500 ? 1 : 0;
  }
  EXPECT_GT(loud, 250u) << "20 ms frames of speech heard";
}

/// A clock that moves only by the sleeps of the code under test and by Advance.
class SteppingClock final : public Clock {
 public:
  uint64_t NowMs() override { return now_.load(); }
  void SleepMs(uint32_t ms) override { now_.fetch_add(ms); }
  bool WaitFor(std::condition_variable&, std::unique_lock<std::mutex>&, uint32_t ms,
               const std::function<bool()>& pred) override {
    now_.fetch_add(ms == kInfinite ? 0 : ms);
    return pred();
  }
  void Advance(uint32_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<uint64_t> now_{7000000};
};

/// The datagrams of a call with trouble, one per read, cycling through 60 reads per SSRC.
class TroubledStream {
 public:
  int32_t Next(uint8_t* buffer, int32_t capacity) {
    const int step = step_++ % 60;
    if (step == 0) ssrc_ = 0x1000 + static_cast<uint32_t>(step_ / 60 % 3);  // a new SSRC
    switch (step) {
      case 5:  // a duplicate
        return Packet(buffer, capacity, static_cast<uint16_t>(seq_ - 1), ts_ - 160, 0, 160);
      case 9:  // a loss
        Advance();
        break;
      case 13:  // reordered: the next one first
        held_ = true;
        return Packet(buffer, capacity, static_cast<uint16_t>(seq_ + 1), ts_ + 160, 0, 160);
      case 17:  // garbage shorter than a header
        buffer[0] = 0x80;
        return 5;
      case 19:  // a header the parser refuses
        std::memset(buffer, 0x40, 16);
        return 16;
      case 23:  // a failed read (logged, throttled)
        return -wsa::kMsgSize;
      case 27:  // comfort noise
        Advance();
        return Packet(buffer, capacity, static_cast<uint16_t>(seq_ - 1), ts_ - 160, 13, 4);
      case 31:
      case 32:
      case 33:
      case 34:
      case 35:
      case 36:  // nothing comes
        return RTPAudioSource::kNoData;
      case 40:  // the sender starts again far behind
        seq_ = static_cast<uint16_t>(seq_ - 1000);
        ts_ -= 160u * 1000;
        break;
      default:
        break;
    }
    if (held_ && step == 14) {  // the one overtaken at step 13
      held_ = false;
      const int32_t n = Packet(buffer, capacity, seq_, ts_, 0, 160);
      seq_ = static_cast<uint16_t>(seq_ + 2);
      ts_ += 320;
      return n;
    }
    const int32_t n = Packet(buffer, capacity, seq_, ts_, 0, 160);
    Advance();
    return n;
  }

 private:
  void Advance() {
    seq_ = static_cast<uint16_t>(seq_ + 1);
    ts_ += 160;
  }
  int32_t Packet(uint8_t* buffer, int32_t capacity, uint16_t seq, uint32_t ts, uint8_t pt,
                 int payload) const {
    const int32_t n = 12 + payload;
    if (n > capacity) return -wsa::kMsgSize;
    WriteRTPHeader(buffer, pt, false, seq, ts, ssrc_);
    std::memset(buffer + 12, 0x55 + (seq & 7), static_cast<size_t>(payload));
    return n;
  }

  int step_ = 0;
  uint16_t seq_ = 65000;
  uint32_t ts_ = 0xFFFF0000u;
  uint32_t ssrc_ = 0x1000;
  bool held_ = false;
};

TEST(SteadyStateAllocationRareEvents, TheReceivePathMeetsTroubleWithoutAllocating) {
  SteppingClock clock;
  ScopedClock useClock(clock);
  QuietHostLog log;
  testing::ScopedHostLog useLog(&log);
  for (const bool lowLatency : {false, true}) {
    SCOPED_TRACE(lowLatency ? "low-latency mode" : "classic mode");
    TroubledStream stream;
    RTPAudioSource receiver;
    receiver.SetLowLatency(lowLatency);
    receiver.SetDatagramReaderForTest(
        [&stream](uint8_t* buffer, int32_t capacity) { return stream.Next(buffer, capacity); });
    G7112PCMTransformer decoder;
    RTPJitterBuffer classic;
    LowLatencyJitterBuffer lowLatencyBuffer;
    AudioTransformer* jitter =
        lowLatency ? static_cast<AudioTransformer*>(&lowLatencyBuffer) : &classic;
    Connect(&decoder, jitter);
    ASSERT_EQ(jitter->StartTransform(), 0);
    ASSERT_EQ(receiver.SourceStarted(), 0);
    AudioSampleList pushed;
    pushed.reserve(1);
    int delivered = 0, audible = 0;
    // One 20 ms tick: the receiver delivers what it has into the decoder and the jitter buffer,
    // and the playback side pulls a frame.
    auto tick = [&] {
      AudioSample* received = nullptr;
      receiver.GenerateData(&received);
      if (received != nullptr) {
        ++delivered;
        pushed.emplace_back(received, &receiver);
        decoder.RenderAudioSamples(pushed);
        pushed.clear();
        received->Release(nullptr);
      }
      AudioSample* played = nullptr;
      jitter->GenerateData(&played);
      if (played != nullptr) {
        audible += played->GetDataSize() > 0 && played->GetData()[0] != 0 ? 1 : 0;
        played->Release(nullptr);
      }
      clock.Advance(20);
    };
    for (int i = 0; i < 400; ++i) tick();  // warm-up: every event once per SSRC at least
    delivered = audible = 0;
    // The whole receive path runs on this thread here; other threads (the settings store's
    // writer persisting the set-up's settings) are not counted.
    tCountedThread = true;
    gCountingOneThread.store(true);
    gAllocations.store(0);
    gCounting.store(true);
    for (int i = 0; i < 400; ++i) tick();
    gCounting.store(false);
    gCountingOneThread.store(false);
    tCountedThread = false;
    const uint64_t counted = gAllocations.load();
    // Most ticks carried a packet through to the playback side.
    EXPECT_GT(delivered, 250);
    EXPECT_GT(audible, 200);
    if (counted != 0) PrintTraces(counted);
    EXPECT_EQ(counted, 0u) << "heap allocations on the receive path";
    HostLogWriter::WritePending(5000);  // the receive path defers its entries to the writer
    EXPECT_GT(log.lines.load(), 0) << "the read errors were logged";

    receiver.SourceStopped();
    jitter->StopTransform();
    Disconnect(&decoder, jitter);
  }
  HostLogWriter::WritePending(1000);
}

INSTANTIATE_TEST_SUITE_P(ReceiveModes, SteadyStateAllocation, ::testing::Values(false, true),
                         [](const auto& info) {
                           return std::string(info.param ? "LowLatency" : "Classic");
                         });

// Memory running out inside an operation: the host must get an error result (or null from the
// factory), never an exception, and the terminal must still stop and be destroyed cleanly. Each
// operation is run with its first, second, ... allocation on the host's thread failing, until
// one run needs no failing allocation at all.
TEST(OperationsUnderMemoryExhaustion, NoExceptionReachesTheHost) {
  TempRegistry registry;
  TempDir dir;
  const std::string mic =
      dir.Write("in.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(SpeechLike(2.0))));
  std::string error;
  AudioBackendSelector::Install(AudioBackendSelector::Create(
      "file:capture=" + mic + ",playback=" + dir.Path() + "/out.wav", &error));
  ASSERT_TRUE(error.empty()) << error;
  QuietHostLog log;
  const int port = FreeUdpPort();

  // Runs op with the n-th allocation failing for n = 0, 1, ...; true once op ran to its end
  // without meeting the failure (the injection was still armed afterwards).
  const auto exhaust = [](const char* what, const std::function<void()>& op) {
    for (int64_t n = 0; n < 5000; ++n) {
      tFailAfter = n;
      tFailArmed = true;
      try {
        op();
      } catch (...) {
        tFailArmed = false;
        ADD_FAILURE() << what << ": an exception reached the host (allocation " << n << ")";
        return;
      }
      const bool completed = tFailArmed;
      tFailArmed = false;
      if (completed) {
        // Every operation here allocates: a run that met no failure at the first allocation means
        // the injection did not reach it.
        EXPECT_GT(n, 0) << what;
        std::printf("%s: ran to its end with allocation %lld failing first\n", what,
                    static_cast<long long>(n));
        return;
      }
    }
    ADD_FAILURE() << what << ": still allocating after 5000 allocations";
  };

  exhaust("GetRTPInterface", [&] {
    RTPInterface* term = GetRTPInterface(&log);
    const bool armed = tFailArmed;  // the destruction is not part of the test
    tFailArmed = false;
    DestroyTerminal(term);
    tFailArmed = armed;
  });

  const auto withTerminal = [&](const char* what, const std::function<void(RTPInterface*)>& op) {
    RTPInterface* term = GetRTPInterface(&log);
    ASSERT_NE(term, nullptr);
    ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
    term->SetMicrophoneVolume(-1, 100);
    exhaust(what, [&] { op(term); });
    EXPECT_GE(term->StopTX(), -10);
    EXPECT_GE(term->StopRX(), -10);
    DestroyTerminal(term);
  };
  withTerminal("SetDestination", [&](RTPInterface* term) {
    const int32_t result = term->SetDestination("127.0.0.1", port, port, -1);
    EXPECT_TRUE(result == 0 || result == -10 || result > 0) << result;
  });
  withTerminal("StartTX/StopTX", [&](RTPInterface* term) {
    const int32_t started = term->StartTX(-1);
    EXPECT_LE(started, 0);
    EXPECT_LE(term->StopTX(), 0);
  });
  withTerminal("StartRX/StopRX", [&](RTPInterface* term) {
    const int32_t started = term->StartRX(-1, 60);
    EXPECT_LE(started, 0);
    EXPECT_LE(term->StopRX(), 0);
  });
  withTerminal("SetTransmitCodec", [&](RTPInterface* term) {
    EXPECT_LE(term->SetTransmitCodec(2, 20, 0, 0, 0, 0), 0);
  });
  withTerminal("PlayFile", [&](RTPInterface* term) {
    const bool armed = tFailArmed;
    tFailArmed = false;
    const int32_t started = term->StartTX(-1);
    tFailArmed = armed;
    uint32_t id = 0;
    EXPECT_LE(term->PlayFile(mic.c_str(), 1, 100, &id), 0);
    if (started == 0) term->StopFile(id);
  });
  AudioBackendSelector::Install(nullptr);
}

}  // namespace
}  // namespace tarsio::testing
