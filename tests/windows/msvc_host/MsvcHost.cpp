// A soft-phone's view of Tarsio.dll, compiled by clang for Microsoft's ABI and linked by lld-link
// against the DLL's import library (Tarsio.lib): the interface comes from MsvcTarsio.h, a header
// written the way such a host writes it, so every call below goes through the slot Microsoft's
// layout gives the operation. The program drives all fifteen operations of a terminal with its own
// host log and makes a loopback call (a WAV file played into the transmit direction, sent over
// UDP to the terminal's own port, received and played), then deletes the terminal through slot 0.
// It checks the settings the engine keeps in the registry as another program reads them. It does
// that twice and compares the process's threads and handles after each call: the second
// call must leave exactly as many as the first (the first also loads the system's sound driver,
// which keeps threads of its own).
//
// Usage: MsvcHost.exe        exit status 0 (passed), 1 (a check failed), 77 (no sound device)
// Without a Microsoft C runtime, the entry point is HostMain and the process ends by ExitProcess.
#include "MiniRuntime.h"
#include "MsvcTarsio.h"

// Floating-point code compiled for Microsoft's ABI references this symbol of the C runtime.
extern "C" int _fltused = 0;

namespace {

int failures = 0;

#define CHECK(condition)                                             \
  do {                                                               \
    if (!(condition)) {                                              \
      printf("MsvcHost.cpp:%d: failed: %s\n", __LINE__, #condition); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

// What the engine writes to the host log, kept in a fixed buffer (no C++ runtime here).
class HostLog : public IHostLog {
 public:
  int Lock() override {
    ++locks;
    return 0;
  }
  int Unlock() override {
    ++unlocks;
    return 0;
  }
  int MarkEntry() override { return Append(" "); }
  int EndLine() override { return Append("\n"); }
  int Write(const char* text) override { return Append(text); }

  void Clear() {
    length = 0;
    text[0] = '\0';
  }
  bool Has(const char* line) const { return strstr(text, line) != nullptr; }
  // The number written after label in the log, or -1.
  long NumberAfter(const char* label) const {
    const char* at = strstr(text, label);
    if (at == nullptr) return -1;
    at += Length(label);
    while (*at == ' ') ++at;
    return strtol(at, nullptr, 10);
  }

  int locks = 0;
  int unlocks = 0;

 private:
  static unsigned Length(const char* s) {
    unsigned n = 0;
    while (s[n] != '\0') ++n;
    return n;
  }
  int Append(const char* s) {
    for (unsigned i = 0; s[i] != '\0' && length + 1 < sizeof(text); ++i) text[length++] = s[i];
    text[length] = '\0';
    return 0;
  }

  char text[1 << 16] = {};
  unsigned length = 0;
};

struct Resources {
  unsigned threads = 0;
  unsigned long handles = 0;
};

Resources CountResources() {
  Resources r;
  const unsigned long pid = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(4 /* TH32CS_SNAPTHREAD */, 0);
  THREADENTRY32 entry = {sizeof(THREADENTRY32), 0, 0, 0, 0, 0, 0};
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == pid) ++r.threads;
  }
  CloseHandle(snapshot);
  // Wine answers 0 for the handle count; its handle table hands out the lowest free slot, so the
  // value of a fresh handle stands in for the count there (a leaked handle raises it).
  if (!GetProcessHandleCount(GetCurrentProcess(), &r.handles) || r.handles == 0) {
    HANDLE probe = CreateEventA(nullptr, 0, 0, nullptr);
    r.handles = static_cast<unsigned long>(reinterpret_cast<unsigned long long>(probe));
    CloseHandle(probe);
  }
  return r;
}

// The settings the transmitter publishes for other programs, as they read them from the registry.
const char kSettingsKey[] = "Software\\Almagre\\OrbeMediaTerm\\1.0";

long RegistryNumber(const char* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_CURRENT_USER_HANDLE, kSettingsKey, name, kRrfRegDword, nullptr, &value,
                   &size) != 0) {
    return -1;
  }
  return static_cast<long>(value);
}

bool RegistryTextIs(const char* name, const char* expected) {
  static char text[256];
  DWORD size = sizeof text;
  if (RegGetValueA(HKEY_CURRENT_USER_HANDLE, kSettingsKey, name, kRrfRegSz, nullptr, text, &size) !=
      0) {
    return false;
  }
  for (DWORD i = 0;; ++i) {
    if (i >= size || text[i] != expected[i]) return false;
    if (expected[i] == '\0') return true;
  }
}

enum class CallResult { kDone, kNoDevice };

