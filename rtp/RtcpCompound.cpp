#include "rtp/RtcpCompound.h"

#include <algorithm>
#include <cstring>

namespace tarsio {

namespace {

constexpr size_t kHeaderBytes = 4;
constexpr size_t kSenderInfoBytes = 20;
constexpr size_t kReportBlockBytes = 24;
constexpr uint8_t kCnameItem = 1;

uint32_t Read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Write16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void Write32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Writes a part header; length is the part's size in bytes (a multiple of 4).
void WriteHeader(uint8_t* p, uint8_t count, uint8_t type, size_t length) {
  p[0] = static_cast<uint8_t>(0x80 | count);
  p[1] = type;
  Write16(p + 2, static_cast<uint16_t>(length / 4 - 1));
}

size_t RoundUp4(size_t n) { return (n + 3) & ~size_t{3}; }

bool Refuse(const char** why, const char* reason) {
  if (why != nullptr) *why = reason;
  return false;
}

}  // namespace

void RtcpCompound::SetCname(uint32_t ssrc, std::string_view text) {
  hasCname = true;
  cnameSsrc = ssrc;
  cnameLength = std::min(text.size(), kMaxTextLength);
  std::memcpy(cname.data(), text.data(), cnameLength);
}

void RtcpCompound::SetByeReason(std::string_view text) {
  byeReasonLength = std::min(text.size(), kMaxTextLength);
  std::memcpy(byeReason.data(), text.data(), byeReasonLength);
}

bool RtcpCompound::Parse(const uint8_t* data, size_t length, const char** why) {
  Clear();
  if (ParseParts(data, length, why)) return true;
  Clear();  // nothing of a refused datagram is kept
  return false;
}

bool RtcpCompound::ParseParts(const uint8_t* data, size_t length, const char** why) {
  if (data == nullptr || length < kHeaderBytes) return Refuse(why, "shorter than a header");
  if (length % 4 != 0) return Refuse(why, "length not a multiple of 4");

  size_t offset = 0;
  bool first = true;
  while (offset < length) {
    const uint8_t* part = data + offset;
    if (length - offset < kHeaderBytes) return Refuse(why, "truncated header");
    if ((part[0] >> 6) != 2) return Refuse(why, "version not 2");
    const bool padded = (part[0] & 0x20) != 0;
    const uint8_t count = part[0] & 0x1f;
    const uint8_t type = part[1];
    const size_t partLength = (size_t{part[2]} << 8 | part[3]) * 4 + 4;
    if (partLength > length - offset) return Refuse(why, "part longer than the datagram");
    if (type < 192 || type > 223) return Refuse(why, "not an RTCP packet type");
    const bool last = offset + partLength == length;
    if (first && !last && type != kSenderReport && type != kReceiverReport) {
      return Refuse(why, "compound packet not starting with a report");
    }
    size_t contentLength = partLength;
    if (padded) {
      if (!last) return Refuse(why, "padding before the last part");
      const uint8_t padding = part[partLength - 1];
      if (padding == 0 || padding > partLength - kHeaderBytes) {
        return Refuse(why, "bad padding count");
      }
      contentLength -= padding;
    }

    bool ok = true;
    switch (type) {
      case kSenderReport:
      case kReceiverReport:
        ok = ParseReport(part, contentLength, count, type == kSenderReport, why);
        break;
      case kSourceDescription:
        ok = ParseSourceDescription(part, contentLength, count, why);
        break;
      case kGoodbye:
        ok = ParseGoodbye(part, contentLength, count, why);
        break;
      default:
        ++skippedParts;
        break;
    }
    if (!ok) return false;
    offset += partLength;
    first = false;
  }
  if (!hasReport) {
    // A reduced-size packet without a report: name the source by what it carries.
    if (hasCname) {
      reporterSsrc = cnameSsrc;
    } else if (byeSourceCount > 0) {
      reporterSsrc = byeSources[0];
    }
  }
  return true;
}

bool RtcpCompound::ParseReport(const uint8_t* part, size_t length, uint8_t count, bool sender,
                               const char** why) {
  const size_t fixed = kHeaderBytes + 4 + (sender ? kSenderInfoBytes : 0);
  if (length < fixed + size_t{count} * kReportBlockBytes) {
    return Refuse(why, "report shorter than its blocks");
  }
  const uint32_t ssrc = Read32(part + 4);
  const uint8_t* p = part + 8;
  if (!hasReport) {
    hasReport = true;
    reporterSsrc = ssrc;
    if (sender) {
      hasSenderInfo = true;
      senderInfo.ntpTimestamp = uint64_t{Read32(p)} << 32 | Read32(p + 4);
      senderInfo.rtpTimestamp = Read32(p + 8);
      senderInfo.packetCount = Read32(p + 12);
      senderInfo.octetCount = Read32(p + 16);
    }
  }
  if (sender) p += kSenderInfoBytes;
  for (uint8_t i = 0; i < count; ++i, p += kReportBlockBytes) {
    if (reportBlockCount == kMaxReportBlocks) break;  // more than one report's worth: ignored
    RtcpReportBlock& block = reportBlocks[reportBlockCount++];
    block.ssrc = Read32(p);
    block.fractionLost = p[4];
    const uint32_t lost = uint32_t{p[5]} << 16 | uint32_t{p[6]} << 8 | p[7];
    block.cumulativeLost = (lost & 0x800000u) != 0 ? static_cast<int32_t>(lost) - 0x1000000
                                                   : static_cast<int32_t>(lost);
    block.extendedHighestSequence = Read32(p + 8);
    block.jitter = Read32(p + 12);
    block.lastSenderReport = Read32(p + 16);
    block.delaySinceLastSenderReport = Read32(p + 20);
  }
  return true;
}

bool RtcpCompound::ParseSourceDescription(const uint8_t* part, size_t length, uint8_t count,
                                          const char** why) {
  size_t offset = kHeaderBytes;
  for (uint8_t chunk = 0; chunk < count; ++chunk) {
    if (length - offset < 4) return Refuse(why, "SDES chunk truncated");
    const uint32_t ssrc = Read32(part + offset);
    offset += 4;
    for (;;) {
      if (offset >= length) return Refuse(why, "SDES items without an end");
      const uint8_t item = part[offset];
      if (item == 0) {
        // The end of the chunk's items; the next chunk starts at the next 32-bit boundary.
        offset = RoundUp4(offset + 1);
        if (offset > length) return Refuse(why, "SDES chunk padding truncated");
        break;
      }
      if (length - offset < 2) return Refuse(why, "SDES item truncated");
      const size_t textLength = part[offset + 1];
      if (length - offset - 2 < textLength) return Refuse(why, "SDES item longer than its part");
      if (item == kCnameItem && !hasCname) {
        SetCname(ssrc, {reinterpret_cast<const char*>(part + offset + 2), textLength});
      }
      offset += 2 + textLength;
    }
  }
  return true;
}

bool RtcpCompound::ParseGoodbye(const uint8_t* part, size_t length, uint8_t count,
                                const char** why) {
  const size_t sources = kHeaderBytes + size_t{count} * 4;
  if (length < sources) return Refuse(why, "BYE shorter than its sources");
  bye = true;
  for (uint8_t i = 0; i < count && byeSourceCount < kMaxByeSources; ++i) {
    byeSources[byeSourceCount++] = Read32(part + kHeaderBytes + size_t{i} * 4);
  }
  if (length > sources) {
    const size_t reasonLength = part[sources];
    if (length - sources - 1 < reasonLength) return Refuse(why, "BYE reason longer than its part");
    SetByeReason({reinterpret_cast<const char*>(part + sources + 1), reasonLength});
  }
  return true;
}

size_t RtcpCompound::Write(uint8_t* out, size_t capacity) const {
  const size_t blocks = std::min(reportBlockCount, kMaxReportBlocks);
  const size_t reportLength =
      kHeaderBytes + 4 + (hasSenderInfo ? kSenderInfoBytes : 0) + blocks * kReportBlockBytes;
  // CNAME chunk: SSRC, type, length, text, at least one null octet, padded to 32 bits.
  const size_t sdesLength = hasCname ? kHeaderBytes + RoundUp4(4 + 2 + cnameLength + 1) : 0;
  const size_t byeCount = std::min(byeSourceCount, kMaxByeSources);
  const size_t byeLength =
      bye ? kHeaderBytes + byeCount * 4 + (byeReasonLength > 0 ? RoundUp4(1 + byeReasonLength) : 0)
          : 0;
  const size_t total = reportLength + sdesLength + byeLength;
  if (out == nullptr || total > capacity) return 0;
  std::memset(out, 0, total);

  uint8_t* p = out;
  WriteHeader(p, static_cast<uint8_t>(blocks), hasSenderInfo ? kSenderReport : kReceiverReport,
              reportLength);
  Write32(p + 4, reporterSsrc);
  p += 8;
  if (hasSenderInfo) {
    Write32(p, static_cast<uint32_t>(senderInfo.ntpTimestamp >> 32));
    Write32(p + 4, static_cast<uint32_t>(senderInfo.ntpTimestamp));
    Write32(p + 8, senderInfo.rtpTimestamp);
    Write32(p + 12, senderInfo.packetCount);
    Write32(p + 16, senderInfo.octetCount);
    p += kSenderInfoBytes;
  }
  for (size_t i = 0; i < blocks; ++i, p += kReportBlockBytes) {
    const RtcpReportBlock& block = reportBlocks[i];
    Write32(p, block.ssrc);
    const int32_t lost = std::clamp(block.cumulativeLost, -0x800000, 0x7fffff);
    Write32(p + 4, uint32_t{block.fractionLost} << 24 | (static_cast<uint32_t>(lost) & 0xffffffu));
    Write32(p + 8, block.extendedHighestSequence);
    Write32(p + 12, block.jitter);
    Write32(p + 16, block.lastSenderReport);
    Write32(p + 20, block.delaySinceLastSenderReport);
  }
  if (hasCname) {
    WriteHeader(p, 1, kSourceDescription, sdesLength);
    Write32(p + 4, cnameSsrc);
    p[8] = kCnameItem;
    p[9] = static_cast<uint8_t>(cnameLength);
    std::memcpy(p + 10, cname.data(), cnameLength);
    p += sdesLength;  // the null octets are already there
  }
  if (bye) {
    WriteHeader(p, static_cast<uint8_t>(byeCount), kGoodbye, byeLength);
    for (size_t i = 0; i < byeCount; ++i) Write32(p + kHeaderBytes + i * 4, byeSources[i]);
    if (byeReasonLength > 0) {
      uint8_t* reason = p + kHeaderBytes + byeCount * 4;
      reason[0] = static_cast<uint8_t>(byeReasonLength);
      std::memcpy(reason + 1, byeReason.data(), byeReasonLength);
    }
  }
  return total;
}

}  // namespace tarsio
