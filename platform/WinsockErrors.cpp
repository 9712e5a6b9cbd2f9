// The errno-to-WinSock mapping, the same on every system.
//
// On Linux the socket layer translates its own failures with it. On Windows the UdpSocket does
// not need it for its own failures: WinSock reports those with its own numbers (WSAGetLastError),
// which are recorded as they are; code that holds an errno value (from the C runtime, or a test)
// still gets the same WinSock number as on Linux. The C runtimes number their errno values
// differently (on Windows EWOULDBLOCK is 140 and EAGAIN 11, two values; on Linux they are one),
// and Windows' has no EHOSTDOWN, ESHUTDOWN, EPFNOSUPPORT or ESOCKTNOSUPPORT, so those cases are
// written only where the runtime defines them.
#include "platform/WinsockErrors.h"

#include <cerrno>

namespace tarsio {

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
      return wsa::kWouldBlock;
    case EMSGSIZE:
      return wsa::kMsgSize;
    case ECONNREFUSED:
      return wsa::kConnReset;
    case ECONNRESET:
      return wsa::kConnReset;
    case EBADF:
    case ENOTSOCK:
      return wsa::kNotSocket;
    case EINTR:
      return wsa::kInterrupted;
    case EACCES:
    case EPERM:
      return wsa::kAccess;
    case EFAULT:
      return wsa::kFault;
    case EINVAL:
      return wsa::kInvalid;
    case EMFILE:
    case ENFILE:
      return wsa::kTooManyFiles;
    case EINPROGRESS:
      return wsa::kInProgress;
    case EALREADY:
      return wsa::kAlready;
    case EDESTADDRREQ:
      return wsa::kDestAddrRequired;
    case EPROTOTYPE:
      return wsa::kProtoType;
    case ENOPROTOOPT:
      return wsa::kNoProtoOpt;
    case EPROTONOSUPPORT:
      return wsa::kProtoNoSupport;
#ifdef ESOCKTNOSUPPORT
    case ESOCKTNOSUPPORT:
      return wsa::kSocketNoSupport;
#endif
    case EOPNOTSUPP:
      return wsa::kOpNotSupported;
#ifdef EPFNOSUPPORT
    case EPFNOSUPPORT:
      return wsa::kPfNoSupport;
#endif
    case EAFNOSUPPORT:
      return wsa::kAfNoSupport;
    case EADDRINUSE:
      return wsa::kAddrInUse;
    case EADDRNOTAVAIL:
      return wsa::kAddrNotAvail;
    case ENETDOWN:
      return wsa::kNetDown;
    case ENETUNREACH:
      return wsa::kNetUnreachable;
    case ENETRESET:
      return wsa::kNetReset;
    case ECONNABORTED:
      return wsa::kConnAborted;
    case ENOBUFS:
    case ENOMEM:
      return wsa::kNoBuffers;
    case EISCONN:
      return wsa::kIsConnected;
    case ENOTCONN:
      return wsa::kNotConnected;
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
    case EPIPE:
      return wsa::kShutdown;
    case ETIMEDOUT:
      return wsa::kTimedOut;
#ifdef EHOSTDOWN
    case EHOSTDOWN:
      return wsa::kHostDown;
#endif
    case EHOSTUNREACH:
      return wsa::kHostUnreachable;
    default:
      return wsa::kInvalid;
  }
}

}  // namespace tarsio
