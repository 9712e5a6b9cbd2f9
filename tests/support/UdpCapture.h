// A UDP socket on the loopback address that catches what is sent to it, with where each datagram
// came from, and can send from its own port (a far end, a dead destination, a spoofer).
//
// Threading: one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/NetworkAddress.h"
#include "platform/SocketEvent.h"
#include "platform/UdpSocket.h"

namespace tarsio::testing {

class UdpCapture {
 public:
  struct Datagram {
    std::vector<uint8_t> bytes;
    NetworkAddress from;
  };

  /// Binds 127.0.0.1:port (0: a free port). Port() is 0 when the bind failed.
  explicit UdpCapture(uint16_t port = 0);
  UdpCapture(const UdpCapture&) = delete;
  UdpCapture& operator=(const UdpCapture&) = delete;

  uint16_t Port() const { return port_; }
  /// The datagrams waiting now, in the order they came.
  std::vector<Datagram> Drain();
  /// Datagrams as they come, until count have arrived (more when they came together) or limit
  /// has passed.
  std::vector<Datagram> Receive(size_t count, std::chrono::milliseconds limit);
  /// Sends bytes from this port to 127.0.0.1:port; the bytes sent, or -1.
  int SendTo(const std::vector<uint8_t>& bytes, uint16_t port);

 private:
  SocketEvent readable_;  // declared first: the socket, which watches it, goes first
  std::shared_ptr<UdpSocket> socket_;
  uint16_t port_ = 0;
};

}  // namespace tarsio::testing
