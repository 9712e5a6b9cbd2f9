// The media terminal: owns every filter of the call's audio graph, builds and runs the transmit
// and receive chains, plays WAV files into the call and writes the statistics report when it is
// destroyed.
//
// Transmit: WaveAudioSource -> [FIR] -> [VAD] -> PCMMixer -> PCM2G711Transformer -> RTPAudioSink.
// Receive:  RTPAudioSource -> decoder -> RTPJitterBuffer -> FixedSizeAudioBuffer ->
//           PCMVolumeMaximizer -> PCMMixer -> [FIR] -> [Limiter] -> WaveAudioSink.
// Bracketed elements depend on settings read when the direction starts. With the setting
// "LowLatencyReceive" true (or a host override, SetReceiveModeOverride), the receive chain runs
// in its low-latency mode: the receiver delivers each datagram as it is read, a
// LowLatencyJitterBuffer takes the place of the RTPJitterBuffer, and the playback sink keeps two
// buffers of one frame, pulls only when one is free and asks the sound card for two periods of a
// frame. The mode is fixed for a run of the receive direction, from StartRX to StopRX.
//
// Construction makes every filter, the decoder and encoder included (G.711 u-law), so both
// directions start without a codec call; the codec operations replace those two. A frame time
// of 0 ms is taken as the default 20 ms (see docs/terminal.md).
//
// Threading: host threads call the operations. SetReceiveCodec through StopRX hold terminalMutex
// for their whole run (re-entrant: codec changes call StopRX/StartRX, the destructor calls both).
// PlayFile and StopFile take filePlayMutex inside terminalMutex; the destructor takes
// filePlayMutex before terminalMutex for its first step only, never nested the other way. The
// volume operations, the device tests, the receive report and GetReceiveBufferRatio take no
// terminal lock (the filters they reach live as long as the terminal). The filters' own threads
// never take a terminal lock.
//
// Lock order and the host log: terminalMutex, then filePlayMutex, then the filters' own locks.
// The host's log lock is never taken while a terminal lock is held: host-log lines of an
// operation (and the statistics report of the destructor) are collected under terminalMutex and
// written once the outermost operation released it, so a host that holds its log lock around its
// calls into the terminal cannot deadlock with another host thread inside an operation. The
// filter base classes write to the host log only outside the filter locks that host threads take
// (framework/AudioSource.h, framework/AudioSink.h). A media thread that logs waits for the host's
// lock, so a stop made while the host holds it may wait out its bound for that thread.
//
// Lifetime: the terminal owns its filters through std::shared_ptr. Each start of a direction
// makes a chain holder (references to every filter the direction's threads reach and one on the
// sample pool) and hands it to those threads as their keep-alive token; a file play's thread gets
// one holding the play, the transmit filters its pushes reach and a pool reference. A thread drops
// its token as its very last act, so a stop that gave up on a stuck thread (the device did not
// return) leaks the chain at worst and never frees memory a thread still uses; the filters are then
// destroyed on that thread when it ends. Such a chain is counted in AbandonedChainCount() from the
// moment the terminal lets go of it until its last thread ends. The sample pool is counted per
// terminal and the end-of-file registry keys its notifications by terminal (each play knows its
// terminal), so terminals may be created and destroyed in any order.
//
// Stop bounds (no stop waits for a thread without limit):
// - StopTX: the capture source's StopSourceThread (WaveAudioSource's bound, see its header);
//   transform stops and unlinking do not wait.
// - StopRX: the receiver's StopSourceThread twice (it wakes its thread at once, then waits at most
//   AudioSource::kStopWaitMs) and the playback sink's StopSinkThread (WaveAudioSink's bound).
// - StopFile: FilePlay::StopImmediately, at most AudioSource::kStopWaitMs for the file source's
//   thread plus FilePlay::kStopWaitMs for a stop that thread began itself.
// SetThreadStopWaitMs replaces AudioSource::kStopWaitMs, AudioSink::kSinkStopWaitMs and
// FilePlay::kStopWaitMs above (tests shorten them); the device filters' own waits stay.
// - The destructor: StopFile's bound for each running file play, StopRX, StopTX,
//   EndOfFileRegistry::Close (waits for this terminal's notification in flight), at most
//   HostLogWriter::kSwitchWaitMs for the media threads' queued log entries, and at most
//   kReapWaitMs for the engine threads let go so far to end (Thread::ReapFinished: they are joined,
//   so none runs on once the host unloads the library; one that does not end in time is traced).
//   The last terminal also stops the settings writer (RegistryStore::StopWriter), so the settings
//   are on disk when the host goes on to exit.
// A stop that gives up returns what it returned before (0 unless a stop hook failed) and the
// direction counts as stopped; its next start fails (StartTX -60, StartRX -80 or -90) until the
// stuck thread has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"
#include "rtp/RtcpChannel.h"
#include "tarsio/RTPInterface.h"
#include "tarsio/RTPInterfaceEx.h"

