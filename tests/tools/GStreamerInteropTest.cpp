// Interoperation of the tarsio program with a third-party RTP stack: GStreamer (gst-launch-1.0 and
// the gst_dtmf_peer and gst_rtcp_peer helpers) as the far end of real calls over loopback UDP.
// SRTP both ways, with forged and replayed packets that the program must refuse; RFC 4733 digits
// both ways; RTCP reports both ways with rtpbin.
//
// Where GStreamer or one of its elements is missing, the tests say skipped and why.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "support/ChildProgram.h"
#include "support/WavTestFiles.h"
#include "tools/AudioClip.h"
#include "tools/EpochClock.h"
#include "tools/LoopbackAnalysis.h"
#include "tools/UdpPortProbe.h"

namespace tarsio::host {
namespace {

using testing::ChildProgram;
using testing::JsonNumber;
using testing::ProgramResult;
using testing::ReadFileText;

const std::string kSpeech = std::string(TARSIO_DATA_DIR) + "/speech-8k.wav";

// SRTP master key and salt (30 bytes) as GStreamer's srtpenc/srtpdec take them (hex) and as the
// program takes them (base64 "inline:", as in an SDP crypto line).
const std::string kGstKeyHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d";
const std::string kGstKeyInline = "inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
const std::string kTarsioKeyHex = "1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100";
const std::string kTarsioKeyInline = "inline:HRwbGhkYFxYVFBMSERAPDg0MCwoJCAcGBQQDAgEA";

constexpr int kEventPayloadType = 101;

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

/// Whether some socket is bound to the UDP port, as the kernel lists them: a peer that binds a
/// port of its own is ready to receive once it appears there.
bool UdpPortBound(uint16_t port) {
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the column titles
    while (std::getline(file, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;  // "0100007F:9C40": address, then the port in hex
      const size_t colon = local.rfind(':');
      if (colon != std::string::npos &&
          std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) {
        return true;
      }
    }
  }
  return false;
}

/// Polls the condition every 10 ms for at most timeoutMs; whether it came true.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

/// The words of a gst-launch-1.0 command line (it joins its arguments with spaces and parses the
/// text itself, so splitting at the spaces loses nothing).
std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

/// A UDP relay on the loopback address of one family, between a far end and the program under
/// test: a thread reads each datagram that arrives on the relay's port and hands it to the test's
/// function, which sends it on (or not, or changed, or twice) with Send.
///
/// Threading: the function runs on the relay's thread; what it records may be read by the test
/// after Stop.
class UdpRelay {
 public:
  using Handler = std::function<void(UdpRelay& relay, std::vector<uint8_t>& datagram)>;

  UdpRelay(int family, Handler handler) : family_(family), handler_(std::move(handler)) {
    fd_ = ::socket(family, SOCK_DGRAM, 0);
    sockaddr_storage address = Loopback(0);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), Length()) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~UdpRelay() {
    Stop();
    if (fd_ >= 0) ::close(fd_);
  }

  /// The relay's port on the loopback address; 0 when it could not be opened.
  uint16_t Port() const { return port_; }
  /// Sends a datagram from the relay's port to port on the loopback address.
  void Send(uint16_t port, const std::vector<uint8_t>& datagram) {
    const sockaddr_storage to = Loopback(port);
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             Length());
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  sockaddr_storage Loopback(uint16_t port) const {
    sockaddr_storage s{};
    if (family_ == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&s);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      a->sin6_port = htons(port);
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&s);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a->sin_port = htons(port);
    }
    return s;
  }
  socklen_t Length() const {
    return family_ == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  }
  void Run() {
    std::vector<uint8_t> buffer(2048);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n <= 0) continue;
      std::vector<uint8_t> datagram(buffer.begin(), buffer.begin() + n);
      handler_(*this, datagram);
    }
  }

  const int family_;
  Handler handler_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

