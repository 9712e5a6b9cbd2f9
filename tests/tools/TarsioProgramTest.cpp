// End-to-end tests of the tarsio program: the built binary runs real calls over loopback UDP with
// the file sound backend, each test in a fresh temporary directory with its own settings file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <tuple>

#include "dsp/G711Codec.h"
#include "support/ChildProgram.h"
#include "support/WavTestFiles.h"
#include "tools/AudioClip.h"
#include "tools/LoopbackAnalysis.h"
#include "tools/UdpPortProbe.h"

namespace tarsio::host {
namespace {

const std::string kSpeech = std::string(TARSIO_DATA_DIR) + "/speech-8k.wav";

using testing::JsonNumber;
using Result = testing::ProgramResult;

std::string ReadAll(const std::string& path) { return testing::ReadFileText(path); }

/// A UDP socket bound to port on all addresses (the way the program binds), or -1.
int BindUdp(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ? fd : -1;
}

class TarsioProgram : public ::testing::Test {
 protected:
  std::unique_ptr<testing::ChildProgram> Start(std::vector<std::string> args,
                                               const std::string& reg = "registry.reg") {
    return testing::StartTarsio(TARSIO_BINARY, dir_, std::move(args), reg);
  }
  Result Run(std::vector<std::string> args) { return Start(std::move(args))->Wait(20000); }
  static AudioClip Load(const std::string& path) {
    AudioClip clip;
    std::string error;
    EXPECT_TRUE(AudioClip::Load(path, &clip, &error)) << error;
    return clip;
  }
  /// Most of the speech is found in the recording, delayed by under 3 s (measured per half
  /// second, since the receive side may close up pauses).
  static void ExpectCarried(const LoopbackResult& r) {
    EXPECT_TRUE(r.Carried()) << r.windowDelaysMs.size() << " of " << r.speechWindows;
    EXPECT_GT(r.minDelayMs, 0.0);
    EXPECT_LT(r.maxDelayMs, 3000.0);
  }

