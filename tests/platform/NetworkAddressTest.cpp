// Addresses of both families: literals, names, mapped IPv4, printing; and real sockets carrying
// datagrams over IPv6 loopback and across families on a dual-stack socket, with the sender's
// address reported as the peer would name it.
#include "platform/NetworkAddress.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/UdpSocket.h"
#include "platform/WinsockErrors.h"

namespace tarsio {
namespace {

TEST(NetworkAddressTest, ParsesPrintsAndComparesBothFamilies) {
  NetworkAddress a;
  ASSERT_TRUE(NetworkAddress::Parse("192.0.2.7", 5004, &a));
  EXPECT_EQ(NetworkAddress::Family::kIPv4, a.GetFamily());
  EXPECT_EQ(0xc0000207u, a.IPv4HostOrder());
  EXPECT_EQ("192.0.2.7:5004", a.ToString());

  NetworkAddress b;
  ASSERT_TRUE(NetworkAddress::Parse("[2001:DB8::1]", 40000, &b));
  EXPECT_EQ(NetworkAddress::Family::kIPv6, b.GetFamily());
  EXPECT_EQ("2001:db8::1", b.AddressText());
  EXPECT_EQ("[2001:db8::1]:40000", b.ToString());
  EXPECT_EQ(0u, b.IPv4HostOrder());

  // A mapped IPv4 address is the same peer as the plain one.
  NetworkAddress mapped;
  ASSERT_TRUE(NetworkAddress::Parse("::ffff:192.0.2.7", 5004, &mapped));
  EXPECT_TRUE(mapped.IsIPv4Mapped());
  EXPECT_EQ(a, mapped);
  EXPECT_EQ(a, a.Mapped().Unmapped());
  EXPECT_EQ(NetworkAddress::Family::kIPv6, a.Mapped().GetFamily());
  EXPECT_NE(a, NetworkAddress::IPv4(0xc0000207u, 5005));

  // A numeric zone is an interface index; the loopback interface has a name too.
  NetworkAddress scoped;
  ASSERT_TRUE(NetworkAddress::Parse("fe80::1%1", 1, &scoped));
  EXPECT_NE(scoped, NetworkAddress());
  EXPECT_NE(std::string::npos, scoped.ToString().find('%')) << scoped.ToString();
  // Both survive the socket address structures (16 and 28 bytes), which need their room.
  for (const NetworkAddress& address : {a, scoped}) {
    unsigned char storage[64];
    const size_t length = address.ToSocketAddress(storage, sizeof storage);
    EXPECT_EQ(address.GetFamily() == NetworkAddress::Family::kIPv4 ? 16u : 28u, length);
    NetworkAddress back;
    EXPECT_TRUE(NetworkAddress::FromSocketAddress(storage, length, &back));
    EXPECT_EQ(address, back);
    EXPECT_EQ(0u, address.ToSocketAddress(storage, length - 1));
  }

  for (const char* bad : {"", "1.2.3", "256.1.1.1", "2001:db8:::1", "[::1", "fe80::1%", "host",
                          "1.2.3.4 ", "::1%nosuchinterface0"}) {
    NetworkAddress untouched = a;
    EXPECT_FALSE(NetworkAddress::Parse(bad, 1, &untouched)) << bad;
    EXPECT_EQ(a, untouched) << bad;
  }
  // The classic conversion: short forms, and all ones for what is no address.
  EXPECT_EQ(0x0a000001u, NetworkAddress::FromIPv4Text("10.1", 0).IPv4HostOrder());
  EXPECT_EQ(0xffffffffu, NetworkAddress::FromIPv4Text("junk", 0).IPv4HostOrder());
  EXPECT_TRUE(NetworkAddress::IPv4(0, 9).IsAny());
  EXPECT_TRUE(NetworkAddress::AnyIPv6(9).IsAny());
  EXPECT_FALSE(NetworkAddress::LoopbackIPv6(9).IsAny());
}

TEST(NetworkAddressTest, ResolvesNamesAndSaysWhyNot) {
  NetworkAddress a;
  std::string error;
  ASSERT_TRUE(NetworkAddress::Resolve("localhost", 7, &a, &error)) << error;
  EXPECT_TRUE(a == NetworkAddress::IPv4(0x7f000001u, 7) || a == NetworkAddress::LoopbackIPv6(7))
      << a.ToString();
  EXPECT_FALSE(NetworkAddress::Resolve("no-such-host.invalid", 7, &a, &error));
  EXPECT_NE(std::string::npos, error.find("no-such-host.invalid")) << error;
  EXPECT_FALSE(NetworkAddress::Resolve("", 7, &a, &error));
  EXPECT_EQ("no address given", error);
}

TEST(NetworkAddressTest, DualStackSocketCarriesBothFamiliesAndNamesTheSender) {
  auto v6 = UdpSocket::Create(NetworkAddress::Family::kIPv6);
  if (v6 == nullptr)
    GTEST_SKIP() << "no IPv6 sockets here (error " << UdpSocket::LastError() << ")";
  if (v6->Bind(NetworkAddress::AnyIPv6(0)) != 0) {
    GTEST_SKIP() << "cannot bind an IPv6 socket (error " << UdpSocket::LastError() << ")";
  }
  uint16_t port = 0;
  ASSERT_EQ(0, v6->GetLocalPort(&port));
  ASSERT_NE(0, port);
  EXPECT_EQ(UdpSocket::kSocketError, v6->Bind(0x7f000001u, 0));  // bound already
  EXPECT_EQ(wsa::kInvalid, UdpSocket::LastError());

  // IPv4 sender to the dual-stack socket: reported as plain 127.0.0.1 and its port.
  auto v4 = UdpSocket::Create();
  ASSERT_NE(nullptr, v4);
  ASSERT_EQ(0, v4->Bind(NetworkAddress::IPv4(0x7f000001u, 0)));
  uint16_t v4Port = 0;
  ASSERT_EQ(0, v4->GetLocalPort(&v4Port));
  ASSERT_EQ(5, v4->SendTo("hello", 5, NetworkAddress::IPv4(0x7f000001u, port)));
  char buffer[64];
  NetworkAddress from;
  ASSERT_EQ(5, v6->RecvFrom(buffer, sizeof buffer, &from));
  EXPECT_EQ(NetworkAddress::IPv4(0x7f000001u, v4Port), from);
  EXPECT_EQ(NetworkAddress::Family::kIPv4, from.GetFamily());

  // And back: the dual-stack socket answers the IPv4 peer at the address it reported.
  ASSERT_EQ(3, v6->SendTo("ack", 3, from));
  NetworkAddress back;
  ASSERT_EQ(3, v4->RecvFrom(buffer, sizeof buffer, &back));
  EXPECT_EQ(port, back.Port());

  // IPv6 loopback both ways.
  auto peer = UdpSocket::Create(NetworkAddress::Family::kIPv6);
  ASSERT_NE(nullptr, peer);
  if (peer->Bind(NetworkAddress::LoopbackIPv6(0)) != 0) GTEST_SKIP() << "no ::1 here";
  uint16_t peerPort = 0;
  ASSERT_EQ(0, peer->GetLocalPort(&peerPort));
  ASSERT_EQ(4, peer->SendTo("ping", 4, NetworkAddress::LoopbackIPv6(port)));
  ASSERT_EQ(4, v6->RecvFrom(buffer, sizeof buffer, &from));
  EXPECT_EQ(NetworkAddress::LoopbackIPv6(peerPort), from);
  EXPECT_EQ("[::1]:" + std::to_string(peerPort), from.ToString());
  const int tos = 0xb8;
  EXPECT_EQ(0, v6->SetOption(UdpSocket::Option::kTypeOfService, &tos, sizeof tos));

  // An IPv4-only socket cannot reach an IPv6 peer: refused with the WinSock number.
  EXPECT_EQ(UdpSocket::kSocketError, v4->SendTo("x", 1, NetworkAddress::LoopbackIPv6(port)));
  EXPECT_EQ(wsa::kAfNoSupport, UdpSocket::LastError());
}

}  // namespace
}  // namespace tarsio
