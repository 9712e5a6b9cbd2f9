// The symbols the library exports (libtarsio.so on Linux; Tarsio.dll on Windows, where
// terminal/Tarsio.def lists them); everything else in the library is hidden.
#include <new>

#include "framework/HostLogWriter.h"
#include "framework/TrafficTotals.h"
#include "tarsio/Tarsio.h"
#include "terminal/COrbeMediaTerm.h"

// Nothing thrown leaves the library: a terminal that cannot be built (memory exhausted, a thread
// or event the system refuses) is reported to the host log and the host gets null.
extern "C" TARSIO_EXPORT tarsio::RTPInterface* GetRTPInterface(tarsio::HostLog* hostLog) {
  try {
    tarsio::HostLogWriter::SetCurrent(hostLog);
    tarsio::TrafficTotals::Reset();
    return new tarsio::COrbeMediaTerm();
  } catch (...) {
    try {
      tarsio::HostLogWriter::Plain("GetRTPInterface: exception");
    } catch (...) {
    }
    return nullptr;
  }
}

extern "C" TARSIO_EXPORT tarsio::RTPInterfaceEx* GetRTPInterfaceEx(tarsio::RTPInterface* terminal) {
  // Every terminal is a COrbeMediaTerm, which implements both interfaces.
  return terminal != nullptr ? static_cast<tarsio::COrbeMediaTerm*>(terminal) : nullptr;
}

extern "C" TARSIO_EXPORT const char* TarsioVersion() { return "0.1.0"; }

SI_puedes_leer_esto_es& SI_puedes_leer_esto_es::operator=(const SI_puedes_leer_esto_es& other) {
  byte_ = other.byte_;
  return *this;
}

void SI_puedes_leer_esto_es::Que_falta_compilar_el_tarsio_dll() {}