  testing::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
};

TEST_F(TarsioProgram, LoopbackOnItsDefaultsRecordsTheShippedSpeech) {
  // The default receive mode is low-latency: the speech arrives whole, without silence inserted
  // into it, and the summary breaks the delay down by stage.
  const Result r = Start({"loopback", "--report", dir_ + "/loopback.json"})->Wait(60000);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string output = dir_ + "/tarsio-loopback.wav";
  const std::string texts[] = {"*** estadisticas RTP ***",
                               "Mouth-to-ear delay: ",
                               "Listen to it",
                               "Recording: " + output,
                               "Receive mode: low-latency",
                               "Delay by stage (median): capture frame 20 + network jitter "};
  for (const std::string& text : texts) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  const AudioClip speech = Load(kSpeech);
  const AudioClip heard = Load(output);
  EXPECT_GT(heard.Seconds(), speech.Seconds());
  EXPECT_LT(heard.Seconds(), speech.Seconds() + 3.0);
  const LoopbackResult lowLatency = LoopbackAnalysis::Analyse(speech, heard, 0.0);
  ExpectCarried(lowLatency);
  EXPECT_LE(lowLatency.silentFrames, lowLatency.speechFrames / 50) << "inserted silence";
  const std::string json = ReadAll(dir_ + "/loopback.json");
  EXPECT_NE(json.find("\"receive_mode\": \"low-latency\""), std::string::npos) << json;
  EXPECT_GT(JsonNumber(json, "packets_received"), 100);
  EXPECT_GE(JsonNumber(json, "frames_played"), 100);

  // The classic mode is still there on request, and says so.
  const Result classic =
      Start({"loopback", "--receive", "classic", "--output", dir_ + "/classic.wav"})->Wait(60000);
  ASSERT_EQ(classic.exitCode, 0) << classic.out << classic.err;
  EXPECT_NE(classic.out.find("Receive mode: classic"), std::string::npos) << classic.out;
  ExpectCarried(LoopbackAnalysis::Analyse(speech, Load(dir_ + "/classic.wav"), 0.0));
}

TEST_F(TarsioProgram, TwoCallsHearEachOtherAndReportConsistentTimes) {
  // A speaks the sample, B speaks it backwards, so each recording shows whom it heard.
  const AudioClip speech = Load(kSpeech);
  const AudioClip backwards(8000, {speech.Samples().rbegin(), speech.Samples().rend()});
  std::string error;
  ASSERT_TRUE(backwards.Save(dir_ + "/b-in.wav", &error)) << error;
  const uint16_t portA = UdpPortProbe::FindFreePair();
  uint16_t portB = portA;
  for (int i = 0; i < 20 && portB == portA; ++i) portB = UdpPortProbe::FindFreePair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  // B runs until it is interrupted, as a person ends a call with Ctrl-C.
  auto b = Start(
      {"call", "--local", std::to_string(portB), "--remote", "localhost:" + std::to_string(portA),
       "--capture", "file:" + dir_ + "/b-in.wav", "--playback", "file:" + dir_ + "/b-out.wav",
       "--rx-codec", "pcma", "--report", dir_ + "/b.json"},
      "b.reg");
  auto a = Start(
      {"call", "--local", std::to_string(portA), "--remote", "127.0.0.1:" + std::to_string(portB),
       "--capture", "file:" + kSpeech, "--playback", "file:" + dir_ + "/a-out.wav", "--duration",
       "3", "--report", dir_ + "/a.json", "--log", dir_ + "/a.log", "--tx-codec", "pcma"},
      "a.reg");
  const Result ra = a->Wait(20000);
  b->Signal(SIGINT);
  const Result rb = b->Wait(10000);
  ASSERT_EQ(ra.exitCode, 0) << ra.out << ra.err;
  ASSERT_EQ(rb.exitCode, 0) << rb.out << rb.err;
  EXPECT_NE(ra.out.find("tx G.711 ALaw"), std::string::npos) << ra.out;  // the status line

  const std::string ja = ReadAll(dir_ + "/a.json");
  const std::string jb = ReadAll(dir_ + "/b.json");
  const AudioClip aHeard = Load(dir_ + "/a-out.wav");
  const AudioClip bHeard = Load(dir_ + "/b-out.wav");
  for (const auto& [j, heard] : {std::pair{&ja, &aHeard}, std::pair{&jb, &bHeard}}) {
    SCOPED_TRACE(*j);
    const auto at = [j = j](const char* key) { return JsonNumber(*j, key); };
    // Times: the receive direction starts first; the first packet follows the first capture.
    const char* order[] = {"call_start", "playback_started", "capture_started",
                           "first_capture_buffer", "first_rtp_sent"};
    for (int k = 1; k < 5; ++k) EXPECT_LE(at(order[k - 1]), at(order[k])) << order[k];
    EXPECT_LT(at("first_rtp_sent") - at("first_capture_buffer"), 500);
    EXPECT_GT(at("first_rtp_received"), at("call_start"));
    EXPECT_LT(at("first_rtp_received"), at("call_end"));
    EXPECT_LE(at("playback_started"), at("first_playback_sample"));
    EXPECT_EQ(at("exit_code"), 0);
    // Totals: 20 ms capture buffers of 320 bytes; each voiced one becomes a 172-byte packet
    // (near-silent frames are not sent).
    const double buffers = at("wave_in") / 320.0;
    EXPECT_NEAR(buffers, (at("call_end") - at("capture_started")) / 20.0, 25.0);
    EXPECT_LE(at("rtp_sendto"), buffers * 172.0 + 172.0);
    EXPECT_GE(at("rtp_sendto"), 0.5 * buffers * 172.0);
    EXPECT_EQ(at("rtp_recvfrom"), 0);
    // The recording holds what was played from the first sample to the end (the device may
    // have taken a few buffers more than reached the file).
    EXPECT_NEAR(at("wave_out"), static_cast<double>(heard->Samples().size()) * 2.0, 12 * 320.0);
    EXPECT_NEAR(heard->Seconds() * 1000.0, at("call_end") - at("first_playback_sample"), 400.0);
  }
  EXPECT_NEAR(JsonNumber(ja, "call_end") - JsonNumber(ja, "call_start"), 3000, 1500);
  EXPECT_NE(ja.find("\"transmit\": \"G.711 ALaw\""), std::string::npos) << ja;
  EXPECT_NE(jb.find("\"rx_codec\": \"pcma\""), std::string::npos) << jb;

  // Each side's first two seconds are found in the other's recording, and with the sender's
  // first_capture_buffer the lag becomes a plausible mouth-to-ear time.
  const auto firstTwoSeconds = [](const AudioClip& c) {
    return AudioClip(8000, {c.Samples().begin(), c.Samples().begin() + 16000});
  };
  const auto offset = [](const std::string& to, const std::string& from) {
    return JsonNumber(to, "first_playback_sample") - JsonNumber(from, "first_capture_buffer");
  };
  ExpectCarried(LoopbackAnalysis::Analyse(firstTwoSeconds(speech), bHeard, offset(jb, ja)));
  ExpectCarried(LoopbackAnalysis::Analyse(firstTwoSeconds(backwards), aHeard, offset(ja, jb)));
  // The --log file holds the terminal's statistics report with the totals of the JSON report.
  const std::string log = ReadAll(dir_ + "/a.log");
  EXPECT_NE(log.find("*** estadisticas RTP ***"), std::string::npos);
  EXPECT_NE(log.find("RTP sendto:" + std::to_string(std::lround(JsonNumber(ja, "rtp_sendto")))),
            std::string::npos);
}

// Two programs over IPv6 loopback with SRTP: speech both ways, digits from A reported by B, and
// the wrong key on a third call refuses every packet instead of playing it.
TEST_F(TarsioProgram, AnSrtpCallOverIpv6CarriesSpeechAndDigits) {
  const std::string keyA = "inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
  const std::string keyB = "inline:HRwbGhkYFxYVFBMSERAPDg0MCwoJCAcGBQQDAgEA";
  const uint16_t portA = UdpPortProbe::FindFreePair();
  uint16_t portB = portA;
  for (int i = 0; i < 20 && portB == portA; ++i) portB = UdpPortProbe::FindFreePair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  const auto call = [&](uint16_t local, uint16_t remote, const std::string& name,
                        const std::string& ours, const std::string& theirs,
                        std::vector<std::string> extra) {
    std::vector<std::string> args = {"call",
                                     "--local",
                                     std::to_string(local),
                                     "--remote",
                                     "[::1]:" + std::to_string(remote),
                                     "--capture",
                                     "file:" + kSpeech,
                                     "--playback",
                                     "file:" + dir_ + "/" + name + ".wav",
                                     "--duration",
                                     "3",
                                     "--quiet",
                                     "--report",
                                     dir_ + "/" + name + ".json",
                                     "--srtp-key",
                                     ours,
                                     "--srtp-remote-key",
                                     theirs};
    args.insert(args.end(), extra.begin(), extra.end());
    return Start(args, name + ".reg");
  };
  {
    auto b = call(portB, portA, "b", keyB, keyA, {});
    auto a = call(portA, portB, "a", keyA, keyB, {"--dtmf", "47#", "--dtmf-ms", "120"});
    const Result ra = a->Wait(20000);
    const Result rb = b->Wait(20000);
    ASSERT_EQ(ra.exitCode, 0) << ra.err;
    ASSERT_EQ(rb.exitCode, 0) << rb.err;
    EXPECT_NE(rb.err.find("received digit 4 (120 ms)"), std::string::npos) << rb.err;
    for (const std::string& key : {keyA, keyB}) {
      EXPECT_EQ((ra.err + ra.out + rb.err + rb.out).find(key.substr(7, 12)), std::string::npos)
          << "key material printed";
    }
  }
  const std::string ja = ReadAll(dir_ + "/a.json");
  const std::string jb = ReadAll(dir_ + "/b.json");
  EXPECT_NE(ja.find("\"digits_sent\": \"47#\""), std::string::npos) << ja;
  EXPECT_NE(jb.find("\"digits_received\": [{\"digit\": \"4\", \"ms\": 120}, {\"digit\": \"7\", "
                    "\"ms\": 120}, {\"digit\": \"#\", \"ms\": 120}]"),
            std::string::npos)
      << jb;
  for (const std::string* j : {&ja, &jb}) {
    EXPECT_NE(j->find("\"srtp\": \"AES_CM_128_HMAC_SHA1_80\", \"srtp_refused\": 0"),
              std::string::npos)
        << *j;
    // A 3 s call carries about 150 packets; a slow (sanitized) start may cost a second of them.
    EXPECT_GT(JsonNumber(*j, "packets_received"), 50) << *j;
  }
  // Each side heard the speech (the file is the same both ways).
  const AudioClip speech = Load(kSpeech);
  const AudioClip heard = Load(dir_ + "/b.wav");
  const AudioClip firstTwo(8000, {speech.Samples().begin(), speech.Samples().begin() + 16000});
  ExpectCarried(LoopbackAnalysis::Analyse(
      firstTwo, heard,
      JsonNumber(jb, "first_playback_sample") - JsonNumber(ja, "first_capture_buffer")));

  // The far end protects with a key we do not expect: nothing is played, everything is counted.
  {
    auto b = call(portB, portA, "wrong-b", keyB, keyB, {});
    auto a = call(portA, portB, "wrong-a", keyA, keyB, {});
    EXPECT_EQ(a->Wait(20000).exitCode, 0);
    EXPECT_EQ(b->Wait(20000).exitCode, 0);
  }
  const std::string wrong = ReadAll(dir_ + "/wrong-b.json");
  EXPECT_EQ(JsonNumber(wrong, "packets_received"), 0) << wrong;
  EXPECT_GT(JsonNumber(wrong, "srtp_refused"), 50) << wrong;
}

// A plain IPv4 call with no extension option reports the digits the far end sends.
TEST_F(TarsioProgram, APlainCallReportsTheFarEndsDigits) {
  const uint16_t portA = UdpPortProbe::FindFreePair();
  uint16_t portB = portA;
  for (int i = 0; i < 20 && portB == portA; ++i) portB = UdpPortProbe::FindFreePair();
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  const auto call = [&](uint16_t local, uint16_t remote, const std::string& name,
                        std::vector<std::string> extra) {
    std::vector<std::string> args = {"call",
                                     "--local",
                                     std::to_string(local),
                                     "--remote",
                                     "127.0.0.1:" + std::to_string(remote),
                                     "--capture",
                                     "file:" + kSpeech,
                                     "--playback",
                                     "null",
                                     "--duration",
                                     "2.5",
                                     "--quiet",
                                     "--report",
                                     dir_ + "/" + name + ".json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Start(args, name + ".reg");
  };
  auto b = call(portB, portA, "b", {});
  auto a = call(portA, portB, "a", {"--dtmf", "9*", "--dtmf-ms", "80"});
  const Result ra = a->Wait(20000);
  const Result rb = b->Wait(20000);
  ASSERT_EQ(ra.exitCode, 0) << ra.err;
  ASSERT_EQ(rb.exitCode, 0) << rb.err;
  EXPECT_NE(rb.err.find("received digit 9 (80 ms)"), std::string::npos) << rb.err;
  const std::string jb = ReadAll(dir_ + "/b.json");
  EXPECT_NE(jb.find("\"digits_received\": [{\"digit\": \"9\", \"ms\": 80}, {\"digit\": \"*\", "
                    "\"ms\": 80}]"),
            std::string::npos)
      << jb;
}

// Each command's exit code and message: the device commands work on the null backend, and errors
// are clear and exit non-zero.
TEST_F(TarsioProgram, ErrorsAreClearAndExitNonZero) {
  // The port above an even port is taken: a call on it fails, and so does a call on the even
  // port, which needs the one above for RTCP.
  const uint16_t even = UdpPortProbe::FindFreePair();
  const int fd = BindUdp(static_cast<uint16_t>(even + 1));
  ASSERT_GE(fd, 0);
  const std::string taken = std::to_string(even + 1);
  const std::string free = std::to_string(UdpPortProbe::FindFreePair());
  const std::string missing = dir_ + "/missing.wav";
  std::ofstream(dir_ + "/not-a-wav.wav") << "this is text, not RIFF";
  // Arguments starting with "--" are a call's (to 127.0.0.1:9 for 1 s); exit code; message.
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"devices"}, 0, "capture 0: "},
      {{"test-devices"}, 0, "playback device: ok\ncapture device:  ok"},
      {{"--local", taken, "--capture", "null"}, 1, "local UDP port " + taken + " is in use"},
      {{"--local", std::to_string(even)}, 1, "port " + taken + " is in use (the call holds port"},
      {{"loopback", "--input", dir_ + "/not-a-wav.wav"}, 1, "cannot read input file"},
      {{"--local", free, "--capture", "file:" + missing}, 1, "cannot read input file"},
      {{"--local", free, "--play", missing, "--capture", "null"},
       1,
       "cannot play " + missing + ": the file is missing"},
      {{"--local", free, "--playback", "speakers"}, 2, "unknown playback device 'speakers'"},
      {{"--local", free, "--capture", "mic0"}, 2, "unknown capture device 'mic0'"},
      {{"devices", "--backend", "bogus"}, 2, "unknown sound backend 'bogus'"},
      {{"--local", free, "--remote", "300.1.2.3:4000"}, 2, "bad remote address '300.1.2.3'"},
      {{"--local", free, "--remote", "127.0.0.1:0"}, 2, "bad remote port"},
      {{"settings", "set", "LimitVolume", "maybe"}, 2, "is not true or false"},
      {{"settings", "get", "NoSuchThing"}, 1, "no such setting"},
      {{"loopback", "--receive", "fast"}, 2, "--receive: fast not in {low-latency,classic}"},
  };
  for (const auto& [callArgs, exitCode, message] : cases) {
    std::vector<std::string> args = callArgs;
    if (args.front().starts_with("--")) {
      args.insert(args.begin(), {"call", "--duration", "1"});
      if (std::find(args.begin(), args.end(), "--remote") == args.end())
        args.insert(args.end(), {"--remote", "127.0.0.1:9"});
    }
    SCOPED_TRACE(::testing::PrintToString(args));
    const Result r = Run(args);
    EXPECT_EQ(r.exitCode, exitCode) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(message), std::string::npos) << r.out << r.err;
  }
  ::close(fd);
}

