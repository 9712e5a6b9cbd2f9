// WAV files played into a call: through the terminal's operations over a loopback call, and the
// file-play state machine's edge cases driven directly.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "TerminalTestUtil.h"
#include "devices/WaveFileSource.h"
#include "dsp/PCMMixer.h"
#include "platform/Thread.h"
#include "tarsio/Tarsio.h"
#include "terminal/EndOfFileRegistry.h"
#include "terminal/FilePlay.h"

namespace tarsio::testing {
namespace {

void RunFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double Rms(const std::vector<int16_t>& s, size_t from, size_t to) {
  double sum = 0;
  to = std::min(to, s.size());
  if (from >= to) return 0;
  for (size_t i = from; i < to; ++i) sum += static_cast<double>(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(to - from));
}

std::vector<int16_t> Tone(double seconds, double hz, double amplitude) {
  std::vector<int16_t> out(static_cast<size_t>(seconds * 8000));
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * i / 8000.0)));
  }
  return out;
}

class FilePlayCall : public ::testing::Test {
 protected:
  void SetUp() override {
    input = dir.Path() + "/mic.wav";
    output = dir.Path() + "/speaker.wav";
    WriteWav16(input, std::vector<int16_t>(8000 * 4, 0));  // a silent microphone
    audio = std::make_unique<FileAudio>(input, output);
    PlainAudioPath();
    term = GetRTPInterface(nullptr);
    terminal = static_cast<COrbeMediaTerm*>(term);
    const int port = FreeUdpPort();
    ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
    ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
    ASSERT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
    term->SetMicrophoneVolume(-1, 100);
  }
  void TearDown() override { delete term; }

  TempDir dir;
  std::string input;
  std::string output;
  std::unique_ptr<FileAudio> audio;
  RTPInterface* term = nullptr;
  COrbeMediaTerm* terminal = nullptr;
};

TEST_F(FilePlayCall, NothingPlaysWithoutTransmitAndBadFilesAreRefused) {
  uint32_t id = 777;
  const std::string tone = dir.Path() + "/tone.wav";
  WriteWav16(tone, Tone(0.5, 440, 8000));
  EXPECT_EQ(term->PlayFile(tone.c_str(), 1, 100, &id), 0);
  EXPECT_EQ(id, 777u);  // not written
  EXPECT_EQ(terminal->FilePlayCount(), 0u);

  ASSERT_EQ(term->StartTX(-1), 0);
  EXPECT_EQ(term->PlayFile((dir.Path() + "/missing.wav").c_str(), 1, 100, &id), -10);
  const std::string junk = dir.Path() + "/junk.wav";
  std::ofstream(junk) << "not a wave file at all";
  EXPECT_EQ(term->PlayFile(junk.c_str(), 1, 100, &id), -10);
  EXPECT_EQ(id, 777u);
  EXPECT_EQ(terminal->FilePlayCount(), 0u);
  EXPECT_FALSE(term->StopFile(12345));  // unknown id: nothing happens
  EXPECT_EQ(term->StopTX(), 0);
}

TEST_F(FilePlayCall, SinglePlayIsHeardAtTheFarEndThenStopFileAndSweepRemoveIt) {
  const std::string tone = dir.Path() + "/tone.wav";
  WriteWav16(tone, Tone(0.6, 500, 12000));
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  uint32_t id = 0;
  ASSERT_EQ(term->PlayFile(tone.c_str(), 1, 100, &id), 0);
  EXPECT_GE(id, 1u);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  RunFor(1500);
  // The single play has delivered its file but stays running until stopped.
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  const uint32_t endsBefore = terminal->EndOfFileCount();
  EXPECT_FALSE(term->StopFile(id));
  EXPECT_EQ(terminal->EndOfFileCount(), endsBefore + 1);  // the hook ran at once
  // The next PlayFile sweeps the stopped play away and adds its own.
  uint32_t second = 0;
  ASSERT_EQ(term->PlayFile(tone.c_str(), 1, 100, &second), 0);
  EXPECT_NE(second, id);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);

  const std::vector<int16_t> heard = ReadWav16(output);
  ASSERT_GT(heard.size(), 8000u);
  EXPECT_GT(Rms(heard, 0, heard.size()), 1000.0) << "the tone did not reach the far end";
}

