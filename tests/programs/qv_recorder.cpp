// Stands in for a browser or any handler the shell starts: appends its own
// command line, as UTF-8, as one line of "recorded.txt" beside its executable,
// and the executable name of the process that started it as one line of
// "parents.txt" there, and ends with 0.
#include "vek/win32.h"

#include <tlhelp32.h>

#include <string>

namespace {

// The executable name of the parent process; empty when the snapshot lacks it.
std::wstring ParentExe() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return {};
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e))
    if (e.th32ProcessID == GetCurrentProcessId()) parent = e.th32ParentProcessID;
  std::wstring name;
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snapshot, &e); more && parent; more = Process32NextW(snapshot, &e))
    if (e.th32ProcessID == parent) name = e.szExeFile;
  CloseHandle(snapshot);
  return name;
}

// Appends the text and a line break to the file; appending is one write at the
// end even when two instances race.
bool AppendLine(const std::wstring& file, const std::wstring& line) {
  int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, text.data(), size, nullptr, nullptr);
  text += '\n';
  HANDLE f = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
  CloseHandle(f);
  return ok && written == text.size();
}

}  // namespace

int wmain(int, wchar_t**) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  std::wstring folder(self, n);
  folder.erase(folder.find_last_of(L'\\') + 1);
  // The parent first: a test that sees the command line may read it at once.
  if (!AppendLine(folder + L"parents.txt", ParentExe())) return 2;
  return AppendLine(folder + L"recorded.txt", GetCommandLineW()) ? 0 : 3;
}
