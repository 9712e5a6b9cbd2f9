#include "jitter/RTPJitterBuffer.h"

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "framework/Registry.h"
#include "jitter/RTPAudioStream.h"
#include "platform/Clock.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

// The address as the traces print it (%lx): the whole pointer on 32-bit Windows and 64-bit Linux,
// its low 32 bits on 64-bit Windows, where long is 32 bits wide.
unsigned long Address(const void* p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

constexpr const char* kSettingsKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
constexpr const char* kDynamicJitterValue = "UseDynamicJitterBuffer";

}  // namespace

RTPJitterBuffer::RTPJitterBuffer() {
  tracer.SetInstanceName("RTPJitterBuffer", this);
  ReadTraceLevel();
  for (StreamSlot& slot : streamSlots) slot.stream = std::make_unique<RTPAudioStream>(0);
}

RTPJitterBuffer::~RTPJitterBuffer() {
  TRACE(tracer, trace::kEntry, "RTPJitterBuffer~\n");
  Clear();
  activeAudioStream = nullptr;
  TRACE(tracer, trace::kEntry, "~RTPJitterBuffer~\n");
}

int32_t RTPJitterBuffer::ReadTraceLevel() { return ReadTraceLevelFor("RTPJitterBuffer"); }

int32_t RTPJitterBuffer::TransformAudioSamples(AudioSampleList&, AudioSample** out) {
  if (out != nullptr) *out = nullptr;
  return 0;
}

int32_t RTPJitterBuffer::SetMinimumDepth(int32_t ms) {
  minimumDepth.store(ms);
  return 0;
}

RTPJitterBuffer::StreamSlot* RTPJitterBuffer::FindStream(uint32_t ssrc) {
  for (StreamSlot& slot : streamSlots) {
    if (slot.inUse && slot.stream->GetSSRC() == ssrc) return &slot;
  }
  return nullptr;
}

RTPAudioStream* RTPJitterBuffer::TakeFreeStream(uint32_t ssrc) {
  for (StreamSlot& slot : streamSlots) {
    if (slot.inUse) continue;
    slot.stream->Renew(ssrc);
    slot.inUse = true;
    return slot.stream.get();
  }
  return nullptr;
}

void RTPJitterBuffer::DeleteStream(StreamSlot& slot) {
  if (slot.stream.get() == activeAudioStream) activeAudioStream = nullptr;
  slot.stream->Renew(0);  // gives its packets back to the pool now
  slot.inUse = false;
}

int32_t RTPJitterBuffer::Clear() {
  CriticalSectionLock guard(rtpAudioStreamsMutex);
  for (StreamSlot& slot : streamSlots) {
    if (!slot.inUse) continue;
    TRACE(tracer, trace::kState, "Clear : deleting audio stream 0x%lx ssrc = %u\n",
          Address(slot.stream.get()), slot.stream->GetSSRC());
    DeleteStream(slot);
  }
  return 0;
}

int32_t RTPJitterBuffer::TransformStarted() {
  TRACE(tracer, trace::kEntry, "TransformStarted\n");
  // Read and reserved here, on the host's thread, so that the media threads never do either.
  const bool dynamic =
      RegGetBool(RegistryRoot::kCurrentUser, kSettingsKey, kDynamicJitterValue, true);
  AudioSampleManager::Instance()->Reserve(kReservedSamples);
  {
    CriticalSectionLock state(stateMutex);
    if (!bRunning.load()) {
      CriticalSectionLock streams(rtpAudioStreamsMutex);
      Clear();
      activeAudioStream = nullptr;
      nullCount = 0;
      for (StreamSlot& slot : streamSlots) slot.stream->SetUseDynamicJitterBuffer(dynamic);
      bRunning.store(true);
    } else {
      TRACE(tracer, trace::kNotable, "TransformStarted : Already Running\n");
    }
  }
  TRACE(tracer, trace::kEntry, "~TransformStarted\n");
  return 0;
}

int32_t RTPJitterBuffer::TransformStopped() {
  TRACE(tracer, trace::kEntry, "TransformStopped\n");
  {
    CriticalSectionLock state(stateMutex);
    bRunning.store(false);
  }
  TRACE(tracer, trace::kEntry, "~TransformStopped\n");
  return 0;
}

size_t RTPJitterBuffer::InactiveStreamCount() {
  size_t inUse = 0;
  for (const StreamSlot& slot : streamSlots) inUse += slot.inUse ? 1 : 0;
  return inUse - (activeAudioStream != nullptr ? 1 : 0);
}

