// Sound devices that stop answering, on the scripted backend: a read or write that never returns
// (ScriptedAudioBackend::StallTransfers), a callback that does not return, a mixer that is slow.
// - the device layer: Reset and the destructor end within their bounds, the stuck thread is
//   abandoned and counted, touches neither the application's buffers nor its callback again, and
//   closes the stream and ends once the backend answers at last;
// - the loudspeaker and microphone filters: a stop ends within the bounds their headers state and
//   reports that it completed, the filter can then be destroyed while the device thread is still
//   stuck (AddressSanitizer sees any late touch);
// - volume changes held in the backend do not hold up the render or capture path;
// - device threads run at real-time priority unless TARSIO_NO_REALTIME is set.
// Calls that the defects would hang run on a thread of their own with a real-time cap, so that a
// regression fails instead of hanging the test run.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/WaveAudioSink.h"
#include "devices/WaveAudioSource.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioTransformer.h"
#include "platform/TraceSink.h"
#include "platform/WaveAudioIn.h"
#include "platform/WaveAudioOut.h"
#include "support/FakeClock.h"
#include "support/ScriptedAudioBackend.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::FakeClock;
using testing::ScriptedAudioBackend;
using Bytes = std::vector<uint8_t>;

const WAVEFORMATEX kPcm{kWaveFormatPcm, 1, 8000, 16000, 2, 16, 0};
constexpr uint32_t kFrame = 320;

Bytes Pattern(uint8_t seed) {
  Bytes b(kFrame);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(seed * 31 + i);
  return b;
}

long MsSince(steady_clock::time_point start) { return (steady_clock::now() - start) / 1ms; }

template <typename Pred>
bool WaitUntil(Pred pred, int ms = 5000) {
  for (int i = 0; i < ms && !pred(); ++i) std::this_thread::sleep_for(1ms);
  return pred();
}

// Runs fn on a thread of its own; true if it returned within ms of real time. A call that does
// not return is left behind, blocked.
template <typename F>
bool ReturnsWithin(long ms, F fn) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> returned = done->get_future();
  std::thread([done, fn]() mutable {
    fn();
    done->set_value();
  }).detach();
  return returned.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

// Moves a fake clock 2 ms every 0.2 ms of real time until destroyed: fast, yet a waiter (who
// looks at the fake time about every real millisecond) overshoots a deadline by little.
std::jthread ClockPump(FakeClock& clock) {
  return std::jthread([&clock](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(200us)) clock.AdvanceMs(2);
  });
}

struct FakeTime {
  FakeClock clock;
  ScopedClock use{clock};
};

// Short device waits for the test's life (real time: these tests run on the real clock).
struct ShortDeviceWaits {
  explicit ShortDeviceWaits(uint32_t ms) { WaveAudioDevice::SetWaitLimitMsForTest(ms); }
  ~ShortDeviceWaits() { WaveAudioDevice::SetWaitLimitMsForTest(0); }
};

// Counts a device's callbacks; those that begin once `closed` is set count as late. While `hold`
// is set a buffer callback blocks until Release.
struct Callbacks {
  static void Record(WaveAudioDevice*, uint32_t message, uintptr_t instance, uintptr_t, uintptr_t) {
    auto* self = reinterpret_cast<Callbacks*>(instance);
    if (self->closed) ++self->late;
    const bool buffer = message == wave::kOutDone || message == wave::kInData;
    if (buffer) ++self->buffers;
    if (message == wave::kOutClose || message == wave::kInClose) ++self->closes;
    if (message == wave::kOutOpen || message == wave::kInOpen) {
      pthread_getschedparam(pthread_self(), &self->policy, &self->param);
      ++self->opens;
    }
    std::unique_lock<std::mutex> lk(self->m);
    if (buffer && self->hold) {
      self->held = true;
      self->cv.wait(lk, [&] { return !self->hold; });
    }
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lk(m);
      hold = false;
    }
    cv.notify_all();
  }
  bool Held() {
    std::lock_guard<std::mutex> lk(m);
    return held;
  }

  std::atomic<int> buffers{0}, closes{0}, opens{0}, late{0};
  std::atomic<bool> closed{false};
  int policy = -1;  // of the device thread, written by the open callback
  sched_param param{};
  std::mutex m;
  std::condition_variable cv;
  bool hold = false, held = false;
};

// Three device buffers the application owns, each holding Pattern(index + 1).
struct Buffers {
  Buffers() {
    for (uint8_t i = 0; i < 3; ++i) {
      data[i] = Pattern(i + 1);
      headers[i].lpData = data[i].data();
      headers[i].dwBufferLength = kFrame;
    }
  }
  Bytes data[3];
  WAVEHDR headers[3];
};

