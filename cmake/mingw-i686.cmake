# Cross build for 32-bit Windows (i686), the DLL's target, with Debian's mingw-w64 (posix thread
# model). SSE2 arithmetic (not x87) so that the DSP gives the same numbers as on x86-64 Linux;
# the stack is realigned because 32-bit Windows callers only keep it 4-byte aligned.
# Used by: bash scripts/build.sh windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
# pkg-config sees only libraries built for this target, never the Linux ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/i686-w64-mingw32/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# ctest runs the test programs under Wine (tests/windows/CMakeLists.txt gives each its prefix).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
