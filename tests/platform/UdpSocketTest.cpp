// The socket layer over real loopback UDP: WinSock error numbers, truncation detection, the socket
// event's wake-ups, closing under a reader, options.
#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/HostEvent.h"
#include "platform/SocketEvent.h"
#include "platform/WinsockErrors.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int64_t ElapsedMs(steady_clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count();
}

struct BoundSocket {
  std::shared_ptr<UdpSocket> socket;
  uint16_t port = 0;
};

BoundSocket MakeBound() {
  BoundSocket b;
  b.socket = UdpSocket::Create();
  EXPECT_NE(b.socket, nullptr);
  EXPECT_EQ(b.socket->Bind(INADDR_LOOPBACK, 0), 0);
  EXPECT_EQ(b.socket->GetLocalPort(&b.port), 0);
  EXPECT_NE(b.port, 0);
  return b;
}

int SendBytes(UdpSocket& from, uint16_t toPort, size_t n, uint8_t fill) {
  std::vector<uint8_t> data(n, fill);
  return from.SendTo(data.data(), static_cast<int>(n), htonl(INADDR_LOOPBACK), htons(toPort));
}

TEST(WinsockErrorsTest, MapsErrnoToWinsockNumbers) {
  const struct {
    int err;
    int expected;
  } rows[] = {
      {EAGAIN, 10035},        {EWOULDBLOCK, 10035},  {EMSGSIZE, 10040},   {ECONNREFUSED, 10054},
      {EBADF, 10038},         {ENOTSOCK, 10038},     {EADDRINUSE, 10048}, {EINVAL, 10022},
      {ENETUNREACH, 10051},   {EHOSTUNREACH, 10065}, {ENOBUFS, 10055},    {EACCES, 10013},
      {EADDRNOTAVAIL, 10049}, {EINTR, 10004},        {12345, 10022},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(WinsockErrorFromErrno(row.err), row.expected) << "errno " << row.err;
  }
}

