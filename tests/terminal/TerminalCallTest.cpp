// Calls through the public interface over real loopback UDP with the file sound backend: the
// terminal sends to its own port, and what the loudspeaker records must be what the microphone
// played, delayed.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TerminalTestUtil.h"
#include "framework/AudioSampleManager.h"
#include "framework/TrafficTotals.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "tarsio/Tarsio.h"

namespace tarsio::testing {
namespace {

void RunFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct CodecCase {
  const char* name;
  int32_t txCodec;
  int32_t rxCodec;
};

class TerminalCallTest : public ::testing::TestWithParam<CodecCase> {};

TEST_P(TerminalCallTest, ReceivedAudioMatchesSentAudioAfterTheDelay) {
  TempDir dir;
  const std::string in = dir.Path() + "/in.wav";
  const std::string out = dir.Path() + "/out.wav";
  const std::vector<int16_t> signal = SpeechLikeSignal(2.5);
  WriteWav16(in, signal);
  FileAudio audio(in, out);
  PlainAudioPath();
  RecordingHostLog log;

  RTPInterface* term = GetRTPInterface(&log);
  ASSERT_NE(term, nullptr);
  const int port = FreeUdpPort();
  ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
  ASSERT_EQ(term->SetTransmitCodec(GetParam().txCodec, 20, 0, 0, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(GetParam().rxCodec, 20, 0, 0), 0);
  term->SetMicrophoneVolume(-1, 100);
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  RunFor(3000);
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
  const int64_t sent = TrafficTotals::sentBytes.load();
  const int64_t played = TrafficTotals::playedBytes.load();
  delete term;

  // 2.5 s of signal in 20 ms G.711 packets of 172 bytes each: about 125 packets.
  EXPECT_GT(sent, 100 * 172);
  EXPECT_GT(played, 16000);
  const std::vector<int16_t> heard = ReadWav16(out);
  ASSERT_GT(heard.size(), signal.size());
  const Match match = BestMatch(signal, heard, 12000);
  EXPECT_GT(match.correlation, 0.9) << "lag " << match.lag;
  EXPECT_GT(match.lag, 0);
  EXPECT_LT(match.lag, 12000);  // under 1.5 s of mouth-to-ear delay on loopback
  EXPECT_TRUE(log.Contains("*** estadisticas RTP ***"));
}

INSTANTIATE_TEST_SUITE_P(Codecs, TerminalCallTest,
                         ::testing::Values(CodecCase{"ulaw", 4, 4}, CodecCase{"alaw", 2, 2},
                                           CodecCase{"generic_ulaw", 4, 0},
                                           CodecCase{"generic_alaw", 2, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TerminalLifecycle, StatisticsReportIsOneEntryWithTheExactCallSequence) {
  RecordingHostLog log;
  RTPInterface* term = GetRTPInterface(&log);
  ASSERT_NE(term, nullptr);
  delete term;
  const std::vector<std::string> expected = {"Lock",
                                             "Write:*** estadisticas RTP ***",
                                             "MarkEntry",
                                             "EndLine",
                                             "Write:RTP recvfrom:",
                                             "Write:0",
                                             "EndLine",
                                             "Write:RTP sendto:",
                                             "Write:0",
                                             "EndLine",
                                             "Write:RTP WaveOut:",
                                             "Write:0",
                                             "EndLine",
                                             "Write:RTP WaveIn:",
                                             "Write:0",
                                             "EndLine",
                                             "EndLine",
                                             "Write:RTP WaveIn:",
                                             "Write:0",
                                             "EndLine",
                                             "EndLine",
                                             "Write:RTP G729 Decomp:",
                                             "Write:0",
                                             "EndLine",
                                             "EndLine",
                                             "Write:RTP G729 Comp:",
                                             "Write:0",
                                             "EndLine",
                                             "EndLine",
                                             "Unlock"};
  const std::vector<std::string> calls = log.Calls();
  ASSERT_GE(calls.size(), expected.size());
  // The report is the last entry the terminal writes.
  const std::vector<std::string> tail(calls.end() - static_cast<long>(expected.size()),
                                      calls.end());
  EXPECT_EQ(tail, expected);
}

TEST(TerminalLifecycle, NullHostLogAndSecondFactoryCallRedirectTheLog) {
  RTPInterface* quiet = GetRTPInterface(nullptr);
  ASSERT_NE(quiet, nullptr);
  EXPECT_DOUBLE_EQ(quiet->GetReceiveBufferRatio(), 1.0 / 30.0);
  EXPECT_EQ(quiet->StopTX(), 0);
  EXPECT_EQ(quiet->StopRX(), 0);
  delete quiet;  // writes nothing anywhere

  RecordingHostLog first;
  RecordingHostLog second;
  RTPInterface* term = GetRTPInterface(&first);
  HostLogWriter::SetCurrent(&second);  // as a later GetRTPInterface call would
  delete term;
  EXPECT_TRUE(first.Calls().empty());
  EXPECT_TRUE(second.Contains("*** estadisticas RTP ***"));
  HostLogWriter::SetCurrent(nullptr);
}

TEST(TerminalLifecycle, RejectsUnsupportedCodecsAndKeepsTheChainStopped) {
  RTPInterface* term = GetRTPInterface(nullptr);
  EXPECT_EQ(term->SetTransmitCodec(0, 20, 0, 0, 0, 0), -30);
  EXPECT_EQ(term->SetTransmitCodec(9, 20, 0, 0, 0, 0), -30);
  EXPECT_EQ(term->SetReceiveCodec(9, 20, 0, 0), -30);
  EXPECT_EQ(term->SetReceiveCodec(7, 20, 0, 0), -30);
  delete term;
}

TEST(TerminalLifecycle, CodecChangeWhileRunningRestartsAndStopStartCyclesLeaveNothingBehind) {
  TempDir dir;
  const std::string in = dir.Path() + "/in.wav";
  WriteWav16(in, SpeechLikeSignal(3.0));
  FileAudio audio(in, dir.Path() + "/out.wav");
  const int threadsBefore = ThreadsAfterWarmUp();

  RTPInterface* term = GetRTPInterface(nullptr);
  auto* terminal = static_cast<COrbeMediaTerm*>(term);
  const int port = FreeUdpPort();
  ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
  term->SetMicrophoneVolume(-1, 100);
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_EQ(term->StartRX(-1, 60), 0) << cycle;
    ASSERT_EQ(term->StartTX(-1), 0) << cycle;
    RunFor(200);
    // Same codec, other frame time: no restart while receiving.
    EXPECT_EQ(term->SetReceiveCodec(4, 30, 0, 0), 0);
    // A real change restarts the running direction.
    EXPECT_EQ(term->SetReceiveCodec(cycle % 2 == 0 ? 2 : 0, 20, 0, 0), 0);
    EXPECT_TRUE(terminal->IsReceiving());
    EXPECT_EQ(term->SetTransmitCodec(2, 20, 0, 0, 0, 0), 0);
    EXPECT_TRUE(terminal->IsTransmitting());
    RunFor(200);
    EXPECT_EQ(term->StopTX(), 0);
    EXPECT_EQ(term->StopRX(), 0);
    EXPECT_EQ(term->SetTransmitCodec(4, 20, 0, 0, 0, 0), 0);
    EXPECT_EQ(term->SetReceiveCodec(4, 20, 0, 0), 0);
  }
  const int32_t created = AudioSampleManager::Instance()->CreatedCount();
  EXPECT_LT(created, 400) << "the pool grew without bound";
  EXPECT_EQ(AudioSampleManager::Instance()->InUseCount(), 0);
  delete term;
  // Every thread of the terminal has ended (notification threads end within moments).
  for (int i = 0; i < 100 && ThreadCount() > threadsBefore; ++i) RunFor(20);
  EXPECT_LE(ThreadCount(), threadsBefore);
}

TEST(TerminalLifecycle, RegistryValuesAreCreatedWithDefaultsAndRead) {
  TempRegistry registry;  // empty: every value the terminal reads is created with its default
  FileAudio audio("", "");
  RTPInterface* term = GetRTPInterface(nullptr);
  const int port = FreeUdpPort();
  ASSERT_EQ(term->SetDestination("127.0.0.1", port, port, -1), 0);
  ASSERT_EQ(term->SetTransmitCodec(4, 20, 0, 1, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(0, 20, 0, 0), 0);
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  const char* key = kTerminalKey;
  // The transmitter records where it sends while it runs, and clears it when it stops.
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "DestinationPort", 0), static_cast<uint32_t>(port));
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "DestinationAddress", ""), "127.0.0.1");
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
  delete term;
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "DestinationPort", 7), 0u);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "ForceVADOff", "x"), "false");
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "MicrophonePreprocess", "x"), "true");
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "TxFIRFilter", 77), 1u);
  EXPECT_EQ(RegGetDWORD(HKEY_CURRENT_USER, key, "TransmitTOS", 77), 184u);
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "LimiterThreshold", "x"), "-8.0");
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "VolumeMaximizePercentile", "x"), "95.00");
  EXPECT_EQ(RegGetString(HKEY_CURRENT_USER, key, "UseDynamicJitterBuffer", "x"), "true");
}

TEST(TerminalDevices, DeviceTestsFailWithoutADeviceAndPassWithOne) {
  TempDir dir;
  {
    FileAudio audio(dir.Path() + "/missing.wav", "");
    RTPInterface* term = GetRTPInterface(nullptr);
    EXPECT_FALSE(term->TestCaptureDevice());  // the capture file does not exist
    delete term;
  }
  {
    FileAudio audio("", "");
    RTPInterface* term = GetRTPInterface(nullptr);
    EXPECT_TRUE(term->TestCaptureDevice());
    EXPECT_TRUE(term->TestPlaybackDevice());
    delete term;
  }
}

}  // namespace
}  // namespace tarsio::testing