/// RFC 4733 events as they went over the wire, in order of their first packet: each event's
/// number and its final duration (from its first end packet) in ms.
struct WireEvents {
  std::vector<std::pair<int, int>> ended;  // {event, ms}
  std::map<uint32_t, bool> seen;           // by timestamp: whether its end has come
  int packets = 0;

  void OnPacket(const std::vector<uint8_t>& d) {
    if (d.size() < 16 || (d[1] & 0x7F) != kEventPayloadType) return;
    ++packets;
    const size_t header = 12 + 4 * (d[0] & 0x0F);
    if (d.size() < header + 4) return;
    const uint32_t timestamp = Read32(&d[4]);
    const bool end = (d[header + 1] & 0x80) != 0;
    const int duration = (d[header + 2] << 8) | d[header + 3];
    if (end && !seen[timestamp]) ended.emplace_back(d[header], duration / 8);
    if (end) seen[timestamp] = true;
  }
};

class GStreamerInterop : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProgram> Tarsio(std::vector<std::string> args) {
    return testing::StartTarsio(TARSIO_BINARY, dir_, std::move(args), "tarsio.reg");
  }
  /// gst-launch-1.0 with the options and pipeline in text.
  std::unique_ptr<ChildProgram> Gst(const std::string& text) {
    std::vector<std::string> args = Words(text);
    args.insert(args.begin(), "gst-launch-1.0");
    return std::make_unique<ChildProgram>(std::move(args), dir_);
  }
  /// Why GStreamer cannot be the far end here ("" when it can): gst-launch-1.0 and
  /// gst-inspect-1.0 must run, and each element must exist.
  std::string GStreamerMissing(const std::vector<std::string>& elements) {
    const ProgramResult version = testing::RunProgram({"gst-launch-1.0", "--version"}, dir_, 10000);
    if (version.exitCode != 0) {
      return "gst-launch-1.0 does not run here (Debian: gstreamer1.0-tools)";
    }
    for (const std::string& element : elements) {
      const int code =
          testing::RunProgram({"gst-inspect-1.0", "--exists", element}, dir_, 10000).exitCode;
      if (code != 0) {
        return "GStreamer has no element " + element +
               " (Debian: gstreamer1.0-plugins-base, -good and -bad hold those of these tests)";
      }
    }
    return "";
  }
  static AudioClip Load(const std::string& path) {
    AudioClip clip;
    std::string error;
    EXPECT_TRUE(AudioClip::Load(path, &clip, &error)) << error;
    return clip;
  }
  static double Rms(const AudioClip& clip) {
    return testing::MeasureTone(clip.Samples(), clip.SampleRate()).rms;
  }
  /// Most of the speech is found in the recording, delayed by under 3 s.
  static void ExpectCarried(const LoopbackResult& r) {
    EXPECT_TRUE(r.Carried()) << r.windowDelaysMs.size() << " of " << r.speechWindows;
    EXPECT_GT(r.minDelayMs, 0.0);
    EXPECT_LT(r.maxDelayMs, 3000.0);
  }
  static uint16_t FreePort() { return UdpPortProbe::FindFreePair(); }

  testing::TempDir tmp_;
  const std::string dir_ = tmp_.Path();
};

#define SKIP_WITHOUT_GSTREAMER(...)                              \
  do {                                                           \
    const std::string missing = GStreamerMissing({__VA_ARGS__}); \
    if (!missing.empty()) GTEST_SKIP() << missing;               \
  } while (false)

