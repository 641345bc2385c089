// Stands in for a browser or any handler the shell starts: appends its own
// command line, as UTF-8, as one line of "recorded.txt" beside its executable,
// and ends with 0.
#include "vek/win32.h"

#include <string>

int wmain(int, wchar_t**) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  std::wstring log(self, n);
  log.erase(log.find_last_of(L'\\') + 1);
  log += L"recorded.txt";

  const wchar_t* line = GetCommandLineW();
  int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), size, nullptr, nullptr);
  text += '\n';

  // Appending is one write at the end even when two instances race.
  HANDLE f = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  BOOL ok = WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == text.size() ? 0 : 3;
}
