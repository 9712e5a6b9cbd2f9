#include "support/UdpRelay.h"

#include <algorithm>

namespace tarsio::testing {

namespace {

constexpr uint32_t kLoopback = 0x7f000001;

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

double Ms(UdpRelay::Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

UdpRelay::UdpRelay() : UdpRelay(Impairment{}) {}

UdpRelay::UdpRelay(Impairment impairment)
    : impairment_(impairment), random_(impairment.jitterSeed) {}

UdpRelay::~UdpRelay() { Stop(); }

uint16_t UdpRelay::FreePortPair(uint16_t avoid) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto first = UdpSocket::Create();
    auto second = UdpSocket::Create();
    uint16_t port = 0;
    if (!first || !second || first->Bind(0u, 0) != 0 || first->GetLocalPort(&port) != 0) continue;
    if (port == 0xffff || second->Bind(0u, static_cast<uint16_t>(port + 1)) != 0) continue;
    if (avoid != 0 && port + 1 >= avoid && port <= avoid + 1) continue;
    return port;
  }
  return 0;
}

bool UdpRelay::Open() {
  for (int side = 0; side < 2; ++side) {
    bool bound = false;
    for (int attempt = 0; attempt < 100 && !bound; ++attempt) {
      const uint16_t port = FreePortPair(side == 1 ? ports_[0] : 0);
      auto rtp = UdpSocket::Create();
      auto rtcp = UdpSocket::Create();
      if (port == 0 || !rtp || !rtcp) continue;
      if (rtp->Bind(kLoopback, port) != 0 || rtcp->Bind(kLoopback, port + 1) != 0) continue;
      sockets_[side * 2] = rtp;
      sockets_[side * 2 + 1] = rtcp;
      ports_[side] = port;
      bound = true;
    }
    if (!bound) return false;
  }
  return true;
}

void UdpRelay::Start(const NetworkAddress& a, const NetworkAddress& b) {
  for (int side = 0; side < 2; ++side) {
    NetworkAddress rtp = side == 0 ? a : b;
    NetworkAddress rtcp = rtp;
    rtcp.SetPort(static_cast<uint16_t>(rtp.Port() + 1));
    peers_[side * 2] = rtp;
    peers_[side * 2 + 1] = rtcp;
  }
  scheduler_ = std::thread([this] { Schedule(); });
  for (int i = 0; i < 4; ++i) readers_[i] = std::thread([this, i] { Read(i); });
}

void UdpRelay::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (scheduler_.joinable()) scheduler_.join();
  for (auto& socket : sockets_) {
    if (socket) socket->Close();  // wakes its reader
  }
  for (auto& reader : readers_) {
    if (reader.joinable()) reader.join();
  }
}

UdpRelay::Log UdpRelay::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  Log copy = log_;
  copy.queued = queue_.size();
  return copy;
}

void UdpRelay::Read(int i) {
  std::vector<uint8_t> buffer(2048);
  while (true) {
    NetworkAddress from;
    const int n = sockets_[i]->RecvFrom(buffer.data(), static_cast<int>(buffer.size()), &from);
    const TimePoint now = Clock::now();
    if (n <= 0) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
      }
      // A failing socket does not spin the core away.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    peers_[i] = from;
    Held held;
    held.bytes.assign(buffer.begin(), buffer.begin() + n);
    held.out = (i + 2) % 4;
    held.order = order_++;
    held.due = now;
    if (i == 0) {
      if (n < 12) continue;
      const uint16_t sequence = static_cast<uint16_t>(buffer[2] << 8 | buffer[3]);
      if (log_.receivedFromA++ == 0) {
        firstSequence_ = sequence;
        log_.firstSequence = sequence;
        log_.ssrcA = Read32(buffer.data() + 8);
      }
      const uint32_t index = static_cast<uint16_t>(sequence - firstSequence_);
      if (impairment_.dropEvery != 0 && index % impairment_.dropEvery == impairment_.dropOffset) {
        log_.dropped.push_back(index);
        continue;
      }
      held.due += impairment_.mediaDelay;
      if (impairment_.mediaJitterMaxUs != 0) {
        held.due += std::chrono::microseconds(random_() % (impairment_.mediaJitterMaxUs + 1));
      }
      held.kind = Held::Kind::kMediaToB;
      pendingMedia_.push_back({index, Read32(buffer.data() + 4), {}});
      held.logIndex = pendingMedia_.size() - 1;
    } else if (i == 1 || i == 3) {
      held.due += impairment_.rtcpDelay;
      auto& entries = i == 1 ? log_.rtcpFromA : log_.rtcpFromB;
      entries.push_back({held.bytes, now, {}});
      held.kind = i == 1 ? Held::Kind::kRtcpFromA : Held::Kind::kRtcpFromB;
      held.logIndex = entries.size() - 1;
    }
    queue_.push(std::move(held));
    wake_.notify_all();
  }
}

void UdpRelay::Schedule() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const TimePoint due = queue_.top().due;
    if (Clock::now() < due) {
      wake_.wait_until(lock, due);
      continue;
    }
    Held held = queue_.top();
    queue_.pop();
    const NetworkAddress to = peers_[held.out];
    // The send time is logged before the send: the receiver may act on the datagram (and the
    // test read its figures) before SendTo returns.
    const TimePoint now = Clock::now();
    log_.latestMs = std::max(log_.latestMs, Ms(now - held.due));
    switch (held.kind) {
      case Held::Kind::kMediaToB: {
        Forwarded f = pendingMedia_[held.logIndex];
        f.sentAt = now;
        log_.forwardedToB.push_back(f);
        break;
      }
      case Held::Kind::kRtcpFromA:
        log_.rtcpFromA[held.logIndex].sentAt = now;
        break;
      case Held::Kind::kRtcpFromB:
        log_.rtcpFromB[held.logIndex].sentAt = now;
        break;
      case Held::Kind::kPlain:
        if (held.out == 0) ++log_.forwardedToA;
        break;
    }
    const std::shared_ptr<UdpSocket> socket = sockets_[held.out];
    lock.unlock();
    socket->SendTo(held.bytes.data(), static_cast<int>(held.bytes.size()), to);
    lock.lock();
  }
}

}  // namespace tarsio::testing
