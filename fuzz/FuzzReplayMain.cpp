// Runs a fuzz target's entry point over saved inputs, without libFuzzer.
//
// The unit-test builds (optimised, ASan+UBSan, TSan) link every fuzz target with this main so
// that the seed corpus and every crash input ever saved there are replayed by ctest on each
// build: a regression on a known input fails CI deterministically, and the targets keep
// compiling with g++. Exploring new inputs is the job of the libFuzzer build (TARSIO_FUZZ=ON).
//
// Usage: <name>_replay PATH...   (a file is one input; a folder gives each regular file in it,
// in name order). An empty input is always run first. Exits 1 when a path cannot be read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional in a target, as with libFuzzer: one-time set-up before the first input.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  LLVMFuzzerTestOneInput(nullptr, 0);
  int inputs = 1;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        ok = RunFile(file) && ok;
        ++inputs;
      }
    } else {
      ok = RunFile(path) && ok;
      ++inputs;
    }
  }
  std::printf("replay: %d inputs run\n", inputs);
  return ok ? 0 : 1;
}
