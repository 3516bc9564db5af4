// Stand-in for KX1394Inst64.exe in the updater's end-to-end test.
//
// It appends one line to KX1394Inst64.log beside itself: the arguments and the show state it was
// started with. What it does next is read from KX1394Inst64.mode beside itself:
//   "install" (or no file)  copies KX1394DRV64.sys from beside itself into the system driver
//                           folder, then ends with 0;
//   "fail"                  changes nothing and ends with 1;
// optionally followed by a number of milliseconds to wait first, e.g. "install 3000".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring dir(path, n);
  dir.resize(dir.find_last_of(L'\\') + 1);
  return dir + name;
}

std::wstring ArgumentsOf(const wchar_t* commandLine) {
  // Skip the program name (quoted or not), then the blanks after it.
  const wchar_t* p = commandLine;
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

  if (FILE* log = _wfopen(Beside(L"KX1394Inst64.log").c_str(), L"a, ccs=UTF-8")) {
    fwprintf(log, L"args=[%ls] show=%d\n", ArgumentsOf(GetCommandLineW()).c_str(), show);
    fclose(log);
  }

  wchar_t mode[32] = L"install";
  unsigned long delayMs = 0;
  if (FILE* f = _wfopen(Beside(L"KX1394Inst64.mode").c_str(), L"r")) {
    if (fwscanf(f, L"%31ls %lu", mode, &delayMs) < 1) wcscpy(mode, L"install");
    fclose(f);
  }
  if (delayMs > 60000) delayMs = 60000;
  Sleep(delayMs);

  if (wcscmp(mode, L"fail") == 0) return 1;

  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 2;
  const std::wstring drivers = std::wstring(system) + L"\\Drivers";
  CreateDirectoryW(drivers.c_str(), nullptr);
  const std::wstring target = drivers + L"\\KX1394DRV64.sys";
  return CopyFileW(Beside(L"KX1394DRV64.sys").c_str(), target.c_str(), FALSE) ? 0 : 3;
}
