// Measures the receive side of `tarsio call` under network impairments, in each receive mode.
//
// The program is the far end and the network at once: it reads the shipped speech sample
// (data/speech-8k.wav, repeated to --seconds), µ-law encodes it in 20 ms frames and sends every
// frame as RTP (PT 0, one SSRC, no silence suppression) from a UDP socket on 127.0.0.1, on the
// real clock, through an impairment relay that delays, drops or holds packets with a fixed seed
// per scenario (a priority queue on release time, so a run repeats):
//
//   clean       nothing
//   jitter      every packet delayed by 40 +/- 30 ms (uniform), so packets reorder naturally
//   loss        5 % of the packets dropped, independently
//   bursty      Gilbert-Elliott loss: a good state that loses nothing and enters the bad state
//               with p = 0.0217 per packet, a bad state that loses every packet and leaves with
//               r = 0.25 per packet (mean run 4 packets), runs cut at 12 packets; about 8 % lost
//   reorder     2 % of the packets held back by one or two packet times
//   stalls      the path stops for 320 ms at 4 s and for 140 ms at 9 s, then releases what it
//               held at once
//   clock+0.1   the sender's clock runs 0.1 % fast: a frame every 20 ms x 0.999
//   clock-0.1   the sender's clock runs 0.1 % slow: a frame every 20 ms x 1.001
//
// The receiver is the built tarsio program, one process per scenario and mode:
//
//   tarsio call --local P --remote 127.0.0.1:Q --rx-codec pcmu --capture null
//               --playback file:out.wav --duration SECONDS+2 --report report.json
//               --receive low-latency|classic
//
// with its own settings file (TARSIO_REGISTRY) in which the loudspeaker filters are off
// (SpeakerPostprocess false, LimitVolume false, VolumeMaximizeMaxGain 1.00), so that a clean
// call can come out bit-exact. The sending starts about a second after the launch; what the
// receiver itself transmits to Q is read and thrown away.
//
// Per run, on 8 kHz samples, with a "speech frame" being a 20 ms input frame above -40 dBFS RMS:
//
// - send-to-playout delay: frame k was sent at epoch time S_k (recorded by the sender), sample j
//   of the recording was written at first_playback_sample + j/8 ms (call report). Every half
//   second of speech (quarter-second hops) is looked for in the recording by normalised
//   cross-correlation (tools/DelayEstimator); a window found (correlation >= 0.5) gives the delay
//   of its centre frame from send to playout. Median and 95th percentile over the windows found;
//   the table shows how many were found, since a recording that no longer carries the input
//   (say, concealment where packets were there to play) loses its windows rather than its delay.
// - each input frame is lined up with the recording through the nearest window's lag, refined to
//   the sample on the five frames around it (and on the frame itself when it matches clearly, or
//   exactly the µ-law round trip of the input). A frame the relay dropped keeps the lag of the
//   last delivered frame before it, which is where a receiver plays its concealment. Frames that
//   would play after the recording's last sound (the end of the call) are not judged.
// - inserted silence: speech frames whose recorded frame is digital silence (no |sample| > 2)
//   although the relay delivered the packet, as a fraction of all speech frames.
// - speech missing: speech frames that were neither played nor concealed: recorded as digital
//   silence whatever the reason, or dropped and skipped over (the recording shows the next
//   delivered frame where the dropped one belonged).
// - delivered played: of the speech frames the relay delivered, those whose own content is in the
//   recording (exactly the µ-law round trip, or a normalised correlation of at least 0.9 within
//   20 ms of the aligned position). Frames a receiver discards to shorten its queue are missing
//   here; time-scaled frames can fall short too.
// - concealed frames: receive_stats.frames_concealed of the report when present; otherwise (the
//   classic receive path repeats packets) the recorded non-silent 20 ms stretches that are exact
//   copies of the 20 ms before them.
// - concealment quality (loss scenarios): segmental SNR (per frame, clamped to -10..+35 dB,
//   averaged) of the recorded frame against the input frame, over the dropped speech frames,
//   next to the segmental SNR that repeating the previous frame (µ-law round trip) would have had.
// - bit-exact (clean scenario): speech frames recorded exactly as decode(encode(input)).
// - late packets dropped: receive_stats.late_packets of the report, per packet sent.
// - CPU: the receiver's user + system time (wait4's rusage) per second of call.
// - after the 320 ms stall: the delay before it, and how long after it the delay of the windows
//   is back to at most 20 ms above that.
//
// The table goes to stdout (and to --out FILE), progress to stderr. With --keep, each run's
// directory also holds windows.csv (every window: lag, correlation, delay) and frames.csv (every
// speech frame judged: delivered, lag, exact, played, silent). Build and run:
//
//   cmake --build build --target receive_impairment tarsio-host
//   ./build/bench/receive_impairment --seconds 15 --out /tmp/table.md
//   ./build/bench/receive_impairment --scenario clean --scenario loss --mode classic
//
// Options: --seconds N (15), --scenario NAME (repeatable; default all), --mode low-latency|classic
// (repeatable; default both), --tarsio PATH (default: tools/tarsio of this build), --keep DIR
// (keep recordings, reports and logs), --out FILE. One run lasts --seconds + 3 s; all sixteen
// about five minutes at the default length.
//
// A plain program rather than a Google Benchmark: one call is one measurement, in real time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <queue>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "dsp/G711Codec.h"
#include "tools/AudioClip.h"
#include "tools/DelayEstimator.h"
#include "tools/LoopbackCommand.h"
#include "tools/UdpPortProbe.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
using tarsio::host::AudioClip;

