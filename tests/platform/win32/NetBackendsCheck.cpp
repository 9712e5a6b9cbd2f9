// The Windows network and settings back ends on a real system (run under Wine or Windows):
// datagrams over 127.0.0.1 and ::1 with the sender named, the socket event's level and hand
// signals and its time-outs on both clocks, the WinSock numbers of failures (a closed socket, a
// port in use, a datagram too long, a family the socket cannot reach), a send to a closed port
// that must not disturb reception, a reader woken by Close, address literals and names, and the
// settings store across two processes sharing one file.
//
// A plain program: it prints each failed check and returns 1 when any failed. It runs itself as a
// child process for the second store ("--child-read", "--child-write").
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/NetworkAddress.h"
#include "platform/RegistryStore.h"
#include "platform/SocketEvent.h"
#include "platform/TraceSink.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrors.h"
#include "support/FakeClock.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;
using Value = RegistryFile::Value;
using Family = NetworkAddress::Family;

constexpr const char* kKey = "HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0";
constexpr uint32_t kLoopback = 0x7f000001u;

int failures = 0;

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      ++failures;                                                                                  \
      std::printf("FAILED line %d: %s (LastError %d)\n", __LINE__, #cond, UdpSocket::LastError()); \
    }                                                                                              \
  } while (0)

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