// One terminal through its whole life, a loopback call on port.
CallResult Call(HostLog& log, int port) {
  log.Clear();
  IRTPInterface* term = GetRTPInterface(&log);
  CHECK(term != nullptr);
  if (term == nullptr) return CallResult::kDone;

  // Each codec operation answers from its own slot: an unknown codec is refused with -30, and a
  // frame time of 0 is replaced by the default with a line in the log naming the operation.
  CHECK(term->SetReceiveCodec(99, 20, 0, 0) == -30);
  CHECK(term->SetTransmitCodec(99, 20, 0, 0, 0, 0) == -30);
  CHECK(term->SetReceiveCodec(4, 0, 0, 0) == 0);
  CHECK(term->SetTransmitCodec(4, 0, 0, 0, 0, 0) == 0);
  CHECK(log.Has("COrbeMediaTerm::SetReceiveCodec: frame time 0, using=20"));
  CHECK(log.Has("COrbeMediaTerm::SetTransmitCodec: frame time 0, using=20"));
  CHECK(log.locks > 0 && log.locks == log.unlocks);

  HANDLE bufferEvent = CreateEventA(nullptr, 0, 0, nullptr);
  CHECK(term->SetDestination("127.0.0.1", port, port, bufferEvent) == 0);
  // Before any call the ratio is that of an empty buffer: a finite number, not garbage from a
  // wrong slot or a wrongly returned double.
  const double idleRatio = term->GetReceiveBufferRatio();
  CHECK(idleRatio > -100.0 && idleRatio < 100.0);

  if (!term->TestPlaybackDevice() || !term->TestCaptureDevice()) {
    printf("no playback or capture device under this Wine (is PULSE_SERVER set?)\n");
    delete term;
    CloseHandle(bufferEvent);
    return CallResult::kNoDevice;
  }
  CHECK(term->StartRX(-1, 60) == 0);
  CHECK(term->StartTX(-1) == 0);
  // The running transmitter publishes its endpoint in the registry, and the receiver's jitter
  // buffer has written its setting's default back.
  CHECK(RegistryNumber("TransmitPort") == port);
  CHECK(RegistryNumber("DestinationPort") == port);
  CHECK(RegistryTextIs("DestinationAddress", "127.0.0.1"));
  CHECK(RegistryTextIs("UseDynamicJitterBuffer", "true") ||
        RegistryTextIs("UseDynamicJitterBuffer", "false"));
  // The speaker volume of the running playback device; Wine cannot open a capture device's mixer,
  // so the microphone's answer is printed, not checked.
  CHECK(term->SetSpeakerVolume(-1, 80) == 0);
  printf("SetMicrophoneVolume: %d\n", term->SetMicrophoneVolume(-1, 70));

  unsigned playId = 0;
  CHECK(term->PlayFile(TARSIO_SPEECH_WAV, 1, 100, &playId) == 0);
  CHECK(playId != 0);
  double maxRatio = -1.0;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < TARSIO_SPEECH_MS + 1000) {
    Sleep(100);
    const double ratio = term->GetReceiveBufferRatio();
    if (ratio > maxRatio) maxRatio = ratio;
  }
  CHECK(maxRatio > idleRatio);  // packets reached the receive buffer
  CHECK(term->StopFile(playId) == false);
  CHECK(term->StopTX() == 0);
  CHECK(term->StopRX() == 0);
  CHECK(RegistryNumber("DestinationPort") == 0);  // withdrawn when the transmitter stopped
  CHECK(RegistryTextIs("DestinationAddress", ""));
  delete term;  // slot 0 with bit 0 set: destroys the terminal and frees it
  CloseHandle(bufferEvent);

  // The statistics report the destruction writes: the whole file went out as RTP (20 ms packets
  // of 172 bytes), and at least 90 % of its length was played out (16-bit samples at 8 kHz: 16
  // bytes a millisecond). The report's receive count stays 0 by design.
  CHECK(log.Has("*** estadisticas RTP ***"));
  const long sent = log.NumberAfter("RTP sendto:");
  const long played = log.NumberAfter("RTP WaveOut:");
  printf("report: sendto %ld WaveOut %ld (file %d ms)\n", sent, played, TARSIO_SPEECH_MS);
  CHECK(sent >= 172L * (TARSIO_SPEECH_MS / 20) * 9 / 10);
  CHECK(played >= 16L * TARSIO_SPEECH_MS * 9 / 10);
  return CallResult::kDone;
}

}  // namespace

extern "C" void HostMain() {
  static HostLog log;  // zero-initialised storage: no constructor to run without a C runtime
  const int port = 41000 + static_cast<int>(GetTickCount() % 500) * 2;
  if (Call(log, port) == CallResult::kNoDevice) ExitProcess(77);
  const Resources first = CountResources();
  Call(log, port + 2);
  const Resources second = CountResources();
  printf(
      "after the first call: %u threads, %lu handles; after the second: %u threads, %lu handles\n",
      first.threads, first.handles, second.threads, second.handles);
  CHECK(second.threads == first.threads);
  CHECK(second.handles == first.handles);
  printf("%s\n", failures == 0 ? "MsvcHost: ok" : "MsvcHost: FAILED");
  ExitProcess(failures == 0 ? 0 : 1);
}
