// The few system functions the Microsoft-ABI host calls, declared here because the machine that
// builds it has no Windows SDK and no Microsoft C runtime: the kernel's (KERNEL32.dll), the
// registry's (ADVAPI32.dll) and four of msvcrt.dll's. Their import libraries are made from
// kernel32.def, advapi32.def and msvcrt.def by llvm-dlltool.
#pragma once

typedef unsigned long DWORD;
typedef int BOOL;
typedef void* HANDLE;

// Calls go straight through the import table rather than through a thunk.
#define HOST_IMPORT __attribute__((dllimport))

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
HOST_IMPORT HANDLE WINAPI CreateEventA(void* attributes, BOOL manualReset, BOOL initialState,
                                       const char* name);
HOST_IMPORT BOOL WINAPI CloseHandle(HANDLE handle);
HOST_IMPORT void WINAPI Sleep(DWORD ms);
HOST_IMPORT DWORD WINAPI GetTickCount();
HOST_IMPORT HANDLE WINAPI GetCurrentProcess();
HOST_IMPORT DWORD WINAPI GetCurrentProcessId();
HOST_IMPORT BOOL WINAPI GetProcessHandleCount(HANDLE process, DWORD* count);
HOST_IMPORT HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
HOST_IMPORT BOOL WINAPI Thread32First(HANDLE snapshot, THREADENTRY32* entry);
HOST_IMPORT BOOL WINAPI Thread32Next(HANDLE snapshot, THREADENTRY32* entry);
HOST_IMPORT void WINAPI ExitProcess(unsigned exitCode);
HOST_IMPORT long WINAPI RegGetValueA(HANDLE key, const char* subkey, const char* value, DWORD flags,
                                     DWORD* type, void* data, DWORD* size);
HOST_IMPORT int __cdecl printf(const char* format, ...);
HOST_IMPORT int __cdecl puts(const char* text);
HOST_IMPORT char* __cdecl strstr(const char* text, const char* pattern);
HOST_IMPORT long __cdecl strtol(const char* text, char** end, int base);
}