template <typename Pred>
bool Eventually(Pred pred, int ms = 5000) {
  const auto start = std::chrono::steady_clock::now();
  while (!pred()) {
    if (ElapsedMs(start) > ms) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::shared_ptr<UdpSocket> BoundSocket(Family family, uint16_t* port) {
  auto s = UdpSocket::Create(family);
  if (s == nullptr) return nullptr;
  const NetworkAddress local = family == Family::kIPv6 ? NetworkAddress::LoopbackIPv6(0)
                                                       : NetworkAddress::IPv4(kLoopback, 0);
  if (s->Bind(local) != 0 || s->GetLocalPort(port) != 0) return nullptr;
  return s;
}

NetworkAddress Loopback(Family family, uint16_t port) {
  return family == Family::kIPv6 ? NetworkAddress::LoopbackIPv6(port)
                                 : NetworkAddress::IPv4(kLoopback, port);
}

void CheckAddresses() {
  NetworkAddress a;
  CHECK(NetworkAddress::Parse("127.0.0.1", 5004, &a));
  CHECK(a.GetFamily() == Family::kIPv4 && a.IPv4HostOrder() == kLoopback);
  CHECK(a.ToString() == "127.0.0.1:5004");

  NetworkAddress b;
  CHECK(NetworkAddress::Parse("[2001:DB8::1]", 40000, &b));
  CHECK(b.GetFamily() == Family::kIPv6);
  CHECK(b.ToString() == "[2001:db8::1]:40000");

  NetworkAddress mapped;
  CHECK(NetworkAddress::Parse("::ffff:127.0.0.1", 5004, &mapped));
  CHECK(mapped.IsIPv4Mapped() && mapped == a);

  // A numeric zone is an interface index, printed back with the '%'; it survives the socket
  // address structure.
  NetworkAddress scoped;
  CHECK(NetworkAddress::Parse("fe80::1%1", 9, &scoped));
  CHECK(scoped.ToString().find('%') != std::string::npos);
  unsigned char storage[64];
  const size_t length = scoped.ToSocketAddress(storage, sizeof storage);
  CHECK(length == sizeof(sockaddr_in6));
  NetworkAddress back;
  CHECK(NetworkAddress::FromSocketAddress(storage, length, &back) && back == scoped);
  CHECK(scoped.ToSocketAddress(storage, 20) == 0);  // too small for an IPv6 address

  for (const char* bad : {"", "1.2.3", "256.1.1.1", "2001:db8:::1", "[::1", "fe80::1%", "host",
                          "1.2.3.4 ", "::1%nosuchinterface0"}) {
    NetworkAddress untouched = a;
    const bool parsed = NetworkAddress::Parse(bad, 1, &untouched);
    CHECK(!parsed && untouched == a);
    if (parsed) std::printf("  accepted \"%s\"\n", bad);
  }
  // The classic conversion: short forms, and all ones for what is no address.
  CHECK(NetworkAddress::FromIPv4Text("10.1", 0).IPv4HostOrder() == 0x0a000001u);
  CHECK(NetworkAddress::FromIPv4Text("junk", 0).IPv4HostOrder() == 0xffffffffu);

  std::string error;
  NetworkAddress resolved;
  CHECK(NetworkAddress::Resolve("localhost", 7, &resolved, &error));
  CHECK(resolved == NetworkAddress::IPv4(kLoopback, 7) ||
        resolved == NetworkAddress::LoopbackIPv6(7));
  if (!error.empty()) std::printf("  localhost: %s\n", error.c_str());
  error.clear();
  CHECK(!NetworkAddress::Resolve("no-such-host.invalid", 7, &resolved, &error));
  CHECK(error.find("no-such-host.invalid") != std::string::npos);
  std::printf("  resolver says: %s\n", error.c_str());
  CHECK(!NetworkAddress::Resolve("", 7, &resolved, &error) && error == "no address given");
}

void CheckErrnoMapping() {
  CHECK(WinsockErrorFromErrno(ECONNREFUSED) == wsa::kConnReset);
  CHECK(WinsockErrorFromErrno(EBADF) == wsa::kNotSocket);
  CHECK(WinsockErrorFromErrno(EWOULDBLOCK) == wsa::kWouldBlock);
  CHECK(WinsockErrorFromErrno(EAGAIN) == wsa::kWouldBlock);
  CHECK(WinsockErrorFromErrno(EMSGSIZE) == wsa::kMsgSize);
  CHECK(WinsockErrorFromErrno(12345) == wsa::kInvalid);
}

// Datagrams between two sockets of a family, the sender named, and the failures of one socket.
void CheckDatagrams(Family family) {
  uint16_t portA = 0, portB = 0;
  auto a = BoundSocket(family, &portA);
  auto b = BoundSocket(family, &portB);
  CHECK(a != nullptr && b != nullptr);
  if (a == nullptr || b == nullptr) return;
  CHECK(portA != 0 && portB != 0 && portA != portB);
  char buffer[1024] = {};
  NetworkAddress from;
  CHECK(a->SendTo("hello", 5, Loopback(family, portB)) == 5);
  CHECK(a->SendTo("", 0, Loopback(family, portB)) == 0);
  CHECK(b->RecvFrom(buffer, sizeof buffer, &from) == 5 && std::memcmp(buffer, "hello", 5) == 0);
  CHECK(from == Loopback(family, portA));
  CHECK(b->RecvFrom(buffer, sizeof buffer, &from) == 0);  // the empty datagram

  // Too long for the buffer: 10040, the datagram consumed, the next one read whole.
  const std::vector<char> big(1500, 'x');
  CHECK(a->SendTo(big.data(), 1500, Loopback(family, portB)) == 1500);
  CHECK(a->SendTo(big.data(), 1024, Loopback(family, portB)) == 1024);
  CHECK(b->RecvFrom(buffer, sizeof buffer) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kMsgSize && UdpSocket::LastErrno() == EMSGSIZE);
  CHECK(b->RecvFrom(buffer, sizeof buffer) == 1024);

  auto c = UdpSocket::Create(family);
  CHECK(c != nullptr);
  CHECK(c->Bind(Loopback(family, portB)) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kAddrInUse);
  CHECK(c->Shutdown(UdpSocket::kShutdownReceive) == 0);  // unconnected: fine
  CHECK(a->SendTo("x", -1, Loopback(family, portB)) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kInvalid);

  const int tos = 0xb8;
  const uint8_t tosByte = 0xb8;
  CHECK(a->SetOption(UdpSocket::Option::kTypeOfService, &tos, sizeof tos) == 0);
  CHECK(a->SetOption(UdpSocket::Option::kTypeOfService, &tosByte, 1) == 0);
  CHECK(a->SetOption(UdpSocket::Option::kTypeOfService, nullptr, 4) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kFault);

  // Closed twice: the second close, and every later call, fail with WSAENOTSOCK, and the trace
  // names the failure as the Linux version does.
  std::string traced;
  TraceSink::SetRecorder([&](const char*, uint32_t, const std::string& text) { traced = text; });
  CHECK(c->Close() == 0);
  CHECK(!c->IsOpen() && c->Handle() == kNoNativeHandle);
  CHECK(c->Close() == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kNotSocket && UdpSocket::LastErrno() == EBADF);
  CHECK(::WSAGetLastError() == wsa::kNotSocket);
  CHECK(traced.rfind("closesocket : e-closesocket errno=9 (", 0) == 0 &&
        traced.find("), WSAGetLastError=10038\n") != std::string::npos);
  TraceSink::SetRecorder(nullptr);
  CHECK(c->RecvFrom(buffer, sizeof buffer) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kNotSocket);
  CHECK(c->SendTo("x", 1, Loopback(family, portB)) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kNotSocket);

  // The last error is per thread.
  std::thread other([] { UdpSocket::SetLastError(wsa::kWouldBlock, EWOULDBLOCK); });
  other.join();
  CHECK(UdpSocket::LastError() == wsa::kNotSocket);
}

void CheckDualStack() {
  auto v6 = UdpSocket::Create(Family::kIPv6);
  CHECK(v6 != nullptr);
  if (v6 == nullptr) return;
  CHECK(v6->Bind(NetworkAddress::AnyIPv6(0)) == 0);
  CHECK(v6->Bind(kLoopback, 0) == UdpSocket::kSocketError);  // an IPv4 address, the Linux answer
  CHECK(UdpSocket::LastError() == wsa::kInvalid);
  uint16_t port = 0;
  CHECK(v6->GetLocalPort(&port) == 0 && port != 0);
  uint16_t v4Port = 0;
  auto v4 = BoundSocket(Family::kIPv4, &v4Port);
  CHECK(v4 != nullptr);
  if (v4 == nullptr) return;
  char buffer[64];
  NetworkAddress from;
  CHECK(v4->SendTo("hello", 5, NetworkAddress::IPv4(kLoopback, port)) == 5);
  CHECK(v6->RecvFrom(buffer, sizeof buffer, &from) == 5);
  CHECK(from == NetworkAddress::IPv4(kLoopback, v4Port) && from.GetFamily() == Family::kIPv4);
  CHECK(v6->SendTo("ack", 3, from) == 3);
  NetworkAddress back;
  CHECK(v4->RecvFrom(buffer, sizeof buffer, &back) == 3 && back.Port() == port);
  // The IPv4 socket's own SendTo in network order reaches the dual-stack socket too.
  CHECK(v4->SendTo("n", 1, htonl(kLoopback), htons(port)) == 1);
  CHECK(v6->RecvFrom(buffer, sizeof buffer) == 1);
  CHECK(v4->SendTo("x", 1, NetworkAddress::LoopbackIPv6(port)) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kAfNoSupport);
}

// A send to a port nobody listens on, then reception goes on: neither a blocking nor a
// non-blocking receive, nor the event, report the refused datagram (Linux does not either).
void CheckRefusedSend(Family family) {
  uint16_t closedPort = 0, portA = 0, portB = 0;
  {
    auto gone = BoundSocket(family, &closedPort);
    CHECK(gone != nullptr && gone->Close() == 0);
  }
  auto a = BoundSocket(family, &portA);
  auto b = BoundSocket(family, &portB);
  CHECK(a != nullptr && b != nullptr);
  if (a == nullptr || b == nullptr) return;
  char buffer[64];
  CHECK(a->SendTo("lost", 4, Loopback(family, closedPort)) == 4);
  std::this_thread::sleep_for(50ms);  // the ICMP answer arrives
  CHECK(b->SendTo("next", 4, Loopback(family, portA)) == 4);
  NetworkAddress from;
  const int n = a->RecvFrom(buffer, sizeof buffer, &from);
  CHECK(n == 4 && from == Loopback(family, portB));
  if (n < 0) std::printf("  refused send ended a blocking receive: %d\n", UdpSocket::LastError());

  SocketEvent event;
  CHECK(a->EventSelect(&event) == 0);
  CHECK(a->SendTo("lost", 4, Loopback(family, closedPort)) == 4);
  std::this_thread::sleep_for(50ms);
  CHECK(a->RecvFrom(buffer, sizeof buffer) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kWouldBlock);
  CHECK(event.Wait(0) == WaitResult::kTimeout);
  CHECK(b->SendTo("more", 4, Loopback(family, portA)) == 4);
  CHECK(event.Wait(1000) == WaitResult::kSignaled);
  CHECK(a->RecvFrom(buffer, sizeof buffer) == 4);
  a->ForgetEvent(&event);
}

void CheckSocketEvent(Family family) {
  uint16_t portA = 0, portB = 0;
  auto a = BoundSocket(family, &portA);
  auto b = BoundSocket(family, &portB);
  CHECK(a != nullptr && b != nullptr);
  if (a == nullptr || b == nullptr) return;
  SocketEvent event;
  CHECK(event.Valid());
  CHECK(b->EventSelect(&event) == 0);
  auto start = std::chrono::steady_clock::now();
  CHECK(event.Wait(40) == WaitResult::kTimeout);
  CHECK(ElapsedMs(start) >= 30);
  char buffer[256];
  CHECK(b->RecvFrom(buffer, sizeof buffer) == UdpSocket::kSocketError);  // now non-blocking
  CHECK(UdpSocket::LastError() == wsa::kWouldBlock && UdpSocket::LastErrno() == EWOULDBLOCK);

  // A datagram arriving during a wait ends it; the event stays signalled until it is read, for
  // Wait and for a host waiting on the handle.
  const HANDLE handle = reinterpret_cast<HANDLE>(event.Handle());
  std::thread sender([&] {
    std::this_thread::sleep_for(30ms);
    a->SendTo("ping", 4, Loopback(family, portB));
  });
  start = std::chrono::steady_clock::now();
  CHECK(event.Wait(5000) == WaitResult::kSignaled);
  CHECK(ElapsedMs(start) < 4000);
  sender.join();
  CHECK(event.Wait(0) == WaitResult::kSignaled);
  CHECK(::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0);
  // A second datagram while the first waits: still one level, both read.
  CHECK(a->SendTo("pong", 4, Loopback(family, portB)) == 4);
  std::this_thread::sleep_for(20ms);
  CHECK(b->RecvFrom(buffer, sizeof buffer) == 4);
  CHECK(event.Wait(0) == WaitResult::kSignaled);
  CHECK(b->RecvFrom(buffer, sizeof buffer) == 4);
  CHECK(event.Wait(0) == WaitResult::kTimeout);
  CHECK(::WaitForSingleObject(handle, 0) == WAIT_TIMEOUT);

  // By hand: one successful wait consumes the signal; ResetEvent clears it.
  CHECK(event.Set());
  CHECK(::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0);
  CHECK(event.Wait(0) == WaitResult::kSignaled);
  CHECK(::WaitForSingleObject(handle, 0) == WAIT_TIMEOUT);  // consumed for a host too
  CHECK(event.Wait(0) == WaitResult::kTimeout);
  CHECK(event.Set() && event.Set());
  CHECK(event.ResetEvent());
  CHECK(event.Wait(0) == WaitResult::kTimeout);
  CHECK(::WaitForSingleObject(handle, 0) == WAIT_TIMEOUT);
  // ResetEvent leaves a waiting datagram's signal alone.
  CHECK(a->SendTo("keep", 4, Loopback(family, portB)) == 4);
  std::this_thread::sleep_for(20ms);
  CHECK(event.Set() && event.ResetEvent());
  CHECK(event.Wait(0) == WaitResult::kSignaled);
  CHECK(b->RecvFrom(buffer, sizeof buffer) == 4);

  // A hand signal from another thread ends an endless wait.
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    event.Set();
  });
  CHECK(event.Wait(kInfinite) == WaitResult::kSignaled);
  setter.join();

  // Under a fake clock a 500 ms wait ends after 500 ms of that clock, never before; a datagram
  // ends it while the clock stands still.
  {
    testing::FakeClock clock;
    ScopedClock scoped(clock);
    std::atomic<bool> waiting{false};
    std::atomic<int64_t> waitedMs{-1};
    WaitResult timed = WaitResult::kSignaled;
    std::thread waiter([&] {
      const uint64_t t0 = clock.NowMs();
      waiting = true;
      timed = event.Wait(500);
      waitedMs = static_cast<int64_t>(clock.NowMs() - t0);
    });
    CHECK(Eventually([&] { return waiting.load(); }));
    clock.AdvanceMs(499);
    std::this_thread::sleep_for(40ms);
    CHECK(waitedMs.load() == -1);
    for (int i = 0; i < 5000 && waitedMs.load() < 0; ++i) {
      clock.AdvanceMs(1);
      std::this_thread::sleep_for(1ms);
    }
    waiter.join();
    CHECK(timed == WaitResult::kTimeout && waitedMs.load() >= 500);

    const uint64_t before = clock.NowMs();
    std::thread late([&] {
      std::this_thread::sleep_for(30ms);
      a->SendTo("late", 4, Loopback(family, portB));
    });
    CHECK(event.Wait(500) == WaitResult::kSignaled);
    late.join();
    CHECK(clock.NowMs() == before);
    CHECK(b->RecvFrom(buffer, sizeof buffer) == 4);
  }

  // A closed socket leaves the event: a datagram sent before the close no longer signals it.
  CHECK(a->SendTo("stale", 5, Loopback(family, portB)) == 5);
  std::this_thread::sleep_for(20ms);
  CHECK(b->Close() == 0);
  CHECK(event.Wait(40) == WaitResult::kTimeout);
  CHECK(b->EventSelect(&event) == UdpSocket::kSocketError);
  CHECK(UdpSocket::LastError() == wsa::kNotSocket);
}

