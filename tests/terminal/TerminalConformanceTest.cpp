// The terminal as an independent host drives it: through GetRTPInterface and RTPInterface only,
// with its own settings file, a recording host log, RTP caught on a UDP listener and the file
// sound backend. Grouped by topic: settings, construction, file play, receiver, capture.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/Registry.h"
#include "platform/AudioBackendSelector.h"
#include "platform/RegistryStore.h"
#include "platform/WinsockErrors.h"
#include "support/RecordingHostLog.h"
#include "support/TempRegistry.h"
#include "support/WavTestFiles.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

namespace tarsio::testing {
namespace {

using std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(10);

/// A UDP socket on a free loopback port that collects what is sent to it.
class UdpListener {
 public:
  UdpListener() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    timeval timeout{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~UdpListener() { ::close(fd_); }
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  int Port() const { return port_; }
  /// Datagrams received until count arrived or the deadline passed.
  std::vector<std::string> Receive(size_t count) {
    std::vector<std::string> got;
    const auto end = steady_clock::now() + kDeadline;
    char buffer[2048];
    while (got.size() < count && steady_clock::now() < end) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n >= 0) got.emplace_back(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  void SendTo(int port, const std::string& bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_;
  int port_ = 0;
};

int FreeUdpPort() {
  UdpListener probe;
  return probe.Port();
}

/// A host: a terminal made by GetRTPInterface with a recording host log, on the file backend
/// whose microphone plays a loud tone, sending to a listener.
class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<int16_t> tone(8000 * 10);
    for (size_t i = 0; i < tone.size(); ++i)
      tone[i] = static_cast<int16_t>(
          8000 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 8000));
    const std::string mic =
        dir.Write("mic.wav", BuildWav(LinearFormat(1, 1, 8000, 16), Pcm16Bytes(tone)));
    std::string error;
    AudioBackendSelector::Install(AudioBackendSelector::Create(
        "file:capture=" + mic + ",playback=" + dir.Path() + "/out.wav", &error));
  }
  void Make() {
    term = GetRTPInterface(&log);
    localPort = FreeUdpPort();
    ASSERT_EQ(term->SetDestination("127.0.0.1", listener.Port(), localPort, -1), 0);
    term->SetMicrophoneVolume(-1, 100);
  }
  void TearDown() override {
    delete term;
    HostLogWriter::SetCurrent(nullptr);
    AudioBackendSelector::Install(nullptr);
  }
  size_t CountEntries(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& e : log.Entries()) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  TempRegistry registry;
  TempDir dir;
  RecordingHostLog log;
  UdpListener listener;
  RTPInterface* term = nullptr;
  int localPort = 0;
};

// ---------------------------------------------------------------------------------------------
// Settings

TEST_F(Host, SettingsInOtherExportFormsAreUsedAndKept) {
  const std::string section = "[HKEY_CURRENT_USER\\" + std::string(kTerminalKey) + "]\n";
  const std::string values =
      "\"LowLatencyReceive\"=hex(1):74,00,72,00,75,00,65,00,00,00\n"  // "true"
      "\"LimitVolume\"=hex:66,61,6c,73,65,00\n"                       // "false"
      "\"TransmitTOS\"=hex(b):b8,00,00,00,00,00,00,00\n"              // too long for a DWORD
      "\"TxFIRFilter\"=\"2\"\n"                                       // read as its bytes
      "\"ForceVADOff\"=dword:00000000\n";                             // reads as ""
  std::ofstream(registry.Path(), std::ios::binary)
      << "Windows Registry Editor Version 5.00\n\n" + section + values;
  Make();
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  EXPECT_TRUE(static_cast<COrbeMediaTerm*>(term)->IsLowLatencyReceive());
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
  delete std::exchange(term, nullptr);
  const std::string text = registry.FileText();
  size_t at = 0;
  for (size_t end = values.find('\n'); end != std::string::npos; end = values.find('\n', at)) {
    const std::string line = values.substr(at, end - at + 1);
    EXPECT_NE(text.find(line), std::string::npos) << "replaced: " << line;
    at = end + 1;
  }
}

// ---------------------------------------------------------------------------------------------
// Construction

TEST_F(Host, BothDirectionsStartWithoutACodecCallInMuLaw) {
  Make();
  // Every filter read its trace level when it was made, the two G.711 filters included.
  for (const char* name : {"G7112PCMTransformer", "PCM2G711Transformer", "WaveAudioSource"}) {
    EXPECT_TRUE(RegistryStore::Instance()
                    .Read("HKEY_CURRENT_USER\\Software\\Almagre\\Vela\\Tracing", name)
                    .has_value())
        << name;
  }
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  const std::vector<std::string> packets = listener.Receive(5);
  ASSERT_EQ(packets.size(), 5u);
  for (const std::string& p : packets) {
    EXPECT_EQ(p.size(), 172u);
    EXPECT_EQ(static_cast<uint8_t>(p[1]) & 0x7F, 0) << "payload type of u-law";
  }
  EXPECT_EQ(CountEntries("COrbeMediaTerm::StartTX"), 0u);
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
}

// ---------------------------------------------------------------------------------------------
// File play

TEST_F(Host, AFileWithItsDataBeforeItsFormatIsRefused) {
  Make();
  ASSERT_EQ(term->StartTX(-1), 0);  // files play into the transmit direction
  const Bytes fmt = FmtPayload(LinearFormat(1, 1, 8000, 16));
  const Bytes data(3200, 0x11);
  uint32_t id = 0;
  const std::string before = dir.Write("before.wav", BuildRiff({{"data", data}, {"fmt ", fmt}}));
  EXPECT_EQ(term->PlayFile(before.c_str(), 1, 100, &id), -10);
  EXPECT_EQ(static_cast<COrbeMediaTerm*>(term)->FilePlayCount(), 0u);
  // The same chunks the other way round play.
  const std::string after = dir.Write("after.wav", BuildRiff({{"fmt ", fmt}, {"data", data}}));
  EXPECT_EQ(term->PlayFile(after.c_str(), 1, 100, &id), 0);
  EXPECT_FALSE(term->StopFile(id));
}

// ---------------------------------------------------------------------------------------------
// Receiver

TEST_F(Host, ABurstOfReceiveErrorsKeepsItsCodeInEveryEntry) {
  Make();
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  constexpr int kOversize = 12;
  const std::string oversize(1500, '\x80');
  for (int i = 0; i < kOversize; ++i) listener.SendTo(localPort, oversize);
  // A valid packet after them: once the receiver has measured its depths from it, it has read
  // every datagram before it.
  std::string rtp(172, '\xFF');
  rtp[0] = '\x80';
  rtp[1] = 0;
  listener.SendTo(localPort, rtp);
  const auto end = steady_clock::now() + kDeadline;
  while (CountEntries("RTPAudioSource::GenerateData: buffer recepcion minimo=") == 0 &&
         steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(term->StopRX(), 0);  // writes the summary still owed

  const std::string entry = "RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), WSAGetLastError==";
  const std::string summary = "RTPAudioSource::ReceiveUDPPacket: !recvfrom (2), entries held back=";
  const std::string code = std::to_string(wsa::kMsgSize);
  int64_t written = 0, heldBack = 0;
  bool first = true;
  for (const std::string& e : log.Entries()) {
    if (e.find("ReceiveUDPPacket") == std::string::npos) continue;
    if (first) {
      EXPECT_EQ(e, entry + code) << "the first entry of the burst";
    }
    first = false;
    if (e == entry + code) ++written;
    if (e.rfind(summary, 0) == 0) {
      const size_t tail = e.find(", WSAGetLastError==");
      ASSERT_NE(tail, std::string::npos) << e;
      if (e.substr(tail) != ", WSAGetLastError==" + code) continue;  // the stop's wake-up
      heldBack += std::stoll(e.substr(summary.size(), tail - summary.size()));
    }
  }
  EXPECT_EQ(written + heldBack, kOversize);
  EXPECT_GE(written, 1);
  EXPECT_LE(written, kOversize);
}

// ---------------------------------------------------------------------------------------------
// Capture

TEST_F(Host, AFrameTimeOf0SendsDefaultFramesAndIsLoggedOnce) {
  Make();
  ASSERT_EQ(term->SetTransmitCodec(4, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(term->SetReceiveCodec(4, 0, 0, 0), 0);
  ASSERT_EQ(term->StartRX(-1, 60), 0);
  ASSERT_EQ(term->StartTX(-1), 0);
  const std::vector<std::string> packets = listener.Receive(10);
  ASSERT_EQ(packets.size(), 10u);
  for (const std::string& p : packets) EXPECT_EQ(p.size(), 172u) << "20 ms of u-law";
  // While running, the capture source wrote nothing (the stop's reset hands back empty buffers,
  // which it does log).
  EXPECT_EQ(CountEntries("WaveAudioSource::"), 0u) << ::testing::PrintToString(log.Entries());
  EXPECT_EQ(term->StopTX(), 0);
  EXPECT_EQ(term->StopRX(), 0);
  EXPECT_EQ(CountEntries("COrbeMediaTerm::SetTransmitCodec: frame time 0, using=20"), 1u);
  EXPECT_EQ(CountEntries("COrbeMediaTerm::SetReceiveCodec: frame time 0, using=20"), 1u);
}

}  // namespace
}  // namespace tarsio::testing
