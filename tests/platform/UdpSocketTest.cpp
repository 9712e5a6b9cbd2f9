// The socket layer over real loopback UDP: WinSock error numbers, oversized datagrams, closing
// under a reader, options, and the socket event's wake-ups.
#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/SocketEvent.h"
#include "platform/WinsockErrors.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

std::shared_ptr<UdpSocket> Bound(uint16_t* port) {
  auto s = UdpSocket::Create();
  EXPECT_EQ(s->Bind(INADDR_LOOPBACK, 0), 0);
  EXPECT_EQ(s->GetLocalPort(port), 0);
  return s;
}

int Send(UdpSocket& from, uint16_t toPort, size_t n, uint8_t fill) {
  const std::vector<uint8_t> data(n, fill);
  return from.SendTo(data.data(), static_cast<int>(n), htonl(INADDR_LOOPBACK), htons(toPort));
}

TEST(UdpSocketTest, LoopbackDatagramsAndWinsockErrorNumbers) {
  uint16_t portA = 0, portB = 0;
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  const uint8_t payload[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(a->SendTo(payload, 5, htonl(INADDR_LOOPBACK), htons(portB)), 5);
  ASSERT_EQ(a->SendTo(payload, 0, htonl(INADDR_LOOPBACK), htons(portB)), 0);
  uint8_t buffer[1024] = {};
  ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 5);
  EXPECT_EQ(std::memcmp(buffer, payload, 5), 0);
  ASSERT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 0);  // an empty datagram

  // Too long for the buffer: 10040, and the datagram is consumed; the next one reads normally.
  ASSERT_EQ(Send(*a, portB, 1500, 0xAB), 1500);
  ASSERT_EQ(Send(*a, portB, 1024, 0xCD), 1024);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), WSAEMSGSIZE);
  EXPECT_EQ(UdpSocket::LastErrno(), EMSGSIZE);
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 1024);
  EXPECT_EQ(buffer[1023], 0xCD);

  auto c = UdpSocket::Create();
  EXPECT_EQ(c->Bind(INADDR_LOOPBACK, portB), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), WSAEADDRINUSE);
  EXPECT_EQ(c->Shutdown(UdpSocket::kShutdownReceive), 0);  // unconnected: fine, as on WinSock
  // A closed socket object fails every call with 10038.
  EXPECT_EQ(c->Close(), 0);
  EXPECT_EQ(c->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), WSAENOTSOCK);
  EXPECT_EQ(c->Close(), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), WSAENOTSOCK);

  // Closing wakes a reader blocked on the socket.
  std::atomic<int> result{1};
  std::thread reader([&] { result = b->RecvFrom(buffer, sizeof(buffer)); });
  std::this_thread::sleep_for(30ms);
  const auto start = steady_clock::now();
  EXPECT_EQ(b->Close(), 0);
  reader.join();
  EXPECT_LT(steady_clock::now() - start, 2s);
  EXPECT_LE(result.load(), 0);  // the shut-down socket's end (0) or the closed socket (-1)
}

TEST(SocketEventTest, WakesOnALoopbackDatagramOrAHandSignal) {
  uint16_t portA = 0, portB = 0;
  auto a = Bound(&portA);
  auto b = Bound(&portB);
  SocketEvent event;
  ASSERT_TRUE(event.Valid());
  ASSERT_EQ(b->EventSelect(&event), 0);
  EXPECT_EQ(event.Wait(20), WaitResult::kTimeout);
  uint8_t buffer[1024];
  EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);  // now non-blocking
  EXPECT_EQ(UdpSocket::LastError(), WSAEWOULDBLOCK);

  // A datagram arriving during a 500 ms wait ends it at once; the event stays signalled until
  // the datagram is read. A hand signal ends a wait too, and is consumed by it.
  for (const bool byHand : {false, true}) {
    const auto start = steady_clock::now();
    std::thread signaller([&] {
      std::this_thread::sleep_for(20ms);
      byHand ? (void)event.Set() : (void)Send(*a, portB, 172, 0x11);
    });
    EXPECT_EQ(event.Wait(500), WaitResult::kSignaled);
    signaller.join();
    EXPECT_LT(steady_clock::now() - start, 400ms);
    if (!byHand) {
      EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
      EXPECT_EQ(b->RecvFrom(buffer, sizeof(buffer)), 172);
    }
    EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  }
  event.Set();
  pollfd p{event.Fd(), POLLIN, 0};  // a host can poll the event's descriptor
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(event.ResetEvent());
  EXPECT_EQ(poll(&p, 1, 0), 0);
  // A closed socket leaves the event instead of signalling it forever.
  ASSERT_EQ(b->Close(), 0);
  EXPECT_EQ(event.Wait(20), WaitResult::kTimeout);
}

}  // namespace
}  // namespace tarsio
