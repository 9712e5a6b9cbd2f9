// NetworkAddress's system side over WinSock 2: the same literals, names and socket address
// structures as on Linux. WinSock must be started before any of its calls, so every member that
// calls into it starts it first (once per process, see WinsockStartup.h). Zones are interface
// indexes or the names the IP Helper knows the interfaces by (if_nametoindex / if_indextoname, as
// on Linux).
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

#include <cstring>

#include "platform/win32/WinsockStartup.h"

namespace tarsio {

namespace {

// gai_strerror's text without the line break that Windows' message table ends it with.
std::string ResolverErrorText(int rc) {
  std::string text = ::gai_strerrorA(rc);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

size_t NetworkAddress::MaxLiteralLength() { return INET6_ADDRSTRLEN + IF_NAMESIZE; }

bool NetworkAddress::SocketsReady() { return win32::StartWinsock() == 0; }

bool NetworkAddress::LiteralToBytes(Family family, const std::string& text, uint8_t* bytes) {
  if (family == Family::kIPv4) {
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) != 1) return false;
    std::memcpy(bytes, &v4, 4);
    return true;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
  std::memcpy(bytes, &v6, 16);
  return true;
}

std::string NetworkAddress::BytesToLiteral(Family family, const uint8_t* bytes) {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
  ::inet_ntop(family == Family::kIPv4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
  return text;
}

uint32_t NetworkAddress::InterfaceIndex(const std::string& name) {
  return ::if_nametoindex(name.c_str());
}

std::optional<std::string> NetworkAddress::InterfaceName(uint32_t index) {
  char name[IF_NAMESIZE] = {};
  if (::if_indextoname(index, name) == nullptr) return std::nullopt;
  return std::string(name);
}

NetworkAddress NetworkAddress::FromIPv4Text(const char* text, uint16_t port) {
  // WinSock's inet_addr is the classic one; without WinSock nothing is an address.
  if (win32::StartWinsock() != 0) return IPv4(INADDR_NONE, port);
  const unsigned long network = ::inet_addr(text != nullptr ? text : "");
  return IPv4(ntohl(static_cast<u_long>(network)), port);
}

bool NetworkAddress::LookUp(const std::string& name, std::vector<NetworkAddress>* found,
                            std::string* reason) {
  if (const int started = win32::StartWinsock(); started != 0) {
    *reason = "WinSock did not start (error " + std::to_string(started) + ")";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* results = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &results);
  if (rc != 0 || results == nullptr) {
    *reason = ResolverErrorText(rc);
    if (results != nullptr) ::freeaddrinfo(results);
    return false;
  }
  for (addrinfo* r = results; r != nullptr; r = r->ai_next) {
    NetworkAddress candidate;
    if (FromSocketAddress(r->ai_addr, r->ai_addrlen, &candidate)) found->push_back(candidate);
  }
  ::freeaddrinfo(results);
  return true;
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
