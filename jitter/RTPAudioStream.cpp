#include "jitter/RTPAudioStream.h"

#include <algorithm>

#include "framework/AudioSample.h"
#include "framework/Registry.h"
#include "rtp/RTPPacket.h"

namespace tarsio {
namespace {

constexpr const char* kSettingsKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";
constexpr const char* kDynamicJitterValue = "UseDynamicJitterBuffer";

// Heap order: the earliest packet on top. A strict relation (b earlier than a), which puts the
// same packet on top as ordering by "not earlier than" does.
bool LaterThan(AudioSample* a, AudioSample* b) { return b->IsEarlierThan(a); }

// The address as the traces print it (%lx): the whole pointer on 32-bit Windows and 64-bit Linux,
// its low 32 bits on 64-bit Windows, where long is 32 bits wide.
unsigned long Address(const void* p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

}  // namespace

RTPAudioStream::RTPAudioStream(uint32_t ssrcValue) : ssrc(ssrcValue) {
  tracer.SetInstanceName("RTPAudioStream", this);
  ReadTraceLevel();
  bUseDynamicJitterBuffer =
      RegGetBool(RegistryRoot::kCurrentUser, kSettingsKey, kDynamicJitterValue, true);
  packetQueue.reserve(kMaxQueuedPackets);
}

void RTPAudioStream::Renew(uint32_t ssrcValue) {
  CriticalSectionLock guard(lock);
  ClearLastPacket();
  ReleaseQueue();
  ssrc = ssrcValue;
  restartThreshold = kInitialRestartThreshold;
  lastPacketDuration = 0;
  bRestarting = true;
  adaptationCounter = 0;
  numRepeats = 0;
  lastFedMs = 0;
  lastFedOrder = 0;
}

void RTPAudioStream::SetUseDynamicJitterBuffer(bool on) {
  CriticalSectionLock guard(lock);
  bUseDynamicJitterBuffer = on;
}

RTPAudioStream::~RTPAudioStream() {
  CriticalSectionLock guard(lock);
  ClearLastPacket();
  ReleaseQueue();
}

int32_t RTPAudioStream::ReadTraceLevel() { return ReadTraceLevelFor("RTPJitterBuffer"); }

bool RTPAudioStream::IsComfortNoise(AudioSample* sample) {
  const RTPPacket* header = sample->GetRTPHeader();
  return header != nullptr && header->payloadType == kComfortNoisePayloadType;
}

void RTPAudioStream::ClearLastPacket() {
  if (lastPacket != nullptr) lastPacket->Release(this);
  lastPacket = nullptr;
  lastPacketPlays = 0;
}

void RTPAudioStream::ReleaseQueue() {
  for (AudioSample* sample : packetQueue) sample->Release(this);
  packetQueue.clear();
  depth = 0;
  comfortNoiseCount = 0;
}

int32_t RTPAudioStream::InsertRTPPacket(AudioSample* sample) {
  TRACE(tracer, trace::kDetail, "RTPAudioStream:%lx : InsertRTPPacket 0x%lx\n", Address(this),
        Address(sample));
  if (sample == nullptr || sample->GetRTPHeader() == nullptr) {
    TRACE(tracer, trace::kError,
          "RTPAudioStream:%lx : InserRTPPacket : audioSample has no rtpHeader\n", Address(this));
    return 0;
  }
  CriticalSectionLock guard(lock);
  if (lastPacket != nullptr && TimestampDistance(lastPacket, sample) < 0) {
    // Plain difference of the 16-bit numbers: a packet a little behind the one played last is
    // late; one far behind means the sender started again with new numbers.
    const int32_t sequenceDifference =
        static_cast<int32_t>(sample->GetRTPHeader()->sequenceNumber) -
        static_cast<int32_t>(lastPacket->GetRTPHeader()->sequenceNumber);
    if (sequenceDifference >= kLateSequenceWindow) return 0;
    Reset();
  }
  return AddPacket(sample);
}

int32_t RTPAudioStream::AddPacket(AudioSample* sample) {
  if (sample == nullptr) return 0;
  const RTPPacket* header = sample->GetRTPHeader();
  if (header == nullptr) return 0;
  CriticalSectionLock guard(lock);
  if (depth >= restartThreshold * kDepthLimitFactor) return 0;
  if (packetQueue.size() >= kMaxQueuedPackets) return 0;
  const bool comfortNoise = header->payloadType == kComfortNoisePayloadType;
  if (comfortNoise) ++comfortNoiseCount;
  sample->AddRef(this);
  packetQueue.push_back(sample);
  std::push_heap(packetQueue.begin(), packetQueue.end(), LaterThan);
  if (!comfortNoise) depth += sample->GetDuration();
  TRACE(tracer, trace::kDetail,
        "RTPAudioStream:%lx : AddPacket : pushed audioSample 0x%lx, ssrc %u, seqNo %u\n",
        Address(this), Address(sample), header->ssrc, header->sequenceNumber);
  return 0;
}

int32_t RTPAudioStream::PopNextPacket(AudioSample** out) {
  CriticalSectionLock guard(lock);
  *out = nullptr;
  if (packetQueue.empty()) return 0;
  std::pop_heap(packetQueue.begin(), packetQueue.end(), LaterThan);
  AudioSample* sample = packetQueue.back();
  packetQueue.pop_back();
  *out = sample;
  const RTPPacket* header = sample->GetRTPHeader();
  TRACE(tracer, trace::kDetail,
        "RTPAudioStream:%lx : PopNextPacket : popped audioSample 0x%lx, ssrc %u, seqNo %u\n",
        Address(this), Address(sample), header != nullptr ? header->ssrc : 0u,
        header != nullptr ? header->sequenceNumber : 0u);
  if (IsComfortNoise(sample)) {
    --comfortNoiseCount;
  } else {
    depth -= sample->GetDuration();
  }
  if (packetQueue.empty()) depth = 0;  // exact anyway; kept as the invariant's guard
  return 0;
}

int32_t RTPAudioStream::TakeNextPacket(AudioSample** out) {
  CriticalSectionLock guard(lock);
  PopNextPacket(out);
  if (*out != nullptr) {
    SetLastPacket(*out);
    lastPacketDuration = (*out)->GetDuration();
    lastPacketPlays = 1;
  }
  return 0;
}

int32_t RTPAudioStream::SetLastPacket(AudioSample* sample) {
  CriticalSectionLock guard(lock);
  if (sample == lastPacket) return 0;
  ClearLastPacket();
  lastPacket = sample;
  if (lastPacket != nullptr) lastPacket->AddRef(this);
  return 0;
}

void RTPAudioStream::RepeatLastPacket(AudioSample** out) {
  lastPacket->AddRef(this);
  ++lastPacketPlays;
  *out = lastPacket;
}

void RTPAudioStream::Adapt() {
  TRACE(tracer, trace::kState, "RTPAudioStream:%lx : GiveNextRTPPacket : numRepeats = %d\n",
        Address(this), numRepeats);
  if (numRepeats > 1) {
    numRepeats = 0;
    restartThreshold += kThresholdStep;
    adaptationCounter = kAdaptationPeriod;
    TRACE(tracer, trace::kState,
          "RTPAudioStream:%lx : GiveNextRTPPacket : increased restartThreshold by 20 to %d\n",
          Address(this), restartThreshold);
    return;
  }
  int32_t newThreshold = restartThreshold;
  if (depth <= restartThreshold + kMaxSurplusOverTarget) {
    newThreshold = std::max(restartThreshold - kThresholdStep, kMinRestartThreshold);
  }
  TRACE(tracer, trace::kState,
        "RTPAudioStream:%lx : GiveNextRTPPacket : restartThreshold = %d, newThreshold = %d\n",
        Address(this), restartThreshold, newThreshold);
  restartThreshold = newThreshold;
  TRACE(tracer, trace::kState,
        "RTPAudioStream:%lx : GiveNextRTPPacket : jitter buffer depth = %d\n", Address(this),
        depth);
  int32_t dropped = 0;
  while (depth > restartThreshold && dropped < kMaxDropMs) {
    AudioSample* surplus = nullptr;
    TakeNextPacket(&surplus);
    if (surplus == nullptr) break;
    dropped += surplus->GetDuration();
    surplus->Release(this);
  }
  numRepeats = 0;
  adaptationCounter = kAdaptationPeriod;
}

int32_t RTPAudioStream::GiveNextRTPPacket(AudioSample** out) {
  CriticalSectionLock guard(lock);
  *out = nullptr;

  if (bRestarting) {
    if (comfortNoiseCount >= 1 || depth >= restartThreshold) bRestarting = false;
    if (bRestarting) return 0;
  }

  if (bUseDynamicJitterBuffer && adaptationCounter == kAdaptationPeriod - 1) Adapt();

  if (!packetQueue.empty()) {
    AudioSample* top = packetQueue.front();
    TRACE(tracer, trace::kDetail,
          "RTPAudioStream:%lx : GiveNextRTPPacket : packetQueue.top = audioSample 0x%lx\n",
          Address(this), Address(top));
    if (IsComfortNoise(top)) {
      AudioSample* marker = nullptr;
      PopNextPacket(&marker);
      marker->Release(this);
      bRestarting = true;
      ClearLastPacket();
      return 0;
    }
    if (lastPacket == nullptr) {
      TakeNextPacket(out);
    } else {
      const int32_t gap = TimestampDistanceMs(lastPacket, top);
      if (gap - lastPacketDuration * lastPacketPlays < lastPacketDuration) {
        TakeNextPacket(out);
      } else if (lastPacketPlays >= kMaxPlays) {
        bRestarting = true;
        ClearLastPacket();
        return 0;
      } else {
        RepeatLastPacket(out);
      }
    }
    adaptationCounter = (adaptationCounter + 1) % kAdaptationPeriod;
    return 0;
  }

  if (lastPacket == nullptr || lastPacketPlays >= kMaxPlays) {
    bRestarting = true;
    ClearLastPacket();
    return 0;
  }
  RepeatLastPacket(out);
  if (lastPacketPlays == 2) ++numRepeats;
  adaptationCounter = (adaptationCounter + 1) % kAdaptationPeriod;
  return 0;
}

int32_t RTPAudioStream::Reset() {
  CriticalSectionLock guard(lock);
  ReleaseQueue();
  bRestarting = true;
  ClearLastPacket();
  lastPacketDuration = 0;
  adaptationCounter = 0;
  numRepeats = 0;
  return 0;
}

int32_t RTPAudioStream::SetRestartThreshold(int32_t ms) {
  CriticalSectionLock guard(lock);
  restartThreshold = ms;
  return 0;
}

int32_t RTPAudioStream::GetRestartThreshold() {
  CriticalSectionLock guard(lock);
  return restartThreshold;
}

int32_t RTPAudioStream::GetNumPackets() {
  CriticalSectionLock guard(lock);
  return static_cast<int32_t>(packetQueue.size());
}

int32_t RTPAudioStream::GetDepth() {
  CriticalSectionLock guard(lock);
  return depth;
}

uint32_t RTPAudioStream::GetSSRC() {
  CriticalSectionLock guard(lock);
  return ssrc;
}

bool RTPAudioStream::IsRestarting() {
  CriticalSectionLock guard(lock);
  return bRestarting;
}

int32_t RTPAudioStream::GetNumRepeats() {
  CriticalSectionLock guard(lock);
  return numRepeats;
}

void RTPAudioStream::MarkFed(uint64_t nowMs, uint64_t feedOrder) {
  CriticalSectionLock guard(lock);
  lastFedMs = nowMs;
  lastFedOrder = feedOrder;
}

uint64_t RTPAudioStream::GetLastFedOrder() {
  CriticalSectionLock guard(lock);
  return lastFedOrder;
}

uint64_t RTPAudioStream::GetLastFedMs() {
  CriticalSectionLock guard(lock);
  return lastFedMs;
}

int32_t RTPAudioStream::TimestampDistance(AudioSample* a, AudioSample* b) {
  const RTPPacket* ha = a->GetRTPHeader();
  const RTPPacket* hb = b->GetRTPHeader();
  if (ha == nullptr || hb == nullptr) return 0;
  return static_cast<int32_t>(hb->timestamp - ha->timestamp);
}

int32_t RTPAudioStream::TimestampDistanceMs(AudioSample* a, AudioSample* b) {
  const double ticks = TimestampDistance(a, b);
  return static_cast<int32_t>(ticks * a->GetBlockDuration() * 0.001 + 0.5);
}

}  // namespace tarsio
