// A watchdog as security plug-ins ship them, for the reset tests: it starts a
// child and starts it again at once whenever it ends.
//   qv_watcher --child EXE [--log FILE] [--ready FILE] [--restarts N] [--seconds S]
// --log gets one line per started child with its process identifier; --ready is
// created once the first child runs; after N restarts (5 by default) or S
// seconds (600) the watcher stops, so that no run leaves it behind. The child
// gets --seconds S so it ends by itself too.
#include "vek/win32.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void AppendLine(const wchar_t* file, DWORD pid) {
  if (!file) return;
  HANDLE f = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  char line[32];
  const int n = std::snprintf(line, sizeof line, "%lu\r\n", static_cast<unsigned long>(pid));
  DWORD written = 0;
  WriteFile(f, line, DWORD(n), &written, nullptr);
  CloseHandle(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t *child = nullptr, *log = nullptr, *ready = nullptr;
  int restarts = 5;
  DWORD seconds = 600;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--child") && i + 1 < argc) child = argv[++i];
    else if (!wcscmp(argv[i], L"--log") && i + 1 < argc) log = argv[++i];
    else if (!wcscmp(argv[i], L"--ready") && i + 1 < argc) ready = argv[++i];
    else if (!wcscmp(argv[i], L"--restarts") && i + 1 < argc) restarts = _wtoi(argv[++i]);
    else if (!wcscmp(argv[i], L"--seconds") && i + 1 < argc) seconds = DWORD(wcstoul(argv[++i], nullptr, 10));
  }
  if (!child) return 2;
  const ULONGLONG until = GetTickCount64() + ULONGLONG(seconds) * 1000;
  HANDLE previous = nullptr;
  for (int started = 0; started <= restarts; ++started) {
    std::wstring command = L"\"" + std::wstring(child) + L"\" --seconds " + std::to_wstring(seconds);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(child, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 3;
    // The ended child's handle is held until its successor runs, so that the
    // system cannot hand the successor the same identifier.
    if (previous) CloseHandle(previous);
    CloseHandle(pi.hThread);
    previous = pi.hProcess;
    AppendLine(log, pi.dwProcessId);
    if (ready && started == 0) {
      HANDLE f = CreateFileW(ready, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= until || WaitForSingleObject(pi.hProcess, DWORD(until - now)) != WAIT_OBJECT_0) break;
  }
  if (previous) CloseHandle(previous);
  return 0;
}
