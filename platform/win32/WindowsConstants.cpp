// Compile-time proof that the engine's own names for Windows values carry Windows' numbers.
//
// The engine names the results, flags and messages of the multimedia, mixer, WinSock, mmio, ACM
// and registry functions in its own namespaces (platform/WaveAudioTypes.h,
// platform/WinsockErrors.h, platform/MmioFile.h, platform/AcmStream.h, framework/AudioFormat.h,
// framework/Registry.h), so that its headers compile beside <windows.h>. Host logs and traces
// print these numbers, and the Windows backends pass them straight to and from the system, so
// each must equal the system's own value. This file is built into the platform library of every
// Windows build; a wrong number stops the build.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
// clang-format on

#include "framework/AudioFormat.h"
#include "framework/Registry.h"
#include "platform/AcmStream.h"
#include "platform/MmioFile.h"
#include "platform/WaveAudioTypes.h"
#include "platform/WinsockErrors.h"

namespace tarsio {
namespace {

static_assert(wave::kMapper == static_cast<int32_t>(WAVE_MAPPER));

static_assert(mmsys::kNoError == MMSYSERR_NOERROR);
static_assert(mmsys::kError == MMSYSERR_ERROR);
static_assert(mmsys::kBadDeviceId == MMSYSERR_BADDEVICEID);
static_assert(mmsys::kNotEnabled == MMSYSERR_NOTENABLED);
static_assert(mmsys::kAllocated == MMSYSERR_ALLOCATED);
static_assert(mmsys::kInvalidHandle == MMSYSERR_INVALHANDLE);
static_assert(mmsys::kNoDriver == MMSYSERR_NODRIVER);
static_assert(mmsys::kNoMemory == MMSYSERR_NOMEM);
static_assert(mmsys::kNotSupported == MMSYSERR_NOTSUPPORTED);
static_assert(mmsys::kInvalidFlag == MMSYSERR_INVALFLAG);
static_assert(mmsys::kInvalidParam == MMSYSERR_INVALPARAM);
static_assert(mmsys::kWaveBadFormat == WAVERR_BADFORMAT);
static_assert(mmsys::kWaveStillPlaying == WAVERR_STILLPLAYING);
static_assert(mmsys::kWaveUnprepared == WAVERR_UNPREPARED);
static_assert(mmsys::kMixerInvalidLine == MIXERR_INVALLINE);
static_assert(mmsys::kMixerInvalidControl == MIXERR_INVALCONTROL);

static_assert(wave::kHdrDone == WHDR_DONE);
static_assert(wave::kHdrPrepared == WHDR_PREPARED);
static_assert(wave::kHdrInQueue == WHDR_INQUEUE);
static_assert(wave::kOutOpen == WOM_OPEN);
static_assert(wave::kOutClose == WOM_CLOSE);
static_assert(wave::kOutDone == WOM_DONE);
static_assert(wave::kInOpen == WIM_OPEN);
static_assert(wave::kInClose == WIM_CLOSE);
static_assert(wave::kInData == WIM_DATA);
#ifndef _WIN64
// The size hosts and the engine pass to waveInPrepareHeader and friends on 32-bit Windows.
static_assert(kWaveHdrSize == sizeof(::WAVEHDR));
#endif

static_assert(mixer::kDstWaveIn == MIXERLINE_COMPONENTTYPE_DST_WAVEIN);
static_assert(mixer::kSrcUndefined == MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED);
static_assert(mixer::kSrcMicrophone == MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE);
static_assert(mixer::kSrcLine == MIXERLINE_COMPONENTTYPE_SRC_LINE);
static_assert(mixer::kControlVolume == MIXERCONTROL_CONTROLTYPE_VOLUME);
static_assert(mixer::kControlMute == MIXERCONTROL_CONTROLTYPE_MUTE);

static_assert(kWaveFormatPcm == WAVE_FORMAT_PCM);
static_assert(kWaveFormatALaw == WAVE_FORMAT_ALAW);
static_assert(kWaveFormatMuLaw == WAVE_FORMAT_MULAW);

// HKEY_CURRENT_USER is a pointer cast, not a constant expression: the registry backend converts
// RegistryRoot::kCurrentUser (0x80000001) where it calls the system.

static_assert(kFourCCRiff == FOURCC_RIFF);
static_assert(kFourCCList == FOURCC_LIST);
static_assert(MmioFile::kFindChunk == MMIO_FINDCHUNK);
static_assert(MmioFile::kFindRiff == MMIO_FINDRIFF);
static_assert(MmioFile::kFindList == MMIO_FINDLIST);
static_assert(MmioFile::kErrInvalidParam == MMSYSERR_INVALPARAM);
static_assert(MmioFile::kErrCannotSeek == MMIOERR_CANNOTSEEK);
static_assert(MmioFile::kErrChunkNotFound == MMIOERR_CHUNKNOTFOUND);
static_assert(MmioFile::kBufferSize == MMIO_DEFAULTBUFFER);

static_assert(AcmStream::kTagPcm == WAVE_FORMAT_PCM);
static_assert(AcmStream::kTagImaAdpcm == WAVE_FORMAT_IMA_ADPCM);
static_assert(AcmStream::kTagFloat == WAVE_FORMAT_IEEE_FLOAT);
static_assert(AcmStream::kTagAlaw == WAVE_FORMAT_ALAW);
static_assert(AcmStream::kTagMulaw == WAVE_FORMAT_MULAW);
static_assert(AcmStream::kOpenNonRealtime == ACM_STREAMOPENF_NONREALTIME);
static_assert(AcmStream::kConvertBlockAlign == ACM_STREAMCONVERTF_BLOCKALIGN);
static_assert(AcmStream::kConvertEnd == ACM_STREAMCONVERTF_END);
static_assert(AcmStream::kStatusPrepared == ACMSTREAMHEADER_STATUSF_PREPARED);
static_assert(AcmStream::kErrInvalidHandle == MMSYSERR_INVALHANDLE);
static_assert(AcmStream::kErrInvalidParam == MMSYSERR_INVALPARAM);
static_assert(AcmStream::kErrNotPossible == ACMERR_NOTPOSSIBLE);
static_assert(AcmStream::kErrBusy == ACMERR_BUSY);
static_assert(AcmStream::kErrUnprepared == ACMERR_UNPREPARED);

static_assert(wsa::kInterrupted == WSAEINTR);
static_assert(wsa::kBadFile == WSAEBADF);
static_assert(wsa::kAccess == WSAEACCES);
static_assert(wsa::kFault == WSAEFAULT);
static_assert(wsa::kInvalid == WSAEINVAL);
static_assert(wsa::kTooManyFiles == WSAEMFILE);
static_assert(wsa::kWouldBlock == WSAEWOULDBLOCK);
static_assert(wsa::kInProgress == WSAEINPROGRESS);
static_assert(wsa::kAlready == WSAEALREADY);
static_assert(wsa::kNotSocket == WSAENOTSOCK);
static_assert(wsa::kDestAddrRequired == WSAEDESTADDRREQ);
static_assert(wsa::kMsgSize == WSAEMSGSIZE);
static_assert(wsa::kProtoType == WSAEPROTOTYPE);
static_assert(wsa::kNoProtoOpt == WSAENOPROTOOPT);
static_assert(wsa::kProtoNoSupport == WSAEPROTONOSUPPORT);
static_assert(wsa::kSocketNoSupport == WSAESOCKTNOSUPPORT);
static_assert(wsa::kOpNotSupported == WSAEOPNOTSUPP);
static_assert(wsa::kPfNoSupport == WSAEPFNOSUPPORT);
static_assert(wsa::kAfNoSupport == WSAEAFNOSUPPORT);
static_assert(wsa::kAddrInUse == WSAEADDRINUSE);
static_assert(wsa::kAddrNotAvail == WSAEADDRNOTAVAIL);
static_assert(wsa::kNetDown == WSAENETDOWN);
static_assert(wsa::kNetUnreachable == WSAENETUNREACH);
static_assert(wsa::kNetReset == WSAENETRESET);
static_assert(wsa::kConnAborted == WSAECONNABORTED);
static_assert(wsa::kConnReset == WSAECONNRESET);
static_assert(wsa::kNoBuffers == WSAENOBUFS);
static_assert(wsa::kIsConnected == WSAEISCONN);
static_assert(wsa::kNotConnected == WSAENOTCONN);
static_assert(wsa::kShutdown == WSAESHUTDOWN);
static_assert(wsa::kTimedOut == WSAETIMEDOUT);
static_assert(wsa::kConnRefused == WSAECONNREFUSED);
static_assert(wsa::kHostDown == WSAEHOSTDOWN);
static_assert(wsa::kHostUnreachable == WSAEHOSTUNREACH);

}  // namespace
}  // namespace tarsio
