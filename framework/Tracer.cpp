#include "framework/Tracer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tarsio {

namespace {

// Longest statement text; longer texts are cut (the sink is a diagnostic aid only).
constexpr size_t kMaxStatement = 1024;

}  // namespace

Tracer::Tracer() : level_(0) { instanceName_[0] = '\0'; }

void Tracer::SetInstanceName(const char* name) {
  if (name == nullptr) name = "";
  std::strncpy(instanceName_, name, kMaxInstanceName);
  instanceName_[kMaxInstanceName] = '\0';
}

void Tracer::SetInstanceName(const char* className, const void* self) {
  char name[kMaxInstanceName + 1];
  std::snprintf(name, sizeof name, "%s:%lx", className != nullptr ? className : "",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(self)));
  SetInstanceName(name);
}

void TraceStatement(const Tracer& tracer, uint32_t levelBit, const char* format, ...) {
  char text[kMaxStatement];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  TraceSink::Write(tracer.InstanceName(), levelBit, text);
}

}  // namespace tarsio
