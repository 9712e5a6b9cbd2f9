// Bodies that a test runs in a fresh process of its own test executable, for what a process
// decides once at start-up (environment variables read on first use, for example).
//
// A test file registers a body at static initialisation with TARSIO_CHILD_BODY(name) { ... }; the
// test runs it with RunChildProcess(name, "VAR=value ..."), which starts the executable again
// with TARSIO_TEST_CHILD=name. The test main sees that variable and runs the body instead of the
// tests. A body returns 0 when all went well; the exit code reaches the parent test.
#pragma once

#include <string>

namespace tarsio::testing {

using ChildBody = int (*)();

/// Adds a body under a name; returns true (for use in a static initialiser).
bool RegisterChildBody(const char* name, ChildBody body);

/// Runs the named body; 2 when no body has that name.
int RunChildBody(const std::string& name);

/// Starts this executable with the environment assignments and TARSIO_TEST_CHILD=name, waits,
/// and returns the body's exit code (-1 when the process did not exit normally).
int RunChildProcess(const std::string& name, const std::string& environment);

}  // namespace tarsio::testing

#define TARSIO_CHILD_BODY(name)                                       \
  int ChildBody_##name();                                             \
  [[maybe_unused]] const bool kChildBodyRegistered_##name =           \
      ::tarsio::testing::RegisterChildBody(#name, &ChildBody_##name); \
  int ChildBody_##name()
