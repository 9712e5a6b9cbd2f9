#include "terminal/COrbeMediaTerm.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "devices/WaveAudioSink.h"
#include "devices/WaveAudioSource.h"
#include "dsp/FIRTransformer.h"
#include "dsp/G7112PCMTransformer.h"
#include "dsp/GenericRTP2PCMDecoder.h"
#include "dsp/Limiter.h"
#include "dsp/PCM2G711Transformer.h"
#include "dsp/PCMMixer.h"
#include "dsp/PCMVolumeMaximizer.h"
#include "dsp/VAD.h"
#include "framework/AudioSampleManager.h"
#include "framework/Exception.h"
#include "framework/HostLogWriter.h"
#include "framework/NumberText.h"
#include "framework/Registry.h"
#include "framework/Tracer.h"
#include "framework/TrafficTotals.h"
#include "jitter/FixedSizeAudioBuffer.h"
#include "jitter/LowLatencyJitterBuffer.h"
#include "jitter/RTPJitterBuffer.h"
#include "platform/AudioBackendSelector.h"
#include "platform/Clock.h"
#include "platform/HostEvent.h"
#include "platform/RegistryStore.h"
#include "platform/Thread.h"
#include "platform/WaveAudioIn.h"
#include "platform/WaveAudioOut.h"
#include "rtp/MediaExtensions.h"
#include "rtp/RTPAudioSink.h"
#include "rtp/RTPAudioSource.h"
#include "rtp/RTPRandom.h"
#include "rtp/RtcpChannel.h"
#include "rtp/RtcpSession.h"
#include "terminal/EndOfFileRegistry.h"
#include "terminal/FilePlay.h"

namespace tarsio {

namespace {

// No exception leaves an operation: the host may be built with another compiler and runtime,
// and an exception crossing the interface would end its process. What can still be thrown after
// the operations' own handling (memory exhausted, a system error from the standard library)
// writes "COrbeMediaTerm::<operation>: exception" to the host log, and the operation returns
// -10, false or 0.0. Called from the operations' handlers, where no engine lock is held.
template <typename Result>
Result UnexpectedException(const char* operation, Result result) {
  try {
    char text[96];
    std::snprintf(text, sizeof text, "COrbeMediaTerm::%s: exception", operation);
    HostLogWriter::Plain(text);
  } catch (...) {
  }
  return result;
}

// The host's event as the platform layer holds it: a Win32 HANDLE (null: none) or an eventfd
// (negative: none).
NativeHandle HostEventHandle(EventHandle event) {
#if defined(_WIN32)
  return event == nullptr ? kNoNativeHandle : reinterpret_cast<NativeHandle>(event);
#else
  return event < 0 ? kNoNativeHandle : static_cast<NativeHandle>(event);
#endif
}

// The live terminals, newest last, and the one registered with EndOfFileRegistry. Never
// destroyed: a terminal may be deleted during static destruction.
CriticalSection& LiveMutex() {
  static CriticalSection* mutex = new CriticalSection;
  return *mutex;
}
std::vector<COrbeMediaTerm*>& LiveTerminals() {  // guarded by LiveMutex()
  static auto* terminals = new std::vector<COrbeMediaTerm*>;
  return *terminals;
}

// Chains a terminal let go of while a thread still held them (see AbandonedChainCount).
std::atomic<int32_t> abandonedChains{0};

// Traces of the terminal's lifetime decisions (abandoned chains); errors and notable events.
Tracer& LifetimeTracer() {
  static Tracer* tracer = [] {
    auto* t = new Tracer;
    t->SetInstanceName("COrbeMediaTerm");
    t->SetLevel(trace::kError | trace::kNotable);
    return t;
  }();
  return *tracer;
}

/// One reference on the process-wide sample pool for the life of the object.
class SamplePoolReference {
 public:
  SamplePoolReference() { AudioSampleManager::CreateInstance(); }
  ~SamplePoolReference() { AudioSampleManager::DestroyInstance(); }
  SamplePoolReference(const SamplePoolReference&) = delete;
  SamplePoolReference& operator=(const SamplePoolReference&) = delete;
};

/// Windows versions before 5 needed more playback buffers; this engine always behaves as a
/// modern system.
constexpr uint32_t kPlaybackBufferBase = 6;
// Low-latency receive: two playback buffers of one frame each (the sink pulls only when one is
// free), and the sound card asked for two periods of one frame.
constexpr uint32_t kLowLatencyPlaybackBuffers = 2;
constexpr uint32_t kLowLatencyDevicePeriods = 2;
constexpr uint64_t kMaxDevicePeriodUs = 200000;

/// Codec numbers of the terminal's codec operations.
constexpr int32_t kCodecGeneric = 0;
constexpr int32_t kCodecALaw = 2;
constexpr int32_t kCodecULaw = 4;

/// A chain link made by Connect, kept so the stop can undo exactly the links the start made.
struct Link {
  AudioSource* source;
  AudioSink* sink;
};

bool ReadBool(const char* name, bool def) {
  return RegGetBool(RegistryRoot::kCurrentUser, kTerminalKey, name, def);
}
uint32_t ReadDword(const char* name, uint32_t def) {
  return RegGetDWORD(RegistryRoot::kCurrentUser, kTerminalKey, name, def);
}
/// The device tests' format: 8 kHz, 16-bit, mono PCM.
WAVEFORMATEX TestFormat() { return MakeAudioFormat(5); }

/// Opens the default playback device without a callback, then resets and closes it.
bool OpenPlaybackOnce() {
  std::shared_ptr<AudioBackend> backend = AudioBackendSelector::Current();
  if (!backend) return false;
  const WAVEFORMATEX format = TestFormat();
  std::unique_ptr<WaveAudioOut> device;
  if (WaveAudioOut::Open(*backend, &device, wave::kMapper, &format, nullptr, 0) !=
          mmsys::kNoError ||
      !device) {
    return false;
  }
  device->Reset();
  device->Close();
  return true;
}

/// Opens the default capture device without a callback, then resets and closes it.
bool OpenCaptureOnce() {
  std::shared_ptr<AudioBackend> backend = AudioBackendSelector::Current();
  if (!backend) return false;
  const WAVEFORMATEX format = TestFormat();
  std::unique_ptr<WaveAudioIn> device;
  if (WaveAudioIn::Open(*backend, &device, wave::kMapper, &format, nullptr, 0) != mmsys::kNoError ||
      !device) {
    return false;
  }
  device->Reset();
  device->Close();
  return true;
}

/// The frame of a codec operation. A frame of 0 ms would leave the capture device nothing to
/// record, and its thread would spin on empty buffers, and the playback sink nothing to write:
/// it is taken as the default frame, and the caller logs one host-log entry (its label, then the
/// frame used).
constexpr uint32_t kDefaultFrameTimeMs = 20;

// A 32-bit SSRC from the system's random source, as RTCP peers expect of a stream's name (the
// classic stream's generator gives 15 bits a draw, too few against collisions); without one, three
// draws of that generator seeded with seed fill the 32 bits.
uint32_t RandomSsrc(uint32_t seed) {
  try {
    std::random_device device;
    for (int i = 0; i < 4; ++i) {
      const uint32_t value = static_cast<uint32_t>(device());
      if (value != 0) return value;
    }
  } catch (...) {
  }
  RTPRandom random(seed);
  uint32_t value = 0;
  while (value == 0) value = random.Next() << 17 | random.Next() << 2 | (random.Next() & 3u);
  return value;
}

uint32_t UsableFrameTime(uint32_t frameTimeMs) {
  return frameTimeMs != 0 ? frameTimeMs : kDefaultFrameTimeMs;
}

double ReadNumber(const char* name, const char* def) {
  return ParseNumberText(RegGetString(RegistryRoot::kCurrentUser, kTerminalKey, name, def).c_str());
}

}  // namespace

/// What the threads of one chain may touch: a direction's filters, or a file play with the
/// transmit chain it feeds, and a reference on the sample pool. Handed to the threads as their
/// keep-alive token; the terminal holds it too while the chain runs.
struct COrbeMediaTerm::Chain {
  explicit Chain(const char* chainName) : name(chainName) {}
  ~Chain() {
    // In order (a file play before the mixer it feeds), and before the pool reference:
    // filters hand their samples back to the pool as they go.
    for (std::shared_ptr<void>& part : parts) part.reset();
    parts.clear();
    if (abandoned.load()) {
      const int32_t left = abandonedChains.fetch_sub(1) - 1;
      TRACE(LifetimeTracer(), trace::kNotable,
            "~Chain : abandoned %s chain ended with its last thread, %d still running\n", name,
            left);
    }
  }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  const char* const name;
  SamplePoolReference pool;                  // dropped after every part
  std::vector<std::shared_ptr<void>> parts;  // destroyed first, first to last
  std::atomic<bool> abandoned{false};
};

class TARSIO_SCOPED_CAPABILITY COrbeMediaTerm::OperationLock {
 public:
  explicit OperationLock(COrbeMediaTerm& terminal) TARSIO_ACQUIRE(terminal.terminalMutex)
      : terminal_(terminal) {
    terminal_.terminalMutex.Enter();
    ++terminal_.operationDepth;
  }
  ~OperationLock() TARSIO_RELEASE() {
    std::vector<LogLine> lines;
    if (--terminal_.operationDepth == 0) lines.swap(terminal_.pendingLog);
    terminal_.terminalMutex.Leave();
    for (const LogLine& line : lines) {
      if (line.plain) {
        HostLogWriter::Plain(line.label.c_str());
      } else {
        HostLogWriter::WithNumber(line.label.c_str(), line.number);
      }
    }
  }
  OperationLock(const OperationLock&) = delete;
  OperationLock& operator=(const OperationLock&) = delete;

