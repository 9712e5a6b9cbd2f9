// The symbols libtarsio.so exports; everything else in the library is hidden.
#include "tarsio/Tarsio.h"

extern "C" TARSIO_EXPORT const char* TarsioVersion() { return "0.1.0"; }
