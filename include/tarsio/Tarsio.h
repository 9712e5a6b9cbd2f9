// Tarsio: the media engine of a voice-over-IP soft-phone. The C entry points of libtarsio.so.
#pragma once

#if defined(TARSIO_BUILDING_LIBRARY)
#define TARSIO_EXPORT __attribute__((visibility("default")))
#else
#define TARSIO_EXPORT
#endif

extern "C" {
/// The library's version text, "major.minor.patch".
TARSIO_EXPORT const char* TarsioVersion();
}
