#include "platform/WinsockErrors.h"

#include <cerrno>

namespace tarsio {

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case EWOULDBLOCK:  // same value as EAGAIN on Linux
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
    case ESOCKTNOSUPPORT:
      return wsa::kSocketNoSupport;
    case EOPNOTSUPP:
      return wsa::kOpNotSupported;
    case EPFNOSUPPORT:
      return wsa::kPfNoSupport;
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
    case ESHUTDOWN:
    case EPIPE:
      return wsa::kShutdown;
    case ETIMEDOUT:
      return wsa::kTimedOut;
    case EHOSTDOWN:
      return wsa::kHostDown;
    case EHOSTUNREACH:
      return wsa::kHostUnreachable;
    default:
      return wsa::kInvalid;
  }
}

}  // namespace tarsio