// A capture or playback device over the same calls.
struct Device {
  Device(bool capture, ScriptedAudioBackend& backend, Callbacks& cb) : capture(capture) {
    const auto instance = reinterpret_cast<uintptr_t>(&cb);
    if (capture) {
      std::unique_ptr<WaveAudioIn> opened;
      result =
          WaveAudioIn::Open(backend, &opened, wave::kMapper, &kPcm, &Callbacks::Record, instance);
      in = opened.get();
      device = std::move(opened);
    } else {
      std::unique_ptr<WaveAudioOut> opened;
      result =
          WaveAudioOut::Open(backend, &opened, wave::kMapper, &kPcm, &Callbacks::Record, instance);
      out = opened.get();
      device = std::move(opened);
    }
  }
  uint32_t Queue(WAVEHDR* header) {
    const uint32_t r =
        capture ? in->AddBuffer(header, kWaveHdrSize) : out->Write(header, kWaveHdrSize);
    return r == mmsys::kNoError && capture ? in->Start() : r;
  }
  const bool capture;
  uint32_t result = mmsys::kError;
  std::unique_ptr<WaveAudioDevice> device;
  WaveAudioIn* in = nullptr;
  WaveAudioOut* out = nullptr;
};

TEST(DeviceFaultTest, ADeviceStuckInTheBackendIsGivenUpWithinItsBoundAndNeverCallsBackAgain) {
  ShortDeviceWaits waits(100);
  for (const bool capture : {false, true}) {
    SCOPED_TRACE(capture ? "capture" : "playback");
    auto backend = std::make_shared<ScriptedAudioBackend>();
    backend->FillReads(1);
    Callbacks cb;
    auto buffers = std::make_unique<Buffers>();
    WAVEHDR* h = buffers->headers;
    Device d(capture, *backend, cb);
    ASSERT_EQ(d.result, mmsys::kNoError);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(d.device->PrepareHeader(&h[i], kWaveHdrSize), 0u);

    // One buffer goes through as usual.
    ASSERT_EQ(d.Queue(&h[0]), mmsys::kNoError);
    ASSERT_TRUE(WaitUntil([&] { return cb.buffers == 1; }));
    if (capture) {
      EXPECT_EQ(h[0].dwBytesRecorded, kFrame);
      EXPECT_EQ(buffers->data[0], Bytes(kFrame, ScriptedAudioBackend::kCaptureByte));
    } else {
      EXPECT_EQ(backend->Written(), std::vector<Bytes>{Pattern(1)});
    }

    // Then the device stops answering in the middle of the next buffer.
    backend->StallTransfers();
    ASSERT_EQ(d.Queue(&h[1]), mmsys::kNoError);
    ASSERT_EQ(d.Queue(&h[2]), mmsys::kNoError);
    ASSERT_TRUE(WaitUntil([&] { return backend->StalledTransfers() == 1; }));
    const uint64_t abandoned = WaveAudioDevice::AbandonedThreadCount();
    const uint32_t running = WaveAudioDevice::AbandonedThreadsRunning();
    // The reset waits for the stuck call once, within the limit, and fails; the device is stalled
    // and the next reset does not wait again. Close refuses while buffers are at the device.
    auto start = steady_clock::now();
    EXPECT_EQ(d.device->Reset(), mmsys::kError);
    EXPECT_TRUE(d.device->IsStalled());
    EXPECT_EQ(d.device->Reset(), mmsys::kError);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(d.device->Close(), mmsys::kWaveStillPlaying);
    EXPECT_EQ(d.device->UnprepareHeader(&h[1], kWaveHdrSize), mmsys::kWaveStillPlaying);

    // Dropping the handle gives the thread up: bounded, counted.
    start = steady_clock::now();
    ASSERT_TRUE(ReturnsWithin(5000, [&] { d.device.reset(); }));
    EXPECT_LT(MsSince(start), 2000);
    cb.closed = true;
    EXPECT_EQ(WaveAudioDevice::AbandonedThreadCount(), abandoned + 1);
    EXPECT_EQ(WaveAudioDevice::AbandonedThreadsRunning(), running + 1);
    EXPECT_EQ(backend->openStreams, 1) << "the stuck call still uses the stream";

    // The application frees its buffers; then the device answers at last. The thread touches
    // neither the buffers nor the callback, closes the stream and ends.
    buffers.reset();
    backend->ReleaseTransfers();
    EXPECT_TRUE(WaitUntil([&] {
      return WaveAudioDevice::AbandonedThreadsRunning() == running && backend->openStreams == 0;
    }));
    EXPECT_EQ(cb.late, 0);
    EXPECT_EQ(cb.buffers, 1);
    EXPECT_EQ(cb.closes, 0);
    if (!capture) {
      // What the released write played was the buffer as it was queued.
      EXPECT_EQ(backend->Written(), (std::vector<Bytes>{Pattern(1), Pattern(2)}));
    }
  }
}