// GStreamer encodes the shipped speech as PCMU and protects it with srtpenc; the program plays it.
// On the way, the relay adds forgeries: a copy of a packet with one payload bit flipped (sent
// before the real one) and an earlier packet sent again. The program refuses exactly those and
// plays the real packets.
TEST_F(GStreamerInterop, SrtpFromGStreamerIsPlayedAndForgeriesAreRefused) {
  SKIP_WITHOUT_GSTREAMER("filesrc", "wavparse", "audioconvert", "audioresample", "mulawenc",
                         "rtppcmupay", "srtpenc", "udpsink");
  const uint16_t tarsioPort = FreePort();
  ASSERT_NE(tarsioPort, 0);
  int64_t firstMs = 0;
  int datagrams = 0, forged = 0, replayed = 0;
  std::vector<std::vector<uint8_t>> sent;
  UdpRelay relay(AF_INET, [&](UdpRelay& r, std::vector<uint8_t>& d) {
    if (datagrams++ == 0) firstMs = EpochMs();
    const int i = datagrams;
    // Well inside the call: from half a second to 2.5 s after GStreamer's first packet.
    const bool forge = i >= 25 && i < 125;
    if (forge && i % 10 == 5 && d.size() > 20) {
      std::vector<uint8_t> tampered = d;
      tampered[16] ^= 0x01;  // in the encrypted payload: the authentication tag no longer fits
      r.Send(tarsioPort, tampered);
      ++forged;
    }
    r.Send(tarsioPort, d);
    sent.push_back(d);
    if (forge && i % 10 == 0) {
      r.Send(tarsioPort, sent[sent.size() - 4]);  // three packets back, already played
      ++replayed;
    }
  });
  ASSERT_NE(relay.Port(), 0);

  auto tarsio = Tarsio({"call", "--local", std::to_string(tarsioPort), "--remote", "127.0.0.1:9",
                        "--capture", "null", "--playback", "file:" + dir_ + "/heard.wav",
                        "--duration", "5", "--quiet", "--report", dir_ + "/tarsio.json",
                        "--srtp-key", kTarsioKeyInline, "--srtp-remote-key", kGstKeyInline});
  auto gst = Gst("-q filesrc location=" + kSpeech +
                 " ! wavparse ! audioconvert ! audioresample ! audio/x-raw,rate=8000,channels=1"
                 " ! mulawenc ! rtppcmupay min-ptime=20000000 max-ptime=20000000"
                 " ! srtpenc key=" +
                 kGstKeyHex + " ! udpsink host=127.0.0.1 port=" + std::to_string(relay.Port()));
  const ProgramResult t = tarsio->Wait(20000);
  const ProgramResult g = gst->Wait(15000);
  relay.Stop();
  ASSERT_EQ(t.exitCode, 0) << t.out << t.err;
  ASSERT_EQ(g.exitCode, 0) << g.out << g.err;

  const std::string json = ReadFileText(dir_ + "/tarsio.json");
  SCOPED_TRACE(json);
  EXPECT_NE(json.find("\"srtp\": \"AES_CM_128_HMAC_SHA1_80\""), std::string::npos);
  EXPECT_EQ(forged, 10);
  EXPECT_EQ(replayed, 10);
  EXPECT_EQ(JsonNumber(json, "srtp_refused"), forged + replayed);
  EXPECT_GT(JsonNumber(json, "packets_received"), 100);

  // The program played the speech (GStreamer's first packet carries the file's first 20 ms).
  const AudioClip speech = Load(kSpeech);
  const AudioClip heard = Load(dir_ + "/heard.wav");
  ExpectCarried(LoopbackAnalysis::Analyse(speech, heard,
                                          JsonNumber(json, "first_playback_sample") - firstMs));
}

