#include "vek/windows_win.h"

#include <memory>
#include <vector>

#include "vek/handles_win.h"
#include "vek/system.h"
#include "vek/win32.h"

namespace vek {

Text GetAppVersion(TextView format) {
  Text result = Text(kUnknownVersion);
  wchar_t path[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return result;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return result;
  std::vector<unsigned char> buffer(size);
  if (!GetFileVersionInfoW(path, 0, size, buffer.data())) return result;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info ||
      len < sizeof(VS_FIXEDFILEINFO))
    return result;
  return FormatVersion(format, HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                       HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
}

bool AllowWindowMessage(uint32_t message) {
  unique_hmodule user32{LoadLibraryW(L"USER32.DLL")};
  if (!user32) return false;
  using Filter = BOOL(WINAPI*)(UINT, DWORD);
  auto filter = GetProc<Filter>(user32.get(), "ChangeWindowMessageFilter");
  return filter && filter(message, 1 /* MSGFLT_ADD */);
}

}  // namespace vek
