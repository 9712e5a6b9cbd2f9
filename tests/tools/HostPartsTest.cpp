// The host's pieces that need no call: the report's JSON, the host log's line assembly and report
// parsing, the status line, argument parsing, setting values and the port probe.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tools/CallCommand.h"
#include "tools/CallReport.h"
#include "tools/CallSession.h"
#include "tools/ConsoleHostLog.h"
#include "tools/DeviceChoice.h"
#include "tools/SettingsCommand.h"
#include "tools/StatusLine.h"
#include "tools/UdpPortProbe.h"

namespace tarsio::host {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CallReportTest, JsonHasEveryFieldNullsForMissingTimesAndEscapes) {
  CallReport r;
  r.command = "call";
  r.localPort = 40000;
  r.remote = "127.0.0.1:40002";
  r.txCodec = "pcmu";
  r.rxCodec = "auto";
  r.recordedTransmitCodec = "PCMU";
  r.captureDevice = "file:in \"quoted\".wav";
  r.playbackDevice = "file:C:\\out.wav";
  r.times.callStart = 1700000000123;
  r.times.firstRtpSent = 1700000000223;
  r.totals.rtpSendto = 17200;
  r.receiveBuffer = {{1700000001123, 1.0, 0.0333}, {1700000002123, 2.0, 0.25}};
  r.error = "line1\nline2\x01";
  const std::string j = r.ToJson();
  EXPECT_NE(j.find("\"local_port\": 40000"), std::string::npos);
  EXPECT_NE(j.find("\"call_start\": 1700000000123"), std::string::npos);
  EXPECT_NE(j.find("\"first_rtp_sent\": 1700000000223"), std::string::npos);
  EXPECT_NE(j.find("\"first_rtp_received\": null"), std::string::npos);
  EXPECT_NE(j.find("\"rtp_sendto\": 17200"), std::string::npos);
  EXPECT_NE(j.find("\"receive\": null"), std::string::npos);
  EXPECT_NE(j.find("\"playback_wav\": null"), std::string::npos);
  EXPECT_NE(j.find("{\"time_ms\": 1700000002123, \"elapsed_s\": 2.000, \"ratio\": 0.2500}"),
            std::string::npos);
  EXPECT_NE(j.find("file:in \\\"quoted\\\".wav"), std::string::npos);
  EXPECT_NE(j.find("file:C:\\\\out.wav"), std::string::npos);
  EXPECT_NE(j.find("\"error\": \"line1\\nline2\\u0001\""), std::string::npos);
  EXPECT_EQ(j.find("mouth_to_ear_ms"), std::string::npos);
  r.mouthToEarMs = 123.45;
  EXPECT_NE(r.ToJson().find("\"mouth_to_ear_ms\": 123.5"), std::string::npos);