 private:
  COrbeMediaTerm& terminal_;
};

void COrbeMediaTerm::LogLater(const char* label, int64_t number) {
  pendingLog.push_back({label, number, false});
}

void COrbeMediaTerm::LogPlainLater(std::string text) {
  pendingLog.push_back({std::move(text), 0, true});
}

COrbeMediaTerm* COrbeMediaTerm::Current() {
  CriticalSectionLock lock(LiveMutex());
  return LiveTerminals().empty() ? nullptr : LiveTerminals().back();
}

int32_t COrbeMediaTerm::LiveCount() {
  CriticalSectionLock lock(LiveMutex());
  return static_cast<int32_t>(LiveTerminals().size());
}

int32_t COrbeMediaTerm::AbandonedChainCount() { return abandonedChains.load(); }

void COrbeMediaTerm::ReleaseChain(std::shared_ptr<Chain>& chain) {
  if (!chain) return;
  // Only threads hold other references, and they only ever drop theirs: a count above one means
  // a thread still runs with the chain (or is about to drop it), and the chain lives on with it.
  if (chain.use_count() > 1) {
    chain->abandoned = true;
    const int32_t now = abandonedChains.fetch_add(1) + 1;
    TRACE(LifetimeTracer(), trace::kError,
          "ReleaseChain : %s chain left to a thread that did not stop, %d abandoned\n", chain->name,
          now);
  }
  chain.reset();
}

COrbeMediaTerm::COrbeMediaTerm() {
  OperationLock lock(*this);
  AudioSampleManager::CreateInstance();  // the terminal's reference, dropped by the destructor
  captureSource = std::make_shared<WaveAudioSource>();
  playbackSink = std::make_shared<WaveAudioSink>();
  rtpTransmitter = std::make_shared<RTPAudioSink>();
  rtpReceiver = std::make_shared<RTPAudioSource>();
  receiveFir = std::make_shared<FIRTransformer>();
  transmitFir = std::make_shared<FIRTransformer>();
  limiter = std::make_shared<Limiter>(-8.0, 0.075, -0.00075);
  vad = std::make_shared<VAD>();
  jitterBuffer = std::make_shared<RTPJitterBuffer>();
  lowLatencyJitterBuffer = std::make_shared<LowLatencyJitterBuffer>();
  reframingBuffer = std::make_shared<FixedSizeAudioBuffer>();
  genericDecoder = std::make_shared<GenericRTP2PCMDecoder>();
  receiveMixer = std::make_shared<PCMMixer>();
  transmitMixer = std::make_shared<PCMMixer>();
  volumeMaximizer = std::make_shared<PCMVolumeMaximizer>();
  // The two G.711 filters start in u-law; the codec operations replace them with the law chosen.
  activeDecoder = std::make_shared<G7112PCMTransformer>();
  activeEncoder = std::make_shared<PCM2G711Transformer>();
  LoadReceiveFir(2);   // table 4
  LoadTransmitFir(2);  // table 3
  receiveFrameTime = 20;
  transmitFrameTime = 20;
  bInitialised = true;
  {
    CriticalSectionLock liveLock(LiveMutex());
    LiveTerminals().push_back(this);
  }
  // Each terminal receives the end-of-file notifications of its own plays.
  EndOfFileRegistry::Open(this);
}

#if TARSIO_GCC_WINDOWS_ABI
void* COrbeMediaTerm::ScalarDeletingDestructor(unsigned int flags) {
  this->~COrbeMediaTerm();
  if ((flags & 1u) != 0) ::operator delete(this);
  return this;
}
#endif

COrbeMediaTerm::~COrbeMediaTerm() {
  {
    CriticalSectionLock liveLock(LiveMutex());
    auto& live = LiveTerminals();
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
  }
  std::map<uint32_t, std::shared_ptr<FilePlay>> plays;
  {
    CriticalSectionLock lock(filePlayMutex);
    for (auto& [id, play] : filePlays) {
      if (play->IsRunning()) play->StopImmediately();
    }
    plays.swap(filePlays);
  }
  // The statistics are taken under the lock and written to the host after it was released.
  struct Totals {
    int64_t received, sent, played, captured, decoded, encoded;
  } totals{};
  {
    OperationLock lock(*this);
    // RTCP ends first: its thread reads the transmitter's destination.
    StopRtcp(false);
    // Plays whose thread did not stop stay alive through their thread's token.
    plays.clear();
    {
      CriticalSectionLock playLock(filePlayMutex);
      for (auto& [id, chain] : filePlayChains) ReleaseChain(chain);
      filePlayChains.clear();
    }
    if (bInitialised) {
      StopRX();
      StopTX();
      DeleteFilters();
      bInitialised = false;
    }
    totals = {TrafficTotals::receivedBytes.load(), TrafficTotals::sentBytes.load(),
              TrafficTotals::playedBytes.load(),   TrafficTotals::capturedBytes.load(),
              TrafficTotals::decoderCount.load(),  TrafficTotals::encoderCount.load()};
  }
  // Waits for an end-of-file notification of this terminal in flight, drops its queued ones.
  const int registryOwners = EndOfFileRegistry::Close(this);
  // Every filter of this terminal is gone or left to a stuck thread with its own reference.
  AudioSampleManager::DestroyInstance();
  // The media threads' deferred entries reach the log before the report, and before the host may
  // destroy the log.
  HostLogWriter::WritePending(HostLogWriter::kSwitchWaitMs);
  if (HostLogWriter::Current() != nullptr) {
    HostLogWriter::Entry report;
    report.Write("*** estadisticas RTP ***");
    report.MarkEntry();
    report.EndLine();
    report.Write("RTP recvfrom:");
    report.WriteNumber(totals.received);
    report.EndLine();
    report.Write("RTP sendto:");
    report.WriteNumber(totals.sent);
    report.EndLine();
    report.Write("RTP WaveOut:");
    report.WriteNumber(totals.played);
    report.EndLine();
    for (int i = 0; i < 2; ++i) {
      report.Write("RTP WaveIn:");
      report.WriteNumber(totals.captured);
      report.EndLine();
      report.EndLine();
    }
    report.Write("RTP G729 Decomp:");
    report.WriteNumber(totals.decoded);
    report.EndLine();
    report.EndLine();
    report.Write("RTP G729 Comp:");
    report.WriteNumber(totals.encoded);
    report.EndLine();
    report.EndLine();
  }
  // The last terminal: the settings written during the calls reach the file, and the writer
  // thread ends.
  if (registryOwners == 0 && LiveCount() == 0) RegistryStore::Instance().StopWriter();
  // The threads let go so far are joined, so that none runs on after the host unloads the library.
  const int stillRunning = Thread::ReapFinished(kReapWaitMs);
  if (stillRunning > 0) {
    TRACE(LifetimeTracer(), trace::kError, "~COrbeMediaTerm : %d engine threads still running\n",
          stillRunning);
  }
}

void COrbeMediaTerm::UnlinkAll() {
  // Every link StartTX, StartRX and the codec operations can make, whatever state a failed start
  // or stop left behind (Disconnect of a pair that is not linked does nothing).
  AudioSource* const txSources[] = {captureSource.get(), transmitFir.get(), vad.get()};
  AudioSink* const txSinks[] = {transmitFir.get(), vad.get(), transmitMixer.get()};
  for (AudioSource* from : txSources) {
    for (AudioSink* to : txSinks) {
      if (static_cast<const void*>(from) != static_cast<const void*>(to)) Disconnect(from, to);
    }
  }
  Disconnect(transmitMixer.get(), activeEncoder.get());
  Disconnect(activeEncoder.get(), rtpTransmitter.get());

  Disconnect(rtpReceiver.get(), activeDecoder.get());
  for (AudioTransformer* buffer : {static_cast<AudioTransformer*>(jitterBuffer.get()),
                                   static_cast<AudioTransformer*>(lowLatencyJitterBuffer.get())}) {
    Disconnect(activeDecoder.get(), buffer);
    Disconnect(buffer, reframingBuffer.get());
  }
  Disconnect(reframingBuffer.get(), volumeMaximizer.get());
  Disconnect(volumeMaximizer.get(), receiveMixer.get());
  AudioSource* const rxSources[] = {receiveMixer.get(), receiveFir.get(), limiter.get()};
  AudioSink* const rxSinks[] = {receiveFir.get(), limiter.get(), playbackSink.get()};
  for (AudioSource* from : rxSources) {
    for (AudioSink* to : rxSinks) {
      if (static_cast<const void*>(from) != static_cast<const void*>(to)) Disconnect(from, to);
    }
  }
}

void COrbeMediaTerm::DeleteFilters() {
  // Unlinked first: a thread that outlives this (its stop gave up) then reaches only the filters
  // its own chain pins, and no filter keeps a pointer to one that goes away.
  UnlinkAll();
  ReleaseChain(transmitChain);
  ReleaseChain(receiveChain);
  playbackSink.reset();
  captureSource.reset();
  rtpReceiver.reset();
  rtpTransmitter.reset();
  receiveFir.reset();
  transmitFir.reset();
  limiter.reset();
  vad.reset();
  receiveMixer.reset();
  transmitMixer.reset();
  jitterBuffer.reset();
  lowLatencyJitterBuffer.reset();
  reframingBuffer.reset();
  activeDecoder.reset();
  genericDecoder.reset();
  volumeMaximizer.reset();
  activeEncoder.reset();
}

void COrbeMediaTerm::ReleaseActiveDecoder() {
  // Unlinked before it goes: a start that failed may have left it linked.
  Disconnect(rtpReceiver.get(), activeDecoder.get());
  Disconnect(activeDecoder.get(), jitterBuffer.get());
  Disconnect(activeDecoder.get(), lowLatencyJitterBuffer.get());
  activeDecoder.reset();
}

std::shared_ptr<COrbeMediaTerm::Chain> COrbeMediaTerm::MakeTransmitChain() {
  auto chain = std::make_shared<Chain>("transmit");
  chain->parts = {captureSource, transmitFir, vad, transmitMixer, activeEncoder, rtpTransmitter};
  return chain;
}

std::shared_ptr<COrbeMediaTerm::Chain> COrbeMediaTerm::MakeReceiveChain() {
  auto chain = std::make_shared<Chain>("receive");
  chain->parts = {rtpReceiver,     activeDecoder,   jitterBuffer, lowLatencyJitterBuffer,
                  reframingBuffer, volumeMaximizer, receiveMixer, receiveFir,
                  limiter,         playbackSink};
  return chain;
}

void COrbeMediaTerm::LoadTransmitFir(uint32_t txFirFilter) {
  transmitFir->SetCoefficients(FIRTransformer::CoefficientTable(txFirFilter == 2 ? 3 : 1),
                               FIRTransformer::kTableTaps, 16);
}

void COrbeMediaTerm::LoadReceiveFir(uint32_t rxFirFilter) {
  receiveFir->SetCoefficients(FIRTransformer::CoefficientTable(rxFirFilter == 2 ? 4 : 2),
                              FIRTransformer::kTableTaps, 16);
}

void COrbeMediaTerm::FireEndOfFileTX(uint32_t /*filePlayId*/) { endOfFileCount.fetch_add(1); }

void COrbeMediaTerm::FireEndOfFileRX(uint32_t /*filePlayId*/) { endOfFileCount.fetch_add(1); }

void COrbeMediaTerm::SetThreadStopWaitMs(uint32_t ms) {
  OperationLock lock(*this);
  threadStopWaitMs = ms;
  if (ms == 0) return;
  captureSource->SetSourceStopWaitMs(ms);
  rtpReceiver->SetSourceStopWaitMs(ms);
  playbackSink->SetSinkStopWaitMs(ms);
}

size_t COrbeMediaTerm::FilePlayCount() {
  CriticalSectionLock lock(filePlayMutex);
  return filePlays.size();
}

// ---------------------------------------------------------------------------------------------
// Codecs and destination

int32_t COrbeMediaTerm::SetReceiveCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                                        int32_t fourth) try {
  OperationLock lock(*this);
  if (frameTimeMs == 0) {
    LogLater("COrbeMediaTerm::SetReceiveCodec: frame time 0, using=", kDefaultFrameTimeMs);
  }
  frameTimeMs = UsableFrameTime(frameTimeMs);
  if (bReceiving && codec == rxCodec && (codec != 9 || fourth == rxFourth)) return 0;
  rxCodec = codec;
  rxFrameTime = frameTimeMs;
  rxThird = third;
  rxFourth = fourth;
  const bool wasReceiving = bReceiving;
  if (wasReceiving && StopRX() != 0) return -10;
  receiveFrameTime = frameTimeMs;
  playbackSink->SetFrameSize(frameTimeMs * 16);
  if (codec != kCodecGeneric && codec != kCodecALaw && codec != kCodecULaw) return -30;
  ReleaseActiveDecoder();
  if (codec == kCodecGeneric) {
    activeDecoder = genericDecoder;
  } else {
    auto decoder = std::make_shared<G7112PCMTransformer>();
    if (codec == kCodecALaw) {
      decoder->SetALaw();
    } else {
      decoder->SetULaw();
    }
    activeDecoder = std::move(decoder);
  }
  if (wasReceiving && StartRX(playbackDeviceId, 100) != 0) return -20;
  return 0;
} catch (...) {
  return UnexpectedException("SetReceiveCodec", -10);
}

