// The engine's error object: a signed 32-bit code and a message of at most 511 characters.
//
// Thrown and caught inside one operation only; it never reaches the host.
#pragma once

#include <cstdint>
#include <exception>

#include "platform/CompilerAttributes.h"

namespace tarsio {

class Exception : public std::exception {
 public:
  static constexpr int kMaxMessage = 511;

  /// printf-style message, cut to 511 characters.
  Exception(int32_t code, const char* format, ...) TARSIO_PRINTF_FORMAT(3, 4);

  int32_t GetCode() const { return code_; }
  const char* GetMessage() const { return message_; }
  const char* what() const noexcept override { return message_; }

 private:
  int32_t code_;
  char message_[kMaxMessage + 1];
};

}  // namespace tarsio
