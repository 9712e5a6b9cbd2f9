#include "platform/NetworkAddress.h"

#include <cstdlib>
#include <cstring>

namespace tarsio {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

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
  if (text.empty() || text.size() >= MaxLiteralLength()) return false;
  if (!SocketsReady()) return false;
  std::string literal(text);
  NetworkAddress a;
  a.port_ = port;
  if (literal.find(':') == std::string::npos) {
    if (!LiteralToBytes(Family::kIPv4, literal, a.bytes_.data())) return false;
    a.family_ = Family::kIPv4;
    *out = a;
    return true;
  }
  const size_t percent = literal.find('%');
  if (percent != std::string::npos) {
    const std::string zone = literal.substr(percent + 1);
    literal.resize(percent);
    if (zone.empty()) return false;
    a.scopeId_ = InterfaceIndex(zone);
    if (a.scopeId_ == 0) {
      // A numeric zone is an interface index.
      char* end = nullptr;
      const unsigned long index = std::strtoul(zone.c_str(), &end, 10);
      if (end == zone.c_str() || *end != '\0' || index == 0 || index > UINT32_MAX) return false;
      a.scopeId_ = static_cast<uint32_t>(index);
    }
  }
  if (!LiteralToBytes(Family::kIPv6, literal, a.bytes_.data())) return false;
  a.family_ = Family::kIPv6;
  *out = a;
  return true;
}

bool NetworkAddress::Resolve(std::string_view host, uint16_t port, NetworkAddress* out,
                             std::string* error) {
  if (Parse(host, port, out)) return true;
  if (host.empty()) {
    if (error != nullptr) *error = "no address given";
    return false;
  }
  const std::string name(host);
  std::vector<NetworkAddress> answers;
  std::string reason;
  if (!LookUp(name, &answers, &reason)) {
    if (error != nullptr) *error = "cannot resolve \"" + name + "\": " + reason;
    return false;
  }
  // The first answer, but the first IPv4 one when there is one.
  NetworkAddress found;
  bool have = false;
  for (const NetworkAddress& candidate : answers) {
    if (!have || (found.family_ == Family::kIPv6 && candidate.family_ == Family::kIPv4)) {
      found = candidate;
      have = true;
    }
  }
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
  if (family_ == Family::kNone || !SocketsReady()) return "";
  std::string out = BytesToLiteral(family_, bytes_.data());
  if (family_ == Family::kIPv6 && scopeId_ != 0) {
    const std::optional<std::string> name = InterfaceName(scopeId_);
    out += '%';
    out += name.has_value() ? *name : std::to_string(scopeId_);
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

}  // namespace tarsio
