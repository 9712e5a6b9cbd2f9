// Drives the receive path downstream of the RTP receiver with packets made from the input: a
// decoder (the fixed-law G.711 decoder or the per-packet one), a jitter buffer (the classic one
// or the low-latency one) and the re-framer pulled by the playback side, linked as a call links
// them. Each sample is filled exactly as the receiver fills it from a datagram.
//
// Input: byte 0 chooses the decoder, the jitter buffer, the law and the frame time; then records
// of [op][arg][length][length bytes]. op & 3: 0 a datagram made of the bytes as they are (header
// and all), 1 a packet with a well-formed header (payload type, SSRC and steps from the bytes of
// op and arg, payload the record's bytes), 2 a pull by the playback side, 3 time passes (arg ms).
// Checks: every pull gives one frame of the re-framer's size (or a silence marker of its
// duration), the jitter buffers stay within their bounds, and every sample returns to the pool.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dsp/G7112PCMTransformer.h"
#include "dsp/GenericRTP2PCMDecoder.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzFiles.h"
#include "jitter/FixedSizeAudioBuffer.h"
#include "jitter/LowLatencyJitterBuffer.h"
#include "jitter/RTPAudioStream.h"
#include "jitter/RTPJitterBuffer.h"
#include "platform/Clock.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"

namespace {

using namespace tarsio;

class InstantClock final : public Clock {
 public:
  uint64_t NowMs() override { return now_; }
  void SleepMs(uint32_t ms) override { now_ += ms; }
  bool WaitFor(std::condition_variable&, std::unique_lock<std::mutex>&, uint32_t ms,
               const std::function<bool()>& pred) override {
    if (pred()) return true;
    if (ms != kInfinite) now_ += ms;
    return pred();
  }
  void Advance(uint64_t ms) { now_ += ms; }

 private:
  uint64_t now_ = 5000;
};

InstantClock* TheClock() {
  static InstantClock clock;
  return &clock;
}

constexpr size_t kMaxRecords = 600;
constexpr int32_t kMaxDatagram = 1024;  // the receiver's slot size

// The sample the receiver hands on for a datagram, or null when the datagram is no RTP packet.
AudioSample* SampleFor(const std::vector<uint8_t>& datagram, const TracedObject* owner) {
  RTPPacket parsed;
  if (!RTPPacket::Parse(datagram.data(), static_cast<int32_t>(datagram.size()), nullptr, &parsed)) {
    return nullptr;
  }
  const RTPPacket* packet = &parsed;
  AudioSample* sample = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&sample, owner);
  Check(sample != nullptr);
  const int32_t payloadLength = packet->payloadLength;
  Check(payloadLength >= 0 && static_cast<uint32_t>(payloadLength) <= sample->GetCapacity());
  if (payloadLength > 0) std::memcpy(sample->GetData(), packet->payload, payloadLength);
  sample->SetDataSize(payloadLength);
  sample->SetSilenceDuration(0);
  sample->SetRTPHeader(parsed);
  const int codec = CodecIndexForPayloadType(packet->payloadType, payloadLength);
  sample->SetFormat(MakeAudioFormat(codec < 0 ? kCodecPCM : codec));
  if (codec == kCodecPCM) {
    sample->SetDataSize(0);
    sample->SetSilenceDuration(20);
  }
  return sample;
}