// GStreamer protects with a key the program does not expect: nothing is played, every packet is
// counted as refused.
TEST_F(GStreamerInterop, SrtpFromGStreamerWithTheWrongKeyIsRefused) {
  SKIP_WITHOUT_GSTREAMER("audiotestsrc", "mulawenc", "rtppcmupay", "srtpenc", "udpsink");
  const uint16_t tarsioPort = FreePort();
  ASSERT_NE(tarsioPort, 0);
  auto tarsio = Tarsio({"call", "--local", std::to_string(tarsioPort), "--remote", "127.0.0.1:9",
                        "--capture", "null", "--playback", "file:" + dir_ + "/heard.wav",
                        "--duration", "4", "--quiet", "--report", dir_ + "/tarsio.json",
                        "--srtp-key", kTarsioKeyInline, "--srtp-remote-key", kGstKeyInline});
  // 150 packets of 20 ms (3 s), protected with the program's own key instead of GStreamer's.
  auto gst =
      Gst("-q audiotestsrc is-live=true wave=sine freq=440 num-buffers=150 samplesperbuffer=160"
          " ! audio/x-raw,rate=8000,channels=1 ! mulawenc"
          " ! rtppcmupay min-ptime=20000000 max-ptime=20000000 ! srtpenc key=" +
          kTarsioKeyHex + " ! udpsink host=127.0.0.1 port=" + std::to_string(tarsioPort));
  const ProgramResult t = tarsio->Wait(20000);
  const ProgramResult g = gst->Wait(15000);
  ASSERT_EQ(t.exitCode, 0) << t.out << t.err;
  ASSERT_EQ(g.exitCode, 0) << g.out << g.err;
  const std::string json = ReadFileText(dir_ + "/tarsio.json");
  EXPECT_EQ(JsonNumber(json, "packets_received"), 0) << json;
  EXPECT_GT(JsonNumber(json, "srtp_refused"), 100) << json;
  EXPECT_LT(Rms(Load(dir_ + "/heard.wav")), 0.001) << "something was played";
}

// The program protects the shipped speech; GStreamer's srtpdec decodes it into a WAV file. srtpdec
// needs the sender's SSRC before the first packet: the relay learns it from the program's first
// datagram, then GStreamer starts with it and the relay forwards from the moment GStreamer
// listens.
TEST_F(GStreamerInterop, SrtpFromTarsioIsDecodedByGStreamer) {
  SKIP_WITHOUT_GSTREAMER("udpsrc", "srtpdec", "rtppcmudepay", "mulawdec", "audiorate", "wavenc",
                         "filesink");
  const uint16_t tarsioPort = FreePort();
  const uint16_t gstPort = FreePort();
  ASSERT_TRUE(tarsioPort != 0 && gstPort != 0 && tarsioPort != gstPort);
  std::mutex mutex;
  std::optional<uint32_t> ssrc;
  std::atomic<bool> forward{false};
  int64_t firstMs = 0, lastMs = 0;
  int forwarded = 0;
  UdpRelay relay(AF_INET, [&](UdpRelay& r, std::vector<uint8_t>& d) {
    if (d.size() < 12) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!ssrc) ssrc = Read32(&d[8]);
    }
    if (!forward) return;
    lastMs = EpochMs();
    if (forwarded++ == 0) firstMs = lastMs;
    r.Send(gstPort, d);
  });
  ASSERT_NE(relay.Port(), 0);

  auto tarsio =
      Tarsio({"call", "--local", std::to_string(tarsioPort), "--remote",
              "127.0.0.1:" + std::to_string(relay.Port()), "--capture", "file:" + kSpeech,
              "--playback", "null", "--duration", "5", "--quiet", "--report", dir_ + "/tarsio.json",
              "--srtp-key", kTarsioKeyInline, "--srtp-remote-key", kGstKeyInline});
  const auto senderSsrc = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return ssrc;
  };
  ASSERT_TRUE(WaitFor([&] { return senderSsrc().has_value(); }, 5000))
      << "no packet from the program";
  const std::string wav = dir_ + "/gst.wav";
  // audiorate fills the pauses the program does not send (silent frames) with silence, from the
  // arrival times, so the file keeps the call's timeline from its first packet on.
  auto gst = Gst("-e udpsrc address=127.0.0.1 port=" + std::to_string(gstPort) +
                 " caps=application/x-srtp,media=audio,clock-rate=8000,encoding-name=PCMU,"
                 "payload=0,ssrc=(uint)" +
                 std::to_string(*senderSsrc()) + ",srtp-key=(buffer)" + kTarsioKeyHex +
                 ",srtp-cipher=aes-128-icm,srtp-auth=hmac-sha1-80,"
                 "srtcp-cipher=aes-128-icm,srtcp-auth=hmac-sha1-80"
                 " ! srtpdec ! rtppcmudepay ! mulawdec ! audiorate skip-to-first=true"
                 " ! wavenc ! filesink location=" +
                 wav);
  ASSERT_TRUE(WaitFor([&] { return UdpPortBound(gstPort); }, 5000))
      << "gst-launch-1.0 does not listen: " << gst->Wait(0).err;
  forward = true;
  const ProgramResult t = tarsio->Wait(20000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  relay.Stop();
  gst->Signal(SIGINT);  // -e: an end of stream, so that wavenc completes the file
  const ProgramResult g = gst->Wait(10000);
  ASSERT_EQ(t.exitCode, 0) << t.out << t.err;
  ASSERT_EQ(g.exitCode, 0) << g.out << g.err;
  EXPECT_EQ(g.out.find("WARNING"), std::string::npos) << g.out;  // srtpdec refused nothing

  const std::string json = ReadFileText(dir_ + "/tarsio.json");
  SCOPED_TRACE(json);
  EXPECT_GT(forwarded, 100);
  const AudioClip heard = Load(wav);
  EXPECT_EQ(heard.SampleRate(), 8000u);
  // From the first forwarded packet to the end of the last, each holding 20 ms.
  EXPECT_NEAR(heard.Seconds(), (lastMs - firstMs + 20) / 1000.0, 0.3);
  EXPECT_GT(heard.Seconds(), 3.0);
  EXPECT_GT(Rms(heard), 0.02) << "near silence";
  // The speech is there, in its place: GStreamer's first sample is the first forwarded packet's,
  // which left the program a few milliseconds after it was captured.
  const LoopbackResult found = LoopbackAnalysis::Analyse(
      Load(kSpeech), heard, firstMs - JsonNumber(json, "first_capture_buffer"));
  EXPECT_TRUE(found.Carried()) << found.windowDelaysMs.size() << " of " << found.speechWindows;
  EXPECT_GT(found.minDelayMs, -60.0);
  EXPECT_LT(found.maxDelayMs, 300.0);
}

