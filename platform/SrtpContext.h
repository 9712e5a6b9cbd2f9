// Secure RTP (RFC 3711) for one direction of a call, over libsrtp 2.
//
// A context is made from a crypto suite and the key parameters of an SDES crypto attribute
// (RFC 4568): "inline:" followed by the base64 of the 16-byte master key and 14-byte master salt,
// optionally "|lifetime"; an MKI is refused. It protects (outbound) or unprotects (inbound) RTP
// and RTCP packets in place. AES_CM_128_HMAC_SHA1_80 and _32 are supported; the _32 suite shortens
// only the RTP tag (SRTCP keeps its 80-bit tag, as RFC 4568 says).
//
// Inbound packets that fail authentication or the replay check are refused and counted by the
// caller from the result; nothing of them may be used. The key material is wiped from every
// buffer this class fills, and no message of this class contains it.
//
// Threading: one context per direction; every call is serialised by an internal lock (the RTP
// and RTCP paths of one direction may run on different threads). The library is initialised once
// per process and never shut down (another context may still use it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/CriticalSection.h"

namespace tarsio {

class SrtpContext {
 public:
  enum class Suite { kAesCm128HmacSha1_80, kAesCm128HmacSha1_32 };
  enum class Direction { kOutbound, kInbound };
  enum class Result { kOk, kAuthenticationFailed, kReplayed, kMalformed, kNoRoom, kFailed };

  static constexpr size_t kMasterKeyBytes = 16;
  static constexpr size_t kMasterSaltBytes = 14;
  /// The most a protected packet grows: an SRTCP index (4) and an 80-bit tag (10).
  static constexpr size_t kMaxOverhead = 14;

  /// The suite named as in RFC 4568 ("AES_CM_128_HMAC_SHA1_80"); false for others.
  static bool ParseSuite(std::string_view name, Suite* out);
  static const char* SuiteName(Suite suite);

  /// A context, or null with *error saying why (never quoting the key).
  static std::unique_ptr<SrtpContext> Create(Suite suite, Direction direction,
                                             std::string_view keyParameters, std::string* error);
  ~SrtpContext();
  SrtpContext(const SrtpContext&) = delete;
  SrtpContext& operator=(const SrtpContext&) = delete;

  /// Protects the RTP packet in packet[0..*length) in place; capacity must leave room for the tag.
  Result ProtectRtp(uint8_t* packet, size_t* length, size_t capacity);
  /// Authenticates, checks for replay and decrypts in place; *length becomes the RTP length.
  Result UnprotectRtp(uint8_t* packet, size_t* length);
  Result ProtectRtcp(uint8_t* packet, size_t* length, size_t capacity);
  Result UnprotectRtcp(uint8_t* packet, size_t* length);

  Suite GetSuite() const { return suite_; }
  Direction GetDirection() const { return direction_; }

  /// Decodes standard base64 (padding optional). False on any other character or a bad length.
  static bool DecodeBase64(std::string_view text, uint8_t* out, size_t capacity, size_t* length);

 private:
  struct Session;
  SrtpContext(Suite suite, Direction direction, std::unique_ptr<Session> session);
  Result Run(bool rtcp, bool protect, uint8_t* packet, size_t* length, size_t capacity);

  const Suite suite_;
  const Direction direction_;
  CriticalSection mutex_;
  std::unique_ptr<Session> session_ TARSIO_GUARDED_BY(mutex_);
};

}  // namespace tarsio
