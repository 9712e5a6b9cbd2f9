#include "terminal/COrbeMediaTerm.h"

#include <cmath>
#include <cstdlib>
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
#include "framework/TrafficTotals.h"
#include "jitter/FixedSizeAudioBuffer.h"
#include "jitter/LowLatencyJitterBuffer.h"
#include "jitter/RTPJitterBuffer.h"
#include "platform/AudioBackendSelector.h"
#include "platform/Clock.h"
#include "platform/HostEvent.h"
#include "platform/WaveAudioIn.h"
#include "platform/WaveAudioOut.h"
#include "rtp/RTPAudioSink.h"
#include "rtp/RTPAudioSource.h"
#include "terminal/EndOfFileRegistry.h"
#include "terminal/FilePlay.h"

namespace tarsio {

namespace {

std::atomic<COrbeMediaTerm*> currentTerminal{nullptr};

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
  return RegGetBool(HKEY_CURRENT_USER, kTerminalKey, name, def);
}
uint32_t ReadDword(const char* name, uint32_t def) {
  return RegGetDWORD(HKEY_CURRENT_USER, kTerminalKey, name, def);
}
/// The device tests' format: 8 kHz, 16-bit, mono PCM.
WAVEFORMATEX TestFormat() { return MakeAudioFormat(5); }

/// Opens the default playback device without a callback, then resets and closes it.
bool OpenPlaybackOnce() {
  std::shared_ptr<AudioBackend> backend = AudioBackendSelector::Current();
  if (!backend) return false;
  const WAVEFORMATEX format = TestFormat();
  std::unique_ptr<WaveAudioOut> device;
  if (WaveAudioOut::Open(*backend, &device, WAVE_MAPPER, &format, nullptr, 0) != MMSYSERR_NOERROR ||
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
  if (WaveAudioIn::Open(*backend, &device, WAVE_MAPPER, &format, nullptr, 0) != MMSYSERR_NOERROR ||
      !device) {
    return false;
  }
  device->Reset();
  device->Close();
  return true;
}

/// The frame of a codec operation. A frame of 0 ms would leave the capture device nothing to
/// record, and its thread would spin on empty buffers, and the playback sink nothing to write:
/// it is taken as the default frame, with one host-log entry (label, then the frame used).
uint32_t UsableFrameTime(uint32_t frameTimeMs, const char* logLabel) {
  constexpr uint32_t kDefaultFrameTimeMs = 20;
  if (frameTimeMs != 0) return frameTimeMs;
  HostLogWriter::WithNumber(logLabel, kDefaultFrameTimeMs);
  return kDefaultFrameTimeMs;
}

double ReadNumber(const char* name, const char* def) {
  return ParseNumberText(RegGetString(HKEY_CURRENT_USER, kTerminalKey, name, def).c_str());
}

}  // namespace

COrbeMediaTerm* COrbeMediaTerm::Current() { return currentTerminal.load(); }

COrbeMediaTerm::COrbeMediaTerm() {
  CriticalSectionLock lock(terminalMutex);
  AudioSampleManager::CreateInstance();
  captureSource = std::make_unique<WaveAudioSource>();
  playbackSink = std::make_unique<WaveAudioSink>();
  rtpTransmitter = std::make_unique<RTPAudioSink>();
  rtpReceiver = std::make_unique<RTPAudioSource>();
  receiveFir = std::make_unique<FIRTransformer>();
  transmitFir = std::make_unique<FIRTransformer>();
  limiter = std::make_unique<Limiter>(-8.0, 0.075, -0.00075);
  vad = std::make_unique<VAD>();
  jitterBuffer = std::make_unique<RTPJitterBuffer>();
  lowLatencyJitterBuffer = std::make_unique<LowLatencyJitterBuffer>();
  reframingBuffer = std::make_unique<FixedSizeAudioBuffer>();
  genericDecoder = std::make_unique<GenericRTP2PCMDecoder>();
  receiveMixer = std::make_unique<PCMMixer>();
  transmitMixer = std::make_unique<PCMMixer>();
  volumeMaximizer = std::make_unique<PCMVolumeMaximizer>();
  // The two G.711 filters start in u-law; the codec operations replace them with the law chosen.
  activeDecoder = new G7112PCMTransformer();
  activeEncoder = std::make_unique<PCM2G711Transformer>();
  LoadReceiveFir(2);   // table 4
  LoadTransmitFir(2);  // table 3
  receiveFrameTime = 20;
  transmitFrameTime = 20;
  bInitialised = true;
  currentTerminal = this;
  EndOfFileRegistry::Open(this);
}

COrbeMediaTerm::~COrbeMediaTerm() {
  {
    CriticalSectionLock lock(filePlayMutex);
    for (auto& [id, play] : filePlays) {
      if (play->IsRunning()) play->StopImmediately();
    }
    filePlays.clear();
  }
  CriticalSectionLock lock(terminalMutex);
  if (bInitialised) {
    StopRX();
    StopTX();
    DeleteFilters();
    AudioSampleManager::DestroyInstance();
    EndOfFileRegistry::Close();
    bInitialised = false;
  }
  // The media threads' deferred entries reach the log before the report, and before the host may
  // destroy the log.
  HostLogWriter::WritePending(HostLogWriter::kSwitchWaitMs);
  if (HostLogWriter::Current() != nullptr) {
    HostLogWriter::Entry report;
    report.Write("*** estadisticas RTP ***");
    report.MarkEntry();
    report.EndLine();
    report.Write("RTP recvfrom:");
    report.WriteNumber(TrafficTotals::receivedBytes.load());
    report.EndLine();
    report.Write("RTP sendto:");
    report.WriteNumber(TrafficTotals::sentBytes.load());
    report.EndLine();
    report.Write("RTP WaveOut:");
    report.WriteNumber(TrafficTotals::playedBytes.load());
    report.EndLine();
    for (int i = 0; i < 2; ++i) {
      report.Write("RTP WaveIn:");
      report.WriteNumber(TrafficTotals::capturedBytes.load());
      report.EndLine();
      report.EndLine();
    }
    report.Write("RTP G729 Decomp:");
    report.WriteNumber(TrafficTotals::decoderCount.load());
    report.EndLine();
    report.EndLine();
    report.Write("RTP G729 Comp:");
    report.WriteNumber(TrafficTotals::encoderCount.load());
    report.EndLine();
    report.EndLine();
  }
  COrbeMediaTerm* self = this;
  currentTerminal.compare_exchange_strong(self, nullptr);
}

void COrbeMediaTerm::DeleteFilters() {
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
  AudioTransformer* decoder = activeDecoder;
  activeDecoder = nullptr;
  const bool decoderIsGeneric = decoder == genericDecoder.get();
  genericDecoder.reset();
  volumeMaximizer.reset();
  if (!decoderIsGeneric) delete decoder;
  activeEncoder.reset();
}

void COrbeMediaTerm::ReleaseActiveDecoder() {
  if (activeDecoder != nullptr && activeDecoder != genericDecoder.get()) delete activeDecoder;
  activeDecoder = nullptr;
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

size_t COrbeMediaTerm::FilePlayCount() {
  CriticalSectionLock lock(filePlayMutex);
  return filePlays.size();
}

// ---------------------------------------------------------------------------------------------
// Codecs and destination

int32_t COrbeMediaTerm::SetReceiveCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                                        int32_t fourth) {
  CriticalSectionLock lock(terminalMutex);
  frameTimeMs =
      UsableFrameTime(frameTimeMs, "COrbeMediaTerm::SetReceiveCodec: frame time 0, using=");
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
    activeDecoder = genericDecoder.get();
  } else {
    auto* decoder = new G7112PCMTransformer();
    if (codec == kCodecALaw) {
      decoder->SetALaw();
    } else {
      decoder->SetULaw();
    }
    activeDecoder = decoder;
  }
  if (wasReceiving && StartRX(playbackDeviceId, 100) != 0) return -20;
  return 0;
}

