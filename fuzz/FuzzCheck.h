// The fuzz targets' check: a property that does not hold aborts with the line, so libFuzzer (and
// the corpus replay in the test builds) reports the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tarsio::fuzz {

[[noreturn]] inline void Fail(int line) {
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

}  // namespace tarsio::fuzz

#define Check(condition) \
  if (!(condition)) ::tarsio::fuzz::Fail(__LINE__)
