// Cost of the settings functions: a read of a present value, and a write with and without the
// background writer (a synchronous write is a locked read-modify-write of the file with fsync and
// rename). Runs against a fresh file in a temporary directory.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "framework/Registry.h"
#include "platform/RegistryFile.h"
#include "platform/RegistryStore.h"

namespace {

constexpr const char* kKey = "Software\\Almagre\\OrbeMediaTerm\\1.0";

// A file of the size the engine produces: the terminal's settings and the trace levels.
void FillTypicalFile() {
  const char* names[] = {"ForceVADOff", "MicrophonePreprocess", "SpeakerPostprocess", "LimitVolume",
                         "UseDynamicJitterBuffer"};
  for (const char* name : names)
    tarsio::RegGetBool(tarsio::RegistryRoot::kCurrentUser, kKey, name, true);
  for (int i = 0; i < 20; ++i) {
    tarsio::RegGetDWORD(tarsio::RegistryRoot::kCurrentUser, "Software\\Almagre\\Vela\\Tracing",
                        ("Component" + std::to_string(i)).c_str(), 0x100000);
  }
  tarsio::RegSetDWORD(tarsio::RegistryRoot::kCurrentUser, kKey, "TxFIRFilter", 1);
  tarsio::RegistryStore::Instance().Flush();
}

void BM_RegGetDWORD_Hit(benchmark::State& state) {
  FillTypicalFile();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tarsio::RegGetDWORD(tarsio::RegistryRoot::kCurrentUser, kKey, "TxFIRFilter", 1));
  }
}
BENCHMARK(BM_RegGetDWORD_Hit);

void BM_RegGetBool_Hit(benchmark::State& state) {
  FillTypicalFile();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tarsio::RegGetBool(tarsio::RegistryRoot::kCurrentUser, kKey,
                                                "UseDynamicJitterBuffer", true));
  }
}
BENCHMARK(BM_RegGetBool_Hit);

// What the calling thread pays with the background writer (the default).
void BM_RegSetDWORD_WriteBehind(benchmark::State& state) {
  FillTypicalFile();
  tarsio::RegistryStore::Instance().SetWriteBehind(true);
  uint32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tarsio::RegSetDWORD(tarsio::RegistryRoot::kCurrentUser, kKey, "RTPReceiveCodec", ++value));
  }
  tarsio::RegistryStore::Instance().Flush();  // after the timed loop
}
BENCHMARK(BM_RegSetDWORD_WriteBehind);

// What a write costs when it goes to disk before returning: the stall the background writer
// keeps away from media threads.
void BM_RegSetDWORD_Synchronous(benchmark::State& state) {
  FillTypicalFile();
  tarsio::RegistryStore::Instance().SetWriteBehind(false);
  uint32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tarsio::RegSetDWORD(tarsio::RegistryRoot::kCurrentUser, kKey, "RTPReceiveCodec", ++value));
  }
  tarsio::RegistryStore::Instance().SetWriteBehind(true);
}
BENCHMARK(BM_RegSetDWORD_Synchronous)->Unit(benchmark::kMillisecond)->Iterations(100);

void BM_RegistryFileParse(benchmark::State& state) {
  FillTypicalFile();
  tarsio::RegistryFile file;
  file.Set("HKEY_CURRENT_USER\\Software\\Almagre\\OrbeMediaTerm\\1.0", "A",
           tarsio::RegistryFile::Value::Dword(1));
  std::string text;
  for (int i = 0; i < 40; ++i) {
    file.Set("HKEY_CURRENT_USER\\Software\\Almagre\\Vela\\Tracing", "Component" + std::to_string(i),
             tarsio::RegistryFile::Value::Dword(0x100000));
  }
  text = file.Serialize();
  for (auto _ : state) {
    benchmark::DoNotOptimize(tarsio::RegistryFile::Parse(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RegistryFileParse);

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "tarsio-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  ::setenv("TARSIO_REGISTRY", (dir + "/registry.reg").c_str(), 1);
  tarsio::RegistryStore::Instance().ReloadPathFromEnvironment();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tarsio::RegistryStore::Instance().Flush();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