int32_t COrbeMediaTerm::SetTransmitCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                                         int32_t vadWanted, uint16_t fifth, int32_t sixth) {
  CriticalSectionLock lock(terminalMutex);
  frameTimeMs =
      UsableFrameTime(frameTimeMs, "COrbeMediaTerm::SetTransmitCodec: frame time 0, using=");
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
  activeEncoder = std::make_unique<PCM2G711Transformer>();
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
}

int32_t COrbeMediaTerm::SetDestination(const char* remoteAddress, int32_t remotePort,
                                       int32_t localPort, int bufferChangeEventFd) {
  CriticalSectionLock lock(terminalMutex);
  rtpTransmitter->SetLocalPort(static_cast<uint16_t>(localPort & 0xFFFF));
  const int32_t result =
      rtpTransmitter->SetDestination(remoteAddress, static_cast<uint16_t>(remotePort));
  rtpReceiver->SetReceivePort(rtpTransmitter->GetRtpSocket());
  // The receiver shares the event: replacing it while the receiver signals it is safe.
  rtpReceiver->SetDepthChangeEvent(
      bufferChangeEventFd >= 0
          ? std::shared_ptr<HostEvent>(HostEvent::FromHostFd(bufferChangeEventFd))
          : nullptr);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Transmit direction

int32_t COrbeMediaTerm::StartTX(int32_t deviceId) {
  CriticalSectionLock lock(terminalMutex);
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
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (1), result=", r);
    return -5;
  }
  r = rtpTransmitter->StartSink();
  if (r < 0) {
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (2), result=", r);
    return -10;
  }
  r = activeEncoder->StartTransform();
  if (r < 0) {
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (3), result=", r);
    rtpTransmitter->StopSink();
    return -20;
  }
  r = transmitMixer->StartTransform();
  if (r < 0) {
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (4), result=", r);
    rtpTransmitter->StopSink();
    activeEncoder->StopTransform();
    return -30;
  }
  if (bVadActive) {
    r = vad->Enable();
    if (r >= 0) r = vad->StartTransform();
    if (r < 0) {
      HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (5), result=", r);
      rtpTransmitter->StopSink();
      activeEncoder->StopTransform();
      transmitMixer->StopTransform();
      return -40;
    }
  }
  if (bMicrophonePreprocess) {
    r = transmitFir->StartTransform();
    if (r < 0) {
      HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (6), result=", r);
      rtpTransmitter->StopSink();
      activeEncoder->StopTransform();
      transmitMixer->StopTransform();
      if (bVadActive) vad->StopTransform();
      return -50;
    }
  }
  r = captureSource->StartSourceThread();
  if (r < 0) {
    HostLogWriter::WithNumber("COrbeMediaTerm::StartTX (7), result=", r);
    rtpTransmitter->StopSink();
    activeEncoder->StopTransform();
    transmitMixer->StopTransform();
    if (bVadActive) vad->StopTransform();
    if (bMicrophonePreprocess) transmitFir->StopTransform();
    return -60;
  }
  bTransmitting = true;
  return 0;
}

