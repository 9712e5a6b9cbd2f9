// NetworkAddress over WinSock 2: the same literals, names and socket address structures as on
// Linux. WinSock must be started before any of its calls, so every member that calls into it starts
// it first (once per process, see WinsockStartup.h). Zones are interface indexes or the names the
// IP Helper knows the interfaces by (if_nametoindex / if_indextoname, as on Linux).
#include "platform/NetworkAddress.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1  // the C++ library may have defined it already
#endif
// The Windows headers depend on their order.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>
// clang-format on

#include <cstdlib>
#include <cstring>

#include "platform/win32/WinsockStartup.h"

namespace tarsio {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// gai_strerror's text without the line break that Windows' message table ends it with.
std::string ResolverErrorText(int rc) {
  std::string text = ::gai_strerrorA(rc);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

NetworkAddress NetworkAddress::IPv4(uint32_t addressHostOrder, uint16_t port) {
  NetworkAddress a;
  a.family_ = Family::kIPv4;
  a.bytes_[0] = static_cast<uint8_t>(addressHostOrder >> 24);
  a.bytes_[1] = static_cast<uint8_t>(addressHostOrder >> 16);
  a.bytes_[2] = static_cast<uint8_t>(addressHostOrder >> 8);
  a.bytes_[3] = static_cast<uint8_t>(addressHostOrder);
  a.port_ = port;
  return a;
}

NetworkAddress NetworkAddress::AnyIPv6(uint16_t port) {
  NetworkAddress a;
  a.family_ = Family::kIPv6;
  a.port_ = port;
  return a;
}

NetworkAddress NetworkAddress::LoopbackIPv6(uint16_t port) {
  NetworkAddress a = AnyIPv6(port);
  a.bytes_[15] = 1;
  return a;
}

bool NetworkAddress::Parse(std::string_view text, uint16_t port, NetworkAddress* out) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN + IF_NAMESIZE) return false;
  if (win32::StartWinsock() != 0) return false;
  std::string literal(text);
  NetworkAddress a;
  a.port_ = port;
  in_addr v4{};
  if (literal.find(':') == std::string::npos) {
    if (::inet_pton(AF_INET, literal.c_str(), &v4) != 1) return false;
    a.family_ = Family::kIPv4;
    std::memcpy(a.bytes_.data(), &v4, 4);
    *out = a;
    return true;
  }
  const size_t percent = literal.find('%');
  if (percent != std::string::npos) {
    const std::string zone = literal.substr(percent + 1);
    literal.resize(percent);
    if (zone.empty()) return false;
    a.scopeId_ = ::if_nametoindex(zone.c_str());
    if (a.scopeId_ == 0) {
      // A numeric zone is an interface index.
      char* end = nullptr;
      const unsigned long index = std::strtoul(zone.c_str(), &end, 10);
      if (end == zone.c_str() || *end != '\0' || index == 0 || index > UINT32_MAX) return false;
      a.scopeId_ = static_cast<uint32_t>(index);
    }
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, literal.c_str(), &v6) != 1) return false;
  a.family_ = Family::kIPv6;
  std::memcpy(a.bytes_.data(), &v6, 16);
  *out = a;
  return true;
}

NetworkAddress NetworkAddress::FromIPv4Text(const char* text, uint16_t port) {
  // WinSock's inet_addr is the classic one; without WinSock nothing is an address.
  if (win32::StartWinsock() != 0) return IPv4(INADDR_NONE, port);
  const unsigned long network = ::inet_addr(text != nullptr ? text : "");
  return IPv4(ntohl(static_cast<u_long>(network)), port);
}

bool NetworkAddress::Resolve(std::string_view host, uint16_t port, NetworkAddress* out,
                             std::string* error) {
  if (Parse(host, port, out)) return true;
  if (host.empty()) {
    if (error != nullptr) *error = "no address given";
    return false;
  }
  const std::string name(host);
  if (const int started = win32::StartWinsock(); started != 0) {
    if (error != nullptr) {
      *error = "cannot resolve \"" + name + "\": WinSock did not start (error " +
               std::to_string(started) + ")";
    }
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* results = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &results);
  if (rc != 0 || results == nullptr) {
    if (error != nullptr) *error = "cannot resolve \"" + name + "\": " + ResolverErrorText(rc);
    if (results != nullptr) ::freeaddrinfo(results);
    return false;
  }
  NetworkAddress found;
  bool have = false;
  for (addrinfo* r = results; r != nullptr; r = r->ai_next) {
    NetworkAddress candidate;
    if (!FromSocketAddress(r->ai_addr, r->ai_addrlen, &candidate)) continue;
    if (!have || (found.family_ == Family::kIPv6 && candidate.family_ == Family::kIPv4)) {
      found = candidate;
      have = true;
    }
  }
  ::freeaddrinfo(results);
  if (!have) {
    if (error != nullptr) *error = "cannot resolve \"" + name + "\": no IPv4 or IPv6 address";
    return false;
  }
  found.port_ = port;
  *out = found;
  return true;
}

