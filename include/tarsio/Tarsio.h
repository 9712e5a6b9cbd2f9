// Tarsio: the media engine of a voice-over-IP soft-phone. The entry points of libtarsio.so on
// Linux and of Tarsio.dll on Windows.
//
// A host includes this header (and tarsio/RTPInterface.h, tarsio/HostLog.h, which it pulls in)
// and links with -ltarsio (pkg-config --cflags --libs tarsio, or find_package(Tarsio) and
// Tarsio::tarsio in CMake); on Windows with the import library Tarsio.lib (Microsoft's linker) or
// libTarsio.dll.a (MinGW), or it loads Tarsio.dll with LoadLibrary and GetProcAddress.
#pragma once

#include "tarsio/HostLog.h"
#include "tarsio/RTPInterface.h"
#include "tarsio/RTPInterfaceEx.h"

// The entry points are exported from the library. On Linux the library is built with hidden
// visibility and TARSIO_EXPORT makes these names visible. On Windows the module-definition file
// (terminal/Tarsio.def, terminal/Tarsio64.def) is the one list of exports: it gives the class's
// members the names Microsoft's compiler decorates them with, so a dllexport attribute here would
// only add GCC's names beside them. A Windows host calls the entry points through the import
// library's thunks, so it needs no import annotation either.
#if defined(TARSIO_BUILDING_LIBRARY) && !defined(_WIN32)
#define TARSIO_EXPORT __attribute__((visibility("default")))
#else
#define TARSIO_EXPORT
#endif

extern "C" {
/// Creates the media terminal. hostLog receives the engine's error lines and the statistics
/// report (null: nothing is logged); it replaces the log of any terminal alive in the process.
/// Zeroes the traffic totals. Returns null if the terminal cannot be created. Destroy the result
/// with delete. Several terminals may be alive at once; the host log and the traffic totals are
/// the process's, shared by all of them.
TARSIO_EXPORT tarsio::RTPInterface* GetRTPInterface(tarsio::HostLog* hostLog);

/// The extension interface of a terminal made by GetRTPInterface (the same object: it lives and
/// dies with the terminal), or null for null. See tarsio/RTPInterfaceEx.h.
TARSIO_EXPORT tarsio::RTPInterfaceEx* GetRTPInterfaceEx(tarsio::RTPInterface* terminal);

/// The library's version text, "major.minor.patch".
TARSIO_EXPORT const char* TarsioVersion();
}

/// An empty class the library exports for compatibility with hosts that look for it; it has no
/// use.
class TARSIO_EXPORT SI_puedes_leer_esto_es {
 public:
  SI_puedes_leer_esto_es& operator=(const SI_puedes_leer_esto_es& other);
  void Que_falta_compilar_el_tarsio_dll();

 private:
  char byte_ = 0;
};
