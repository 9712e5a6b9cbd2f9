// One RTCP datagram (RFC 3550 section 6), parsed or to be written: a sender report or receiver
// report with its report blocks, the sender's CNAME, and a BYE.
//
// Parse accepts compound packets (the first part an SR or RR, padding only on the last part,
// part lengths adding up to the datagram, RFC 3550 A.2) and reduced-size packets (a single part
// of any type, RFC 5506). Every length is checked before anything is read; parts of types this
// engine does not use (APP, feedback, XR) are skipped. A datagram that breaks any rule is refused
// as a whole, with the reason, and nothing of it is used.
//
// Write produces a compound packet: the report (SR when sender information is present, else RR),
// then SDES with the CNAME when one is set, then BYE when bye is set.
//
// Everything sits in fixed-size members, so parsing and writing allocate nothing.
//
// Threading: a value type; no locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarsio {

/// What a report says about one source (RFC 3550 6.4.1).
struct RtcpReportBlock {
  uint32_t ssrc = 0;
  uint8_t fractionLost = 0;    // lost since the previous report, in 1/256
  int32_t cumulativeLost = 0;  // 24-bit signed on the wire
  uint32_t extendedHighestSequence = 0;
  uint32_t jitter = 0;                      // interarrival jitter in timestamp units
  uint32_t lastSenderReport = 0;            // middle 32 bits of the last SR's NTP time, 0 if none
  uint32_t delaySinceLastSenderReport = 0;  // in 1/65536 s
};

/// The sender information of an SR (RFC 3550 6.4.1).
struct RtcpSenderInfo {
  uint64_t ntpTimestamp = 0;  // seconds since 1900 in the high 32 bits, fraction in the low 32
  uint32_t rtpTimestamp = 0;
  uint32_t packetCount = 0;
  uint32_t octetCount = 0;
};

class RtcpCompound {
 public:
  static constexpr uint8_t kSenderReport = 200;
  static constexpr uint8_t kReceiverReport = 201;
  static constexpr uint8_t kSourceDescription = 202;
  static constexpr uint8_t kGoodbye = 203;
  static constexpr uint8_t kApplication = 204;
  static constexpr size_t kMaxReportBlocks = 31;  // the 5-bit count of one report
  static constexpr size_t kMaxTextLength = 255;   // an SDES item or a BYE reason
  static constexpr size_t kMaxByeSources = 31;

  /// Parses one datagram into *this (cleared first). False with *why set when it is refused.
  bool Parse(const uint8_t* data, size_t length, const char** why);

  /// Writes the compound packet into out. Returns its length, or 0 when it does not fit.
  size_t Write(uint8_t* out, size_t capacity) const;

  void Clear() { *this = RtcpCompound(); }

  // Contents. The SSRC of the reporting source is that of the SR/RR (or of the first SDES
  // chunk or BYE source in a reduced-size packet without a report).
  bool hasReport = false;
  bool hasSenderInfo = false;
  uint32_t reporterSsrc = 0;
  RtcpSenderInfo senderInfo;
  size_t reportBlockCount = 0;
  std::array<RtcpReportBlock, kMaxReportBlocks> reportBlocks{};

  bool hasCname = false;
  uint32_t cnameSsrc = 0;
  std::string_view Cname() const { return {cname.data(), cnameLength}; }
  /// Sets the CNAME (longer text is cut at kMaxTextLength bytes).
  void SetCname(uint32_t ssrc, std::string_view text);

  bool bye = false;
  size_t byeSourceCount = 0;
  std::array<uint32_t, kMaxByeSources> byeSources{};
  std::string_view ByeReason() const { return {byeReason.data(), byeReasonLength}; }
  void SetByeReason(std::string_view text);

  /// Parts of types this class does not read (APP, feedback, XR, ...), counted while parsing.
  size_t skippedParts = 0;

 private:
  bool ParseParts(const uint8_t* data, size_t length, const char** why);
  bool ParseReport(const uint8_t* part, size_t length, uint8_t count, bool sender,
                   const char** why);
  bool ParseSourceDescription(const uint8_t* part, size_t length, uint8_t count, const char** why);
  bool ParseGoodbye(const uint8_t* part, size_t length, uint8_t count, const char** why);

  std::array<char, kMaxTextLength> cname{};
  size_t cnameLength = 0;
  std::array<char, kMaxTextLength> byeReason{};
  size_t byeReasonLength = 0;
};

}  // namespace tarsio
