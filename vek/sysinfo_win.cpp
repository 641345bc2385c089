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

}  // namespace vek