int32_t COrbeMediaTerm::StopTX() {
  CriticalSectionLock lock(terminalMutex);
  if (!bTransmitting) {
    bTransmitting = false;
    return 0;
  }
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
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Receive direction

int32_t COrbeMediaTerm::StartRX(int32_t deviceId, uint32_t jitterMs) {
  CriticalSectionLock lock(terminalMutex);
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
  Disconnect(activeDecoder, idleJitterBuffer);
  Disconnect(idleJitterBuffer, reframingBuffer.get());
  Connect(rtpReceiver.get(), activeDecoder);
  Connect(activeDecoder, activeJitterBuffer);
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
      {activeDecoder, -10, true},         {activeJitterBuffer, -20, true},
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
  if (playbackSink->StartSinkThread() < 0) {
    undo();
    return -80;
  }
  if (rtpReceiver->StartSourceThread() < 0) {
    playbackSink->StopSinkThread();
    undo();
    return -90;
  }
  bReceiving = true;
  return 0;
}

int32_t COrbeMediaTerm::StopRX() {
  CriticalSectionLock lock(terminalMutex);
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

  Disconnect(rtpReceiver.get(), activeDecoder);
  Disconnect(activeDecoder, activeJitterBuffer);
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
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Volumes, device tests, buffer ratio

int32_t COrbeMediaTerm::SetSpeakerVolume(int32_t deviceId, uint32_t volumePercent) {
  if (deviceId == playbackSink->GetDeviceID() && bReceiving) {
    playbackSink->SetVolume(volumePercent);
  }
  return 0;
}

int32_t COrbeMediaTerm::SetMicrophoneVolume(int32_t /*deviceId*/, uint32_t volumePercent) {
  captureSource->SetVolume(volumePercent);
  return 0;
}

bool COrbeMediaTerm::TestPlaybackDevice() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (OpenPlaybackOnce()) return true;
    if (attempt == 0) SleepMs(2000);
  }
  return false;
}