int32_t COrbeMediaTerm::SetTransmitCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                                         int32_t vadWanted, uint16_t fifth, int32_t sixth) try {
  OperationLock lock(*this);
  if (frameTimeMs == 0) {
    LogLater("COrbeMediaTerm::SetTransmitCodec: frame time 0, using=", kDefaultFrameTimeMs);
  }
  frameTimeMs = UsableFrameTime(frameTimeMs);
  const bool vadActive = ReadBool("ForceVADOff", false) && vadWanted != 0;
  if (codec == txCodec && frameTimeMs == txFrameTime &&
      static_cast<int32_t>(vadActive) == txVadActive && (codec != 9 || sixth == txSixth)) {
    txThird = third;
    txFifth = fifth;
    txSixth = sixth;
    return 0;
  }
  int32_t result = 0;
  const bool wasTransmitting = bTransmitting;
  if (wasTransmitting && StopTX() != 0) result = -10;
  bVadActive = vadActive;
  if (result == -10) return result;
  transmitFrameTime = frameTimeMs;
  captureSource->SetBufferSize(frameTimeMs * 16);
  if (codec != kCodecALaw && codec != kCodecULaw) return -30;
  // Unlinked before it goes: a start that failed may have left it linked.
  Disconnect(transmitMixer.get(), activeEncoder.get());
  Disconnect(activeEncoder.get(), rtpTransmitter.get());
  activeEncoder = std::make_shared<PCM2G711Transformer>();
  if (codec == kCodecALaw) {
    activeEncoder->SetALaw();
  } else {
    activeEncoder->SetULaw();
  }
  if (wasTransmitting && StartTX(captureDeviceId) != 0) return -20;
  txCodec = codec;
  txSixth = sixth;
  txFifth = fifth;
  txFrameTime = frameTimeMs;
  txThird = third;
  txVadActive = vadActive ? 1 : 0;
  return 0;
} catch (...) {
  return UnexpectedException("SetTransmitCodec", -10);
}