// Close wakes a reader blocked in RecvFrom (the socket has no event: it blocks).
void CheckCloseWakesReader() {
  uint16_t port = 0;
  auto s = BoundSocket(Family::kIPv4, &port);
  CHECK(s != nullptr);
  if (s == nullptr) return;
  std::atomic<int> result{1};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buffer[64];
    result = s->RecvFrom(buffer, sizeof buffer);
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  CHECK(!done.load());
  // Close runs on its own thread so that a reader never woken (and a Close waiting for it) ends
  // the check with a failure instead of hanging it.
  std::atomic<int> closed{1};
  std::thread closer([&] { closed = s->Close(); });
  if (!Eventually([&] { return done.load(); }, 5000)) {
    std::printf("FAILED line %d: Close did not wake the blocked reader\n", __LINE__);
    std::fflush(stdout);
    ::ExitProcess(1);
  }
  closer.join();
  reader.join();
  CHECK(closed.load() == 0);
  CHECK(result.load() <= 0);
}

// --- Settings store ---

std::wstring Widen(const std::string& text) {
  return std::filesystem::path(text).wstring();  // the check's paths are ASCII
}

void SetEnv(const wchar_t* name, const std::string& value) {
  ::SetEnvironmentVariableW(name, value.empty() ? nullptr : Widen(value).c_str());
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs this program again with arguments; its exit code, or -1.
int RunChild(const std::wstring& arguments) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return -1;
  }
  ::WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

