// Unprotects arbitrary datagrams as SRTP and SRTCP under a key taken from the input. Whatever the
// bytes, the context must refuse or shrink the packet, never read or write outside it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/SrtpContext.h"

namespace {

std::string Base64(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < size; i += 3) {
    uint32_t bits = uint32_t{data[i]} << 16;
    if (i + 1 < size) bits |= uint32_t{data[i + 1]} << 8;
    if (i + 2 < size) bits |= data[i + 2];
    out += kAlphabet[(bits >> 18) & 63];
    out += kAlphabet[(bits >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(bits >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[bits & 63] : '=';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 31) return 0;
  using tarsio::SrtpContext;
  const auto suite = (data[30] & 1) != 0 ? SrtpContext::Suite::kAesCm128HmacSha1_32
                                         : SrtpContext::Suite::kAesCm128HmacSha1_80;
  std::string error;
  auto context = SrtpContext::Create(suite, SrtpContext::Direction::kInbound,
                                     "inline:" + Base64(data, 30), &error);
  Check(context != nullptr);
  const bool rtcp = (data[30] & 2) != 0;
  // An exact-size copy, so that any access past the datagram is caught.
  std::vector<uint8_t> packet(data + 31, data + size);
  size_t length = packet.size();
  const auto result = rtcp ? context->UnprotectRtcp(packet.data(), &length)
                           : context->UnprotectRtp(packet.data(), &length);
  if (result == SrtpContext::Result::kOk) Check(length <= packet.size());
  return 0;
}
