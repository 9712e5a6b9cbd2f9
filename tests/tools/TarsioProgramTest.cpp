// End-to-end tests of the tarsio program: the built binary runs real calls over loopback UDP with
// the file sound backend, each in a fresh temporary directory with its own settings file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ProgramRunner.h"
#include "tools/AudioClip.h"
#include "tools/DelayEstimator.h"
#include "tools/LoopbackAnalysis.h"
#include "tools/UdpPortProbe.h"

namespace tarsio::host {
namespace {

using testing::ProgramResult;
using testing::ProgramRunner;

const std::string kSpeech = std::string(TARSIO_DATA_DIR) + "/speech-8k.wav";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/// The number after "key": in a JSON text (first occurrence); -1 for null or missing.
double JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return -1;
  const char* p = json.c_str() + at + key.size() + 4;
  if (std::string_view(p, 4) == "null") return -1;
  return std::strtod(p, nullptr);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class TarsioProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarsio-host-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  /// A runner with its settings file and temp directory inside this test's directory.
  std::unique_ptr<ProgramRunner> Program(std::vector<std::string> args,
                                         const std::string& registry = "registry.reg") {
    auto runner = std::make_unique<ProgramRunner>(std::move(args), dir_);
    runner->Env("TARSIO_REGISTRY", dir_ + "/" + registry)
        .Env("TMPDIR", dir_)
        .Env("TARSIO_AUDIO", "null")
        .Env("TARSIO_NO_REALTIME", "1")
        .WorkingDirectory(dir_);
    return runner;
  }

  static AudioClip Load(const std::string& path) {
    AudioClip clip;
    std::string error;
    EXPECT_TRUE(AudioClip::Load(path, &clip, &error)) << error;
    return clip;
  }