void CheckRegistryStore() {
  RegistryStore& store = RegistryStore::Instance();
  // Where the file is when nothing points at it: under %APPDATA%.
  SetEnv(L"TARSIO_REGISTRY", "");
  SetEnv(L"APPDATA", "C:\\Users\\someone\\AppData\\Roaming");
  CHECK(RegistryStore::PathFromEnvironment() ==
        "C:\\Users\\someone\\AppData\\Roaming\\tarsio\\registry.reg");

  wchar_t tempBase[MAX_PATH];
  ::GetTempPathW(MAX_PATH, tempBase);
  const std::filesystem::path dir = std::filesystem::path(tempBase) /
                                    ("tarsio-netcheck-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "sub" / "registry.reg").string();  // "sub" made by the store
  SetEnv(L"TARSIO_REGISTRY", path);
  store.ReloadPathFromEnvironment();
  CHECK(store.Path() == path);
  CHECK(!store.Read(kKey, "Codec").has_value());
  CHECK(store.CanWrite());

  CHECK(store.WriteBehind());
  CHECK(store.Write(kKey, "Codec", Value::Dword(0x1F)));
  CHECK(store.Write(kKey, "Device", Value::String("file:C:\\in \"a\".wav")));
  CHECK(store.Read(kKey, "codec") == Value::Dword(0x1F));  // seen at once, case folded
  CHECK(store.WriterRunning());
  CHECK(store.WriteDefault(kKey, "Codec", Value::Dword(0), 0));  // a value is there already
  CHECK(store.Flush());
  CHECK(ReadText(path) ==
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0]\n"
        "\"Codec\"=dword:0000001f\n"
        "\"Device\"=\"file:C:\\\\in \\\"a\\\".wav\"\n");
  CHECK(std::filesystem::exists(path + ".lock"));
  CHECK(store.StopWriter() && !store.WriterRunning());

  // A second store (another process) reads what this one wrote, and its write is seen here.
  CHECK(RunChild(L"--child-read") == 0);
  CHECK(store.Read(kKey, "Child") == Value::Dword(7));

  // A hand edit is picked up by the next read.
  std::string text = ReadText(path);
  text.replace(text.find("1f"), 2, "2e");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  CHECK(store.Read(kKey, "Codec") == Value::Dword(0x2E));

  // Two processes writing at once lose no update (the lock file serialises them).
  CHECK(store.Write(kKey, "Codec", Value::Dword(1)));  // start this process's writer
  std::atomic<int> childResult{-1};
  std::thread child([&] { childResult = RunChild(L"--child-write"); });
  bool allWritten = true;
  for (int i = 0; i < 30; ++i) {
    allWritten = store.Write(kKey, "Parent" + std::to_string(i), Value::Dword(i)) && allWritten;
    std::this_thread::sleep_for(2ms);
  }
  child.join();
  CHECK(allWritten && childResult.load() == 0);
  CHECK(store.StopWriter());
  store.ReloadPathFromEnvironment();  // forget the view: read the file afresh
  for (int i = 0; i < 30; ++i) {
    CHECK(store.Read(kKey, "Parent" + std::to_string(i)) == Value::Dword(i));
    CHECK(store.Read(kKey, "Kid" + std::to_string(i)) == Value::Dword(100 + i));
  }

  // A directory where the file should be: nothing to read, writes refused, synchronously too.
  const std::string blocked = (dir / "blocked.reg").string();
  std::filesystem::create_directories(blocked);
  SetEnv(L"TARSIO_REGISTRY", blocked);
  store.ReloadPathFromEnvironment();
  CHECK(!store.Read(kKey, "Codec").has_value());
  CHECK(!store.CanWrite());
  CHECK(!store.Write(kKey, "Codec", Value::Dword(1)));
  store.SetWriteBehind(false);
  CHECK(!store.Write(kKey, "Codec", Value::Dword(1)));
  store.SetWriteBehind(true);

  SetEnv(L"TARSIO_REGISTRY", "");
  store.ReloadPathFromEnvironment();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  CHECK(!ec);
}

