#include "framework/Exception.h"

#include <cstdarg>
#include <cstdio>

namespace tarsio {

Exception::Exception(int32_t code, const char* format, ...) : code_(code) {
  message_[0] = '\0';
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(message_, sizeof message_, format, args);
  va_end(args);
}

}  // namespace tarsio