namespace tarsio {

class WaveAudioSource;
class WaveAudioSink;
class RTPAudioSink;
class RTPAudioSource;
class FIRTransformer;
class Limiter;
class VAD;
class RTPJitterBuffer;
class FixedSizeAudioBuffer;
class GenericRTP2PCMDecoder;
class PCMMixer;
class PCMVolumeMaximizer;
class AudioTransformer;
class PCM2G711Transformer;
class FilePlay;
class HostEvent;
class LowLatencyJitterBuffer;
class AudioSink;
class MediaExtensions;
class RtcpSession;
class HostEvent;

/// Settings key of the terminal.
inline constexpr const char* kTerminalKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

class COrbeMediaTerm final : public RTPInterface, public RTPInterfaceEx {
 public:
  COrbeMediaTerm();
#if TARSIO_GCC_WINDOWS_ABI
  void* ScalarDeletingDestructor(unsigned int flags) override;
#endif
  ~COrbeMediaTerm();

  int32_t SetReceiveCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                          int32_t fourth) override;
  int32_t SetTransmitCodec(int32_t codec, uint32_t frameTimeMs, int32_t third, int32_t vadWanted,
                           uint16_t fifth, int32_t sixth) override;
  int32_t SetDestination(const char* remoteAddress, int32_t remotePort, int32_t localPort,
                         EventHandle bufferChangeEvent) override;
  int32_t PlayFile(const char* fileName, int32_t playOnce, int32_t volumePercent,
                   uint32_t* filePlayId) override;
  bool StopFile(uint32_t filePlayId) override;
  int32_t StartTX(int32_t captureDeviceId) override;
  int32_t StopTX() override;
  int32_t StartRX(int32_t playbackDeviceId, uint32_t jitterMs) override;
  int32_t StopRX() override;
  int32_t SetSpeakerVolume(int32_t playbackDeviceId, uint32_t volumePercent) override;
  int32_t SetMicrophoneVolume(int32_t captureDeviceId, uint32_t volumePercent) override;
  bool TestPlaybackDevice() override;
  bool TestCaptureDevice() override;
  double GetReceiveBufferRatio() override;

  // The extension interface (tarsio/RTPInterfaceEx.h). Each operation makes the call's
  // MediaExtensions on first use; until then the chains run without one.
  int32_t SetRtcp(int32_t mode, const char* cname) override;
  int32_t GetRtcpReport(RtcpReport* report) override;
  int32_t SetRtpTimeout(uint32_t timeoutMs, EventHandle timeoutEvent) override;
  int32_t SetTelephoneEventPayloadType(int32_t payloadType) override;
  int32_t SendDigits(const char* digits, uint32_t durationMs) override;
  int32_t SetTelephoneEventSignal(EventHandle event) override;
  int32_t GetTelephoneEvent(char* digit, uint32_t* durationMs) override;
  int32_t SetSrtp(const char* suite, const char* localKey, const char* remoteKey) override;
  int32_t SetSymmetricRtp(int32_t enable) override;
  int32_t SetDestinationEx(const char* remoteHost, int32_t remotePort, const char* localAddress,
                           int32_t localPort, EventHandle bufferChangeEvent) override;

  /// End-of-file hooks of file plays. They do nothing but count; a host-facing report of file
  /// ends belongs here.
  void FireEndOfFileTX(uint32_t filePlayId);
  void FireEndOfFileRX(uint32_t filePlayId);

  /// Receive modes a host may force (otherwise the setting "LowLatencyReceive" decides, at each
  /// StartRX). The setting is read and written back when missing either way.
  /// How long the destructor waits for the engine threads let go so far to end.
  static constexpr uint32_t kReapWaitMs = 2000;
  static constexpr int32_t kReceiveModeFromSettings = -1;
  static constexpr int32_t kReceiveModeClassic = 0;
  static constexpr int32_t kReceiveModeLowLatency = 1;
  void SetReceiveModeOverride(int32_t mode) { receiveModeOverride.store(mode); }
  /// The mode of the receive direction's current (or last) run.
  bool IsLowLatencyReceive() const { return bLowLatencyReceive.load(); }