  // Balanced braces and brackets outside strings: a cheap well-formedness check.
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < j.size(); ++i) {
    if (inString) {
      if (j[i] == '\\')
        ++i;
      else if (j[i] == '"')
        inString = false;
    } else if (j[i] == '"') {
      inString = true;
    } else if (j[i] == '{' || j[i] == '[') {
      ++depth;
    } else if (j[i] == '}' || j[i] == ']') {
      ASSERT_GT(depth, 0);
      --depth;
    }
  }
  EXPECT_EQ(depth, 0);
  EXPECT_FALSE(inString);

  const auto dir =
      std::filesystem::temp_directory_path() / ("tarsio-report-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string error;
  ASSERT_TRUE(r.WriteFile((dir / "r.json").string(), &error)) << error;
  EXPECT_EQ(ReadAll((dir / "r.json").string()), r.ToJson());
  EXPECT_FALSE(std::filesystem::exists(dir / "r.json.tmp"));
  EXPECT_FALSE(r.WriteFile((dir / "missing" / "r.json").string(), &error));
  EXPECT_NE(error.find("cannot write report"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(ConsoleHostLogTest, AssemblesEntriesFindsReportValuesAndKeepsThreadsApart) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("tarsio-hostlog-" + std::to_string(::getpid()) + ".log");
  std::filesystem::remove(path);
  {
    ConsoleHostLog log;
    std::string error;
    ASSERT_TRUE(log.OpenFile(path.string(), &error)) << error;
    HostLog& h = log;
    // An entry with a number, then the statistics report exactly as the terminal writes it.
    h.Lock();
    h.Write("RTPAudioSource::GenerateData: buffer recepcion minimo=");
    h.Write("11");
    h.MarkEntry();
    h.EndLine();
    h.Unlock();
    h.Lock();
    h.Write("*** estadisticas RTP ***");
    h.MarkEntry();
    h.EndLine();
    const std::pair<const char*, const char*> lines[] = {{"RTP recvfrom:", "0"},
                                                         {"RTP sendto:", "17200"},
                                                         {"RTP WaveOut:", "32000"},
                                                         {"RTP WaveIn:", "-5"}};
    for (const auto& [label, value] : lines) {
      h.Write(label);
      h.Write(value);
      h.EndLine();
    }
    h.EndLine();
    h.Write("RTP G729 Comp:");
    h.Write("0");
    h.EndLine();
    h.EndLine();
    h.Unlock();
    // An entry without EndLine still becomes a line at Unlock.
    h.Lock();
    h.Write("dangling");
    h.Unlock();

    EXPECT_GT(log.FirstLineTime("RTPAudioSource::GenerateData: buffer recepcion minimo="), 0);
    EXPECT_EQ(log.FirstLineTime("nothing like this"), 0);
    EXPECT_EQ(log.ReportValue("RTP sendto:"), 17200);
    EXPECT_EQ(log.ReportValue("RTP WaveOut:"), 32000);
    EXPECT_EQ(log.ReportValue("RTP WaveIn:"), -5);
    EXPECT_EQ(log.ReportValue("RTP G729 Decomp:"), -1);
    const auto report = log.StatisticsReport();
    ASSERT_GE(report.size(), 6u);
    EXPECT_EQ(report[0], "*** estadisticas RTP ***");
    EXPECT_EQ(log.Lines().back().text, "dangling");

    // Entries from several threads never mix within a line.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&h, t] {
        for (int i = 0; i < 200; ++i) {
          h.Lock();
          h.Write("thread=");
          h.Write(std::to_string(t).c_str());
          h.Write(" i=");
          h.Write(std::to_string(i).c_str());
          h.EndLine();
          h.Unlock();
        }
      });
    }
    for (auto& t : threads) t.join();
    int threadLines = 0;
    for (const auto& line : log.Lines()) {
      if (line.text.rfind("thread=", 0) != 0) continue;
      ++threadLines;
      int t = -1, i = -1;
      EXPECT_EQ(std::sscanf(line.text.c_str(), "thread=%d i=%d", &t, &i), 2) << line.text;
    }
    EXPECT_EQ(threadLines, 800);
  }
  const std::string text = ReadAll(path.string());
  EXPECT_NE(text.find(" RTP sendto:17200\n"), std::string::npos);
  std::filesystem::remove(path);
  ConsoleHostLog log;
  std::string error;
  EXPECT_FALSE(log.OpenFile("/nonexistent-dir/x.log", &error));
}

TEST(StatusLineTest, FormatsAndRedrawsInPlaceOnlyOnATerminal) {
  CallStatus s;
  s.elapsedSeconds = 75.9;
  s.bufferRatio = 0.0333;
  s.transmitCodec = "PCMU";
  s.sentBytes = 41280;
  s.playedBytes = 999;
  EXPECT_EQ(StatusLine::Format(s), "01:15  buffer 0.03  tx PCMU  rx -  sent 41.3 kB  played 999 B");
  EXPECT_EQ(StatusLine::FormatBytes(2500000), "2.5 MB");

  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  {
    StatusLine interactive(f, true);
    interactive.Show(s, 0);
    interactive.Clear();
    interactive.Show(s, 1);
    interactive.Finish();
  }
  std::FILE* g = std::tmpfile();
  {
    StatusLine plain(g, false, 5000);
    for (int ms = 0; ms <= 12000; ms += 1000) plain.Show(s, ms);  // lines at 0, 5000, 10000
    plain.Finish();
  }
  auto contents = [](std::FILE* file) {
    std::rewind(file);
    std::string out;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) out.append(buffer, n);
    std::fclose(file);
    return out;
  };
  const std::string tty = contents(f);
  EXPECT_NE(tty.find("\r\x1b[K"), std::string::npos);
  EXPECT_EQ(std::count(tty.begin(), tty.end(), '\n'), 1);
  const std::string log = contents(g);
  EXPECT_EQ(log.find('\r'), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
}

