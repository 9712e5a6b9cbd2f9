// The few system functions the Microsoft-ABI host calls, declared here because the machine that
// builds it has no Windows SDK and no Microsoft C runtime: the kernel's (KERNEL32.dll), the
// registry's (ADVAPI32.dll) and four of msvcrt.dll's. Their import libraries are made from
// kernel32.def, advapi32.def and msvcrt.def by llvm-dlltool.
#pragma once

typedef unsigned long DWORD;
typedef int BOOL;
typedef void* HANDLE;

#if defined(_M_IX86)
#define WINAPI __stdcall
#else
#define WINAPI
#endif

// HKEY_CURRENT_USER, and RegGetValueA's flags restricting the value's type.
#define HKEY_CURRENT_USER_HANDLE reinterpret_cast<HANDLE>(static_cast<long long>(-2147483647L))
const DWORD kRrfRegSz = 0x00000002;
const DWORD kRrfRegDword = 0x00000010;

struct THREADENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ThreadID;
  DWORD th32OwnerProcessID;
  long tpBasePri;
  long tpDeltaPri;
  DWORD dwFlags;
};

extern "C" {
__declspec(dllimport) HANDLE WINAPI
    CreateEventA(void* attributes, BOOL manualReset, BOOL initialState, const char* name);
__declspec(dllimport) BOOL WINAPI CloseHandle(HANDLE handle);
__declspec(dllimport) void WINAPI Sleep(DWORD ms);
__declspec(dllimport) DWORD WINAPI GetTickCount();
__declspec(dllimport) HANDLE WINAPI GetCurrentProcess();
__declspec(dllimport) DWORD WINAPI GetCurrentProcessId();
__declspec(dllimport) BOOL WINAPI GetProcessHandleCount(HANDLE process, DWORD* count);
__declspec(dllimport) HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
__declspec(dllimport) BOOL WINAPI Thread32First(HANDLE snapshot, THREADENTRY32* entry);
__declspec(dllimport) BOOL WINAPI Thread32Next(HANDLE snapshot, THREADENTRY32* entry);
__declspec(dllimport) void WINAPI ExitProcess(unsigned exitCode);
__declspec(dllimport) long WINAPI RegGetValueA(HANDLE key, const char* subkey, const char* value,
                                               DWORD flags, DWORD* type, void* data, DWORD* size);
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) int __cdecl puts(const char* text);
__declspec(dllimport) char* __cdecl strstr(const char* text, const char* pattern);
__declspec(dllimport) long __cdecl strtol(const char* text, char** end, int base);
}