  std::string dir_;
};

TEST_F(TarsioProgramTest, LoopbackOnItsDefaultsRecordsTheShippedSpeech) {
  const ProgramResult r = Program({"loopback"})->Run(60000);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string output = dir_ + "/tarsio-loopback.wav";
  EXPECT_NE(r.out.find("*** estadisticas RTP ***"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("RTP sendto:"), std::string::npos);
  EXPECT_NE(r.out.find("Mouth-to-ear delay: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Recording: " + output), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Listen to it"), std::string::npos);

  const AudioClip speech = Load(kSpeech);
  const AudioClip heard = Load(output);
  EXPECT_GT(heard.Seconds(), speech.Seconds());
  EXPECT_LT(heard.Seconds(), speech.Seconds() + 3.0);
  // Most of the speech is found in the recording, after it went in and within a few seconds.
  // (The receive side may close up pauses, so the delay is measured per half second.)
  const LoopbackResult found = LoopbackAnalysis::Analyse(speech, heard, 0.0);
  EXPECT_TRUE(found.Carried()) << found.windowDelaysMs.size() << " of " << found.speechWindows;
  EXPECT_GT(found.minDelayMs, 0.0);
  EXPECT_LT(found.maxDelayMs, 3000.0);
}

TEST_F(TarsioProgramTest, TwoCallsHearEachOtherAndReportConsistentTimes) {
  // A speaks the sample, B speaks it backwards, so each recording shows whom it heard.
  const AudioClip speech = Load(kSpeech);
  std::vector<int16_t> reversed(speech.Samples().rbegin(), speech.Samples().rend());
  const AudioClip backwards(8000, reversed);
  std::string error;
  ASSERT_TRUE(backwards.Save(dir_ + "/b-in.wav", &error)) << error;

  const uint16_t portA = UdpPortProbe::FindFreePair();
  uint16_t portB = UdpPortProbe::FindFreePair();
  for (int i = 0; i < 20 && (portB == portA || portB == portA + 2); ++i) {
    portB = UdpPortProbe::FindFreePair();
  }
  ASSERT_TRUE(portA != 0 && portB != 0 && portA != portB);
  auto a = Program(
      {"call", "--local", std::to_string(portA), "--remote", "127.0.0.1:" + std::to_string(portB),
       "--capture", "file:" + kSpeech, "--playback", "file:" + dir_ + "/a-out.wav", "--duration",
       "3", "--report", dir_ + "/a.json", "--log", dir_ + "/a.log", "--tx-codec", "pcma"},
      "a.reg");
  // B runs until it is interrupted, as a person ends a call with Ctrl-C.
  auto b = Program(
      {"call", "--local", std::to_string(portB), "--remote", "localhost:" + std::to_string(portA),
       "--capture", "file:" + dir_ + "/b-in.wav", "--playback", "file:" + dir_ + "/b-out.wav",
       "--rx-codec", "pcma", "--report", dir_ + "/b.json"},
      "b.reg");
  b->Start();
  a->Start();
  const ProgramResult ra = a->Wait(20000);
  b->Signal(SIGINT);
  const ProgramResult rb = b->Wait(10000);
  ASSERT_EQ(ra.exitCode, 0) << ra.out << ra.err;
  ASSERT_EQ(rb.exitCode, 0) << rb.out << rb.err;
  EXPECT_NE(ra.out.find("tx G.711 ALaw"), std::string::npos) << ra.out;  // the status line

  // Each recording carries the other side's speech: the first two seconds of what each side
  // said are found in the other side's recording.
  const AudioClip aHeard = Load(dir_ + "/a-out.wav");
  const AudioClip bHeard = Load(dir_ + "/b-out.wav");
  const auto firstTwoSeconds = [](const AudioClip& c) {
    return AudioClip(8000, std::vector<int16_t>(c.Samples().begin(), c.Samples().begin() + 16000));
  };
  const std::string ja = ReadAll(dir_ + "/a.json");
  const std::string jb = ReadAll(dir_ + "/b.json");
  ASSERT_FALSE(ja.empty());
  ASSERT_FALSE(jb.empty());
  for (const std::string* j : {&ja, &jb}) {
    const double start = JsonNumber(*j, "call_start");
    const double capture = JsonNumber(*j, "capture_started");
    const double playback = JsonNumber(*j, "playback_started");
    const double firstCapture = JsonNumber(*j, "first_capture_buffer");
    const double sent = JsonNumber(*j, "first_rtp_sent");
    const double received = JsonNumber(*j, "first_rtp_received");
    const double firstSample = JsonNumber(*j, "first_playback_sample");
    const double end = JsonNumber(*j, "call_end");
    EXPECT_LE(start, playback);
    EXPECT_LE(playback, capture);  // the receive direction starts first
    EXPECT_LE(capture, firstCapture);
    EXPECT_LE(firstCapture, sent);
    EXPECT_LT(sent - firstCapture, 500);
    EXPECT_GT(received, start);
    EXPECT_LE(playback, firstSample);
    EXPECT_LT(received, end);
    EXPECT_EQ(JsonNumber(*j, "exit_code"), 0);
    EXPECT_GE(Count(*j, "\"ratio\": "), 2u);
    // Totals: 20 ms frames of 320 captured bytes become 172-byte PCMA/PCMU packets.
    // Totals: 20 ms capture buffers of 320 bytes; each voiced one becomes a 172-byte packet
    // (near-silent frames are not sent), so sendto is at most waveIn * 172 / 320.
    const double sendto = JsonNumber(*j, "rtp_sendto");
    const double waveIn = JsonNumber(*j, "wave_in");
    const double waveOut = JsonNumber(*j, "wave_out");
    const double captureMs = end - capture;
    EXPECT_NEAR(waveIn / 320.0, captureMs / 20.0, 25.0) << *j;
    EXPECT_LE(sendto, waveIn / 320.0 * 172.0 + 172.0) << *j;
    EXPECT_GE(sendto, 0.5 * waveIn / 320.0 * 172.0) << *j;
    EXPECT_EQ(JsonNumber(*j, "rtp_recvfrom"), 0);
    EXPECT_GT(waveOut, 0);
  }
  EXPECT_NEAR(JsonNumber(ja, "call_end") - JsonNumber(ja, "call_start"), 3000, 1500);
  EXPECT_NE(ja.find("\"transmit\": \"G.711 ALaw\""), std::string::npos) << ja;
  EXPECT_NE(jb.find("\"rx_codec\": \"pcma\""), std::string::npos);

  // The recordings line up with the reports: the WAV holds what was played from
  // first_playback_sample to the end (the totals count buffers the device took, at most a few
  // buffers more than reached the file), and with the sender's first_capture_buffer the lag in
  // the recording becomes a plausible mouth-to-ear time.
  for (const auto& [json, clip] : {std::pair{&ja, &aHeard}, std::pair{&jb, &bHeard}}) {
    const double bytes = static_cast<double>(clip->Samples().size()) * 2.0;
    EXPECT_NEAR(JsonNumber(*json, "wave_out"), bytes, 12 * 320.0);
    const double span = JsonNumber(*json, "call_end") - JsonNumber(*json, "first_playback_sample");
    EXPECT_NEAR(clip->Seconds() * 1000.0, span, 400.0);
  }
  const LoopbackResult ab = LoopbackAnalysis::Analyse(
      firstTwoSeconds(speech), bHeard,
      JsonNumber(jb, "first_playback_sample") - JsonNumber(ja, "first_capture_buffer"));
  const LoopbackResult ba = LoopbackAnalysis::Analyse(
      firstTwoSeconds(backwards), aHeard,
      JsonNumber(ja, "first_playback_sample") - JsonNumber(jb, "first_capture_buffer"));
  for (const LoopbackResult* r : {&ab, &ba}) {
    EXPECT_TRUE(r->Carried()) << r->windowDelaysMs.size() << " of " << r->speechWindows;
    EXPECT_GT(r->minDelayMs, 0.0);
    EXPECT_LT(r->maxDelayMs, 3000.0);
  }

  const std::string log = ReadAll(dir_ + "/a.log");
  EXPECT_NE(log.find("*** estadisticas RTP ***"), std::string::npos);
  EXPECT_NE(
      log.find("RTP sendto:" + std::to_string(static_cast<long>(JsonNumber(ja, "rtp_sendto")))),
      std::string::npos);
}

TEST_F(TarsioProgramTest, ErrorsAreClearAndExitNonZero) {
  const uint16_t taken = UdpPortProbe::FindFreePair();
  ASSERT_NE(taken, 0);
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(taken);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const uint16_t free = UdpPortProbe::FindFreePair();
  std::ofstream(dir_ + "/not-a-wav.wav") << "this is text, not RIFF";

  const std::vector<std::string> call = {"call", "--remote", "127.0.0.1:9", "--duration", "1"};
  auto with = [&](std::vector<std::string> extra, std::vector<std::string> args = {}) {
    if (args.empty()) args = call;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  };
  const std::string freePort = std::to_string(free);
  const Case cases[] = {
      {with({"--local", std::to_string(taken), "--capture", "null", "--playback", "null"}), 1,
       "local UDP port " + std::to_string(taken) + " is in use"},
      {{"loopback", "--input", dir_ + "/missing.wav"}, 1, "cannot read input file"},
      {{"loopback", "--input", dir_ + "/not-a-wav.wav"}, 1, "cannot read input file"},
      {with({"--local", freePort, "--capture", "file:" + dir_ + "/missing.wav"}), 1,
       "cannot read input file"},
      {with({"--local", freePort, "--play", dir_ + "/missing.wav", "--capture", "null"}), 1,
       "cannot read file to play"},
      {with({"--local", freePort, "--playback", "speakers"}), 2,
       "unknown playback device 'speakers'"},
      {with({"--local", freePort, "--capture", "mic0"}), 2, "unknown capture device 'mic0'"},
      {{"call", "--local", freePort, "--remote", "300.1.2.3:4000"}, 2, "bad remote address"},
      {{"call", "--local", freePort, "--remote", "127.0.0.1"}, 2, "bad remote address"},
      {{"call", "--local", freePort, "--remote", "127.0.0.1:0"}, 2, "bad remote port"},
      {{"call", "--remote", "127.0.0.1:4000"}, 2, "--local is required"},
      {{"call", "--local", freePort, "--remote", "127.0.0.1:4000", "--tx-codec", "g729"},
       2,
       "--tx-codec"},
      {{"devices", "--backend", "bogus"}, 2, "unknown sound backend 'bogus'"},
      {{"settings", "set", "NoSuchThing", "1"}, 2, "no such setting"},
      {{"settings", "set", "LimitVolume", "maybe"}, 2, "is not true or false"},
      {{"settings", "get", "NoSuchThing"}, 1, "no such setting"},
      {{"dance"}, 2, "subcommand"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    const ProgramResult r = Program(c.args)->Run(20000);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  ::close(fd);

  // Every command explains itself.
  const std::vector<std::vector<std::string>> helps = {{"--help"},
                                                       {"call", "--help"},
                                                       {"loopback", "--help"},
                                                       {"devices", "--help"},
                                                       {"test-devices", "--help"},
                                                       {"settings", "--help"},
                                                       {"settings", "set", "--help"}};
  for (const auto& args : helps) {
    const ProgramResult r = Program(args)->Run(10000);
    EXPECT_EQ(r.exitCode, 0) << args.front();
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << r.out;
  }
  EXPECT_NE(Program({"call", "--help"})->Run(10000).out.find("--speaker-volume"),
            std::string::npos);
}

/// The type-of-service byte of the first RTP packet that arrives on fd within timeoutMs; -1 if
/// none.
int ReceiveTos(int fd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    uint8_t data[1500];
    iovec io{data, sizeof(data)};
    alignas(cmsghdr) char control[256];
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof(control);
    if (::recvmsg(fd, &m, 0) < 12) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) return *CMSG_DATA(c);
    }
  }
  return -1;
}

TEST_F(TarsioProgramTest, SettingsAreReadChangedAndUsedByTheNextCall) {
  // This test is the far end: it reads the IP type-of-service byte of the packets it gets.
  const uint16_t farPort = UdpPortProbe::FindFreePair();
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(farPort);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const int on = 1;
  ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof(on)), 0);

