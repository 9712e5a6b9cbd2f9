// Drives the low-latency playout buffer with an arbitrary script of packets and pulls: each
// record of the input is one event (a packet with its SSRC, timestamp, size and arrival, or a pull
// some milliseconds later). Checks that every pull yields a whole frame, that the counters stay
// consistent (every pull is counted once as audio, concealment or silence) and that the target
// stays within its bounds, whatever the timestamps, sizes and SSRCs do.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/FuzzCheck.h"
#include "jitter/PlayoutBuffer.h"

namespace {

// One event: kind (low bit: packet or pull), SSRC selector, timestamp step, size, time step.
constexpr size_t kRecord = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tarsio::PlayoutBuffer buffer;
  const int frame = size > 0 ? 80 + (data[0] % 5) * 80 : 160;
  buffer.Reset(frame, size > 1 ? data[1] * 4 : 60);
  std::array<int16_t, 1600> pcm{};
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>((i * 977) % 20000 - 10000);
  std::array<int16_t, tarsio::PlayoutBuffer::kMaxFrame> out{};

  int64_t now = 1000;
  uint32_t timestamp = 0x7FFFFF00u;
  uint16_t sequence = 0xFFF0;
  uint64_t pulls = 0;
  for (size_t at = 2; at + kRecord <= size; at += kRecord) {
    const uint8_t* r = data + at;
    now += r[7] % 64;
    if ((r[0] & 1) == 0) {
      tarsio::PlayoutBuffer::Packet packet;
      packet.ssrc = (r[0] & 0x06) == 0x06 ? 0xBADu + r[1] : 0x1234u;
      // Mostly small steps, sometimes a jump anywhere.
      timestamp += (r[0] & 0x08) != 0 ? static_cast<uint32_t>(r[1] << 24 | r[2] << 16 | r[3])
                                      : static_cast<uint32_t>(static_cast<int8_t>(r[2]) * 40);
      packet.timestamp = timestamp;
      packet.sequenceNumber = sequence++;
      packet.comfortNoise = (r[0] & 0x10) != 0;
      packet.count = (r[4] | (r[5] & 0x07) << 8) - 64;  // -64 .. 1983 samples
      packet.samples = pcm.data();
      if (packet.count > static_cast<int>(pcm.size())) packet.count = static_cast<int>(pcm.size());
      buffer.Insert(packet, now);
    } else {
      std::memset(out.data(), 0x55, sizeof(out));
      buffer.Pull(out.data(), now);
      ++pulls;
    }
    const tarsio::PlayoutBuffer::Stats& s = buffer.GetStats();
    Check(s.framesAudio + s.framesConcealed + s.framesSilence == pulls);
    Check(buffer.TargetMs() >= frame / tarsio::PlayoutBuffer::kSamplesPerMs);
    Check(buffer.TargetMs() <= tarsio::PlayoutBuffer::kMaxTargetMs);
    Check(s.latePackets <= s.packetsReceived);
  }
  return 0;
}
