#include "support/UdpCapture.h"

#include <algorithm>
#include <utility>

namespace tarsio::testing {

namespace {

constexpr uint32_t kLoopback = 0x7f000001;

}  // namespace

UdpCapture::UdpCapture(uint16_t port) : socket_(UdpSocket::Create()) {
  if (!readable_.Valid()) return;
  uint16_t bound = 0;
  if (!socket_ || socket_->Bind(kLoopback, port) != 0 || socket_->GetLocalPort(&bound) != 0) {
    return;
  }
  // Non-blocking from here on: a read with nothing waiting returns at once.
  if (socket_->EventSelect(&readable_) != 0) return;
  port_ = bound;
}

std::vector<UdpCapture::Datagram> UdpCapture::Drain() {
  std::vector<Datagram> out;
  if (port_ == 0) return out;
  std::vector<uint8_t> buffer(2048);
  for (;;) {
    Datagram d;
    const int n = socket_->RecvFrom(buffer.data(), static_cast<int>(buffer.size()), &d.from);
    if (n < 0) return out;
    d.bytes.assign(buffer.begin(), buffer.begin() + n);
    out.push_back(std::move(d));
  }
}

std::vector<UdpCapture::Datagram> UdpCapture::Receive(size_t count,
                                                      std::chrono::milliseconds limit) {
  std::vector<Datagram> out;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (port_ != 0) {
    for (Datagram& d : Drain()) out.push_back(std::move(d));
    const auto now = std::chrono::steady_clock::now();
    if (out.size() >= count || now >= end) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
    readable_.Wait(static_cast<uint32_t>(std::clamp<int64_t>(left, 1, 50)));
  }
  return out;
}

int UdpCapture::SendTo(const std::vector<uint8_t>& bytes, uint16_t port) {
  if (port_ == 0) return -1;
  return socket_->SendTo(bytes.data(), static_cast<int>(bytes.size()),
                         NetworkAddress::IPv4(kLoopback, port));
}

}  // namespace tarsio::testing
