// What a host that never turns on an extension puts on the wire.
//
// A fresh terminal sends a fixed microphone input (the file sound backend plays a generated WAV:
// speech-like tones, a stretch of digital silence, more tone, then the end of the file) to a
// socket the test holds. Each run's datagrams are checked against the classic RTP stream that
// input makes, and the runs of a classic host and of a host that obtained the extension
// interface without turning anything on are compared with each other byte for byte, apart from
// the SSRC and the sequence and timestamp bases, which are random at every start.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "dsp/G711Codec.h"
#include "framework/HostLogWriter.h"
#include "framework/Registry.h"
#include "platform/AudioBackendSelector.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/UdpCapture.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio::testing {
namespace {

using namespace std::chrono_literals;

constexpr size_t kFrameSamples = 160;  // 20 ms at 8 kHz
constexpr uint8_t kComfortNoise = 13;
constexpr uint8_t kComfortNoisePayload[] = {0x64, 0x00, 0x00, 0x00};

// The microphone's input, frame by frame: a tone whose level rises each frame (so no two frames
// are alike), digital silence, another tone; after the file's end the microphone gives silence.
constexpr size_t kFirstTone = 10;
constexpr size_t kSilence = 5;
constexpr size_t kSecondTone = 10;

std::vector<int16_t> MicrophoneInput() {
  std::vector<int16_t> out;
  const auto tone = [&](size_t frames, double hz) {
    for (size_t f = 0; f < frames; ++f) {
      for (size_t i = 0; i < kFrameSamples; ++i) {
        const double t = static_cast<double>(out.size()) / 8000.0;
        out.push_back(static_cast<int16_t>(std::lround((3000.0 + 400.0 * static_cast<double>(f)) *
                                                       std::sin(2 * std::numbers::pi * hz * t))));
      }
    }
  };
  tone(kFirstTone, 440);
  out.insert(out.end(), kSilence * kFrameSamples, 0);
  tone(kSecondTone, 1020);
  return out;
}

// One packet of the stream the input must make, relative to the stream's first packet.
struct ExpectedPacket {
  uint32_t frame;  // 20 ms frames since the first packet: the timestamp moves 160 for each
  bool marker;
  bool comfortNoise;
  std::vector<uint8_t> payload;
};

// The classic stream: each voiced frame is a packet of its G.711 bytes, the first of a talk
// spurt (the call's first included) with the marker bit; the first frame of a silence is one
// comfort-noise packet, the others send nothing.
std::vector<ExpectedPacket> ExpectedStream(const std::vector<int16_t>& input, bool aLaw) {
  std::vector<ExpectedPacket> out;
  const size_t frames = input.size() / kFrameSamples;
  bool talking = false;
  for (size_t f = 0; f <= frames; ++f) {  // the frame after the end is silent
    const bool silent = f == frames || (f >= kFirstTone && f < kFirstTone + kSilence);
    if (silent) {
      if (talking) out.push_back({static_cast<uint32_t>(f), false, true, {}});
      talking = false;
      continue;
    }
    ExpectedPacket p{static_cast<uint32_t>(f), !talking, false, {}};
    for (size_t i = 0; i < kFrameSamples; ++i) {
      const int16_t s = input[f * kFrameSamples + i];
      p.payload.push_back(aLaw ? G711Codec::EncodeALaw(s) : G711Codec::EncodeULaw(s));
    }
    out.push_back(std::move(p));
    talking = true;
  }
  return out;
}

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t Sequence(const std::vector<uint8_t>& d) { return static_cast<uint16_t>(d[2] << 8 | d[3]); }

// The datagrams with the random parts made relative: sequence and timestamp counted from the
// first packet's, the SSRC zeroed.
std::vector<std::vector<uint8_t>> Relative(const std::vector<UdpCapture::Datagram>& stream) {
  std::vector<std::vector<uint8_t>> out;
  for (const UdpCapture::Datagram& d : stream) {
    std::vector<uint8_t> bytes = d.bytes;
    const std::vector<uint8_t>& first = stream.front().bytes;
    if (bytes.size() >= 12 && first.size() >= 12) {
      const uint16_t seq = static_cast<uint16_t>(Sequence(bytes) - Sequence(first));
      const uint32_t ts = Read32(bytes.data() + 4) - Read32(first.data() + 4);
      bytes[2] = static_cast<uint8_t>(seq >> 8);
      bytes[3] = static_cast<uint8_t>(seq);
      for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
        bytes[8 + i] = 0;
      }
    }
    out.push_back(std::move(bytes));
  }
  return out;
}