int32_t COrbeMediaTerm::SetDestination(const char* remoteAddress, int32_t remotePort,
                                       int32_t localPort, EventHandle bufferChangeEvent) try {
  OperationLock lock(*this);
  rtpTransmitter->SetLocalPort(static_cast<uint16_t>(localPort & 0xFFFF));
  const int32_t result =
      rtpTransmitter->SetDestination(remoteAddress, static_cast<uint16_t>(remotePort));
  rtpReceiver->SetReceivePort(rtpTransmitter->GetRtpSocket());
  // The receiver shares the event: replacing it while the receiver signals it is safe.
  const NativeHandle hostEvent = HostEventHandle(bufferChangeEvent);
  rtpReceiver->SetDepthChangeEvent(
      hostEvent != kNoNativeHandle
          ? std::shared_ptr<HostEvent>(HostEvent::FromHostHandle(hostEvent))
          : nullptr);
  return result;
} catch (...) {
  return UnexpectedException("SetDestination", -10);
}

// ---------------------------------------------------------------------------------------------
// Transmit direction

int32_t COrbeMediaTerm::StartTX(int32_t deviceId) try {
  OperationLock lock(*this);
  if (bTransmitting) return 0;
  bMicrophonePreprocess = ReadBool("MicrophonePreprocess", true);
  LoadTransmitFir(ReadDword("TxFIRFilter", 1));
  captureDeviceId = deviceId;
  captureSource->SetDeviceID(deviceId);

  AudioSource* previous = captureSource.get();
  auto link = [&previous](AudioTransformer* next) {
    Connect(previous, next);
    previous = next;
  };
  if (bMicrophonePreprocess) link(transmitFir.get());
  if (bVadActive) link(vad.get());
  link(transmitMixer.get());
  link(activeEncoder.get());
  Connect(previous, rtpTransmitter.get());

  const uint32_t tos = ReadDword("TransmitTOS", 184);
  int32_t r = rtpTransmitter->SetTOS(static_cast<uint8_t>(tos & 0xFF));
  if (r < 0) {
    LogLater("COrbeMediaTerm::StartTX (1), result=", r);
    return -5;
  }
  r = rtpTransmitter->StartSink();
  if (r < 0) {
    LogLater("COrbeMediaTerm::StartTX (2), result=", r);
    return -10;
  }
  r = activeEncoder->StartTransform();
  if (r < 0) {
    LogLater("COrbeMediaTerm::StartTX (3), result=", r);
    rtpTransmitter->StopSink();
    return -20;
  }
  r = transmitMixer->StartTransform();
  if (r < 0) {
    LogLater("COrbeMediaTerm::StartTX (4), result=", r);
    rtpTransmitter->StopSink();
    activeEncoder->StopTransform();
    return -30;
  }
  if (bVadActive) {
    r = vad->Enable();
    if (r >= 0) r = vad->StartTransform();
    if (r < 0) {
      LogLater("COrbeMediaTerm::StartTX (5), result=", r);
      rtpTransmitter->StopSink();
      activeEncoder->StopTransform();
      transmitMixer->StopTransform();
      return -40;
    }
  }
  if (bMicrophonePreprocess) {
    r = transmitFir->StartTransform();
    if (r < 0) {
      LogLater("COrbeMediaTerm::StartTX (6), result=", r);
      rtpTransmitter->StopSink();
      activeEncoder->StopTransform();
      transmitMixer->StopTransform();
      if (bVadActive) vad->StopTransform();
      return -50;
    }
  }
  // The thread gets the chain as its keep-alive token; the terminal keeps it while it runs.
  transmitChain = MakeTransmitChain();
  captureSource->SetSourceThreadKeepAlive(transmitChain);
  r = captureSource->StartSourceThread();
  if (r < 0) {
    ReleaseChain(transmitChain);
    LogLater("COrbeMediaTerm::StartTX (7), result=", r);
    rtpTransmitter->StopSink();
    activeEncoder->StopTransform();
    transmitMixer->StopTransform();
    if (bVadActive) vad->StopTransform();
    if (bMicrophonePreprocess) transmitFir->StopTransform();
    return -60;
  }
  bTransmitting = true;
  StartRtcpIfWanted();
  return 0;
} catch (...) {
  return UnexpectedException("StartTX", -10);
}