int ChildRead() {
  RegistryStore& store = RegistryStore::Instance();
  if (store.Read(kKey, "Codec") != Value::Dword(0x1F)) return 2;
  if (store.Read(kKey, "Device") != Value::String("file:C:\\in \"a\".wav")) return 3;
  store.SetWriteBehind(false);
  return store.Write(kKey, "Child", Value::Dword(7)) ? 0 : 4;
}

int ChildWrite() {
  RegistryStore& store = RegistryStore::Instance();
  bool ok = true;
  for (int i = 0; i < 30; ++i) {
    ok = store.Write(kKey, "Kid" + std::to_string(i), Value::Dword(100 + i)) && ok;
    std::this_thread::sleep_for(2ms);
  }
  return ok && store.StopWriter() ? 0 : 5;
}

}  // namespace
}  // namespace tarsio

int main(int argc, char** argv) {
  using namespace tarsio;
  if (argc > 1 && std::strcmp(argv[1], "--child-read") == 0) return ChildRead();
  if (argc > 1 && std::strcmp(argv[1], "--child-write") == 0) return ChildWrite();
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  const struct {
    const char* name;
    void (*run)();
  } checks[] = {
      {"addresses", CheckAddresses},
      {"errno mapping", CheckErrnoMapping},
      {"datagrams IPv4", [] { CheckDatagrams(Family::kIPv4); }},
      {"datagrams IPv6", [] { CheckDatagrams(Family::kIPv6); }},
      {"dual stack", CheckDualStack},
      {"refused send IPv4", [] { CheckRefusedSend(Family::kIPv4); }},
      {"refused send IPv6", [] { CheckRefusedSend(Family::kIPv6); }},
      {"socket event IPv4", [] { CheckSocketEvent(Family::kIPv4); }},
      {"socket event IPv6", [] { CheckSocketEvent(Family::kIPv6); }},
      {"close wakes reader", CheckCloseWakesReader},
      {"registry store", CheckRegistryStore},
  };
  int passed = 0, failed = 0;
  for (const auto& check : checks) {
    const int before = failures;
    check.run();
    const bool ok = failures == before;
    std::printf("%s %s\n", ok ? "ok    " : "FAILED", check.name);
    (ok ? passed : failed)++;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