TEST_F(TarsioProgram, SettingsAreReadChangedAndUsedByTheNextCall) {
  Result r = Run({"settings", "get", "TransmitTOS"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "184\n");
  EXPECT_NE(r.err.find("default"), std::string::npos);
  r = Run({"settings", "set", "TransmitTOS", "0x28"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "TransmitTOS = 40\n");
  r = Run({"settings", "get", "TransmitTOS"});
  EXPECT_EQ(r.out, "40\n");
  EXPECT_EQ(r.err, "");
  r = Run({"settings", "list"});
  EXPECT_NE(r.out.find("TransmitTOS                40"), std::string::npos) << r.out;

  // This test is the far end of the next call: it reads the type-of-service byte of a packet.
  const uint16_t farPort = UdpPortProbe::FindFreePair();
  const int fd = BindUdp(farPort);
  ASSERT_GE(fd, 0);
  const int on = 1;
  const timeval timeout{5, 0};
  ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof(on)), 0);
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)), 0);
  const std::string localPort = std::to_string(UdpPortProbe::FindFreePair());
  auto call =
      Start({"call", "--local", localPort, "--remote", "127.0.0.1:" + std::to_string(farPort),
             "--capture", "file:" + kSpeech, "--playback", "null", "--duration", "1", "--quiet"});
  uint8_t data[1500];
  iovec io{data, sizeof(data)};
  alignas(cmsghdr) char control[256];
  msghdr m{nullptr, 0, &io, 1, control, sizeof(control), 0};
  EXPECT_GE(::recvmsg(fd, &m, 0), 12);
  const cmsghdr* c = CMSG_FIRSTHDR(&m);
  ASSERT_TRUE(c != nullptr && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS);
  EXPECT_EQ(*CMSG_DATA(c), 0x28);
  EXPECT_EQ(call->Wait(15000).exitCode, 0);
  // The call recorded its local port.
  EXPECT_EQ(Run({"settings", "get", "transmitport"}).out, localPort + "\n");
  ::close(fd);
}

