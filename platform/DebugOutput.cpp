#include "platform/DebugOutput.h"

#include "platform/TraceSink.h"

namespace tarsio {

void OutputDebugString(const char* text) {
  if (TraceSink::Enabled()) TraceSink::Write("OutputDebugString", kDebugOutputLevel, text);
}

}  // namespace tarsio
