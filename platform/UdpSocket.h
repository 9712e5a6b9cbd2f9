// A UDP socket (IPv4, or dual-stack IPv6) with WinSock 1.1 behaviour: over Linux sockets
// (platform/posix) or WinSock 2 (platform/win32), with the same results on both.
//
// Calls return 0 (or a byte count) on success and kSocketError (-1) on failure; the failure's
// WinSock number is then LastError() (WSAGetLastError: per thread, set by the last failing call
// of this thread) and the raw errno LastErrno(). Every failure is also traced with its errno.
// Differences from plain Linux sockets that the callers rely on:
// - RecvFrom fails a datagram longer than the buffer with WSAEMSGSIZE (10040) instead of
//   truncating it silently; the datagram is consumed, as on Windows.
// - Shutdown of an unconnected datagram socket succeeds (Linux says ENOTCONN but still shuts the
//   direction down and wakes readers).
// - EventSelect associates the socket with a SocketEvent (signalled while a datagram waits) and
//   makes it non-blocking, as WSAEventSelect does; EventSelect(nullptr) undoes the association.
// - A closed socket object stays valid: every later call fails with WSAENOTSOCK. Sockets are
//   shared through std::shared_ptr so that the transmitter can close the socket the receiver
//   still holds without a dangling handle or a recycled descriptor number.
//
// - An IPv6 socket is dual-stack: it also sends to and receives from IPv4 peers, which it reports
//   as plain IPv4 addresses (not IPv4-mapped ones).
//
// Threading: every member may be called from any thread. Send, receive and option calls hold a
// shared lock on the descriptor; Close takes it exclusively after shutting the socket down (which
// wakes a blocked reader), so the descriptor is never closed under a running call and its number
// is never used after it was closed. Sends and receives on one socket run concurrently.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>

#include "platform/NativeHandle.h"
#include "platform/NetworkAddress.h"

namespace tarsio {

class SocketEvent;

class UdpSocket {
 public:
  static constexpr int kSocketError = -1;
  /// Shutdown directions (SD_RECEIVE, SD_SEND, SD_BOTH).
  static constexpr int kShutdownReceive = 0;
  static constexpr int kShutdownSend = 1;
  static constexpr int kShutdownBoth = 2;
  /// Options the engine sets.
  enum class Option {
    kTypeOfService,  // IPPROTO_IP / IP_TOS: 1 byte or a 4-byte integer holding the byte
    kDontRoute,      // SOL_SOCKET / SO_DONTROUTE: a 4-byte integer, non-zero to set
  };

  /// socket(AF_INET, SOCK_DGRAM, 0). Null on failure (LastError set).
  static std::shared_ptr<UdpSocket> Create();
  /// An IPv4 socket, or a dual-stack IPv6 one (IPV6_V6ONLY off). Null on failure.
  static std::shared_ptr<UdpSocket> Create(NetworkAddress::Family family);

  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  /// Binds to an IPv4 address and port, both in host order (address 0 = any, port 0 = any).
  int Bind(uint32_t address, uint16_t port);
  /// Binds to an address of the socket's family (an IPv4 one on an IPv6 socket is mapped).
  int Bind(const NetworkAddress& local);
  /// getsockname: the bound port in host order.
  int GetLocalPort(uint16_t* port);
  /// sendto an IPv4 address and port in network order (as in a sockaddr_in). Bytes sent or -1.
  int SendTo(const void* data, int length, uint32_t addressNet, uint16_t portNet);
  /// sendto any address the socket can reach. Bytes sent or -1.
  int SendTo(const void* data, int length, const NetworkAddress& to);
  /// Reads one datagram into buffer: its length (0 for an empty one) or -1. A datagram longer
  /// than capacity fails with WSAEMSGSIZE.
  int RecvFrom(void* buffer, int capacity);
  /// The same, and where the datagram came from (when from is not null).
  int RecvFrom(void* buffer, int capacity, NetworkAddress* from);
  NetworkAddress::Family GetFamily() const { return family_; }
  int Shutdown(int how);
  int SetOption(Option option, const void* value, int length);
  /// Associates the socket with event for readability (and non-blocking mode); null removes it.
  int EventSelect(SocketEvent* event);
  /// Drops the association with event if it is the current one (its owner is going away).
  void ForgetEvent(SocketEvent* event);
  /// closesocket: fails with WSAENOTSOCK when already closed.
  int Close();

  bool IsOpen() const;
  /// The socket for polling (kNoNativeHandle once closed). Do not close it.
  NativeHandle Handle() const;

  /// WSAGetLastError of the calling thread.
  static int LastError();
  /// errno of the calling thread's last failed socket call.
  static int LastErrno();
  static void SetLastError(int winsockError, int err);

 private:
  UdpSocket(NativeHandle handle, NetworkAddress::Family family);
  int SendToAddress(const void* data, int length, const void* address, uint32_t addressLength);
  /// Records errno as the last error, traces it and returns kSocketError.
  int Fail(const char* operation, int err);

  mutable std::shared_mutex fdMutex_;
  NativeHandle fd_;               // guarded by fdMutex_; kNoNativeHandle once closed
  SocketEvent* event_ = nullptr;  // guarded by fdMutex_ (exclusive)
  const NetworkAddress::Family family_;
};

}  // namespace tarsio