TEST(DeviceFaultTest, CloseGivesUpOnACallbackThatDoesNotReturnAndNoCallbackFollows) {
  ShortDeviceWaits waits(100);
  auto backend = std::make_shared<ScriptedAudioBackend>();
  Buffers buffers;
  WAVEHDR* h = buffers.headers;
  {
    // A short callback: the close message comes before Close returns, nothing is abandoned.
    Callbacks cb;
    Device d(false, *backend, cb);
    ASSERT_EQ(d.result, mmsys::kNoError);
    const uint64_t abandoned = WaveAudioDevice::AbandonedThreadCount();
    ASSERT_EQ(d.device->PrepareHeader(&h[0], kWaveHdrSize), 0u);
    ASSERT_EQ(d.Queue(&h[0]), 0u);
    ASSERT_TRUE(WaitUntil([&] { return cb.buffers == 1; }));
    EXPECT_EQ(d.device->Close(), mmsys::kNoError);
    EXPECT_EQ(cb.closes, 1);
    EXPECT_EQ(WaveAudioDevice::AbandonedThreadCount(), abandoned);
    cb.closed = true;
    d.device.reset();
    EXPECT_EQ(cb.late, 0);
  }
  // The buffer callback does not return: its buffer is back, so Close may close, but the thread
  // cannot end in time.
  Callbacks cb;
  cb.hold = true;
  Device d(false, *backend, cb);
  ASSERT_EQ(d.result, mmsys::kNoError);
  const uint64_t abandoned = WaveAudioDevice::AbandonedThreadCount();
  const uint32_t running = WaveAudioDevice::AbandonedThreadsRunning();
  h[0].dwFlags = 0;
  ASSERT_EQ(d.device->PrepareHeader(&h[0], kWaveHdrSize), 0u);
  ASSERT_EQ(d.Queue(&h[0]), 0u);
  ASSERT_TRUE(WaitUntil([&] { return cb.Held(); }));
  uint32_t closed = mmsys::kError;
  const auto start = steady_clock::now();
  ASSERT_TRUE(ReturnsWithin(5000, [&] { closed = d.device->Close(); }));
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(closed, mmsys::kNoError) << "closed from the caller's point of view";
  cb.closed = true;
  EXPECT_EQ(WaveAudioDevice::AbandonedThreadCount(), abandoned + 1);
  ASSERT_TRUE(ReturnsWithin(5000, [&] { d.device.reset(); }));
  // The callback returns at last: the thread ends without another callback.
  cb.Release();
  EXPECT_TRUE(WaitUntil([&] { return WaveAudioDevice::AbandonedThreadsRunning() == running; }));
  EXPECT_EQ(cb.late, 0);
  EXPECT_EQ(cb.closes, 0);
  EXPECT_EQ(backend->openStreams, 0);
}

// An endless source of frames.
struct FramesSource : AudioSource {
  int32_t GenerateData(AudioSample** out) override {
    AudioSample* sample = nullptr;
    AudioSampleManager::Instance()->GetAudioSample(&sample, this);
    sample->SetFormat(kPcm);
    const Bytes b = Pattern(static_cast<uint8_t>(n++));
    std::copy(b.begin(), b.end(), sample->GetData());
    sample->SetDataSize(kFrame);
    *out = sample;
    return 0;
  }
  int n = 0;
};

// Counts the bytes pushed into it.
struct CountingSink : AudioSink {
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    for (auto& [s, from] : samples) bytes += s->GetDataSize();
    return 0;
  }
  std::atomic<int64_t> bytes{0};
};

