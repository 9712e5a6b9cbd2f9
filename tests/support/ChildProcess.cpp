#include "support/ChildProcess.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <map>
#include <sstream>

namespace tarsio::testing {

namespace {

std::map<std::string, ChildBody>& Bodies() {
  static std::map<std::string, ChildBody> bodies;
  return bodies;
}

}  // namespace

bool RegisterChildBody(const char* name, ChildBody body) {
  Bodies()[name] = body;
  return true;
}

int RunChildBody(const std::string& name) {
  const auto found = Bodies().find(name);
  if (found == Bodies().end()) {
    std::fprintf(stderr, "no child body named %s\n", name.c_str());
    return 2;
  }
  return found->second();
}

#ifdef _WIN32
namespace {

struct NoCaseLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return ::_wcsicmp(a.c_str(), b.c_str()) < 0;
  }
};

// This process's environment with the assignments added (replacing variables of their names), in
// CreateProcess's form: "NAME=value" strings sorted by name, each ending in a zero, and one more.
std::wstring EnvironmentBlock(const std::string& assignments) {
  std::map<std::wstring, std::wstring, NoCaseLess> entries;
  wchar_t* const strings = ::GetEnvironmentStringsW();
  for (const wchar_t* p = strings; *p != 0; p += std::wcslen(p) + 1) {
    const std::wstring entry(p);
    entries[entry.substr(0, entry.find(L'=', 1))] = entry;  // "=C:=C:\" is named "=C:"
  }
  ::FreeEnvironmentStringsW(strings);
  std::istringstream words(assignments);
  for (std::string word; words >> word;) {
    const std::wstring entry = std::filesystem::path(word).wstring();  // the tests' text is ASCII
    entries[entry.substr(0, entry.find(L'='))] = entry;
  }
  std::wstring block;
  for (const auto& [name, entry] : entries) block.append(entry).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

}  // namespace

int RunChildProcess(const std::string& name, const std::string& environment) {
  wchar_t self[MAX_PATH];
  if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return -1;
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\"";
  std::wstring block = EnvironmentBlock(environment + " TARSIO_TEST_CHILD=" + name);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process)) {
    return -1;
  }
  DWORD code = 0;
  if (::WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.hProcess, &code)) {
    code = static_cast<DWORD>(-1);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
#else
int RunChildProcess(const std::string& name, const std::string& environment) {
  const std::string command = environment + " TARSIO_TEST_CHILD=" + name + " " +
                              std::filesystem::read_symlink("/proc/self/exe").string();
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace tarsio::testing