uint32_t NetworkAddress::IPv4HostOrder() const {
  const NetworkAddress plain = Unmapped();
  if (plain.family_ != Family::kIPv4) return 0;
  return uint32_t{plain.bytes_[0]} << 24 | uint32_t{plain.bytes_[1]} << 16 |
         uint32_t{plain.bytes_[2]} << 8 | plain.bytes_[3];
}

bool NetworkAddress::IsIPv4Mapped() const {
  return family_ == Family::kIPv6 && std::memcmp(bytes_.data(), kMappedPrefix, 12) == 0;
}

bool NetworkAddress::IsAny() const {
  if (family_ == Family::kIPv4) return IPv4HostOrder() == 0;
  for (uint8_t b : bytes_) {
    if (b != 0) return false;
  }
  return family_ == Family::kIPv6;
}

NetworkAddress NetworkAddress::Unmapped() const {
  if (!IsIPv4Mapped()) return *this;
  NetworkAddress a;
  a.family_ = Family::kIPv4;
  std::memcpy(a.bytes_.data(), bytes_.data() + 12, 4);
  a.port_ = port_;
  return a;
}

NetworkAddress NetworkAddress::Mapped() const {
  if (family_ != Family::kIPv4) return *this;
  NetworkAddress a;
  a.family_ = Family::kIPv6;
  std::memcpy(a.bytes_.data(), kMappedPrefix, 12);
  std::memcpy(a.bytes_.data() + 12, bytes_.data(), 4);
  a.port_ = port_;
  return a;
}

std::string NetworkAddress::AddressText() const {
  if (family_ == Family::kNone || win32::StartWinsock() != 0) return "";
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
  if (family_ == Family::kIPv4) {
    ::inet_ntop(AF_INET, bytes_.data(), text, sizeof text);
    return text;
  }
  ::inet_ntop(AF_INET6, bytes_.data(), text, sizeof text);
  std::string out = text;
  if (scopeId_ != 0) {
    char name[IF_NAMESIZE] = {};
    out += '%';
    out +=
        ::if_indextoname(scopeId_, name) != nullptr ? std::string(name) : std::to_string(scopeId_);
  }
  return out;
}

std::string NetworkAddress::ToString() const {
  if (family_ == Family::kIPv6) return "[" + AddressText() + "]:" + std::to_string(port_);
  return AddressText() + ":" + std::to_string(port_);
}

bool NetworkAddress::operator==(const NetworkAddress& other) const {
  const NetworkAddress a = Unmapped();
  const NetworkAddress b = other.Unmapped();
  return a.family_ == b.family_ && a.bytes_ == b.bytes_ && a.port_ == b.port_ &&
         a.scopeId_ == b.scopeId_;
}

size_t NetworkAddress::ToSocketAddress(void* storage, size_t capacity) const {
  if (family_ == Family::kIPv4) {
    if (capacity < sizeof(sockaddr_in)) return 0;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    std::memcpy(&sa.sin_addr, bytes_.data(), 4);
    std::memcpy(storage, &sa, sizeof sa);
    return sizeof sa;
  }
  if (family_ == Family::kIPv6) {
    if (capacity < sizeof(sockaddr_in6)) return 0;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port_);
    sa.sin6_scope_id = scopeId_;
    std::memcpy(&sa.sin6_addr, bytes_.data(), 16);
    std::memcpy(storage, &sa, sizeof sa);
    return sizeof sa;
  }
  return 0;
}

bool NetworkAddress::FromSocketAddress(const void* storage, size_t length, NetworkAddress* out) {
  using AddressFamily = decltype(sockaddr::sa_family);  // ADDRESS_FAMILY, an unsigned short
  if (storage == nullptr || length < sizeof(AddressFamily)) return false;
  AddressFamily family;
  std::memcpy(&family, storage, sizeof family);
  NetworkAddress a;
  if (family == AF_INET && length >= sizeof(sockaddr_in)) {
    sockaddr_in sa;
    std::memcpy(&sa, storage, sizeof sa);
    a.family_ = Family::kIPv4;
    std::memcpy(a.bytes_.data(), &sa.sin_addr, 4);
    a.port_ = ntohs(sa.sin_port);
  } else if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sa;
    std::memcpy(&sa, storage, sizeof sa);
    a.family_ = Family::kIPv6;
    std::memcpy(a.bytes_.data(), &sa.sin6_addr, 16);
    a.port_ = ntohs(sa.sin6_port);
    a.scopeId_ = sa.sin6_scope_id;
  } else {
    return false;
  }
  *out = a;
  return true;
}

}  // namespace tarsio
