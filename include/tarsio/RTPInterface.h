// The media terminal: the one object through which a host drives the media of a call.
//
// Create it with GetRTPInterface (tarsio/Tarsio.h), destroy it with delete (a host built with
// MinGW's GCC for Windows calls tarsio::DestroyTerminal instead, see below). One call, in order:
//
//   tarsio::RTPInterface* term = GetRTPInterface(&myHostLog);   // or nullptr: no log at all
//   term->SetDestination("192.0.2.7", 40000, 40000, bufferEventFd); // socket for both directions
//   term->SetTransmitCodec(4, 20, 0, 0, 0, 0);   // 4 = G.711 µ-law, 2 = A-law; 20 ms frames
//   term->SetReceiveCodec(0, 20, 0, 0);          // 0 = any G.711 law, chosen per packet
//   term->SetMicrophoneVolume(-1, 100);          // the microphone starts MUTED (volume 0):
//                                                // set a volume before the call or the far end
//                                                // hears silence
//   term->StartRX(-1, 60);                       // default playback device, 60 ms jitter
//   term->StartTX(-1);                           // default capture device
//   ... PlayFile / StopFile / SetSpeakerVolume / GetReceiveBufferRatio ...
//   term->StopTX(); term->StopRX();
//   delete term;                                 // writes the statistics report to the log
//
// Results: 0 is success, negative values name the step that failed (see each operation).
//
// The buffer-change event (tarsio::EventHandle): on Windows a Win32 event HANDLE (or null for
// none), which the engine sets with SetEvent every time the receive buffer's depth changes; on
// Linux an eventfd (or -1 for none), to which the engine adds 1 on each change, so that the host
// can poll it with its own file descriptors and then ask GetReceiveBufferRatio:
//
//   int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);          // <sys/eventfd.h>
//   term->SetDestination(addr, rport, lport, fd);
//   struct pollfd p = {fd, POLLIN, 0};
//   if (poll(&p, 1, 1000) > 0) { uint64_t n; read(fd, &n, sizeof n);   // resets it
//                                double ratio = term->GetReceiveBufferRatio(); }
//   ...  delete term;  close(fd);                             // close only after the terminal
//
// Sound devices: device id -1 is the default device of the audio backend chosen with the
// environment variable TARSIO_AUDIO (see docs/audio-devices.md).
//
// Thread safety: every operation may be called from any host thread. SetReceiveCodec through
// StopRX are serialised by the terminal's lock; the volume operations, the device tests and
// GetReceiveBufferRatio run without it. Destroy the terminal from one thread once no other thread
// calls it. Several terminals may live in one process and be destroyed in any order; they share
// the process's host log, settings and traffic totals (see GetRTPInterface).
//
// Faults: no operation waits for a sound device or a thread without limit. A device that stops
// answering costs a stop a few seconds; the stuck device thread is left to itself and frees what it
// uses if the device ever answers. Destroying the terminal returns within a bound too (see
// docs/terminal.md), and joins the engine threads that ended, so the library may be unloaded after
// the last terminal is gone.
//
// Binary layout: the class is an interface of virtual functions only, laid out the same by
// Microsoft's compiler and by GCC, so that a host built with either can call a library built with
// the other. On 32-bit Windows every member uses __thiscall (GCC's default there); no operation is
// overloaded, returns a structure or takes a long double. The one difference between the two
// compilers is the destructor: Microsoft's compiler gives a virtual destructor one slot (the
// "scalar deleting destructor", which destroys, frees when bit 0 of its argument is set and
// returns the object) where GCC gives two. GCC builds for Windows therefore declare that slot
// explicitly (ScalarDeletingDestructor) and make the real destructor protected; elsewhere the
// destructor is an ordinary virtual one. tarsio::DestroyTerminal deletes a terminal in every
// build. No operation lets an exception out.
#pragma once

#include <cstdint>

// TARSIO_GCC_WINDOWS_ABI: a GCC (MinGW) build for Windows, which must spell out the
// Microsoft-compatible destructor slot.
#if defined(_WIN32) && !defined(_MSC_VER)
#define TARSIO_GCC_WINDOWS_ABI 1
#else
#define TARSIO_GCC_WINDOWS_ABI 0
#endif

