#include "jitter/LowLatencyJitterBuffer.h"

#include <algorithm>
#include <array>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "platform/Clock.h"
#include "rtp/RTPPacket.h"

namespace tarsio {

namespace {

constexpr uint8_t kComfortNoisePayloadType = 13;
constexpr uint8_t kULawPayloadType = 0;
constexpr uint8_t kALawPayloadType = 8;
constexpr int kBytesPerSample = 2;

bool IsPcm8k(const WAVEFORMATEX& format) {
  return format.wBitsPerSample == 16 && format.nChannels == 1 && format.nSamplesPerSec == 8000;
}

}  // namespace

LowLatencyJitterBuffer::LowLatencyJitterBuffer() {
  tracer.SetInstanceName("LowLatencyJitterBuffer", this);
  ReadTraceLevel();
}

int32_t LowLatencyJitterBuffer::ReadTraceLevel() { return ReadTraceLevelFor("RTPJitterBuffer"); }

void LowLatencyJitterBuffer::SetFrameDuration(int32_t ms) {
  // The playout buffer works in frames of 10..60 ms; clamped here so no product overflows.
  frameDurationMs.store(std::clamp(ms, 1, 1000));
}

void LowLatencyJitterBuffer::SetInitialJitter(int32_t ms) { initialJitterMs.store(ms); }

int32_t LowLatencyJitterBuffer::TransformAudioSamples(AudioSampleList&, AudioSample** out) {
  if (out != nullptr) *out = nullptr;
  return 0;
}

int32_t LowLatencyJitterBuffer::TransformStarted() {
  TRACE(tracer, trace::kEntry, "TransformStarted\n");
  AudioSampleManager::Instance()->Reserve(kReservedSamples);
  CriticalSectionLock lock(bufferMutex);
  if (!bRunning.load()) {
    playout.Reset(frameDurationMs.load() * PlayoutBuffer::kSamplesPerMs, initialJitterMs.load());
    bRunning.store(true);
  }
  return 0;
}

int32_t LowLatencyJitterBuffer::TransformStopped() {
  TRACE(tracer, trace::kEntry, "TransformStopped\n");
  CriticalSectionLock lock(bufferMutex);
  bRunning.store(false);
  return 0;
}

int32_t LowLatencyJitterBuffer::RenderAudioSamples(AudioSampleList& inputs) {
  if (!bRunning.load() || inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* sample = inputs.front().first;
  const RTPPacket* header = sample->GetRTPHeader();
  if (header == nullptr) {
    TRACE(tracer, trace::kError, "RenderAudioSamples : packet with no RTP header\n");
    return kErrNoRTPHeader;
  }
  // Other payload types (telephone events, ...) are not audio of this stream: they never reach
  // the timeline, where they would sound as clicks and disturb the timing.
  if (header->payloadType != kULawPayloadType && header->payloadType != kALawPayloadType &&
      header->payloadType != kComfortNoisePayloadType) {
    return 0;
  }
  PlayoutBuffer::Packet packet;
  packet.ssrc = header->ssrc;
  packet.sequenceNumber = header->sequenceNumber;
  packet.timestamp = header->timestamp;
  packet.comfortNoise =
      header->payloadType == kComfortNoisePayloadType || sample->GetDataSize() <= 0;
  if (!packet.comfortNoise) {
    if (!IsPcm8k(sample->Format())) {
      TRACE(tracer, trace::kError, "RenderAudioSamples : not 16-bit 8 kHz mono PCM\n");
      return kErrNotPcm;
    }
    packet.samples = reinterpret_cast<const int16_t*>(sample->GetData());
    packet.count = sample->GetDataSize() / kBytesPerSample;
  }
  const int64_t now = static_cast<int64_t>(Clock::Current().NowMs());
  CriticalSectionLock lock(bufferMutex);
  if (bRunning.load()) playout.Insert(packet, now);
  return 0;
}

int32_t LowLatencyJitterBuffer::GenerateData(AudioSample** out) {
  *out = nullptr;
  if (!bRunning.load()) return 0;
  AudioSample* frame = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&frame, static_cast<AudioSource*>(this));
  if (frame == nullptr) return 0;
  frame->SetFormat(PcmFormat());
  frame->SetSilenceDuration(0);
  int samples = 0;
  {
    CriticalSectionLock lock(bufferMutex);
    samples = playout.FrameSamples();
    // Samples are 16-bit little-endian, the machine's own order on every target.
    playout.Pull(reinterpret_cast<int16_t*>(frame->GetData()),
                 static_cast<int64_t>(Clock::Current().NowMs()));
  }
  frame->SetDataSize(samples * kBytesPerSample);
  *out = frame;
  return 0;
}

uint64_t LowLatencyJitterBuffer::PacketsReceived() {
  CriticalSectionLock lock(bufferMutex);
  return playout.GetStats().packetsReceived;
}

LowLatencyJitterBuffer::Report LowLatencyJitterBuffer::GetReport() {
  CriticalSectionLock lock(bufferMutex);
  Report report;
  report.stats = playout.GetStats();
  report.networkMedianMs = playout.NetworkDelay().Median();
  report.networkP95Ms = playout.NetworkDelay().Quantile(0.95);
  report.bufferMedianMs = playout.BufferDelay().Median();
  report.bufferP95Ms = playout.BufferDelay().Quantile(0.95);
  return report;
}

}  // namespace tarsio
