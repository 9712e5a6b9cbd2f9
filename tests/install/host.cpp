// A minimal host built against the installed library: creates a terminal with a host log that
// prints to stdout, destroys it, and checks that the statistics report arrived.
#include <tarsio/Tarsio.h>

#include <cstdio>
#include <string>

namespace {

class PrintingLog final : public tarsio::HostLog {
 public:
  int32_t Lock() override { return 0; }
  int32_t Unlock() override { return 0; }
  int32_t MarkEntry() override { return 0; }
  int32_t EndLine() override {
    std::printf("%s\n", line_.c_str());
    text_ += line_ + "\n";
    line_.clear();
    return 0;
  }
  int32_t Write(const char* text) override {
    line_ += text;
    return 0;
  }
  const std::string& Text() const { return text_; }

 private:
  std::string line_;
  std::string text_;
};

}  // namespace

int main() {
  PrintingLog log;
  tarsio::RTPInterface* terminal = GetRTPInterface(&log);
  if (terminal == nullptr) {
    std::fprintf(stderr, "GetRTPInterface returned null\n");
    return 1;
  }
  std::printf("Tarsio %s, buffer ratio %.3f\n", TarsioVersion(), terminal->GetReceiveBufferRatio());
  delete terminal;
  if (log.Text().find("*** estadisticas RTP ***") == std::string::npos) {
    std::fprintf(stderr, "no statistics report\n");
    return 1;
  }
  return 0;
}