void RTPJitterBuffer::EvictIdleStreams(uint64_t nowMs) {
  for (StreamSlot& slot : streamSlots) {
    if (!slot.inUse) continue;
    RTPAudioStream* stream = slot.stream.get();
    const uint64_t fedMs = stream->GetLastFedMs();
    if (stream != activeAudioStream && nowMs > fedMs && nowMs - fedMs > kStreamIdleTimeoutMs) {
      TRACE(tracer, trace::kNotable, "RenderAudioSamples : deleting idle stream 0x%lx ssrc = %u\n",
            Address(stream), stream->GetSSRC());
      DeleteStream(slot);
    }
  }
}

void RTPJitterBuffer::EvictLeastRecentlyFed() {
  StreamSlot* oldest = nullptr;
  uint64_t oldestOrder = 0;
  for (StreamSlot& slot : streamSlots) {
    if (!slot.inUse || slot.stream.get() == activeAudioStream) continue;
    const uint64_t order = slot.stream->GetLastFedOrder();
    if (oldest == nullptr || order < oldestOrder) {
      oldest = &slot;
      oldestOrder = order;
    }
  }
  if (oldest == nullptr) return;
  TRACE(tracer, trace::kNotable,
        "RenderAudioSamples : too many streams, deleting stream 0x%lx ssrc = %u\n",
        Address(oldest->stream.get()), oldest->stream->GetSSRC());
  DeleteStream(*oldest);
}

int32_t RTPJitterBuffer::RenderAudioSamples(AudioSampleList& inputs) {
  TRACE(tracer, trace::kEntry, "RenderAudioSamples\n");
  bool running;
  {
    CriticalSectionLock state(stateMutex);
    running = bRunning.load();
  }
  if (!running) {
    TRACE(tracer, trace::kNotable, "RenderAudioSamples : bRunning = false. Sleeping %d\n",
          silenceDuration);
    SleepMs(static_cast<uint32_t>(silenceDuration));
    return 0;
  }
  if (inputs.empty() || inputs.front().first == nullptr) return 0;
  AudioSample* sample = inputs.front().first;
  const RTPPacket* header = sample->GetRTPHeader();
  if (header == nullptr) {
    TRACE(tracer, trace::kError, "~RenderAudioSamples : packet with no RTP header\n");
    return kErrNoRTPHeader;
  }
  const uint32_t ssrc = header->ssrc;
  TRACE(tracer, trace::kState,
        "RenderAudioSamples : RTP packet : ssrc %u, seqno %u, timestamp %u\n", ssrc,
        header->sequenceNumber, header->timestamp);
  const uint64_t nowMs = Clock::Current().NowMs();

  CriticalSectionLock streams(rtpAudioStreamsMutex);
  TRACE(tracer, trace::kState, "RenderAudioSamples : Entering rtpAudioStreamsMutex\n");
  EvictIdleStreams(nowMs);
  RTPAudioStream* stream;
  if (StreamSlot* slot = FindStream(ssrc)) {
    stream = slot->stream.get();
  } else {
    if (InactiveStreamCount() >= kMaxInactiveStreams) EvictLeastRecentlyFed();
    stream = TakeFreeStream(ssrc);
    if (stream == nullptr) return kErrNoStream;
    TRACE(tracer, trace::kNotable,
          "RenderAudioSamples : no previous stream with ssrc %d. created new one 0x%lx\n",
          static_cast<int32_t>(ssrc), Address(stream));
  }
  stream->InsertRTPPacket(sample);
  stream->MarkFed(nowMs, ++feedCount);
  TRACE(tracer, trace::kState,
        "RenderAudioSamples : put packet into RTP stream 0x%lx: SSRC %d,  %d ms in %d packets\n",
        Address(stream), static_cast<int32_t>(ssrc), stream->GetDepth(), stream->GetNumPackets());
  TRACE(tracer, trace::kState, "RenderAudioSamples : Left rtpAudioStreamsMutex\n");
  TRACE(tracer, trace::kEntry, "~RenderAudioSamples\n");
  return 0;
}

int32_t RTPJitterBuffer::MakeSilence(AudioSample** out) {
  AudioSample* silence = nullptr;
  AudioSampleManager::Instance()->GetAudioSample(&silence, static_cast<AudioSource*>(this));
  if (silence != nullptr) {
    silence->SetFormat(MakeAudioFormat(kCodecPCM));
    silence->SetSilenceDuration(silenceDuration);
  }
  *out = silence;
  return 0;
}