namespace tarsio {

/// The host's buffer-change event: a Win32 event HANDLE (null: none) on Windows, an eventfd
/// (-1: none) elsewhere.
#if defined(_WIN32)
typedef void* EventHandle;
#else
typedef int EventHandle;
#endif

class RTPInterface {
 public:
#if TARSIO_GCC_WINDOWS_ABI
  /// Slot 0, as Microsoft's compiler lays out a virtual destructor: destroys the terminal (as the
  /// destructor below describes), frees it when bit 0 of flags is set, and returns this.
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
#else
  /// Stops file plays and both directions, frees everything, writes the statistics report.
  virtual ~RTPInterface() = default;
#endif

  /// Codec of the receive direction: 0 (any G.711 law, per packet), 2 (A-law), 4 (µ-law).
  /// 0, -10 (stop failed), -20 (restart failed), -30 (unsupported codec).
  virtual int32_t SetReceiveCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                                  int32_t fourth) = 0;
  /// Codec of the transmit direction: 2 (A-law) or 4 (µ-law); vadWanted != 0 asks for silence
  /// suppression (effective only when the setting "ForceVADOff" reads true).
  /// 0, -10, -20, -30 as SetReceiveCodec.
  virtual int32_t SetTransmitCodec(int32_t codec, uint32_t frameTimeMs, int32_t third,
                                   int32_t vadWanted, uint16_t fifth, int32_t sixth) = 0;
  /// The RTP endpoint: remote address and port, local port (0 = any), buffer-change event (see
  /// EventHandle; -1 or null for none).
  virtual int32_t SetDestination(const char* remoteAddress, int32_t remotePort, int32_t localPort,
                                 EventHandle bufferChangeEvent) = 0;
  /// Plays a WAV file into the running transmit direction; playOnce == 0 loops until StopFile.
  /// 0 (also when nothing is transmitted: then *filePlayId is not written) or -10 (file unusable).
  virtual int32_t PlayFile(const char* fileName, int32_t playOnce, int32_t volumePercent,
                           uint32_t* filePlayId) = 0;
  /// Stops a file play. Always false.
  virtual bool StopFile(uint32_t filePlayId) = 0;
  /// 0, or -5/-10/.../-60 naming the failed start step (also written to the host log).
  virtual int32_t StartTX(int32_t captureDeviceId) = 0;
  virtual int32_t StopTX() = 0;
  /// 0, or -10/-20/.../-90 naming the failed start step.
  virtual int32_t StartRX(int32_t playbackDeviceId, uint32_t jitterMs) = 0;
  virtual int32_t StopRX() = 0;
  /// Volume in percent (capped at 100) of the running playback device with that id.
  virtual int32_t SetSpeakerVolume(int32_t playbackDeviceId, uint32_t volumePercent) = 0;
  /// Microphone volume in percent; kept for the next start when no capture runs.
  virtual int32_t SetMicrophoneVolume(int32_t captureDeviceId, uint32_t volumePercent) = 0;
  /// Whether the default playback device can be opened (one retry after 2 s).
  virtual bool TestPlaybackDevice() = 0;
  /// Whether the default capture device can be opened.
  virtual bool TestCaptureDevice() = 0;
  /// Fill level of the receive buffer relative to its target, (depth - min) / (30 - min).
  virtual double GetReceiveBufferRatio() = 0;

#if TARSIO_GCC_WINDOWS_ABI
 protected:
  /// Reached through ScalarDeletingDestructor (or DestroyTerminal), never through delete.
  ~RTPInterface() = default;
#endif
};

/// Destroys a terminal made by GetRTPInterface (null is ignored): delete, or slot 0 with "free"
/// in GCC builds for Windows.
inline void DestroyTerminal(RTPInterface* terminal) {
#if TARSIO_GCC_WINDOWS_ABI
  if (terminal != nullptr) terminal->ScalarDeletingDestructor(1);
#else
  delete terminal;
#endif
}

}  // namespace tarsio
