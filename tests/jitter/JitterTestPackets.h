// Decoded RTP packets for the jitter tests: 16-bit 8 kHz PCM samples carrying a parsed header.
#pragma once

#include <cstdint>
#include <cstring>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/TracedObject.h"
#include "rtp/RTPPacket.h"

namespace tarsio::testing {

/// A PCM sample of `bytes` bytes (320 = 20 ms) whose first byte is the sequence number's low
/// byte, with an RTP header. One reference for the caller.
inline AudioSample* MakePacket(const TracedObject* owner, uint16_t seq, uint32_t timestamp,
                               uint32_t ssrc = 1, uint8_t payloadType = 0, int32_t bytes = 320) {
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, owner);
  sample->SetFormat(MakeAudioFormat(5));
  if (bytes > 0) {
    std::memset(sample->GetData(), 0, static_cast<size_t>(bytes));
    sample->GetData()[0] = static_cast<uint8_t>(seq & 0xFF);
  }
  sample->SetDataSize(bytes);
  auto* header = new RTPPacket;
  header->sequenceNumber = seq;
  header->timestamp = timestamp;
  header->ssrc = ssrc;
  header->payloadType = payloadType;
  header->version = 2;
  header->headerLength = 12;
  header->totalLength = 12;
  sample->SetRTPHeader(header);
  return sample;
}

/// The sequence number a sample carries, or -1 for none / no sample.
inline int SeqOf(AudioSample* sample) {
  if (sample == nullptr || sample->GetRTPHeader() == nullptr) return -1;
  return sample->GetRTPHeader()->sequenceNumber;
}

}  // namespace tarsio::testing