constexpr size_t kFrame = 160;  // 20 ms at 8 kHz
constexpr double kFrameMs = 20.0;
constexpr double kSamplesPerMs = 8.0;
constexpr double kSpeechRms = 0.01 * 32768;  // -40 dBFS
constexpr int kSilencePeak = 2;              // a frame with no |sample| above this is silence
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------------------------
// A minimal JSON reader for the call report: values by key path, nothing else.

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  double number = 0.0;
  bool boolean = false;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json* Get(std::string_view key) const {
    if (kind != Kind::kObject) return nullptr;
    for (const auto& [name, value] : members) {
      if (name == key) return &value;
    }
    return nullptr;
  }
  /// The value at a dotted path ("receive_stats.late_packets"); nullptr if any step is missing.
  const Json* At(std::string_view path) const {
    const Json* node = this;
    while (node != nullptr && !path.empty()) {
      const size_t dot = path.find('.');
      node = node->Get(path.substr(0, dot));
      path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    }
    return node;
  }
  std::optional<double> NumberAt(std::string_view path) const {
    const Json* node = At(path);
    if (node == nullptr || node->kind != Kind::kNumber) return std::nullopt;
    return node->number;
  }
  std::string TextAt(std::string_view path) const {
    const Json* node = At(path);
    return node != nullptr && node->kind == Kind::kString ? node->text : std::string();
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool Parse(Json* out) {
    if (!Value(out, 0)) return false;
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) != nullptr) ++pos_;
  }
  bool Take(char c) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          *out += '\n';
          break;
        case 't':
          *out += '\t';
          break;
        case 'r':
          *out += '\r';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'u':
          if (pos_ + 4 > text_.size()) return false;
          pos_ += 4;
          *out += '?';  // the report escapes only control characters this way
          break;
        default:
          *out += e;  // \" \\ \/
      }
    }
    return false;
  }
  bool Value(Json* out, int depth) {
    if (depth > 32) return false;
    SkipSpace();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      out->kind = Json::Kind::kObject;
      if (Take('}')) return true;
      while (pos_ < text_.size()) {
        std::string key;
        Json value;
        if (!String(&key) || !Take(':') || !Value(&value, depth + 1)) return false;
        out->members.emplace_back(std::move(key), std::move(value));
        if (Take('}')) return true;
        if (!Take(',')) return false;
      }
      return false;
    }
    if (c == '[') {
      ++pos_;
      out->kind = Json::Kind::kArray;
      if (Take(']')) return true;
      while (pos_ < text_.size()) {
        Json value;
        if (!Value(&value, depth + 1)) return false;
        out->items.push_back(std::move(value));
        if (Take(']')) return true;
        if (!Take(',')) return false;
      }
      return false;
    }
    if (c == '"') {
      out->kind = Json::Kind::kString;
      return String(&out->text);
    }
    if (Literal("null")) return true;
    if (Literal("true") || Literal("false")) {
      out->kind = Json::Kind::kBool;
      out->boolean = text_[pos_ - 4] == 't';
      return true;
    }
    const std::string rest(text_.substr(pos_, 64));
    char* end = nullptr;
    out->number = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) return false;
    out->kind = Json::Kind::kNumber;
    pos_ += static_cast<size_t>(end - rest.c_str());
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Scenarios and the relay's plan for every packet.

struct Scenario {
  const char* name;
  const char* description;
  uint32_t seed;
};

const Scenario kScenarios[] = {
    {"clean", "no impairment", 1},
    {"jitter", "delay 40 +/- 30 ms uniform", 2},
    {"loss", "5 % random loss", 3},
    {"bursty", "Gilbert-Elliott loss, ~8 %, runs <= 12", 4},
    {"reorder", "2 % held back 1-2 packets", 5},
    {"stalls", "320 ms stall at 4 s, 140 ms at 9 s", 6},
    {"clock+0.1", "sender clock 0.1 % fast", 7},
    {"clock-0.1", "sender clock 0.1 % slow", 8},
};

struct Stall {
  double startMs;
  double lengthMs;
};
constexpr Stall kStalls[] = {{4000.0, 320.0}, {9000.0, 140.0}};

constexpr double kBurstEnter = 0.0217;  // good -> bad, per packet
constexpr double kBurstLeave = 0.25;    // bad -> good, per packet after the first lost one
constexpr int kBurstMaxRun = 12;

struct PacketPlan {
  double sendMs = 0.0;     // after the start of sending, on the sender's clock
  double releaseMs = 0.0;  // when the relay hands it on
  bool dropped = false;
};

double FrameInterval(const std::string& scenario) {
  if (scenario == "clock+0.1") return kFrameMs * (1.0 - 0.001);
  if (scenario == "clock-0.1") return kFrameMs * (1.0 + 0.001);
  return kFrameMs;
}