TEST_F(FilePlayCall, LoopingPlayRunsUntilDestructionStopsIt) {
  const std::string tone = dir.Path() + "/short.wav";
  WriteWav16(tone, Tone(0.13, 700, 10000));  // not a whole number of frames: the loop wraps
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  uint32_t id = 0;
  ASSERT_EQ(term->PlayFile(tone.c_str(), 0, 80, &id), 0);
  // The receiver's first fill waits for a full ring, and a silent microphone sends only comfort
  // noise until the file starts: allow for that before listening.
  RunFor(2800);
  EXPECT_EQ(terminal->FilePlayCount(), 1u);
  const std::vector<int16_t> heard = ReadWav16(output);
  // Far more than the file's 0.13 s (7 frames) of tone has been heard: the play loops.
  size_t loud = 0;
  for (size_t i = 0; i + 160 <= heard.size(); i += 160) {
    if (Rms(heard, i, i + 160) > 1000) ++loud;
  }
  EXPECT_GT(loud, 15u);
  // TearDown destroys the terminal with the play running.
}

// A sink that takes what is pushed into it and drops it.
class DropSink final : public AudioSink {
 public:
  int32_t RenderAudioSamples(AudioSampleList&) override { return 0; }
};

// A source whose thread ends by itself (a refused start) reports "stopped" on that thread, and the
// file play cleans up there. The start call returns only after that thread has finished, so the
// sweep, which runs under the terminal lock like every start, can delete the play right away.
class StopNotice final : public FileSourceListener {
 public:
  void FilePlayStarted(WaveFileSource*, const char*) override { started = true; }
  void FilePlayStopped(WaveFileSource*, const char*) override { stopped = true; }
  std::atomic<bool> started{false};
  std::atomic<bool> stopped{false};
};

TEST(FilePlayStateMachine, SourceThatEndsItselfHasFinishedWhenItsStartReturns) {
  for (int round = 0; round < 30; ++round) {
    StopNotice notice;
    auto source = std::make_unique<WaveFileSource>();
    source->AddListener(&notice);
    // No file open: the source reports started, refuses its thread, and the thread reports
    // stopped on its way out, before StartSourceThread returns.
    EXPECT_EQ(source->StartSourceThread(), -30);
    EXPECT_TRUE(notice.started);
    EXPECT_TRUE(notice.stopped);
    source.reset();  // ASan/TSan would catch a thread still inside the source
  }
}

TEST(FilePlayStateMachine, ThreadCreationFailureDoesNotLeaveThePlayStarting) {
  TempDir dir;
  const std::string tone = dir.Path() + "/tone.wav";
  WriteWav16(tone, Tone(0.2, 440, 8000));
  RTPInterface* term = GetRTPInterface(nullptr);
  {
    DropSink sink;
    FilePlay play(&sink, 20, true);
    ASSERT_EQ(play.LoadFile(tone.c_str()), 0);
    play.SetDestinationFormat(MakeAudioFormat(5));
    Thread::FailNextCreates(1);
    EXPECT_EQ(play.Start(), -70);
    EXPECT_EQ(play.GetState(), FilePlay::STATE_STOPPED);
    EXPECT_FALSE(play.IsRunning());
    // A later start works.
    EXPECT_EQ(play.LoadFile(tone.c_str()), 0);
    EXPECT_EQ(play.Start(), 0);
    EXPECT_TRUE(play.IsRunning());
    EXPECT_EQ(play.StopImmediately(), 0);
    EXPECT_FALSE(play.IsRunning());
  }
  delete term;
}

}  // namespace
}  // namespace tarsio::testing