TEST(ArgumentTest, RemoteAddressesDevicesAndSettingValues) {
  struct Remote {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  };
  const Remote remotes[] = {{"127.0.0.1:40002", true, "127.0.0.1", 40002},
                            {"localhost:5", true, "localhost", 5},
                            {"127.0.0.1", false, "", 0},
                            {":4000", false, "", 0},
                            {"127.0.0.1:", false, "", 0},
                            {"127.0.0.1:70000", false, "", 0},
                            {"127.0.0.1:12x", false, "", 0}};
  for (const Remote& r : remotes) {
    std::string host, error;
    uint16_t port = 0;
    EXPECT_EQ(CallCommand::ParseRemote(r.text, &host, &port, &error), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ(host, r.host);
      EXPECT_EQ(port, r.port);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  std::string address, error;
  EXPECT_TRUE(CallSession::ResolveIPv4("127.0.0.1", &address, &error));
  EXPECT_TRUE(CallSession::ResolveIPv4("localhost", &address, &error));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_FALSE(CallSession::ResolveIPv4("300.1.2.3", &address, &error));
  EXPECT_NE(error.find("bad remote address"), std::string::npos);

  struct Device {
    const char* text;
    bool ok;
    int32_t id;
    const char* backend;
  };
  const Device devices[] = {{"null", true, -1, "null"},
                            {"alsa", true, -1, "alsa"},
                            {"alsa:2", true, 2, "alsa"},
                            {"alsa:hw:0", true, -1, "alsa"},
                            {"file:/tmp/x.wav", true, -1, "file"},
                            {"file:", false, 0, ""},
                            {"pulse", false, 0, ""},
                            {"", false, 0, ""}};
  for (const Device& d : devices) {
    DeviceChoice choice;
    EXPECT_EQ(DeviceChoice::Parse(d.text, AudioDirection::kCapture, &choice, &error), d.ok)
        << d.text;
    if (!d.ok) continue;
    EXPECT_EQ(choice.DeviceId(), d.id) << d.text;
    EXPECT_EQ(choice.Backend()->Name(), d.backend) << d.text;
  }
  EXPECT_NE(error.find("unknown capture device"), std::string::npos);

  using Kind = SettingsCommand::Kind;
  struct Value {
    Kind kind;
    const char* in;
    bool ok;
    const char* out;
  };
  const Value values[] = {
      {Kind::kBool, "TRUE", true, "true"},  {Kind::kBool, "no", false, ""},
      {Kind::kDword, "0x1B8", true, "440"}, {Kind::kDword, "184", true, "184"},
      {Kind::kDword, "-1", false, ""},      {Kind::kDword, "4294967296", false, ""},
      {Kind::kDword, "12ab", false, ""},    {Kind::kNumber, "-8.5e0", true, "-8.5e0"},
      {Kind::kNumber, "loud", false, ""},   {Kind::kString, "a\nb", false, ""}};
  for (const Value& v : values) {
    std::string out;
    EXPECT_EQ(SettingsCommand::Normalise(v.kind, v.in, &out, &error), v.ok) << v.in;
    if (v.ok) {
      EXPECT_EQ(out, v.out) << v.in;
    }
  }
}

TEST(UdpPortProbeTest, ReportsATakenPortAndItsRtcpNeighbour) {
  const uint16_t port = UdpPortProbe::FindFreePair();
  ASSERT_NE(port, 0);
  EXPECT_EQ(port % 2, 0);
  std::string error;
  EXPECT_TRUE(UdpPortProbe::PairIsFree(port, &error)) << error;
  for (int taken = 0; taken < 2; ++taken) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port + taken));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_FALSE(UdpPortProbe::PairIsFree(port, &error));
    EXPECT_NE(error.find("port " + std::to_string(port + taken) + " is in use"), std::string::npos)
        << error;
    ::close(fd);
  }
}

}  // namespace
}  // namespace tarsio::host