  /// Receive-side counters and the delay each stage adds (median and 95th percentile in ms,
  /// -1 when not measured): network arrival jitter and jitter buffer (low-latency mode only),
  /// playback queue and device (both modes). Counters are 0 in the classic mode.
  struct StageDelay {
    int32_t medianMs = -1;
    int32_t p95Ms = -1;
  };
  struct ReceiveReport {
    bool lowLatency = false;
    uint64_t packetsReceived = 0;
    uint64_t latePackets = 0;
    uint64_t framesPlayed = 0;
    uint64_t framesConcealed = 0;
    uint64_t framesSilence = 0;
    uint64_t acceleratedMs = 0;
    uint64_t expandedMs = 0;
    uint64_t reanchors = 0;
    int32_t targetMs = -1;
    int32_t delayMs = -1;
    StageDelay network;
    StageDelay jitterBuffer;
    StageDelay playbackQueue;
    StageDelay device;
  };
  ReceiveReport GetReceiveReport();
  /// Packets the low-latency jitter buffer took in during this run (0 in the classic mode).
  uint64_t ReceivedPacketCount();
  /// Received packets SRTP refused (authentication or replay); 0 without the extension.
  uint64_t SrtpRefusedCount();

  /// The most recently created live terminal, or null.
  static COrbeMediaTerm* Current();
  /// Live terminals in this process.
  static int32_t LiveCount();
  /// Chains of filters (a direction's chain or a file play) that a terminal let go of while one
  /// of their threads still ran (a stop that gave up); each is counted until its last thread
  /// ends and destroys it.
  static int32_t AbandonedChainCount();

  /// The bound of the waits for filter threads that the terminal's stops make through the
  /// filter base classes (capture source, receiver, playback sink, file plays made from now on);
  /// the device filters add bounded waits of their own. Tests shorten it; 0 keeps the defaults.
  void SetThreadStopWaitMs(uint32_t ms);

  // Observers for tests and tools.
  bool IsTransmitting() const { return bTransmitting.load(); }
  bool IsReceiving() const { return bReceiving.load(); }
  size_t FilePlayCount();
  uint32_t EndOfFileCount() const { return endOfFileCount.load(); }

 private:
  struct Chain;
  struct LogLine {
    std::string label;
    int64_t number;
    bool plain;  // a plain entry: the label alone
  };
  /// terminalMutex for an operation; when the outermost one ends, writes the host-log lines the
  /// operation collected after releasing the lock.
  class OperationLock;

  /// Collects a host-log line (HostLogWriter::WithNumber) for after terminalMutex; under it.
  void LogLater(const char* label, int64_t number) TARSIO_REQUIRES(terminalMutex);
  /// The same for a plain entry (HostLogWriter::Plain).
  void LogPlainLater(std::string text) TARSIO_REQUIRES(terminalMutex);
  /// Drops the terminal's reference to a chain holder, counting it as abandoned when a thread
  /// still holds it.
  static void ReleaseChain(std::shared_ptr<Chain>& chain);
  std::shared_ptr<Chain> MakeTransmitChain();
  std::shared_ptr<Chain> MakeReceiveChain();
  /// Removes every link the terminal can make between its filters.
  void UnlinkAll();
  void DeleteFilters();
  void ReleaseActiveDecoder();
  void SweepFilePlays();
  void LoadTransmitFir(uint32_t txFirFilter);
  void LoadReceiveFir(uint32_t rxFirFilter);
  AudioTransformer* ActiveJitterBuffer();

  CriticalSection terminalMutex TARSIO_ACQUIRED_BEFORE(filePlayMutex);
  CriticalSection filePlayMutex;
  bool bInitialised = false;
  int32_t operationDepth TARSIO_GUARDED_BY(terminalMutex) = 0;
  std::vector<LogLine> pendingLog TARSIO_GUARDED_BY(terminalMutex);