// The program keys "1234#" over IPv6 while it sends speech on the same port; GStreamer's
// rtpdtmfdepay posts one dtmf-event message per digit, in order, and its tones last as long as
// the program said (5 x 120 ms). The depayloader drops the PCMU packets itself (their payload is
// not 4 bytes), with a warning each.
TEST_F(GStreamerInterop, DigitsFromTarsioAreEventsForGStreamer) {
  SKIP_WITHOUT_GSTREAMER("udpsrc", "rtpdtmfdepay", "wavenc", "filesink");
  const uint16_t tarsioPort = FreePort();
  const uint16_t gstPort = FreePort();
  ASSERT_TRUE(tarsioPort != 0 && gstPort != 0 && tarsioPort != gstPort);
  const std::string tones = dir_ + "/tones.wav";
  auto gst = Gst("-m -e udpsrc address=::1 port=" + std::to_string(gstPort) +
                 " caps=application/x-rtp,media=audio,clock-rate=8000,"
                 "encoding-name=TELEPHONE-EVENT,payload=101"
                 " ! rtpdtmfdepay ! wavenc ! filesink location=" +
                 tones);
  ASSERT_TRUE(WaitFor([&] { return UdpPortBound(gstPort); }, 5000))
      << "gst-launch-1.0 does not listen: " << gst->Wait(0).err;
  auto tarsio = Tarsio({"call", "--local", std::to_string(tarsioPort), "--remote",
                        "[::1]:" + std::to_string(gstPort), "--capture", "file:" + kSpeech,
                        "--playback", "null", "--duration", "4", "--quiet", "--report",
                        dir_ + "/tarsio.json", "--dtmf", "1234#", "--dtmf-ms", "120"});
  const ProgramResult t = tarsio->Wait(20000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  gst->Signal(SIGINT);
  const ProgramResult g = gst->Wait(10000);
  ASSERT_EQ(t.exitCode, 0) << t.out << t.err;
  ASSERT_EQ(g.exitCode, 0) << g.out << g.err;
  EXPECT_NE(ReadFileText(dir_ + "/tarsio.json").find("\"digits_sent\": \"1234#\""),
            std::string::npos);

  // Got message #81 from element "rtpdtmfdepay0" (element): dtmf-event, number=(int)1, ...
  const std::regex message(R"(\(element\): dtmf-event, number=\(int\)(\d+))");
  std::vector<int> numbers;
  for (std::sregex_iterator m(g.out.begin(), g.out.end(), message), end; m != end; ++m) {
    numbers.push_back(std::stoi((*m)[1]));
  }
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 11})) << g.out;  // '#' is event 11
  const AudioClip heard = Load(tones);
  EXPECT_NEAR(heard.Seconds(), 5 * 0.120, 0.045);
  EXPECT_GT(Rms(heard), 0.05);
}

