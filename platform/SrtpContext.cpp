#include "platform/SrtpContext.h"

#ifdef TARSIO_HAVE_SRTP
#include <srtp2/srtp.h>
#endif

#include <array>
#include <climits>
#include <cstring>
#include <mutex>

namespace tarsio {

namespace {

constexpr size_t kKeyBytes = SrtpContext::kMasterKeyBytes + SrtpContext::kMasterSaltBytes;

// Overwrites key material so that it does not linger in freed or reused memory.
void Wipe(void* data, size_t length) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
  while (length-- > 0) *p++ = 0;
}

#ifdef TARSIO_HAVE_SRTP
bool InitialiseLibrary() {
  static const bool ok = srtp_init() == srtp_err_status_ok;
  return ok;
}
#endif

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

#ifdef TARSIO_HAVE_SRTP
struct SrtpContext::Session {
  srtp_t session = nullptr;
  ~Session() {
    if (session != nullptr) srtp_dealloc(session);
  }
};
#else
// A build without libsrtp2 (the Windows cross build): no context can be made.
struct SrtpContext::Session {};
#endif

bool SrtpContext::ParseSuite(std::string_view name, Suite* out) {
  if (name == "AES_CM_128_HMAC_SHA1_80") {
    *out = Suite::kAesCm128HmacSha1_80;
    return true;
  }
  if (name == "AES_CM_128_HMAC_SHA1_32") {
    *out = Suite::kAesCm128HmacSha1_32;
    return true;
  }
  return false;
}

const char* SrtpContext::SuiteName(Suite suite) {
  return suite == Suite::kAesCm128HmacSha1_32 ? "AES_CM_128_HMAC_SHA1_32"
                                              : "AES_CM_128_HMAC_SHA1_80";
}

bool SrtpContext::DecodeBase64(std::string_view text, uint8_t* out, size_t capacity,
                               size_t* length) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return false;
  size_t written = 0;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const int value = Base64Value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      if (written == capacity) return false;
      out[written++] = static_cast<uint8_t>(bits >> count);
    }
  }
  *length = written;
  return true;
}

SrtpContext::SrtpContext(Suite suite, Direction direction, std::unique_ptr<Session> session)
    : suite_(suite), direction_(direction), session_(std::move(session)) {}

SrtpContext::~SrtpContext() = default;

std::unique_ptr<SrtpContext> SrtpContext::Create(Suite suite, Direction direction,
                                                 std::string_view keyParameters,
                                                 std::string* error) {
  auto fail = [error](const char* why) {
    if (error != nullptr) *error = why;
    return nullptr;
  };
  std::string_view key = keyParameters;
  if (key.substr(0, 7) == "inline:") key.remove_prefix(7);
  const size_t bar = key.find('|');
  if (bar != std::string_view::npos) {
    // "|lifetime" is accepted (keys are not rekeyed here); "|MKI:length" is not supported.
    const std::string_view rest = key.substr(bar + 1);
    if (rest.find(':') != std::string_view::npos) {
      return fail("SRTP key parameters with an MKI are not supported");
    }
    key = key.substr(0, bar);
  }
  std::array<uint8_t, kKeyBytes + 3> material{};
  size_t length = 0;
  if (!DecodeBase64(key, material.data(), material.size(), &length)) {
    Wipe(material.data(), material.size());
    return fail("SRTP key is not valid base64");
  }
  if (length != kKeyBytes) {
    Wipe(material.data(), material.size());
    return fail("SRTP key is not 30 bytes (16-byte master key and 14-byte salt)");
  }
#ifndef TARSIO_HAVE_SRTP
  Wipe(material.data(), material.size());
  (void)suite;
  (void)direction;
  return fail("SRTP is not available in this build");
#else
  if (!InitialiseLibrary()) {
    Wipe(material.data(), material.size());
    return fail("the SRTP library did not initialise");
  }

  srtp_policy_t policy;
  std::memset(&policy, 0, sizeof policy);
  if (suite == Suite::kAesCm128HmacSha1_32) {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
  } else {
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
  }
  srtp_crypto_policy_set_rtcp_default(&policy.rtcp);  // SRTCP keeps the 80-bit tag
  policy.ssrc.type = direction == Direction::kOutbound ? ssrc_any_outbound : ssrc_any_inbound;
  policy.key = material.data();
  policy.window_size = 128;
  policy.allow_repeat_tx = 0;
  policy.next = nullptr;

  auto session = std::make_unique<Session>();
  const srtp_err_status_t status = srtp_create(&session->session, &policy);
  Wipe(material.data(), material.size());
  if (status != srtp_err_status_ok) {
    session->session = nullptr;
    return fail("the SRTP library refused the key");
  }
  return std::unique_ptr<SrtpContext>(new SrtpContext(suite, direction, std::move(session)));
#endif
}

SrtpContext::Result SrtpContext::Run(bool rtcp, bool protect, uint8_t* packet, size_t* length,
                                     size_t capacity) {
  if (packet == nullptr || length == nullptr) return Result::kMalformed;
  if (protect != (direction_ == Direction::kOutbound)) return Result::kFailed;
  if (protect && capacity < *length + kMaxOverhead) return Result::kNoRoom;
  if (*length > INT_MAX - kMaxOverhead) return Result::kMalformed;
  // The library checks the headers itself but not a length shorter than the fixed header.
  if (*length < (rtcp ? 8u : 12u)) return Result::kMalformed;
#ifndef TARSIO_HAVE_SRTP
  return Result::kFailed;
#else
  int size = static_cast<int>(*length);
  CriticalSectionLock lock(mutex_);
  srtp_err_status_t status;
  if (rtcp) {
    status = protect ? srtp_protect_rtcp(session_->session, packet, &size)
                     : srtp_unprotect_rtcp(session_->session, packet, &size);
  } else {
    status = protect ? srtp_protect(session_->session, packet, &size)
                     : srtp_unprotect(session_->session, packet, &size);
  }
  switch (status) {
    case srtp_err_status_ok:
      *length = static_cast<size_t>(size);
      return Result::kOk;
    case srtp_err_status_auth_fail:
      return Result::kAuthenticationFailed;
    case srtp_err_status_replay_fail:
    case srtp_err_status_replay_old:
      return Result::kReplayed;
    case srtp_err_status_bad_param:
    case srtp_err_status_parse_err:
      return Result::kMalformed;
    default:
      return Result::kFailed;
  }
#endif
}

SrtpContext::Result SrtpContext::ProtectRtp(uint8_t* packet, size_t* length, size_t capacity) {
  return Run(false, true, packet, length, capacity);
}

SrtpContext::Result SrtpContext::UnprotectRtp(uint8_t* packet, size_t* length) {
  return Run(false, false, packet, length, length != nullptr ? *length : 0);
}

SrtpContext::Result SrtpContext::ProtectRtcp(uint8_t* packet, size_t* length, size_t capacity) {
  return Run(true, true, packet, length, capacity);
}

SrtpContext::Result SrtpContext::UnprotectRtcp(uint8_t* packet, size_t* length) {
  return Run(true, false, packet, length, length != nullptr ? *length : 0);
}

}  // namespace tarsio