int32_t RTPJitterBuffer::GenerateData(AudioSample** out) {
  TRACE(tracer, trace::kEntry, "GenerateData\n");
  *out = nullptr;
  bool running;
  {
    CriticalSectionLock state(stateMutex);
    running = bRunning.load();
  }
  if (!running) {
    TRACE(tracer, trace::kNotable, "GenerateData : bRunning = false\n");
    return 0;
  }

  AudioSample* packet = nullptr;
  {
    CriticalSectionLock streams(rtpAudioStreamsMutex);
    if (activeAudioStream == nullptr || activeAudioStream->GetNumPackets() < 1 ||
        nullCount > kMaxNullCount) {
      TRACE(tracer, trace::kState, "GenerateData : Choosing new active stream\n");
      ChooseNewActiveStream();
    }
    if (activeAudioStream == nullptr) {
      TRACE(tracer, trace::kDetail, "GenerateData : sending silence\n");
      return MakeSilence(out);
    }
    TRACE(tracer, trace::kDetail,
          "GenerateData : activeAudioStream is SSRC %d,  %d ms in %d packets\n",
          static_cast<int32_t>(activeAudioStream->GetSSRC()), activeAudioStream->GetDepth(),
          activeAudioStream->GetNumPackets());
    activeAudioStream->GiveNextRTPPacket(&packet);
    if (packet == nullptr)
      ++nullCount;
    else
      nullCount = 0;
  }

  if (packet != nullptr) {
    const RTPPacket* header = packet->GetRTPHeader();
    TRACE(tracer, trace::kDetail, "GenerateData : packet : ssrc %u, seqno %u\n",
          header != nullptr ? header->ssrc : 0u, header != nullptr ? header->sequenceNumber : 0u);
    *out = packet;
    return 0;
  }
  TRACE(tracer, trace::kDetail,
        "GenerateData : GiveNextRTPPacket returned NULL %d times. sending silence\n", nullCount);
  return MakeSilence(out);
}

int32_t RTPJitterBuffer::ChooseNewActiveStream() {
  TRACE(tracer, trace::kEntry, "ChooseNewActiveStream\n");
  TRACE(tracer, trace::kState, "ChooseNewActiveStream : entering rtpAudioStreamsMutex\n");
  CriticalSectionLock streams(rtpAudioStreamsMutex);
  nullCount = 0;
  if (activeAudioStream != nullptr) {
    TRACE(tracer, trace::kState, "ChooseNewActiveStream : deleting current active stream\n");
    for (StreamSlot& slot : streamSlots) {
      if (slot.inUse && slot.stream.get() == activeAudioStream) DeleteStream(slot);
    }
    activeAudioStream = nullptr;
  }

  // The lowest SSRC whose depth reaches the minimum wins.
  const int32_t required = minimumDepth.load();
  StreamSlot* chosen = nullptr;
  for (StreamSlot& slot : streamSlots) {
    if (!slot.inUse) continue;
    RTPAudioStream* stream = slot.stream.get();
    const int32_t depth = stream->GetDepth();
    TRACE(tracer, trace::kState,
          "ChooseNewActiveStream : found RTP stream : SSRC %u, %d packets, %d ms queued\n",
          stream->GetSSRC(), stream->GetNumPackets(), depth);
    if (depth >= required && (chosen == nullptr || stream->GetSSRC() < chosen->stream->GetSSRC())) {
      chosen = &slot;
    }
  }
  if (chosen != nullptr) {
    for (StreamSlot& slot : streamSlots) {
      if (!slot.inUse || &slot == chosen) continue;
      TRACE(tracer, trace::kState, "Clear : deleting audio stream 0x%lx ssrc = %u\n",
            Address(slot.stream.get()), slot.stream->GetSSRC());
      DeleteStream(slot);
    }
    activeAudioStream = chosen->stream.get();
    TRACE(tracer, trace::kNotable,
          "ChooseNewActiveStream : stream 0x%lx with SSRC=%u, %d packets, %dms chosen as new "
          "active stream\n",
          Address(activeAudioStream), activeAudioStream->GetSSRC(),
          activeAudioStream->GetNumPackets(), activeAudioStream->GetDepth());
  }
  TRACE(tracer, trace::kState, "ChooseNewActiveStream : left rtpAudioStreamsMutex\n");
  TRACE(tracer, trace::kEntry, "~ChooseNewActiveStream\n");
  return 0;
}

size_t RTPJitterBuffer::GetStreamCount() {
  CriticalSectionLock streams(rtpAudioStreamsMutex);
  size_t count = 0;
  for (const StreamSlot& slot : streamSlots) count += slot.inUse ? 1 : 0;
  return count;
}

bool RTPJitterBuffer::GetActiveSSRC(uint32_t* ssrc) {
  CriticalSectionLock streams(rtpAudioStreamsMutex);
  if (activeAudioStream == nullptr) return false;
  *ssrc = activeAudioStream->GetSSRC();
  return true;
}

int32_t RTPJitterBuffer::GetQueuedPackets() {
  CriticalSectionLock streams(rtpAudioStreamsMutex);
  int32_t total = 0;
  for (StreamSlot& slot : streamSlots) {
    if (slot.inUse) total += slot.stream->GetNumPackets();
  }
  return total;
}

}  // namespace tarsio
