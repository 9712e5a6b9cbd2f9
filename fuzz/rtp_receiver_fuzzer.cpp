// Feeds arbitrary datagram sequences to the RTP receiver's ring through its datagram seam.
//
// Input: records of [length high byte][length low byte][length bytes]. A length above 1024 stands
// for a datagram too long for a slot (the read fails with 10040); lengths 0xFFF0..0xFFFF stand
// for a failed read with a refused-datagram error. The receiver runs on a clock whose sleeps and
// waits take no time, and GenerateData is called until the sequence is used up. Every sample must
// come back to the pool.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/AudioSample.h"
#include "framework/AudioSampleManager.h"
#include "platform/Clock.h"
#include "platform/WinsockErrors.h"
#include "rtp/RTPAudioSource.h"

namespace {

class InstantClock final : public tarsio::Clock {
 public:
  uint64_t NowMs() override { return now_; }
  void SleepMs(uint32_t ms) override { now_ += ms; }
  bool WaitFor(std::condition_variable&, std::unique_lock<std::mutex>&, uint32_t ms,
               const std::function<bool()>& pred) override {
    if (pred()) return true;
    if (ms != tarsio::kInfinite) now_ += ms;
    return pred();
  }

 private:
  uint64_t now_ = 123456;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InstantClock clock;
  static tarsio::ScopedClock scoped(clock);

  struct Record {
    const uint8_t* bytes;
    uint32_t length;
  };
  std::vector<Record> records;
  size_t pos = 0;
  while (pos + 2 <= size && records.size() < 400) {
    const uint32_t length = static_cast<uint32_t>(data[pos]) << 8 | data[pos + 1];
    pos += 2;
    if (length >= 0xFFF0) {
      records.push_back({nullptr, length});
      continue;
    }
    const uint32_t available = static_cast<uint32_t>(size - pos);
    const uint32_t take = length < available ? length : available;
    records.push_back({data + pos, length > 1024 ? length : take});
    pos += take;
  }

  size_t next = 0;
  {
    tarsio::RTPAudioSource source;
    source.SetDatagramReaderForTest([&](uint8_t* buffer, int32_t capacity) -> int32_t {
      if (next >= records.size()) return tarsio::RTPAudioSource::kNoData;
      const Record& r = records[next++];
      if (r.bytes == nullptr) return -tarsio::wsa::kConnReset;
      if (r.length > static_cast<uint32_t>(capacity)) return -tarsio::wsa::kMsgSize;
      std::memcpy(buffer, r.bytes, r.length);
      return static_cast<int32_t>(r.length);
    });
    source.SourceStarted();
    int idle = 0;
    for (int call = 0; call < 2000 && (next < records.size() || idle < 3); ++call) {
      tarsio::AudioSample* sample = nullptr;
      source.GenerateData(&sample);
      if (sample == nullptr) {
        ++idle;
        continue;
      }
      idle = 0;
      if (sample->GetDataSize() < 0 || sample->GetDataSize() > 1024) std::abort();
      if (source.depth.load() < 1 || source.depth.load() > 30) std::abort();
      sample->Release(nullptr);
    }
    source.SourceStopped();
  }
  if (tarsio::AudioSampleManager::Instance()->InUseCount() != 0) std::abort();
  return 0;
}
