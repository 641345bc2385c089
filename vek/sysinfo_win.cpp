#include "vek/sysinfo.h"
#include "vek/win32.h"

namespace vek {

bool DetectNativeX64() {
  using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
  const auto get = GetProc<GetNativeSystemInfoFn>(L"kernel32.dll", "GetNativeSystemInfo");
  if (!get) return false;
  SYSTEM_INFO info{};
  get(&info);
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

WindowsVersion DetectWindowsVersion() {
  // GetVersionEx answers 6.2 on every Windows since 8 unless the manifest names
  // that version; RtlGetVersion always tells the truth.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get = GetProc<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
  if (!get) return {};
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (get(&info) != 0) return {};
  return {info.dwMajorVersion, info.dwMinorVersion};
}

}  // namespace vek