// --play hands the file to the engine's file play, which converts more than the host's own PCM
// reader takes: an A-law file and an IMA ADPCM file (22.05 kHz stereo) are heard by the far end
// of a call whose microphone is silent (silent frames are not sent, so every packet that arrives
// carries the file). A file the engine refuses fails the call with the engine's result.
TEST_F(TarsioProgram, PlaysAlawAndImaAdpcmFilesThatTheEngineConverts) {
  using testing::Bytes;
  const std::vector<float> tone8k = testing::Sine(440.0, 0.5, 8000, 8000, 1);
  Bytes alaw;
  for (float v : tone8k) alaw.push_back(G711Codec::EncodeALaw(static_cast<int16_t>(v * 32767)));
  const std::vector<float> tone22k = testing::Sine(440.0, 0.5, 22050, 22050, 2);
  std::vector<int16_t> pcm22k;
  for (float v : tone22k) pcm22k.push_back(static_cast<int16_t>(v * 32767));
  const testing::WavFormat ima = testing::ImaFormat(2, 22050, 1024);
  testing::TempDir files;
  const std::pair<std::string, std::string> plays[] = {
      {"A-law",
       files.Write("alaw.wav", testing::BuildWav(testing::LinearFormat(6, 1, 8000, 8), alaw))},
      {"IMA ADPCM", files.Write("ima.wav", testing::BuildWav(ima, testing::EncodeIma(
                                                                      pcm22k, 2, ima.blockAlign)))},
  };
  for (const auto& [name, path] : plays) {
    SCOPED_TRACE(name);
    const uint16_t farPort = UdpPortProbe::FindFreePair();
    const int fd = BindUdp(farPort);
    ASSERT_GE(fd, 0);
    const timeval timeout{0, 300000};
    ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)), 0);
    auto call = Start({"call", "--local", std::to_string(UdpPortProbe::FindFreePair()), "--remote",
                       "127.0.0.1:" + std::to_string(farPort), "--capture", "null", "--playback",
                       "null", "--play", path, "--duration", "2", "--quiet"});
    int packets = 0;
    double energy = 0.0;
    size_t samples = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    for (int quiet = 0; quiet < 4 && std::chrono::steady_clock::now() < deadline;) {
      uint8_t data[1500];
      const ssize_t n = ::recv(fd, data, sizeof(data), 0);
      if (n < 12) {
        quiet += packets > 0 ? 1 : 0;
        continue;
      }
      quiet = 0;
      ++packets;
      for (ssize_t i = 12; i < n; ++i) {
        const double v = G711Codec::DecodeULaw(data[i]) / 32768.0;
        energy += v * v;
        ++samples;
      }
    }
    const Result r = call->Wait(15000);
    ::close(fd);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_GE(packets, 40);  // 2 s of 20 ms frames is 100
    ASSERT_GT(samples, 0u);
    EXPECT_NEAR(std::sqrt(energy / samples), 0.5 / std::sqrt(2.0), 0.1);
  }

  // The engine's refusal is the call's error: a 1 Hz IMA ADPCM file.
  testing::WavFormat oneHertz = ima;
  oneHertz.rate = 1;
  const std::string refused =
      files.Write("1hz.wav", testing::BuildWav(oneHertz, Bytes(ima.blockAlign)));
  const Result r = Run({"call", "--local", std::to_string(UdpPortProbe::FindFreePair()), "--remote",
                        "127.0.0.1:9", "--capture", "null", "--playback", "null", "--play", refused,
                        "--duration", "1"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("cannot play " + refused + ": "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(result -10)"), std::string::npos) << r.err;
}

// Tuning values are stored only when the engine would read them as written.
TEST_F(TarsioProgram, SettingsRefuseNumbersTheEngineWouldMisread) {
  for (const char* text : {"0x1A", "inf", "nan", "1e999", "1e-400"}) {
    const Result r = Run({"settings", "set", "LimiterThreshold", text});
    EXPECT_EQ(r.exitCode, 2) << text << r.out << r.err;
    EXPECT_NE(r.err.find(std::string("'") + text + "'"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Run({"settings", "get", "LimiterThreshold"}).out, "-8.0\n");  // still the default
  Result r = Run({"settings", "set", "LimiterThreshold", "-6.5e0"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Run({"settings", "get", "LimiterThreshold"}).out, "-6.5e0\n");
}

}  // namespace
}  // namespace tarsio::host
