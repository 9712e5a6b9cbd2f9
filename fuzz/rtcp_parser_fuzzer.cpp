// Feeds arbitrary datagrams to the RTCP parser. Checks that whatever it accepts stays within its
// fixed capacities, and that what it accepted, written again, parses to the same report.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "rtp/RtcpCompound.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the datagram is caught.
  const std::vector<uint8_t> datagram(data, data + size);
  tarsio::RtcpCompound parsed;
  const char* why = nullptr;
  if (!parsed.Parse(datagram.data(), datagram.size(), &why)) {
    Check(why != nullptr);
    Check(!parsed.hasReport && !parsed.bye && !parsed.hasCname);
    return 0;
  }
  Check(parsed.reportBlockCount <= tarsio::RtcpCompound::kMaxReportBlocks);
  Check(parsed.byeSourceCount <= tarsio::RtcpCompound::kMaxByeSources);
  Check(parsed.Cname().size() <= tarsio::RtcpCompound::kMaxTextLength);

  uint8_t wire[2048];
  const size_t length = parsed.Write(wire, sizeof wire);
  Check(length > 0 && length % 4 == 0);
  tarsio::RtcpCompound again;
  Check(again.Parse(wire, length, &why));
  Check(again.reporterSsrc == parsed.reporterSsrc);
  Check(again.hasSenderInfo == parsed.hasSenderInfo);
  Check(again.reportBlockCount == parsed.reportBlockCount);
  for (size_t i = 0; i < parsed.reportBlockCount; ++i) {
    Check(again.reportBlocks[i].ssrc == parsed.reportBlocks[i].ssrc);
    Check(again.reportBlocks[i].cumulativeLost == parsed.reportBlocks[i].cumulativeLost);
    Check(again.reportBlocks[i].jitter == parsed.reportBlocks[i].jitter);
  }
  Check(again.Cname() == parsed.Cname());
  Check(again.bye == parsed.bye && again.ByeReason() == parsed.ByeReason());
  return 0;
}
