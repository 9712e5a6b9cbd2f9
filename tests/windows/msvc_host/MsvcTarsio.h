// Tarsio's interface as a soft-phone built with Microsoft's compiler declares it: the virtual
// destructor first (one slot, the scalar deleting destructor), then the fourteen operations, and
// the host log the engine writes through. Written from the DLL's documentation, not from the
// engine's own headers, so that a layout mismatch between the two compilers shows up as a wrong
// slot.
#pragma once

typedef void* HANDLE;

class IHostLog {
 public:
  virtual int Lock() = 0;
  virtual int Unlock() = 0;
  virtual int MarkEntry() = 0;
  virtual int EndLine() = 0;
  virtual int Write(const char* text) = 0;
};

class IRTPInterface {
 public:
  virtual ~IRTPInterface() {}
  virtual int SetReceiveCodec(int codec, unsigned frameTimeMs, int third, int fourth) = 0;
  virtual int SetTransmitCodec(int codec, unsigned frameTimeMs, int third, int vadWanted,
                               unsigned short fifth, int sixth) = 0;
  virtual int SetDestination(const char* remoteAddress, int remotePort, int localPort,
                             HANDLE bufferChangeEvent) = 0;
  virtual int PlayFile(const char* fileName, int playOnce, int volumePercent,
                       unsigned* filePlayId) = 0;
  virtual bool StopFile(unsigned filePlayId) = 0;
  virtual int StartTX(int captureDeviceId) = 0;
  virtual int StopTX() = 0;
  virtual int StartRX(int playbackDeviceId, unsigned jitterMs) = 0;
  virtual int StopRX() = 0;
  virtual int SetSpeakerVolume(int playbackDeviceId, unsigned volumePercent) = 0;
  virtual int SetMicrophoneVolume(int captureDeviceId, unsigned volumePercent) = 0;
  virtual bool TestPlaybackDevice() = 0;
  virtual bool TestCaptureDevice() = 0;
  virtual double GetReceiveBufferRatio() = 0;
};

// No import annotation is needed: the import library's thunk reaches the DLL.
extern "C" IRTPInterface* GetRTPInterface(IHostLog* log);
