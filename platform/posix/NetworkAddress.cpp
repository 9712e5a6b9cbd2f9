// NetworkAddress's system side on Linux: the BSD socket calls for literals, interface names, name
// lookup and the socket address structures.
#include "platform/NetworkAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tarsio {

size_t NetworkAddress::MaxLiteralLength() { return INET6_ADDRSTRLEN + IF_NAMESIZE; }

bool NetworkAddress::SocketsReady() { return true; }

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
  const in_addr_t network = ::inet_addr(text != nullptr ? text : "");
  return IPv4(ntohl(network), port);
}

bool NetworkAddress::LookUp(const std::string& name, std::vector<NetworkAddress>* found,
                            std::string* reason) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* results = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &results);
  if (rc != 0 || results == nullptr) {
    *reason = ::gai_strerror(rc);
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
  if (storage == nullptr || length < sizeof(sa_family_t)) return false;
  sa_family_t family;
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
