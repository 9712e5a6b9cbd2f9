#include "rtp/RtcpChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "platform/Clock.h"
#include "platform/SocketEvent.h"
#include "platform/SrtpContext.h"
#include "platform/Thread.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrors.h"
#include "rtp/RTPRandom.h"
#include "rtp/RtcpSession.h"

namespace tarsio {

namespace {

// Milliseconds from the NTP epoch (1900) to the Unix epoch (1970).
constexpr uint64_t kUnixEpochInNtpMs = 2208988800ull * 1000;
// The longest single wait; the loop looks at the schedule again after it.
constexpr uint32_t kMaxWaitMs = 60000;
// Datagrams read per wake-up before the schedule and the timeout get their turn again.
constexpr int kMaxReadsPerWake = 64;
constexpr uint32_t kMinTimeoutCheckMs = 20;
constexpr uint32_t kMaxTimeoutCheckMs = 500;

// Milliseconds, rounded up, from ntpNow until ntpThen (0 when it has come).
uint32_t MsUntil(uint64_t ntpThen, uint64_t ntpNow) {
  if (ntpThen <= ntpNow) return 0;
  const uint64_t units = ntpThen - ntpNow;
  const uint64_t seconds = units >> 32;
  if (seconds >= kMaxWaitMs / 1000) return kMaxWaitMs;
  const uint64_t fractionMs = ((units & 0xffffffffu) * 1000 + 0xffffffffu) >> 32;
  return static_cast<uint32_t>(std::min<uint64_t>(seconds * 1000 + fractionMs, kMaxWaitMs));
}

const char* SrtpResultText(SrtpContext::Result result) {
  switch (result) {
    case SrtpContext::Result::kOk:
      return "ok";
    case SrtpContext::Result::kAuthenticationFailed:
      return "authentication failed";
    case SrtpContext::Result::kReplayed:
      return "replayed";
    case SrtpContext::Result::kMalformed:
      return "malformed";
    case SrtpContext::Result::kNoRoom:
      return "no room";
    case SrtpContext::Result::kFailed:
      break;
  }
  return "failed";
}

}  // namespace

// One run of the channel: everything the thread uses, kept alive by the thread itself.
// The immutable members and the atomics are read from any thread; the rest is the thread's own
// (random also serves Start before the thread exists).
struct RtcpChannel::Worker {
  Worker(std::shared_ptr<RtcpSession> session, DestinationProvider destination,
         std::shared_ptr<SrtpContext> outbound, std::shared_ptr<SrtpContext> inbound,
         std::shared_ptr<Counters> counters, std::shared_ptr<TimeoutSettings> timeout,
         std::shared_ptr<UdpSocket> socket, bool ownSocket, const WallBase& base, uint32_t seed,
         const Tracer& channelTracer)
      : session(std::move(session)),
        destination(std::move(destination)),
        outbound(std::move(outbound)),
        inbound(std::move(inbound)),
        counters(std::move(counters)),
        timeout(std::move(timeout)),
        socket(std::move(socket)),
        ownSocket(ownSocket),
        base(base),
        random(seed) {
    tracer.SetInstanceName(channelTracer.InstanceName());
    tracer.SetLevel(channelTracer.Level());
  }
  ~Worker() {
    // The socket may outlive this run (a shared one, or a closed one still referenced).
    if (socket) socket->ForgetEvent(&event);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  uint64_t Now() const { return NtpAt(base, Clock::Current().NowUs()); }
  double Draw() { return random.Next() / 32768.0; }

  bool SendReport(bool bye, uint64_t ntpNow, double random01);
  void OnDatagram(uint8_t* data, size_t length, const NetworkAddress& from, uint64_t ntpNow);
  void ReadAll();
  uint32_t ReportStep();
  uint32_t TimeoutStep(uint64_t ntpNow);
  uint32_t SilentMs(uint64_t ntpNow, uint32_t atLeastMs);

  const std::shared_ptr<RtcpSession> session;
  const DestinationProvider destination;
  const std::shared_ptr<SrtpContext> outbound;
  const std::shared_ptr<SrtpContext> inbound;
  const std::shared_ptr<Counters> counters;
  const std::shared_ptr<TimeoutSettings> timeout;
  const std::shared_ptr<UdpSocket> socket;
  const bool ownSocket;
  const WallBase base;
  Tracer tracer;
  SocketEvent event;
  std::atomic<bool> stopping{false};

  RTPRandom random;
  bool timeoutFired = false;
  uint64_t timeoutGeneration = 0;
  uint8_t buffer[kMaxDatagramBytes] = {};
};

bool RtcpChannel::Worker::SendReport(bool bye, uint64_t ntpNow, double random01) {
  const NetworkAddress to = destination ? destination() : NetworkAddress();
  if (!to.IsValid()) return false;
  // On the stack: the thread and a stopping caller may both send (see Stop).
  uint8_t packet[kMaxReportBytes + SrtpContext::kMaxOverhead];
  size_t length = session->WriteReport(packet, kMaxReportBytes, bye, ntpNow, random01);
  if (length == 0) {
    counters->failedSends.fetch_add(1);
    TRACE(tracer, trace::kError, "SendReport : the report does not fit\n");
    return true;
  }
  if (outbound) {
    const SrtpContext::Result result = outbound->ProtectRtcp(packet, &length, sizeof packet);
    if (result != SrtpContext::Result::kOk) {
      counters->failedSends.fetch_add(1);
      TRACE(tracer, trace::kError, "SendReport : e-ProtectRtcp : %s\n", SrtpResultText(result));
      return true;
    }
  }
  const int n = socket->SendTo(packet, static_cast<int>(length), to);
  if (n != static_cast<int>(length)) {
    counters->failedSends.fetch_add(1);
    TRACE(tracer, trace::kError, "SendReport : e-sendto %s : %d\n", to.ToString().c_str(),
          UdpSocket::LastError());
    return true;
  }
  counters->sent.fetch_add(1);
  return true;
}

void RtcpChannel::Worker::OnDatagram(uint8_t* data, size_t length, const NetworkAddress& from,
                                     uint64_t ntpNow) {
  counters->received.fetch_add(1);
  if (inbound) {
    const SrtpContext::Result result = inbound->UnprotectRtcp(data, &length);
    if (result != SrtpContext::Result::kOk) {
      counters->refused.fetch_add(1);
      TRACE(tracer, trace::kNotable, "OnDatagram : SRTCP from %s refused : %s\n",
            from.ToString().c_str(), SrtpResultText(result));
      return;
    }
  }
  if (!session->OnRtcpReceived(data, length, ntpNow)) {
    counters->refused.fetch_add(1);
    TRACE(tracer, trace::kNotable, "OnDatagram : malformed RTCP from %s (%u bytes)\n",
          from.ToString().c_str(), static_cast<unsigned>(length));
  }
}

void RtcpChannel::Worker::ReadAll() {
  for (int i = 0; i < kMaxReadsPerWake && !stopping.load(); ++i) {
    NetworkAddress from;
    const int n = socket->RecvFrom(buffer, static_cast<int>(sizeof buffer), &from);
    if (n >= 0) {
      OnDatagram(buffer, static_cast<size_t>(n), from, Now());
      continue;
    }
    const int error = UdpSocket::LastError();
    if (error == wsa::kWouldBlock) return;
    if (error == wsa::kMsgSize) {
      // Consumed and too long for any report this engine reads.
      counters->received.fetch_add(1);
      counters->refused.fetch_add(1);
      continue;
    }
    // A port-unreachable answer to an earlier send; the next datagram may be fine.
    if (error == wsa::kConnReset || error == wsa::kConnRefused) continue;
    TRACE(tracer, trace::kError, "ReadAll : e-recvfrom : %d\n", error);
    return;
  }
}

uint32_t RtcpChannel::Worker::ReportStep() {
  const uint64_t now = Now();
  if (session->ReportDue(now) && !SendReport(false, now, Draw())) {
    return kNoDestinationRetryMs;
  }
  return MsUntil(session->NextReportAt(), Now());
}

uint32_t RtcpChannel::Worker::TimeoutStep(uint64_t ntpNow) {
  uint32_t ms = 0;
  std::shared_ptr<const TimeoutHandler> handler;
  {
    CriticalSectionLock lock(timeout->mutex);
    ms = timeout->ms;
    handler = timeout->handler;
    if (timeout->generation != timeoutGeneration) {
      timeoutGeneration = timeout->generation;
      timeoutFired = false;
    }
  }
  if (ms == 0 || !handler || !*handler) return kInfinite;
  if (!session->TimedOut(ntpNow, ms)) {
    timeoutFired = false;  // heard from the far end: the next silence counts again
  } else if (!timeoutFired) {
    timeoutFired = true;
    (*handler)(SilentMs(ntpNow, ms));
  }
  return std::clamp(ms / 8, kMinTimeoutCheckMs, kMaxTimeoutCheckMs);
}

uint32_t RtcpChannel::Worker::SilentMs(uint64_t ntpNow, uint32_t atLeastMs) {
  // The session says only whether it has been silent for a given time; the silence is the
  // longest such time (TimedOut is monotonic in it), found by bisection.
  uint32_t low = atLeastMs;
  uint32_t high = kInfinite;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2 + 1;
    if (session->TimedOut(ntpNow, middle)) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

RtcpChannel::RtcpChannel(std::shared_ptr<RtcpSession> session, DestinationProvider destination,
                         std::shared_ptr<SrtpContext> outbound,
                         std::shared_ptr<SrtpContext> inbound)
    : session_(std::move(session)),
      destination_(std::move(destination)),
      outbound_(std::move(outbound)),
      inbound_(std::move(inbound)),
      seed_(TickCount() ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this) >> 4)) {
  tracer_.SetInstanceName("RtcpChannel", this);
}

RtcpChannel::~RtcpChannel() { Stop(false); }

void RtcpChannel::SetTimeout(uint32_t ms, TimeoutHandler onTimeout) {
  auto handler = onTimeout ? std::make_shared<const TimeoutHandler>(std::move(onTimeout))
                           : std::shared_ptr<const TimeoutHandler>();
  {
    CriticalSectionLock lock(timeout_->mutex);
    timeout_->ms = ms;
    timeout_->handler.swap(handler);
    ++timeout_->generation;
  }
  // The thread may be waiting for longer than the new timeout allows.
  if (std::shared_ptr<Worker> worker = CurrentWorker()) worker->event.Set();
  // The previous handler, if this held its last reference, goes away here, outside the lock.
}

void RtcpChannel::SetRandomSeed(uint32_t seed) { seed_.store(seed); }

bool RtcpChannel::StartOwnSocket(const NetworkAddress& local) {
  if (IsRunning()) return false;
  std::shared_ptr<UdpSocket> socket = UdpSocket::Create(local.GetFamily());
  if (!socket) {
    TRACE(tracer_, trace::kError, "StartOwnSocket : e-socket : %d\n", UdpSocket::LastError());
    return false;
  }
  if (socket->Bind(local) != 0) {
    TRACE(tracer_, trace::kError, "StartOwnSocket : e-bind %s : %d\n", local.ToString().c_str(),
          UdpSocket::LastError());
    socket->Close();
    return false;
  }
  return Start(std::move(socket), true);
}

bool RtcpChannel::StartMuxed(std::shared_ptr<UdpSocket> rtpSocket) {
  if (!rtpSocket) return false;
  return Start(std::move(rtpSocket), false);
}

bool RtcpChannel::Start(std::shared_ptr<UdpSocket> socket, bool ownSocket) {
  const WallBase& base = Base();
  CriticalSectionLock lock(mutex_);
  auto fail = [&](const char* what) {
    TRACE(tracer_, trace::kError, "Start : %s\n", what);
    if (ownSocket) socket->Close();
    return false;
  };
  if (worker_) return fail("already running");
  auto worker = std::make_shared<Worker>(session_, destination_, outbound_, inbound_, counters_,
                                         timeout_, socket, ownSocket, base, seed_.load(), tracer_);
  if (!worker->event.Valid()) return fail("e-event");
  if (ownSocket && socket->EventSelect(&worker->event) != 0) return fail("e-WSAEventSelect");
  // The first report is due 2.5 s (spread) from here, unless RTP started the session earlier.
  session_->Start(worker->Now(), worker->Draw());
  std::unique_ptr<Thread> thread =
      Thread::CreateSuspended([worker]() -> uint32_t { return Run(worker); });
  if (!thread) return fail("e-CreateThread");
  if (thread->Resume() < 0) {
    thread->Terminate();
    return fail("e-ResumeThread");
  }
  worker_ = std::move(worker);
  thread_ = std::move(thread);
  return true;
}

void RtcpChannel::OnMuxedDatagram(const uint8_t* data, size_t length, const NetworkAddress& from) {
  std::shared_ptr<Worker> worker = CurrentWorker();
  if (!worker || worker->ownSocket || worker->stopping.load()) return;
  if (data == nullptr || length > kMaxDatagramBytes) {
    counters_->received.fetch_add(1);
    counters_->refused.fetch_add(1);
    return;
  }
  // Unprotecting works in place, and the caller's buffer is the RTP receiver's.
  uint8_t copy[kMaxDatagramBytes];
  std::memcpy(copy, data, length);
  worker->OnDatagram(copy, length, from, worker->Now());
}

void RtcpChannel::Stop(bool sendBye) {
  std::shared_ptr<Worker> worker;
  std::unique_ptr<Thread> thread;
  {
    CriticalSectionLock lock(mutex_);
    worker = std::move(worker_);
    thread = std::move(thread_);
  }
  if (!worker) return;
  worker->stopping.store(true);
  worker->event.Set();
  // Called from the channel's own thread (a timeout handler that stops the call): the thread
  // ends when the handler returns.
  const bool onOwnThread = thread && thread->Id() == CurrentThreadId();
  if (thread && !onOwnThread && !thread->Join(kStopWaitMs)) {
    // Still inside a host call; it ends by itself and keeps what it uses. A report it may still
    // be sending does not collide with the BYE below: each send is whole and self-contained.
    TRACE(tracer_, trace::kError, "Stop : the thread did not end within %u ms\n", kStopWaitMs);
  }
  // A draw of 0.5: the schedule after a BYE no longer matters, and the thread keeps its
  // generator to itself.
  if (sendBye) worker->SendReport(true, worker->Now(), 0.5);
  if (worker->ownSocket && worker->socket->Close() != 0) {
    TRACE(tracer_, trace::kError, "Stop : e-closesocket : %d\n", UdpSocket::LastError());
  }
}

bool RtcpChannel::IsRunning() {
  CriticalSectionLock lock(mutex_);
  return worker_ != nullptr;
}

uint16_t RtcpChannel::LocalPort() {
  std::shared_ptr<Worker> worker = CurrentWorker();
  uint16_t port = 0;
  if (worker && worker->ownSocket && worker->socket->GetLocalPort(&port) != 0) port = 0;
  return port;
}

uint64_t RtcpChannel::NtpNow() { return NtpAt(Base(), Clock::Current().NowUs()); }

bool RtcpChannel::IsRtcpPacket(const uint8_t* data, size_t length) {
  return data != nullptr && length >= 8 && (data[0] >> 6) == 2 && data[1] >= 192 && data[1] <= 223;
}

std::shared_ptr<RtcpChannel::Worker> RtcpChannel::CurrentWorker() {
  CriticalSectionLock lock(mutex_);
  return worker_;
}

const RtcpChannel::WallBase& RtcpChannel::Base() {
  std::call_once(baseOnce_, [this] {
    const auto sinceUnixEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const uint64_t wallUs =
        kUnixEpochInNtpMs * 1000 + static_cast<uint64_t>(sinceUnixEpoch.count());
    base_.clockUs = Clock::Current().NowUs();
    base_.ntp = NtpAt(WallBase{}, wallUs);
  });
  return base_;
}

uint64_t RtcpChannel::NtpAt(const WallBase& base, uint64_t clockUs) {
  // Whole seconds and the remainder apart, so that no product overflows.
  const auto units = [](uint64_t us) {
    return ((us / 1000000) << 32) + (((us % 1000000) << 32) / 1000000);
  };
  return clockUs >= base.clockUs ? base.ntp + units(clockUs - base.clockUs)
                                 : base.ntp - units(base.clockUs - clockUs);
}

uint32_t RtcpChannel::Run(const std::shared_ptr<Worker>& worker) {
  Worker& w = *worker;
  TRACE(w.tracer, trace::kEntry, "Run : begin\n");
  while (!w.stopping.load()) {
    uint32_t waitMs = w.ReportStep();
    waitMs = std::min(waitMs, w.TimeoutStep(w.Now()));
    if (w.stopping.load()) break;
    if (w.event.Wait(waitMs) == WaitResult::kFailed) {
      TRACE(w.tracer, trace::kError, "Run : e-wait\n");
      SleepMs(std::min(waitMs, kMaxTimeoutCheckMs));  // never spin on a broken event
    }
    if (w.stopping.load()) break;
    if (w.ownSocket) w.ReadAll();
  }
  TRACE(w.tracer, trace::kEntry, "Run : end\n");
  return 0;
}

}  // namespace tarsio