TEST(DeviceFaultTest, LoudspeakerStopEndsWithinItsBoundsWhenThePlaybackDeviceStopsAnswering) {
  FakeTime t;
  auto backend = std::make_shared<ScriptedAudioBackend>();
  auto sink = std::make_unique<WaveAudioSink>();
  sink->SetAudioBackend(backend);
  sink->SetNumFrames(3);
  FramesSource source;
  ASSERT_EQ(Connect(&source, sink.get()), 0);
  backend->StallTransfers();
  ASSERT_EQ(sink->StartSinkThread(), 0);
  // The first write sticks in the device, the other two buffers wait behind it.
  ASSERT_TRUE(
      WaitUntil([&] { return backend->StalledTransfers() == 1 && backend->queues.calls == 3; }));
  const uint64_t abandoned = WaveAudioDevice::AbandonedThreadCount();
  const uint32_t running = WaveAudioDevice::AbandonedThreadsRunning();
  {
    std::jthread pump = ClockPump(t.clock);
    const uint64_t start = t.clock.NowMs();
    int32_t result = -1;
    ASSERT_TRUE(ReturnsWithin(30000, [&] { result = sink->StopSinkThread(); }));
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(sink->LastStopCompleted());
    // The drain budget (5 s) and one device wait, with slack for the pumped clock.
    EXPECT_LE(t.clock.NowMs() - start, 5000u + WaveAudioDevice::kDeviceWaitMs + 3000u);
  }
  EXPECT_EQ(WaveAudioDevice::AbandonedThreadCount(), abandoned + 1);
  EXPECT_EQ(Disconnect(&source, sink.get()), 0);
  // Gone while the device thread is still stuck with one of its buffers.
  ASSERT_TRUE(ReturnsWithin(5000, [&] { sink.reset(); }));
  backend->ReleaseTransfers();
  EXPECT_TRUE(WaitUntil([&] {
    return WaveAudioDevice::AbandonedThreadsRunning() == running && backend->openStreams == 0;
  }));
  EXPECT_EQ(backend->Written(), std::vector<Bytes>{Pattern(0)});
}

TEST(DeviceFaultTest, MicrophoneStopEndsWithinItsBoundsWhenTheCaptureDeviceStopsAnswering) {
  FakeTime t;
  auto backend = std::make_shared<ScriptedAudioBackend>();
  backend->FillReads(3);
  auto source = std::make_unique<WaveAudioSource>();
  source->SetAudioBackend(backend);
  source->SetVolume(100);
  CountingSink sink;
  ASSERT_EQ(sink.StartSink(), 0);
  ASSERT_EQ(Connect(source.get(), &sink), 0);
  ASSERT_EQ(source->StartSourceThread(), 0);
  ASSERT_TRUE(WaitUntil([&] { return sink.bytes == 3 * kFrame; }));
  // The next read, waiting for audio, never returns now: no buffer comes back any more.
  backend->StallTransfers();
  ASSERT_TRUE(WaitUntil([&] { return backend->StalledTransfers() == 1; }));
  const uint64_t abandoned = WaveAudioDevice::AbandonedThreadCount();
  const uint32_t running = WaveAudioDevice::AbandonedThreadsRunning();
  {
    std::jthread pump = ClockPump(t.clock);
    const uint64_t start = t.clock.NowMs();
    ASSERT_TRUE(ReturnsWithin(30000, [&] { source->StopSourceThread(); }));
    EXPECT_TRUE(source->LastStopCompleted());
    EXPECT_FALSE(source->IsRunning());
    // One device wait, with slack for the pumped clock.
    EXPECT_LE(t.clock.NowMs() - start, WaveAudioDevice::kDeviceWaitMs + 2000u);
  }
  EXPECT_EQ(WaveAudioDevice::AbandonedThreadCount(), abandoned + 1);
  EXPECT_EQ(Disconnect(source.get(), &sink), 0);
  ASSERT_TRUE(ReturnsWithin(5000, [&] { source.reset(); }));
  backend->ReleaseTransfers();
  EXPECT_TRUE(WaitUntil([&] {
    return WaveAudioDevice::AbandonedThreadsRunning() == running && backend->openStreams == 0;
  }));
  EXPECT_EQ(sink.bytes, 3 * kFrame);
  sink.StopSink();
}

// Pulls one sample from a source: its data size, or -1 for none.
int32_t Pull(AudioSource& source) {
  AudioSample* s = nullptr;
  source.GenerateData(&s);
  if (s == nullptr) return -1;
  const int32_t size = s->GetDataSize();
  s->Release(nullptr);
  return size;
}

