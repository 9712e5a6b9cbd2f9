// Tarsio.dll loaded the way a soft-phone loads it: LoadLibraryA with the DLL's path, every export
// looked up by name with GetProcAddress, then TarsioVersion, the compatibility class's two members,
// a terminal with a host log and one without (each made by GetRTPInterface and destroyed through
// slot 0 with tarsio::DestroyTerminal), and FreeLibrary, after which the DLL must be gone from the
// process. The program does not link the engine: everything it calls comes through the DLL.
//
// Usage: DllLoadCheck [DLL]   (default Tarsio.dll; a name without a folder is taken from the
// current directory, so that no other Tarsio.dll on the search path is loaded instead).
// A plain program (no test framework) so that it runs under Wine from a cross build; it prints
// every failed check and exits non-zero if there was one.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tarsio/Tarsio.h"

namespace {

int failures = 0;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      std::printf("%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

// The compatibility class's members under the names Microsoft's compiler gives them: __thiscall
// on 32-bit Windows, the one x64 convention on 64-bit Windows (terminal/Tarsio.def,
// terminal/Tarsio64.def).
#if defined(_WIN64)
#define TARSIO_THISCALL
const char kQueFalta[] = "?Que_falta_compilar_el_tarsio_dll@SI_puedes_leer_esto_es@@QEAAXXZ";
const char kAssign[] = "??4SI_puedes_leer_esto_es@@QEAAAEAV0@AEBV0@@Z";
#else
#define TARSIO_THISCALL __attribute__((thiscall))
const char kQueFalta[] = "?Que_falta_compilar_el_tarsio_dll@SI_puedes_leer_esto_es@@QAEXXZ";
const char kAssign[] = "??4SI_puedes_leer_esto_es@@QAEAAV0@ABV0@@Z";
#endif
typedef void(TARSIO_THISCALL* QueFaltaFn)(void* self);
typedef void*(TARSIO_THISCALL* AssignFn)(void* self, const void* other);

// Records what the engine writes to the host log.
class RecordingLog : public tarsio::HostLog {
 public:
  int32_t Lock() override {
    ++locks;
    return 0;
  }
  int32_t Unlock() override {
    ++unlocks;
    return 0;
  }
  int32_t MarkEntry() override { return 0; }
  int32_t EndLine() override {
    text += '\n';
    return 0;
  }
  int32_t Write(const char* written) override {
    text += written;
    return 0;
  }

  int locks = 0;
  int unlocks = 0;
  std::string text;
};

// The DLL's full path: argv[1] or Tarsio.dll, relative names taken from the current directory.
std::string DllPath(int argc, char** argv) {
  const std::string name = argc > 1 ? argv[1] : "Tarsio.dll";
  if (name.find_first_of("\\/:") != std::string::npos) return name;
  char folder[MAX_PATH];
  const DWORD length = GetCurrentDirectoryA(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) return name;
  return std::string(folder, length) + "\\" + name;
}

template <typename Fn>
Fn Lookup(HMODULE dll, const char* name) {
  FARPROC address = GetProcAddress(dll, name);
  if (address == nullptr) std::printf("not exported: %s\n", name);
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string path = DllPath(argc, argv);
  HMODULE dll = LoadLibraryA(path.c_str());
  if (dll == nullptr) {
    std::printf("LoadLibraryA(%s) failed: error %lu\n", path.c_str(), GetLastError());
    return 1;
  }
  char loaded[MAX_PATH] = {};
  GetModuleFileNameA(dll, loaded, MAX_PATH);
  std::printf("loaded %s\n", loaded);

  const auto getRtpInterface = Lookup<decltype(&GetRTPInterface)>(dll, "GetRTPInterface");
  const auto tarsioVersion = Lookup<decltype(&TarsioVersion)>(dll, "TarsioVersion");
  const auto queFalta = Lookup<QueFaltaFn>(dll, kQueFalta);
  const auto assign = Lookup<AssignFn>(dll, kAssign);
  CHECK(getRtpInterface != nullptr);
  CHECK(tarsioVersion != nullptr);
  CHECK(queFalta != nullptr);
  CHECK(assign != nullptr);
  // Only the names above: GCC's own names for the members stay inside the DLL.
  CHECK(GetProcAddress(dll, "_ZN22SI_puedes_leer_esto_es32Que_falta_compilar_el_tarsio_dllEv") ==
        nullptr);
  CHECK(GetProcAddress(dll, "_ZN22SI_puedes_leer_esto_esaSERKS_") == nullptr);
  if (failures != 0) return 1;

  const char* version = tarsioVersion();
  CHECK(version != nullptr && std::strcmp(version, TARSIO_EXPECTED_VERSION) == 0);
  std::printf("TarsioVersion: %s\n", version != nullptr ? version : "(null)");

  // The class holds one byte: the assignment copies it and returns its left side, the other
  // member changes nothing. Each name must reach its own member.
  char left = 1;
  const char right = 7;
  CHECK(assign(&left, &right) == &left);
  CHECK(left == 7);
  queFalta(&left);
  CHECK(left == 7);

  // A terminal with a host log: its destruction writes the statistics report, in bracketed
  // entries, through the log's virtual functions.
  static RecordingLog log;
  tarsio::RTPInterface* term = getRtpInterface(&log);
  CHECK(term != nullptr);
  if (term != nullptr) {
    CHECK(term->SetMicrophoneVolume(-1, 50) == 0);
    tarsio::DestroyTerminal(term);
  }
  CHECK(log.text.find("*** estadisticas RTP ***") != std::string::npos);
  CHECK(log.locks > 0 && log.locks == log.unlocks);

  // A terminal without a log (null is allowed), which also detaches the log above.
  term = getRtpInterface(nullptr);
  CHECK(term != nullptr);
  tarsio::DestroyTerminal(term);
  const size_t logged = log.text.size();

  CHECK(FreeLibrary(dll));
  CHECK(GetModuleHandleA(loaded) == nullptr);
  // A thread of the engine left running after the unload would crash the process here.
  Sleep(200);
  CHECK(log.text.size() == logged);

  std::printf("%s\n", failures == 0 ? "DllLoadCheck: ok" : "DllLoadCheck: FAILED");
  return failures == 0 ? 0 : 1;
}
