// The WinSock error numbers that socket failures are reported with.
//
// The host log shows socket errors as WinSock numbers (10035, 10040, ...), so the socket layer
// translates errno into them at the platform boundary. The original errno stays available
// (UdpSocket::LastErrno) and goes to the trace.
#pragma once

#include <cstdint>

namespace tarsio {

// The numbers WinSock gives its errors (WSAEINTR ... WSAEHOSTUNREACH).
namespace wsa {
inline constexpr int kInterrupted = 10004;
inline constexpr int kBadFile = 10009;
inline constexpr int kAccess = 10013;
inline constexpr int kFault = 10014;
inline constexpr int kInvalid = 10022;
inline constexpr int kTooManyFiles = 10024;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kAlready = 10037;
inline constexpr int kNotSocket = 10038;
inline constexpr int kDestAddrRequired = 10039;
inline constexpr int kMsgSize = 10040;
inline constexpr int kProtoType = 10041;
inline constexpr int kNoProtoOpt = 10042;
inline constexpr int kProtoNoSupport = 10043;
inline constexpr int kSocketNoSupport = 10044;
inline constexpr int kOpNotSupported = 10045;
inline constexpr int kPfNoSupport = 10046;
inline constexpr int kAfNoSupport = 10047;
inline constexpr int kAddrInUse = 10048;
inline constexpr int kAddrNotAvail = 10049;
inline constexpr int kNetDown = 10050;
inline constexpr int kNetUnreachable = 10051;
inline constexpr int kNetReset = 10052;
inline constexpr int kConnAborted = 10053;
inline constexpr int kConnReset = 10054;
inline constexpr int kNoBuffers = 10055;
inline constexpr int kIsConnected = 10056;
inline constexpr int kNotConnected = 10057;
inline constexpr int kShutdown = 10058;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnRefused = 10061;
inline constexpr int kHostDown = 10064;
inline constexpr int kHostUnreachable = 10065;
}  // namespace wsa

/// The WinSock number for an errno value. A refused datagram (ECONNREFUSED, the ICMP "port
/// unreachable" of an earlier send) becomes WSAECONNRESET, as WinSock reports it on UDP sockets;
/// EBADF becomes WSAENOTSOCK because a closed socket handle is "not a socket" there. Values
/// without a counterpart become WSAEINVAL.
int WinsockErrorFromErrno(int err);

}  // namespace tarsio