  auto call = [&](uint16_t localPort) {
    // Packets of an earlier call still queued here must not be taken for this call's.
    uint8_t stale[1500];
    while (::recv(fd, stale, sizeof(stale), MSG_DONTWAIT) > 0) {
    }
    auto program = Program({"call", "--local", std::to_string(localPort), "--remote",
                            "127.0.0.1:" + std::to_string(farPort), "--capture", "file:" + kSpeech,
                            "--playback", "null", "--duration", "1.5", "--quiet"});
    program->Start();
    const int tos = ReceiveTos(fd, 5000);
    const ProgramResult r = program->Wait(15000);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    return tos;
  };

  ProgramResult get = Program({"settings", "get", "TransmitTOS"})->Run(10000);
  EXPECT_EQ(get.exitCode, 0);
  EXPECT_EQ(get.out, "184\n");
  EXPECT_NE(get.err.find("default"), std::string::npos);

  const uint16_t first = UdpPortProbe::FindFreePair();
  EXPECT_EQ(call(first), 0xB8);
  // The call recorded its port and read its defaults into the file.
  get = Program({"settings", "get", "transmitport"})->Run(10000);
  EXPECT_EQ(get.out, std::to_string(first) + "\n") << get.err;
  EXPECT_NE(ReadAll(dir_ + "/registry.reg").find("\"TransmitTOS\"=dword:000000b8"),
            std::string::npos);

