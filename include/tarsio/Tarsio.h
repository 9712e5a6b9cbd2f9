// Tarsio: the media engine of a voice-over-IP soft-phone. The entry points of libtarsio.so.
//
// A host includes this header (and tarsio/RTPInterface.h, tarsio/HostLog.h, which it pulls in)
// and links with -ltarsio (pkg-config --cflags --libs tarsio, or find_package(Tarsio) and
// Tarsio::tarsio in CMake).
#pragma once

#include "tarsio/HostLog.h"
#include "tarsio/RTPInterface.h"

// The entry points are exported from the library. A Windows host calls them through the import
// library's thunks, so it needs no import annotation.
#if defined(TARSIO_BUILDING_LIBRARY) && defined(_WIN32)
#define TARSIO_EXPORT __attribute__((dllexport))
#elif defined(TARSIO_BUILDING_LIBRARY)
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
