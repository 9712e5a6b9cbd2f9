// The root base of every component: one Tracer with the instance name and trace level.
//
// Each concrete class sets its instance name and calls its own ReadTraceLevel in its constructor.
// ReadTraceLevel is re-run at every StartSink, StartSinkThread, StartSourceThread and
// StartTransform, so a changed setting takes effect at the next start.
//
// Threading: ReadTraceLevel may run on a host thread while media threads trace (the level is
// atomic).
#pragma once

#include <cstdint>

#include "framework/Tracer.h"

namespace tarsio {

/// Settings key of the trace levels.
inline constexpr const char* kTracingKey = "Software\\Almagre\\Vela\\Tracing";

class TracedObject {
 public:
  TracedObject() = default;
  virtual ~TracedObject() = default;
  TracedObject(const TracedObject&) = delete;
  TracedObject& operator=(const TracedObject&) = delete;

  /// The base reads nothing and returns 0.
  virtual int32_t ReadTraceLevel() { return 0; }

  const char* GetInstanceName() const { return tracer.InstanceName(); }
  const Tracer& GetTracer() const { return tracer; }
  Tracer& GetTracer() { return tracer; }

 protected:
  /// The usual ReadTraceLevel body: "AllComponents" (default 0) if non-zero, else the component's
  /// own value (default 0x100000). Stores the level and returns 0.
  int32_t ReadTraceLevelFor(const char* componentValue);

  Tracer tracer;
};

}  // namespace tarsio
