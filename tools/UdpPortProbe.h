// Checks local UDP ports before a call: the terminal binds its RTP port and holds the next one
// for RTCP, and reports a port that is taken only in its traces, so the host checks both first
// and can tell the user plainly.
//
// Threading: stateless; any thread. The answer can of course change right after it is given.
#pragma once

#include <cstdint>
#include <string>

namespace tarsio::host {

class UdpPortProbe {
 public:
  /// Whether port (and port + 1) can be bound on every local address. False with the reason in
  /// *error (e.g. "local UDP port 40000 is in use").
  static bool PairIsFree(uint16_t port, std::string* error);
  /// An even port whose pair is free, chosen by the system; 0 when none was found.
  static uint16_t FindFreePair();
};

}  // namespace tarsio::host
