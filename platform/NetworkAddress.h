// An IP address and UDP port, IPv4 or IPv6, as a plain value that code above the platform layer
// can keep, compare, print and hand to UdpSocket without any system type.
//
// Parse takes literals: "192.0.2.7", "2001:db8::1", "[2001:db8::1]" and a zone
// ("fe80::1%eth0"). Resolve also looks host names up (the system resolver, UDP, both families,
// the first answer; IPv4 first when the name has both, since an IPv4 peer is the common case).
// IPv4-mapped IPv6 addresses (::ffff:a.b.c.d), as a dual-stack socket reports IPv4 peers, are
// turned back into IPv4 by Unmapped, so one peer always compares equal to itself.
//
// The conversions to and from the system's socket address structures are for the platform layer
// only (they take untyped storage so that this header needs no system header).
//
// The value itself (its forms, comparison, the choice among a name's addresses) is the same on
// every system, in platform/NetworkAddress.cpp; platform/posix and platform/win32 supply the
// system's text conversions, interface names, name lookup and socket address structures.
//
// Threading: a value type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarsio {

class NetworkAddress {
 public:
  enum class Family : uint8_t { kNone, kIPv4, kIPv6 };

  NetworkAddress() = default;
  /// An IPv4 address in host order (0 = any).
  static NetworkAddress IPv4(uint32_t addressHostOrder, uint16_t port);
  /// The IPv6 wildcard "::".
  static NetworkAddress AnyIPv6(uint16_t port);
  static NetworkAddress LoopbackIPv6(uint16_t port);

  /// A literal address; false (and *out untouched) for anything else.
  static bool Parse(std::string_view text, uint16_t port, NetworkAddress* out);
  /// The classic IPv4 text conversion (inet_addr): dotted forms, shortened ones ("10.1") and hex
  /// or octal parts included; text that is no address gives 255.255.255.255, as it did on the
  /// sockets the engine's destinations were first written for.
  static NetworkAddress FromIPv4Text(const char* text, uint16_t port);
  /// A literal or a host name. False with *error naming the cause.
  static bool Resolve(std::string_view host, uint16_t port, NetworkAddress* out,
                      std::string* error);

  Family GetFamily() const { return family_; }
  bool IsValid() const { return family_ != Family::kNone; }
  uint16_t Port() const { return port_; }
  void SetPort(uint16_t port) { port_ = port; }
  /// The IPv4 address in host order (0 for IPv6).
  uint32_t IPv4HostOrder() const;
  bool IsIPv4Mapped() const;
  bool IsAny() const;
  /// IPv4-mapped IPv6 becomes IPv4; everything else is returned as it is.
  NetworkAddress Unmapped() const;
  /// IPv4 becomes IPv4-mapped IPv6 (for a dual-stack socket); IPv6 as it is.
  NetworkAddress Mapped() const;

  /// "192.0.2.7" or "2001:db8::1" (with "%zone" when scoped).
  std::string AddressText() const;
  /// "192.0.2.7:5004" or "[2001:db8::1]:5004".
  std::string ToString() const;

  bool operator==(const NetworkAddress& other) const;
  bool operator!=(const NetworkAddress& other) const { return !(*this == other); }

  /// Platform layer only: writes a sockaddr_in/sockaddr_in6 into storage (at least 28 bytes);
  /// returns its length, 0 when invalid or too small.
  size_t ToSocketAddress(void* storage, size_t capacity) const;
  /// Platform layer only: reads a sockaddr_in/sockaddr_in6.
  static bool FromSocketAddress(const void* storage, size_t length, NetworkAddress* out);

 private:
  // The system's side.
  /// Literals this long or longer are refused before conversion (the system's longest address
  /// text plus its longest interface name).
  static size_t MaxLiteralLength();
  /// Whether the system's socket library is ready for the calls below (WinSock starts on first
  /// use).
  static bool SocketsReady();
  /// The system's conversion of an IPv4 (4 bytes) or IPv6 (16 bytes) literal into bytes in network
  /// order; false, bytes untouched, for text that is not one.
  static bool LiteralToBytes(Family family, const std::string& text, uint8_t* bytes);
  /// The system's text of an IPv4 or IPv6 address (no zone); empty when it fails.
  static std::string BytesToLiteral(Family family, const uint8_t* bytes);
  /// The index of the network interface named name; 0 when there is none.
  static uint32_t InterfaceIndex(const std::string& name);
  /// The name of the network interface with that index, or nothing.
  static std::optional<std::string> InterfaceName(uint32_t index);
  /// Looks a host name up with the system resolver (UDP, both families): every address of its
  /// answer in order (port 0), or false with *reason saying why not.
  static bool LookUp(const std::string& name, std::vector<NetworkAddress>* found,
                     std::string* reason);

  Family family_ = Family::kNone;
  std::array<uint8_t, 16> bytes_{};  // network order; IPv4 in the first 4
  uint16_t port_ = 0;
  uint32_t scopeId_ = 0;
};

}  // namespace tarsio