TEST(UdpSocketTest, LoopbackRoundTripAndErrors) {
  BoundSocket a = MakeBound();
  BoundSocket b = MakeBound();

  // Exact bytes arrive; an empty datagram reads as length 0.
  const uint8_t payload[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(a.socket->SendTo(payload, 5, htonl(INADDR_LOOPBACK), htons(b.port)), 5);
  ASSERT_EQ(a.socket->SendTo(payload, 0, htonl(INADDR_LOOPBACK), htons(b.port)), 0);
  uint8_t buffer[1024] = {};
  ASSERT_EQ(b.socket->RecvFrom(buffer, sizeof(buffer)), 5);
  EXPECT_EQ(0, memcmp(buffer, payload, 5));
  ASSERT_EQ(b.socket->RecvFrom(buffer, sizeof(buffer)), 0);

  // A datagram that does not fit fails with 10040 and is consumed; the next one reads normally.
  ASSERT_EQ(SendBytes(*a.socket, b.port, 1500, 0xAB), 1500);
  ASSERT_EQ(SendBytes(*a.socket, b.port, 1024, 0xCD), 1024);
  EXPECT_EQ(b.socket->RecvFrom(buffer, sizeof(buffer)), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), WSAEMSGSIZE);
  EXPECT_EQ(UdpSocket::LastErrno(), EMSGSIZE);
  EXPECT_EQ(b.socket->RecvFrom(buffer, sizeof(buffer)), 1024);
  EXPECT_EQ(buffer[1023], 0xCD);

  // The port in use cannot be bound again.
  auto c = UdpSocket::Create();
  EXPECT_EQ(c->Bind(INADDR_LOOPBACK, b.port), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), WSAEADDRINUSE);

  // Shutdown of an unconnected datagram socket succeeds as on WinSock.
  EXPECT_EQ(c->Shutdown(UdpSocket::kShutdownReceive), 0);

  // A closed socket object fails every call with 10038; closing twice too.
  EXPECT_EQ(c->Close(), 0);
  EXPECT_FALSE(c->IsOpen());
  EXPECT_EQ(c->Fd(), -1);
  EXPECT_EQ(c->SendTo(payload, 5, htonl(INADDR_LOOPBACK), htons(b.port)), -1);
  EXPECT_EQ(UdpSocket::LastError(), WSAENOTSOCK);
  EXPECT_EQ(c->RecvFrom(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(UdpSocket::LastError(), WSAENOTSOCK);
  EXPECT_EQ(UdpSocket::LastErrno(), EBADF);
  EXPECT_EQ(c->Close(), -1);
  EXPECT_EQ(UdpSocket::LastError(), WSAENOTSOCK);
}

TEST(UdpSocketTest, LastErrorIsPerThread) {
  auto s = UdpSocket::Create();
  s->Close();
  EXPECT_EQ(s->Bind(0, 0), -1);
  int otherThreadError = -1;
  std::thread([&] { otherThreadError = UdpSocket::LastError(); }).join();
  EXPECT_EQ(otherThreadError, 0);
  EXPECT_EQ(UdpSocket::LastError(), WSAENOTSOCK);
}

TEST(UdpSocketTest, OptionsReachTheKernel) {
  auto s = UdpSocket::Create();
  const uint8_t tosByte = 0xB8;
  ASSERT_EQ(s->SetOption(UdpSocket::Option::kTypeOfService, &tosByte, 1), 0);
  int tos = 0;
  socklen_t len = sizeof(tos);
  ASSERT_EQ(getsockopt(s->Fd(), IPPROTO_IP, IP_TOS, &tos, &len), 0);
  EXPECT_EQ(tos, 0xB8);

  const int tosInt = 0x28;
  ASSERT_EQ(s->SetOption(UdpSocket::Option::kTypeOfService, &tosInt, 4), 0);
  ASSERT_EQ(getsockopt(s->Fd(), IPPROTO_IP, IP_TOS, &tos, &len), 0);
  EXPECT_EQ(tos, 0x28);

  const int on = 1;
  ASSERT_EQ(s->SetOption(UdpSocket::Option::kDontRoute, &on, 4), 0);
  int dontRoute = 0;
  len = sizeof(dontRoute);
  ASSERT_EQ(getsockopt(s->Fd(), SOL_SOCKET, SO_DONTROUTE, &dontRoute, &len), 0);
  EXPECT_EQ(dontRoute, 1);

  EXPECT_EQ(s->SetOption(UdpSocket::Option::kDontRoute, nullptr, 4), -1);
  EXPECT_EQ(UdpSocket::LastError(), WSAEFAULT);
}

TEST(UdpSocketTest, CloseWakesABlockedReader) {
  BoundSocket b = MakeBound();
  std::atomic<int> result{1};
  std::thread reader([&] {
    uint8_t buffer[64];
    result = b.socket->RecvFrom(buffer, sizeof(buffer));
  });
  std::this_thread::sleep_for(milliseconds(30));
  const auto start = steady_clock::now();
  EXPECT_EQ(b.socket->Close(), 0);
  reader.join();
  EXPECT_LT(ElapsedMs(start), 2000);
  // The woken reader saw either the shut-down socket's end (0) or the closed socket (-1).
  EXPECT_LE(result.load(), 0);
}

TEST(SocketEventTest, WakesAtOnceOnDatagramOrHandSignal) {
  BoundSocket a = MakeBound();
  BoundSocket b = MakeBound();
  SocketEvent event;
  ASSERT_TRUE(event.Valid());
  ASSERT_EQ(b.socket->EventSelect(&event), 0);

  // Nothing there: the wait times out and a read is a non-blocking 10035.
  EXPECT_EQ(event.Wait(20), WaitResult::kTimeout);
  uint8_t buffer[1024];
  EXPECT_EQ(b.socket->RecvFrom(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(UdpSocket::LastError(), WSAEWOULDBLOCK);

  // A datagram arriving during a 500 ms wait ends it at once; the event stays signalled while the
  // datagram waits and clears once it was read.
  auto start = steady_clock::now();
  std::thread sender([&] {
    std::this_thread::sleep_for(milliseconds(20));
    SendBytes(*a.socket, b.port, 172, 0x11);
  });
  EXPECT_EQ(event.Wait(500), WaitResult::kSignaled);
  sender.join();
  EXPECT_LT(ElapsedMs(start), 400);
  EXPECT_EQ(event.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(b.socket->RecvFrom(buffer, sizeof(buffer)), 172);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);

  // A hand signal from another thread ends the wait at once and is consumed (auto-reset); its
  // descriptor is pollable while signalled.
  start = steady_clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(milliseconds(20));
    event.Set();
  });
  EXPECT_EQ(event.Wait(500), WaitResult::kSignaled);
  waker.join();
  EXPECT_LT(ElapsedMs(start), 400);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  event.Set();
  event.Set();
  pollfd p{event.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(event.ResetEvent());
  EXPECT_EQ(poll(&p, 1, 0), 0);

  // A closed socket leaves the event: no endless signal from its shut-down state.
  ASSERT_EQ(b.socket->Close(), 0);
  EXPECT_EQ(event.Wait(20), WaitResult::kTimeout);

  // A new socket (possibly with the old descriptor number) can be associated afterwards.
  BoundSocket c = MakeBound();
  ASSERT_EQ(c.socket->EventSelect(&event), 0);
  SendBytes(*a.socket, c.port, 10, 0x22);
  EXPECT_EQ(event.Wait(500), WaitResult::kSignaled);
  ASSERT_EQ(c.socket->EventSelect(nullptr), 0);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

TEST(SocketEventTest, TimeOutRunsOnTheInstalledClock) {
  testing::FakeClock clock;
  ScopedClock scoped(clock);
  SocketEvent event;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_EQ(event.Wait(500), WaitResult::kTimeout);
    done = true;
  });
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(done.load());
  clock.AdvanceMs(499);
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(done.load());
  clock.AdvanceMs(1);
  waiter.join();
  EXPECT_TRUE(done.load());
}

TEST(HostEventTest, ManualAndAutoReset) {
  HostEvent manual;
  ASSERT_TRUE(manual.Valid());
  EXPECT_FALSE(manual.IsSet());
  EXPECT_EQ(manual.Wait(0), WaitResult::kTimeout);
  manual.Set();
  pollfd p{manual.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_EQ(manual.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(manual.Wait(0), WaitResult::kSignaled);
  manual.ResetEvent();
  EXPECT_FALSE(manual.IsSet());

  HostEvent automatic(Event::Reset::kAuto);
  automatic.Set();
  EXPECT_TRUE(automatic.IsSet());
  EXPECT_EQ(automatic.Wait(0), WaitResult::kSignaled);
  EXPECT_EQ(automatic.Wait(0), WaitResult::kTimeout);

  const auto start = steady_clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    automatic.Set();
  });
  EXPECT_EQ(automatic.Wait(2000), WaitResult::kSignaled);
  setter.join();
  EXPECT_LT(ElapsedMs(start), 1500);
}

}  // namespace
}  // namespace tarsio