enum class Host {
  kClassic,             // the fifteen operations only
  kUntouchedExtension,  // GetRTPInterfaceEx, and only the extension's queries
  kDigitListener,       // sets the telephone-event payload type, as a host that hears digits does
};

struct Sent {
  std::vector<UdpCapture::Datagram> rtp;
  std::vector<UdpCapture::Datagram> toRtcpPort;  // what reached the port above the RTP port
};

class ClassicWire : public ::testing::Test {
 protected:
  void SetUp() override {
    // The microphone's samples reach the encoder unfiltered, so the payload is the input's G.711.
    RegSetString(RegistryRoot::kCurrentUser, kTerminalKey, "MicrophonePreprocess", "false");
    input = MicrophoneInput();
    const std::string mic =
        dir.Write("mic.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(input)));
    std::string error;
    AudioBackendSelector::Install(AudioBackendSelector::Create("file:capture=" + mic, &error));
    ASSERT_TRUE(error.empty()) << error;
  }
  void TearDown() override {
    HostLogWriter::SetCurrent(nullptr);
    AudioBackendSelector::Install(nullptr);
  }

  // One call of a fresh terminal in the given codec (terminal codec 4 or 2) until the input has
  // gone out, and what reached the far end's RTP port and the port above it.
  Sent Call(Host host, int32_t codec, size_t expectedPackets) {
    Sent run;
    std::unique_ptr<UdpCapture> far;
    std::unique_ptr<UdpCapture> farRtcp;
    for (int attempt = 0; attempt < 20; ++attempt) {
      far = std::make_unique<UdpCapture>();
      farRtcp = std::make_unique<UdpCapture>(static_cast<uint16_t>(far->Port() + 1));
      if (far->Port() != 0 && farRtcp->Port() == far->Port() + 1) break;
    }
    EXPECT_EQ(farRtcp->Port(), far->Port() + 1) << "no free port pair";
    RTPInterface* term = GetRTPInterface(&log);
    EXPECT_NE(term, nullptr);
    if (term == nullptr) return run;
    RTPInterfaceEx* ex = host != Host::kClassic ? GetRTPInterfaceEx(term) : nullptr;
    // The queries a host that polls for digits and reports makes, before and during the call.
    const auto query = [&] {
      if (host != Host::kUntouchedExtension) return;
      char digit = 0;
      uint32_t ms = 0;
      EXPECT_EQ(ex->GetTelephoneEvent(&digit, &ms), 0);
      RtcpReport report{};
      report.size = sizeof report;
      EXPECT_EQ(ex->GetRtcpReport(&report), -20);
    };
    query();
    if (host == Host::kDigitListener) {
      EXPECT_EQ(ex->SetTelephoneEventPayloadType(101), 0);
    }
    EXPECT_EQ(term->SetDestination("127.0.0.1", far->Port(), 0, -1), 0);
    EXPECT_EQ(term->SetTransmitCodec(codec, 20, 0, 0, 0, 0), 0);
    EXPECT_EQ(term->SetReceiveCodec(codec, 20, 0, 0), 0);
    term->SetMicrophoneVolume(-1, 100);
    EXPECT_EQ(term->StartRX(-1, 60), 0);
    EXPECT_EQ(term->StartTX(-1), 0);
    query();
    run.rtp = far->Receive(expectedPackets, 10s);
    // The microphone is silent from here on: nothing more may come.
    for (UdpCapture::Datagram& d : far->Receive(std::numeric_limits<size_t>::max(), 300ms)) {
      run.rtp.push_back(std::move(d));
    }
    EXPECT_EQ(term->StopTX(), 0);
    EXPECT_EQ(term->StopRX(), 0);
    query();
    DestroyTerminal(term);
    run.toRtcpPort = farRtcp->Drain();
    return run;
  }

  // Checks a run against the classic stream of the input (its sequence number moves with every
  // frame, sent or not).
  void ExpectStream(const Sent& run, uint8_t payloadType) {
    const std::vector<ExpectedPacket> expected = ExpectedStream(input, payloadType == 8);
    EXPECT_TRUE(run.toRtcpPort.empty()) << run.toRtcpPort.size() << " datagrams to the RTCP port";
    ASSERT_EQ(run.rtp.size(), expected.size());
    const std::vector<uint8_t>& first = run.rtp.front().bytes;
    ASSERT_GE(first.size(), 12u);
    for (size_t k = 0; k < expected.size(); ++k) {
      SCOPED_TRACE("packet " + std::to_string(k) + ", frame " + std::to_string(expected[k].frame));
      const std::vector<uint8_t>& d = run.rtp[k].bytes;
      ASSERT_GE(d.size(), 12u);
      EXPECT_EQ(run.rtp[k].from, run.rtp.front().from) << "all from the one RTP socket";
      EXPECT_EQ(d[0], 0x80) << "version 2, no padding, no header extension, no CSRC";
      EXPECT_EQ(d[1] >> 7, expected[k].marker ? 1 : 0);
      EXPECT_EQ(d[1] & 0x7F, expected[k].comfortNoise ? kComfortNoise : payloadType);
      EXPECT_EQ(Read32(d.data() + 8), Read32(first.data() + 8)) << "one SSRC";
      EXPECT_EQ(Read32(d.data() + 4) - Read32(first.data() + 4), 160u * expected[k].frame);
      EXPECT_EQ(static_cast<uint16_t>(Sequence(d) - Sequence(first)), expected[k].frame);
      const std::vector<uint8_t> payload(d.begin() + 12, d.end());
      if (expected[k].comfortNoise) {
        EXPECT_EQ(payload, std::vector<uint8_t>(std::begin(kComfortNoisePayload),
                                                std::end(kComfortNoisePayload)));
      } else {
        EXPECT_EQ(payload, expected[k].payload);
      }
    }
  }

  TempRegistry registry;
  TempDir dir;
  RecordingHostLog log;
  std::vector<int16_t> input;
};

TEST_F(ClassicWire, AnUntouchedExtensionSendsTheClassicBytesInEitherLaw) {
  for (const auto& [codec, payloadType] : {std::pair<int32_t, uint8_t>{4, 0}, {2, 8}}) {
    SCOPED_TRACE(codec == 4 ? "mu-law" : "A-law");
    const size_t packets = ExpectedStream(input, payloadType == 8).size();
    const Sent classic = Call(Host::kClassic, codec, packets);
    const Sent untouched = Call(Host::kUntouchedExtension, codec, packets);
    ExpectStream(classic, payloadType);
    ExpectStream(untouched, payloadType);
    EXPECT_EQ(Relative(classic.rtp), Relative(untouched.rtp));
    std::printf(
        "%s: %zu packets each run, the same bytes but for the random SSRC, sequence and "
        "timestamp bases\n",
        codec == 4 ? "mu-law" : "A-law", classic.rtp.size());
  }
}

// A host that sets the telephone-event payload type to hear the far end's digits, and sends none,
// sends the classic packets too, numbered per frame: only RTCP switches to RFC 3550's numbering.
TEST_F(ClassicWire, ADigitListenerSendsTheClassicPackets) {
  const size_t packets = ExpectedStream(input, false).size();
  ExpectStream(Call(Host::kDigitListener, 4, packets), 0);
}

}  // namespace
}  // namespace tarsio::testing
