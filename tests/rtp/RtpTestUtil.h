// Helpers shared by the transmitter and receiver tests: datagram building, pooled samples, a sink
// that records what reaches it, and a bounded wait for a readable socket.
#pragma once

#include <arpa/inet.h>
#include <poll.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/AudioSink.h"
#include "platform/UdpSocket.h"
#include "rtp/RTPPacket.h"

namespace tarsio::testing {

/// A whole RTP datagram with a 12-byte header and payloadLength bytes of (seq + i) & 0xFF.
inline std::vector<uint8_t> MakeRtp(uint16_t seq, uint32_t ts, uint8_t pt, size_t payloadLength,
                                    uint32_t ssrc = 0x1234, bool marker = false) {
  std::vector<uint8_t> d(12 + payloadLength);
  WriteRTPHeader(d.data(), pt, marker, seq, ts, ssrc);
  for (size_t i = 0; i < payloadLength; ++i) d[12 + i] = static_cast<uint8_t>(seq + i);
  return d;
}

/// A pooled sample of the codec's format holding bytes (data size 0 and silenceMs when empty).
inline AudioSample* MakeSample(int codecIndex, const std::vector<uint8_t>& bytes,
                               int32_t silenceMs = 0) {
  AudioSample* s = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&s, nullptr);
  s->SetFormat(MakeAudioFormat(codecIndex));
  if (!bytes.empty()) std::memcpy(s->GetData(), bytes.data(), bytes.size());
  s->SetDataSize(static_cast<int32_t>(bytes.size()));
  if (bytes.empty()) s->SetSilenceDuration(silenceMs);
  return s;
}

/// Reads one datagram within timeoutMs of real time; empty when none came.
inline std::vector<uint8_t> ReadDatagram(UdpSocket& socket, int timeoutMs = 1000) {
  pollfd p{socket.Fd(), POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return {};
  std::vector<uint8_t> buffer(2048);
  const int n = socket.RecvFrom(buffer.data(), static_cast<int>(buffer.size()));
  if (n < 0) return {};
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

/// What a received sample carried, copied out before the sample went back to the pool.
struct ReceivedSample {
  uint16_t sequenceNumber = 0;
  uint32_t timestamp = 0;
  uint8_t payloadType = 0;
  uint16_t formatTag = 0;
  int32_t silenceMs = 0;
  std::vector<uint8_t> data;
};

inline ReceivedSample Describe(AudioSample* s) {
  ReceivedSample r;
  if (RTPPacket* h = s->GetRTPHeader()) {
    r.sequenceNumber = h->sequenceNumber;
    r.timestamp = h->timestamp;
    r.payloadType = h->payloadType;
  }
  r.formatTag = s->Format().wFormatTag;
  r.silenceMs = s->GetSilenceDuration();
  r.data.assign(s->GetData(), s->GetData() + s->GetDataSize());
  return r;
}

/// A sink that records every sample pushed into it.
class RecordingSink : public AudioSink {
 public:
  RecordingSink() { tracer.SetInstanceName("RecordingSink", this); }
  int32_t RenderAudioSamples(AudioSampleList& samples) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [sample, source] : samples) received_.push_back(Describe(sample));
    return 0;
  }
  std::vector<ReceivedSample> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<ReceivedSample> received_;
};

}  // namespace tarsio::testing
