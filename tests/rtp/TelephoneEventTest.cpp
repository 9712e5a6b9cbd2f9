// RFC 4733 telephone events: the packets a digit becomes, and the receiver that turns packets
// (with losses, retransmitted ends and reordering) back into digits reported once each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtp/TelephoneEventPayload.h"
#include "rtp/TelephoneEventReceiver.h"
#include "rtp/TelephoneEventSender.h"

namespace tarsio {
namespace {

struct Sent {
  bool event = false;  // an event packet (else the audio frame went out)
  TelephoneEventSender::Packet packet;
  TelephoneEventPayload payload;
};

// Runs the sender for n frames of 20 ms at 8 kHz starting at timestamp 1000.
std::vector<Sent> RunFrames(TelephoneEventSender& sender, int frames) {
  std::vector<Sent> out;
  for (int i = 0; i < frames; ++i) {
    Sent s;
    s.event = sender.NextPacket(1000 + 160u * static_cast<uint32_t>(i), 160, 8000, &s.packet);
    if (s.event) TelephoneEventPayload::Read(s.packet.payload, 4, &s.payload);
    out.push_back(s);
  }
  return out;
}

TEST(TelephoneEventTest, ADigitBecomesMarkedUpdatesThreeEndsAndAGap) {
  TelephoneEventSender sender;
  EXPECT_FALSE(sender.Queue("12x", 100));  // 'x' is no digit: nothing queued
  EXPECT_EQ(0u, sender.Pending());
  ASSERT_TRUE(sender.Queue("5#", 100));
  const std::vector<Sent> sent = RunFrames(sender, 24);

  // "5": 100 ms = 5 frames of updates (the last one already the end), 2 more ends, 3 audio.
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(sent[i].event) << i;
    EXPECT_EQ(5, sent[i].payload.event);
    EXPECT_EQ(1000u, sent[i].packet.timestamp);  // the event's first frame, throughout
    EXPECT_EQ(i == 0, sent[i].packet.marker);
    EXPECT_EQ(160u * static_cast<uint32_t>(std::min(i + 1, 5)), sent[i].payload.duration);
    EXPECT_EQ(i >= 4, sent[i].payload.end) << i;
  }
  for (int i = 7; i < 10; ++i) EXPECT_FALSE(sent[i].event) << i;
  // "#": starts at frame 10 with its own timestamp and a new marker.
  ASSERT_TRUE(sent[10].event);
  EXPECT_EQ(11, sent[10].payload.event);
  EXPECT_TRUE(sent[10].packet.marker);
  EXPECT_EQ(1000u + 1600u, sent[10].packet.timestamp);
  for (int i = 17; i < 24; ++i) EXPECT_FALSE(sent[i].event) << i;
  EXPECT_EQ(0u, sender.Pending());

  // The queue holds 64 digits at most, all or nothing; durations are clamped.
  EXPECT_TRUE(sender.Queue(std::string(64, '1'), 1));
  EXPECT_FALSE(sender.Queue("2", 100));
  sender.Clear();
  const std::vector<Sent> shortest =
      RunFrames(sender, 8);  // the digit in flight when cleared: none
  EXPECT_FALSE(shortest[0].event);
  ASSERT_TRUE(sender.Queue("D", 1));
  const std::vector<Sent> clamped = RunFrames(sender, 8);
  EXPECT_EQ(15, clamped[0].payload.event);
  EXPECT_EQ(320u, clamped[3].payload.duration);  // 40 ms minimum
  EXPECT_TRUE(clamped[3].payload.end);
}

TEST(TelephoneEventTest, ReceiverReportsEachDigitOnceWithItsDuration) {
  TelephoneEventSender sender;
  ASSERT_TRUE(sender.Queue("1*9", 100));
  const std::vector<Sent> sent = RunFrames(sender, 40);

  TelephoneEventReceiver receiver;
  int index = 0;
  for (const Sent& s : sent) {
    ++index;
    if (!s.event) continue;
    // Lose every end packet of the last digit, and the first update of the second.
    if (s.payload.event == 9 && s.payload.end) continue;
    if (s.payload.event == 10 && s.packet.marker) continue;
    EXPECT_TRUE(receiver.OnPacket(s.packet.timestamp, s.packet.payload, 4, 8000));
  }
  // A late packet of the first digit after the others: ignored.
  EXPECT_TRUE(receiver.OnPacket(1000, sent[1].packet.payload, 4, 8000));
  receiver.Flush();

  std::string digits;
  std::vector<uint32_t> durations;
  std::vector<bool> ends;
  TelephoneEventReceiver::Event e;
  while (receiver.PopEvent(&e)) {
    digits += e.digit;
    durations.push_back(e.durationMs);
    ends.push_back(e.endSeen);
  }
  EXPECT_EQ("1*9", digits);
  EXPECT_EQ((std::vector<uint32_t>{100, 100, 80}), durations);  // the last: its last update
  EXPECT_EQ((std::vector<bool>{true, true, false}), ends);

  // Short payloads are counted, not reported.
  const uint8_t tooShort[3] = {1, 0x80, 0};
  EXPECT_FALSE(receiver.OnPacket(5000, tooShort, 3, 8000));
  EXPECT_EQ(1u, receiver.Malformed());
  EXPECT_FALSE(receiver.PopEvent(&e));
}

}  // namespace
}  // namespace tarsio