int32_t COrbeMediaTerm::StopTX() try {
  OperationLock lock(*this);
  if (!bTransmitting) {
    bTransmitting = false;
    return 0;
  }
  // The last direction ends, or the transmitter's socket goes that multiplexed RTCP sends
  // through: RTCP says BYE while the socket is still open.
  if (!bReceiving || rtcpMode == kRtcpMultiplexed) StopRtcp(true);
  bool failed = false;
  auto note = [&failed](int32_t r) {
    if (r < 0) failed = true;
  };
  note(captureSource->StopSourceThread());
  if (bMicrophonePreprocess) note(transmitFir->StopTransform());
  if (bVadActive) note(vad->StopTransform());
  note(transmitMixer->StopTransform());
  note(activeEncoder->StopTransform());
  note(rtpTransmitter->StopSink());

  AudioSource* previous = captureSource.get();
  auto unlink = [&previous](AudioTransformer* next) {
    Disconnect(previous, next);
    previous = next;
  };
  if (bMicrophonePreprocess) unlink(transmitFir.get());
  if (bVadActive) unlink(vad.get());
  unlink(transmitMixer.get());
  unlink(activeEncoder.get());
  Disconnect(previous, rtpTransmitter.get());

  if (failed) return -10;
  bTransmitting = false;
  // A capture thread the stop gave up on keeps the chain; the terminal lets go of it either way.
  if (!captureSource->SourceThreadEnded()) {
    TRACE(LifetimeTracer(), trace::kError, "StopTX : the capture thread did not stop in time\n");
  }
  ReleaseChain(transmitChain);
  StopRtcpIfIdle();
  return 0;
} catch (...) {
  return UnexpectedException("StopTX", -10);
}

// ---------------------------------------------------------------------------------------------
// Receive direction

int32_t COrbeMediaTerm::StartRX(int32_t deviceId, uint32_t jitterMs) try {
  OperationLock lock(*this);
  TrafficTotals::Reset();
  if (bReceiving) return 0;
  bSpeakerPostprocess = ReadBool("SpeakerPostprocess", true);
  bLimitVolume = ReadBool("LimitVolume", true);
  // Read (and written back when missing) in every start; a host override wins.
  const bool lowLatencySetting = ReadBool("LowLatencyReceive", false);
  const int32_t override = receiveModeOverride.load();
  bLowLatencyReceive =
      override == kReceiveModeFromSettings ? lowLatencySetting : override == kReceiveModeLowLatency;
  AudioTransformer* const activeJitterBuffer = ActiveJitterBuffer();
  LoadReceiveFir(ReadDword("RxFIRFilter", 1));
  jitterBuffer->SetMinimumDepth(jitterMs);
  reframingBuffer->SetOutputDuration(receiveFrameTime);
  uint32_t frames = kPlaybackBufferBase;
  if (!ReadBool("UseDynamicJitterBuffer", true)) {
    const uint32_t wanted = receiveFrameTime != 0 ? jitterMs / receiveFrameTime : 0;
    frames = std::max(wanted, kPlaybackBufferBase);
  }
  if (bLowLatencyReceive) {
    frames = kLowLatencyPlaybackBuffers;
    lowLatencyJitterBuffer->SetFrameDuration(static_cast<int32_t>(receiveFrameTime));
    lowLatencyJitterBuffer->SetInitialJitter(static_cast<int32_t>(std::min(jitterMs, 500u)));
    const uint32_t periodUs = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{receiveFrameTime} * 1000, kMaxDevicePeriodUs));
    playbackSink->SetDeviceTiming(periodUs, kLowLatencyDevicePeriods);
  } else {
    playbackSink->SetDeviceTiming(0, 0);
  }
  playbackSink->SetPullWhenReady(bLowLatencyReceive);
  rtpReceiver->SetLowLatency(bLowLatencyReceive);
  playbackSink->SetNumFrames(frames);
  limiter->SetParameters(ReadNumber("LimiterThreshold", "-8.0"),
                         ReadNumber("LimiterLossIncrement", "0.075"),
                         ReadNumber("LimiterLossDecrement", "-0.00075"));
  playbackDeviceId = deviceId;
  playbackSink->SetDeviceID(deviceId);
  volumeMaximizer->SetPercentile(ReadNumber("VolumeMaximizePercentile", "95.00"));
  const double maxGain = std::fabs(ReadNumber("VolumeMaximizeMaxGain", "8.00")) * 100.0;
  volumeMaximizer->SetMaxAmplification(maxGain >= 4294967295.0 ? 0xFFFFFFFFu
                                                               : static_cast<uint32_t>(maxGain));

  // The other mode's jitter buffer may still be linked from a start that failed: unlink it, so
  // the decoder pushes into, and the re-framer pulls from, the active one only.
  AudioTransformer* const idleJitterBuffer =
      activeJitterBuffer == jitterBuffer.get()
          ? static_cast<AudioTransformer*>(lowLatencyJitterBuffer.get())
          : static_cast<AudioTransformer*>(jitterBuffer.get());
  Disconnect(activeDecoder.get(), idleJitterBuffer);
  Disconnect(idleJitterBuffer, reframingBuffer.get());
  Connect(rtpReceiver.get(), activeDecoder.get());
  Connect(activeDecoder.get(), activeJitterBuffer);
  Connect(activeJitterBuffer, reframingBuffer.get());
  Connect(reframingBuffer.get(), volumeMaximizer.get());
  Connect(volumeMaximizer.get(), receiveMixer.get());
  AudioTransformer* previous = receiveMixer.get();
  if (bSpeakerPostprocess) {
    Connect(previous, receiveFir.get());
    previous = receiveFir.get();
  }
  if (bLimitVolume) {
    Connect(previous, limiter.get());
    previous = limiter.get();
  }
  Connect(previous, playbackSink.get());

  // Starts in order; on a failure, stops what was started, in the order it was started.
  std::vector<AudioTransformer*> started;
  auto undo = [&started]() {
    for (AudioTransformer* t : started) t->StopTransform();
  };
  struct Step {
    AudioTransformer* transformer;
    int32_t code;
    bool present;
  };
  const Step steps[] = {
      {activeDecoder.get(), -10, true},   {activeJitterBuffer, -20, true},
      {reframingBuffer.get(), -30, true}, {volumeMaximizer.get(), -40, true},
      {receiveMixer.get(), -50, true},    {receiveFir.get(), -60, bSpeakerPostprocess},
      {limiter.get(), -70, bLimitVolume},
  };
  for (const Step& step : steps) {
    if (!step.present) continue;
    if (step.transformer->StartTransform() < 0) {
      undo();
      return step.code;
    }
    started.push_back(step.transformer);
  }
  // Both threads get the chain as their keep-alive token; the terminal keeps it while they run.
  receiveChain = MakeReceiveChain();
  playbackSink->SetSinkThreadKeepAlive(receiveChain);
  if (playbackSink->StartSinkThread() < 0) {
    ReleaseChain(receiveChain);
    undo();
    return -80;
  }
  rtpReceiver->SetSourceThreadKeepAlive(receiveChain);
  if (rtpReceiver->StartSourceThread() < 0) {
    playbackSink->StopSinkThread();
    ReleaseChain(receiveChain);
    undo();
    return -90;
  }
  bReceiving = true;
  StartRtcpIfWanted();
  return 0;
} catch (...) {
  return UnexpectedException("StartRX", -10);
}