std::vector<PacketPlan> MakePlan(const Scenario& scenario, size_t frames) {
  const std::string name = scenario.name;
  std::mt19937 random(scenario.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double interval = FrameInterval(name);
  std::vector<PacketPlan> plan(frames);
  bool bad = false;
  int run = 0;
  for (size_t k = 0; k < frames; ++k) {
    PacketPlan& p = plan[k];
    p.sendMs = static_cast<double>(k) * interval;
    p.releaseMs = p.sendMs;
    if (name == "jitter") {
      p.releaseMs += 40.0 + 30.0 * (2.0 * unit(random) - 1.0);
    } else if (name == "loss") {
      p.dropped = unit(random) < 0.05;
    } else if (name == "bursty") {
      if (!bad) {
        bad = unit(random) < kBurstEnter;
        run = 0;
      } else if (run >= kBurstMaxRun || unit(random) < kBurstLeave) {
        bad = false;
      }
      p.dropped = bad;
      if (bad) ++run;
    } else if (name == "reorder") {
      if (unit(random) < 0.02) {
        // Half a millisecond past the next (or next but one) packet, so it arrives after it.
        p.releaseMs += (unit(random) < 0.5 ? 1.0 : 2.0) * interval + 0.5;
      }
    } else if (name == "stalls") {
      for (const Stall& s : kStalls) {
        if (p.sendMs >= s.startMs && p.sendMs < s.startMs + s.lengthMs) {
          p.releaseMs = s.startMs + s.lengthMs;
        }
      }
    }
  }
  return plan;
}

// ---------------------------------------------------------------------------------------------
// Processes.

struct Child {
  pid_t pid = -1;
  bool exited = false;
  int status = 0;
  rusage usage{};
};

/// Starts argv[0] with TARSIO_REGISTRY=registry, stdout and stderr appended to logPath.
pid_t Spawn(const std::vector<std::string>& args, const std::string& registry,
            const std::string& logPath) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "TARSIO_REGISTRY=", 16) != 0) envText.emplace_back(*e);
  }
  envText.push_back("TARSIO_REGISTRY=" + registry);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (logFd < 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(logFd, STDOUT_FILENO);
    ::dup2(logFd, STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  return pid;
}

/// Reaps child if it has ended; true then.
bool Poll(Child* child) {
  if (child->exited) return true;
  const pid_t r = ::wait4(child->pid, &child->status, WNOHANG, &child->usage);
  if (r == child->pid) child->exited = true;
  return child->exited;
}

/// Waits for child until deadline, then ends it (SIGTERM, and SIGKILL 3 s later). True if it
/// ended by itself in time.
bool WaitFor(Child* child, SteadyClock::time_point deadline) {
  for (int i = 0; i < 100000 && SteadyClock::now() < deadline; ++i) {
    if (Poll(child)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (Poll(child)) return true;
  ::kill(child->pid, SIGTERM);
  const auto hard = SteadyClock::now() + std::chrono::seconds(3);
  for (int i = 0; i < 1000 && SteadyClock::now() < hard; ++i) {
    if (Poll(child)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(child->pid, SIGKILL);
  if (::wait4(child->pid, &child->status, 0, &child->usage) == child->pid) child->exited = true;
  return false;
}

/// Runs a short tarsio command to its end (10 s at most); its exit code, -1 if it did not end.
int RunTool(const std::vector<std::string>& args, const std::string& registry,
            const std::string& logPath) {
  Child child;
  child.pid = Spawn(args, registry, logPath);
  if (child.pid < 0) return -1;
  if (!WaitFor(&child, SteadyClock::now() + std::chrono::seconds(10))) return -1;
  return WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

/// Whether `tarsio call` takes --receive (the choice between the two receive paths).
bool HasReceiveOption(const std::string& tarsio, const fs::path& dir) {
  const std::string log = (dir / "call-help.txt").string();
  fs::remove(log);
  if (RunTool({tarsio, "call", "--help"}, (dir / "help.reg").string(), log) != 0) return false;
  return ReadText(log).find("--receive") != std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// The sender and relay.

double EpochMsNow() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct SendLog {
  std::vector<double> sentEpochMs;  // S_k: when frame k left the sender
  std::vector<bool> delivered;
  size_t reordered = 0;  // delivered after a packet with a higher sequence number
  size_t dropped = 0;
  size_t absorbed = 0;  // datagrams the receiver sent to us
};

class Relay {
 public:
  Relay(int socket, uint16_t receiverPort) : socket_(socket) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(receiverPort);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }

  /// Sends every frame of speech through the plan, on the real clock, from now on. Ends early if
  /// the receiver ends.
  SendLog Run(const std::vector<int16_t>& speech, const std::vector<PacketPlan>& plan,
              Child* receiver) {
    SendLog log;
    const size_t frames = plan.size();
    log.sentEpochMs.assign(frames, kNaN);
    log.delivered.assign(frames, false);
    struct Pending {
      double releaseMs;
      size_t k;
      bool operator>(const Pending& o) const {
        return releaseMs != o.releaseMs ? releaseMs > o.releaseMs : k > o.k;
      }
    };
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> queue;
    std::vector<std::vector<uint8_t>> packets(frames);
    const auto start = SteadyClock::now() + std::chrono::milliseconds(5);
    const double startEpoch =
        EpochMsNow() +
        std::chrono::duration<double, std::milli>(start - SteadyClock::now()).count();
    const auto at = [&](double ms) {
      return start + std::chrono::duration_cast<SteadyClock::duration>(
                         std::chrono::duration<double, std::milli>(ms));
    };
    const auto epochOf = [&](SteadyClock::time_point t) {
      return startEpoch + std::chrono::duration<double, std::milli>(t - start).count();
    };
    const double lastMs = plan.empty() ? 0.0 : plan.back().sendMs + 1000.0;
    const auto deadline = at(lastMs + 5000.0);
    size_t next = 0;
    size_t highest = 0;
    bool any = false;
    // Each pass sends one frame or releases one packet: 2 * frames passes, plus slack.
    for (size_t pass = 0; pass < 2 * frames + 16; ++pass) {
      if (next >= frames && queue.empty()) break;
      if (SteadyClock::now() > deadline || (pass % 50 == 0 && Poll(receiver))) break;
      const double sendDue = next < frames ? plan[next].sendMs : kNaN;
      const double releaseDue = queue.empty() ? kNaN : queue.top().releaseMs;
      const bool sendFirst = next < frames && (queue.empty() || sendDue <= releaseDue);
      std::this_thread::sleep_until(at(sendFirst ? sendDue : releaseDue));
      Absorb(&log);
      if (sendFirst) {
        const size_t k = next++;
        packets[k] = Packet(speech, k);
        log.sentEpochMs[k] = epochOf(SteadyClock::now());
        if (plan[k].dropped) {
          ++log.dropped;
        } else {
          queue.push({plan[k].releaseMs, k});
        }
        continue;
      }
      const size_t k = queue.top().k;
      queue.pop();
      const std::vector<uint8_t>& packet = packets[k];
      if (::sendto(socket_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to_),
                   sizeof(to_)) == static_cast<ssize_t>(packet.size())) {
        log.delivered[k] = true;
      }
      if (any && k < highest) ++log.reordered;
      highest = any ? std::max(highest, k) : k;
      any = true;
    }
    return log;
  }

 private:
  static std::vector<uint8_t> Packet(const std::vector<int16_t>& speech, size_t k) {
    constexpr uint16_t kFirstSequence = 4711;
    constexpr uint32_t kFirstTimestamp = 160000;
    constexpr uint32_t kSsrc = 0x5441524Fu;
    std::vector<uint8_t> p(12 + kFrame);
    const uint16_t seq = static_cast<uint16_t>(kFirstSequence + k);
    const uint32_t ts = static_cast<uint32_t>(kFirstTimestamp + k * kFrame);
    p[0] = 0x80;                  // version 2, no padding, extension or CSRC
    p[1] = k == 0 ? 0x80 : 0x00;  // marker on the first packet of the talkspurt; PT 0 (PCMU)
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    for (int i = 0; i < 4; ++i) {
      p[4 + i] = static_cast<uint8_t>(ts >> (24 - 8 * i));
      p[8 + i] = static_cast<uint8_t>(kSsrc >> (24 - 8 * i));
    }
    for (size_t i = 0; i < kFrame; ++i) {
      p[12 + i] = tarsio::G711Codec::EncodeULaw(speech[k * kFrame + i]);
    }
    return p;
  }

  void Absorb(SendLog* log) {
    uint8_t buffer[2048];
    for (int i = 0; i < 64; ++i) {
      if (::recv(socket_, buffer, sizeof(buffer), MSG_DONTWAIT) < 0) return;
      ++log->absorbed;
    }
  }

  int socket_;
  sockaddr_in to_{};
};

// ---------------------------------------------------------------------------------------------
// Analysis.

struct RunResult {
  std::string scenario;
  std::string mode;
  std::string error;  // empty: the run produced numbers
  std::string warning;
  size_t framesSent = 0;
  size_t dropped = 0;
  size_t reordered = 0;
  size_t windows = 0;
  std::vector<std::pair<double, double>> windowDelays;  // (send time after start, delay), ms
  double delayMedian = kNaN;
  double delayP95 = kNaN;
  size_t speechFrames = 0;
  size_t silentDelivered = 0;
  size_t missing = 0;
  size_t skipped = 0;
  size_t exact = 0;
  size_t deliveredSpeech = 0;  // speech frames the relay delivered ...
  size_t deliveredPlayed = 0;  // ... whose own content was found in the recording
  std::optional<double> concealed;
  bool concealedFromReport = false;
  size_t droppedSpeech = 0;
  double segSnrConcealed = kNaN;
  double segSnrRepeated = kNaN;
  std::optional<double> lateFraction;
  double cpuMsPerSecond = kNaN;
  double callSeconds = 0.0;
  Json report;
  std::string recovery;    // stalls only
  std::string windowsCsv;  // every window of speech, kept with --keep
  std::string framesCsv;   // every speech frame judged, kept with --keep
};

double Median(std::vector<double> v) {
  if (v.empty()) return kNaN;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

/// Nearest-rank percentile, q in 0..1.
double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return kNaN;
  std::sort(v.begin(), v.end());
  const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

int16_t RoundTrip(int16_t x) {
  return tarsio::G711Codec::DecodeULaw(tarsio::G711Codec::EncodeULaw(x));
}

/// Normalised correlation of a[0..n) with b[0..n); 0 when either is all zeros.
double Correlation(const int16_t* a, const int16_t* b, size_t n) {
  double ab = 0.0;
  double aa = 0.0;
  double bb = 0.0;
  for (size_t i = 0; i < n; ++i) {
    ab += static_cast<double>(a[i]) * b[i];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[i]) * b[i];
  }
  return aa > 0.0 && bb > 0.0 ? ab / std::sqrt(aa * bb) : 0.0;
}

double SegmentSnr(const int16_t* reference, const int16_t* test) {
  double signal = 0.0;
  double noise = 0.0;
  for (size_t i = 0; i < kFrame; ++i) {
    const double d = static_cast<double>(reference[i]) - test[i];
    signal += static_cast<double>(reference[i]) * reference[i];
    noise += d * d;
  }
  if (noise <= 0.0) return 35.0;
  if (signal <= 0.0) return -10.0;
  return std::clamp(10.0 * std::log10(signal / noise), -10.0, 35.0);
}

/// Recorded 20 ms stretches, not silent, that repeat the 20 ms before them sample for sample.
size_t RepeatedFrames(const std::vector<int16_t>& rec) {
  size_t count = 0;
  for (size_t j = kFrame; j + kFrame <= rec.size();) {
    bool loud = false;
    bool same = true;
    for (size_t m = 0; m < kFrame && same; ++m) {
      same = rec[j + m] == rec[j + m - kFrame];
      loud = loud || std::abs(rec[j + m]) > kSilencePeak;
    }
    if (same && loud) {
      ++count;
      j += kFrame;
    } else {
      ++j;
    }
  }
  return count;
}

void Analyse(const std::vector<int16_t>& in, const std::vector<int16_t>& rec, double firstPlayMs,
             const SendLog& sent, RunResult* r) {
  const size_t frames = sent.sentEpochMs.size();
  const double s0 = sent.sentEpochMs.empty() ? kNaN : sent.sentEpochMs[0];
  // Lag (recording index - input index) at which frame 0 would play the moment it was sent.
  const double zeroLag = (s0 - firstPlayMs) * kSamplesPerMs;
  const int minLag = static_cast<int>(std::floor(zeroLag)) - 800;
  const int maxLag = static_cast<int>(std::ceil(zeroLag)) + 3 * 8000;

  std::vector<float> inF(in.size());
  std::vector<float> recF(rec.size());
  for (size_t i = 0; i < in.size(); ++i) inF[i] = in[i] / 32768.0f;
  for (size_t i = 0; i < rec.size(); ++i) recF[i] = rec[i] / 32768.0f;
  constexpr size_t kWindow = 4000;  // half a second
  const auto windows = tarsio::host::DelayEstimator::EstimateWindows(inF, recF, minLag, maxLag,
                                                                     kWindow, kWindow / 2, 0.3);
  r->windows = windows.size();
  r->windowsCsv = "start_sample,send_ms,lag_samples,correlation,delay_ms\n";
  r->framesCsv = "frame,send_ms,delivered,lag_samples,exact,played,silent\n";
  struct Found {
    double centre;  // input sample
    double lag;
  };
  std::vector<Found> found;
  std::vector<double> delays;
  for (const auto& w : windows) {
    const size_t centre = w.start + kWindow / 2;
    const size_t k = std::min(centre / kFrame, frames - 1);
    // Send to playout of the centre frame's first sample.
    const double delay = firstPlayMs +
                         (static_cast<double>(k * kFrame) + w.estimate.lagSamples) / kSamplesPerMs -
                         sent.sentEpochMs[k];
    char row[160];
    std::snprintf(row, sizeof(row), "%zu,%.1f,%.1f,%.3f,%.1f\n", w.start, sent.sentEpochMs[k] - s0,
                  w.estimate.lagSamples, w.estimate.correlation, delay);
    r->windowsCsv += row;
    if (!w.estimate.found || w.estimate.correlation < 0.5) continue;
    found.push_back({static_cast<double>(centre), w.estimate.lagSamples});
    delays.push_back(delay);
    r->windowDelays.emplace_back(sent.sentEpochMs[k] - s0, delay);
  }
  r->delayMedian = Median(delays);
  r->delayP95 = Percentile(delays, 0.95);
  if (found.empty()) return;

  const auto recAt = [&](long j) -> const int16_t* {
    return j >= 0 && static_cast<size_t>(j) + kFrame <= rec.size() ? &rec[j] : nullptr;
  };
  std::vector<int16_t> rt(in.size());
  for (size_t i = 0; i < in.size(); ++i) rt[i] = RoundTrip(in[i]);

  constexpr long kSearch = 160;  // +/- 20 ms around the window's lag
  // The recording goes on for a while after the receive path has stopped, in silence: frames that
  // would play after its last sound belong to the end of the call and are not judged.
  size_t lastSound = rec.size();
  for (size_t n = 0; n < rec.size() && lastSound == rec.size(); ++n) {
    if (std::abs(rec[rec.size() - 1 - n]) > kSilencePeak) lastSound = rec.size() - 1 - n;
  }
  long lastDeliveredLag = 0;
  long lastDeliveredFrame = -1000;
  double snrConcealed = 0.0;
  double snrRepeated = 0.0;
  for (size_t k = 0; k < frames; ++k) {
    const long i = static_cast<long>(k * kFrame);
    const int16_t* x = &in[i];
    double energy = 0.0;
    for (size_t m = 0; m < kFrame; ++m) energy += static_cast<double>(x[m]) * x[m];
    const bool speech = std::sqrt(energy / kFrame) > kSpeechRms;
    const bool delivered = sent.delivered[k];
    if (!speech && !delivered) continue;

    double base = found[0].lag;
    double best = -1.0;
    for (const Found& f : found) {
      const double d = std::fabs(f.centre - static_cast<double>(i + kFrame / 2));
      if (best < 0.0 || d < best) {
        best = d;
        base = f.lag;
      }
    }
    // The lag that best explains the five frames around this one.
    const long ctxFirst = std::max<long>(0, i - 2 * static_cast<long>(kFrame));
    const long ctxEnd = std::min<long>(static_cast<long>(in.size()), i + 3 * kFrame);
    const size_t ctxLength = static_cast<size_t>(ctxEnd - ctxFirst);
    long lag = std::lround(base);
    double bestCorrelation = -2.0;
    for (long d = -kSearch; d <= kSearch; ++d) {
      const long j = ctxFirst + std::lround(base) + d;
      if (j < 0 || static_cast<size_t>(j) + ctxLength > rec.size()) continue;
      const double c = Correlation(&in[ctxFirst], &rec[j], ctxLength);
      if (c > bestCorrelation) {
        bestCorrelation = c;
        lag = std::lround(base) + d;
      }
    }
    bool exact = false;
    bool played = false;  // the frame's own content is in the recording
    if (delivered) {
      // Exactly the µ-law round trip somewhere near, else the frame's own clear match.
      for (long d = -kSearch; d <= kSearch && !exact; ++d) {
        const int16_t* y = recAt(i + lag + d);
        if (y == nullptr) continue;
        exact = std::equal(y, y + kFrame, &rt[i]);
        if (exact) lag += d;
      }
      if (!exact) {
        double own = 0.9;
        long ownLag = lag;
        for (long d = -kSearch; d <= kSearch; ++d) {
          const int16_t* y = recAt(i + lag + d);
          if (y == nullptr) continue;
          const double c = Correlation(x, y, kFrame);
          if (c > own) {
            own = c;
            ownLag = lag + d;
            played = true;
          }
        }
        lag = ownLag;
      }
      played = played || exact;
      lastDeliveredLag = lag;
      lastDeliveredFrame = static_cast<long>(k);
    } else if (static_cast<long>(k) - lastDeliveredFrame <= 2 * kBurstMaxRun) {
      lag = lastDeliveredLag;  // where the receiver plays what stands in for it
    }
    if (!speech) continue;
    const int16_t* y = recAt(i + lag);
    // Not judged: before the recording began, or after the call ended.
    if (y == nullptr || i + lag + static_cast<long>(kFrame) > static_cast<long>(lastSound) + 1) {
      continue;
    }
    ++r->speechFrames;
    const bool silent =
        std::all_of(y, y + kFrame, [](int16_t s) { return std::abs(s) <= kSilencePeak; });
    char row[160];
    std::snprintf(row, sizeof(row), "%zu,%.1f,%d,%ld,%d,%d,%d\n", k, sent.sentEpochMs[k] - s0,
                  delivered ? 1 : 0, lag, exact ? 1 : 0, played ? 1 : 0, silent ? 1 : 0);
    r->framesCsv += row;
    if (exact) ++r->exact;
    if (delivered) {
      ++r->deliveredSpeech;
      if (played) ++r->deliveredPlayed;
    }
    if (silent) {
      ++r->missing;
      if (delivered) ++r->silentDelivered;
    }
    if (delivered) continue;
    if (!silent) {
      // Skipped: the next delivered frame plays where this one belonged.
      for (size_t n = k + 1; n < frames && n <= k + kBurstMaxRun; ++n) {
        if (!sent.delivered[n]) continue;
        double c = 0.0;
        for (long d = -8; d <= 8; ++d) {
          if (const int16_t* z = recAt(i + lag + d)) {
            c = std::max(c, Correlation(&in[n * kFrame], z, kFrame));
          }
        }
        if (c >= 0.9) {
          ++r->skipped;
          ++r->missing;
        }
        break;
      }
    }
    ++r->droppedSpeech;
    snrConcealed += SegmentSnr(x, y);
    snrRepeated += k > 0 ? SegmentSnr(x, &rt[i - kFrame]) : -10.0;
  }
  if (r->droppedSpeech > 0) {
    r->segSnrConcealed = snrConcealed / static_cast<double>(r->droppedSpeech);
    r->segSnrRepeated = snrRepeated / static_cast<double>(r->droppedSpeech);
  }
}

/// How long after the first stall the window delay is back to at most 20 ms above what it was
/// before (a receive path that keeps shortening its queue may come back lower than it was).
std::string StallRecovery(const RunResult& r) {
  const Stall& stall = kStalls[0];
  const double end = stall.startMs + stall.lengthMs;
  std::vector<double> before;
  for (const auto& [t, d] : r.windowDelays) {
    if (t >= stall.startMs - 2000.0 && t < stall.startMs - 250.0) before.push_back(d);
  }
  if (before.empty()) return "no speech windows found before the stall";
  const double reference = Median(before);
  const double horizon = kStalls[1].startMs - 250.0;
  double peak = kNaN;
  char text[200];
  for (const auto& [t, d] : r.windowDelays) {
    if (t < end || t >= horizon) continue;
    if (std::isnan(peak) || d > peak) peak = d;
    if (d <= reference + 20.0) {
      std::snprintf(text, sizeof(text),
                    "delay before the 320 ms stall %.0f ms, at most %.0f ms after it; "
                    "recovered in %.2f s",
                    reference, peak, (t - end) / 1000.0);
      return text;
    }
  }
  std::snprintf(text, sizeof(text),
                "delay before the 320 ms stall %.0f ms, at most %.0f ms after it; "
                "not recovered within %.1f s",
                reference, peak, (horizon - end) / 1000.0);
  return text;
}

// ---------------------------------------------------------------------------------------------
// One run: a receiver process, the sender, the analysis.

struct Options {
  double seconds = 15.0;
  std::vector<std::string> scenarios;
  std::vector<std::string> modes;
  std::string tarsio;
  std::string keep;
  std::string out;
};

int OpenSenderSocket(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

RunResult RunOne(const Options& options, const Scenario& scenario, const std::string& mode,
                 bool passMode, const std::vector<int16_t>& speech, const fs::path& dir) {
  RunResult r;
  r.scenario = scenario.name;
  r.mode = mode;
  fs::create_directories(dir);
  const std::string registry = (dir / "registry.reg").string();
  const std::string outWav = (dir / "out.wav").string();
  const std::string reportPath = (dir / "report.json").string();
  const std::string logPath = (dir / "tarsio.log").string();
  for (const std::string& f : {registry, outWav, reportPath, logPath}) fs::remove(f);

  // The loudspeaker path without its shaping filters: what is decoded is what is written.
  const std::pair<const char*, const char*> settings[] = {
      {"SpeakerPostprocess", "false"}, {"LimitVolume", "false"}, {"VolumeMaximizeMaxGain", "1.00"}};
  for (const auto& [name, value] : settings) {
    if (RunTool({options.tarsio, "settings", "set", name, value}, registry, logPath) != 0) {
      r.error = std::string("tarsio settings set ") + name + " failed (see " + logPath + ")";
      return r;
    }
  }

  uint16_t senderPort = 0;
  const int fd = OpenSenderSocket(&senderPort);
  const uint16_t receiverPort = tarsio::host::UdpPortProbe::FindFreePair();
  if (fd < 0 || receiverPort == 0) {
    if (fd >= 0) ::close(fd);
    r.error = "no free UDP port on 127.0.0.1";
    return r;
  }
  const double duration = options.seconds + 2.0;
  char durationText[32];
  std::snprintf(durationText, sizeof(durationText), "%.3f", duration);
  std::vector<std::string> args = {options.tarsio, "call",
                                   "--local",      std::to_string(receiverPort),
                                   "--remote",     "127.0.0.1:" + std::to_string(senderPort),
                                   "--rx-codec",   "pcmu",
                                   "--capture",    "null",
                                   "--playback",   "file:" + outWav,
                                   "--duration",   durationText,
                                   "--report",     reportPath,
                                   "--quiet"};
  if (passMode) {
    args.push_back("--receive");
    args.push_back(mode);
  }
  const size_t frames = speech.size() / kFrame;
  const std::vector<PacketPlan> plan = MakePlan(scenario, frames);
  std::fprintf(stderr, "scenario %s, mode %s: running %.0f s ...\n", scenario.name, mode.c_str(),
               duration + 1.0);

  Child child;
  const auto launched = SteadyClock::now();
  child.pid = Spawn(args, registry, logPath);
  if (child.pid < 0) {
    ::close(fd);
    r.error = "cannot start " + options.tarsio;
    return r;
  }
  std::this_thread::sleep_until(launched + std::chrono::seconds(1));
  SendLog sent;
  if (!Poll(&child)) sent = Relay(fd, receiverPort).Run(speech, plan, &child);
  const bool ended = WaitFor(
      &child, launched + std::chrono::milliseconds(static_cast<int64_t>(duration * 1000) + 15000));
  ::close(fd);
  r.framesSent = frames;
  r.dropped = sent.dropped;
  r.reordered = sent.reordered;
  if (!ended) {
    r.error = "tarsio call did not end in time (ended by a signal); see " + logPath;
    return r;
  }
  if (WIFSIGNALED(child.status) && fs::exists(reportPath)) {
    // Ended by a signal after the call was over: the numbers are still worth having.
    r.warning = "the receiver was ended by signal " + std::to_string(WTERMSIG(child.status)) +
                " after writing its report";
  } else if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0) {
    r.error =
        "tarsio call failed (" +
        (WIFSIGNALED(child.status) ? "signal " + std::to_string(WTERMSIG(child.status))
                                   : "exit code " + std::to_string(WEXITSTATUS(child.status))) +
        "); see " + logPath;
    return r;
  }
  if (sent.sentEpochMs.empty() || std::isnan(sent.sentEpochMs.back())) {
    r.error = "the receiver ended before all frames were sent";
    return r;
  }

  if (!JsonReader(ReadText(reportPath)).Parse(&r.report)) {
    r.error = "cannot read the report " + reportPath;
    return r;
  }
  const auto firstPlay = r.report.NumberAt("times_ms.first_playback_sample");
  const auto callStart = r.report.NumberAt("times_ms.call_start");
  const auto callEnd = r.report.NumberAt("times_ms.call_end");
  r.callSeconds = callStart && callEnd ? (*callEnd - *callStart) / 1000.0 : duration;
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  r.cpuMsPerSecond =
      1000.0 * (seconds(child.usage.ru_utime) + seconds(child.usage.ru_stime)) / r.callSeconds;
  if (const auto c = r.report.NumberAt("receive_stats.frames_concealed")) {
    r.concealed = *c;
    r.concealedFromReport = true;
  }
  if (const auto late = r.report.NumberAt("receive_stats.late_packets")) {
    r.lateFraction = *late / static_cast<double>(frames);
  }
  const std::string reportedMode = r.report.TextAt("receive_mode");
  if (!reportedMode.empty() && reportedMode != mode) {
    r.warning += (r.warning.empty() ? "" : "; ") + std::string("the report names receive mode ") +
                 reportedMode;
  }
  if (!firstPlay) {
    r.error = "the report has no first_playback_sample";
    return r;
  }
  AudioClip recording;
  std::string error;
  if (!AudioClip::Load(outWav, &recording, &error)) {
    r.error = error;
    return r;
  }
  if (!r.concealed) r.concealed = static_cast<double>(RepeatedFrames(recording.Samples()));
  Analyse(speech, recording.Samples(), *firstPlay, sent, &r);
  std::ofstream((dir / "windows.csv").string()) << r.windowsCsv;
  std::ofstream((dir / "frames.csv").string()) << r.framesCsv;
  if (r.scenario == "stalls") r.recovery = StallRecovery(r);
  return r;
}

// ---------------------------------------------------------------------------------------------
// Output.

std::string Format(double value, const char* format) {
  if (std::isnan(value)) return "–";
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string Percent(size_t part, size_t whole) {
  return whole == 0 ? "–" : Format(100.0 * static_cast<double>(part) / whole, "%.1f");
}

std::string StageText(const Json& report, const char* stage) {
  const std::string path = std::string("delay_ms.") + stage;
  const auto median = report.NumberAt(path + ".median");
  const auto p95 = report.NumberAt(path + ".p95");
  if (!median && !p95) return std::string(stage) + " –";
  return std::string(stage) + " " + Format(median.value_or(kNaN), "%.1f") + " / " +
         Format(p95.value_or(kNaN), "%.1f");
}

std::string Table(const Options& options, const std::vector<RunResult>& results,
                  const std::string& note) {
  std::string t;
  char line[512];
  std::snprintf(line, sizeof(line),
                "Receive side of `tarsio call` under impairment: %.0f s of speech per run, PCMU "
                "20 ms, all frames sent.\n\n",
                options.seconds);
  t += line;
  if (!note.empty()) t += note + "\n\n";
  t += "| scenario | mode | mouth-to-ear median ms | p95 ms | windows found | inserted silence % | "
       "speech missing % | delivered played % | concealed frames | late dropped % | "
       "seg-SNR concealed / repeated dB | bit-exact % | CPU ms/s |\n";
  t += "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  for (const RunResult& r : results) {
    if (!r.error.empty()) {
      t += "| " + r.scenario + " | " + r.mode + " | " + r.error + " | | | | | | | | | | |\n";
      continue;
    }
    const bool loss = r.scenario == "loss" || r.scenario == "bursty";
    std::string concealed = r.concealed ? Format(*r.concealed, "%.0f") : "–";
    if (r.concealed && !r.concealedFromReport) concealed += " (repeats)";
    const std::string snr =
        loss && r.droppedSpeech > 0
            ? Format(r.segSnrConcealed, "%.1f") + " / " + Format(r.segSnrRepeated, "%.1f")
            : "";
    t += "| " + r.scenario + " | " + r.mode + " | " + Format(r.delayMedian, "%.0f") + " | " +
         Format(r.delayP95, "%.0f") + " | " + std::to_string(r.windowDelays.size()) + "/" +
         std::to_string(r.windows) + " | " + Percent(r.silentDelivered, r.speechFrames) + " | " +
         Percent(r.missing, r.speechFrames) + " | " +
         Percent(r.deliveredPlayed, r.deliveredSpeech) + " | " + concealed + " | " +
         (r.lateFraction ? Format(100.0 * *r.lateFraction, "%.1f") : "–") + " | " + snr + " | " +
         (r.scenario == "clean" ? Percent(r.exact, r.speechFrames) : "") + " | " +
         Format(r.cpuMsPerSecond, "%.1f") + " |\n";
  }
  t += "\nPer run: packets sent / dropped / delivered out of order by the relay; speech frames "
       "judged; half-second windows of speech found in the recording; dropped speech frames "
       "(skipped over); receive mode the report names; delay by stage from the report "
       "(median / p95 ms).\n\n";
  for (const RunResult& r : results) {
    if (!r.error.empty()) continue;
    size_t windowsFound = r.windowDelays.size();
    std::snprintf(line, sizeof(line),
                  "- %s, %s: %zu / %zu / %zu packets; %zu speech frames; %zu of %zu windows; "
                  "%zu dropped speech frames (%zu skipped); mode %s",
                  r.scenario.c_str(), r.mode.c_str(), r.framesSent, r.dropped, r.reordered,
                  r.speechFrames, windowsFound, r.windows, r.droppedSpeech, r.skipped,
                  r.report.TextAt("receive_mode").empty()
                      ? "not reported"
                      : r.report.TextAt("receive_mode").c_str());
    t += line;
    if (r.report.At("delay_ms") != nullptr &&
        r.report.At("delay_ms")->kind == Json::Kind::kObject) {
      t += "; delay " + StageText(r.report, "network") + ", " +
           StageText(r.report, "jitter_buffer") + ", " + StageText(r.report, "playback_queue") +
           ", " + StageText(r.report, "device");
    } else {
      t += "; no delay_ms in the report";
    }
    const Json* stats = r.report.At("receive_stats");
    if (stats != nullptr && stats->kind == Json::Kind::kObject) {
      t += "; receive_stats";
      for (const auto& [name, value] : stats->members) {
        if (value.kind == Json::Kind::kNumber) t += " " + name + "=" + Format(value.number, "%g");
      }
    }
    t += "\n";
    if (!r.recovery.empty()) t += "  - " + r.recovery + "\n";
    if (!r.warning.empty()) t += "  - warning: " + r.warning + "\n";
  }
  return t;
}

int Usage() {
  std::fprintf(stderr,
               "usage: receive_impairment [--seconds N] [--scenario NAME]... "
               "[--mode low-latency|classic]... [--tarsio PATH] [--keep DIR] [--out FILE]\n"
               "scenarios:");
  for (const Scenario& s : kScenarios) std::fprintf(stderr, " %s", s.name);
  std::fprintf(stderr, "\n");
  return 2;
}

std::string DefaultTarsio() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "tarsio";
  return (self.parent_path().parent_path() / "tools" / "tarsio").string();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (arg == "--seconds") {
      options.seconds = std::atof(value.c_str());
    } else if (arg == "--scenario") {
      const bool known = std::any_of(std::begin(kScenarios), std::end(kScenarios),
                                     [&](const Scenario& s) { return value == s.name; });
      if (!known) return Usage();
      options.scenarios.push_back(value);
    } else if (arg == "--mode" && (value == "low-latency" || value == "classic")) {
      options.modes.push_back(value);
    } else if (arg == "--tarsio") {
      options.tarsio = value;
    } else if (arg == "--keep") {
      options.keep = value;
    } else if (arg == "--out") {
      options.out = value;
    } else {
      return Usage();
    }
  }
  if (options.seconds < 2.0 || options.seconds > 600.0) return Usage();
  if (options.modes.empty()) options.modes = {"low-latency", "classic"};
  if (options.tarsio.empty()) options.tarsio = DefaultTarsio();
  if (::access(options.tarsio.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "receive_impairment: no tarsio program at %s (use --tarsio PATH)\n",
                 options.tarsio.c_str());
    return 1;
  }

  std::string error;
  AudioClip clip;
  if (!AudioClip::Load(tarsio::host::LoopbackCommand::DefaultInput(), &clip, &error)) {
    std::fprintf(stderr, "receive_impairment: %s\n", error.c_str());
    return 1;
  }
  if (clip.SampleRate() != 8000) {
    std::fprintf(stderr, "receive_impairment: the speech sample is not 8 kHz\n");
    return 1;
  }
  std::vector<int16_t> speech = clip.RepeatedTo(options.seconds).Samples();
  speech.resize(speech.size() / kFrame * kFrame);

  const fs::path dir =
      options.keep.empty()
          ? fs::temp_directory_path() / ("receive_impairment-" + std::to_string(::getpid()))
          : fs::path(options.keep);
  fs::create_directories(dir);
  const bool hasReceive = HasReceiveOption(options.tarsio, dir);
  std::string note;
  if (!hasReceive) {
    note = "This tarsio has no --receive option: its one receive path is shown as classic.";
    std::fprintf(stderr, "receive_impairment: %s\n", note.c_str());
  }

  std::vector<RunResult> results;
  for (const Scenario& scenario : kScenarios) {
    if (!options.scenarios.empty() && std::find(options.scenarios.begin(), options.scenarios.end(),
                                                scenario.name) == options.scenarios.end()) {
      continue;
    }
    for (const std::string& mode : options.modes) {
      if (!hasReceive && mode != "classic") {
        RunResult skipped;
        skipped.scenario = scenario.name;
        skipped.mode = mode;
        skipped.error = "not run: tarsio has no --receive";
        results.push_back(skipped);
        continue;
      }
      results.push_back(RunOne(options, scenario, mode, hasReceive, speech,
                               dir / (std::string(scenario.name) + "-" + mode)));
      if (!results.back().error.empty()) {
        std::fprintf(stderr, "receive_impairment: %s\n", results.back().error.c_str());
      }
    }
  }

  const std::string table = Table(options, results, note);
  std::fputs(table.c_str(), stdout);
  if (!options.out.empty()) {
    std::ofstream out(options.out);
    out << table;
    if (!out) {
      std::fprintf(stderr, "receive_impairment: cannot write %s\n", options.out.c_str());
      return 1;
    }
  }
  if (options.keep.empty()) {
    std::error_code ec;
    fs::remove_all(dir, ec);
  } else {
    std::fprintf(stderr, "receive_impairment: recordings, reports and logs in %s\n",
                 dir.string().c_str());
  }
  const bool allFailed = std::all_of(results.begin(), results.end(),
                                     [](const RunResult& r) { return !r.error.empty(); });
  return allFailed ? 1 : 0;
}
