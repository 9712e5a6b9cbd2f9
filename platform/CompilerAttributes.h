// Compiler-specific annotations, each empty where the compiler does not know it, so that every
// file compiles with GCC, clang and Microsoft's compiler alike.
#pragma once

// printf-style argument checking (GCC, clang).
#if defined(__GNUC__) || defined(__clang__)
#define TARSIO_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define TARSIO_PRINTF_FORMAT(formatIndex, firstArgument)
#endif