int32_t COrbeMediaTerm::StopRX() try {
  OperationLock lock(*this);
  if (!bReceiving) {
    bReceiving = false;
    return 0;
  }
  bool failed = false;
  auto note = [&failed](int32_t r) {
    if (r < 0) failed = true;
  };
  rtpReceiver->StopSourceThread();
  note(playbackSink->StopSinkThread());
  note(rtpReceiver->UnprepareSource());
  note(rtpReceiver->StopSourceThread());
  if (bLimitVolume) note(limiter->StopTransform());
  if (bSpeakerPostprocess) note(receiveFir->StopTransform());
  note(receiveMixer->StopTransform());
  note(volumeMaximizer->StopTransform());
  note(reframingBuffer->StopTransform());
  AudioTransformer* const activeJitterBuffer = ActiveJitterBuffer();
  note(activeJitterBuffer->StopTransform());
  note(activeDecoder->StopTransform());

  Disconnect(rtpReceiver.get(), activeDecoder.get());
  Disconnect(activeDecoder.get(), activeJitterBuffer);
  Disconnect(activeJitterBuffer, reframingBuffer.get());
  Disconnect(reframingBuffer.get(), volumeMaximizer.get());
  Disconnect(volumeMaximizer.get(), receiveMixer.get());
  AudioTransformer* previous = receiveMixer.get();
  if (bSpeakerPostprocess) {
    Disconnect(previous, receiveFir.get());
    previous = receiveFir.get();
  }
  if (bLimitVolume) {
    Disconnect(previous, limiter.get());
    previous = limiter.get();
  }
  Disconnect(previous, playbackSink.get());

  if (failed) return -10;
  bReceiving = false;
  // Threads the stop gave up on keep the chain; the terminal lets go of it either way.
  if (!rtpReceiver->SourceThreadEnded() || !playbackSink->SinkThreadEnded()) {
    TRACE(LifetimeTracer(), trace::kError, "StopRX : a receive thread did not stop in time\n");
  }
  ReleaseChain(receiveChain);
  StopRtcpIfIdle();
  return 0;
} catch (...) {
  return UnexpectedException("StopRX", -10);
}

// ---------------------------------------------------------------------------------------------
// Volumes, device tests, buffer ratio

int32_t COrbeMediaTerm::SetSpeakerVolume(int32_t deviceId, uint32_t volumePercent) try {
  if (deviceId == playbackSink->GetDeviceID() && bReceiving) {
    playbackSink->SetVolume(volumePercent);
  }
  return 0;
} catch (...) {
  return UnexpectedException("SetSpeakerVolume", -10);
}

int32_t COrbeMediaTerm::SetMicrophoneVolume(int32_t /*deviceId*/, uint32_t volumePercent) try {
  captureSource->SetVolume(volumePercent);
  return 0;
} catch (...) {
  return UnexpectedException("SetMicrophoneVolume", -10);
}

bool COrbeMediaTerm::TestPlaybackDevice() try {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (OpenPlaybackOnce()) return true;
    if (attempt == 0) SleepMs(2000);
  }
  return false;
} catch (...) {
  return UnexpectedException("TestPlaybackDevice", false);
}

bool COrbeMediaTerm::TestCaptureDevice() try { return OpenCaptureOnce(); } catch (...) {
  return UnexpectedException("TestCaptureDevice", false);
}

AudioTransformer* COrbeMediaTerm::ActiveJitterBuffer() {
  return bLowLatencyReceive ? static_cast<AudioTransformer*>(lowLatencyJitterBuffer.get())
                            : static_cast<AudioTransformer*>(jitterBuffer.get());
}

COrbeMediaTerm::ReceiveReport COrbeMediaTerm::GetReceiveReport() {
  ReceiveReport report;
  report.lowLatency = bLowLatencyReceive.load();
  if (report.lowLatency && lowLatencyJitterBuffer) {
    const LowLatencyJitterBuffer::Report jb = lowLatencyJitterBuffer->GetReport();
    report.packetsReceived = jb.stats.packetsReceived;
    report.latePackets = jb.stats.latePackets;
    report.framesPlayed = jb.stats.framesAudio;
    report.framesConcealed = jb.stats.framesConcealed;
    report.framesSilence = jb.stats.framesSilence;
    report.acceleratedMs = jb.stats.acceleratedSamples / PlayoutBuffer::kSamplesPerMs;
    report.expandedMs = jb.stats.expandedSamples / PlayoutBuffer::kSamplesPerMs;
    report.reanchors = jb.stats.reanchors;
    report.targetMs = jb.stats.targetMs;
    report.delayMs = jb.stats.delayMs;
    report.network = {jb.networkMedianMs, jb.networkP95Ms};
    report.jitterBuffer = {jb.bufferMedianMs, jb.bufferP95Ms};
  }
  if (playbackSink) {
    const WaveAudioSink::DelayReport playback = playbackSink->GetDelayReport();
    report.playbackQueue = {playback.queueMedianMs, playback.queueP95Ms};
    report.device = {playback.deviceMedianMs, playback.deviceP95Ms};
  }
  return report;
}

uint64_t COrbeMediaTerm::SrtpRefusedCount() {
  OperationLock lock(*this);
  return mediaExtensions ? mediaExtensions->SrtpRefused() : 0;
}

uint64_t COrbeMediaTerm::ReceivedPacketCount() {
  if (!bLowLatencyReceive.load() || !lowLatencyJitterBuffer) return 0;
  return lowLatencyJitterBuffer->PacketsReceived();
}

double COrbeMediaTerm::GetReceiveBufferRatio() try {
  if (!rtpReceiver) return 1.0;
  const int32_t depth = rtpReceiver->depth.load();
  const int32_t minDepth = rtpReceiver->minDepth.load();
  return static_cast<double>(depth - minDepth) / static_cast<double>(30 - minDepth);
} catch (...) {
  return UnexpectedException("GetReceiveBufferRatio", 0.0);
}

// ---------------------------------------------------------------------------------------------
// File play

void COrbeMediaTerm::SweepFilePlays() {
  CriticalSectionLock lock(filePlayMutex);
  for (auto it = filePlays.begin(); it != filePlays.end();) {
    if (!it->second->IsRunning()) {
      // A play whose thread has not ended yet lives on through its thread's token.
      auto chain = filePlayChains.find(it->first);
      if (chain != filePlayChains.end()) {
        ReleaseChain(chain->second);
        filePlayChains.erase(chain);
      }
      it = filePlays.erase(it);
    } else {
      ++it;
    }
  }
}

