#include "tools/UdpPortProbe.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarsio::host {

namespace {

/// Binds a UDP socket to port (0: any); returns the descriptor or -1 with errno set.
int BindUdp(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

}  // namespace

bool UdpPortProbe::PairIsFree(uint16_t port, std::string* error) {
  for (int i = 0; i < 2; ++i) {
    const uint16_t p = static_cast<uint16_t>(port + i);
    const int fd = BindUdp(p);
    if (fd < 0) {
      const int saved = errno;
      if (error) {
        *error = "local UDP port " + std::to_string(p) +
                 (saved == EADDRINUSE ? " is in use"
                                      : std::string(" cannot be bound: ") + std::strerror(saved));
        if (i == 1) *error += " (the call holds port " + std::to_string(port) + " + 1 for RTCP)";
      }
      return false;
    }
    ::close(fd);
  }
  return true;
}

uint16_t UdpPortProbe::FindFreePair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int fd = BindUdp(0);
    if (fd < 0) return 0;
    uint16_t port = BoundPort(fd);
    ::close(fd);
    port = static_cast<uint16_t>(port & ~1u);
    if (port >= 1024 && port < 65534 && PairIsFree(port, nullptr)) return port;
  }
  return 0;
}

}  // namespace tarsio::host