// GStreamer sends a sine as PCMU and keys "1234#" with rtpdtmfsrc through rtpdtmfmux (the usual
// GStreamer phone; it goes on sending audio packets between the event's), over IPv6. The program
// reports each digit with the duration that went over the wire, which the relay reads on the way
// (rtpdtmfsrc rounds a 300 ms press up to whole 40 ms packets, and counts the first one).
TEST_F(GStreamerInterop, DigitsFromGStreamerAreReportedByTarsio) {
#ifndef TARSIO_GST_DTMF_PEER
  GTEST_SKIP() << "gst_dtmf_peer was not built (GStreamer's development files were missing: "
                  "Debian libgstreamer1.0-dev)";
#else
  SKIP_WITHOUT_GSTREAMER("audiotestsrc", "mulawenc", "rtppcmupay", "rtpdtmfsrc", "rtpdtmfmux",
                         "udpsink");
  const uint16_t tarsioPort = FreePort();
  ASSERT_NE(tarsioPort, 0);
  WireEvents wire;
  UdpRelay relay(AF_INET6, [&](UdpRelay& r, std::vector<uint8_t>& d) {
    wire.OnPacket(d);
    r.Send(tarsioPort, d);
  });
  ASSERT_NE(relay.Port(), 0);
  auto tarsio = Tarsio({"call", "--local", std::to_string(tarsioPort), "--remote", "[::1]:9",
                        "--capture", "null", "--playback", "null", "--duration", "7", "--quiet",
                        "--report", dir_ + "/tarsio.json"});
  // udpsink sync=false: rtpdtmfsrc and audiotestsrc pace themselves, while a synchronising sink
  // can hold the mux, and the events with it, behind a buffer stamped ahead.
  std::vector<std::string> args = {TARSIO_GST_DTMF_PEER, "1234#", "300"};
  for (const std::string& word :
       Words("audiotestsrc is-live=true wave=sine freq=440 volume=0.3"
             " ! audio/x-raw,rate=8000,channels=1 ! mulawenc"
             " ! rtppcmupay min-ptime=20000000 max-ptime=20000000"
             " ! application/x-rtp,media=audio,clock-rate=8000,payload=0 ! mux.sink_0"
             " rtpdtmfsrc name=dtmf pt=101 packet-redundancy=3"
             " ! application/x-rtp,payload=101,clock-rate=8000 ! mux.priority_sink_0"
             " rtpdtmfmux name=mux ! udpsink sync=false host=::1 port=" +
             std::to_string(relay.Port()))) {
    args.push_back(word);
  }
  const ProgramResult peer = ChildProgram(args, dir_).Wait(15000);
  const ProgramResult t = tarsio->Wait(20000);
  relay.Stop();
  ASSERT_EQ(peer.exitCode, 0) << peer.out << peer.err;
  ASSERT_EQ(t.exitCode, 0) << t.out << t.err;
  EXPECT_EQ(peer.out, "sent digit 1\nsent digit 2\nsent digit 3\nsent digit 4\nsent digit #\n");

  std::string digits, expected;
  for (const auto& [event, ms] : wire.ended) {
    const char digit = event <= 9 ? static_cast<char>('0' + event) : event == 11 ? '#' : '?';
    digits += digit;
    expected += std::string(expected.empty() ? "" : ", ") + "{\"digit\": \"" + digit +
                "\", \"ms\": " + std::to_string(ms) + "}";
    EXPECT_GE(ms, 300);
    EXPECT_LE(ms, 440);
  }
  ASSERT_EQ(digits, "1234#") << wire.packets << " event packets";
  const std::string json = ReadFileText(dir_ + "/tarsio.json");
  EXPECT_NE(json.find("\"digits_received\": [" + expected + "]"), std::string::npos)
      << expected << "\n"
      << json;
  // The sine before, between and after the digits.
  EXPECT_GT(JsonNumber(json, "packets_received"), 60) << json;
#endif
}