int32_t COrbeMediaTerm::PlayFile(const char* fileName, int32_t playOnce, int32_t volumePercent,
                                 uint32_t* filePlayId) try {
  OperationLock lock(*this);
  try {
    SweepFilePlays();
    if (!bTransmitting) return 0;
    auto play = std::make_shared<FilePlay>(transmitMixer.get(), transmitFrameTime, true);
    play->SetTerminal(this);
    if (fileName == nullptr || play->LoadFile(fileName) != 0) {
      play.reset();
      throw Exception(-10, "Error loading file %s", fileName != nullptr ? fileName : "(null)");
    }
    if (playOnce == 0) play->PlayInLoop();
    if (const uint32_t ms = threadStopWaitMs.load(); ms != 0) play->SetStopWaitMs(ms);
    play->SetVolume(volumePercent);
    play->SetDestinationFormat(MakeAudioFormat(5));
    CriticalSectionLock playLock(filePlayMutex);
    const uint32_t id = play->GetID();
    // The play's thread pins the play and the filters its pushes reach.
    auto chain = std::make_shared<Chain>("file play");
    chain->parts = {play, transmitMixer, activeEncoder, rtpTransmitter};
    filePlays[id] = play;
    filePlayChains[id] = chain;
    if (filePlayId != nullptr) *filePlayId = id;
    play->Start(chain);
    return 0;
  } catch (const Exception& e) {
    return e.GetCode();
  }
} catch (...) {
  return UnexpectedException("PlayFile", -10);
}

bool COrbeMediaTerm::StopFile(uint32_t filePlayId) try {
  OperationLock lock(*this);
  CriticalSectionLock playLock(filePlayMutex);
  auto it = filePlays.find(filePlayId);
  if (it != filePlays.end() && it->second->IsTX()) it->second->StopImmediately();
  return false;
} catch (...) {
  return UnexpectedException("StopFile", false);
}

// ---------------------------------------------------------------------------------------------
// The extension interface

MediaExtensions& COrbeMediaTerm::Extensions() {
  if (!mediaExtensions) {
    mediaExtensions = std::make_shared<MediaExtensions>();
    rtpTransmitter->SetExtensions(mediaExtensions);
    rtpReceiver->SetExtensions(mediaExtensions);
  }
  return *mediaExtensions;
}

int32_t COrbeMediaTerm::SetTelephoneEventPayloadType(int32_t payloadType) try {
  OperationLock lock(*this);
  return Extensions().SetTelephoneEventPayloadType(payloadType) ? 0 : -10;
} catch (...) {
  return UnexpectedException("SetTelephoneEventPayloadType", -10);
}

int32_t COrbeMediaTerm::SendDigits(const char* digits, uint32_t durationMs) try {
  OperationLock lock(*this);
  if (digits == nullptr) return -10;
  if (!bTransmitting) return -20;
  return Extensions().QueueDigits(digits, durationMs) ? 0 : -10;
} catch (...) {
  return UnexpectedException("SendDigits", -10);
}

int32_t COrbeMediaTerm::SetTelephoneEventSignal(EventHandle event) try {
  OperationLock lock(*this);
  const NativeHandle handle = HostEventHandle(event);
  Extensions().SetTelephoneEventSignal(
      handle != kNoNativeHandle ? std::shared_ptr<HostEvent>(HostEvent::FromHostHandle(handle))
                                : nullptr);
  return 0;
} catch (...) {
  return UnexpectedException("SetTelephoneEventSignal", -10);
}

int32_t COrbeMediaTerm::GetTelephoneEvent(char* digit, uint32_t* durationMs) try {
  if (digit == nullptr || durationMs == nullptr) return -10;
  std::shared_ptr<MediaExtensions> ext;
  {
    OperationLock lock(*this);
    ext = mediaExtensions;
  }
  TelephoneEventReceiver::Event event;
  if (!ext || !ext->PopTelephoneEvent(&event)) return 0;
  *digit = event.digit != '\0' ? event.digit : '?';
  *durationMs = event.durationMs;
  return 1;
} catch (...) {
  return UnexpectedException("GetTelephoneEvent", -10);
}

int32_t COrbeMediaTerm::SetSrtp(const char* suite, const char* localKey,
                                const char* remoteKey) try {
  OperationLock lock(*this);
  std::string error;
  const int32_t result =
      Extensions().SetSrtp(suite != nullptr ? suite : "", localKey != nullptr ? localKey : "",
                           remoteKey != nullptr ? remoteKey : "", &error);
  if (result != 0) LogPlainLater("COrbeMediaTerm::SetSrtp: " + error);
  return result;
} catch (...) {
  return UnexpectedException("SetSrtp", -10);
}

int32_t COrbeMediaTerm::SetSymmetricRtp(int32_t enable) try {
  OperationLock lock(*this);
  Extensions().EnableSymmetricRtp(enable != 0);
  return 0;
} catch (...) {
  return UnexpectedException("SetSymmetricRtp", -10);
}

int32_t COrbeMediaTerm::SetDestinationEx(const char* remoteHost, int32_t remotePort,
                                         const char* localAddress, int32_t localPort,
                                         EventHandle bufferChangeEvent) try {
  OperationLock lock(*this);
  NetworkAddress remote;
  std::string error;
  if (remoteHost == nullptr ||
      !NetworkAddress::Resolve(remoteHost, static_cast<uint16_t>(remotePort & 0xFFFF), &remote,
                               &error)) {
    LogPlainLater("COrbeMediaTerm::SetDestinationEx: " + error);
    return -10;
  }
  NetworkAddress local = NetworkAddress::IPv4(0, static_cast<uint16_t>(localPort & 0xFFFF));
  if (localAddress != nullptr && *localAddress != '\0' &&
      !NetworkAddress::Parse(localAddress, static_cast<uint16_t>(localPort & 0xFFFF), &local)) {
    return -20;
  }
  // An IPv4 peer of an IPv6 (dual-stack) socket is addressed in its mapped form.
  if (local.GetFamily() == NetworkAddress::Family::kIPv6 &&
      remote.GetFamily() == NetworkAddress::Family::kIPv4) {
    remote = remote.Mapped();
  }
  Extensions();
  const int32_t result = rtpTransmitter->SetEndpoint(local, remote);
  rtpReceiver->SetReceivePort(rtpTransmitter->GetRtpSocket());
  const NativeHandle hostEvent = HostEventHandle(bufferChangeEvent);
  rtpReceiver->SetDepthChangeEvent(
      hostEvent != kNoNativeHandle
          ? std::shared_ptr<HostEvent>(HostEvent::FromHostHandle(hostEvent))
          : nullptr);
  return result;
} catch (...) {
  return UnexpectedException("SetDestinationEx", -10);
}