bool COrbeMediaTerm::TestCaptureDevice() { return OpenCaptureOnce(); }

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

uint64_t COrbeMediaTerm::ReceivedPacketCount() {
  if (!bLowLatencyReceive.load() || !lowLatencyJitterBuffer) return 0;
  return lowLatencyJitterBuffer->PacketsReceived();
}

double COrbeMediaTerm::GetReceiveBufferRatio() {
  if (!rtpReceiver) return 1.0;
  const int32_t depth = rtpReceiver->depth.load();
  const int32_t minDepth = rtpReceiver->minDepth.load();
  return static_cast<double>(depth - minDepth) / static_cast<double>(30 - minDepth);
}

// ---------------------------------------------------------------------------------------------
// File play

void COrbeMediaTerm::SweepFilePlays() {
  CriticalSectionLock lock(filePlayMutex);
  for (auto it = filePlays.begin(); it != filePlays.end();) {
    if (!it->second->IsRunning()) {
      it = filePlays.erase(it);
    } else {
      ++it;
    }
  }
}

int32_t COrbeMediaTerm::PlayFile(const char* fileName, int32_t playOnce, int32_t volumePercent,
                                 uint32_t* filePlayId) {
  CriticalSectionLock lock(terminalMutex);
  try {
    SweepFilePlays();
    if (!bTransmitting) return 0;
    auto play = std::make_unique<FilePlay>(transmitMixer.get(), transmitFrameTime, true);
    if (fileName == nullptr || play->LoadFile(fileName) != 0) {
      play.reset();
      throw Exception(-10, "Error loading file %s", fileName != nullptr ? fileName : "(null)");
    }
    if (playOnce == 0) play->PlayInLoop();
    play->SetVolume(volumePercent);
    play->SetDestinationFormat(MakeAudioFormat(5));
    CriticalSectionLock playLock(filePlayMutex);
    FilePlay* raw = play.get();
    const uint32_t id = raw->GetID();
    filePlays[id] = std::move(play);
    if (filePlayId != nullptr) *filePlayId = id;
    raw->Start();
    return 0;
  } catch (const Exception& e) {
    return e.GetCode();
  }
}

bool COrbeMediaTerm::StopFile(uint32_t filePlayId) {
  CriticalSectionLock lock(terminalMutex);
  CriticalSectionLock playLock(filePlayMutex);
  auto it = filePlays.find(filePlayId);
  if (it != filePlays.end() && it->second->IsTX()) it->second->StopImmediately();
  return false;
}

}  // namespace tarsio