  const ProgramResult set = Program({"settings", "set", "TransmitTOS", "0x28"})->Run(10000);
  EXPECT_EQ(set.exitCode, 0) << set.err;
  EXPECT_EQ(set.out, "TransmitTOS = 40\n");
  get = Program({"settings", "get", "TransmitTOS"})->Run(10000);
  EXPECT_EQ(get.out, "40\n");
  EXPECT_EQ(get.err, "");
  const ProgramResult list = Program({"settings", "list"})->Run(10000);
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.out.find("TransmitTOS                40"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("LimitVolume                true"), std::string::npos) << list.out;

  EXPECT_EQ(call(UdpPortProbe::FindFreePair()), 0x28);
  ::close(fd);
}

TEST_F(TarsioProgramTest, DevicesAndDeviceTestsOnTheNullBackend) {
  const ProgramResult list = Program({"devices"})->Run(10000);
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_NE(list.out.find("backend: null"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("capture 0: "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("playback 0: "), std::string::npos) << list.out;
  const ProgramResult test = Program({"test-devices"})->Run(15000);
  EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
  EXPECT_NE(test.out.find("playback device: ok"), std::string::npos) << test.out;
  EXPECT_NE(test.out.find("capture device:  ok"), std::string::npos) << test.out;
}

}  // namespace
}  // namespace tarsio::host
