#include "jitter/RTPJitterBuffer.h"

#include <new>

#include "framework/AudioFormat.h"
#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "jitter/RTPAudioStream.h"
#include "platform/Clock.h"
#include "rtp/RTPCodecTable.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

unsigned long Address(const void* p) { return reinterpret_cast<unsigned long>(p); }

}  // namespace

RTPJitterBuffer::RTPJitterBuffer() {
  tracer.SetInstanceName("RTPJitterBuffer", this);
  ReadTraceLevel();
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

void RTPJitterBuffer::DeleteStream(std::map<uint32_t, RTPAudioStream*>::iterator entry) {
  RTPAudioStream* stream = entry->second;
  if (stream == activeAudioStream) activeAudioStream = nullptr;
  rtpAudioStreams.erase(entry);
  delete stream;
}

int32_t RTPJitterBuffer::Clear() {
  CriticalSectionLock guard(rtpAudioStreamsMutex);
  for (auto& [ssrc, stream] : rtpAudioStreams) {
    TRACE(tracer, trace::kState, "Clear : deleting audio stream 0x%lx ssrc = %u\n", Address(stream),
          ssrc);
    delete stream;
  }
  rtpAudioStreams.clear();
  return 0;
}

int32_t RTPJitterBuffer::TransformStarted() {
  TRACE(tracer, trace::kEntry, "TransformStarted\n");
  {
    CriticalSectionLock state(stateMutex);
    if (!bRunning.load()) {
      CriticalSectionLock streams(rtpAudioStreamsMutex);
      Clear();
      activeAudioStream = nullptr;
      nullCount = 0;
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
  return rtpAudioStreams.size() - (activeAudioStream != nullptr ? 1 : 0);
}

void RTPJitterBuffer::EvictIdleStreams(uint64_t nowMs) {
  for (auto entry = rtpAudioStreams.begin(); entry != rtpAudioStreams.end();) {
    auto next = std::next(entry);
    RTPAudioStream* stream = entry->second;
    const uint64_t fedMs = stream->GetLastFedMs();
    if (stream != activeAudioStream && nowMs > fedMs && nowMs - fedMs > kStreamIdleTimeoutMs) {
      TRACE(tracer, trace::kNotable, "RenderAudioSamples : deleting idle stream 0x%lx ssrc = %u\n",
            Address(stream), entry->first);
      DeleteStream(entry);
    }
    entry = next;
  }
}

void RTPJitterBuffer::EvictLeastRecentlyFed() {
  auto oldest = rtpAudioStreams.end();
  uint64_t oldestOrder = 0;
  for (auto entry = rtpAudioStreams.begin(); entry != rtpAudioStreams.end(); ++entry) {
    if (entry->second == activeAudioStream) continue;
    const uint64_t order = entry->second->GetLastFedOrder();
    if (oldest == rtpAudioStreams.end() || order < oldestOrder) {
      oldest = entry;
      oldestOrder = order;
    }
  }
  if (oldest == rtpAudioStreams.end()) return;
  TRACE(tracer, trace::kNotable,
        "RenderAudioSamples : too many streams, deleting stream 0x%lx ssrc = %u\n",
        Address(oldest->second), oldest->first);
  DeleteStream(oldest);
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
  auto entry = rtpAudioStreams.find(ssrc);
  if (entry != rtpAudioStreams.end()) {
    stream = entry->second;
  } else {
    if (InactiveStreamCount() >= kMaxInactiveStreams) EvictLeastRecentlyFed();
    stream = new (std::nothrow) RTPAudioStream(ssrc);
    if (stream == nullptr) return kErrNoStream;
    TRACE(tracer, trace::kNotable,
          "RenderAudioSamples : no previous stream with ssrc %d. created new one 0x%lx\n",
          static_cast<int32_t>(ssrc), Address(stream));
    rtpAudioStreams.emplace(ssrc, stream);
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
    auto entry = rtpAudioStreams.find(activeAudioStream->GetSSRC());
    if (entry != rtpAudioStreams.end() && entry->second == activeAudioStream) {
      rtpAudioStreams.erase(entry);
    }
    delete activeAudioStream;
    activeAudioStream = nullptr;
  }

  const int32_t required = minimumDepth.load();
  RTPAudioStream* chosen = nullptr;
  for (auto& [ssrc, stream] : rtpAudioStreams) {
    const int32_t depth = stream->GetDepth();
    TRACE(tracer, trace::kState,
          "ChooseNewActiveStream : found RTP stream : SSRC %u, %d packets, %d ms queued\n", ssrc,
          stream->GetNumPackets(), depth);
    if (depth >= required) {
      chosen = stream;
      break;
    }
  }
  if (chosen != nullptr) {
    const uint32_t chosenSSRC = chosen->GetSSRC();
    rtpAudioStreams.erase(chosenSSRC);
    Clear();
    rtpAudioStreams.emplace(chosenSSRC, chosen);
    activeAudioStream = chosen;
    TRACE(tracer, trace::kNotable,
          "ChooseNewActiveStream : stream 0x%lx with SSRC=%u, %d packets, %dms chosen as new "
          "active stream\n",
          Address(chosen), chosenSSRC, chosen->GetNumPackets(), chosen->GetDepth());
  }
  TRACE(tracer, trace::kState, "ChooseNewActiveStream : left rtpAudioStreamsMutex\n");
  TRACE(tracer, trace::kEntry, "~ChooseNewActiveStream\n");
  return 0;
}

size_t RTPJitterBuffer::GetStreamCount() {
  CriticalSectionLock streams(rtpAudioStreamsMutex);
  return rtpAudioStreams.size();
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
  for (auto& entry : rtpAudioStreams) total += entry.second->GetNumPackets();
  return total;
}

}  // namespace tarsio