  // Set by the constructor and kept until the destructor (the operations without a terminal lock
  // read them); only the decoder and the encoder are replaced, under terminalMutex.
  std::shared_ptr<WaveAudioSource> captureSource;
  std::shared_ptr<WaveAudioSink> playbackSink;
  std::shared_ptr<RTPAudioSink> rtpTransmitter;
  std::shared_ptr<RTPAudioSource> rtpReceiver;
  /// The call's protocol features, made by the first extension operation (under the operation
  /// lock) and handed to both RTP filters; null for a host that never uses the extension.
  std::shared_ptr<MediaExtensions> mediaExtensions TARSIO_GUARDED_BY(terminalMutex);
  MediaExtensions& Extensions() TARSIO_REQUIRES(terminalMutex);
  // RTCP (SetRtcp, SetRtpTimeout): the wish, and the session and channel of the running call.
  // All under the operation lock; the channel runs while either direction does.
  int32_t rtcpMode TARSIO_GUARDED_BY(terminalMutex) = kRtcpOff;
  std::string rtcpCname TARSIO_GUARDED_BY(terminalMutex);
  uint32_t rtcpSsrc TARSIO_GUARDED_BY(terminalMutex) = 0;
  uint32_t rtpTimeoutMs TARSIO_GUARDED_BY(terminalMutex) = 0;
  std::shared_ptr<HostEvent> rtpTimeoutSignal TARSIO_GUARDED_BY(terminalMutex);
  // Shared with the channel's timeout handler, which sets it from the channel's thread.
  std::shared_ptr<std::atomic<bool>> rtpTimedOutFlag = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<RtcpSession> rtcpSession TARSIO_GUARDED_BY(terminalMutex);
  std::shared_ptr<RtcpChannel> rtcpChannel TARSIO_GUARDED_BY(terminalMutex);
  RtcpChannel::TimeoutHandler TimeoutHandler() TARSIO_REQUIRES(terminalMutex);
  void StartRtcpIfWanted() TARSIO_REQUIRES(terminalMutex);
  void StopRtcpIfIdle() TARSIO_REQUIRES(terminalMutex);
  void StopRtcp(bool sendBye) TARSIO_REQUIRES(terminalMutex);
  std::shared_ptr<FIRTransformer> receiveFir;
  std::shared_ptr<FIRTransformer> transmitFir;
  std::shared_ptr<Limiter> limiter;
  std::shared_ptr<VAD> vad;
  std::shared_ptr<RTPJitterBuffer> jitterBuffer;
  std::shared_ptr<LowLatencyJitterBuffer> lowLatencyJitterBuffer;
  std::shared_ptr<FixedSizeAudioBuffer> reframingBuffer;
  std::shared_ptr<GenericRTP2PCMDecoder> genericDecoder;
  std::shared_ptr<PCMMixer> receiveMixer;
  std::shared_ptr<PCMMixer> transmitMixer;
  std::shared_ptr<PCMVolumeMaximizer> volumeMaximizer;
  std::shared_ptr<AudioTransformer> activeDecoder;  // may be genericDecoder
  std::shared_ptr<PCM2G711Transformer> activeEncoder;

  // The holders handed to the running directions' threads; under terminalMutex.
  std::shared_ptr<Chain> transmitChain;
  std::shared_ptr<Chain> receiveChain;

  std::map<uint32_t, std::shared_ptr<FilePlay>> filePlays TARSIO_GUARDED_BY(filePlayMutex);
  std::map<uint32_t, std::shared_ptr<Chain>> filePlayChains TARSIO_GUARDED_BY(filePlayMutex);

  std::atomic<bool> bVadActive{false};
  bool bMicrophonePreprocess = false;
  bool bSpeakerPostprocess = false;
  bool bLimitVolume = false;
  std::atomic<bool> bReceiving{false};
  std::atomic<bool> bTransmitting{false};
  std::atomic<bool> bLowLatencyReceive{false};  // written by StartRX under terminalMutex
  std::atomic<int32_t> receiveModeOverride{kReceiveModeFromSettings};
  uint32_t receiveFrameTime = 20;
  uint32_t transmitFrameTime = 20;
  int32_t captureDeviceId = -1;
  int32_t playbackDeviceId = -1;

  int32_t rxCodec = -1;
  uint32_t rxFrameTime = static_cast<uint32_t>(-1);
  int32_t rxThird = -1;
  int32_t rxFourth = -1;
  int32_t txCodec = -1;
  uint32_t txFrameTime = static_cast<uint32_t>(-1);
  int32_t txThird = -1;
  int32_t txVadActive = -1;
  uint16_t txFifth = 0;
  int32_t txSixth = -1;

  std::atomic<uint32_t> endOfFileCount{0};
  std::atomic<uint32_t> threadStopWaitMs{0};  // 0: the filters' defaults
};

}  // namespace tarsio