// RTCP both ways with GStreamer's rtpbin, in one call over IPv4: each side sends PCMU and RTCP on
// its RTP port + 1. rtpbin (run by gst_rtcp_peer, which has it report about every half second) and
// the program each take the other's sender reports, receiver report blocks, CNAME and, from the
// program at the end, BYE. Both measure the round trip from the other's LSR/DLSR echo.
TEST_F(GStreamerInterop, RtcpReportsAreAcceptedEachWay) {
#ifndef TARSIO_GST_RTCP_PEER
  GTEST_SKIP() << "gst_rtcp_peer was not built (GStreamer's development files were missing: "
                  "Debian libgstreamer1.0-dev)";
#else
  SKIP_WITHOUT_GSTREAMER("rtpbin", "audiotestsrc", "mulawenc", "rtppcmupay", "udpsink", "udpsrc",
                         "rtppcmudepay", "fakesink");
  const uint16_t tarsioPort = FreePort();
  const uint16_t gstPort = FreePort();
  ASSERT_TRUE(tarsioPort != 0 && gstPort != 0 && tarsioPort != gstPort);
  // PCMU to the program's RTP port and reports to the next one (the reports' sink neither waits
  // for the clock nor prerolls, as in GStreamer's rtpbin examples); the program's RTP and reports
  // arrive on GStreamer's pair.
  const std::string pipeline =
      "rtpbin name=rtpbin sdes=application/x-rtp-source-sdes,cname=(string)gstreamer.peer"
      " audiotestsrc is-live=true wave=sine freq=440 volume=0.3"
      " ! audio/x-raw,rate=8000,channels=1 ! mulawenc"
      " ! rtppcmupay min-ptime=20000000 max-ptime=20000000 ! rtpbin.send_rtp_sink_0"
      " rtpbin.send_rtp_src_0 ! udpsink host=127.0.0.1 port=" +
      std::to_string(tarsioPort) +
      " rtpbin.send_rtcp_src_0 ! udpsink sync=false async=false host=127.0.0.1 port=" +
      std::to_string(tarsioPort + 1) + " udpsrc address=127.0.0.1 port=" + std::to_string(gstPort) +
      " caps=application/x-rtp,media=audio,clock-rate=8000,encoding-name=PCMU,payload=0"
      " ! rtpbin.recv_rtp_sink_0 rtpbin. ! rtppcmudepay ! fakesink"
      " udpsrc address=127.0.0.1 port=" +
      std::to_string(gstPort + 1) + " ! rtpbin.recv_rtcp_sink_0";
  std::vector<std::string> args = Words(pipeline);
  args.insert(args.begin(), {TARSIO_GST_RTCP_PEER, "15"});
  ChildProgram peer(args, dir_);
  ASSERT_TRUE(WaitFor([&] { return UdpPortBound(gstPort) && UdpPortBound(gstPort + 1); }, 5000))
      << "gst_rtcp_peer does not listen: " << peer.Wait(0).err;
  auto tarsio = Tarsio({"call", "--local", std::to_string(tarsioPort), "--remote",
                        "127.0.0.1:" + std::to_string(gstPort), "--capture", "file:" + kSpeech,
                        "--playback", "null", "--duration", "5", "--quiet", "--report",
                        dir_ + "/tarsio.json", "--rtcp", "port"});
  const ProgramResult t = tarsio->Wait(20000);
  const ProgramResult g = peer.Wait(20000);  // it ends at the program's BYE
  ASSERT_EQ(t.exitCode, 0) << t.out << t.err;
  ASSERT_EQ(g.exitCode, 0) << g.out << g.err;
  const std::string json = ReadFileText(dir_ + "/tarsio.json");
  SCOPED_TRACE(json);
  SCOPED_TRACE(g.out);

  // GStreamer's view of the program's source: "remote application/x-rtp-source-stats, ssrc=(uint)
  // 16319, internal=(boolean)false, ...;", its CNAME and its BYE.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(g.out, m, std::regex(R"((?:^|\n)remote ([^\n]*))")));
  const std::string stats = m[1];
  const auto field = [&](const std::string& name) {
    std::smatch f;
    return std::regex_search(stats, f, std::regex("[ ,]" + name + R"(=\([a-z0-9]+\)([^,;]*))"))
               ? std::string(f[1])
               : std::string("missing");
  };
  const auto number = [&](const std::string& name) {
    const std::string text = field(name);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() ? std::nan("") : value;
  };
  const std::string ssrc = field("ssrc");
  EXPECT_NE(g.out.find("sdes ssrc=" + ssrc + " cname=tarsio@"), std::string::npos);
  EXPECT_NE(g.out.find("bye ssrc=" + ssrc + "\n"), std::string::npos);
  EXPECT_EQ(field("received-bye"), "true");
  EXPECT_EQ(field("is-sender"), "true");
  // The program's last SR (with its BYE) counts exactly what GStreamer received, at an NTP time
  // within a minute of the wall clock (seconds since 1900 in the high 32 bits).
  EXPECT_EQ(field("have-sr"), "true");
  EXPECT_GT(number("packets-received"), 150);
  EXPECT_EQ(number("sr-packet-count"), number("packets-received"));
  EXPECT_EQ(number("sr-octet-count"), number("octets-received"));
  const double srSeconds = std::floor(number("sr-ntptime") / 4294967296.0);
  EXPECT_NEAR(srSeconds, EpochMs() / 1000 + 2208988800.0, 60.0);
  // The program's report block about GStreamer's stream: nothing lost, and GStreamer's own SR
  // time echoed in it, so that GStreamer measures a loopback round trip (16.16 seconds).
  EXPECT_EQ(field("have-rb"), "true");
  EXPECT_EQ(number("rb-packetslost"), 0);
  EXPECT_GT(number("rb-lsr"), 0);
  EXPECT_LT(number("rb-round-trip"), 65536 / 2);

  // The program's view of GStreamer: its SRs, CNAME and report blocks taken, none refused.
  const std::string rtcp = json.substr(std::min(json.size(), json.find("\"rtcp\": {")));
  EXPECT_NE(rtcp.find("\"remote_cname\": \"gstreamer.peer\""), std::string::npos);
  EXPECT_GE(JsonNumber(rtcp, "reports_received"), 3);
  EXPECT_EQ(JsonNumber(rtcp, "reports_malformed"), 0);
  EXPECT_GT(JsonNumber(rtcp, "packets_received"), 150);
  EXPECT_EQ(JsonNumber(rtcp, "cumulative_lost"), 0);
  EXPECT_EQ(JsonNumber(rtcp, "packets_sent"), number("packets-received"));
  // GStreamer counts one packet more than it expected of a stream it validated (-1 lost; so it
  // does between two GStreamer peers): the 24-bit field arrives with its sign.
  const std::string remote = rtcp.substr(std::min(rtcp.size(), rtcp.find("\"remote\": {")));
  EXPECT_EQ(JsonNumber(remote, "cumulative_lost"), number("sent-rb-packetslost"));
  EXPECT_GE(JsonNumber(rtcp, "round_trip_ms"), 0.0);
  EXPECT_LT(JsonNumber(rtcp, "round_trip_ms"), 500.0);
#endif
}

}  // namespace
}  // namespace tarsio::host