int32_t COrbeMediaTerm::SetRtcp(int32_t mode, const char* cname) try {
  OperationLock lock(*this);
  if (mode != kRtcpOff && mode != kRtcpOwnPort && mode != kRtcpMultiplexed) return -10;
  Extensions();
  rtcpMode = mode;
  rtcpCname = cname != nullptr ? cname : "";
  if (mode == kRtcpOff) {
    rtpTransmitter->SetFixedSsrc(0);
    StopRtcp(true);
    return 0;
  }
  // Our SSRC is fixed from here on, so that RTCP names the stream before and after each start.
  if (rtcpSsrc == 0) {
    rtcpSsrc = RandomSsrc(TickCount() ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
  }
  rtpTransmitter->SetFixedSsrc(rtcpSsrc);
  return 0;
} catch (...) {
  return UnexpectedException("SetRtcp", -10);
}

int32_t COrbeMediaTerm::GetRtcpReport(RtcpReport* report) try {
  if (report == nullptr || report->size < sizeof(uint32_t) * 2) return -10;
  std::shared_ptr<RtcpSession> session;
  std::shared_ptr<MediaExtensions> ext;
  bool timedOut = false;
  uint32_t localSsrc = 0;
  {
    OperationLock lock(*this);
    session = rtcpSession;
    localSsrc = rtcpSsrc;
    ext = mediaExtensions;
    timedOut = rtpTimedOutFlag->load();
  }
  if (!session) return -20;
  const RtcpSession::Statistics s = session->GetStatistics();
  RtcpReport full{};
  full.size = report->size;
  full.remoteSsrc = s.remoteSsrc;
  full.packetsSent = s.packetsSent;
  full.octetsSent = s.octetsSent;
  full.packetsReceived = s.packetsReceived;
  full.octetsReceived = s.octetsReceived;
  full.cumulativeLost = s.cumulativeLost;
  full.fractionLost = s.fractionLost;
  full.callFractionLost = s.callFractionLost;
  full.jitterMs = s.jitterMs;
  full.haveRemoteReport = s.haveRemoteReport ? 1 : 0;
  full.remoteCumulativeLost = s.remoteCumulativeLost;
  full.remoteFractionLost = s.remoteFractionLost;
  full.remoteJitterMs = s.remoteJitterMs;
  full.roundTripMs = s.roundTripMs;
  full.reportsSent = s.reportsSent;
  full.reportsReceived = s.reportsReceived;
  full.reportsMalformed = s.reportsMalformed;
  full.byeReceived = s.byeReceived ? 1 : 0;
  full.timedOut = timedOut ? 1 : 0;
  full.srtpRefused = ext ? ext->SrtpRefused() : 0;
  std::snprintf(full.remoteCname, sizeof full.remoteCname, "%s", s.remoteCname.c_str());
  full.localSsrc = localSsrc;
  // A host built with an older, shorter report gets what fits.
  std::memcpy(report, &full, std::min<size_t>(report->size, sizeof full));
  return 0;
} catch (...) {
  return UnexpectedException("GetRtcpReport", -10);
}

int32_t COrbeMediaTerm::SetRtpTimeout(uint32_t timeoutMs, EventHandle timeoutEvent) try {
  OperationLock lock(*this);
  Extensions();
  rtpTimeoutMs = timeoutMs;
  const NativeHandle handle = HostEventHandle(timeoutEvent);
  rtpTimeoutSignal = handle != kNoNativeHandle
                         ? std::shared_ptr<HostEvent>(HostEvent::FromHostHandle(handle))
                         : nullptr;
  if (rtcpChannel) rtcpChannel->SetTimeout(rtpTimeoutMs, TimeoutHandler());
  return 0;
} catch (...) {
  return UnexpectedException("SetRtpTimeout", -10);
}

RtcpChannel::TimeoutHandler COrbeMediaTerm::TimeoutHandler() {
  if (rtpTimeoutMs == 0) return nullptr;
  // Runs on the RTCP thread: the host hears of it through its event and the deferred log.
  std::shared_ptr<HostEvent> signal = rtpTimeoutSignal;
  std::shared_ptr<std::atomic<bool>> flag = rtpTimedOutFlag;
  return [signal, flag](uint32_t silentMs) {
    flag->store(true);
    HostLogWriter::DeferWithNumber("COrbeMediaTerm: RTP timeout, ms=", silentMs);
    if (signal) signal->Set();
  };
}

void COrbeMediaTerm::StartRtcpIfWanted() {
  if (rtcpMode == kRtcpOff || !mediaExtensions || (rtcpChannel && rtcpChannel->IsRunning())) {
    return;
  }
  std::shared_ptr<MediaExtensions> ext = mediaExtensions;
  std::shared_ptr<RTPAudioSink> transmitter = rtpTransmitter;
  const std::shared_ptr<UdpSocket> socket = transmitter->GetRtpSocket();
  uint16_t port = 0;
  if (!socket || socket->GetLocalPort(&port) != 0) {
    LogPlainLater("COrbeMediaTerm::StartRtcp: no RTP socket");
    return;
  }
  const NetworkAddress remote = transmitter->CurrentDestination();
  std::string cname = rtcpCname;
  if (cname.empty()) cname = "tarsio@" + std::to_string(rtcpSsrc);
  // 64 kbit/s of G.711 audio: RTCP takes its 5 % of that (RFC 3550 6.2).
  rtcpSession = std::make_shared<RtcpSession>(rtcpSsrc, cname, 8000, 8000.0);
  const bool muxed = rtcpMode == kRtcpMultiplexed;
  auto channel = std::make_shared<RtcpChannel>(
      rtcpSession,
      [transmitter, muxed] {
        NetworkAddress to = transmitter->CurrentDestination();
        if (to.IsValid() && !muxed) to.SetPort(static_cast<uint16_t>(to.Port() + 1));
        return to;
      },
      ext->SrtpOutbound(), ext->SrtpInbound());
  rtpTimedOutFlag = std::make_shared<std::atomic<bool>>(false);
  channel->SetTimeout(rtpTimeoutMs, TimeoutHandler());
  ext->SetRtcpSession(rtcpSession, [channel] { return channel->NtpNow(); });
  bool started = false;
  if (muxed) {
    started = channel->StartMuxed(socket);
    ext->SetMuxedRtcpHandler(
        [channel](const uint8_t* data, size_t length, const NetworkAddress& from) {
          channel->OnMuxedDatagram(data, length, from);
        });
  } else {
    rtpReceiver->ReleaseRtcpPort();
    const NetworkAddress local = remote.GetFamily() == NetworkAddress::Family::kIPv6
                                     ? NetworkAddress::AnyIPv6(static_cast<uint16_t>(port + 1))
                                     : NetworkAddress::IPv4(0, static_cast<uint16_t>(port + 1));
    started = channel->StartOwnSocket(local);
  }
  if (!started) LogLater("COrbeMediaTerm::StartRtcp: RTCP did not start, port=", port);
  rtcpChannel = std::move(channel);
}

void COrbeMediaTerm::StopRtcpIfIdle() {
  if (!bTransmitting && !bReceiving) StopRtcp(true);
}

void COrbeMediaTerm::StopRtcp(bool sendBye) {
  if (!rtcpChannel) return;
  if (mediaExtensions) {
    mediaExtensions->SetMuxedRtcpHandler(nullptr);
    mediaExtensions->SetRtcpSession(nullptr, nullptr);
  }
  // The session stays for GetRtcpReport after the call; the channel says BYE and ends.
  rtcpChannel->Stop(sendBye);
  rtcpChannel.reset();
}

}  // namespace tarsio
