// The symmetric-RTP latch: it follows a source only after several in-sequence packets, a lone
// spoofed packet never moves it, and a rebound NAT port is followed once it proved itself.
#include "rtp/SymmetricRtpLatch.h"

#include <gtest/gtest.h>

namespace tarsio {
namespace {

TEST(SymmetricRtpLatchTest, LatchesOnProofIgnoresSpoofsAndFollowsARebinding) {
  const NetworkAddress signalled = NetworkAddress::IPv4(0xc0000201u, 40000);
  const NetworkAddress nat = NetworkAddress::IPv4(0xcb007101u, 61000);
  const NetworkAddress spoofer = NetworkAddress::IPv4(0xc6336401u, 40000);
  const NetworkAddress rebound = NetworkAddress::IPv4(0xcb007101u, 61002);
  SymmetricRtpLatch latch;
  EXPECT_EQ(signalled, latch.Target(signalled));

  uint16_t sequence = 65533;  // across the wrap
  for (int i = 1; i < SymmetricRtpLatch::kPacketsToLatch; ++i) {
    EXPECT_FALSE(latch.OnPacket(nat, 7, sequence++));
  }
  EXPECT_FALSE(latch.Latched());
  // A spoofed packet in the middle restarts the proof...
  EXPECT_FALSE(latch.OnPacket(spoofer, 7, sequence));
  for (int i = 1; i < SymmetricRtpLatch::kPacketsToLatch; ++i) {
    EXPECT_FALSE(latch.OnPacket(nat, 7, sequence++));
  }
  EXPECT_TRUE(latch.OnPacket(nat, 7, sequence++));
  EXPECT_EQ(nat, latch.Target(signalled));

  // ...and once latched, a spoofer cannot take over while the real source sends, even with the
  // right SSRC and sequence numbers; out-of-sequence runs never count.
  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(latch.OnPacket(spoofer, 7, static_cast<uint16_t>(sequence + 1)));
    EXPECT_FALSE(latch.OnPacket(nat, 7, sequence++));
  }
  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(latch.OnPacket(spoofer, 9, static_cast<uint16_t>(i * 2)));
  }
  EXPECT_EQ(nat, latch.Target(signalled));

  // The NAT rebinds: the new port proves itself while the old one falls silent.
  for (int i = 1; i < SymmetricRtpLatch::kPacketsToLatch; ++i) {
    EXPECT_FALSE(latch.OnPacket(rebound, 7, sequence++));
  }
  EXPECT_TRUE(latch.OnPacket(rebound, 7, sequence++));
  EXPECT_EQ(rebound, latch.Target(signalled));
  EXPECT_EQ(2u, latch.Moves());

  latch.Reset();
  EXPECT_EQ(signalled, latch.Target(signalled));
}

}  // namespace
}  // namespace tarsio
