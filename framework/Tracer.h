// Per-component trace configuration and the trace statement.
//
// Every component carries a Tracer: an instance name ("Class:address", at most 63 characters) and
// a level mask read from the settings store. A statement names one level bit; it is written only
// when the trace sink is enabled (TARSIO_TRACE, see platform/TraceSink.h) and the component's mask
// has that bit. With the sink disabled (the default on Linux; Windows traces to the debugger
// channel by default), a statement costs one test of an atomic flag.
//
// Threading: the level is atomic (it is re-read by the host thread while media threads trace); the
// instance name is written only by the owning object's constructor.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/CompilerAttributes.h"
#include "platform/TraceSink.h"

namespace tarsio {

/// The level bits of trace statements.
namespace trace {
inline constexpr uint32_t kError = 0x10000;    // "e-" and "Error" texts, reference-count misuse
inline constexpr uint32_t kNotable = 0x80000;  // not-running returns, pool counts, new streams
inline constexpr uint32_t kEntry = 0x100000;   // entry and exit of operations, thread begin
inline constexpr uint32_t kState = 0x200000;   // state changes, mutexes, per-packet details
inline constexpr uint32_t kDetail = 0x400000;  // fine detail inside loops

/// The fourteen level names, right-aligned in five characters.
inline constexpr const char* kLevelNames[14] = {"NONE ", "ERROR", " SPCL", "  -1-", "STATE",
                                                "  -2-", "  -3-", "  -4-", "  SIG", "   EE",
                                                "  ARB", "  -5-", "  DET", "  ALL"};
}  // namespace trace

class Tracer {
 public:
  static constexpr int kMaxInstanceName = 63;

  Tracer();

  uint32_t Level() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(uint32_t level) { level_.store(level, std::memory_order_relaxed); }

  const char* InstanceName() const { return instanceName_; }
  /// Sets the name, cut to 63 characters.
  void SetInstanceName(const char* name);
  /// Sets "className:%lx" with the object's address.
  void SetInstanceName(const char* className, const void* self);

 private:
  std::atomic<uint32_t> level_;
  char instanceName_[kMaxInstanceName + 1];
};

/// Writes one statement (already known to be enabled) to the trace sink.
void TraceStatement(const Tracer& tracer, uint32_t levelBit, const char* format, ...)
    TARSIO_PRINTF_FORMAT(3, 4);

}  // namespace tarsio

/// TRACE(tracer, levelBit, format, ...): a trace statement. One test when tracing is off.
#define TRACE(tracer, levelBit, ...)                                                 \
  do {                                                                               \
    if (::tarsio::TraceSink::Enabled() && (((tracer).Level() & (levelBit)) != 0u)) { \
      ::tarsio::TraceStatement((tracer), (levelBit), __VA_ARGS__);                   \
    }                                                                                \
  } while (0)
