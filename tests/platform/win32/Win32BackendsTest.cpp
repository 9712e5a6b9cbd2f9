// What only the Windows back ends do, beside the cases both systems share (tests/platform): the
// WinSock error of the calling thread, where the settings file lives, handles that are no events,
// and an auto-reset host event that releases one waiter per signal.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The Windows headers depend on their order.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostEvent.h"
#include "platform/PollWait.h"
#include "platform/RegistryStore.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrors.h"
#include "support/ScopedEnv.h"

namespace tarsio {
namespace {

using namespace std::chrono_literals;

// A socket failure leaves its number where WinSock callers look for it too.
TEST(Win32BackendsTest, SocketFailuresSetTheThreadsWinsockError) {
  auto socket = UdpSocket::Create();
  ASSERT_NE(socket, nullptr);
  ASSERT_EQ(socket->Close(), 0);
  ::WSASetLastError(0);
  EXPECT_EQ(socket->Close(), UdpSocket::kSocketError);
  EXPECT_EQ(UdpSocket::LastError(), wsa::kNotSocket);
  EXPECT_EQ(::WSAGetLastError(), wsa::kNotSocket);
}

// Without TARSIO_REGISTRY the settings are in the registry, which the store reads and writes
// directly (a value written is at once in the hive); with it, in that file.
TEST(Win32BackendsTest, SettingsAreInTheRegistryUnlessAFileIsNamed) {
  const std::string key =
      "HKEY_CURRENT_USER\\Software\\Tarsio tests\\store-" + std::to_string(::GetCurrentProcessId());
  RegistryStore& store = RegistryStore::Instance();
  {
    testing::ScopedEnv named("TARSIO_REGISTRY", nullptr);
    store.ReloadPathFromEnvironment();
    EXPECT_EQ(RegistryStore::PathFromEnvironment(), "");
    EXPECT_EQ(store.Path(), "HKEY_CURRENT_USER");
    EXPECT_TRUE(store.CanWrite());
    // A default is written back when missing and never over a value that is there.
    EXPECT_TRUE(store.WriteDefault(key, "Flag", RegistryStore::Value::String("true"), 1024));
    EXPECT_TRUE(store.Write(key, "Level", RegistryStore::Value::Dword(3)));
    EXPECT_TRUE(store.WriteDefault(key, "Level", RegistryStore::Value::Dword(0), 0));
    EXPECT_FALSE(store.WriterRunning());
    DWORD level = 0;
    DWORD size = sizeof level;
    const std::wstring subkey =
        L"Software\\Tarsio tests\\store-" + std::to_wstring(::GetCurrentProcessId());
    EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, subkey.c_str(), L"Level", RRF_RT_REG_DWORD, nullptr,
                             &level, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(level, 3u);
    EXPECT_EQ(store.Read(key, "Flag"), RegistryStore::Value::String("true"));
    EXPECT_TRUE(store.KeyExists(key + "\\"));
    EXPECT_TRUE(store.Flush());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, subkey.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, subkey.c_str());
  }
  {
    testing::ScopedEnv named("TARSIO_REGISTRY", "C:\\settings\\registry.reg");
    EXPECT_EQ(RegistryStore::PathFromEnvironment(), "C:\\settings\\registry.reg");
    store.ReloadPathFromEnvironment();
    EXPECT_EQ(store.Path(), "C:\\settings\\registry.reg");
  }
  store.ReloadPathFromEnvironment();
}

// Null is CreateEvent's failure and -1 the current process: neither is an event (on Linux 0 is
// standard input).
TEST(Win32BackendsTest, NullAndPseudoHandlesAreNoEvents) {
  EXPECT_EQ(HostEvent::FromHostHandle(0), nullptr);
  EXPECT_EQ(PollReadable(0, 0), -1);
  EXPECT_EQ(HostEvent::FromHostHandle(reinterpret_cast<NativeHandle>(::GetCurrentProcess())),
            nullptr);
}

// A Win32 auto-reset event releases exactly one waiter per Set. (On Linux two waiters that poll
// the eventfd at the same moment may both see one Set.)
TEST(Win32BackendsTest, AutoResetHostEventReleasesOneWaiterPerSet) {
  HostEvent event(Event::Reset::kAuto);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(kInfinite) == WaitResult::kSignaled) ++woken;
    });
  }
  std::this_thread::sleep_for(20ms);
  event.Set();
  for (int i = 0; i < 5000 && woken.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(woken.load(), 1);
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 2);
  EXPECT_FALSE(event.IsSet());
}

}  // namespace
}  // namespace tarsio