// The push side's stand-in for the receiver: a source the decoder is linked from.
class Receiver final : public AudioSource {
 public:
  int32_t GenerateData(AudioSample** out) override {
    *out = nullptr;
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarsio::fuzz::UseNoSettingsFile();
  Clock::Install(TheClock());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t mode = size > 0 ? data[0] : 0;
  InstantClock& clock = *TheClock();
  {
    Receiver receiver;
    std::unique_ptr<AudioTransformer> decoder;
    if ((mode & 1) != 0) {
      decoder = std::make_unique<GenericRTP2PCMDecoder>();
    } else {
      auto fixed = std::make_unique<G7112PCMTransformer>();
      if ((mode & 4) != 0) fixed->SetALaw();
      decoder = std::move(fixed);
    }
    const bool lowLatency = (mode & 2) != 0;
    RTPJitterBuffer classic;
    LowLatencyJitterBuffer low;
    AudioTransformer* jitter = lowLatency ? static_cast<AudioTransformer*>(&low) : &classic;
    const int32_t frameMs = 10 + 10 * ((mode >> 3) & 3);  // 10..40 ms
    low.SetFrameDuration(frameMs);
    low.SetInitialJitter((mode >> 5) * 40);
    classic.SetMinimumDepth((mode >> 5) * 20);
    FixedSizeAudioBuffer reframer;
    reframer.SetOutputDuration(frameMs);

    Connect(&receiver, decoder.get());
    Connect(decoder.get(), jitter);
    Connect(jitter, &reframer);
    Check(decoder->StartTransform() == 0);
    Check(jitter->StartTransform() == 0);
    Check(reframer.StartTransform() == 0);

    uint16_t sequence = 0xFFF0;
    uint32_t timestamp = 0xFFFFF000u;
    size_t pos = 1;
    for (size_t records = 0; pos + 3 <= size && records < kMaxRecords; ++records) {
      const uint8_t op = data[pos];
      const uint8_t arg = data[pos + 1];
      size_t length = data[pos + 2];
      if ((op & 0x80) != 0) length += 256u * (op & 0x03) + 64;  // longer payloads, up to 1087
      pos += 3;
      if (length > size - pos) length = size - pos;
      const uint8_t* bytes = data + pos;
      pos += length;
      switch (op & 3) {
        case 0:
        case 1: {
          std::vector<uint8_t> datagram;
          if ((op & 3) == 0) {
            datagram.assign(bytes, bytes + length);
          } else {
            static constexpr uint8_t kTypes[8] = {0, 8, 13, 0, 8, 18, 4, 96};
            const uint8_t type = kTypes[(op >> 2) & 7];
            // Mostly the next packet; sometimes a jump, a repeat or a step back.
            sequence = static_cast<uint16_t>(sequence + ((arg & 0x80) != 0 ? arg * 251 : 1));
            timestamp += (arg & 0x40) != 0 ? static_cast<uint32_t>(arg) << 20
                                           : static_cast<uint32_t>(static_cast<int8_t>(arg) * 20);
            const uint32_t ssrc = (op & 0x20) != 0 ? 0x5000u + (arg & 7) : 0x1234u;
            datagram.resize(12);
            WriteRTPHeader(datagram.data(), type, (op & 0x40) != 0, sequence, timestamp, ssrc);
            datagram.insert(datagram.end(), bytes, bytes + length);
          }
          if (datagram.size() > static_cast<size_t>(kMaxDatagram)) datagram.resize(kMaxDatagram);
          AudioSample* sample = SampleFor(datagram, &receiver);
          if (sample == nullptr) break;
          AudioSampleList inputs{{sample, &receiver}};
          decoder->RenderAudioSamples(inputs);
          sample->Release(&receiver);
          break;
        }
        case 2: {
          AudioSample* out = nullptr;
          reframer.GenerateData(&out);
          Check(out != nullptr);
          const int32_t bytes = out->GetDataSize();
          Check(bytes == reframer.GetOutputSize() ||
                (bytes == 0 && out->GetSilenceDuration() == frameMs));
          out->Release(nullptr);
          break;
        }
        default:
          clock.Advance(arg);
          break;
      }
      if (lowLatency) {
        const LowLatencyJitterBuffer::Report report = low.GetReport();
        Check(report.stats.latePackets <= report.stats.packetsReceived);
      } else {
        Check(classic.GetStreamCount() <= 1 + RTPJitterBuffer::kMaxInactiveStreams);
        Check(classic.GetQueuedPackets() <=
              static_cast<int32_t>((1 + RTPJitterBuffer::kMaxInactiveStreams) *
                                   RTPAudioStream::kMaxQueuedPackets));
      }
    }
    reframer.StopTransform();
    jitter->StopTransform();
    decoder->StopTransform();
    Disconnect(jitter, &reframer);
    Disconnect(decoder.get(), jitter);
    Disconnect(&receiver, decoder.get());
  }
  Check(AudioSampleManager::Instance()->InUseCount() == 0);
  return 0;
}
