# Compiler flags shared by every target: warnings, sanitizers, fuzzing instrumentation.

function(tarsio_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  # clang checks the lock annotations (platform/ThreadAnnotations.h) as part of the warnings; the
  # beta set adds the lock orders (TARSIO_ACQUIRED_BEFORE).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety -Wthread-safety-beta)
  endif()
  if(TARSIO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(TARSIO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(TARSIO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TARSIO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TARSIO_SANITIZE must be '', 'address' or 'thread'")
endif()

if(TARSIO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TARSIO_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  # Undefined behaviour is fatal, as in the ASan build: in recover mode UBSan only prints, and
  # libFuzzer would neither stop nor save the input.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