TEST(DeviceFaultTest, VolumeChangesHeldInTheBackendDoNotHoldUpTheMediaPath) {
  // Microphone: while one mixer walk is held in the backend, captured frames keep coming, and a
  // second walk waits for the first instead of mixing its calls into it.
  auto backend = std::make_shared<ScriptedAudioBackend>();
  backend->FillReads(1000);
  {
    WaveAudioSource source;
    source.SetAudioBackend(backend);
    ASSERT_EQ(source.SourceStarted(), 0);
    backend->HoldVolumeCalls(true);
    auto first = std::async(std::launch::async, [&] { source.SetVolume(50); });
    ASSERT_TRUE(WaitUntil([&] { return backend->VolumeCallsHeld() == 1; }));
    auto second = std::async(std::launch::async, [&] { source.SetVolume(100); });
    auto pulls = std::async(std::launch::async, [&] {
      std::vector<int32_t> sizes;
      for (int i = 0; i < 3; ++i) sizes.push_back(Pull(source));
      return sizes;
    });
    EXPECT_EQ(pulls.wait_for(3s), std::future_status::ready) << "capture waited for the mixer";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(backend->VolumeCallsHeld(), 1) << "the second walk did not wait for the first";
    backend->HoldVolumeCalls(false);
    first.get();
    second.get();
    EXPECT_EQ(pulls.get(), (std::vector<int32_t>{kFrame, kFrame, kFrame}));
    std::string writes;
    for (const auto& w : backend->MixerWrites()) {
      writes += std::to_string(w.line) + (w.control == mixer::kControlVolume ? "v" : "m") +
                std::to_string(w.value) + " ";
    }
    EXPECT_EQ(writes, "1v32767 1m0 1v65535 1m0 ");
    EXPECT_EQ(source.SourceStopped(), 0);
  }
  // Loudspeaker: while an output volume change is held in the backend, pushed frames are played.
  WaveAudioSink sink;
  sink.SetAudioBackend(backend);
  sink.SetNumFrames(2);
  ASSERT_EQ(sink.StartSink(), 0);
  backend->HoldVolumeCalls(true);
  auto volume = std::async(std::launch::async, [&] { sink.SetVolume(50); });
  ASSERT_TRUE(WaitUntil([&] { return backend->VolumeCallsHeld() == 1; }));
  FramesSource frames;
  auto pushes = std::async(std::launch::async, [&] {
    for (int i = 0; i < 4; ++i) {
      AudioSample* s = nullptr;
      frames.GenerateData(&s);
      sink.TakeNextAudioSample(s, nullptr);
      s->Release(&frames);
    }
  });
  EXPECT_EQ(pushes.wait_for(3s), std::future_status::ready) << "playback waited for the volume";
  backend->HoldVolumeCalls(false);
  volume.get();
  pushes.get();
  EXPECT_TRUE(WaitUntil([&] { return backend->Written().size() == 4; }));
  EXPECT_EQ(backend->OutputVolumes(), std::vector<uint32_t>{0x7FFF7FFF});
  EXPECT_EQ(sink.StopSink(), 0);
}

TEST(DeviceFaultTest, DeviceThreadsRunAtRealTimePriorityUnlessTurnedOff) {
  std::mutex m;
  std::vector<std::string> refusals;
  TraceSink::SetRecorder([&](const char* name, uint32_t, const std::string& text) {
    std::lock_guard<std::mutex> lk(m);
    if (std::string(name) == "WaveAudioDevice" &&
        text.find("SetThreadPriority") != std::string::npos) {
      refusals.push_back(text);
    }
  });
  auto backend = std::make_shared<ScriptedAudioBackend>();
  for (const bool realtime : {true, false}) {
    ASSERT_EQ(realtime ? unsetenv("TARSIO_NO_REALTIME") : setenv("TARSIO_NO_REALTIME", "1", 1), 0);
    for (const bool capture : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << (capture ? "capture" : "playback") << ", realtime " << realtime);
      {
        std::lock_guard<std::mutex> lk(m);
        refusals.clear();
      }
      Callbacks cb;
      Device d(capture, *backend, cb);
      ASSERT_EQ(d.result, mmsys::kNoError);
      ASSERT_TRUE(WaitUntil([&] { return cb.opens == 1; }));
      EXPECT_EQ(d.device->Close(), mmsys::kNoError);
      std::lock_guard<std::mutex> lk(m);
      if (realtime) {
        // The kernel may refuse real-time scheduling; the refusal is then traced.
        EXPECT_TRUE((cb.policy == SCHED_FIFO && cb.param.sched_priority == 99) ||
                    (cb.policy == SCHED_OTHER && refusals.size() == 1))
            << "policy " << cb.policy << ", " << refusals.size() << " refusal(s) traced";
      } else {
        EXPECT_EQ(cb.policy, SCHED_OTHER);
        EXPECT_TRUE(refusals.empty());
      }
    }
  }
  TraceSink::SetRecorder(nullptr);
  ASSERT_EQ(setenv("TARSIO_NO_REALTIME", "1", 1), 0);
}

}  // namespace
}  // namespace tarsio
